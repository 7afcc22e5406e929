// Exact Euclidean distance transform of a 16^3 occupancy chunk.
#include "sdf/voxel_sdf/voxel_grid.hpp"

#include <limits>

namespace sdf {

VoxelGrid* new_voxel_grid(uint64_t n, std::vector<float> samples) {
    VoxelGrid* grid = new VoxelGrid;
    grid->refs.store(1, std::memory_order_relaxed);
    grid->n = n;
    grid->samples = std::move(samples);
    return grid;
}

void grid_acquire(VoxelGrid* grid) noexcept {
    grid->refs.fetch_add(1, std::memory_order_relaxed);
}

void grid_release(VoxelGrid* grid) noexcept {
    if (grid->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete grid;
}

std::array<float, kChunk> edt_1d(const std::array<float, kChunk>& f) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    unsigned v[kChunk];   // roots of the parabolas in the lower envelope
    float z[kChunk + 1];  // boundaries between consecutive parabolas
    int k = 0;
    v[0] = 0;
    z[0] = -inf;
    z[1] = inf;
    for (unsigned q = 1; q < kChunk; ++q) {
        float s;
        for (;;) {
            const unsigned r = v[k];
            const float fq = static_cast<float>(q * q);
            const float fr = static_cast<float>(r * r);
            const float gap = static_cast<float>(q) - static_cast<float>(r);
            s = ((f[q] + fq) - (fr + f[r])) / (gap + gap);
            // A NaN s (both samples infinite) drops the parabola at v[k].
            if (s > z[k]) {
                ++k;
                break;
            }
            if (k == 0) {
                // s is NaN or -infinity: keep the first parabola and let the
                // new one replace everything after it.
                k = 1;
                break;
            }
            --k;
        }
        v[k] = q;
        z[k] = s;
        z[k + 1] = inf;
    }
    std::array<float, kChunk> out;
    k = 0;
    for (unsigned q = 0; q < kChunk; ++q) {
        while (static_cast<float>(q) > z[k + 1]) ++k;
        const float d = static_cast<float>(q) - static_cast<float>(v[k]);
        out[q] = d * d + f[v[k]];
    }
    return out;
}

namespace {

/// Runs edt_1d on every line along one axis; `step` is the index distance
/// between neighbours on that axis, `across_a` and `across_b` those of the
/// two other axes.
void transform_lines(std::vector<float>& g, int step, int across_a, int across_b) {
    for (int b = 0; b < kChunk; ++b) {
        for (int a = 0; a < kChunk; ++a) {
            const int base = a * across_a + b * across_b;
            std::array<float, kChunk> line;
            for (int i = 0; i < kChunk; ++i) line[i] = g[base + i * step];
            const std::array<float, kChunk> out = edt_1d(line);
            for (int i = 0; i < kChunk; ++i) g[base + i * step] = out[i];
        }
    }
}

}  // namespace

std::vector<float> build_voxel_grid(const uint8_t* occupancy) {
    std::vector<float> g(kChunkCells, std::numeric_limits<float>::infinity());
    for (int i = 0; i < kChunkCells; ++i) {
        if (occupancy[i] != 0) g[i] = 0.0f;
    }
    transform_lines(g, 1, kChunk, kChunk * kChunk);            // along x
    transform_lines(g, kChunk, 1, kChunk * kChunk);            // along y
    transform_lines(g, kChunk * kChunk, 1, kChunk);            // along z
    for (float& s : g) s = std::sqrt(s);
    return g;
}

}  // namespace sdf
