// libFuzzer target: insertions, removals, batches of either, range queries, key walks and copies
// of the ranged bitmap B-tree at two tiny node sizes and the designed one, side by side, each
// checked against a plain model after every step.
#include <algorithm>
#include <bit>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_input.hpp"
#include "index/ranged_b_tree_impl.hpp"

namespace vostrel::fuzz {
namespace {

using Limits64 = std::numeric_limits<std::int64_t>;
using LimitsD = std::numeric_limits<double>;

// Five slots split after three keys (the smallest size whose halves keep two slots each), six
// split into even halves, 96 is the designed size.
using Trees = std::tuple<BasicBitMapBTree<5>, BasicBitMapBTree<6>, BitMapBTree>;

// verify() walks every tree after each step, so a step costs time in proportion to the pairs
// held. This many still lets the designed size grow a third level: its root splits at 95
// children, which ascending insertions leave with 47 or 48 keys each.
constexpr std::size_t kMaxPairs = 5000;
// Each step verifies every tree, at a cost in proportion to the pairs held; an input stops once
// its steps have verified this many pairs in all. That keeps the slowest input to a second or
// two under the sanitizers, far below the hang timeout, and still lets the deep seeds grow a
// third level and query it.
constexpr std::size_t kVerifyBudget = 150'000;
// Most ids come from a small range, so that removals and reassignments meet held pairs.
constexpr Id kNearIds = 64;
// Roaring splits ids into chunks of 2**16; ids a few chunks apart make bitmaps of several.
constexpr Id kChunk = 1u << 16;

// ---------------------------------------------------------------------------------------------
// Values and their order, worked out apart from the key encoding

const double kSpecialDoubles[] = {
    0.0, -0.0, LimitsD::infinity(), -LimitsD::infinity(), LimitsD::quiet_NaN(), -LimitsD::quiet_NaN(),
    std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}),  // signalling, smallest payload
    std::bit_cast<double>(std::uint64_t{0xfff8000000000001}), std::bit_cast<double>(std::uint64_t{0x7fffffffffffffff}),
    LimitsD::denorm_min(), -LimitsD::denorm_min(), std::nextafter(LimitsD::min(), 0.0), LimitsD::min(),
    LimitsD::max(), -LimitsD::max(), 0x1p63, -0x1p63, 0x1p53, 0x1p53 + 2, 1.0, std::nextafter(1.0, 2.0),
    std::nextafter(1.0, 0.0), 0.1, -2.5};
const std::int64_t kSpecialInts[] = {
    0, 1, -1, Limits64::min(), Limits64::min() + 1, Limits64::max(), Limits64::max() - 1, 1LL << 53,
    (1LL << 53) + 1, -(1LL << 53) - 1, 1LL << 32, -(1LL << 32), 1LL << 62};

/// Values with many repeats, integers and doubles of equal value, every special double
/// (signed zeros, infinities, NaNs with payloads, subnormals) and the extreme integers.
NumericValue read_value(FuzzInput& in) {
  switch (in.below(8)) {
    case 0:
    case 1: return static_cast<std::int64_t>(in.below(17)) - 8;
    case 2: return static_cast<double>(static_cast<std::int64_t>(in.below(65)) - 32) / 4;
    case 3: return static_cast<double>(static_cast<std::int64_t>(in.below(17)) - 8);
    case 4: return in.pick(kSpecialDoubles);
    case 5: return in.pick(kSpecialInts);
    case 6: return std::bit_cast<double>(in.u64());
    default: return static_cast<std::int64_t>(in.u64());
  }
}

Id read_id(FuzzInput& in) {
  const std::uint8_t t = in.byte();
  if (t < 192) return t % kNearIds;
  if (t < 248) return (1 + t % 4) * kChunk + in.byte();
  return in.u32();
}

