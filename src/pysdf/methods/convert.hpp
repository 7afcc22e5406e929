// Conversion of Python arguments to core values. Every function either
// returns the value or throws PythonError with the exception set; none of
// them keeps a reference to its argument.
#pragma once

#include <cstdint>

#include "pysdf/pyref.hpp"
#include "sdf/vec.hpp"

namespace pysdf {

/// Sets TypeError "'{type}' object is not an instance of '{target}'" (or
/// "'None' is not an instance of '{target}'") and throws PythonError.
[[noreturn]] void throw_type_mismatch(PyObject* obj, const char* target);

/// Rewords a pending TypeError (exactly that type) as
/// "argument '{param}': {text}"; other exceptions stay as they are.
void wrap_argument_error(const char* param);

/// Runs `convert`, rewording a TypeError it raises with `param`.
template <class Convert>
auto with_argument_name(const char* param, Convert&& convert) {
    try {
        return convert();
    } catch (const PythonError&) {
        wrap_argument_error(param);
        throw;
    }
}

/// A 64-bit float rounded to the nearest 32-bit float (overflow gives an
/// infinity, NaN stays NaN).
float narrow_to_f32(double value);

sdf::Vec3 extract_vec3(PyObject* obj, const char* param);
sdf::Quat extract_quat(PyObject* obj, const char* param);
float extract_f32(PyObject* obj, const char* param);
uint32_t extract_u32(PyObject* obj, const char* param);

}  // namespace pysdf
