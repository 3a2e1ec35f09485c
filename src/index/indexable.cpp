// Object ids, index records and the index updates of an attribute assignment.
#include "index/indexable.hpp"

#include <algorithm>
#include <functional>

#include "index/fatal.hpp"
#include "index/memory_reserve.hpp"

namespace vostrel {

// ---------------------------------------------------------------------------------------------
// Object ids

IdAllocator GLOBAL_ID_COUNTER;

std::optional<Id> IdAllocator::take() {
  std::lock_guard lock(mutex_);
  if (!free_.is_empty()) {
    const Id id = free_.minimum();
    if (id <= last_) {
      free_.remove(id);
      return id;
    }
  }
  if (next_ == 0 || next_ > last_) return std::nullopt;  // next_ wraps to 0 past the last 32-bit id
  return next_++;
}

void IdAllocator::give_back(Id id) noexcept {
  if (id == 0) return;
  std::lock_guard lock(mutex_);
  if (next_ != 0 && id + 1 == next_) {
    // The highest id handed out: the free ids below it that form a run come back to next_ too,
    // so that the set of free ids stays small after a burst.
    --next_;
    while (next_ > 1 && free_.contains(next_ - 1)) {
      free_.remove(next_ - 1);
      --next_;
    }
    return;
  }
  try {
    free_.add(id);
  } catch (...) {
    // Out of memory: the id is lost to reuse, which costs one id of the 2**32.
  }
}

std::uint64_t IdAllocator::in_use() const {
  std::lock_guard lock(mutex_);
  const std::uint64_t handed = next_ == 0 ? std::uint64_t{UINT32_MAX} : std::uint64_t{next_} - 1;
  return handed - free_.cardinality();
}

Id IdAllocator::next_unused() const {
  std::lock_guard lock(mutex_);
  return next_;
}

void IdAllocator::set_last(Id last) {
  std::lock_guard lock(mutex_);
  last_ = last;
}

std::optional<ObjectId> ObjectId::take() {
  std::optional<Id> id = GLOBAL_ID_COUNTER.take();
  if (!id) return std::nullopt;
  return ObjectId(*id);
}

ObjectId& ObjectId::operator=(ObjectId&& other) noexcept {
  if (this != &other) {
    GLOBAL_ID_COUNTER.give_back(id_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

ObjectId::~ObjectId() { GLOBAL_ID_COUNTER.give_back(id_); }

// ---------------------------------------------------------------------------------------------
// Records of indexes

const Index& DEFAULT_INDEX_ARC() {
  static const Index sentinel = Index::make();
  return sentinel;
}

void reserve_index_record(Indexable& obj) {
  (void)DEFAULT_INDEX_ARC();  // made now, so that add_index allocates nothing
  obj.index_meta.reserve(obj.index_meta.size() + 1);
}

void add_index(Indexable& obj, IndexMeta record) {
  const SharedState adding = record.resolve();
  const auto* sentinel = DEFAULT_INDEX_ARC().state.get();
  // Keep, in order, the records that resolve to an index other than the sentinel, each index once.
  auto kept = obj.index_meta.begin();
  bool present = false;
  for (auto& meta : obj.index_meta) {
    const SharedState target = meta.resolve();
    if (!target || target.get() == sentinel) continue;
    if (target == adding) {
      if (present) continue;
      present = true;
    }
    if (&*kept != &meta) *kept = std::move(meta);
    ++kept;
  }
  obj.index_meta.erase(kept, obj.index_meta.end());
  if (present || !adding || adding.get() == sentinel) return;
  // The records are ordered by their indexes' shared blocks, an order that stays the same when an
  // index dies on another thread meanwhile; an order by resolved state would change under the
  // sort (a dead record resolves to null), and a sort given an order that changes may run off
  // the list. The new record goes in at its place.
  obj.index_meta.push_back(std::move(record));
  const auto last = std::prev(obj.index_meta.end());
  const auto place = std::upper_bound(obj.index_meta.begin(), last, *last, [](const IndexMeta& a, const IndexMeta& b) {
    return a.index.owner_before(b.index);
  });
  std::rotate(place, last, obj.index_meta.end());
}

void remove_index(Indexable& obj, const RwLock<IndexState>* state) noexcept {
  auto& records = obj.index_meta;
  records.erase(std::remove_if(records.begin(), records.end(),
                               [&](const IndexMeta& meta) {
                                 const SharedState target = meta.resolve();
                                 return !target || target.get() == state;
                               }),
                records.end());
}

ResolvedStates resolve_distinct(const Indexable& obj) {
  ResolvedStates states;
  for (const auto& meta : obj.index_meta)
    if (SharedState state = meta.resolve()) states.push_back(std::move(state));
  const auto by_identity = [](const SharedState& a, const SharedState& b) {
    return std::less<const void*>{}(a.get(), b.get());
  };
  std::sort(states.begin(), states.end(), by_identity);
  states.erase(std::unique(states.begin(), states.end()), states.end());
  return states;
}

// ---------------------------------------------------------------------------------------------
// Assignments

namespace {

/// Applies the move of one object's attribute to one index's state. Returns false when the index
/// does not hold the object, which leaves it unchanged.
bool update_state(IndexState& s, const AttrName& name, const PyValue* old, const PyValue& value, Id id) {
  if (!s.ids.contains(id)) return false;
  auto it = s.query_maps.find(name);
  if (old && it != s.query_maps.end()) {
    if (const HybridSet* set = it->second->find(old->hash()); set && set->contains(id)) {
      it->second->move(*old, value, id);
      return true;
    }
  }
  const bool created = it == s.query_maps.end();
  if (created) it = s.query_maps.emplace(name, std::make_unique<QueryMap>()).first;
  try {
    it->second->insert(value, id);
  } catch (...) {
    if (created) s.query_maps.erase(it);
    throw;
  }
  return true;
}

/// Undoes update_state: puts the object back under `old` (or takes it out when it had no value).
void restore_state(IndexState& s, const AttrName& name, const PyValue* old, const PyValue& value, Id id) {
  auto it = s.query_maps.find(name);
  if (it == s.query_maps.end()) return;
  QueryMap& map = *it->second;
  if (old) {
    map.move(value, *old, id);
    return;
  }
  map.remove_id(value, id);
  map.check_prune(value.hash());
  if (map.empty()) s.query_maps.erase(it);
}

}  // namespace

void update_indexes(const Indexable& obj, const AttrName& name, const PyValue* old, const PyValue& value) {
  if (!is_indexable_name(name.view())) return;
  const ResolvedStates states = resolve_distinct(obj);
  if (!states.empty()) memory::expect_reserve();
  // Updating the healthy indexes first would leave them holding a value that the object, which
  // keeps its old one when the assignment fails, does not have.
  for (const SharedState& state : states)
    if (state->is_poisoned()) fatal(kPoisonedLock);
  std::size_t done = 0;
  boost::container::small_vector<bool, kInlineIndexRecords> changed(states.size(), false);
  try {
    for (; done < states.size(); ++done) {
      auto guard = states[done]->write();
      try {
        changed[done] = update_state(*guard, name, old, value, obj.id);
      } catch (const std::bad_alloc&) {
        guard.keep_unpoisoned();  // update_state undid itself
        throw;
      }
    }
  } catch (const std::bad_alloc&) {
    // The indexes already updated go back to the old value, one at a time.
    memory::release_reserve();
    while (done-- > 0) {
      if (!changed[done]) continue;
      auto guard = states[done]->write();
      try {
        restore_state(*guard, name, old, value, obj.id);
      } catch (const std::bad_alloc&) {
        fatal("an index could not take back an assignment that failed elsewhere");
      }
    }
    throw;
  }
}

}  // namespace vostrel
