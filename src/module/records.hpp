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

/// New references to the stored objects of `ids`, in ascending id order; the caller holds the
/// store's read lock and the interpreter lock. Missing-value error for an id without an object.
/// Nothing here can run host code, so no index lock is ever held while host code runs.
std::vector<Object> stored_objects(const ItemStore& store, const Bitmap& ids);
/// A host list of the objects, in order.
Object to_list(std::vector<Object> objects);

/// The host object of a view, or of an index value.
Object new_filtered_index(FilteredIndex view);
Object new_index(Index index);

/// The Indexable behind an argument, or the argument error "'<type>' object cannot be converted to
/// 'Indexable'" under the parameter's name.
IndexableInstance* extract_indexable(std::string_view param, Handle obj);

}  // namespace vostrel::py
