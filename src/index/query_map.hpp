// The per-attribute value map: the ids holding each value (grouped by host hash) and, for
// numbers, the ids in numeric order.
//
// Values are grouped by their host hash and the map keeps the hash alone: it holds no host
// object, so an index's tables never keep a value alive and take no part in the host's cycle
// collection. Where a value itself is needed (to show a group), it is read from an object that
// holds it.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "index/attr_name.hpp"
#include "index/bitmap.hpp"
#include "index/hybrid_set.hpp"
#include "index/ranged_b_tree.hpp"
#include "index/value.hpp"

namespace vostrel {

/// Fields:
///   value_sets  one entry per host hash that some object of the index holds for the attribute;
///               the set holds those objects' ids, and is never empty between operations.
///   range_tree  every (number, id) pair of the objects whose value is an Int or a Float.
///   holders     every id held in some set: the objects that have the attribute.
///   others      how many of them hold a value that is not a number (and so is not in the tree).
/// Each id is in at most one set and at most once in the tree.
struct QueryMap {
  using ValueSets = boost::unordered_flat_map<std::uint64_t, HybridSet, HostHashHash>;

  ValueSets value_sets;
  BitMapBTree range_tree;
  Bitmap holders;
  std::uint64_t others = 0;

  /// Puts id under value; a pair already held changes nothing. On std::bad_alloc nothing changed.
  void insert(const PyValue& value, Id id);
  /// Puts each id under its value: ids none of the map's sets holds, each once. The sets take
  /// the pairs one by one and the tree takes the batch's numbers together, so that a batch large
  /// against the tree builds whole leaves. On std::bad_alloc nothing changed.
  void insert_many(std::span<const std::pair<const PyValue*, Id>> pairs);
  /// Takes each id out of its value's set and, for numbers, out of the tree, dropping the entries
  /// left empty; pairs not held change nothing. `keys` is room for the batch's numbers: with
  /// capacity for one per pair, nothing allocates.
  void remove_many(std::span<const std::pair<const PyValue*, Id>> pairs, std::vector<Key128>& keys);
  /// Takes id out of value's set and, for numbers, out of the tree. The entry stays, also when
  /// its set is left empty, until `check_prune`. Nothing happens for a value or id not held.
  void remove_id(const PyValue& value, Id id);
  /// Drops the entry of a host hash when its set is empty; fatal "no entry found for key" when
  /// there is no entry.
  void check_prune(std::uint64_t hash);
  /// Moves id from `old` (held) to `value`: the set and the tree change only where the two differ
  /// (a shared host hash keeps the set, an equal number keeps the tree). On std::bad_alloc nothing
  /// changed.
  void move(const PyValue& old, const PyValue& value, Id id);

  /// The set of a host hash, or null.
  [[nodiscard]] const HybridSet* find(std::uint64_t hash) const;
  [[nodiscard]] bool empty() const noexcept { return value_sets.empty(); }
  /// Checks every set, the holders and the tree; the reason when an invariant is broken.
  [[nodiscard]] std::optional<std::string> verify() const;
};

/// The index's attribute table: attribute name to its value map, each map in its own allocation
/// so growth moves pointers only.
using QueryMapTable = boost::unordered_flat_map<AttrName, std::unique_ptr<QueryMap>, AttrNameHash>;

/// The value map of `attr`, or null when the table lacks the attribute.
[[nodiscard]] const QueryMap* find_map(const QueryMapTable& table, const AttrName& attr);

/// Checks every value map of the table; the reason when one is broken.
[[nodiscard]] std::optional<std::string> verify_table(const QueryMapTable& table);

}  // namespace vostrel
