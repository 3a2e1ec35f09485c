// Debug forms of values and the float notation they use.
#include "index/value.hpp"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace vostrel {

std::string format_float(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[64];
  const double magnitude = std::fabs(x);
  if (x == 0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
    std::string out(buf, end);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
  }
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string_view text(buf, static_cast<std::size_t>(end - buf));
  const auto e = text.find('e');
  std::string out(text.substr(0, e));
  out += 'e';
  std::string_view exponent = text.substr(e + 1);
  if (exponent.front() == '+') exponent.remove_prefix(1);
  bool negative = false;
  if (exponent.front() == '-') {
    negative = true;
    exponent.remove_prefix(1);
  }
  while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
  if (negative) out += '-';
  out += exponent;
  return out;
}

namespace {

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i. Invalid bytes decode as
// themselves (U+0080..U+00FF range is never produced by valid input here, but stay safe).
char32_t decode_utf8(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  auto cont = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]) & 0x3F; };
  std::size_t n = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > s.size()) {
    ++i;
    return b0;
  }
  char32_t cp = n == 1 ? b0 : n == 2 ? (b0 & 0x1F) : n == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | cont(k);
  i += n;
  return cp;
}

// Code points shown escaped: controls, separators and invisible format characters other than the
// plain space, surrogates, private use and non-characters.
bool is_printable(char32_t c) {
  if (c < 0x20 || c == 0x7F) return false;
  if (c < 0x7F) return true;
  if (c >= 0x80 && c <= 0xA0) return false;
  if (c == 0xAD || c == 0x1680 || c == 0x180E) return false;
  if ((c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F))
    return false;
  if (c == 0x3000 || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB)) return false;
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  if ((c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000) return false;
  if ((c & 0xFFFE) == 0xFFFE || (c >= 0xFDD0 && c <= 0xFDEF)) return false;
  return c <= 0x10FFFF;
}

void append_utf8(std::string& out, std::string_view s, std::size_t from, std::size_t to) {
  out.append(s.substr(from, to - from));
}

}  // namespace

std::string debug_quoted(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t start = i;
    const char32_t c = decode_utf8(s, i);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_printable(c)) {
          append_utf8(out, s, start, i);
        } else {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        }
    }
  }
  out += '"';
  return out;
}

std::string PyValue::primitave_debug() const {
  switch (kind()) {
    case ValueKind::Int: return "Int(" + std::to_string(as_int()) + ")";
    case ValueKind::Float: return "Float(" + format_float(as_float()) + ")";
    case ValueKind::Str: return "Str(" + debug_quoted(host::str_text(obj())) + ")";
    case ValueKind::Unknown: break;
  }
  return "Unknown";
}

std::string PyValue::debug() const {
  char addr[32];
  std::snprintf(addr, sizeof addr, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(obj()));
  return "PyValue { obj: Py(" + std::string(addr) + "), primitave: " + primitave_debug() +
         ", hash: " + std::to_string(hash_) + " }";
}

}  // namespace vostrel
