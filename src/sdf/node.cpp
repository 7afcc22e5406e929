// Building, copying and releasing shape trees.
#include "sdf/node.hpp"

#include <cstring>
#include <new>

#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace sdf {
namespace {

/// A node that owns nothing: what a released root is left as.
SdfNode empty_node() {
    SdfNode n;
    n.kind = Kind::Union;
    n.list = {nullptr, 0, 0};
    return n;
}

/// One heap node holding `value`. Throws std::bad_alloc. Nodes are raw
/// storage (freed by free_node) because releasing reuses their storage.
SdfNode* new_node(const SdfNode& value) {
    return new (::operator new(sizeof(SdfNode))) SdfNode(value);
}

void free_node(void* storage) noexcept { ::operator delete(storage); }

/// The owning pointer of a single-child kind, or null for any other kind:
/// copying, releasing and owned_children all learn the single-child kinds
/// from here.
SdfNode** single_child_slot(SdfNode& n) {
    switch (n.kind) {
        case Kind::Dilate:
        case Kind::Erode: return &n.offset.child;
        case Kind::Scale: return &n.scale.child;
        case Kind::Translate: return &n.translate.child;
        case Kind::Rotate: return &n.rotate.child;
        case Kind::Dual: return &n.dual.child;
        default: return nullptr;
    }
}

}  // namespace

SdfNode make_sphere(Vec3 center, float radius) {
    SdfNode n;
    n.kind = Kind::Sphere;
    n.sphere = {center, radius};
    return n;
}

SdfNode make_plane(Vec3 point, Vec3 unit_normal) {
    SdfNode n;
    n.kind = Kind::Plane;
    n.plane = {point, unit_normal};
    return n;
}

SdfNode make_segment(Vec3 a, Vec3 b) {
    SdfNode n;
    n.kind = Kind::Segment;
    n.segment = {a, b};
    return n;
}

SdfNode make_ray(Vec3 origin, Vec3 unit_dir) {
    SdfNode n;
    n.kind = Kind::Ray;
    n.ray = {origin, unit_dir};
    return n;
}

SdfNode make_voxel(VoxelGrid* grid) {
    SdfNode n;
    n.kind = Kind::Voxel;
    n.voxel.grid = grid;
    return n;
}

SdfNode make_list(Kind kind, size_t capacity) {
    SdfNode n;
    n.kind = kind;
    n.list = {nullptr, 0, capacity};
    if (capacity > 0) {
        n.list.items = static_cast<SdfNode*>(::operator new(capacity * sizeof(SdfNode)));
    }
    return n;
}

void list_push(SdfNode& list, const SdfNode& child) {
    list.list.items[list.list.len++] = child;
}

SdfNode make_dilate(float r, const SdfNode& child) {
    SdfNode n;
    n.kind = Kind::Dilate;
    n.offset = {r, new_node(child)};
    return n;
}

SdfNode make_erode(float r, const SdfNode& child) {
    SdfNode n;
    n.kind = Kind::Erode;
    n.offset = {r, new_node(child)};
    return n;
}

SdfNode make_scale(float k, const SdfNode& child) {
    SdfNode n;
    n.kind = Kind::Scale;
    n.scale = {k, new_node(child)};
    return n;
}

SdfNode make_translate(Vec3 v, const SdfNode& child) {
    SdfNode n;
    n.kind = Kind::Translate;
    n.translate = {v, new_node(child)};
    return n;
}

SdfNode make_rotate(Quat unit_q, const SdfNode& child) {
    SdfNode n;
    n.kind = Kind::Rotate;
    n.rotate = {new_node(child), unit_q};
    return n;
}

SdfNode make_dual(const SdfNode& child) {
    SdfNode n;
    n.kind = Kind::Dual;
    n.dual = {new_node(child)};
    return n;
}

SdfNode make_difference(const SdfNode& a, const SdfNode& b) {
    SdfNode* pa = new_node(a);
    SdfNode* pb;
    try {
        pb = new_node(b);
    } catch (...) {
        free_node(pa);
        throw;
    }
    SdfNode n;
    n.kind = Kind::Difference;
    n.difference = {pa, pb};
    return n;
}

int owned_children(const SdfNode& node, SdfNode* out[2]) {
    if (node.kind == Kind::Difference) {
        out[0] = node.difference.a;
        out[1] = node.difference.b;
        return 2;
    }
    SdfNode copy = node;
    SdfNode** slot = single_child_slot(copy);
    if (!slot) return 0;
    out[0] = *slot;
    return 1;
}