/// Exact order of an integer and a finite double, with no rounding on either side.
std::strong_ordering compare_int_double(std::int64_t i, double d) {
  if (d >= 0x1p63) return std::strong_ordering::less;
  if (d < -0x1p63) return std::strong_ordering::greater;
  const double whole = std::trunc(d);  // within [-2**63, 2**63), so it converts exactly
  const auto w = static_cast<std::int64_t>(whole);
  if (i != w) return i <=> w;
  const double fraction = d - whole;
  return fraction > 0 ? std::strong_ordering::less
                      : fraction < 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
}

/// Where a value sits among the non-finite ones: NaNs beyond the infinities on their sign's
/// side, ordered among themselves by payload away from zero; finite values all at level 0.
struct Rank {
  int level;
  std::int64_t payload;
};
Rank rank_of(const NumericValue& v) {
  const double* d = std::get_if<double>(&v);
  if (!d || std::isfinite(*d)) return {0, 0};
  const bool negative = std::signbit(*d);
  const auto payload = static_cast<std::int64_t>(std::bit_cast<std::uint64_t>(*d) & ((std::uint64_t{1} << 52) - 1));
  const int level = std::isnan(*d) ? 2 : 1;
  return negative ? Rank{-level, -payload} : Rank{level, payload};
}

/// The order the tree keeps values in: numeric order, zero of either sign equal to integer
/// zero, an integer equal to the double of the same value.
std::strong_ordering compare_values(const NumericValue& a, const NumericValue& b) {
  const Rank ra = rank_of(a), rb = rank_of(b);
  if (ra.level != rb.level) return ra.level <=> rb.level;
  if (ra.level != 0) return ra.payload <=> rb.payload;
  const auto* ia = std::get_if<std::int64_t>(&a);
  const auto* ib = std::get_if<std::int64_t>(&b);
  if (ia && ib) return *ia <=> *ib;
  if (ia) return compare_int_double(*ia, std::get<double>(b));
  if (ib) return 0 <=> compare_int_double(*ib, std::get<double>(a));
  const double x = std::get<double>(a), y = std::get<double>(b);
  return x < y ? std::strong_ordering::less : x > y ? std::strong_ordering::greater : std::strong_ordering::equal;
}

/// The same value in the other representation when it has an exact one, else the value itself.
NumericValue twin_of(const NumericValue& v) {
  if (const auto* n = std::get_if<std::int64_t>(&v)) {
    if (*n > -(1LL << 53) && *n < (1LL << 53)) return static_cast<double>(*n);
    return v;
  }
  const double d = std::get<double>(v);
  if (d >= -0x1p63 && d < 0x1p63 && std::trunc(d) == d) return static_cast<std::int64_t>(d);
  return v;
}

std::string show(const NumericValue& v) {
  if (const auto* n = std::get_if<std::int64_t>(&v)) return "int " + std::to_string(*n);
  char buf[64];
  std::snprintf(buf, sizeof buf, "double %a (bits %016llx)", std::get<double>(v),
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(std::get<double>(v))));
  return buf;
}

Bound read_bound(FuzzInput& in) {
  switch (in.below(3)) {
    case 0: return Bound::unbounded();
    case 1: return Bound::included(read_value(in));
    default: return Bound::excluded(read_value(in));
  }
}

std::string show(const Bound& b) {
  switch (b.kind) {
    case Bound::Kind::kIncluded: return "included " + show(b.value);
    case Bound::Kind::kExcluded: return "excluded " + show(b.value);
    case Bound::Kind::kUnbounded: break;
  }
  return "unbounded";
}

bool below_lower(const NumericValue& v, const Bound& lower) {
  if (lower.kind == Bound::Kind::kUnbounded) return false;
  const auto c = compare_values(v, lower.value);
  return lower.kind == Bound::Kind::kIncluded ? c < 0 : c <= 0;
}
bool above_upper(const NumericValue& v, const Bound& upper) {
  if (upper.kind == Bound::Kind::kUnbounded) return false;
  const auto c = compare_values(v, upper.value);
  return upper.kind == Bound::Kind::kIncluded ? c > 0 : c >= 0;
}

