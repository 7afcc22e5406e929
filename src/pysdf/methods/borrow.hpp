// Shared borrows of Sdf objects for the duration of a call.
#pragma once

#include <vector>

#include "module/guarded_call.hpp"
#include "module/sdf_type.hpp"
#include "pysdf/pyref.hpp"

namespace pysdf {

/// A strong reference plus one count on the object's borrow counter; both
/// are dropped when the SdfRef goes away.
class SdfRef {
  public:
    /// `obj` must be an Sdf. Throws PythonError (RuntimeError) if the object
    /// is exclusively borrowed.
    explicit SdfRef(PyObject* obj);
    SdfRef(SdfRef&& other) noexcept = default;
    SdfRef& operator=(SdfRef&&) = delete;
    ~SdfRef();

    SdfObject* get() const { return reinterpret_cast<SdfObject*>(obj_.get()); }
    const sdf::SdfNode& tree() const { return get()->root; }

  private:
    PyRef obj_;
};

/// Is `obj` an instance of Sdf?
bool is_sdf(PyObject* obj);

/// The receiver of an instance method; a type error is not reworded.
SdfRef borrow_receiver(PyObject* obj);
/// An Sdf operand; a type error names `param`.
SdfRef borrow_sdf(PyObject* obj, const char* param);
/// A sequence of Sdf operands, borrowed in iteration order.
std::vector<SdfRef> extract_sdf_list(PyObject* obj, const char* param);

}  // namespace pysdf
