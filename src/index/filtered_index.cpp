// Views of an index and the store lookups they make.
#include "index/filtered_index.hpp"

#include "index/fatal.hpp"

namespace vostrel {

FilteredIndex FilteredIndex::of(const Index& index, Bitmap ids) {
  return FilteredIndex{index.query_maps, index.stored_items, std::move(ids)};
}

FilteredIndex FilteredIndex::narrowed(const Bitmap& matched) const {
  return FilteredIndex{query_maps, stored_items, Bitmap::and_(matched, ids)};
}

std::optional<std::string> FilteredIndex::verify() const {
  if (!query_maps || !stored_items) return "view without a table or a store";
  auto store = stored_items->read();
  std::optional<std::string> reason;
  ids.for_each([&](Id id) {
    if (!reason && (id >= store->size() || !(*store)[id]))
      reason = "admitted id " + std::to_string(id) + " has no stored object";
  });
  return reason;
}

const StoredItem& stored_at(const ItemStore& store, Id id) {
  if (id >= store.size() || !store[id]) fatal_missing_value();
  return store[id];
}

Index make_rebased(const Bitmap& ids) {
  Index rebased = Index::make();
  rebased.ids = ids.clone();
  const std::size_t slots = ids.is_empty() ? 0 : static_cast<std::size_t>(ids.maximum()) + 1;
  rebased.stored_items->write()->resize(slots);
  return rebased;
}

}  // namespace vostrel
