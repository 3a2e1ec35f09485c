// Attribute names: immutable small strings, compared and hashed by their text.
//
// A name of up to kInlineCapacity bytes lives inside the object; a longer one lives in heap
// storage shared by every copy, with an atomic reference count because copies cross threads.
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

namespace vostrel {

class AttrName {
 public:
  /// Longest name held inline: with the one tag byte it fills three machine words, and nearly
  /// every attribute name is this short.
  static constexpr std::size_t kInlineCapacity = 23;

  /// The empty name.
  AttrName() noexcept : bytes_{} {}
  explicit AttrName(std::string_view text);
  ~AttrName() { release(); }

  AttrName(const AttrName& other) noexcept : bytes_(other.bytes_) { retain(); }
  AttrName& operator=(const AttrName& other) noexcept {
    if (this != &other) {
      other.retain();
      release();
      bytes_ = other.bytes_;
    }
    return *this;
  }
  /// Moves leave the source the empty name.
  AttrName(AttrName&& other) noexcept : bytes_(other.bytes_) { other.tag() = 0; }
  AttrName& operator=(AttrName&& other) noexcept {
    if (this != &other) {
      release();
      bytes_ = other.bytes_;
      other.tag() = 0;
    }
    return *this;
  }

  [[nodiscard]] std::string_view view() const noexcept {
    if (is_inline()) return {bytes_.chars, tag()};
    const Shared* s = shared();
    return {s->text(), s->size};
  }
  [[nodiscard]] bool is_inline() const noexcept { return tag() != kSharedTag; }

  friend bool operator==(const AttrName& a, const AttrName& b) noexcept {
    if (a.bytes_.tag != b.bytes_.tag) return false;  // inline lengths differ, or inline vs shared
    if (a.is_inline()) return std::memcmp(a.bytes_.chars, b.bytes_.chars, a.tag()) == 0;
    return a.shared() == b.shared() || a.view() == b.view();
  }
  friend std::strong_ordering operator<=>(const AttrName& a, const AttrName& b) noexcept {
    return a.view() <=> b.view();
  }
  friend bool operator==(const AttrName& a, std::string_view b) noexcept { return a.view() == b; }

  /// Hash of the text; equal names hash alike.
  friend std::size_t hash_value(const AttrName& name) noexcept {
    return std::hash<std::string_view>{}(name.view());
  }

 private:
  /// Heap storage of a long name; the text follows the header.
  struct Shared {
    std::atomic<std::size_t> refs;
    std::size_t size;
    [[nodiscard]] const char* text() const noexcept { return reinterpret_cast<const char*>(this + 1); }
    [[nodiscard]] char* text() noexcept { return reinterpret_cast<char*>(this + 1); }
  };
  static constexpr std::uint8_t kSharedTag = 0xff;

  // Inline: `chars[0..tag)` is the text. Shared: `chars` starts with the Shared pointer and
  // `tag` is kSharedTag.
  struct alignas(Shared*) Bytes {
    char chars[kInlineCapacity];
    std::uint8_t tag;
  };

  [[nodiscard]] std::uint8_t& tag() noexcept { return bytes_.tag; }
  [[nodiscard]] std::uint8_t tag() const noexcept { return bytes_.tag; }
  [[nodiscard]] Shared* shared() const noexcept {
    Shared* s;
    std::memcpy(&s, bytes_.chars, sizeof s);
    return s;
  }
  /// Takes one more share of the heap storage, if any.
  void retain() const noexcept {
    if (!is_inline() && shared()->refs.fetch_add(1, std::memory_order_relaxed) >= kMaxRefs)
      abort_on_overflow();
  }
  /// Drops this object's share of the heap storage, if any.
  void release() noexcept {
    if (!is_inline() && shared()->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
      destroy(shared());
  }
  /// A share count this high means a leak of shares; going on would wrap it.
  static constexpr std::size_t kMaxRefs = SIZE_MAX / 2;
  [[noreturn]] static void abort_on_overflow() noexcept;
  static void destroy(Shared* s) noexcept;

  Bytes bytes_;
};

static_assert(sizeof(AttrName) == AttrName::kInlineCapacity + 1);

}  // namespace vostrel

template <>
struct std::hash<vostrel::AttrName> {
  std::size_t operator()(const vostrel::AttrName& name) const noexcept { return hash_value(name); }
};
