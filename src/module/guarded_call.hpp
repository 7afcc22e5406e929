// The wrapper around every entry point: C++ failures become Python
// exceptions here and nowhere else.
#pragma once

#include <string>

#include "pysdf/pyref.hpp"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace pysdf {

/// An internal failure; reaches Python as PanicException(message).
struct Panic {
    std::string message;
};

/// The unwind with which the C library ends a thread (pthread_exit, used by
/// the interpreter on a daemon thread at exit). It must pass through every
/// handler: swallowing it aborts the process. Only libstdc++ names it; where
/// it has no name, this type is never thrown.
#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};
#endif

/// "{type}: {message}" of the pending Python exception, which it clears.
std::string describe_pending_error();

/// Sets the Python exception for the C++ exception being handled. Must be
/// called from inside a catch block. Not noexcept: the Python calls it makes
/// can end the thread at interpreter exit.
void set_error_from_current_exception();

/// From a catch block: sets the exception, or ends the process if even that
/// fails ("uncaught panic at ffi boundary"). A thread's forced unwind passes.
void report_current_exception();

/// Runs `body` (returning PyRef) and returns its new reference, or NULL with
/// the failure set as the current Python exception.
template <class Body>
PyObject* guarded_call(Body&& body) {
    try {
        return body().release();
    } catch (ForcedUnwind&) {
        throw;
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
    } catch (ForcedUnwind&) {
        throw;
    } catch (...) {
        report_current_exception();
        return -1;
    }
}

}  // namespace pysdf
