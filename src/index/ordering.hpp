// Ordering and counting the objects of an index (or of a view) by one attribute, read from its
// value map: numbers from the range tree in order, other values by their groups, and every
// count from the sets' cardinalities, without listing anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/bitmap.hpp"
#include "index/query_map.hpp"

namespace vostrel {

/// Admitted ids by number: ascending (or descending) number, ties in ascending id either way, at
/// most `limit` of them; ids whose number is NaN come apart, ascending (all of them).
struct NumberOrder {
  std::vector<Id> ids;
  std::vector<Id> nan;
};

/// The numbers of the admitted ids (every id the map holds when `admitted` is null).
[[nodiscard]] NumberOrder order_by_number(const QueryMap& map, const Bitmap* admitted, bool descending,
                                          std::size_t limit);

/// The admitted ids grouped for an order that the host decides: one group per distinct number
/// (ascending number, NaN apart) and one per host hash of the values that are not numbers; each
/// group's ids ascend, and the groups come in the order of their first ids.
struct ValueGroups {
  std::vector<std::vector<Id>> groups;
  std::vector<std::size_t> number_rank;  // per group: its place among the numbers, or kNotANumber
  std::vector<Id> nan;
  static constexpr std::size_t kNotANumber = SIZE_MAX;
};
[[nodiscard]] ValueGroups group_by_value(const QueryMap& map, const Bitmap* admitted);

/// How many admitted ids hold each value (by host hash), and the first of them.
struct ValueCount {
  std::uint64_t hash;
  std::uint64_t count;
  Id first;
};
/// The counts of every value with an admitted holder, by descending count, then ascending first id.
[[nodiscard]] std::vector<ValueCount> count_values(const QueryMap& map, const Bitmap* admitted);

}  // namespace vostrel
