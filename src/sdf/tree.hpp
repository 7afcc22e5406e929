// Ownership of a shape tree while it is being built: a Tree releases its
// nodes unless they have been handed on to an Sdf object or a parent node.
#pragma once

#include <utility>

#include "sdf/node.hpp"

namespace sdf {

/// Owns a shape tree until it is handed to an Sdf object or a parent node.
class Tree {
  public:
    Tree() = default;
    explicit Tree(const SdfNode& node) : node_(node), owned_(true) {}
    Tree(Tree&& other) noexcept : node_(other.node_), owned_(std::exchange(other.owned_, false)) {}
    Tree& operator=(Tree&& other) noexcept {
        Tree(std::move(other)).swap(*this);
        return *this;
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;
    ~Tree() {
        if (owned_) release_tree(node_);
    }
    const SdfNode& node() const { return node_; }
    SdfNode& node() { return node_; }
    /// Gives up ownership: the caller has moved the node elsewhere.
    SdfNode disown() {
        owned_ = false;
        return node_;
    }
    void swap(Tree& other) noexcept {
        std::swap(node_, other.node_);
        std::swap(owned_, other.owned_);
    }

  private:
    SdfNode node_{};
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

}  // namespace sdf
