// Matching positional and keyword arguments to a method's parameters.
#pragma once

#include <array>
#include <cstddef>

#include "pysdf/python.hpp"

namespace pysdf {

constexpr size_t kMaxParams = 5;

/// The constant description of one method's parameters.
struct MethodSignature {
    const char* method;       // e.g. "plane"
    const char* class_name;   // "Sdf"
    std::array<const char*, kMaxParams> params;  // positional names, in order
    size_t count;             // how many of `params` are used
    size_t positional_only;   // leading parameters not accepted by keyword
    size_t required;          // leading parameters that must be supplied
};

/// One borrowed object per parameter (borrowed from the argument tuple or
/// keyword dictionary, which outlive the call).
using Slots = std::array<PyObject*, kMaxParams>;

/// Fills every slot, or throws PythonError with the binder's TypeError set.
Slots bind_arguments(const MethodSignature& sig, PyObject* args, PyObject* kwargs);

}  // namespace pysdf
