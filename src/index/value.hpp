// Attribute values as the index holds them: the host object, a typed copy and the host hash.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "index/host_ref.hpp"

namespace vostrel {

/// Typed copy of a host value: exact int, exact float, exact str, or anything else.
class CastValue {
 public:
  enum class Kind : std::uint8_t { Int, Float, Str, Unknown };

  static CastValue Int(std::int64_t n) { return CastValue(n); }
  static CastValue Float(double x) { return CastValue(x); }
  static CastValue Str(std::string s) { return CastValue(std::move(s)); }
  static CastValue Unknown() { return CastValue(std::monostate{}); }

  [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
  [[nodiscard]] bool is_numeric() const noexcept { return kind() == Kind::Int || kind() == Kind::Float; }
  [[nodiscard]] std::int64_t as_int() const { return std::get<std::int64_t>(v_); }
  [[nodiscard]] double as_float() const { return std::get<double>(v_); }
  [[nodiscard]] const std::string& as_str() const { return std::get<std::string>(v_); }

  /// "Int(5)", "Float(1e16)", "Str(\"a\")", "Unknown".
  [[nodiscard]] std::string debug() const;

 private:
  using Payload = std::variant<std::int64_t, double, std::string, std::monostate>;
  explicit CastValue(Payload v) : v_(std::move(v)) {}
  Payload v_;
};

/// A host value: shares its host object with every copy, compares and hashes by the host hash alone.
class PyValue {
 public:
  PyValue(SharedHostRef obj, CastValue primitave, std::uint64_t hash)
      : obj_(std::move(obj)), primitave_(std::move(primitave)), hash_(hash) {}

  /// Converts a host object (defined by the host layer; needs the interpreter lock). A value that
  /// cannot be converted raises the host's own exception.
  static PyValue make(HostObject* obj);

  [[nodiscard]] const SharedHostRef& obj() const noexcept { return obj_; }
  [[nodiscard]] const CastValue& primitave() const noexcept { return primitave_; }
  [[nodiscard]] std::uint64_t hash() const noexcept { return hash_; }

  friend bool operator==(const PyValue& a, const PyValue& b) noexcept { return a.hash_ == b.hash_; }

  /// "PyValue { obj: Py(0x…), primitave: Int(5), hash: 5 }".
  [[nodiscard]] std::string debug() const;

 private:
  SharedHostRef obj_;
  CastValue primitave_;
  std::uint64_t hash_;
};

inline constexpr std::uint64_t kMapHashMultiplier = 0xf1357aea2e62a9c5ULL;
inline constexpr int kMapHashRotation = 26;

/// Map hash of a host hash: multiply (wrapping) and rotate left.
[[nodiscard]] constexpr std::uint64_t map_hash(std::uint64_t host_hash) noexcept {
  return std::rotl(host_hash * kMapHashMultiplier, kMapHashRotation);
}

/// Hasher for maps keyed by PyValue (or by its host hash).
struct PyValueHash {
  using is_avalanching = void;  // map_hash already mixes; open-addressing maps need not re-mix
  std::size_t operator()(const PyValue& v) const noexcept { return map_hash(v.hash()); }
  std::size_t operator()(std::uint64_t host_hash) const noexcept { return map_hash(host_hash); }
};

/// Shortest round-trip text of a double: positional for 0 and magnitudes in [1e-4, 1e16), exponent
/// form otherwise ("1e16", "1.5e-5"); "NaN", "inf", "-inf".
[[nodiscard]] std::string format_float(double x);

/// A string in double quotes with debug escapes (\" \\ \t \r \n \0, \u{hex} for non-printables).
[[nodiscard]] std::string debug_quoted(std::string_view utf8);

}  // namespace vostrel
