// The per-attribute value map.
#include "index/query_map.hpp"

#include <vector>

#include "index/fatal.hpp"
#include "index/memory_reserve.hpp"

namespace vostrel {

namespace {

/// True when the two numbers take the same place in the tree (3 and 3.0 do).
bool same_place(const std::optional<NumericValue>& a, const std::optional<NumericValue>& b) {
  if (!a || !b) return !a && !b;
  return ordered_prefix(*a) == ordered_prefix(*b);
}

}  // namespace

void QueryMap::insert(const PyValue& value, Id id) {
  auto [it, created] = value_sets.try_emplace(value.hash(), HybridSet::from_id(id));
  if (!created && !it->second.add(id)) return;  // the pair is already held
  // From here on every step that fails is undone, so that a failed insertion leaves no trace.
  const std::uint64_t hash = value.hash();
  bool new_holder = false;
  try {
    new_holder = holders.add_checked(id);
    if (auto n = value.numeric()) range_tree.insert(*n, id);
    else ++others;
  } catch (...) {
    memory::release_reserve();  // undoing may need a little memory
    if (new_holder) holders.remove(id);
    auto at = value_sets.find(hash);
    if (created) {
      value_sets.erase(at);
    } else {
      at->second.remove(id);
    }
    throw;
  }
}

void QueryMap::insert_many(std::span<const std::pair<const PyValue*, Id>> pairs) {
  // Takes a pair's id out of its set again, dropping the entry it leaves empty.
  auto unset = [this](std::uint64_t hash, Id id) {
    auto at = value_sets.find(hash);
    at->second.remove(id);
    if (at->second.is_empty()) value_sets.erase(at);
  };
  std::vector<Key128> keys;
  std::uint64_t new_others = 0;
  std::size_t done = 0;  // pairs wholly in their sets and the holders
  try {
    keys.reserve(pairs.size());
    for (; done < pairs.size(); ++done) {
      const auto& [value, id] = pairs[done];
      const std::uint64_t hash = value->hash();
      auto [it, created] = value_sets.try_emplace(hash, HybridSet::from_id(id));
      if (!created && !it->second.add(id)) fatal("an id arrived twice under one value");
      try {
        if (!holders.add_checked(id)) fatal("an arriving id already holds the attribute");
      } catch (const std::bad_alloc&) {
        unset(hash, id);
        throw;
      }
      if (auto n = value->numeric()) keys.push_back(CompositeKey128::make(*n, id).key);
      else ++new_others;
    }
    range_tree.insert_many(std::move(keys));  // all or nothing
  } catch (...) {
    memory::release_reserve();  // undoing may need a little memory
    while (done-- > 0) {
      unset(pairs[done].first->hash(), pairs[done].second);
      holders.remove(pairs[done].second);
    }
    throw;
  }
  others += new_others;
}

void QueryMap::remove_many(std::span<const std::pair<const PyValue*, Id>> pairs, std::vector<Key128>& keys) {
  keys.clear();
  for (const auto& [value, id] : pairs) {
    auto it = value_sets.find(value->hash());
    if (it == value_sets.end() || !it->second.contains(id)) continue;
    it->second.remove(id);
    if (it->second.is_empty()) value_sets.erase(it);
    holders.remove(id);
    if (auto n = value->numeric()) keys.push_back(CompositeKey128::make(*n, id).key);
    else --others;
  }
  (void)range_tree.remove_many(std::span<Key128>(keys));
}

void QueryMap::remove_id(const PyValue& value, Id id) {
  auto it = value_sets.find(value.hash());
  if (it == value_sets.end() || !it->second.contains(id)) return;
  it->second.remove(id);
  holders.remove(id);
  if (auto n = value.numeric()) (void)range_tree.remove(*n, id);
  else --others;
}

void QueryMap::check_prune(std::uint64_t hash) {
  auto it = value_sets.find(hash);
  if (it == value_sets.end()) fatal("no entry found for key");
  if (it->second.is_empty()) value_sets.erase(it);
}

void QueryMap::move(const PyValue& old, const PyValue& value, Id id) {
  const bool same_set = old.hash() == value.hash();
  const std::optional<NumericValue> before = old.numeric();
  const std::optional<NumericValue> after = value.numeric();
  const bool same_tree_place = same_place(before, after);

  // The new set gains the id first (the only step here that may allocate apart from the tree's
  // insertion); the old set loses it last, when nothing can fail any more.
  bool created = false;
  if (!same_set) {
    auto [it, made] = value_sets.try_emplace(value.hash(), HybridSet::from_id(id));
    created = made;
    if (!made) it->second.add(id);
  }
  if (!same_tree_place) {
    // The tree tracks each id under one value, so the old pair leaves before the new one enters.
    if (before) (void)range_tree.remove(*before, id);
    try {
      if (after) range_tree.insert(*after, id);
    } catch (...) {
      memory::release_reserve();
      if (before) {
        try {
          range_tree.insert(*before, id);  // the room the old pair left is still there
        } catch (...) {
          fatal("a range tree could not take back the pair it just gave up");
        }
      }
      if (!same_set) {
        auto at = value_sets.find(value.hash());
        if (created)
          value_sets.erase(at);
        else
          at->second.remove(id);
      }
      throw;
    }
  }
  others = others + (after ? 0 : 1) - (before ? 0 : 1);
  if (!same_set) {
    if (auto it = value_sets.find(old.hash()); it != value_sets.end()) {
      it->second.remove(id);
      if (it->second.is_empty()) value_sets.erase(it);
    }
  }
}

const HybridSet* QueryMap::find(std::uint64_t hash) const {
  auto it = value_sets.find(hash);
  return it == value_sets.end() ? nullptr : &it->second;
}

std::optional<std::string> QueryMap::verify() const {
  std::uint64_t held = 0;
  Bitmap seen;
  for (const auto& [hash, set] : value_sets) {
    if (set.kind() == HybridSet::Kind::Empty) return "value set in the moved-out state";
    if (auto reason = set.verify()) return "value set: " + *reason;
    if (set.is_empty()) return "empty value set of hash " + std::to_string(hash);
    std::optional<std::string> reason;
    set.for_each([&](Id id) {
      if (!reason && seen.contains(id)) reason = "id " + std::to_string(id) + " held under two values";
      seen.add(id);
      if (!reason && !holders.contains(id)) reason = "id " + std::to_string(id) + " missing from the holders";
    });
    if (reason) return reason;
    held += set.cardinality();
  }
  if (held != holders.cardinality()) return "holders hold ids that no value set holds";
  if (auto reason = range_tree.verify()) return "range tree: " + *reason;
  const Bitmap numbered = range_tree.ids();
  if (numbered.cardinality() + others != held) return "the count of values that are not numbers is wrong";
  std::optional<std::string> reason;
  range_tree.ids().for_each([&](Id id) {
    if (!reason && !holders.contains(id)) reason = "tree holds id " + std::to_string(id) + " that no value set holds";
  });
  return reason;
}

const QueryMap* find_map(const QueryMapTable& table, const AttrName& attr) {
  auto it = table.find(attr);
  return it == table.end() ? nullptr : it->second.get();
}

std::optional<std::string> verify_table(const QueryMapTable& table) {
  for (const auto& [name, map] : table) {
    if (!map) return "attribute " + std::string(name.view()) + " has no value map";
    if (map->empty()) return "attribute " + std::string(name.view()) + " has an empty value map";
    if (auto reason = map->verify()) return "attribute " + std::string(name.view()) + ": " + *reason;
  }
  return std::nullopt;
}

}  // namespace vostrel
