// What the ranged B-tree tests share: a plain model of the pairs a tree holds, random values,
// bounds and admissible sets, a peer that reaches the tree's internals, and the query check.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/ranged_b_tree_impl.hpp"
#include "test_support.hpp"

namespace vostrel {

/// Reads and damages the internals of a tree.
template <std::size_t S>
struct BitMapBTreePeer {
  static typename BasicBitMapBTreeNode<S>::Ptr& root(BasicBitMapBTree<S>& tree) { return tree.root_; }
  static BasicBitMapBTreeNode<S>& root_node(BasicBitMapBTree<S>& tree) { return *tree.root_; }
};

/// Bitmaps print as their ids.
inline void PrintTo(const Bitmap& b, std::ostream* os) {
  *os << "{";
  const char* sep = "";
  b.for_each([&](Id id) {
    *os << sep << id;
    sep = ", ";
  });
  *os << "}";
}

namespace tree_test {

using Limits64 = std::numeric_limits<std::int64_t>;
using LimitsD = std::numeric_limits<double>;

inline std::string show(const NumericValue& v) {
  if (const auto* n = std::get_if<std::int64_t>(&v)) return "int " + std::to_string(*n);
  char buf[64];
  std::snprintf(buf, sizeof buf, "double %a", std::get<double>(v));
  return buf;
}

inline std::vector<Id> ids_of(const Bitmap& b) { return b.to_vector(); }

inline Key128 key_of(const NumericValue& v, Id id) { return CompositeKey128::make(v, id).key; }

/// The pairs a tree should hold, keyed as the tree keys them; each id at most once.
class Model {
 public:
  void insert(const NumericValue& v, Id id) {
    keys_.insert(key_of(v, id));
    value_of_[id] = v;
  }
  bool remove(const NumericValue& v, Id id) {
    if (keys_.erase(key_of(v, id)) == 0) return false;
    value_of_.erase(id);
    return true;
  }
  [[nodiscard]] bool holds_id(Id id) const { return value_of_.count(id) != 0; }
  [[nodiscard]] const std::map<Id, NumericValue>& pairs() const { return value_of_; }
  [[nodiscard]] const std::set<Key128>& keys() const { return keys_; }
  [[nodiscard]] std::size_t size() const { return keys_.size(); }

  [[nodiscard]] std::vector<Id> query(const Bound& lo, const Bound& hi, const Bitmap& admissible) const {
    const PrefixBound lower(lo), upper(hi);
    std::vector<Id> out;
    for (const Key128 k : keys_)
      if (!lower.below_lower(key_prefix(k)) && upper.within_upper(key_prefix(k)) && admissible.contains(key_id(k)))
        out.push_back(key_id(k));
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::set<Key128> keys_;
  std::map<Id, NumericValue> value_of_;
};

inline Bitmap all_ids(Id n) {
  Bitmap b;
  for (Id i = 0; i <= n; ++i) b.add(i);
  return b;
}

/// The keys a tree holds, ascending.
template <std::size_t S>
std::vector<Key128> keys_of(const BasicBitMapBTree<S>& tree) {
  std::vector<Key128> out;
  tree.for_each_key([&](Key128 k) { out.push_back(k); });
  return out;
}

/// Random values with many repeats, ints and doubles of equal value, and a few extremes.
inline NumericValue random_value(std::mt19937_64& rng) {
  switch (rng() % 10) {
    case 0: return static_cast<double>(static_cast<std::int64_t>(rng() % 9) - 4);
    case 1: {
      const double extremes[] = {LimitsD::infinity(), -LimitsD::infinity(), -0.0, LimitsD::quiet_NaN(),
                                 -LimitsD::quiet_NaN(), LimitsD::denorm_min(), 1e300, -1e300};
      return extremes[rng() % std::size(extremes)];
    }
    case 2: {
      const std::int64_t extremes[] = {Limits64::min(), Limits64::max(), (1LL << 53) + 1, -(1LL << 53) - 1};
      return extremes[rng() % std::size(extremes)];
    }
    case 3:
    case 4:
    case 5: return static_cast<double>(static_cast<std::int64_t>(rng() % 161) - 80) / 4;
    default: return static_cast<std::int64_t>(rng() % 41) - 20;
  }
}

inline Bound random_bound(std::mt19937_64& rng) {
  switch (rng() % 5) {
    case 0: return Bound::unbounded();
    case 1:
    case 2: return Bound::included(random_value(rng));
    default: return Bound::excluded(random_value(rng));
  }
}

inline Bitmap random_admissible(std::mt19937_64& rng, Id max_id) {
  switch (rng() % 4) {
    case 0: return all_ids(max_id);
    case 1: return Bitmap();
    default: {
      Bitmap b;
      const std::uint64_t keep = 1 + rng() % 4;  // keep one id in `keep` on average
      for (Id i = 0; i <= max_id; ++i)
        if (rng() % keep == 0) b.add(i);
      return b;
    }
  }
}

/// The tree answers as the model does, entering at most two nodes at each depth.
template <std::size_t S>
void expect_query(const BasicBitMapBTree<S>& tree, const Model& model, const Bound& lo, const Bound& hi,
                  const Bitmap& admissible) {
  RangeQueryTrace trace;
  const Bitmap got = tree.query_range(lo, hi, admissible, &trace);
  ASSERT_EQ(ids_of(got), model.query(lo, hi, admissible));
  for (std::size_t depth = 0; depth < trace.nodes_per_depth.size(); ++depth)
    ASSERT_LE(trace.nodes_per_depth[depth], 2u) << "depth " << depth;
}

/// The tree holds exactly the model's keys, counts them, and is sound.
template <std::size_t S>
void expect_holds(const BasicBitMapBTree<S>& tree, const Model& model) {
  ASSERT_EQ(tree.verify(), std::nullopt);
  ASSERT_EQ(tree.size(), model.size());
  ASSERT_EQ(keys_of(tree), std::vector<Key128>(model.keys().begin(), model.keys().end()));
}

// Tiny node sizes split after a handful of keys; 96 is the designed size.
template <class T>
class TreeAt : public ::testing::Test {};
using Capacities = ::testing::Types<std::integral_constant<std::size_t, 5>, std::integral_constant<std::size_t, 6>,
                                    std::integral_constant<std::size_t, 8>, std::integral_constant<std::size_t, 12>,
                                    std::integral_constant<std::size_t, 16>, std::integral_constant<std::size_t, 96>>;
struct CapacityName {
  template <class T>
  static std::string GetName(int) {
    return "Slots" + std::to_string(T::value);
  }
};

}  // namespace tree_test
}  // namespace vostrel
