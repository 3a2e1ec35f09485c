// Ordering and counting by one attribute.
#include "index/ordering.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace vostrel {

namespace {

/// NaNs sort beyond the infinities in the tree: a key whose prefix lies outside them is a NaN.
bool is_nan_prefix(Key128 prefix) {
  static const Key128 kTop = ordered_prefix(std::numeric_limits<double>::infinity());
  static const Key128 kBottom = ordered_prefix(-std::numeric_limits<double>::infinity());
  return prefix > kTop || prefix < kBottom;
}

bool admits(const Bitmap* admitted, Id id) { return !admitted || admitted->contains(id); }

/// Walks the tree's keys from the low end (the high end when descending), skipping ids that
/// `admitted` lacks and putting NaNs aside into `nan`: f(id, prefix) for every other key until it
/// returns false.
template <class F>
void walk_numbers(const QueryMap& map, const Bitmap* admitted, bool descending, std::vector<Id>& nan, F&& f) {
  map.range_tree.walk(descending, [&](Key128 key) {
    const Id id = static_cast<Id>(key);
    const Key128 prefix = key >> kIdBits;
    if (!admits(admitted, id)) return true;
    if (is_nan_prefix(prefix)) {
      nan.push_back(id);
      return true;
    }
    return f(id, prefix);
  });
}

}  // namespace

NumberOrder order_by_number(const QueryMap& map, const Bitmap* admitted, bool descending, std::size_t limit) {
  NumberOrder out;
  // Descending, the tree gives equal numbers in descending id order: each run of one number is
  // gathered, then emitted in ascending id order.
  std::vector<Id> run;
  Key128 run_prefix = 0;
  auto flush = [&] {
    for (auto it = run.rbegin(); it != run.rend() && out.ids.size() < limit; ++it) out.ids.push_back(*it);
    run.clear();
  };
  walk_numbers(map, admitted, descending, out.nan, [&](Id id, Key128 prefix) {
    if (!descending) {
      if (out.ids.size() < limit) out.ids.push_back(id);
    } else {
      if (!run.empty() && prefix != run_prefix) flush();
      run_prefix = prefix;
      run.push_back(id);
    }
    // NaNs lie at both ends, so the walk goes on past the limit only for those beyond it.
    return out.ids.size() < limit;
  });
  if (descending) flush();
  std::sort(out.nan.begin(), out.nan.end());
  return out;
}

ValueGroups group_by_value(const QueryMap& map, const Bitmap* admitted) {
  ValueGroups out;
  Key128 last_prefix = 0;
  bool open = false;
  walk_numbers(map, admitted, false, out.nan, [&](Id id, Key128 prefix) {
    if (!open || prefix != last_prefix) out.groups.emplace_back();
    open = true;
    last_prefix = prefix;
    out.groups.back().push_back(id);
    return true;
  });
  std::sort(out.nan.begin(), out.nan.end());
  out.number_rank.resize(out.groups.size());
  for (std::size_t i = 0; i < out.groups.size(); ++i) out.number_rank[i] = i;
  if (map.others > 0) {
    const Bitmap numbered = map.range_tree.ids();
    for (const auto& [hash, set] : map.value_sets) {
      std::vector<Id> ids;
      set.for_each([&](Id id) {
        if (admits(admitted, id) && !numbered.contains(id)) ids.push_back(id);
      });
      if (ids.empty()) continue;
      std::sort(ids.begin(), ids.end());
      out.groups.push_back(std::move(ids));
      out.number_rank.push_back(ValueGroups::kNotANumber);
    }
  }
  std::vector<std::size_t> order(out.groups.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return out.groups[a].front() < out.groups[b].front(); });
  ValueGroups sorted;
  sorted.nan = std::move(out.nan);
  for (const std::size_t i : order) {
    sorted.groups.push_back(std::move(out.groups[i]));
    sorted.number_rank.push_back(out.number_rank[i]);
  }
  return sorted;
}

std::vector<ValueCount> count_values(const QueryMap& map, const Bitmap* admitted) {
  std::vector<ValueCount> out;
  out.reserve(map.value_sets.size());
  for (const auto& [hash, set] : map.value_sets) {
    ValueCount c{hash, 0, std::numeric_limits<Id>::max()};
    if (set.is_large()) {
      const Bitmap& ids = set.bitmap();
      if (!admitted) {
        c.count = ids.cardinality();
        c.first = ids.minimum();
      } else {
        c.count = Bitmap::and_cardinality(ids, *admitted);
        if (c.count > 0) c.first = Bitmap::and_minimum(ids, *admitted);
      }
    } else {
      set.for_each([&](Id id) {
        if (!admits(admitted, id)) return;
        ++c.count;
        c.first = std::min(c.first, id);
      });
    }
    if (c.count > 0) out.push_back(c);
  }
  std::sort(out.begin(), out.end(), [](const ValueCount& a, const ValueCount& b) {
    return a.count != b.count ? a.count > b.count : a.first < b.first;
  });
  return out;
}

}  // namespace vostrel
