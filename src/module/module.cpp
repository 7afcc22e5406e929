// The tessaron module: definition, exec step and the init function, in the
// order the interpreter meets them.
#include <string>

#include "module/guarded_call.hpp"
#include "module/sdf_type.hpp"
#include "pysdf/messages.hpp"
#include "pysdf/methods/convert.hpp"

namespace pysdf {
namespace {

/// The module's __all__ list, created when missing.
PyRef module_all(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = PyRef::check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
    }
    if (!PyList_Check(all.get())) throw_type_mismatch(all.get(), "list");
    return all;
}

// exec: add the Sdf class to the new module and to its __all__
int tessaron_exec(PyObject* module) {
    return guarded_status([module] {
        PyObject* type = reinterpret_cast<PyObject*>(sdf_type());
        if (!type) throw PythonError{};
        PyRef name = PyRef::check(PyUnicode_FromString(text::kClassName));
        PyRef all = module_all(module);
        if (PyList_Append(all.get(), name.get()) < 0) {
            throw Panic{text::kAllNotAppended + describe_pending_error()};
        }
        if (PyModule_AddObjectRef(module, text::kClassName, type) < 0) throw PythonError{};
    });
}

// The slot (and its value) by which a module tells an interpreter of 3.12 or
// newer that it cannot be shared between interpreters. The headers of the
// oldest supported interpreter lack both, and older interpreters reject
// unknown slots, so it is added only where the running interpreter knows it.
constexpr int kMultipleInterpretersSlot = 3;
void* const kMultipleInterpretersNotSupported = nullptr;

/// Is the running interpreter 3.12 or newer? Py_GetVersion() starts with
/// "major.minor.micro".
bool interpreter_knows_multiple_interpreters_slot() {
    int major = 0, minor = 0;
    const char* text = Py_GetVersion();
    while (*text >= '0' && *text <= '9') major = major * 10 + (*text++ - '0');
    if (*text++ != '.') return false;
    while (*text >= '0' && *text <= '9') minor = minor * 10 + (*text++ - '0');
    return major > 3 || (major == 3 && minor >= 12);
}

/// The module definition, made once. The Sdf type and PanicException are one
/// per process, shared by every interpreter that imports the module: safe
/// while those interpreters share one interpreter lock, so interpreters that
/// check (those with their own lock among them) refuse the import.
PyModuleDef& module_definition() {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(tessaron_exec)},
        {0, nullptr},
        {0, nullptr},
    };
    static PyModuleDef definition = [] {
        if (interpreter_knows_multiple_interpreters_slot()) {
            slots[1] = {kMultipleInterpretersSlot, kMultipleInterpretersNotSupported};
        }
        return PyModuleDef{
            PyModuleDef_HEAD_INIT, text::kModuleName, "", 0, nullptr, slots, nullptr, nullptr, nullptr,
        };
    }();
    return definition;
}

}  // namespace
}  // namespace pysdf

PyMODINIT_FUNC PyInit_tessaron(void) { return PyModuleDef_Init(&pysdf::module_definition()); }
