// The Sdf class: its instance record, the type object and new instances.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "pysdf/pyref.hpp"
#include "sdf/evaluate.hpp"
#include "sdf/node.hpp"
#include "sdf/program.hpp"
#include "sdf/tree.hpp"

namespace pysdf {

/// A tree flattened for evaluation, and its fused steps if they are kept.
struct Compiled {
    sdf::Program program;
    std::unique_ptr<const sdf::KeptSteps> steps;
};

/// One Sdf instance. `root` never changes after creation; `compiled` is
/// made on the first query and never changes after that.
struct SdfObject {
    PyObject_HEAD
    sdf::SdfNode root;
    std::atomic<int64_t> borrow_count;  // shared borrows held; -1: exclusive
    std::atomic<Compiled*> compiled;
};

/// The Sdf type, created on first use; NULL with an exception set if the
/// type cannot be created.
PyTypeObject* sdf_type();

/// The Sdf type for a method body: a creation failure is reported through
/// the unraisable hook and thrown as Panic.
PyTypeObject* sdf_type_in_method();

/// A new Sdf object owning `tree`. On failure the tree is released and
/// PythonError (or Panic) is thrown.
PyRef new_sdf(sdf::Tree tree);

/// The receiver's program and kept steps, compiled on first use. Throws
/// std::bad_alloc.
const Compiled& compiled_of(SdfObject* self);
inline const sdf::Program& program_of(SdfObject* self) { return compiled_of(self).program; }

}  // namespace pysdf
