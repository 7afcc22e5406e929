// The Sdf class: its instance record, the type object and new instances.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "pysdf/pyref.hpp"
#include "sdf/node.hpp"
#include "sdf/program.hpp"

namespace pysdf {

/// One Sdf instance. `root` never changes after creation; `program` is the
/// tree flattened for evaluation, made on the first query.
struct SdfObject {
    PyObject_HEAD
    sdf::SdfNode root;
    std::atomic<int64_t> borrow_count;  // shared borrows held; -1: exclusive
    std::atomic<sdf::Program*> program;
};

/// Owns a shape tree until it is handed to an Sdf object or a parent node.
class Tree {
  public:
    Tree() = default;
    explicit Tree(const sdf::SdfNode& node) : node_(node), owned_(true) {}
    Tree(Tree&& other) noexcept : node_(other.node_), owned_(std::exchange(other.owned_, false)) {}
    Tree& operator=(Tree&& other) noexcept {
        Tree(std::move(other)).swap(*this);
        return *this;
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    ~Tree() {
        if (owned_) sdf::release_tree(node_);
    }
    const sdf::SdfNode& node() const { return node_; }
    sdf::SdfNode& node() { return node_; }
    /// Gives up ownership: the caller has moved the node elsewhere.
    sdf::SdfNode disown() {
        owned_ = false;
        return node_;
    }
    void swap(Tree& other) noexcept {
        std::swap(node_, other.node_);
        std::swap(owned_, other.owned_);
    }

  private:
    sdf::SdfNode node_{};
    bool owned_ = false;
};

/// `make(children...)` builds a node that takes over the children's nodes;
/// the children stay owned (and are released) if it throws.
template <class Make, class... Children>
Tree adopt(Make make, Children&... children) {
    Tree parent(make(children.node()...));
    (children.disown(), ...);
    return parent;
}

/// The Sdf type, created on first use; NULL with an exception set if the
/// type cannot be created.
PyTypeObject* sdf_type();

/// The Sdf type for a method body: a creation failure is reported through
/// the unraisable hook and thrown as Panic.
PyTypeObject* sdf_type_in_method();

/// A new Sdf object owning `tree`. On failure the tree is released and
/// PythonError (or Panic) is thrown.
PyRef new_sdf(Tree tree);

/// The receiver's program, compiled on first use. Throws std::bad_alloc.
const sdf::Program& program_of(SdfObject* self);

}  // namespace pysdf
