// Adding objects to an index and taking them out.
#include "index/index.hpp"

#include <algorithm>
#include <utility>

#include "index/fatal.hpp"
#include "index/indexable.hpp"
#include "index/memory_reserve.hpp"

namespace vostrel {

Index Index::make() { return Index{std::make_shared<RwLock<IndexState>>()}; }

std::optional<std::string> IndexState::verify() const {
  if (auto reason = verify_table(query_maps)) return reason;
  if (auto reason = stored_items.verify()) return reason;
  if (stored_items.size() != ids.cardinality()) return "the store and ids hold different numbers of objects";
  std::optional<std::string> reason;
  ids.for_each([&](Id id) {
    if (reason) return;
    const StoredItem& slot = stored_items.at(id);
    if (!slot) reason = "member " + std::to_string(id) + " has no stored object";
    else if (slot.entered > epoch) reason = "member " + std::to_string(id) + " entered after the current epoch";
  });
  if (reason) return reason;
  for (const auto& [name, map] : query_maps) {
    map->holders.for_each([&](Id id) {
      if (!reason && !ids.contains(id)) reason = "attribute " + std::string(name.view()) + " holds non-member " + std::to_string(id);
    });
  }
  if (!reason && departed > epoch) reason = "a departure after the current epoch";
  return reason;
}

namespace {

/// Memory that indexing one value takes at most, roughly: its share of a value set, of the range
/// tree's nodes and bitmaps, and of the holders.
constexpr std::size_t kBytesPerIndexedValue = 96;

/// The values of one attribute that arrive with a batch of objects.
struct NameBatch {
  AttrName name;
  std::vector<std::pair<const PyValue*, Id>> values;
};

/// Groups the indexable attributes of the arriving records by name. Records share their names,
/// so the batch of a record's name is usually the one its previous record used at the same place.
std::vector<NameBatch> group_by_name(std::span<Indexable* const> records) {
  std::vector<NameBatch> batches;
  for (const Indexable* record : records) {
    std::size_t guess = 0;
    for (const auto& [name, value] : record->attributes) {
      if (!is_indexable_name(name.view())) continue;
      std::size_t b = guess < batches.size() && batches[guess].name == name ? guess : batches.size();
      if (b == batches.size()) {
        for (b = 0; b < batches.size() && !(batches[b].name == name); ++b) {
        }
        if (b == batches.size()) batches.push_back(NameBatch{name, {}});
      }
      batches[b].values.emplace_back(&value, record->id);
      guess = b + 1;
    }
  }
  return batches;
}

/// Takes `id` out of `map` under `value` and drops what is left empty (the value's entry, the
/// map itself from the table).
void unindex(QueryMapTable& table, const AttrName& name, const PyValue& value, Id id) {
  auto it = table.find(name);
  if (it == table.end()) return;
  QueryMap& map = *it->second;
  if (const HybridSet* set = map.find(value.hash()); set && set->contains(id)) {
    map.remove_id(value, id);
    map.check_prune(value.hash());
  }
  if (map.empty()) table.erase(it);
}

/// Indexes one batch into the table; on failure the table is as it was.
void index_batch(QueryMapTable& table, const NameBatch& batch) {
  auto it = table.find(batch.name);
  const bool created = it == table.end();
  if (created) it = table.emplace(batch.name, std::make_unique<QueryMap>()).first;
  try {
    it->second->insert_many(batch.values);
  } catch (...) {
    if (created) table.erase(batch.name);
    throw;
  }
}

/// add_objects under the write lock.
void add_locked(const Index& index, IndexState& s, std::span<Arrival> arrivals);

}  // namespace

void add_objects(const Index& index, std::span<Arrival> arrivals) {
  memory::expect_reserve();
  auto state = index.state->write();
  try {
    add_locked(index, *state, arrivals);
  } catch (const std::bad_alloc&) {
    state.keep_unpoisoned();  // everything was undone
    throw;
  }
}

namespace {

void add_locked(const Index& index, IndexState& s, std::span<Arrival> arrivals) {
  std::vector<Indexable*> fresh;
  fresh.reserve(arrivals.size());
  std::vector<Id> fresh_ids;
  fresh_ids.reserve(arrivals.size());
  for (const Arrival& a : arrivals) {
    if (s.ids.contains(a.record->id)) continue;
    fresh.push_back(a.record);
    fresh_ids.push_back(a.record->id);
  }
  if (fresh.empty()) return;

  // Everything that may fail comes first; nothing the index shows changes until it all succeeded.
  std::sort(fresh_ids.begin(), fresh_ids.end());
  if (std::adjacent_find(fresh_ids.begin(), fresh_ids.end()) != fresh_ids.end()) {
    // A record that arrives twice is indexed once.
    fresh_ids.erase(std::unique(fresh_ids.begin(), fresh_ids.end()), fresh_ids.end());
    Bitmap seen;
    std::erase_if(fresh, [&seen](const Indexable* record) { return !seen.add_checked(record->id); });
  }
  Bitmap arriving = Bitmap::of_sorted(fresh_ids);
  Bitmap members = s.ids.clone();
  members.or_inplace(arriving);
  for (Indexable* record : fresh) reserve_index_record(*record);
  const std::vector<NameBatch> batches = group_by_name(fresh);
  std::size_t values = 0;
  for (const NameBatch& b : batches) values += b.values.size();
  // About what indexing the values takes (sets, trees, bitmaps): checked before anything changes.
  memory::expect_headroom(values * kBytesPerIndexedValue);
  std::size_t indexed = 0;
  try {
    s.stored_items.reserve(arriving);
    for (; indexed < batches.size(); ++indexed) index_batch(s.query_maps, batches[indexed]);
  } catch (...) {
    memory::release_reserve();
    while (indexed-- > 0)
      for (const auto& [value, id] : batches[indexed].values) unindex(s.query_maps, batches[indexed].name, *value, id);
    s.stored_items.drop_empty_pages();
    throw;
  }

  // Committing allocates nothing.
  const std::uint64_t epoch = ++s.epoch;
  for (Arrival& a : arrivals) {
    if (!arriving.contains(a.record->id) || s.stored_items.at(a.record->id)) continue;
    s.stored_items.put(a.record->id, a.object.release(), epoch);
    add_index(*a.record, IndexMeta{index.state});
  }
  s.ids = std::move(members);
}

}  // namespace

void remove_objects(const Index& index, std::span<Indexable* const> records, std::vector<OwnedHostRef>& released) {
  memory::expect_reserve();
  released.reserve(released.size() + records.size());
  auto state = index.state->write();
  IndexState& s = *state;
  for (const Indexable* record : records)
    if (!s.ids.contains(record->id)) fatal("an object to take out of an index is not in it");
  // What taking out needs is made first; the taking out itself allocates nothing.
  std::vector<NameBatch> batches;
  std::vector<Key128> keys;
  try {
    batches = group_by_name(records);
    std::size_t most = 0;
    for (const NameBatch& b : batches) most = std::max(most, b.values.size());
    keys.reserve(most);
  } catch (const std::bad_alloc&) {
    state.keep_unpoisoned();  // nothing changed
    throw;
  }
  for (const NameBatch& b : batches) {
    auto it = s.query_maps.find(b.name);
    if (it == s.query_maps.end()) continue;
    it->second->remove_many(b.values, keys);
    if (it->second->empty()) s.query_maps.erase(it);
  }
  for (Indexable* record : records) {
    released.push_back(s.stored_items.take(record->id));
    s.ids.remove(record->id);
    remove_index(*record, index.state.get());
  }
  if (!records.empty()) s.departed = ++s.epoch;
}

std::vector<Member> members_missing_from(const Index& index, const Index& other) {
  const Bitmap mine = index.state->read()->ids.clone();
  auto theirs = other.state->read();
  const Bitmap missing = Bitmap::andnot(theirs->ids, mine);
  std::vector<Member> out;
  out.reserve(missing.cardinality());
  ObjectStore::Reader reader(theirs->stored_items);
  missing.for_each([&](Id id) { out.push_back(Member{id, reader.at(id).object}); });
  return out;
}

std::vector<Member> members_not_matching(const Index& index, const KeywordQuery& query) {
  auto s = index.state->read();
  const Bitmap dropped = Bitmap::andnot(s->ids, filter_index_by_hashes(s->query_maps, query));
  std::vector<Member> out;
  out.reserve(dropped.cardinality());
  ObjectStore::Reader reader(s->stored_items);
  dropped.for_each([&](Id id) { out.push_back(Member{id, reader.at(id).object}); });
  return out;
}

void clear_index(const Index& index, std::vector<OwnedHostRef>& released) {
  auto state = index.state->write();
  IndexState& s = *state;
  try {
    s.stored_items.take_all(released);  // makes room in `released` before it takes anything
  } catch (const std::bad_alloc&) {
    state.keep_unpoisoned();
    throw;
  }
  s.query_maps.clear();
  s.ids.clear();
  s.departed = ++s.epoch;
}

}  // namespace vostrel
