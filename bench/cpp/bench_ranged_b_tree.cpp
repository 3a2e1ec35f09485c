// Timings of the ranged bitmap B-tree at a million keys, each beside a sorted-vector baseline
// measured in the same run: insertion, removal, and range queries of several widths, with
// every id admissible and with a restrictive admissible set. Two data sets: ids unrelated to
// values (every bitmap spans the whole id range), and ids that follow the values (objects
// created in value order, so the ids below a child cluster).
//
// Usage: bench_ranged_b_tree [keys [filter]]   keys defaults to 1000000; with a filter, only the
// query rows whose name contains it are run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "index/ranged_b_tree.hpp"

namespace {

using vostrel::Bitmap;
using vostrel::BitMapBTree;
using vostrel::Bound;
using vostrel::CompositeKey128;
using vostrel::Id;
using vostrel::Key128;
using vostrel::NumericValue;
using Clock = std::chrono::steady_clock;

// Values are drawn from [0, kValueSpan * keys), so about kValueSpan values lie between ids.
constexpr std::int64_t kValueSpan = 4;
// Repetitions of each timed query batch; the fastest one is reported.
constexpr int kRepeats = 7;

double seconds_of(const std::function<void()>& f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

/// The fastest of `repeats` runs of each of a and b, alternating so both see the same load.
std::pair<double, double> best_of_each(int repeats, const std::function<void()>& a, const std::function<void()>& b) {
  double best_a = 1e100, best_b = 1e100;
  for (int i = 0; i < repeats; ++i) {
    best_a = std::min(best_a, seconds_of(a));
    best_b = std::min(best_b, seconds_of(b));
  }
  return {best_a, best_b};
}

/// The baseline: every key in one sorted vector.
class SortedKeys {
 public:
  void build(std::vector<Key128> keys) {
    keys_ = std::move(keys);
    std::sort(keys_.begin(), keys_.end());
  }
  void insert(Key128 k) { keys_.insert(std::lower_bound(keys_.begin(), keys_.end(), k), k); }
  bool remove(Key128 k) {
    auto it = std::lower_bound(keys_.begin(), keys_.end(), k);
    if (it == keys_.end() || *it != k) return false;
    keys_.erase(it);
    return true;
  }
  /// Ids with lo <= value <= hi: binary search for the start, scan, then intersect.
  Bitmap query(std::int64_t lo, std::int64_t hi, const Bitmap& admissible) const {
    const Key128 first = vostrel::ordered_prefix(NumericValue(lo)) << vostrel::kIdBits;
    const Key128 last_prefix = vostrel::ordered_prefix(NumericValue(hi));
    Bitmap out;
    Bitmap::BulkAdder adder(out);
    for (auto it = std::lower_bound(keys_.begin(), keys_.end(), first);
         it != keys_.end() && (*it >> vostrel::kIdBits) <= last_prefix; ++it)
      adder.add(static_cast<Id>(*it));
    out.and_inplace(admissible);
    return out;
  }

 private:
  std::vector<Key128> keys_;
};

struct Row {
  std::string name;
  double tree_s;
  double base_s;
  std::size_t ops;
};

void print(const Row& r) {
  const auto ops = static_cast<double>(r.ops);
  std::printf("%-34s %12.3f %12.3f %9.1fx\n", r.name.c_str(), r.tree_s / ops * 1e6, r.base_s / ops * 1e6,
              r.base_s / r.tree_s);
}

/// Runs every row on one data set; false when the tree and the baseline disagree.
bool run(const char* title, const std::vector<std::pair<std::int64_t, Id>>& pairs, std::int64_t value_limit,
         const std::string& filter, std::mt19937_64& rng) {
  const std::size_t keys = pairs.size();
  std::printf("\n%s: %zu keys, microseconds per operation\n", title, keys);
  std::printf("%-34s %12s %12s %10s\n", "operation", "tree", "baseline", "speed-up");

  BitMapBTree tree;
  SortedKeys base;
  {
    const double t = seconds_of([&] {
      for (const auto& [v, id] : pairs) tree.insert(v, id);
    });
    std::vector<Key128> raw;
    const double b = seconds_of([&] {
      raw.reserve(keys);
      for (const auto& [v, id] : pairs) raw.push_back(CompositeKey128::make(v, id).key);
      base.build(std::move(raw));
    });
    print({"build (insert each / sort once)", t, b, keys});
  }
  if (auto problem = tree.verify()) {
    std::fprintf(stderr, "tree broken after build: %s\n", problem->c_str());
    return false;
  }

  // Insertion and removal of fresh pairs into the full structures.
  constexpr std::size_t kChurn = 2000;
  std::vector<std::pair<std::int64_t, Id>> extra(kChurn);
  for (std::size_t i = 0; i < kChurn; ++i)
    extra[i] = {static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(value_limit)),
                static_cast<Id>(keys + 1 + i)};
  {
    const double t = seconds_of([&] {
      for (const auto& [v, id] : extra) tree.insert(v, id);
    });
    const double b = seconds_of([&] {
      for (const auto& [v, id] : extra) base.insert(CompositeKey128::make(v, id).key);
    });
    print({"insert", t, b, kChurn});
  }
  {
    std::size_t removed = 0;
    const double t = seconds_of([&] {
      for (const auto& [v, id] : extra) removed += tree.remove(v, id);
    });
    const double b = seconds_of([&] {
      for (const auto& [v, id] : extra) removed += base.remove(CompositeKey128::make(v, id).key);
    });
    if (removed != 2 * kChurn) {
      std::fprintf(stderr, "removal lost pairs\n");
      return false;
    }
    print({"remove", t, b, kChurn});
  }

  Bitmap every;
  {
    Bitmap::BulkAdder adder(every);
    for (Id id = 1; id <= keys; ++id) adder.add(id);
  }
  Bitmap one_in_100;
  {
    Bitmap::BulkAdder adder(one_in_100);
    for (Id id = 1; id <= keys; ++id)
      if (rng() % 100 == 0) adder.add(id);
  }

  struct Width {
    const char* name;
    double share;  // of all keys
    std::size_t queries;
  };
  const Width widths[] = {{"narrow (~100 ids)", 100.0 / static_cast<double>(keys), 2000},
                          {"medium (1%)", 0.01, 200},
                          {"wide (50%)", 0.5, 20}};
  struct Admit {
    const char* name;
    const Bitmap* set;
  };
  const Admit admits[] = {{"all ids", &every}, {"1% of ids", &one_in_100}};

  for (const auto& w : widths) {
    const auto span = static_cast<std::int64_t>(w.share * static_cast<double>(value_limit));
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges(w.queries);
    for (auto& r : ranges) {
      const auto lo = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(value_limit - span));
      r = {lo, lo + span - 1};
    }
    for (const auto& a : admits) {
      const std::string name = std::string(w.name) + ", " + a.name;
      if (name.find(filter) == std::string::npos) continue;
      std::uint64_t tree_total = 0, base_total = 0;
      for (const auto& [lo, hi] : ranges) {
        const Bitmap x = tree.query_range(Bound::included(lo), Bound::included(hi), *a.set);
        const Bitmap y = base.query(lo, hi, *a.set);
        if (!(x == y)) {
          std::fprintf(stderr, "results differ for [%lld, %lld]\n", static_cast<long long>(lo),
                       static_cast<long long>(hi));
          return false;
        }
      }
      const auto [t, b] = best_of_each(
          kRepeats,
          [&] {
            for (const auto& [lo, hi] : ranges)
              tree_total += tree.query_range(Bound::included(lo), Bound::included(hi), *a.set).cardinality();
          },
          [&] {
            for (const auto& [lo, hi] : ranges) base_total += base.query(lo, hi, *a.set).cardinality();
          });
      print({name, t, b, ranges.size()});
      if (tree_total != base_total) return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t keys = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::string filter = argc > 2 ? argv[2] : "";
  std::mt19937_64 rng(42);
  const std::int64_t value_limit = kValueSpan * static_cast<std::int64_t>(keys);

  // Ids 1..keys, each under one random value.
  std::vector<std::pair<std::int64_t, Id>> pairs(keys);
  for (std::size_t i = 0; i < keys; ++i)
    pairs[i] = {static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(value_limit)), static_cast<Id>(i + 1)};
  std::printf("ranged bitmap B-tree against a sorted vector (binary search, scan, build, intersect)\n");
  if (!run("ids unrelated to values", pairs, value_limit, filter, rng)) return 1;

  // The same values, with ids handed out in value order; inserted in the same random order.
  std::vector<std::size_t> order(keys);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return pairs[a].first < pairs[b].first; });
  for (std::size_t rank = 0; rank < keys; ++rank) pairs[order[rank]].second = static_cast<Id>(rank + 1);
  if (!run("ids following values", pairs, value_limit, filter, rng)) return 1;
  return 0;
}
