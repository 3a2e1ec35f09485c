// The core record of an indexable object: its id, its own attributes and the records of the
// indexes that hold it, with the operations that keep those indexes in step with the attributes.
#pragma once

#include <boost/container/flat_map.hpp>
#include <boost/container/small_vector.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "index/index.hpp"

namespace vostrel {

// ---------------------------------------------------------------------------------------------
// Object ids

/// Hands out object ids, lowest free first, and takes back the id of every object that dies.
///
/// Reuse is safe because no structure can mistake a new object for the dead one whose id it got:
/// an index's tables, `ids` and store hold an id only while the store holds a reference to its
/// object, which keeps the object (and so its id) alive; a view admits an id only while its
/// slot holds an object that entered the store before the view was made (`IndexState::epoch`), so
/// a new object under an old id never enters an earlier view; and the records of indexes live in
/// the objects themselves. Query results are lists of the objects.
class IdAllocator {
 public:
  /// Ids 1 to `last` (id 0 is never handed out, so slot 0 of a store is never used).
  explicit IdAllocator(Id last = UINT32_MAX) noexcept : last_(last) {}
  /// The lowest free id, or nothing while every id is in use.
  [[nodiscard]] std::optional<Id> take();
  /// Takes an id back once its object is gone.
  void give_back(Id id) noexcept;
  /// Ids in use.
  [[nodiscard]] std::uint64_t in_use() const;
  /// The lowest id never handed out yet (ids below it that came back are handed out first).
  [[nodiscard]] Id next_unused() const;
  /// Restricts the ids handed out from now on to 1..last (ids in use above it stay in use until
  /// given back). For tests, which reach exhaustion this way.
  void set_last(Id last);

 private:
  mutable std::mutex mutex_;
  Id last_;
  Id next_ = 1;     // every id from here on is free (and was never handed out, or came back)
  Bitmap free_;     // ids below next_ that came back
};

/// The process-wide allocator of object ids.
extern IdAllocator GLOBAL_ID_COUNTER;

/// An object's id: taken from GLOBAL_ID_COUNTER and given back when the owner is destroyed.
class ObjectId {
 public:
  ObjectId() noexcept = default;
  /// A fresh id, or nothing while every id is in use.
  [[nodiscard]] static std::optional<ObjectId> take();
  ObjectId(ObjectId&& other) noexcept : id_(std::exchange(other.id_, 0)) {}
  ObjectId& operator=(ObjectId&& other) noexcept;
  ObjectId(const ObjectId&) = delete;
  ObjectId& operator=(const ObjectId&) = delete;
  ~ObjectId();

  operator Id() const noexcept { return id_; }  // NOLINT(google-explicit-constructor)

 private:
  explicit ObjectId(Id id) noexcept : id_(id) {}
  Id id_ = 0;  // 0: no id (moved from)
};

// ---------------------------------------------------------------------------------------------
// The record

/// A non-owning record of one index, identified by its state.
struct IndexMeta {
  std::weak_ptr<RwLock<IndexState>> index;

  /// Shared access to the index while something still holds it, else null.
  [[nodiscard]] SharedState resolve() const noexcept { return index.lock(); }
};

/// Records kept inside the object: most objects are in one index; more records move to separate
/// storage. One record inline keeps an object's host instance in a smaller allocation class.
inline constexpr std::size_t kInlineIndexRecords = 1;
using IndexMetaList = boost::container::small_vector<IndexMeta, kInlineIndexRecords>;

/// A name as attribute maps are sorted and searched: by the text's hash, then the text.
struct NameKey {
  std::uint64_t hash;
  std::string_view text;
};
struct NameOrder {
  using is_transparent = void;
  static NameKey key(const AttrName& n) noexcept { return {n.hash(), n.view()}; }
  static NameKey key(const NameKey& k) noexcept { return k; }
  template <class A, class B>
  bool operator()(const A& a, const B& b) const noexcept {
    const NameKey x = key(a), y = key(b);
    return x.hash != y.hash ? x.hash < y.hash : x.text < y.text;
  }
};

/// An object's attributes in one exactly sized sorted array: an object has a handful of
/// attributes, which a search finds as fast as a hash table would, without the table's empty
/// slots in every object. Sorted by the names' hashes, so a lookup by text compares hashes.
using AttributeMap = boost::container::flat_map<AttrName, PyValue, NameOrder>;

/// Fields: `id` is fixed at construction; `attributes` only grows or changes values (every name
/// not beginning with "_" is indexed in every index that holds the object); `index_meta` holds
/// at most one record per index, in the order of the indexes' shared blocks (`owner_before`).
struct Indexable {
  ObjectId id;
  AttributeMap attributes;
  IndexMetaList index_meta;

  /// The value of the attribute with this text, or null.
  [[nodiscard]] const PyValue* find(std::string_view name) const {
    auto it = attributes.find(NameKey{name_hash(name), name});
    return it == attributes.end() ? nullptr : &it->second;
  }
};

/// The sentinel index, created once on first use; nothing is ever added to it.
[[nodiscard]] const Index& DEFAULT_INDEX_ARC();

/// Records an index on an object: appends the record unless the object has one of that index,
/// drops those that no longer resolve or refer to the sentinel, and keeps the rest in the order of
/// their indexes' shared blocks. Allocates only when the list must grow (`reserve_index_record`
/// first avoids that).
void add_index(Indexable& obj, IndexMeta record);
/// Makes room for one more record, so that `add_index` allocates nothing.
void reserve_index_record(Indexable& obj);
/// Drops the record of the index whose state is `state`, so that later assignments leave it alone.
void remove_index(Indexable& obj, const RwLock<IndexState>* state) noexcept;

using ResolvedStates = boost::container::small_vector<SharedState, kInlineIndexRecords>;
/// The indexes the object's records resolve to, each once, in ascending identity.
[[nodiscard]] ResolvedStates resolve_distinct(const Indexable& obj);

/// Moves the object's id to `value` under `name` (from `old`, its current value, when it has the
/// attribute) in every index it has a record of, one index lock at a time. Names beginning with
/// "_" change nothing. A poisoned index fails the assignment before any index changes; on
/// std::bad_alloc every index is as it was.
void update_indexes(const Indexable& obj, const AttrName& name, const PyValue* old, const PyValue& value);

}  // namespace vostrel
