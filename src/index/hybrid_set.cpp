// The hybrid id set: the switch to a bitmap and the pairwise unions and intersections.
#include "index/hybrid_set.hpp"

namespace vostrel {

namespace {

constexpr int pair_of(HybridSet::Kind a, HybridSet::Kind b) {
  return static_cast<int>(a) * 3 + static_cast<int>(b);
}

}  // namespace

void HybridSet::Small::erase(Id id) noexcept {
  const std::size_t n = count();
  for (std::size_t i = 0; i < n; ++i) {
    if (ids_[i] != id) continue;
    for (std::size_t j = i + 1; j < n; ++j) ids_[j - 1] = ids_[j];
    ids_[n - 1] = 0;
    return;
  }
}

HybridSet HybridSet::Small::or_inplace_small(Small a, const Small& b) {
  for (Id id : b.ids()) {
    if (a.contains(id)) continue;
    if (a.is_full()) {
      Bitmap bitmap = Bitmap::of(a.ids());
      bitmap.add_many(b.ids());
      return from_bitmap(std::move(bitmap));
    }
    a.push(id);
  }
  return HybridSet(a);
}

// Each rule set names the result for the four pairs of content-holding alternatives. A Small
// left side is replaced by the returned set; a Large left side is changed in place.
struct HybridSet::OrPair {
  static HybridSet small_small(const Small& a, const Small& b) {
    return Small::or_inplace_small(a, b);
  }
  static HybridSet small_large(const Small& a, const Bitmap& b) {
    Bitmap bitmap = b.clone();
    bitmap.add_many(a.ids());
    return from_bitmap(std::move(bitmap));
  }
  static void large_small(Bitmap& a, const Small& b) { a.add_many(b.ids()); }
  static void large_large(Bitmap& a, const Bitmap& b) { a.or_inplace(b); }
};

struct HybridSet::AndPair {
  static HybridSet small_small(Small a, const Small& b) {
    a.retain([&b](Id id) { return b.contains(id); });
    return HybridSet(a);
  }
  static HybridSet small_large(const Small& a, const Bitmap& b) {
    Bitmap bitmap;
    for (Id id : a.ids())
      if (b.contains(id)) bitmap.add(id);
    return from_bitmap(std::move(bitmap));
  }
  static void large_small(Bitmap& a, const Small& b) { a.and_inplace(Bitmap::of(b.ids())); }
  static void large_large(Bitmap& a, const Bitmap& b) { a.and_inplace(b); }
};

template <class Pair>
void HybridSet::combine(const HybridSet& other) {
  // A failing pair leaves this set as it was.
  if (this == &other && kind() != Kind::Empty) return;  // x | x and x & x are x
  switch (pair_of(kind(), other.kind())) {
    case pair_of(Kind::Small, Kind::Small):
      *this = Pair::small_small(small_, other.small_);
      return;
    case pair_of(Kind::Small, Kind::Large):
      *this = Pair::small_large(small_, other.tagged_.large.bitmap);
      return;
    case pair_of(Kind::Large, Kind::Small):
      Pair::large_small(tagged_.large.bitmap, other.small_);
      return;
    case pair_of(Kind::Large, Kind::Large):
      Pair::large_large(tagged_.large.bitmap, other.tagged_.large.bitmap);
      return;
    default:  // a moved-from (Empty) set; the message is the system's published one
      fatal("not implemented");
  }
}

void HybridSet::or_inplace(const HybridSet& other) { combine<OrPair>(other); }
void HybridSet::and_inplace(const HybridSet& other) { combine<AndPair>(other); }

void HybridSet::grow(Id id) {
  Bitmap bitmap = Bitmap::of(small_.ids());
  bitmap.add(id);
  become(Large{std::move(bitmap)});
}

void HybridSet::remove(Id id) {
  if (Small* s = small_if())
    s->erase(id);
  else if (Large* l = large_if())
    l->bitmap.remove(id);
  else
    fatal("not yet implemented");
}

HybridSet HybridSet::clone() const {
  if (const Small* s = small_if()) return HybridSet(*s);
  if (const Large* l = large_if()) return from_bitmap(l->bitmap.clone());
  HybridSet copy;
  copy.destroy();
  new (&copy.tagged_) Tagged{0, kEmptyTag, Large{}};
  return copy;
}

Bitmap HybridSet::as_bitmap() const {
  if (const Small* s = small_if()) return Bitmap::of(s->ids());
  if (const Large* l = large_if()) return l->bitmap.clone();
  return Bitmap();
}

const HybridSet::Small& HybridSet::small() const {
  if (const Small* s = small_if()) return *s;
  fatal_missing_value();
}

const Bitmap& HybridSet::bitmap() const {
  if (const Large* l = large_if()) return l->bitmap;
  fatal_missing_value();
}

bool HybridSet::contains(Id id) const {
  if (const Small* s = small_if()) return s->contains(id);
  if (const Large* l = large_if()) return l->bitmap.contains(id);
  return false;
}

std::uint64_t HybridSet::cardinality() const {
  if (const Small* s = small_if()) return s->count();
  if (const Large* l = large_if()) return l->bitmap.cardinality();
  return 0;
}

std::vector<Id> HybridSet::to_vector() const {
  std::vector<Id> out;
  out.reserve(cardinality());
  for_each([&out](Id id) { out.push_back(id); });
  return out;
}

std::optional<std::string> HybridSet::verify() const {
  const Small* s = small_if();
  if (!s) return std::nullopt;
  const std::size_t n = s->count();
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < i; ++j)
      if (s->ids_[i] == s->ids_[j])
        return "small set holds id " + std::to_string(s->ids_[i]) + " twice";
  for (std::size_t i = n; i < kSmallCapacity; ++i)
    if (s->ids_[i] != 0) return "slot " + std::to_string(i) + " of a small set holds an id after an empty slot";
  return std::nullopt;
}

}  // namespace vostrel
