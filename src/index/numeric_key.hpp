// The keys of the ranged bitmap B-tree: numeric values in one exact order, the 128-bit
// (value, id) key, and the bounds of a range compared with keys by their value prefix alone.
#pragma once

#include <compare>
#include <cstdint>
#include <variant>

#include "index/bitmap.hpp"

namespace vostrel {

/// The value the tree orders: a signed 64-bit integer or a double.
using NumericValue = std::variant<std::int64_t, double>;

/// A key as the tree stores it: the ordered value prefix in bits 127..32, the id in bits 31..0.
using Key128 = unsigned __int128;

/// Width of the ordered value prefix and of the id below it, in bits.
inline constexpr unsigned kPrefixBits = 96;
inline constexpr unsigned kIdBits = 32;

/// The 96-bit ordered prefix of a value, in the low 96 bits of the result. Prefixes order as
/// the values do; an integer and a double of equal value share one; zero of either sign equals
/// integer zero; NaNs sort beyond the infinities on their sign's side.
[[nodiscard]] Key128 ordered_prefix(const NumericValue& value) noexcept;

/// The id and the value prefix of a stored key.
[[nodiscard]] constexpr Id key_id(Key128 key) noexcept { return static_cast<Id>(key); }
[[nodiscard]] constexpr Key128 key_prefix(Key128 key) noexcept { return key >> kIdBits; }

/// One (value, id) pair as handed to the tree. Keys compare by `key` alone; the tree keeps
/// only `key`, whose prefix orders values exactly.
struct CompositeKey128 {
  NumericValue value{std::int64_t{0}};  // the value the key was made from, unchanged
  Key128 key = 0;                       // prefix in bits 127..32, id in bits 31..0

  /// The key of `value` and `id`.
  [[nodiscard]] static CompositeKey128 make(const NumericValue& value, Id id) noexcept {
    return CompositeKey128{value, (ordered_prefix(value) << kIdBits) | id};
  }
  [[nodiscard]] Id id() const noexcept { return key_id(key); }
  [[nodiscard]] Key128 prefix() const noexcept { return key_prefix(key); }

  friend bool operator==(const CompositeKey128& a, const CompositeKey128& b) noexcept {
    return a.key == b.key;
  }
  friend std::strong_ordering operator<=>(const CompositeKey128& a,
                                          const CompositeKey128& b) noexcept {
    return a.key <=> b.key;
  }
};

/// One side of a range: an included value, an excluded value, or no limit.
struct Bound {
  enum class Kind : std::uint8_t { kIncluded, kExcluded, kUnbounded };
  Kind kind = Kind::kUnbounded;
  NumericValue value{std::int64_t{0}};  // ignored when unbounded

  [[nodiscard]] static Bound included(const NumericValue& v) { return {Kind::kIncluded, v}; }
  [[nodiscard]] static Bound excluded(const NumericValue& v) { return {Kind::kExcluded, v}; }
  [[nodiscard]] static Bound unbounded() { return {}; }
};

/// Which boundary child `get_key_index` looks for.
enum class KeyIndexMode : std::uint8_t { kLowerIncluded, kLowerExcluded, kUpperIncluded, kUpperExcluded };

/// A bound reduced to what comparisons need: its kind and its value's prefix.
struct PrefixBound {
  Bound::Kind kind = Bound::Kind::kUnbounded;
  Key128 prefix = 0;

  PrefixBound() = default;
  explicit PrefixBound(const Bound& b)
      : kind(b.kind), prefix(b.kind == Bound::Kind::kUnbounded ? 0 : ordered_prefix(b.value)) {}

  [[nodiscard]] bool unbounded() const noexcept { return kind == Bound::Kind::kUnbounded; }
  /// A key with prefix p lies below this lower bound.
  [[nodiscard]] bool below_lower(Key128 p) const noexcept {
    return kind == Bound::Kind::kIncluded ? p < prefix : kind == Bound::Kind::kExcluded && p <= prefix;
  }
  /// A key with prefix p lies within this upper bound.
  [[nodiscard]] bool within_upper(Key128 p) const noexcept {
    return kind == Bound::Kind::kIncluded ? p <= prefix : kind != Bound::Kind::kExcluded || p < prefix;
  }
  /// The mode in which `get_key_index` finds this bound's boundary child.
  [[nodiscard]] KeyIndexMode lower_mode() const noexcept {
    return kind == Bound::Kind::kIncluded ? KeyIndexMode::kLowerIncluded : KeyIndexMode::kLowerExcluded;
  }
  [[nodiscard]] KeyIndexMode upper_mode() const noexcept {
    return kind == Bound::Kind::kIncluded ? KeyIndexMode::kUpperIncluded : KeyIndexMode::kUpperExcluded;
  }
};

}  // namespace vostrel
