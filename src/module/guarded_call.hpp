// The wrapper around every entry point: C++ failures become Python
// exceptions here and nowhere else.
#pragma once

#include <string>

#include "pysdf/pyref.hpp"
#include "sdf/float_env.hpp"

namespace pysdf {

/// An internal failure; reaches Python as PanicException(message).
struct Panic {
    std::string message;
};

/// "{type}: {message}" of the pending Python exception, which it clears.
std::string describe_pending_error();

/// Sets the Python exception for the C++ exception being handled. Must be
/// called from inside a catch block. Not noexcept: the Python calls it makes
/// can end the thread at interpreter exit.
void set_error_from_current_exception();

/// From a catch-all handler: sets the exception, or ends the process if even
/// that fails ("uncaught panic at ffi boundary"). The unwind by which the C
/// library ends a thread (pthread_exit, used by the interpreter on daemon
/// threads at exit) is rethrown instead: swallowing it aborts the process.
void report_current_exception();

/// Runs `body` (returning PyRef) and returns its new reference, or NULL with
/// the failure set as the current Python exception.
template <class Body>
PyObject* guarded_call(Body&& body) {
    // The whole call computes in the core's float mode, the conversions of
    // its arguments included (they round too); the caller's mode is back on
    // every way out.
    const sdf::FloatEnvGuard float_env;
    try {
        return body().release();
    } catch (...) {
        report_current_exception();
        return nullptr;
    }
}

/// The same for the module's exec step: 0 on success, -1 on failure.
template <class Body>
int guarded_status(Body&& body) {
    try {
        body();
        return 0;
    } catch (...) {
        report_current_exception();
        return -1;
    }
}

}  // namespace pysdf
