// Object ids, index records and the index updates of an attribute assignment.
#include "index/indexable.hpp"

#include <algorithm>
#include <functional>

namespace vostrel {

std::atomic<std::uint64_t> GLOBAL_ID_COUNTER{kFirstObjectId};

std::optional<Id> take_object_id() noexcept {
  std::uint64_t taken = GLOBAL_ID_COUNTER.load();
  // Never move the counter past the last id, so exhaustion stays exhausted instead of wrapping.
  do {
    if (taken > kLastObjectId) return std::nullopt;
  } while (!GLOBAL_ID_COUNTER.compare_exchange_weak(taken, taken + 1));
  return static_cast<Id>(taken);
}

const Index& DEFAULT_INDEX_ARC() {
  static const Index sentinel = Index::make();
  return sentinel;
}

void add_index(Indexable& obj, IndexMeta record) {
  obj.index_meta.push_back(std::move(record));
  const auto* sentinel = DEFAULT_INDEX_ARC().query_maps.get();
  boost::container::small_vector<std::pair<const void*, IndexMeta>, kInlineIndexRecords> kept;
  for (auto& meta : obj.index_meta) {
    SharedTable table = meta.resolve();
    if (!table || table.get() == sentinel) continue;
    kept.emplace_back(table.get(), std::move(meta));
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto& a, const auto& b) { return std::less<const void*>{}(a.first, b.first); });
  obj.index_meta.clear();
  for (auto& [identity, meta] : kept) obj.index_meta.push_back(std::move(meta));
}

void update_index(RwLock<QueryMapTable>::WriteGuard table, AttrName name, const PyValue* old,
                  const PyValue& value, Id id) {
  if (!is_indexable_name(name.view())) return;
  if (old) {
    // Read where it stands: the caller keeps the object's attribute map unchanged until the
    // update is done, and a copy would only touch the value's shared holder.
    const PyValue& previous = *old;
    if (auto it = table->find(name); it != table->end()) {
      QueryMap& map = *it->second;
      if (map.find(previous)) {
        map.remove_id(previous, id);
        map.check_prune(previous);
      }
      if (map.value_sets.empty()) table->erase(it);
    }
  }
  _add_index(*table, id, std::move(name), value);
}

void index_attributes(QueryMapTable& table, const Indexable& obj) {
  for (const auto& [name, value] : obj.attributes)
    if (is_indexable_name(name.view())) _add_index(table, obj.id, name, value);
}

void remove_numeric_pairs(QueryMapTable& table, const Indexable& obj) {
  for (const auto& [name, value] : obj.attributes) {
    if (!is_indexable_name(name.view())) continue;
    std::optional<NumericValue> n = numeric_value(value.primitave());
    if (!n) continue;
    if (auto it = table.find(name); it != table.end()) (void)it->second->range_tree.remove(*n, obj.id);
  }
}

void remove_index(Indexable& obj, const RwLock<QueryMapTable>* table) {
  auto& records = obj.index_meta;
  records.erase(std::remove_if(records.begin(), records.end(),
                               [&](const IndexMeta& meta) { return meta.resolve().get() == table; }),
                records.end());
}

ResolvedTables resolve_distinct(const Indexable& obj) {
  ResolvedTables tables;
  for (const auto& meta : obj.index_meta)
    if (SharedTable table = meta.resolve()) tables.push_back(std::move(table));
  const auto by_identity = [](const SharedTable& a, const SharedTable& b) {
    return std::less<const void*>{}(a.get(), b.get());
  };
  std::sort(tables.begin(), tables.end(), by_identity);
  // An object added twice to one index holds two records of it; a read locks each table once.
  tables.erase(std::unique(tables.begin(), tables.end()), tables.end());
  return tables;
}

}  // namespace vostrel
