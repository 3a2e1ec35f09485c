// What other host classes take from PyQueryExpr: the expression held by one of its instances.
#pragma once

#include "index/query.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {

/// A PyQueryExpr instance's record; `expr` is set by the constructing method and never changed
/// (the cycle collector's clear empties it).
struct QueryExprRecord {
  QueryExpr expr;
};
using QueryExprInstance = Instance<QueryExprRecord>;

/// The expression of a PyQueryExpr argument, held (a reference and a shared borrow) for the call,
/// so that it is read where it stands instead of being copied. Otherwise the argument error
/// "'<type>' object cannot be converted to 'PyQueryExpr'" for `param`.
class HeldQueryExpr {
 public:
  HeldQueryExpr(std::string_view param, Handle obj);
  [[nodiscard]] const QueryExpr& expr() const noexcept { return QueryExprInstance::cast(obj_.handle())->record.expr; }

 private:
  Object obj_;
  SharedBorrow borrow_;
};

/// A new PyQueryExpr holding `expr`.
Object new_query_expr(QueryExpr expr);

/// A deep copy of the expression of `obj`, a PyQueryExpr (or subclass) instance, taken under a
/// shared borrow. Otherwise TypeError "'<type>' object cannot be converted to 'PyQueryExpr'"
/// (run it inside `convert_arg` to name the argument).
QueryExpr copy_query_expr(Handle obj);

}  // namespace vostrel::py
