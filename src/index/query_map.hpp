// One attribute's value map: the ids holding each value (grouped by host hash) and, for numbers,
// the ids in numeric order.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <optional>
#include <string>

#include "index/hybrid_set.hpp"
#include "index/ranged_b_tree.hpp"
#include "index/value.hpp"

namespace vostrel {

/// The tree's key for a value: Int and Float have one, Str and Unknown none.
[[nodiscard]] std::optional<NumericValue> numeric_value(const CastValue& v);

/// Fields: `value_sets` holds one entry per value (by host hash) that some object holds or held;
/// an entry is created holding one id and may be left empty by `remove_id` until `check_prune`.
/// `range_tree` holds every (number, id) pair inserted under an Int or Float value and not removed.
struct QueryMap {
  using ValueSets = boost::unordered_flat_map<PyValue, HybridSet, PyValueHash>;

  ValueSets value_sets;
  BitMapBTree range_tree;

  /// Puts id under value; a pair already held changes nothing (neither set nor tree).
  void insert(const PyValue& value, Id id);
  /// Takes id out of value's set (if the value has an entry) and, for numbers, out of the tree.
  /// The entry stays, also when its set is now empty.
  void remove_id(const PyValue& value, Id id);
  /// Drops value's entry when its set is empty; fatal "no entry found for key" when there is none.
  void check_prune(const PyValue& value);
  /// Unites other's set into this map's set for every value both maps hold.
  void merge(const QueryMap& other);

  /// The set of value, or null.
  [[nodiscard]] const HybridSet* find(const PyValue& value) const;
  /// Checks every set and the tree; the reason when an invariant is broken.
  [[nodiscard]] std::optional<std::string> verify() const;
};

}  // namespace vostrel
