// What other host classes take from PyQueryExpr: the expression held by one of its instances.
#pragma once

#include "index/query.hpp"
#include "module/refs.hpp"

namespace vostrel::py {

/// A deep copy of the expression of `obj`, a PyQueryExpr (or subclass) instance, taken under a
/// shared borrow. Otherwise TypeError "'<type>' object cannot be converted to 'PyQueryExpr'"
/// (run it inside `convert_arg` to name the argument).
QueryExpr copy_query_expr(Handle obj);

}  // namespace vostrel::py
