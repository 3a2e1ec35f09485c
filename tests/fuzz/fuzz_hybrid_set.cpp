// libFuzzer target: a few hybrid id sets under additions, removals, every pairwise union and
// intersection (a set with itself included), copies and moves, each set checked after every
// step against a model of its kind and of its ids in iteration order.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "index/hybrid_set.hpp"

namespace vostrel::fuzz {
namespace {

using Kind = HybridSet::Kind;
constexpr std::size_t kSets = 4;
constexpr std::size_t kInline = HybridSet::kSmallCapacity;
// Ids from a range a little wider than the inline capacity, so that sets share ids and cross
// the switch to a bitmap often; now and then ids in other roaring chunks or at the top.
constexpr Id kNearIds = 12;
constexpr Id kChunk = 1u << 16;
// A run of added ids: up to kMaxRun of them, a small stride apart, from the start of one of the
// first kRunChunks roaring chunks. Runs fill containers well past their first entries, yet the
// ids they can reach stay few, so that unions stay small and every step's checks stay fast.
constexpr std::size_t kMaxRun = 300;
constexpr Id kRunChunks = 4;

// Each step checks every set, at a cost in proportion to the ids held; an input stops once its
// steps have checked this many ids in all, which keeps the slowest input far below the hang
// timeout.
constexpr std::size_t kCheckBudget = 2'000'000;

/// An id, never 0: no object has id 0, and a small set's count is where its ids end.
Id read_id(FuzzInput& in) {
  const std::uint8_t t = in.byte();
  if (t < 224) return 1 + t % kNearIds;
  if (t < 250) return (1 + t % 3) * kChunk + t % kNearIds;
  return std::max<Id>(1, in.u32());
}

/// What a set should be: its kind, and its ids in iteration order (slot order while Small,
/// ascending once Large, none while Empty).
struct Expected {
  Kind kind = Kind::Small;
  std::vector<Id> ids;

  [[nodiscard]] bool holds(Id id) const {
    if (kind == Kind::Large) return std::binary_search(ids.begin(), ids.end(), id);
    return std::find(ids.begin(), ids.end(), id) != ids.end();
  }
  void make_large() {
    kind = Kind::Large;
    std::sort(ids.begin(), ids.end());
  }
  void add(Id id) {
    if (holds(id)) return;
    if (kind == Kind::Large) {
      ids.insert(std::upper_bound(ids.begin(), ids.end(), id), id);
      return;
    }
    ids.push_back(id);
    if (ids.size() > kInline) make_large();
  }
  void remove(Id id) { std::erase(ids, id); }
  /// This set united with `other`: this set's ids, then those of `other` it lacks.
  void unite(const Expected& other) {
    std::vector<Id> missing;
    for (Id id : other.ids)
      if (!holds(id)) missing.push_back(id);
    ids.insert(ids.end(), missing.begin(), missing.end());
    if (kind == Kind::Large || other.kind == Kind::Large || ids.size() > kInline) make_large();
  }
  /// This set's ids, in order, that `other` holds.
  void intersect(const Expected& other) {
    std::erase_if(ids, [&](Id id) { return !other.holds(id); });
    if (other.kind == Kind::Large) make_large();
  }
};

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::Empty: return "Empty";
    case Kind::Small: return "Small";
    case Kind::Large: return "Large";
  }
  return "?";
}

std::string show(const std::vector<Id>& ids) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size() && i < 12; ++i) out += (i ? ", " : "") + std::to_string(ids[i]);
  if (ids.size() > 12) out += ", ... (" + std::to_string(ids.size()) + " ids)";
  return out + "]";
}

class Run {
 public:
  explicit Run(FuzzInput& in) : in_(in) {}

  void step() {
    const std::size_t i = in_.below(kSets), j = in_.below(kSets);
    HybridSet& s = sets_[i];
    Expected& e = expected_[i];
    switch (in_.below(11)) {
      case 0:
      case 1: {
        const Id id = read_id(in_);
        if (e.kind == Kind::Empty) return expect_failure("add", [&] { s.add(id); }, "not implemented");
        s.add(id);
        e.add(id);
        break;
      }
      case 2: {
        const Id id = read_id(in_);
        if (e.kind == Kind::Empty) return expect_failure("remove", [&] { s.remove(id); }, "not yet implemented");
        s.remove(id);
        e.remove(id);
        break;
      }
      case 3:
      case 4: combine(i, j, /*unite=*/true); break;
      case 5:
      case 6: combine(i, j, /*unite=*/false); break;
      case 7: add_run(s, e); break;
      case 8: start_over(s, e); break;
      case 9:  // a copy, or a move that leaves its source Empty (a move onto itself changes nothing)
        if (in_.byte() % 2) {
          s = sets_[j].clone();
          e = expected_[j];
        } else if (i != j) {
          s = std::move(sets_[j]);
          e = std::exchange(expected_[j], Expected{Kind::Empty, {}});
        } else {
          HybridSet& same = s;
          s = std::move(same);
        }
        break;
      default: probe(s, e); break;
    }
    for (std::size_t k = 0; k < kSets; ++k) check(k);
  }
  [[nodiscard]] bool budget_left() const { return checked_ < kCheckBudget; }

