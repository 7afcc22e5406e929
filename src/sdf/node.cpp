// Building, copying and releasing shape trees.
#include "sdf/node.hpp"

#include <new>
#include <utility>
#include <vector>

#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace sdf {
namespace {

/// A node that owns nothing: the placeholder a copy starts from, so that a
/// partially copied tree can always be released.
SdfNode empty_node() {
    SdfNode n;
    n.kind = Kind::Union;
    n.list = {nullptr, 0, 0};
    return n;
}

SdfNode* new_node(const SdfNode& value) {
    SdfNode* p = new SdfNode;  // throws std::bad_alloc
    *p = value;
    return p;
}

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
        delete pa;
        throw;
    }
    SdfNode n;
    n.kind = Kind::Difference;
    n.difference = {pa, pb};
    return n;
}

int owned_children(const SdfNode& node, SdfNode* out[2]) {
    switch (node.kind) {
        case Kind::Difference:
            out[0] = node.difference.a;
            out[1] = node.difference.b;
            return 2;
        case Kind::Dilate:
        case Kind::Erode: out[0] = node.offset.child; return 1;
        case Kind::Scale: out[0] = node.scale.child; return 1;
        case Kind::Translate: out[0] = node.translate.child; return 1;
        case Kind::Rotate: out[0] = node.rotate.child; return 1;
        case Kind::Dual: out[0] = node.dual.child; return 1;
        default: return 0;
    }
}

SdfNode copy_tree(const SdfNode& source) {
    // Each destination node is first made a valid shallow copy whose owned
    // subtrees are placeholders, then the subtrees are queued. At any moment
    // the destination is a complete tree, so a failure releases it whole.
    SdfNode root = empty_node();
    std::vector<std::pair<const SdfNode*, SdfNode*>> work;
    try {
        work.push_back({&source, &root});
        while (!work.empty()) {
            auto [src, dst] = work.back();
            work.pop_back();
            switch (src->kind) {
                case Kind::Voxel:
                    grid_acquire(src->voxel.grid);
                    *dst = *src;
                    break;
                case Kind::Union:
                case Kind::Intersect: {
                    SdfNode list = make_list(src->kind, src->list.len);
                    for (size_t i = 0; i < src->list.len; ++i) list_push(list, empty_node());
                    *dst = list;
                    for (size_t i = src->list.len; i-- > 0;) {
                        work.push_back({&src->list.items[i], &dst->list.items[i]});
                    }
                    break;
                }
                case Kind::Difference: {
                    *dst = *src;
                    dst->difference = {nullptr, nullptr};
                    dst->difference.a = new_node(empty_node());
                    dst->difference.b = new_node(empty_node());
                    work.push_back({src->difference.b, dst->difference.b});
                    work.push_back({src->difference.a, dst->difference.a});
                    break;
                }
                default: {
                    *dst = *src;
                    if (SdfNode** slot = single_child_slot(*dst)) {
                        const SdfNode* src_child = *slot;
                        *slot = nullptr;
                        *slot = new_node(empty_node());
                        work.push_back({src_child, *slot});
                    }
                    break;
                }
            }
        }
    } catch (...) {
        release_tree(root);
        throw;
    }
    return root;
}

void release_tree(SdfNode& root) noexcept {
    // Nodes are trivially copyable, so the work stack holds node values and
    // each node's storage is freed as soon as its value has been taken.
    std::vector<SdfNode> work;
    try {
        work.push_back(root);
        while (!work.empty()) {
            SdfNode node = work.back();
            work.pop_back();
            if (node.kind == Kind::Voxel) {
                grid_release(node.voxel.grid);
            } else if (node.kind == Kind::Union || node.kind == Kind::Intersect) {
                for (size_t i = node.list.len; i-- > 0;) work.push_back(node.list.items[i]);
                ::operator delete(node.list.items);
            } else {
                SdfNode* kids[2];
                int count = owned_children(node, kids);
                for (int i = count; i-- > 0;) {
                    if (kids[i] == nullptr) continue;  // placeholder of a failed copy
                    work.push_back(*kids[i]);
                    delete kids[i];
                }
            }
        }
    } catch (...) {
        // Out of memory for the work stack: what is left stays allocated;
        // leaking is the only safe choice here.
    }
    root = empty_node();
}

}  // namespace sdf
