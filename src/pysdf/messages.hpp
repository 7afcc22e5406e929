// The fixed texts of the module, in one place: messages of internal
// failures (PanicException), of Python exceptions the module raises itself,
// and the names and doc it registers. Texts built around values (binder and
// conversion messages) stay with the code that fills them in.
#pragma once

namespace pysdf::text {

// Internal failures, raised as PanicException.
inline constexpr char kIndexOutOfBounds[] = "ndarray: index out of bounds";
inline constexpr char kGridIndexOutOfBounds[] = "voxel grid index out of bounds";
inline constexpr char kUnknownFailure[] = "unknown native failure";
inline constexpr char kTypeNotCreated[] = "failed to create type object for `Sdf`";
inline constexpr char kQueryResultNotCreated[] = "could not create the result of a query";
// Prefixes, followed by a description of the Python error behind them.
inline constexpr char kAllNotAppended[] = "could not append __name__ to __all__: ";
inline constexpr char kNumpyCapsule[] = "Failed to access NumPy array API capsule: ";
inline constexpr char kResultArrayNotCreated[] = "could not create the result array: ";

// The message with which the process ends if a failure cannot be reported.
inline constexpr char kUncaughtPanic[] = "uncaught panic at ffi boundary";

// Python exceptions raised by the module itself.
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr char kAlreadyBorrowed[] = "Already mutably borrowed";
inline constexpr char kStrIsNotASequence[] = "Can't extract `str` to `Vec`";
inline constexpr char kOutOfRangeIntegral[] = "out of range integral type conversion attempted";
inline constexpr char kPointsResized[] =
    "the points array (or an array it views) was resized while it was read";

// What the module registers with the interpreter.
inline constexpr char kModuleName[] = "tessaron";
inline constexpr char kTypeName[] = "builtins.Sdf";
inline constexpr char kClassName[] = "Sdf";
inline constexpr char kPanicName[] = "pyo3_runtime.PanicException";
inline constexpr char kPanicDoc[] =
    "The exception raised when the native code of an extension fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it normally propagates all the way up and ends the interpreter.";

}  // namespace pysdf::text
