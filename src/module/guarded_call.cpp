// Translation of C++ failures into Python exceptions, and PanicException.
#include "module/guarded_call.hpp"

#include <atomic>
#include <exception>
#include <new>

#include "pysdf/messages.hpp"
#include "sdf/batch.hpp"
#include "sdf/query.hpp"
#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace pysdf {
namespace {

/// PanicException, created on first use and kept for the process. NULL with
/// an exception set if it cannot be created. Creating it can run the garbage
/// collector, which can switch threads: the first type published wins.
PyObject* panic_type() {
    static std::atomic<PyObject*> published{nullptr};
    PyObject* type = published.load(std::memory_order_acquire);
    if (type) return type;
    PyObject* made = PyErr_NewExceptionWithDoc(text::kPanicName, text::kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (!made) return nullptr;
    if (published.compare_exchange_strong(type, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);
    return type;
}

/// Allocates nothing of its own, so it cannot fail while a failure is being
/// reported; if even the exception type cannot be made, its creation error
/// (a MemoryError, say) is what the caller sees.
void set_panic(const char* message) {
    if (PyObject* type = panic_type()) PyErr_SetString(type, message);
}

/// The UTF-8 text of `text` (a str or NULL), or "<unprintable>"; leaves no
/// exception set.
std::string utf8_or_placeholder(const PyRef& text) {
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (s) return s;
    PyErr_Clear();
    return "<unprintable>";
}

/// Is the exception being handled a forced unwind (or any other exception
/// that is not C++'s)? Such an exception has no C++ object, so the runtime
/// gives no exception_ptr for it. (A handler naming abi::__forced_unwind
/// would say the same, but binds a reference to an object that does not
/// exist, and only libstdc++ has that name.)
bool handling_forced_unwind() { return !std::current_exception(); }

}  // namespace

std::string describe_pending_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value),
          owned_tb = PyRef::steal(traceback);
    // Each lookup may fail; its error is cleared before the next Python call.
    PyRef name = PyRef::steal(type ? PyObject_GetAttrString(type, "__qualname__") : nullptr);
    if (!name) PyErr_Clear();
    const std::string name_text = utf8_or_placeholder(name);
    PyRef text = PyRef::steal(value ? PyObject_Str(value) : nullptr);
    if (!text) PyErr_Clear();
    return name_text + ": " + utf8_or_placeholder(text);
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, text::kNoExceptionSet);
        }
    } catch (const sdf::Interrupted&) {
        // A signal handler raised; its exception is already set.
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const Panic& p) {
        set_panic(p.message.c_str());
    } catch (const sdf::ColumnsError&) {
        set_panic(text::kIndexOutOfBounds);
    } catch (const sdf::GridIndexError&) {
        set_panic(text::kGridIndexOutOfBounds);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic(text::kUnknownFailure);
    }
}

void report_current_exception() {
    if (handling_forced_unwind()) throw;
    try {
        set_error_from_current_exception();
    } catch (...) {
        if (handling_forced_unwind()) throw;
        Py_FatalError(text::kUncaughtPanic);
    }
}

}  // namespace pysdf
