// The core record of an indexable object: its id, its own attribute map and the records of the
// indexes that hold it, with the operations that keep those indexes in step with the attributes.
#pragma once

#include <atomic>
#include <boost/container/flat_map.hpp>
#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <cstdint>
#include <memory>
#include <optional>

#include "index/index.hpp"

namespace vostrel {

/// Process-wide object id counter; an object takes its value and the counter moves on by one.
extern std::atomic<std::uint64_t> GLOBAL_ID_COUNTER;
/// The counter's first value: id 0 is never handed out, so slot 0 of every store stays empty.
inline constexpr std::uint64_t kFirstObjectId = 1;
/// The largest id; beyond it ids would repeat and one object would replace another in the stores.
inline constexpr std::uint64_t kLastObjectId = UINT32_MAX;

/// A fresh id, or nothing once every 32-bit id has been handed out.
[[nodiscard]] std::optional<Id> take_object_id() noexcept;

/// A non-owning record of one index, identified by its attribute table.
struct IndexMeta {
  std::weak_ptr<RwLock<QueryMapTable>> index;

  /// Shared access to the table while something still holds it, else null.
  [[nodiscard]] SharedTable resolve() const noexcept { return index.lock(); }
};

/// Records kept inside the object: one or two indexes per object is the common case.
inline constexpr std::size_t kInlineIndexRecords = 2;

/// An object's attributes, sorted by name in one exactly sized array: an object has a handful of
/// attributes, which a binary search finds as fast as a hash table would, without the table's
/// empty slots in every object.
using AttributeMap = boost::container::flat_map<AttrName, PyValue>;
using IndexMetaList = boost::container::small_vector<IndexMeta, kInlineIndexRecords>;

/// Fields: `id` is fixed at construction; `attributes` only grows or changes values;
/// `index_meta` is sorted by table identity as of the last `add_index`.
struct Indexable {
  Id id = 0;
  AttributeMap attributes;
  IndexMetaList index_meta;
};

/// The sentinel index, created once on first use; nothing is ever added to it.
[[nodiscard]] const Index& DEFAULT_INDEX_ARC();

/// Records an index on an object: appends the record, drops those that no longer resolve or
/// refer to the sentinel, and sorts the rest by table identity (stable).
void add_index(Indexable& obj, IndexMeta record);

/// Moves id from `old` (when the object had the attribute) to `value` under `name` in one
/// index's table, whose write guard it takes over and releases. Names beginning with "_" change
/// nothing.
void update_index(RwLock<QueryMapTable>::WriteGuard table, AttrName name, const PyValue* old,
                  const PyValue& value, Id id);

/// Indexes every attribute of the object whose name adding indexes into `table`, whose write lock
/// the caller holds; pairs the table already holds change nothing.
void index_attributes(QueryMapTable& table, const Indexable& obj);

/// Takes the object's numeric pairs out of the range trees of `table` (write-locked by the
/// caller), as when the object leaves the index; its value sets are left to the caller.
void remove_numeric_pairs(QueryMapTable& table, const Indexable& obj);

/// Drops every record of the index whose table is `table`, so that later assignments leave it alone.
void remove_index(Indexable& obj, const RwLock<QueryMapTable>* table);

using ResolvedTables = boost::container::small_vector<SharedTable, kInlineIndexRecords>;
/// The tables the object's records resolve to, each once, in ascending identity.
[[nodiscard]] ResolvedTables resolve_distinct(const Indexable& obj);

}  // namespace vostrel
