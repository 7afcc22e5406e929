// Static constructors: primitives, the voxel field and set combinations.
#include <cstring>
#include <vector>

#include "module/guarded_call.hpp"
#include "module/sdf_type.hpp"
#include "pysdf/messages.hpp"
#include "pysdf/methods/binder.hpp"
#include "pysdf/methods/borrow.hpp"
#include "pysdf/methods/convert.hpp"
#include "pysdf/methods/methods.hpp"
#include "pysdf/methods/numpy_api.hpp"
#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace pysdf {
namespace {

/// A primitive built from two 3-tuples.
template <class Build>
PyObject* two_vectors(const MethodSignature& sig, PyObject* args, PyObject* kwargs, Build build) {
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        const sdf::Vec3 first = extract_vec3(slots[0], sig.params[0]);
        const sdf::Vec3 second = extract_vec3(slots[1], sig.params[1]);
        return new_sdf(sdf::Tree(build(first, second)));
    });
}

/// Union or Intersect of deep copies of every operand, in sequence order.
PyObject* combine(const MethodSignature& sig, sdf::Kind kind, PyObject* args, PyObject* kwargs) {
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        std::vector<SdfRef> operands = extract_sdf_list(slots[0], sig.params[0]);
        sdf::Tree list(sdf::make_list(kind, operands.size()));
        for (const SdfRef& operand : operands) {
            sdf::list_push(list.node(), sdf::copy_tree(operand.tree()));
        }
        operands.clear();  // borrows end before the new object exists
        return new_sdf(std::move(list));
    });
}

/// The occupancy bytes of block [0:16, 0:16, 0:16], x (the last axis)
/// fastest, read through the strides.
std::vector<uint8_t> read_chunk(const ChunkView& view) {
    for (ptrdiff_t extent : view.shape) {
        if (extent < sdf::kChunk) throw Panic{text::kIndexOutOfBounds};
    }
    std::vector<uint8_t> cells(sdf::kChunkCells);
    uint8_t* next = cells.data();
    for (ptrdiff_t a = 0; a < sdf::kChunk; ++a) {
        for (ptrdiff_t b = 0; b < sdf::kChunk; ++b, next += sdf::kChunk) {
            const char* row = view.data + a * view.strides[0] + b * view.strides[1];
            if (view.strides[2] == 1) {
                std::memcpy(next, row, sdf::kChunk);
                continue;
            }
            for (ptrdiff_t c = 0; c < sdf::kChunk; ++c) {
                next[c] = static_cast<uint8_t>(row[c * view.strides[2]]);
            }
        }
    }
    return cells;
}

}  // namespace

PyObject* sdf_sphere(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kSphere);
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        const sdf::Vec3 center = extract_vec3(slots[0], sig.params[0]);
        const float radius = extract_f32(slots[1], sig.params[1]);
        return new_sdf(sdf::Tree(sdf::make_sphere(center, radius)));
    });
}

PyObject* sdf_plane(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kPlane);
    return two_vectors(sig, args, kwargs, [](sdf::Vec3 point, sdf::Vec3 normal) {
        return sdf::make_plane(point, sdf::normalized(normal));
    });
}

PyObject* sdf_segment(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kSegment);
    return two_vectors(sig, args, kwargs, sdf::make_segment);
}

PyObject* sdf_ray(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kRay);
    return two_vectors(sig, args, kwargs, [](sdf::Vec3 origin, sdf::Vec3 dir) {
        return sdf::make_ray(origin, sdf::normalized(dir));
    });
}

PyObject* sdf_voxel(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kVoxel);
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        const std::vector<uint8_t> cells = read_chunk(chunk_view(slots[0], sig.params[0]));
        sdf::VoxelGrid* grid =
            sdf::new_voxel_grid(sdf::kChunk, sdf::build_voxel_grid(cells.data()));
        return new_sdf(sdf::Tree(sdf::make_voxel(grid)));
    });
}

PyObject* sdf_union(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kUnion);
    return combine(sig, sdf::Kind::Union, args, kwargs);
}

PyObject* sdf_intersect(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kIntersect);
    return combine(sig, sdf::Kind::Intersect, args, kwargs);
}

PyObject* sdf_difference(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr MethodSignature sig = signature_of(kDifference);
    return guarded_call([&] {
        const Slots slots = bind_arguments(sig, args, kwargs);
        sdf::Tree copy_a, copy_b;
        {
            const SdfRef a = borrow_sdf(slots[0], sig.params[0]);
            const SdfRef b = borrow_sdf(slots[1], sig.params[1]);
            copy_a = sdf::Tree(sdf::copy_tree(a.tree()));
            copy_b = sdf::Tree(sdf::copy_tree(b.tree()));
        }
        return new_sdf(sdf::adopt(sdf::make_difference, copy_a, copy_b));
    });
}

}  // namespace pysdf
