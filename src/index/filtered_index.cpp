// Views of an index.
#include "index/filtered_index.hpp"

namespace vostrel {

FilteredIndex FilteredIndex::of(const Index& index, const IndexState& s, Bitmap ids) {
  return FilteredIndex{index.state, std::move(ids), s.epoch};
}

FilteredIndex FilteredIndex::narrowed(const Bitmap& matched) const {
  return FilteredIndex{state, Bitmap::and_(matched, ids), epoch};
}

Bitmap admitted_ids(const IndexState& s, const FilteredIndex& view) {
  if (unchanged_since(s, view)) return view.ids.clone();
  std::vector<Id> kept;
  kept.reserve(view.ids.cardinality());
  for_each_admitted(s, view, [&](Id id, HostObject*) { kept.push_back(id); });
  return Bitmap::of_sorted(kept);
}

}  // namespace vostrel
