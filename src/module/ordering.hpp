// sorted_by and value_counts, shared by Index and FilteredIndex.
#pragma once

#include "module/records.hpp"

namespace vostrel::py {

const Signature& sorted_by_signature(std::string_view owner);
const Signature& value_counts_signature(std::string_view owner);

/// The objects of the index (`view` null) or view ordered by their value under `attr`, as a list:
/// bound arguments (attr, reverse, limit).
Object sorted_by(const SharedState& state, const FilteredIndex* view, const BoundArgs& bound);
/// A dict from each value under `attr` (one object per group of equal hashes) to its number of
/// holders, by descending count then first id: bound arguments (attr).
Object value_counts(const SharedState& state, const FilteredIndex* view, const BoundArgs& bound);

}  // namespace vostrel::py
