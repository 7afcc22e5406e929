// The argument binder and its messages.
#include "pysdf/methods/binder.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "pysdf/pyref.hpp"

namespace pysdf {
namespace {

std::string display_name(const MethodSignature& sig) {
    std::string name = sig.class_name ? std::string(sig.class_name) + "." : std::string();
    return name + sig.method + "()";
}

[[noreturn]] void fail(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

/// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += std::string("'") + names[i] + "'";
    }
    return out;
}

[[noreturn]] void too_many_positional(const MethodSignature& sig, size_t given) {
    std::string count = sig.required < sig.count
                            ? "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count)
                            : std::to_string(sig.count);
    fail(display_name(sig) + " takes " + count + " positional arguments but " +
         std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

[[noreturn]] void unexpected_keyword(const MethodSignature& sig, PyObject* key) {
    // Formatted by Python: the key need not be encodable as UTF-8.
    PyRef message = PyRef::check(PyUnicode_FromFormat(
        "%s got an unexpected keyword argument '%S'", display_name(sig).c_str(), key));
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw PythonError{};
}

/// Index of the parameter named by `key`, or -1.
long find_parameter(const MethodSignature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (!utf8) {
        PyErr_Clear();  // not encodable: names no parameter
        return -1;
    }
    for (size_t i = 0; i < sig.count; ++i) {
        if (std::strlen(sig.params[i]) == static_cast<size_t>(size) &&
            std::memcmp(sig.params[i], utf8, size) == 0) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

void bind_keywords(const MethodSignature& sig, PyObject* kwargs, Slots& slots) {
    std::vector<const char*> positional_only;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        const long i = find_parameter(sig, key);
        if (i < 0) unexpected_keyword(sig, key);
        if (static_cast<size_t>(i) < sig.positional_only) {
            positional_only.push_back(sig.params[i]);
        } else if (slots[i]) {
            fail(display_name(sig) + " got multiple values for argument '" + sig.params[i] + "'");
        } else {
            slots[i] = value;
        }
    }
    if (!positional_only.empty()) {
        fail(display_name(sig) + " got some positional-only arguments passed as keyword arguments: " +
             quoted_list(positional_only));
    }
}

}  // namespace

Slots bind_arguments(const MethodSignature& sig, PyObject* args, PyObject* kwargs) {
    Slots slots{};
    const size_t given = static_cast<size_t>(PyTuple_Size(args));
    for (size_t i = 0; i < given && i < sig.count; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (given > sig.count) too_many_positional(sig, given);
    if (kwargs) bind_keywords(sig, kwargs, slots);
    if (given < sig.required) {
        std::vector<const char*> missing;
        for (size_t i = given; i < sig.required; ++i) {
            if (!slots[i]) missing.push_back(sig.params[i]);
        }
        if (!missing.empty()) {
            fail(display_name(sig) + " missing " + std::to_string(missing.size()) +
                 " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                 ": " + quoted_list(missing));
        }
    }
    return slots;
}

}  // namespace pysdf
