// Ownership of PyObject pointers made visible: PyRef owns one strong
// reference; a plain PyObject* is always borrowed.
#pragma once

#include <utility>

#include "pysdf/python.hpp"

namespace pysdf {

/// Thrown by binding code when a Python exception has been set; the call
/// wrapper turns it into a NULL return.
struct PythonError {};

/// Move-only owner of one strong reference (or of nothing).
class PyRef {
  public:
    PyRef() = default;
    /// Takes over a new reference (NULL allowed).
    static PyRef steal(PyObject* o) { return PyRef(o); }
    /// Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* o) {
        Py_XINCREF(o);
        return PyRef(o);
    }
    /// Takes over a new reference, throwing PythonError when it is NULL
    /// (the call that returned NULL has set the exception).
    static PyRef check(PyObject* o) {
        if (!o) throw PythonError{};
        return PyRef(o);
    }
    PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() {
        // At interpreter exit a daemon thread is ended by an unwind that
        // runs this without the interpreter lock; the reference is left to
        // the dying process rather than dropped under another thread's feet.
        if (obj_ && Py_IsInitialized()) Py_DECREF(obj_);
    }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    /// Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    void swap(PyRef& other) noexcept { std::swap(obj_, other.obj_); }

  private:
    explicit PyRef(PyObject* o) : obj_(o) {}
    PyObject* obj_ = nullptr;
};

}  // namespace pysdf
