// The index value, the attribute table and the object store.
#include "index/index.hpp"

#include "index/fatal.hpp"

namespace vostrel {

Index Index::make() {
  return Index{std::make_shared<RwLock<QueryMapTable>>(), std::make_shared<RwLock<ItemStore>>(), Bitmap()};
}

Index Index::clone() const { return Index{query_maps, stored_items, ids.clone()}; }

void _add_index(QueryMapTable& table, Id id, AttrName name, const PyValue& value) {
  if (auto it = table.find(name); it != table.end()) {
    it->second->insert(value, id);
    return;
  }
  auto map = std::make_unique<QueryMap>();
  map->insert(value, id);
  table.emplace(std::move(name), std::move(map));
}

void expect_unpoisoned(const Index& index, std::source_location where) {
  if (index.query_maps->is_poisoned() || index.stored_items->is_poisoned()) fatal(kPoisonedLock, where);
}

void store_item(ItemStore& store, Id id, StoredItem item) {
  if (id >= store.size()) store.resize(static_cast<std::size_t>(id) + 1);
  store[id] = std::move(item);
}

void narrow_value_sets(QueryMapTable& table, const Bitmap& kept) {
  const HybridSet keep = HybridSet::from_bitmap(kept.clone());
  for (auto& [name, map] : table)
    for (auto& [value, set] : map->value_sets) set.and_inplace(keep);
}

std::optional<std::string> verify_table(const QueryMapTable& table) {
  for (const auto& [name, map] : table) {
    if (!map) return "attribute " + std::string(name.view()) + " has no value map";
    if (auto reason = map->verify()) return "attribute " + std::string(name.view()) + ": " + *reason;
  }
  return std::nullopt;
}

// ===========================================================================================
// Union
// ===========================================================================================

UnionArrivals union_arrivals(const Index& self, const Index& other) {
  UnionArrivals arrivals;
  arrivals.ids = Bitmap::andnot(other.ids, self.ids).to_vector();
  arrivals.items.reserve(arrivals.ids.size());
  auto store = other.stored_items->read();
  for (Id id : arrivals.ids) {
    if (id >= store->size() || !(*store)[id]) fatal_missing_value();
    arrivals.items.push_back((*store)[id].share());
  }
  return arrivals;
}

void union_with(Index& self, const Index& other, UnionArrivals arrivals) {
  if (arrivals.ids.size() != arrivals.items.size()) fatal_out_of_range();
  if (self.query_maps != other.query_maps) {  // a shared table already holds everything
    auto table = self.query_maps->write();
    auto theirs = other.query_maps->read();
    for (const auto& [name, map] : *theirs) {
      if (!map) fatal_missing_value();
      auto it = table->find(name);
      if (it == table->end()) it = table->emplace(name, std::make_unique<QueryMap>()).first;
      it->second->merge(*map);
    }
  }
  {
    auto store = self.stored_items->write();
    for (std::size_t i = 0; i < arrivals.ids.size(); ++i)
      store_item(*store, arrivals.ids[i], std::move(arrivals.items[i]));
  }
  self.ids.add_many(arrivals.ids);
}

}  // namespace vostrel
