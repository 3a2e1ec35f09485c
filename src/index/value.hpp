// Attribute values as the index holds them: one owned reference to the host object, its host
// hash, and for numbers the number itself.
//
// Values compare and hash by the host hash alone, so every structure keyed by values groups them
// the way the host's hash() does (1, 1.0 and True are one value; so are -1 and -2). Only numbers
// are ordered: they carry their value as a 64-bit integer or a double, which the range trees use.
// The text of a string is not copied: it is read from the host object when it is shown.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "index/host_ref.hpp"

namespace vostrel {

/// The value the range tree orders: a signed 64-bit integer or a double.
using NumericValue = std::variant<std::int64_t, double>;

/// What a value is, as far as the index cares: an ordered integer or float, a string (shown with
/// its text), or anything else (equality only).
enum class ValueKind : std::uint8_t { Int, Float, Str, Unknown };

/// A host value: 24 bytes, one owned host reference. Copies are explicit (`clone()`, which needs
/// the interpreter lock); moves are free and leave the source empty.
class PyValue {
 public:
  /// An empty value (no object); only a moved-from or default value is empty.
  PyValue() noexcept = default;
  /// Takes over one owned reference to `obj`.
  static PyValue adopt(HostObject* obj, ValueKind kind, std::uint64_t hash, std::int64_t payload) noexcept {
    PyValue v;
    v.tagged_ = reinterpret_cast<std::uintptr_t>(obj) | static_cast<std::uintptr_t>(kind);
    v.hash_ = hash;
    v.payload_ = payload;
    return v;
  }
  static PyValue adopt_int(HostObject* obj, std::uint64_t hash, std::int64_t n) noexcept {
    return adopt(obj, ValueKind::Int, hash, n);
  }
  static PyValue adopt_float(HostObject* obj, std::uint64_t hash, double x) noexcept {
    return adopt(obj, ValueKind::Float, hash, std::bit_cast<std::int64_t>(x));
  }

  /// Converts a host object (defined by the host layer; needs the interpreter lock). The object must
  /// stay alive for the call; the value takes a reference of its own first, so host code the
  /// conversion runs (a __hash__, an __index__) cannot free it. Failures raise the host's exception.
  static PyValue make(HostObject* obj);

  PyValue(PyValue&& other) noexcept
      : tagged_(std::exchange(other.tagged_, 0)), hash_(other.hash_), payload_(other.payload_) {}
  PyValue& operator=(PyValue&& other) noexcept {
    if (this != &other) {
      host::release(obj());
      tagged_ = std::exchange(other.tagged_, 0);
      hash_ = other.hash_;
      payload_ = other.payload_;
    }
    return *this;
  }
  PyValue(const PyValue&) = delete;
  PyValue& operator=(const PyValue&) = delete;
  ~PyValue() { host::release(obj()); }

  /// A second value sharing the host object (one more host reference); needs the interpreter lock.
  [[nodiscard]] PyValue clone() const noexcept {
    if (HostObject* o = obj()) host::retain(o);
    PyValue v;
    v.tagged_ = tagged_;
    v.hash_ = hash_;
    v.payload_ = payload_;
    return v;
  }

  /// The host object, borrowed for as long as this value lives.
  [[nodiscard]] HostObject* obj() const noexcept { return reinterpret_cast<HostObject*>(tagged_ & ~kKindMask); }
  [[nodiscard]] ValueKind kind() const noexcept { return static_cast<ValueKind>(tagged_ & kKindMask); }
  [[nodiscard]] std::uint64_t hash() const noexcept { return hash_; }
  [[nodiscard]] bool is_numeric() const noexcept { return kind() == ValueKind::Int || kind() == ValueKind::Float; }
  [[nodiscard]] std::int64_t as_int() const noexcept { return payload_; }
  [[nodiscard]] double as_float() const noexcept { return std::bit_cast<double>(payload_); }
  /// The number the range tree orders; none for strings and other values.
  [[nodiscard]] std::optional<NumericValue> numeric() const noexcept {
    if (kind() == ValueKind::Int) return NumericValue(as_int());
    if (kind() == ValueKind::Float) return NumericValue(as_float());
    return std::nullopt;
  }

  friend bool operator==(const PyValue& a, const PyValue& b) noexcept { return a.hash_ == b.hash_; }

  /// "PyValue { obj: Py(0x…), primitave: Int(5), hash: 5 }". A string's text is read from the
  /// host object (`host::str_text`), so this needs the interpreter lock.
  [[nodiscard]] std::string debug() const;
  /// The typed part alone: "Int(5)", "Float(1e16)", "Str(\"a\")", "Unknown".
  [[nodiscard]] std::string primitave_debug() const;

 private:
  // Host objects are aligned to at least 8 bytes: the kind lives in the pointer's low bits.
  static constexpr std::uintptr_t kKindMask = 3;

  std::uintptr_t tagged_ = 0;  // owned host reference | kind
  std::uint64_t hash_ = 0;     // the host hash's bit pattern; 0 for an unhashable object
  std::int64_t payload_ = 0;   // Int: the integer; Float: the double's bits; else 0
};

static_assert(sizeof(PyValue) == 24);

inline constexpr std::uint64_t kMapHashMultiplier = 0xf1357aea2e62a9c5ULL;
inline constexpr int kMapHashRotation = 26;

/// Map hash of a host hash: multiply (wrapping) and rotate left.
[[nodiscard]] constexpr std::uint64_t map_hash(std::uint64_t host_hash) noexcept {
  return std::rotl(host_hash * kMapHashMultiplier, kMapHashRotation);
}

/// Hasher for maps keyed by a host hash (or by a value, through its host hash).
struct HostHashHash {
  using is_avalanching = void;  // map_hash already mixes; open-addressing maps need not re-mix
  std::size_t operator()(std::uint64_t host_hash) const noexcept { return map_hash(host_hash); }
  std::size_t operator()(const PyValue& v) const noexcept { return map_hash(v.hash()); }
};

/// Shortest round-trip text of a double: positional for 0 and magnitudes in [1e-4, 1e16), exponent
/// form otherwise ("1e16", "1.5e-5"); "NaN", "inf", "-inf".
[[nodiscard]] std::string format_float(double x);

/// A string in double quotes with debug escapes (\" \\ \t \r \n \0, \u{hex} for non-printables).
[[nodiscard]] std::string debug_quoted(std::string_view utf8);

}  // namespace vostrel
