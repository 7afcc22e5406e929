// The tessaron module: definition, exec step and the init function, in the
// order the interpreter meets them.
#include <string>

#include "module/guarded_call.hpp"
#include "module/sdf_type.hpp"
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
        PyRef name = PyRef::check(PyUnicode_FromString("Sdf"));
        PyRef all = module_all(module);
        if (PyList_Append(all.get(), name.get()) < 0) {
            throw Panic{"could not append __name__ to __all__: " + describe_pending_error()};
        }
        if (PyModule_AddObjectRef(module, "Sdf", type) < 0) throw PythonError{};
    });
}

PyModuleDef_Slot tessaron_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(tessaron_exec)},
    {0, nullptr},
};

PyModuleDef tessaron_module = {
    PyModuleDef_HEAD_INIT,
    "tessaron",
    "",
    0,
    nullptr,
    tessaron_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pysdf

PyMODINIT_FUNC PyInit_tessaron(void) { return PyModuleDef_Init(&pysdf::tessaron_module); }