template <class Tree>
std::string tree_name(const Tree&) {
  return "tree of " + std::to_string(Tree::Geometry::kSlots) + " slots";
}

// ---------------------------------------------------------------------------------------------
// The run

/// The pairs the trees should hold: each id at most once, under the value it was inserted with.
using Model = std::map<Id, NumericValue>;

class Run {
 public:
  explicit Run(FuzzInput& in) : in_(in) {}

  void step() {
    switch (in_.below(12)) {
      case 0:
      case 1: assign(read_id(in_), read_value(in_)); break;
      case 2: insert_twin(); break;
      case 3: insert_many(); break;
      case 4:
      case 5: remove(read_id(in_), read_value(in_)); break;
      case 6: remove_held(); break;
      case 7: remove_many(); break;
      case 8:
      case 9: query(); break;
      case 10: walk(); break;
      default: copy_or_compare(); break;
    }
    for_each_tree([](const auto& tree) {
      if (const auto problem = tree.verify()) finding(tree_name(tree) + " broken: " + *problem);
    });
    verified_ += model_.size();
  }
  [[nodiscard]] bool budget_left() const { return verified_ < kVerifyBudget; }

 private:
  template <class F>
  void for_each_tree(F&& f) {
    std::apply([&](auto&... tree) { (f(tree), ...); }, trees_);
  }

  /// Gives `id` the value `v`, moving it from any value it held, as an attribute update does.
  void assign(Id id, const NumericValue& v) {
    if (const auto it = model_.find(id); it != model_.end()) {
      const NumericValue old = it->second;
      for_each_tree([&](auto& tree) {
        if (!tree.remove(old, id)) finding(tree_name(tree) + " lost (" + show(old) + ", " + std::to_string(id) + ")");
      });
      model_.erase(it);
    } else if (model_.size() >= kMaxPairs) {
      return;
    }
    for_each_tree([&](auto& tree) { tree.insert(v, id); });
    model_.emplace(id, v);
  }

  /// The held pair at position `k` of the id order.
  Model::const_iterator held_at(std::size_t k) const { return std::next(model_.begin(), static_cast<std::ptrdiff_t>(k)); }
  Model::const_iterator pick_held() { return held_at(in_.u16() % model_.size()); }

  /// A new id under a held value, often in the other representation of that value.
  void insert_twin() {
    if (model_.empty()) return;
    const NumericValue held = pick_held()->second;
    const Id id = read_id(in_);
    if (!model_.contains(id)) assign(id, in_.byte() % 2 ? twin_of(held) : held);
  }

  /// A run of new ids under one value, ascending or descending values, or a few alternating
  /// ones: enough keys in one step to split nodes of the designed size. The run goes in one
  /// pair at a time (an id held already moves), or as one batch of the ids not held.
  void insert_many() {
    const std::size_t count = 1 + in_.byte();
    const std::size_t pattern = in_.below(5);
    const NumericValue base = read_value(in_);
    Id id = read_id(in_);
    const Id stride = 1 + in_.below(3);
    const std::int64_t start = std::holds_alternative<std::int64_t>(base)
                                   ? std::clamp<std::int64_t>(std::get<std::int64_t>(base), -(1LL << 40), 1LL << 40)
                                   : 0;
    const bool batch = in_.byte() % 2 != 0;
    std::vector<Key128> keys;
    for (std::size_t i = 0; i < count && model_.size() < kMaxPairs; ++i, id += stride) {
      if (model_.contains(id)) continue;
      const auto n = static_cast<std::int64_t>(i);
      NumericValue v;
      switch (pattern) {
        case 0: v = base; break;
        case 1: v = start + n; break;
        case 2: v = -0.5 * static_cast<double>(n); break;
        case 3: v = i % 2 ? NumericValue(n % 7) : NumericValue(static_cast<double>(n % 7)); break;
        default: v = read_value(in_); break;
      }
      if (!batch) {
        assign(id, v);
      } else if (model_.emplace(id, v).second) {
        keys.push_back(CompositeKey128::make(v, id).key);
      }
    }
    if (keys.empty()) return;
    std::reverse(keys.begin(), keys.end());  // any order will do
    for_each_tree([&](auto& tree) {
      const std::size_t before = tree.size();
      tree.insert_many(keys);
      if (tree.size() != before + keys.size()) finding(tree_name(tree) + ": a batch insertion lost pairs");
    });
  }

