// Sdf operands: type checks, shared borrows and sequences of operands.
#include "pysdf/methods/borrow.hpp"

#include <algorithm>

#include "pysdf/messages.hpp"
#include "pysdf/methods/convert.hpp"

namespace pysdf {

// Borrows are taken and given back with the interpreter lock held (a
// limited-API module never loads into a build without that lock, and the
// module refuses interpreters with a lock of their own), and the lock orders
// them: plain loads and stores suffice. A locked read-modify-write would
// cost a fair share of a small call such as `eval`.
SdfRef::SdfRef(PyObject* obj) {
    std::atomic<int64_t>& count = reinterpret_cast<SdfObject*>(obj)->borrow_count;
    const int64_t seen = count.load(std::memory_order_relaxed);
    if (seen == -1) {
        PyErr_SetString(PyExc_RuntimeError, text::kAlreadyBorrowed);
        throw PythonError{};
    }
    count.store(seen + 1, std::memory_order_relaxed);
    obj_ = PyRef::borrow(obj);
}

SdfRef::~SdfRef() {
    if (!obj_) return;
    std::atomic<int64_t>& count = get()->borrow_count;
    count.store(count.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

bool is_sdf(PyObject* obj) {
    PyTypeObject* type = sdf_type_in_method();
    return Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type);
}

namespace {

SdfRef borrow_checked(PyObject* obj) {
    if (!is_sdf(obj)) throw_type_mismatch(obj, "Sdf");
    return SdfRef(obj);
}

/// A capacity guess from len(), capped so that a lying __len__ cannot ask
/// for a huge allocation; the vector grows as items arrive.
size_t length_hint(PyObject* obj) {
    const Py_ssize_t size = PyObject_Length(obj);
    if (size < 0) {
        PyErr_Clear();
        return 0;
    }
    return std::min<size_t>(static_cast<size_t>(size), size_t{1} << 16);
}

}  // namespace

SdfRef borrow_receiver(PyObject* obj) { return borrow_checked(obj); }

SdfRef borrow_sdf(PyObject* obj, const char* param) {
    return with_argument_name(param, [obj] { return borrow_checked(obj); });
}

std::vector<SdfRef> extract_sdf_list(PyObject* obj, const char* param) {
    return with_argument_name(param, [obj] {
        if (PyUnicode_Check(obj)) {
            PyErr_SetString(PyExc_TypeError, text::kStrIsNotASequence);
            throw PythonError{};
        }
        if (!PySequence_Check(obj)) throw_type_mismatch(obj, "Sequence");
        std::vector<SdfRef> items;
        items.reserve(length_hint(obj));
        PyRef iterator = PyRef::check(PyObject_GetIter(obj));
        while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
            items.push_back(borrow_checked(item.get()));
        }
        if (PyErr_Occurred()) throw PythonError{};
        return items;
    });
}

}  // namespace pysdf
