// A view of an index: its state, restricted to a set of admitted ids fixed when the view is made.
//
// A view follows its index: an object the index lets go of (taken out, or dropped by a narrowing)
// leaves every answer of the view, and an object that enters the index after the view was made
// never enters it, even under an id the view admitted for an object that is gone. Both come from
// the epoch: a view admits an id only while the index holds an object there that entered at the
// view's epoch or before.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "index/index.hpp"

namespace vostrel {

/// Fields: `state` is a share of the index the view was made from; `ids` (owned, never changed)
/// holds every id the view admitted when made, some of which may have left the index since;
/// `epoch` is the index's epoch when the view (or the view it was narrowed from) was made.
struct FilteredIndex {
  SharedState state;
  Bitmap ids;
  std::uint64_t epoch = 0;

  /// A view of `index` admitting `ids`, as of the index's current epoch; the caller holds the
  /// index's lock (`s` is its state).
  [[nodiscard]] static FilteredIndex of(const Index& index, const IndexState& s, Bitmap ids);
  /// A view of the same index admitting the ids of `matched` that this view admits.
  [[nodiscard]] FilteredIndex narrowed(const Bitmap& matched) const;
};

/// True when the view admits `slot` (an object of the view's index now).
[[nodiscard]] inline bool admits(const FilteredIndex& view, const StoredItem& slot) noexcept {
  return slot && slot.entered <= view.epoch;
}

/// True when no object has left the index since the view was made: every id the view holds is
/// then admitted as it stands.
[[nodiscard]] inline bool unchanged_since(const IndexState& s, const FilteredIndex& view) noexcept {
  return s.departed <= view.epoch;
}

/// The ids the view admits now; the caller holds the index's lock (`s` is its state).
[[nodiscard]] Bitmap admitted_ids(const IndexState& s, const FilteredIndex& view);

/// Calls f(id, HostObject*) for every object the view admits, in ascending id order; the caller
/// holds the index's lock.
template <class F>
void for_each_admitted(const IndexState& s, const FilteredIndex& view, F&& f) {
  ObjectStore::Reader reader(s.stored_items);
  view.ids.for_each([&](Id id) {
    const StoredItem& slot = reader.at(id);
    if (admits(view, slot)) f(id, slot.object);
  });
}

}  // namespace vostrel
