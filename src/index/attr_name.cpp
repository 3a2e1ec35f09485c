// The table of interned attribute names.
#include "index/attr_name.hpp"

#include <boost/unordered/unordered_flat_set.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace vostrel {

std::uint64_t name_hash(std::string_view text) noexcept {
  // FNV-1a over the bytes, then a finalising mix so that the low bits spread well in open
  // addressing tables. Names are short: this costs a few nanoseconds.
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

/// The process-wide set of records, by text. A record's count goes from 1 to 0 only under the
/// table's mutex, where it also leaves the set, and is raised from 0 only by interning, under the
/// same mutex: so a record found in the set is never one being destroyed.
struct NameTable {
  using Record = AttrName::Record;

  struct ByText {
    using is_transparent = void;
    using is_avalanching = void;
    std::size_t operator()(const Record* r) const noexcept { return r->hash; }
    std::size_t operator()(std::string_view text) const noexcept { return name_hash(text); }
  };
  struct SameText {
    using is_transparent = void;
    static std::string_view text(const Record* r) noexcept { return {r->text(), r->size}; }
    static std::string_view text(std::string_view t) noexcept { return t; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
      return text(a) == text(b);
    }
  };

  std::mutex mutex;
  boost::unordered_flat_set<Record*, ByText, SameText> records;

  static NameTable& get() {
    static NameTable* table = new NameTable;  // never destroyed: names live until the process ends
    return *table;
  }

  Record* intern(std::string_view text) {
    if (text.size() > UINT32_MAX) throw std::bad_alloc();
    std::lock_guard lock(mutex);
    if (auto it = records.find(text); it != records.end()) {
      (*it)->refs.fetch_add(1, std::memory_order_relaxed);
      return *it;
    }
    void* raw = ::operator new(sizeof(Record) + text.size());
    Record* r = new (raw) Record{{1}, static_cast<std::uint32_t>(text.size()), name_hash(text)};
    std::memcpy(r->text(), text.data(), text.size());
    try {
      records.insert(r);
    } catch (...) {
      ::operator delete(raw);
      throw;
    }
    return r;
  }

  void drop_last(Record* r) noexcept {
    std::lock_guard lock(mutex);
    if (r->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    records.erase(r);
    r->~Record();
    ::operator delete(r);
  }
};

namespace {

/// A count this high means a leak of copies; going on would wrap it.
constexpr std::uint32_t kMaxRefs = UINT32_MAX / 2;

}  // namespace

AttrName::Record* AttrName::empty_record() noexcept {
  // Immortal, never counted, never in the table.
  alignas(Record) static unsigned char storage[sizeof(Record) + 1] = {};
  static Record* const empty = new (storage) Record{{0}, 0, name_hash({})};
  return empty;
}

AttrName::AttrName() noexcept : record_(empty_record()) {}

AttrName::AttrName(std::string_view text)
    : record_(text.empty() ? empty_record() : NameTable::get().intern(text)) {}

void AttrName::retain() const noexcept {
  if (record_ == empty_record()) return;
  if (record_->refs.fetch_add(1, std::memory_order_relaxed) >= kMaxRefs) {
    std::fputs("Vostrel: attribute name share count overflow\n", stderr);
    std::abort();
  }
}

void AttrName::release() noexcept {
  if (record_ == empty_record()) return;
  // Dropping a share that is not the last needs no lock; the last goes through the table.
  std::uint32_t refs = record_->refs.load(std::memory_order_relaxed);
  while (refs > 1) {
    if (record_->refs.compare_exchange_weak(refs, refs - 1, std::memory_order_acq_rel)) return;
  }
  NameTable::get().drop_last(record_);
}

std::size_t AttrName::interned_count() {
  NameTable& table = NameTable::get();
  std::lock_guard lock(table.mutex);
  return table.records.size();
}

}  // namespace vostrel
