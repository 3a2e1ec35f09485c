// The ordered value prefix of the tree's keys: integers and doubles in one exact order.
#include "index/numeric_key.hpp"

#include <bit>

namespace vostrel {

namespace {

// The 80-bit extended form: sign, 15-bit exponent field, 64-bit significand with explicit
// leading one. A value with leading one at bit position E has exponent field E + kBias.
constexpr std::uint32_t kExtendedBias = 16383;
// A double's biased exponent e stands for e - 1023, so its extended field is e + (16383 - 1023).
constexpr std::uint32_t kDoubleToExtended = kExtendedBias - 1023;
// A subnormal's fraction f stands for f * 2**-1074; with z leading zeros its leading one is bit
// 63 - z, so its exponent is -1011 - z.
constexpr std::uint32_t kSubnormalBase = kExtendedBias - 1011;
constexpr unsigned kFractionBits = 52;
constexpr std::uint64_t kFractionMask = (std::uint64_t{1} << kFractionBits) - 1;
constexpr Key128 kPrefixMask = (Key128{1} << kPrefixBits) - 1;
constexpr Key128 kPrefixTopBit = Key128{1} << (kPrefixBits - 1);

/// The 96-bit form of a nonzero magnitude, before the sign is applied.
constexpr Key128 extended_form(bool negative, std::uint32_t exponent, std::uint64_t significand) {
  return (Key128{negative} << 95) | (Key128{exponent} << 80) | (Key128{significand} << 16);
}

constexpr Key128 signed_prefix(bool negative, Key128 form) {
  return negative ? ~form & kPrefixMask : form | kPrefixTopBit;
}

}  // namespace

Key128 ordered_prefix(const NumericValue& value) noexcept {
  if (const std::int64_t* n = std::get_if<std::int64_t>(&value)) {
    if (*n == 0) return kPrefixTopBit;
    const bool negative = *n < 0;
    const std::uint64_t magnitude =
        negative ? std::uint64_t{0} - static_cast<std::uint64_t>(*n) : static_cast<std::uint64_t>(*n);
    const unsigned lead = 63 - static_cast<unsigned>(std::countl_zero(magnitude));
    return signed_prefix(negative, extended_form(negative, lead + kExtendedBias, magnitude << (63 - lead)));
  }
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(std::get<double>(value));
  const bool negative = (bits >> 63) != 0;
  const auto e = static_cast<std::uint32_t>((bits >> kFractionBits) & 0x7ff);
  const std::uint64_t f = bits & kFractionMask;
  if (e == 0 && f == 0) return kPrefixTopBit;
  if (e != 0) {
    const std::uint64_t significand = ((std::uint64_t{1} << kFractionBits) | f) << 11;
    return signed_prefix(negative, extended_form(negative, e + kDoubleToExtended, significand));
  }
  const auto z = static_cast<unsigned>(std::countl_zero(f));
  return signed_prefix(negative, extended_form(negative, kSubnormalBase - z, f << z));
}

}  // namespace vostrel
