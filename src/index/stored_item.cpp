// The paged object store.
#include "index/stored_item.hpp"

namespace vostrel {

const StoredItem ObjectStore::kEmpty{};

const ObjectStore::Page* ObjectStore::find_page(std::uint32_t number) const noexcept {
  auto it = std::lower_bound(pages_.begin(), pages_.end(), number,
                             [](const auto& entry, std::uint32_t n) { return entry.first < n; });
  return it != pages_.end() && it->first == number ? it->second.get() : nullptr;
}

void ObjectStore::reserve(const Bitmap& ids) {
  std::vector<std::uint32_t> wanted;
  std::uint32_t last = 0;
  bool any = false;
  ids.for_each([&](Id id) {
    const std::uint32_t number = id >> kPageBits;
    if (any && number == last) return;
    any = true;
    last = number;
    if (!find_page(number)) wanted.push_back(number);
  });
  if (wanted.empty()) return;
  pages_.reserve(pages_.size() + wanted.size());
  for (const std::uint32_t number : wanted) {
    auto page = std::make_unique<Page>();
    auto it = std::lower_bound(pages_.begin(), pages_.end(), number,
                               [](const auto& entry, std::uint32_t n) { return entry.first < n; });
    pages_.emplace(it, number, std::move(page));  // room reserved: moves pointers only
  }
}

void ObjectStore::drop_empty_pages() noexcept {
  std::erase_if(pages_, [](const auto& entry) { return entry.second->filled == 0; });
}

void ObjectStore::put(Id id, HostObject* object, std::uint64_t entered) {
  Page* page = find_page(id >> kPageBits);
  if (!page) fatal_missing_value();
  StoredItem& slot = page->slots[id & (kPageSlots - 1)];
  if (slot) fatal("a store slot that must be empty holds an object");
  slot = StoredItem{object, entered};
  ++page->filled;
  ++size_;
}

OwnedHostRef ObjectStore::take(Id id) noexcept {
  const std::uint32_t number = id >> kPageBits;
  auto it = std::lower_bound(pages_.begin(), pages_.end(), number,
                             [](const auto& entry, std::uint32_t n) { return entry.first < n; });
  if (it == pages_.end() || it->first != number) return {};
  StoredItem& slot = it->second->slots[id & (kPageSlots - 1)];
  if (!slot) return {};
  OwnedHostRef ref = OwnedHostRef::adopt(std::exchange(slot, StoredItem{}).object);
  --size_;
  if (--it->second->filled == 0) pages_.erase(it);
  return ref;
}

void ObjectStore::clear() noexcept {
  for (auto& [number, page] : pages_)
    for (StoredItem& slot : page->slots)
      if (slot) host::release(std::exchange(slot, StoredItem{}).object);
  pages_.clear();
  size_ = 0;
}

void ObjectStore::take_all(std::vector<OwnedHostRef>& out) {
  out.reserve(out.size() + size_);
  for (auto& [number, page] : pages_)
    for (StoredItem& slot : page->slots)
      if (slot) out.push_back(OwnedHostRef::adopt(std::exchange(slot, StoredItem{}).object));
  pages_.clear();
  size_ = 0;
}

std::optional<std::string> ObjectStore::verify() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    const auto& [number, page] = pages_[i];
    if (i > 0 && pages_[i - 1].first >= number) return "store pages out of order";
    std::size_t filled = 0;
    for (const StoredItem& slot : page->slots) filled += slot ? 1 : 0;
    if (filled != page->filled) return "store page " + std::to_string(number) + " miscounts its objects";
    if (filled == 0) return "store page " + std::to_string(number) + " holds no object";
    total += filled;
  }
  if (total != size_) return "store miscounts its objects";
  return std::nullopt;
}

}  // namespace vostrel
