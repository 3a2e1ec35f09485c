// Attribute names: building the heap storage of long names and releasing it.
#include "index/attr_name.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace vostrel {

AttrName::AttrName(std::string_view text) : bytes_{} {
  if (text.size() <= kInlineCapacity) {
    std::memcpy(bytes_.chars, text.data(), text.size());
    tag() = static_cast<std::uint8_t>(text.size());
    return;
  }
  void* raw = ::operator new(sizeof(Shared) + text.size());
  Shared* s = new (raw) Shared{{1}, text.size()};
  std::memcpy(s->text(), text.data(), text.size());
  std::memcpy(bytes_.chars, &s, sizeof s);
  tag() = kSharedTag;
}

void AttrName::destroy(Shared* s) noexcept {
  s->~Shared();
  ::operator delete(s);
}

void AttrName::abort_on_overflow() noexcept {
  std::fputs("Vostrel: attribute name share count overflow\n", stderr);
  std::abort();
}

}  // namespace vostrel
