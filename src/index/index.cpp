// The index value, the attribute table and the object store.
#include "index/index.hpp"

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

}  // namespace vostrel