  void remove(Id id, const NumericValue& v) {
    const auto it = model_.find(id);
    const bool expected = it != model_.end() && compare_values(it->second, v) == 0;
    for_each_tree([&](auto& tree) {
      if (tree.remove(v, id) != expected)
        finding(tree_name(tree) + ": removing (" + show(v) + ", " + std::to_string(id) + ") answered " +
                (expected ? "false" : "true"));
    });
    if (expected) model_.erase(it);
  }

  /// A held pair, named by its value or by the other representation of it.
  void remove_held() {
    if (model_.empty()) return;
    const auto it = pick_held();
    const Id id = it->first;
    remove(id, in_.byte() % 2 ? twin_of(it->second) : it->second);
  }

  /// Every k-th held pair from some position on: empties leaves and whole subtrees.
  void remove_many() {
    if (model_.empty()) return;
    const std::size_t every = 1 + in_.below(4);
    std::size_t count = 1 + in_.byte();
    std::vector<std::pair<Id, NumericValue>> victims;
    for (auto it = pick_held(); it != model_.end() && count > 0; --count) {
      victims.emplace_back(*it);
      for (std::size_t skip = 0; skip < every && it != model_.end(); ++skip) ++it;
    }
    if (in_.byte() % 2 == 0) {
      for (const auto& [id, v] : victims) remove(id, v);
      return;
    }
    // As one batch, with a pair named twice and one that is not held.
    Id absent = kNearIds + 7;
    while (model_.count(absent)) ++absent;
    std::vector<Key128> keys;
    for (const auto& [id, v] : victims) {
      keys.push_back(CompositeKey128::make(in_.byte() % 2 ? twin_of(v) : v, id).key);
      model_.erase(id);
    }
    keys.push_back(keys.front());
    keys.push_back(CompositeKey128::make(read_value(in_), absent).key);
    for_each_tree([&](auto& tree) {
      const std::size_t removed = tree.remove_many(keys);
      if (removed != victims.size())
        finding(tree_name(tree) + ": a batch removal took " + std::to_string(removed) + " pairs of " +
                std::to_string(victims.size()));
    });
  }

  /// The admissible set of a query, as its ids.
  std::set<Id> read_admissible() {
    std::set<Id> ids;
    switch (in_.below(6)) {
      case 0:  // everything held, and a few ids that are not
        for (const auto& [id, v] : model_) ids.insert(id);
        for (Id id = 0; id < kNearIds; id += 7) ids.insert(id);
        break;
      case 1: break;
      case 2: {
        const std::size_t every = 2 + in_.below(5), from = in_.below(every);
        std::size_t k = 0;
        for (const auto& [id, v] : model_)
          if (k++ % every == from) ids.insert(id);
        break;
      }
      case 3: {
        const Id first = read_id(in_);
        for (Id n = 0, count = in_.byte(); n < count; ++n) ids.insert(first + n);
        break;
      }
      case 4:
        for (std::size_t n = in_.below(17); n > 0; --n) ids.insert(read_id(in_));
        break;
      default:
        for (const auto& [id, v] : model_) ids.insert(id);
        for (std::size_t n = in_.below(17); n > 0; --n) ids.erase(read_id(in_));
        break;
    }
    return ids;
  }

