// The instance layouts of the index classes, shared by the files that implement their methods.
#pragma once

#include <vector>

#include "index/filtered_index.hpp"
#include "index/index.hpp"
#include "index/indexable.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {

using IndexInstance = Instance<Index>;
using IndexableInstance = Instance<Indexable>;
using FilteredIndexInstance = Instance<FilteredIndex>;

/// A new host list of the stored objects of `ids`, in ascending id order; the missing-value error
/// for an id without an object. The caller holds the interpreter lock and no index lock: the list
/// is made first (making it may run the host's collector, and so host code), then filled under
/// the store's read lock, where nothing can run host code.
Object stored_list(const RwLock<ItemStore>& store, const Bitmap& ids);

/// The host object of a view, or of an index value.
Object new_filtered_index(FilteredIndex view);
Object new_index(Index index);

/// The Indexable behind an argument, or the argument error "'<type>' object cannot be converted to
/// 'Indexable'" under the parameter's name.
IndexableInstance* extract_indexable(std::string_view param, Handle obj);

}  // namespace vostrel::py
