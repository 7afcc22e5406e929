// Translation of C++ failures into Python exceptions, and PanicException.
#include "module/guarded_call.hpp"

#include <exception>
#include <new>

#include "sdf/batch.hpp"
#include "sdf/query.hpp"
#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace pysdf {
namespace {

const char kPanicDoc[] =
    "The exception raised when the native code of an extension fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it normally propagates all the way up and ends the interpreter.";

/// PanicException, created on first use and kept for the process. NULL with
/// an exception set if it cannot be created.
PyObject* panic_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void set_panic(const std::string& message) {
    PyObject* type = panic_type();
    // If even the exception type cannot be made, its creation error (a
    // MemoryError, say) is what the caller sees.
    if (type) PyErr_SetString(type, message.c_str());
}

}  // namespace

std::string describe_pending_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
          owned_tb = PyRef::steal(traceback);
    auto utf8 = [](PyObject* text) -> std::string {
        const char* s = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
        return s ? s : "<unprintable>";
    };
    PyRef name = PyRef::steal(type ? PyObject_GetAttrString(type, "__qualname__") : nullptr);
    PyRef text = PyRef::steal(value ? PyObject_Str(value) : nullptr);
    std::string description = utf8(name.get()) + ": " + utf8(text.get());
    PyErr_Clear();
    return description;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
    } catch (const sdf::Interrupted&) {
        // A signal handler raised; its exception is already set.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const Panic& p) {
        set_panic(p.message);
    } catch (const sdf::ColumnsError&) {
        set_panic("ndarray: index out of bounds");
    } catch (const sdf::GridIndexError&) {
        set_panic("voxel grid index out of bounds");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown native failure");
    }
}

}  // namespace pysdf
