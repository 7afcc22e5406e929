// The Sdf class: its instance record, the type object and new instances.
#pragma once

#include <atomic>
#include <cstdint>

#include "pysdf/pyref.hpp"
#include "sdf/node.hpp"
#include "sdf/program.hpp"
#include "sdf/tree.hpp"

namespace pysdf {

/// One Sdf instance. `root` never changes after creation; `program` is the
/// tree flattened for evaluation, made on the first query.
struct SdfObject {
    PyObject_HEAD
    sdf::SdfNode root;
    std::atomic<int64_t> borrow_count;  // shared borrows held; -1: exclusive
    std::atomic<sdf::Program*> program;
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

/// The receiver's program, compiled on first use. Throws std::bad_alloc.
const sdf::Program& program_of(SdfObject* self);

}  // namespace pysdf
