// The shape tree: one fixed-size tagged record per node.
//
// Copying and releasing walk the tree iteratively, keeping their work inside
// the tree's own nodes: a tree of any depth or width is handled without deep
// recursion on the machine stack and without memory beyond its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdf/vec.hpp"

namespace sdf {

struct VoxelGrid;

enum class Kind : uint32_t {
    Sphere, Plane, Segment, Ray, Voxel,
    Union, Intersect, Difference,
    Dilate, Erode, Scale, Translate, Rotate, Dual,
};

struct SdfNode;

/// Children of Union / Intersect: the nodes themselves, stored contiguously.
struct NodeList {
    SdfNode* items;  // null when empty
    size_t len;
    size_t cap;
};

/// One node. A value type managed by copy_tree / release_tree: it is
/// trivially copyable, so moving a tree is copying its root record.
struct SdfNode {
    Kind kind;
    union {
        struct { Vec3 center; float radius; } sphere;
        struct { Vec3 point; Vec3 normal; } plane;
        struct { Vec3 a; Vec3 b; } segment;
        struct { Vec3 origin; Vec3 dir; } ray;
        struct { VoxelGrid* grid; } voxel;
        NodeList list;                                   // Union, Intersect
        struct { SdfNode* a; SdfNode* b; } difference;
        struct { float r; SdfNode* child; } offset;      // Dilate, Erode
        struct { float k; SdfNode* child; } scale;
        struct { Vec3 v; SdfNode* child; } translate;
        struct { SdfNode* child; Quat q; } rotate;
        struct { SdfNode* child; } dual;
    };
};

SdfNode make_sphere(Vec3 center, float radius);
SdfNode make_plane(Vec3 point, Vec3 unit_normal);
SdfNode make_segment(Vec3 a, Vec3 b);
SdfNode make_ray(Vec3 origin, Vec3 unit_dir);
/// Takes over one reference of `grid`.
SdfNode make_voxel(VoxelGrid* grid);
/// An empty Union or Intersect whose list has room for `capacity` children.
/// Throws std::bad_alloc; nothing is allocated then.
SdfNode make_list(Kind kind, size_t capacity);
/// Appends `child` (moved in) to a list made with room for it.
void list_push(SdfNode& list, const SdfNode& child);
/// Wraps `child` (moved into a new heap node) in a single-child kind.
/// Throws std::bad_alloc; `child` is still the caller's then.
SdfNode make_dilate(float r, const SdfNode& child);
SdfNode make_erode(float r, const SdfNode& child);
SdfNode make_scale(float k, const SdfNode& child);
SdfNode make_translate(Vec3 v, const SdfNode& child);
SdfNode make_rotate(Quat unit_q, const SdfNode& child);
SdfNode make_dual(const SdfNode& child);
/// Moves both operands into new heap nodes. Throws std::bad_alloc; the
/// operands are still the caller's then.
SdfNode make_difference(const SdfNode& a, const SdfNode& b);

/// Deep copy: every node duplicated, voxel grids shared by reference count.
/// Throws std::bad_alloc, leaving nothing allocated.
SdfNode copy_tree(const SdfNode& source);

/// Releases everything the tree owns. Allocates nothing and never fails.
void release_tree(SdfNode& root) noexcept;

/// Pointers to the owned single subtrees of a node, in evaluation order;
/// returns how many (0, 1 or 2). Lists are reached through node.list.
int owned_children(const SdfNode& node, SdfNode* out[2]);

}  // namespace sdf
