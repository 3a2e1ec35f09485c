// The index: its attribute table, its object store and its member ids behind one reader-writer
// lock, and the operations that change which objects it holds.
//
// An `Index` value is a share of that state; the host's Index object holds one, and so does every
// view made from it (a view's host object also holds the Index's host object, which owns the
// references in the store). The state's address is the index's identity for the records objects
// keep of it.
//
// Operations that change the index take `Indexable` records that the caller holds exclusively
// (the host layer borrows them), together with new references to their host objects where the
// store must keep them; they run without the interpreter lock and never call the host. On
// std::bad_alloc they leave the index as it was; the lock is poisoned only by a fatal error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/attr_name.hpp"
#include "index/bitmap.hpp"
#include "index/query.hpp"
#include "index/query_map.hpp"
#include "index/rw_lock.hpp"
#include "index/stored_item.hpp"

namespace vostrel {

struct Indexable;

/// Fields:
///   query_maps    attribute name to its value map; every name that some member holds (and does
///                 not begin with "_") has a map, and no map is empty.
///   stored_items  every member under its id, with the epoch it entered at.
///   ids           the members' ids.
///   epoch         counts changes of membership: every arrival enters at a new epoch, every
///                 departure moves it on, so a view made at epoch e admits exactly the members
///                 that entered at e or before and have not left.
///   departed      the epoch of the latest departure (0: none yet).
struct IndexState {
  QueryMapTable query_maps;
  ObjectStore stored_items;
  Bitmap ids;
  std::uint64_t epoch = 0;
  std::uint64_t departed = 0;

  /// Checks the table, the store and that they agree with `ids`; the reason when they do not.
  [[nodiscard]] std::optional<std::string> verify() const;
};

using SharedState = std::shared_ptr<RwLock<IndexState>>;

struct Index {
  SharedState state;

  /// An empty index.
  [[nodiscard]] static Index make();
};

/// True for names that adding and assigning index: all but those beginning with "_".
[[nodiscard]] inline bool is_indexable_name(std::string_view name) noexcept {
  return name.empty() || name.front() != '_';
}

/// An object arriving in an index: its record, held exclusively by the caller, and one new
/// reference to its host object for the store.
struct Arrival {
  Indexable* record;
  OwnedHostRef object;
};

/// Adds the objects: their indexable attributes enter the value maps (numbers also the range
/// trees), they enter the store and `ids`, and each records the index. An object the index
/// already holds changes nothing (its reference is left in its arrival). On std::bad_alloc
/// nothing changed.
void add_objects(const Index& index, std::span<Arrival> arrivals);

/// Takes members out of the index (records held exclusively; every one a member, none twice):
/// their values leave the value maps and trees, they leave the store and `ids`, and each drops
/// its record of the index. The store's references come back to the caller, to be dropped with
/// the interpreter lock held. Allocates nothing of its own once `released` has room.
void remove_objects(const Index& index, std::span<Indexable* const> records,
                    std::vector<OwnedHostRef>& released);

/// A member of an index: its id and its stored object (borrowed: valid while the index holds it).
struct Member {
  Id id;
  HostObject* object;
};

/// The members of `other` that `index` lacks, in id order: what a union of `other` into `index`
/// brings (the caller adds them, as objects added one by one would be).
[[nodiscard]] std::vector<Member> members_missing_from(const Index& index, const Index& other);

/// The members that the keyword filter does not match, in id order: what narrowing the index to
/// the filter takes out (the caller removes them).
[[nodiscard]] std::vector<Member> members_not_matching(const Index& index, const KeywordQuery& query);

/// Empties the index (for the host's cycle collector): every member's reference comes back to
/// the caller. The members keep their (now unresolvable) records of it.
void clear_index(const Index& index, std::vector<OwnedHostRef>& released);

}  // namespace vostrel