namespace {

// Copying and releasing need no memory beyond the tree itself: copying keeps
// its list of subtrees still to copy in the placeholder nodes of the copy,
// and releasing keeps its list of work in the storage of nodes already taken
// apart. So a copy that runs out of memory can always be released, and
// releasing never fails, however wide or deep the tree.

/// A subtree still to be copied: its source, and the next placeholder.
struct Pending {
    const SdfNode* source;
    SdfNode* next;
};

/// A placeholder of a copy in progress. It is a leaf, so releasing a copy
/// that failed half way frees nothing through it.
SdfNode pending_node(const SdfNode* source, SdfNode* next) {
    static_assert(sizeof(Pending) <= sizeof(SdfNode::plane), "placeholder too small");
    SdfNode n = make_plane({}, {});
    const Pending pending{source, next};
    std::memcpy(&n.plane, &pending, sizeof pending);
    return n;
}

Pending pending_of(const SdfNode& placeholder) {
    Pending pending;
    std::memcpy(&pending, &placeholder.plane, sizeof pending);
    return pending;
}

/// Makes `dst` (a placeholder) a copy of `src` whose subtrees are new
/// placeholders queued in front of `queue`; returns the new queue. Throws
/// std::bad_alloc, leaving `dst` a placeholder.
SdfNode* copy_node(const SdfNode& src, SdfNode& dst, SdfNode* queue) {
    switch (src.kind) {
        case Kind::Voxel:
            grid_acquire(src.voxel.grid);
            dst = src;
            return queue;
        case Kind::Union:
        case Kind::Intersect: {
            SdfNode list = make_list(src.kind, src.list.len);
            for (size_t i = src.list.len; i-- > 0;) {
                list.list.items[i] = pending_node(&src.list.items[i], queue);
                queue = &list.list.items[i];
            }
            list.list.len = src.list.len;
            dst = list;
            return queue;
        }
        case Kind::Difference: {
            SdfNode* b = new_node(pending_node(src.difference.b, queue));
            SdfNode* a;
            try {
                a = new_node(pending_node(src.difference.a, b));
            } catch (...) {
                free_node(b);
                throw;
            }
            dst = src;
            dst.difference = {a, b};
            return a;
        }
        default: {
            SdfNode copy = src;
            if (SdfNode** slot = single_child_slot(copy)) {
                *slot = new_node(pending_node(*slot, queue));
                queue = *slot;
            }
            dst = copy;
            return queue;
        }
    }
}

/// Work left by a release, kept in storage that is to be freed anyway.
/// For a list: `base` is its storage, this frame sits in slot `at` (whose
/// child is already taken), and the children after it up to `end` remain.
/// For a difference (`end` == 0): `base` is its second operand, and this
/// frame sits in the freed first operand's node.
struct Frame {
    Frame* next;
    SdfNode* base;
    size_t at;
    size_t end;
};
static_assert(sizeof(Frame) <= sizeof(SdfNode) && alignof(Frame) <= alignof(SdfNode),
              "a release frame must fit in a node");

Frame* push_frame(void* storage, Frame* next, SdfNode* base, size_t at, size_t end) {
    return new (storage) Frame{next, base, at, end};
}

/// Frees what `node` owns directly. Returns true with `node` replaced by its
/// first subtree (the rest parked in `frames`), or false for a node with
/// nothing more below it.
bool descend(SdfNode& node, Frame*& frames) noexcept {
    switch (node.kind) {
        case Kind::Voxel:
            grid_release(node.voxel.grid);
            return false;
        case Kind::Union:
        case Kind::Intersect: {
            SdfNode* items = node.list.items;
            const size_t len = node.list.len;
            if (len == 0) {
                ::operator delete(items);  // a list may have room but no children
                return false;
            }
            node = items[0];
            frames = push_frame(&items[0], frames, items, 0, len);
            return true;
        }
        case Kind::Difference: {
            SdfNode* a = node.difference.a;
            SdfNode* b = node.difference.b;
            node = *a;
            frames = push_frame(a, frames, b, 0, 0);
            return true;
        }
        default: {
            SdfNode** slot = single_child_slot(node);
            if (!slot) return false;  // a primitive
            SdfNode* child = *slot;
            node = *child;
            free_node(child);
            return true;
        }
    }
}

/// The next subtree parked in `frames`, freeing storage that is done with;
/// false when no work is left.
bool resume(SdfNode& node, Frame*& frames) noexcept {
    while (frames) {
        Frame* frame = frames;
        Frame* const next = frame->next;
        SdfNode* const base = frame->base;
        const size_t at = frame->at + 1, end = frame->end;
        if (end == 0) {  // the second operand of a difference
            free_node(frame);
            node = *base;
            free_node(base);
            frames = next;
            return true;
        }
        if (at == end) {  // the last child of a list was taken
            ::operator delete(base);
            frames = next;
            continue;
        }
        node = base[at];
        frames = push_frame(&base[at], next, base, at, end);
        return true;
    }
    return false;
}

}  // namespace

SdfNode copy_tree(const SdfNode& source) {
    // The copy is a complete tree at every moment (placeholders are leaves),
    // so a failure releases it whole.
    SdfNode root = pending_node(&source, nullptr);
    try {
        for (SdfNode* next = &root; next;) {
            const Pending job = pending_of(*next);
            next = copy_node(*job.source, *next, job.next);
        }
    } catch (const std::bad_alloc&) {
        release_tree(root);
        throw;
    }
    return root;
}

void release_tree(SdfNode& root) noexcept {
    SdfNode node = root;
    root = empty_node();
    Frame* frames = nullptr;
    do {
        while (descend(node, frames)) {
        }
    } while (resume(node, frames));
}

}  // namespace sdf
