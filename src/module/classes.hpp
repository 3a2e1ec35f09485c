// The system's host classes, each created once per process on first need.
#pragma once

#include <Python.h>

namespace vostrel::py {

/// The class types; HostError when a type cannot be created.
PyTypeObject* index_type();
PyTypeObject* indexable_type();
PyTypeObject* query_expr_type();
/// Result-only class; a failure to create it is a fatal internal error.
PyTypeObject* filtered_index_type();

}  // namespace vostrel::py
