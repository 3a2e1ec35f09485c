// Turning the keyword arguments of a query method into a keyword query.
#pragma once

#include "index/query.hpp"
#include "module/refs.hpp"

namespace vostrel::py {

/// The keyword query of `kwargs` (a dict of the surplus keywords, or null for none): a str is one
/// value, another iterable gives its items, anything else is one value. An error raised while
/// iterating, or by a value that cannot be converted, is raised unchanged.
KeywordQuery kwargs_to_hash_query(Handle kwargs);

}  // namespace vostrel::py
