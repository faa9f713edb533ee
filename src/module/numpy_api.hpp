#pragma once
// NumPy's C API, reached through the table NumPy publishes as a capsule.
// Every file that uses NumPy includes this header instead of NumPy's own, so
// they all share the one table pointer that numpy_api.cpp fills in.
#include "module/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL velkor_ARRAY_API
#ifndef VELKOR_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace velkor::py {

// Loads the table on first need (not at import, so importing velkor_core
// stays cheap).  Failure takes the internal-failure path; the next call
// tries again.
void ensure_numpy_api();

}  // namespace velkor::py
