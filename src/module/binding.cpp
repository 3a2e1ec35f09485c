// Argument binding and the interpreter's wording of its errors.
#include "module/binding.hpp"

#include <algorithm>

namespace vostrel::binding {

std::string Signature::display() const {
  std::string out;
  if (!owner.empty()) {
    out += owner;
    out += '.';
  }
  out += function;
  out += "()";
  return out;
}

std::string quoted_list(std::span<const std::string_view> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) out += " and ";
      else if (i + 1 == names.size()) out += ", and ";
      else out += ", ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

namespace {

std::string too_many_positional(const Signature& sig, std::size_t given) {
  const std::size_t n = sig.positional.size();
  std::string out = sig.display() + " takes ";
  if (sig.required == n) out += std::to_string(n);
  else out += "from " + std::to_string(sig.required) + " to " + std::to_string(n);
  out += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
         " given";
  return out;
}

std::string missing(const Signature& sig, std::span<const std::string_view> names, bool keyword) {
  return sig.display() + " missing " + std::to_string(names.size()) + " required " +
         (keyword ? "keyword" : "positional") + (names.size() == 1 ? " argument: " : " arguments: ") +
         quoted_list(names);
}

}  // namespace

std::optional<std::string> bind_call(const Signature& sig, std::size_t nargs,
                                std::span<const std::string_view> keywords, Binding& out) {
  const std::size_t npos = sig.positional.size();
  out.source.fill(Binding::kUnfilled);
  out.keyword_extra.assign(keywords.size(), false);

  if (nargs > npos && !sig.varargs) return too_many_positional(sig, nargs);
  out.positional_bound = std::min(nargs, npos);
  for (std::size_t i = 0; i < out.positional_bound; ++i) out.source[i] = static_cast<std::int32_t>(i);

  boost::container::small_vector<std::string_view, 4> positional_only_by_keyword;
  for (std::size_t k = 0; k < keywords.size(); ++k) {
    const std::string_view name = keywords[k];
    const auto kw_source = Binding::kKeyword + static_cast<std::int32_t>(k);
    auto pos = std::find(sig.positional.begin(), sig.positional.end(), name);
    if (pos != sig.positional.end()) {
      const auto i = static_cast<std::size_t>(pos - sig.positional.begin());
      if (i < sig.positional_only) {
        if (sig.varkw) out.keyword_extra[k] = true;
        else positional_only_by_keyword.push_back(name);
        continue;
      }
      if (out.source[i] != Binding::kUnfilled)
        return sig.display() + " got multiple values for argument '" + std::string(name) + "'";
      out.source[i] = kw_source;
      continue;
    }
    auto kwo = std::find(sig.keyword_only.begin(), sig.keyword_only.end(), name);
    if (kwo != sig.keyword_only.end()) {
      const auto i = npos + static_cast<std::size_t>(kwo - sig.keyword_only.begin());
      if (out.source[i] != Binding::kUnfilled)
        return sig.display() + " got multiple values for argument '" + std::string(name) + "'";
      out.source[i] = kw_source;
      continue;
    }
    if (!sig.varkw)
      return sig.display() + " got an unexpected keyword argument '" + std::string(name) + "'";
    out.keyword_extra[k] = true;
  }
  if (!positional_only_by_keyword.empty())
    return sig.display() + " got some positional-only arguments passed as keyword arguments: " +
           quoted_list(positional_only_by_keyword);

  boost::container::small_vector<std::string_view, 4> absent;
  for (std::size_t i = 0; i < sig.required; ++i)
    if (out.source[i] == Binding::kUnfilled) absent.push_back(sig.positional[i]);
  if (!absent.empty()) return missing(sig, absent, false);
  for (std::size_t i = 0; i < sig.keyword_only.size() && !sig.keyword_only_optional; ++i)
    if (out.source[npos + i] == Binding::kUnfilled) absent.push_back(sig.keyword_only[i]);
  if (!absent.empty()) return missing(sig, absent, true);
  return std::nullopt;
}

}  // namespace vostrel::binding
