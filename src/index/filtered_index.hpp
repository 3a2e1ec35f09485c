// A view of an index: its shared table and store, restricted to a fixed set of admitted ids.
#pragma once

#include <optional>
#include <string>

#include "index/index.hpp"

namespace vostrel {

/// Fields: `query_maps` and `stored_items` are shares of the structures of the index the view was
/// made from; `ids` is owned, fixed at creation and never changed afterwards.
struct FilteredIndex {
  SharedTable query_maps;
  SharedStore stored_items;
  Bitmap ids;

  /// A view of `index`'s table and store admitting `ids`.
  [[nodiscard]] static FilteredIndex of(const Index& index, Bitmap ids);
  /// A view of the same table and store admitting the ids of `matched` that this view admits.
  [[nodiscard]] FilteredIndex narrowed(const Bitmap& matched) const;
  /// The reason when an admitted id names no filled slot of the store (takes its read lock).
  [[nodiscard]] std::optional<std::string> verify() const;
};

/// The item in slot id; the missing-value error when the store is shorter or the slot is empty.
[[nodiscard]] const StoredItem& stored_at(const ItemStore& store, Id id);

/// The index value a rebase fills: a new table, a new store of `ids.maximum() + 1` empty slots
/// (none when `ids` is empty), and a copy of `ids`.
[[nodiscard]] Index make_rebased(const Bitmap& ids);

}  // namespace vostrel
