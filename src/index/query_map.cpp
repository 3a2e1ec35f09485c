// The per-attribute value map.
#include "index/query_map.hpp"

namespace vostrel {

std::optional<NumericValue> numeric_value(const CastValue& v) {
  switch (v.kind()) {
    case CastValue::Kind::Int:
      return NumericValue(v.as_int());
    case CastValue::Kind::Float:
      return NumericValue(v.as_float());
    default:
      return std::nullopt;
  }
}

void QueryMap::insert(const PyValue& value, Id id) {
  auto it = value_sets.find(value);
  if (it != value_sets.end()) {
    if (it->second.contains(id)) return;
    it->second.add(id);
  } else {
    value_sets.emplace(value, HybridSet::from_id(id));
  }
  if (auto n = numeric_value(value.primitave())) range_tree.insert(*n, id);
}

void QueryMap::remove_id(const PyValue& value, Id id) {
  if (auto it = value_sets.find(value); it != value_sets.end()) it->second.remove(id);
  if (auto n = numeric_value(value.primitave())) range_tree.remove(*n, id);
}

void QueryMap::check_prune(const PyValue& value) {
  auto it = value_sets.find(value);
  if (it == value_sets.end()) fatal("no entry found for key");
  if (it->second.is_empty()) value_sets.erase(it);
}

void QueryMap::merge(const QueryMap& other) {
  if (value_sets.empty() || other.value_sets.empty()) return;
  for (auto& [value, set] : value_sets)
    if (auto it = other.value_sets.find(value); it != other.value_sets.end()) set.or_inplace(it->second);
}

const HybridSet* QueryMap::find(const PyValue& value) const {
  auto it = value_sets.find(value);
  return it == value_sets.end() ? nullptr : &it->second;
}

std::optional<std::string> QueryMap::verify() const {
  for (const auto& [value, set] : value_sets) {
    if (set.kind() == HybridSet::Kind::Empty) return "value set in the moved-out state";
    if (auto reason = set.verify()) return "value set: " + *reason;
  }
  if (auto reason = range_tree.verify()) return "range tree: " + *reason;
  return std::nullopt;
}

}  // namespace vostrel