 private:
  template <class F>
  void expect_failure(const char* op, F&& f, const char* message) {
    const std::optional<std::string> got = fatal_message_of(f);
    if (got != message)
      finding(std::string(op) + " on an Empty set: expected \"" + message + "\", got " +
              (got ? "\"" + *got + "\"" : "no failure"));
    for (std::size_t k = 0; k < kSets; ++k) check(k);
  }

  void combine(std::size_t i, std::size_t j, bool unite) {
    HybridSet& s = sets_[i];
    Expected& e = expected_[i];
    const HybridSet& other = sets_[j];
    if (e.kind == Kind::Empty || expected_[j].kind == Kind::Empty) {
      // A failing pair leaves both sets as they were.
      if (unite) return expect_failure("or_inplace", [&] { s.or_inplace(other); }, "not implemented");
      return expect_failure("and_inplace", [&] { s.and_inplace(other); }, "not implemented");
    }
    if (unite) {
      s.or_inplace(other);
      if (i != j) e.unite(expected_[j]);
    } else {
      s.and_inplace(other);
      if (i != j) e.intersect(expected_[j]);
    }
  }

  /// Consecutive or spread ids, possibly many: carries a set far past the switch.
  void add_run(HybridSet& s, Expected& e) {
    if (e.kind == Kind::Empty) return;
    const Id first = static_cast<Id>(in_.below(kRunChunks)) * kChunk + 1 + in_.byte();
    const Id stride = 1 + in_.below(4);
    const std::size_t count = in_.below(kMaxRun + 1);
    for (std::size_t n = 0; n < count; ++n) {
      const Id id = first + static_cast<Id>(n) * stride;
      s.add(id);
      e.add(id);
    }
  }

  /// A fresh set: empty Small, one id, or a Large made from ids.
  void start_over(HybridSet& s, Expected& e) {
    switch (in_.below(3)) {
      case 0:
        s = HybridSet();
        e = Expected{};
        break;
      case 1: {
        const Id id = read_id(in_);
        s = HybridSet::from_id(id);
        e = Expected{Kind::Small, {id}};
        break;
      }
      default: {
        std::vector<Id> ids;
        for (std::size_t n = in_.below(9); n > 0; --n) ids.push_back(read_id(in_));
        s = HybridSet::from_bitmap(Bitmap::of(ids));
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        e = Expected{Kind::Large, std::move(ids)};
        break;
      }
    }
  }

  /// Membership, and the accessors that hold only for one kind.
  void probe(const HybridSet& s, const Expected& e) {
    for (std::size_t n = 1 + in_.below(4); n > 0; --n) {
      const Id id = read_id(in_);
      require(s.contains(id) == e.holds(id), "contains differs from the model");
    }
    if (e.kind == Kind::Empty) {
      if (fatal_message_of([&] { (void)s.is_empty(); }) != "not yet implemented")
        finding("is_empty on an Empty set did not fail with \"not yet implemented\"");
      require(s.clone().kind() == Kind::Empty, "a copy of an Empty set is not Empty");
    }
    if (e.kind != Kind::Small)
      require(fatal_message_of([&] { (void)s.small(); }) == std::string(kMissingValue),
              "small() on a set that is not Small did not fail");
    if (e.kind != Kind::Large)
      require(fatal_message_of([&] { (void)s.bitmap(); }) == std::string(kMissingValue),
              "bitmap() on a set that is not Large did not fail");
  }

  void check(std::size_t k) {
    const HybridSet& s = sets_[k];
    const Expected& e = expected_[k];
    checked_ += 1 + e.ids.size();
    const std::string which = "set " + std::to_string(k) + ": ";
    if (const auto problem = s.verify()) finding(which + "broken: " + *problem);
    if (s.kind() != e.kind) finding(which + kind_name(s.kind()) + ", the model " + kind_name(e.kind));
    const std::vector<Id> got = s.to_vector();
    if (got != e.ids) finding(which + "holds " + show(got) + ", the model " + show(e.ids));
    require(s.cardinality() == e.ids.size(), "cardinality differs from the model");
    std::vector<Id> sorted = e.ids;
    std::sort(sorted.begin(), sorted.end());
    require(s.as_bitmap().to_vector() == sorted, "as_bitmap differs from the model");
    if (e.kind == Kind::Empty) return;
    require(s.is_empty() == e.ids.empty(), "is_empty differs from the model");
    if (e.kind == Kind::Small) {
      const auto ids = s.small().ids();
      require(std::vector<Id>(ids.begin(), ids.end()) == e.ids, "the inline ids differ from the model");
    } else {
      require(s.bitmap().to_vector() == e.ids, "the bitmap differs from the model");
    }
  }

  FuzzInput& in_;
  std::array<HybridSet, kSets> sets_{};
  std::array<Expected, kSets> expected_{};
  std::size_t checked_ = 0;  // ids checked so far, summed over steps
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
