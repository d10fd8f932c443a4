// NumPy's C API for module sources; the API table itself is imported by
// zor::py::init and shared through this symbol.
#pragma once
#define PY_ARRAY_UNIQUE_SYMBOL ZOR_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>
