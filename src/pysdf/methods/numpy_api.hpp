// NumPy interchange: the array interface loaded on first use, read-only
// views of argument arrays and new float32 result arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pysdf/pyref.hpp"
#include "sdf/batch.hpp"

namespace pysdf {

/// A 3-D unsigned-byte array as the core reads it: through byte strides.
struct ChunkView {
    const char* data;
    ptrdiff_t shape[3];
    ptrdiff_t strides[3];
};

/// Accepts `obj` as a 3-D uint8 ndarray, or throws with the argument
/// error named `param`. Loads NumPy's interface on first use.
ChunkView chunk_view(PyObject* obj, const char* param);

/// The points argument converted by obj.astype("float32"); the view reads
/// the converted array, which `holder` keeps alive.
sdf::PointsView points_view(PyObject* obj, PyRef& holder);

/// A new zero-filled 1-D float32 array of n elements and its storage.
PyRef new_float32_vector(size_t n, float*& storage);

}  // namespace pysdf
