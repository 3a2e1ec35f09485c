// The paged object store.
#include "index/stored_item.hpp"

namespace vostrel {

const StoredItem ObjectStore::kEmpty{};

void ObjectStore::reserve(const Bitmap& ids) {
  std::uint32_t last = 0;
  bool any = false;
  ids.for_each([&](Id id) {
    const std::uint32_t number = id >> kPageBits;
    if (any && number == last) return;
    any = true;
    last = number;
    const std::size_t d = number >> kDirectoryBits;
    if (d >= directories_.size()) directories_.resize(d + 1);
    if (!directories_[d]) directories_[d] = std::make_unique<Directory>();
    auto& page = directories_[d]->pages[number & (kDirectoryPages - 1)];
    if (page) return;
    page = std::make_unique<Page>();
    ++directories_[d]->filled;
    ++page_count_;
  });
}

void ObjectStore::free_page(std::uint32_t number) noexcept {
  const std::size_t d = number >> kDirectoryBits;
  directories_[d]->pages[number & (kDirectoryPages - 1)].reset();
  --page_count_;
  if (--directories_[d]->filled == 0) directories_[d].reset();
  trim_directories();
}

void ObjectStore::trim_directories() noexcept {
  while (!directories_.empty() && !directories_.back()) directories_.pop_back();
  if (directories_.empty()) std::vector<std::unique_ptr<Directory>>().swap(directories_);
}

void ObjectStore::drop_empty_pages() noexcept {
  for (auto& directory : directories_) {
    if (!directory) continue;
    for (auto& page : directory->pages) {
      if (!page || page->filled != 0) continue;
      page.reset();
      --page_count_;
      --directory->filled;
    }
    // A directory reserved for pages that all failed to come holds none.
    if (directory->filled == 0) directory.reset();
  }
  trim_directories();
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
  Page* page = find_page(number);
  if (!page) return {};
  StoredItem& slot = page->slots[id & (kPageSlots - 1)];
  if (!slot) return {};
  OwnedHostRef ref = OwnedHostRef::adopt(std::exchange(slot, StoredItem{}).object);
  --size_;
  if (--page->filled == 0) free_page(number);
  return ref;
}

template <class F>
void ObjectStore::drain(F&& f) noexcept {
  for (auto& directory : directories_) {
    if (!directory) continue;
    for (auto& page : directory->pages) {
      if (!page) continue;
      for (StoredItem& slot : page->slots)
        if (slot) f(std::exchange(slot, StoredItem{}).object);
    }
  }
  std::vector<std::unique_ptr<Directory>>().swap(directories_);
  page_count_ = 0;
  size_ = 0;
}

void ObjectStore::clear() noexcept {
  drain([](HostObject* object) { host::release(object); });
}

void ObjectStore::take_all(std::vector<OwnedHostRef>& out) {
  out.reserve(out.size() + size_);  // the only step that may fail
  drain([&out](HostObject* object) { out.push_back(OwnedHostRef::adopt(object)); });
}

std::optional<std::string> ObjectStore::verify() const {
  std::size_t total = 0;
  std::size_t pages = 0;
  if (!directories_.empty() && !directories_.back()) return "store directories end with an empty one";
  for (std::size_t d = 0; d < directories_.size(); ++d) {
    if (!directories_[d]) continue;
    std::size_t present = 0;
    for (std::size_t p = 0; p < kDirectoryPages; ++p) {
      const Page* page = directories_[d]->pages[p].get();
      if (!page) continue;
      ++present;
      const std::size_t number = (d << kDirectoryBits) + p;
      std::size_t filled = 0;
      for (const StoredItem& slot : page->slots) filled += slot ? 1 : 0;
      if (filled != page->filled) return "store page " + std::to_string(number) + " miscounts its objects";
      if (filled == 0) return "store page " + std::to_string(number) + " holds no object";
      total += filled;
    }
    if (present != directories_[d]->filled) return "store directory " + std::to_string(d) + " miscounts its pages";
    if (present == 0) return "store directory " + std::to_string(d) + " holds no page";
    pages += present;
  }
  if (pages != page_count_) return "store miscounts its pages";
  if (total != size_) return "store miscounts its objects";
  return std::nullopt;
}

}  // namespace vostrel
