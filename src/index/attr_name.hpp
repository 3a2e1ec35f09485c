// Attribute names: immutable, interned strings, compared by identity and hashed by their text.
//
// Every distinct text has one shared record in a process-wide table; an AttrName is a pointer to
// it, so a name costs eight bytes wherever it is kept (every object's attributes, every value map
// of every index) and two names are equal exactly when they point at the same record. The record
// keeps its text's hash, so lookups by text (an attribute read) compare hashes before texts.
// Records are reference counted with an atomic count, since names cross threads, and leave the
// table with their last holder, so the table never grows with names nobody uses any more.
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

namespace vostrel {

/// The hash an attribute name's text has wherever names are looked up by text.
[[nodiscard]] std::uint64_t name_hash(std::string_view text) noexcept;

class AttrName {
 public:
  /// The empty name.
  AttrName() noexcept;
  /// The name with this text (interned: every name of one text shares one record).
  explicit AttrName(std::string_view text);
  ~AttrName() { release(); }

  AttrName(const AttrName& other) noexcept : record_(other.record_) { retain(); }
  AttrName& operator=(const AttrName& other) noexcept {
    if (record_ != other.record_) {
      other.retain();
      release();
      record_ = other.record_;
    }
    return *this;
  }
  /// Moves leave the source the empty name.
  AttrName(AttrName&& other) noexcept : record_(std::exchange(other.record_, empty_record())) {}
  AttrName& operator=(AttrName&& other) noexcept {
    if (this != &other) {
      release();
      record_ = std::exchange(other.record_, empty_record());
    }
    return *this;
  }

  [[nodiscard]] std::string_view view() const noexcept { return {record_->text(), record_->size}; }
  [[nodiscard]] std::uint64_t hash() const noexcept { return record_->hash; }
  [[nodiscard]] bool empty() const noexcept { return record_->size == 0; }

  friend bool operator==(const AttrName& a, const AttrName& b) noexcept { return a.record_ == b.record_; }
  /// Text order.
  friend std::strong_ordering operator<=>(const AttrName& a, const AttrName& b) noexcept {
    return a.view() <=> b.view();
  }
  friend bool operator==(const AttrName& a, std::string_view b) noexcept { return a.view() == b; }
  friend std::size_t hash_value(const AttrName& name) noexcept { return name.hash(); }

  /// Number of distinct names alive (for tests).
  [[nodiscard]] static std::size_t interned_count();

 private:
  /// One interned text; the text follows the header.
  struct Record {
    std::atomic<std::uint32_t> refs;
    std::uint32_t size;
    std::uint64_t hash;
    [[nodiscard]] const char* text() const noexcept { return reinterpret_cast<const char*>(this + 1); }
    [[nodiscard]] char* text() noexcept { return reinterpret_cast<char*>(this + 1); }
  };
  friend struct NameTable;

  [[nodiscard]] static Record* empty_record() noexcept;
  void retain() const noexcept;
  void release() noexcept;

  Record* record_;
};

static_assert(sizeof(AttrName) == sizeof(void*));

/// Hashes names for maps keyed by them: the text hash, already mixed.
struct AttrNameHash {
  using is_avalanching = void;
  std::size_t operator()(const AttrName& name) const noexcept { return name.hash(); }
};

}  // namespace vostrel

template <>
struct std::hash<vostrel::AttrName> {
  std::size_t operator()(const vostrel::AttrName& name) const noexcept { return name.hash(); }
};
