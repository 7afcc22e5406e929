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

/// The memory of an array read in place, as it was when reading began:
/// the array and every array its memory comes from (its bases). Python
/// code run meanwhile (a signal handler) may resize one of them and free
/// that memory; `unchanged` tells.
class InPlaceLayout {
  public:
    /// Records `array`'s chain of bases; false when it is too long to keep.
    bool record(PyObject* array);
    bool unchanged() const;

  private:
    struct Memory {
        PyObject* array;  // kept alive by the array read, through its bases
        const char* data;
        PyObject* descr;
        ptrdiff_t elements;
    };
    static constexpr int kMostArrays = 8;
    Memory chain_[kMostArrays];
    int count_ = 0;
};

/// The points of eval_vec: the argument converted by obj.astype("float32"),
/// which `holder` keeps alive; or, for an exact ndarray that astype would
/// only copy, the argument itself read in place (`in_place` then records
/// its memory; otherwise it stays empty).
sdf::PointsView points_view(PyObject* obj, PyRef& holder, InPlaceLayout& in_place);

/// A new 1-D float32 array of n elements, not initialised, and its storage.
PyRef new_float32_vector(size_t n, float*& storage);

}  // namespace pysdf
