// The instance layouts of the index classes, shared by the files that implement their methods.
#pragma once

#include "index/filtered_index.hpp"
#include "index/index.hpp"
#include "index/indexable.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {

using IndexInstance = Instance<Index>;
using IndexableInstance = Instance<Indexable>;
using FilteredIndexInstance = Instance<FilteredIndex>;

/// A new host list of the stored objects of `ids`, in ascending id order; the caller holds the
/// store's read lock and the interpreter lock. Missing-value error for an id without an object.
Object stored_objects_list(const ItemStore& store, const Bitmap& ids);

/// The host object of a view, or of an index value.
Object new_filtered_index(FilteredIndex view);
Object new_index(Index index);

/// The Indexable behind an argument, or the argument error "'<type>' object cannot be converted to
/// 'Indexable'" under the parameter's name.
IndexableInstance* extract_indexable(std::string_view param, Handle obj);

}  // namespace vostrel::py