  void query() {
    const Bound lower = read_bound(in_);
    const Bound upper = read_bound(in_);
    const std::set<Id> admissible_ids = read_admissible();
    const Bitmap admissible = Bitmap::of(std::vector<Id>(admissible_ids.begin(), admissible_ids.end()));
    std::vector<Id> expected;  // ascending, since the model is in id order
    for (const auto& [id, v] : model_)
      if (!below_lower(v, lower) && !above_upper(v, upper) && admissible_ids.contains(id)) expected.push_back(id);
    for_each_tree([&](const auto& tree) {
      RangeQueryTrace trace;
      const std::vector<Id> got = tree.query_range(lower, upper, admissible, &trace).to_vector();
      if (got != expected)
        finding(tree_name(tree) + ": range (" + show(lower) + ", " + show(upper) + ") gave " +
                std::to_string(got.size()) + " ids, the model " + std::to_string(expected.size()));
      for (std::size_t depth = 0; depth < trace.nodes_per_depth.size(); ++depth)
        if (trace.nodes_per_depth[depth] > 2)
          finding(tree_name(tree) + ": a range query entered " + std::to_string(trace.nodes_per_depth[depth]) +
                  " nodes at depth " + std::to_string(depth));
    });
  }

  /// The keys in tree order: every held pair once, made from the value it was inserted with;
  /// walks from either end that stop early; and the root's bitmap of ids.
  void walk() {
    std::vector<Id> held;
    std::vector<Key128> keys;
    for (const auto& [id, v] : model_) {
      held.push_back(id);
      keys.push_back(CompositeKey128::make(v, id).key);
    }
    std::sort(keys.begin(), keys.end());
    const std::size_t stop = in_.u16();
    for_each_tree([&](const auto& tree) {
      std::vector<Key128> walked;
      tree.for_each_key([&](Key128 key) { walked.push_back(key); });
      require(walked == keys, "the key walk differs from the held pairs");
      for (const bool descending : {false, true}) {
        std::vector<Key128> part;
        tree.walk(descending, [&](Key128 key) {
          part.push_back(key);
          return part.size() < stop;
        });
        const std::size_t want = std::min(std::max<std::size_t>(stop, 1), keys.size());
        require(part.size() == want, "a walk stopped at the wrong key");
        for (std::size_t i = 0; i < part.size(); ++i)
          require(part[i] == (descending ? keys[keys.size() - 1 - i] : keys[i]), "a walk went out of order");
      }
      require(tree.ids().to_vector() == held, "the root's bitmaps differ from the held ids");
      require(tree.size() == model_.size(), "the tree counts its pairs wrong");
    });
  }

  /// Either the trees are replaced by deep copies, or two values are ordered by their key
  /// prefixes and by the model.
  void copy_or_compare() {
    if (in_.byte() % 4 == 0) {
      for_each_tree([](auto& tree) { tree = tree.clone(); });
      return;
    }
    const NumericValue a = read_value(in_), b = read_value(in_);
    const auto by_prefix = ordered_prefix(a) <=> ordered_prefix(b);
    if (by_prefix != compare_values(a, b)) finding("the key prefixes of " + show(a) + " and " + show(b) + " misorder them");
    const Id id = read_id(in_);
    const CompositeKey128 key = CompositeKey128::make(a, id);
    require(key.id() == id && key.prefix() == ordered_prefix(a), "a key does not keep its prefix and id apart");
  }

  FuzzInput& in_;
  Trees trees_;
  Model model_;
  std::size_t verified_ = 0;  // pairs verified so far, summed over steps
};

}  // namespace
}  // namespace vostrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return vostrel::fuzz::run_one([&] {
    vostrel::fuzz::FuzzInput in(data, size);
    vostrel::fuzz::Run run(in);
    while (!in.exhausted() && run.budget_left()) run.step();
  });
}
