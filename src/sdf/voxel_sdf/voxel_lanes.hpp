// The voxel leaf over many lanes at once in AVX2 registers: the same
// operations, in the same order, as sample_trilinear, eight lanes a time.
#pragma once

#include <cstddef>

#include "sdf/program.hpp"
#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace sdf {

/// A voxel leaf as the lane code reads it: its grid, its translation (null
/// when it has none) and how its value enters D.
struct VoxelLeafParams {
    const VoxelGrid* grid;
    const float* shift;
    Combine combine;
};

/// Fills d[i] with the voxel leaf `leaf` at lane i of (x, y, z), less the
/// leaf's translation when it has one, combined into d[i] as
/// `leaf.combine` says. The grid must be one chunk (is_chunk_grid).
using VoxelLanes = void (*)(const VoxelLeafParams& leaf, const float* x, const float* y,
                            const float* z, float* d, size_t n);

/// Can the vector leaf sample `grid`? (Every grid built from a chunk
/// can; the scalar sampler handles the rest, and reports broken grids.)
inline bool is_chunk_grid(const VoxelGrid& grid) {
    return grid.n == kChunk && grid.samples.size() == size_t{kChunkCells};
}

#ifdef SDF_HAVE_AVX2_KERNELS
/// The AVX2 build; run only where the processor has AVX2.
void voxel_lanes_avx2(const VoxelLeafParams& leaf, const float* x, const float* y, const float* z,
                      float* d, size_t n);
#endif

}  // namespace sdf
