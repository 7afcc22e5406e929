// Tuples of numbers, float scalars and unsigned counts.
#include "pysdf/methods/convert.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "pysdf/messages.hpp"

namespace pysdf {
namespace {

std::string type_qualname(PyObject* obj) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    const char* utf8 = name && PyUnicode_Check(name.get())
                           ? PyUnicode_AsUTF8AndSize(name.get(), nullptr)
                           : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return utf8;
}

/// The float value of `obj`, the interpreter's float conversion.
double as_double(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return value;
}

/// A tuple (or tuple subclass) of exactly N numbers, as 32-bit floats.
template <size_t N>
void extract_floats(PyObject* obj, const char* param, float (&out)[N]) {
    with_argument_name(param, [&] {
        if (!PyTuple_Check(obj)) throw_type_mismatch(obj, "tuple");
        const Py_ssize_t size = PyTuple_Size(obj);
        if (size != static_cast<Py_ssize_t>(N)) {
            const std::string text = "expected tuple of length " + std::to_string(N) +
                                     ", but got tuple of length " + std::to_string(size);
            PyErr_SetString(PyExc_ValueError, text.c_str());
            throw PythonError{};
        }
        double wide[N];
        for (size_t i = 0; i < N; ++i) wide[i] = as_double(PyTuple_GetItem(obj, i));
        for (size_t i = 0; i < N; ++i) out[i] = narrow_to_f32(wide[i]);
        return 0;
    });
}

}  // namespace

void throw_type_mismatch(PyObject* obj, const char* target) {
    const std::string text = obj == Py_None
                                 ? std::string("'None' is not an instance of '") + target + "'"
                                 : "'" + type_qualname(obj) + "' object is not an instance of '" +
                                       target + "'";
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw PythonError{};
}

void wrap_argument_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {  // subclasses keep their own text
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef original_type = PyRef::steal(type), original = PyRef::steal(value),
          original_tb = PyRef::steal(traceback);
    PyRef text = PyRef::steal(PyObject_Str(original.get()));
    if (!text) return;  // the failure of str() is what propagates
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    PyRef reworded = PyRef::steal(
        PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!reworded) return;
    // The new exception takes over the original's cause (usually none);
    // the original itself is dropped, not chained.
    PyException_SetCause(reworded.get(), PyException_GetCause(original.get()));
    PyErr_SetObject(PyExc_TypeError, reworded.get());
}

float narrow_to_f32(double value) {
    // Beyond the midpoint between FLT_MAX and 2^128, round-to-nearest gives
    // an infinity; converting such a double directly is undefined in C++.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (value >= kOverflow) return std::numeric_limits<float>::infinity();
    if (value <= -kOverflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

sdf::Vec3 extract_vec3(PyObject* obj, const char* param) {
    float v[3];
    extract_floats(obj, param, v);
    return {v[0], v[1], v[2]};
}

sdf::Quat extract_quat(PyObject* obj, const char* param) {
    float q[4];
    extract_floats(obj, param, q);
    return {q[0], q[1], q[2], q[3]};
}

float extract_f32(PyObject* obj, const char* param) {
    return with_argument_name(param, [obj] { return narrow_to_f32(as_double(obj)); });
}

uint32_t extract_u32(PyObject* obj, const char* param) {
    PyRef index;
    if (!PyLong_Check(obj)) {
        index = with_argument_name(param, [obj] { return PyRef::check(PyNumber_Index(obj)); });
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    if (value > std::numeric_limits<uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, text::kOutOfRangeIntegral);
        throw PythonError{};
    }
    return static_cast<uint32_t>(value);
}

}  // namespace pysdf
