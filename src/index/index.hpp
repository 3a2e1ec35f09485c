// The index value: a shared attribute table, a shared object store and the ids added through it.
//
// Copies of an index value share the table and the store (each behind its own reader-writer
// lock) and own their `ids`. The table's address is the index's identity for the records objects
// keep of it. Lock order when both are needed: `query_maps` before `stored_items`.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "index/attr_name.hpp"
#include "index/bitmap.hpp"
#include "index/query.hpp"
#include "index/rw_lock.hpp"
#include "index/stored_item.hpp"

namespace vostrel {

using SharedTable = std::shared_ptr<RwLock<QueryMapTable>>;
/// Slot i holds the object whose id is i (an empty item for no object); sparse, grows on demand,
/// never shrinks.
using ItemStore = std::vector<StoredItem>;
using SharedStore = std::shared_ptr<RwLock<ItemStore>>;

struct Index {
  SharedTable query_maps;
  SharedStore stored_items;
  Bitmap ids;

  /// An empty table, an empty store and an empty bitmap.
  [[nodiscard]] static Index make();
  /// A value sharing this one's table and store, with its own copy of `ids`.
  [[nodiscard]] Index clone() const;
};

/// Indexes one attribute value of one object; the caller holds the table's write lock and has
/// already left out names that are not indexed.
void _add_index(QueryMapTable& table, Id id, AttrName name, const PyValue& value);

/// The poisoned-lock error when the table or the store is poisoned. Operations that write both
/// check first, so that a failure on one leaves the other as it was.
void expect_unpoisoned(const Index& index, std::source_location where = std::source_location::current());

/// Puts item into slot id, growing the store to id + 1 slots if needed and replacing any item.
void store_item(ItemStore& store, Id id, StoredItem item);

/// Keeps in every value set of the table only the ids of `kept`; sets left empty stay in their maps.
void narrow_value_sets(QueryMapTable& table, const Bitmap& kept);

/// True for names that adding and assigning index: all but those beginning with "_".
[[nodiscard]] inline bool is_indexable_name(std::string_view name) noexcept {
  return name.empty() || name.front() != '_';
}

/// Checks every value map of the table; the reason when one is broken.
[[nodiscard]] std::optional<std::string> verify_table(const QueryMapTable& table);

// ===========================================================================================
// Union
// ===========================================================================================

/// The objects a union brings into an index: those of the other index it does not hold yet.
struct UnionArrivals {
  std::vector<Id> ids;             // ascending
  std::vector<StoredItem> items;   // items[i] is the object of ids[i], also held by the other store
};

/// The objects of other's `ids` that self's `ids` lacks, read from other's store under its read
/// lock; an id without a filled slot there is the missing-value error. Takes a reference to each
/// object, so the caller holds the interpreter lock.
[[nodiscard]] UnionArrivals union_arrivals(const Index& self, const Index& other);

/// Afterwards self answers every query as if each object of other had been added to it: other's
/// table is merged into self's attribute by attribute (self's table locked for writing, then
/// other's for reading), then the arrivals enter self's store and `ids`. Other is unchanged.
void union_with(Index& self, const Index& other, UnionArrivals arrivals);

}  // namespace vostrel
