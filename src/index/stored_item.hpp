// The object store: an index's objects by id, each slot owning a reference that keeps its object
// alive, in pages allocated only where objects are.
//
// Ids are handed out lowest first and taken back when their object dies, so the ids in use stay
// dense and a store's pages stay full; but a store never costs more than the pages of the ids it
// holds, whatever ids the process has used before.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "index/bitmap.hpp"
#include "index/fatal.hpp"
#include "index/host_ref.hpp"

namespace vostrel {

/// One filled slot of a store: the stored object, and the store's epoch when it entered (see
/// `IndexState::epoch`).
struct StoredItem {
  HostObject* object = nullptr;  // owned: one host reference; null for an empty slot
  std::uint64_t entered = 0;

  [[nodiscard]] explicit operator bool() const noexcept { return object != nullptr; }
};

class ObjectStore {
  struct Page;

 public:
  /// Slots per page: 2 KiB. Small enough that an index of objects with scattered ids costs
  /// little more than its objects, large enough that a dense store is nearly all slots.
  static constexpr unsigned kPageBits = 7;
  static constexpr std::size_t kPageSlots = std::size_t{1} << kPageBits;

  ObjectStore() = default;
  ObjectStore(ObjectStore&&) noexcept = default;
  ObjectStore& operator=(ObjectStore&& other) noexcept {
    if (this != &other) {
      clear();
      directories_ = std::move(other.directories_);
      page_count_ = std::exchange(other.page_count_, 0);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ObjectStore(const ObjectStore&) = delete;
  ObjectStore& operator=(const ObjectStore&) = delete;
  /// Releases every stored reference (through `host::release`).
  ~ObjectStore() { clear(); }

  /// The slot of `id`, or an empty one.
  [[nodiscard]] const StoredItem& at(Id id) const noexcept {
    const Page* page = find_page(id >> kPageBits);
    return page ? page->slots[id & (kPageSlots - 1)] : kEmpty;
  }
  /// The stored object of `id`, or null.
  [[nodiscard]] HostObject* object(Id id) const noexcept { return at(id).object; }
  /// Objects stored.
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t page_count() const noexcept { return page_count_; }

  /// Makes sure the pages of `ids` exist, so that `put` for them allocates nothing. Throws
  /// std::bad_alloc, leaving the store's contents unchanged (empty pages may remain).
  void reserve(const Bitmap& ids);
  /// Frees the pages that hold no object (left by a `reserve` whose objects never came).
  void drop_empty_pages() noexcept;
  /// Stores `object` (one owned reference, taken over) under `id`, whose slot must be empty and
  /// whose page must exist (`reserve`).
  void put(Id id, HostObject* object, std::uint64_t entered);
  /// Empties the slot of `id` and hands its reference to the caller (null when it was empty); a
  /// page left empty is freed.
  [[nodiscard]] OwnedHostRef take(Id id) noexcept;
  /// Empties every slot, releasing the references, and frees every page.
  void clear() noexcept;
  /// Hands every stored reference to `out` and leaves the store empty.
  void take_all(std::vector<OwnedHostRef>& out);

  /// Calls f(id, const StoredItem&) for every filled slot, in ascending id order.
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t d = 0; d < directories_.size(); ++d) {
      if (!directories_[d]) continue;
      for (std::size_t p = 0; p < kDirectoryPages; ++p) {
        const Page* page = directories_[d]->pages[p].get();
        if (!page) continue;
        const Id base = static_cast<Id>(((d << kDirectoryBits) + p) << kPageBits);
        for (std::size_t i = 0; i < kPageSlots; ++i)
          if (page->slots[i]) f(static_cast<Id>(base + i), page->slots[i]);
      }
    }
  }

  /// A cursor for many lookups in ascending id order: each page is found once.
  class Reader {
   public:
    explicit Reader(const ObjectStore& store) noexcept : store_(store) {}
    [[nodiscard]] const StoredItem& at(Id id) noexcept {
      const std::uint32_t number = id >> kPageBits;
      if (number != number_ || !page_) {
        number_ = number;
        page_ = store_.find_page(number);
      }
      return page_ ? page_->slots[id & (kPageSlots - 1)] : kEmpty;
    }

   private:
    const ObjectStore& store_;
    std::uint32_t number_ = 0;
    const Page* page_ = nullptr;
  };

  /// The reason when the count or the pages are inconsistent.
  [[nodiscard]] std::optional<std::string> verify() const;

 private:
  friend class Reader;
  // Pages are found through directories of 512 page pointers (4 KiB, covering 64Ki ids), which
  // are found by number in one vector: two loads, with no search, whatever the ids.
  static constexpr unsigned kDirectoryBits = 9;
  static constexpr std::size_t kDirectoryPages = std::size_t{1} << kDirectoryBits;

  struct Page {
    StoredItem slots[kPageSlots] = {};
    std::size_t filled = 0;
  };
  struct Directory {
    std::array<std::unique_ptr<Page>, kDirectoryPages> pages;
    std::size_t filled = 0;  // pages present
  };
  static const StoredItem kEmpty;

  [[nodiscard]] const Page* find_page(std::uint32_t number) const noexcept {
    const std::size_t d = number >> kDirectoryBits;
    if (d >= directories_.size() || !directories_[d]) return nullptr;
    return directories_[d]->pages[number & (kDirectoryPages - 1)].get();
  }
  [[nodiscard]] Page* find_page(std::uint32_t number) noexcept {
    return const_cast<Page*>(std::as_const(*this).find_page(number));
  }
  /// Frees page `number` (which must exist), its directory when that is left empty, and the
  /// directory vector's empty end.
  void free_page(std::uint32_t number) noexcept;
  /// Drops the directory vector's empty end, and its room when nothing is left.
  void trim_directories() noexcept;
  /// Empties every slot, handing each object to f(HostObject*), and frees every page.
  template <class F>
  void drain(F&& f) noexcept;

  // Directories by number; only directories of pages that exist are allocated, and the vector
  // ends at the last of them. Only pages holding objects (or reserved for them) exist.
  std::vector<std::unique_ptr<Directory>> directories_;
  std::size_t page_count_ = 0;
  std::size_t size_ = 0;
};

}  // namespace vostrel
