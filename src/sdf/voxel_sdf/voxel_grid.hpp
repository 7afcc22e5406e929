// The sampled distance grid behind a Voxel node: its record, the exact
// Euclidean distance transform that fills it, and the trilinear sampler.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cmath>
#include <vector>

#include "sdf/cpu.hpp"
#include "sdf/vec.hpp"

namespace sdf {

constexpr int kChunk = 16;
constexpr int kChunkCells = kChunk * kChunk * kChunk;

/// Immutable after construction; shared by every Voxel node that refers to
/// it through an atomic reference count.
struct VoxelGrid {
    std::atomic<uint64_t> refs;
    uint64_t n;
    std::vector<float> samples;  // n^3 values, x fastest, then y, then z
};

/// A new grid holding one reference. Throws std::bad_alloc.
VoxelGrid* new_voxel_grid(uint64_t n, std::vector<float> samples);
void grid_acquire(VoxelGrid* grid) noexcept;
/// Drops one reference; the last one frees the grid.
void grid_release(VoxelGrid* grid) noexcept;

/// Squared distance transform of one line of 16 samples (lower envelope of
/// parabolas). `f` may hold +infinity; returns the 16 transformed values.
std::array<float, kChunk> edt_1d(const std::array<float, kChunk>& f);

/// Distances from every cell centre to the nearest occupied one, in cell
/// units; +infinity everywhere when no cell is occupied. `occupancy` holds
/// 4096 bytes with x fastest; a non-zero byte is an occupied cell.
std::vector<float> build_voxel_grid(const uint8_t* occupancy,
                                    KernelChoice kernel = KernelChoice::Best);

/// Thrown by the sampler on a grid that breaks its invariants (never for a
/// grid built by build_voxel_grid).
struct GridIndexError {};

/// Clamped trilinear sample of the grid at p, in grid coordinates.
SDF_INLINE float sample_trilinear(const VoxelGrid& grid, Vec3 p) {
    const int64_t n = static_cast<int64_t>(grid.n);
    // The upper clamp bound: n - 1.0001 rather than n - 1, so the sample
    // just below every upper face stays inside the grid.
    const float c = static_cast<float>(grid.n) + -1.0001f;
    if (!(c >= 0.0f)) throw GridIndexError{};
    auto clamp_coord = [c](float v) {
        // Comparisons written so that a NaN coordinate passes both.
        if (v < 0.0f) v = 0.0f;
        if (v > c) v = c;
        return v;
    };
    auto cell = [n](float v) {
        int64_t i = (v != v) ? 0 : static_cast<int64_t>(std::floor(v));
        return i < 0 ? int64_t{0} : (i > n - 1 ? n - 1 : i);
    };
    auto next = [n](int64_t i) { return i + 1 > n - 1 ? n - 1 : i + 1; };
    const float X = clamp_coord(p.x), Y = clamp_coord(p.y), Z = clamp_coord(p.z);
    const int64_t ix0 = cell(X), iy0 = cell(Y), iz0 = cell(Z);
    const int64_t ix1 = next(ix0), iy1 = next(iy0), iz1 = next(iz0);
    const float tx = X - static_cast<float>(ix0);
    const float ty = Y - static_cast<float>(iy0);
    const float tz = Z - static_cast<float>(iz0);
    const size_t count = grid.samples.size();
    auto g = [&](int64_t i, int64_t j, int64_t k) {
        size_t index = static_cast<size_t>(i + n * j + n * n * k);
        if (index >= count) throw GridIndexError{};
        return grid.samples[index];
    };
    const float e00 = g(ix0, iy0, iz0) * (1.0f - tx) + g(ix1, iy0, iz0) * tx;
    const float e10 = g(ix0, iy1, iz0) * (1.0f - tx) + g(ix1, iy1, iz0) * tx;
    const float e01 = g(ix0, iy0, iz1) * (1.0f - tx) + g(ix1, iy0, iz1) * tx;
    const float e11 = g(ix0, iy1, iz1) * (1.0f - tx) + g(ix1, iy1, iz1) * tx;
    const float f0 = e00 * (1.0f - ty) + e10 * ty;
    const float f1 = e01 * (1.0f - ty) + e11 * ty;
    return f0 * (1.0f - tz) + f1 * tz;
}

}  // namespace sdf
