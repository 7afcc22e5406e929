// Exact Euclidean distance transform of a 16^3 occupancy chunk.
#include "sdf/voxel_sdf/voxel_grid.hpp"

#include <algorithm>
#include <limits>

#include "sdf/cpu.hpp"

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
    constexpr float inf = kInfinity;
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

// The passes work on squared distances as 16-bit integers. Every value they
// produce is an exact integer (at most 3 * 15^2 = 675), so they compute bit
// for bit what edt_1d computes in floats, line by line: the lower envelope
// of parabolas is the minimum over p of (q - p)^2 + f[p]. In integers that
// minimum is taken over a whole row of 16 samples per instruction.
//
// kFar stands for +infinity: a pass adds at most 15^2 = 225, so after three
// passes an "infinite" value stays at or above kFar and below 2^15.
using Sq = int16_t;
constexpr Sq kFar = 0x3FFF;

#if defined(__GNUC__) || defined(__clang__)
/// One row of the chunk: the 16 samples along x at some (y, z).
typedef Sq Row __attribute__((vector_size(kChunk * sizeof(Sq))));
#if defined(__clang__)
SDF_INLINE Row row_min(Row a, Row b) {
    const Row a_smaller = a < b;  // all ones where true
    return (a & a_smaller) | (b & ~a_smaller);
}
#else
SDF_INLINE Row row_min(Row a, Row b) { return a < b ? a : b; }
#endif
#else
struct Row {
    Sq v[kChunk];
    Sq& operator[](int i) { return v[i]; }
    Sq operator[](int i) const { return v[i]; }
    friend Row operator+(Row a, Row b) {
        for (int i = 0; i < kChunk; ++i) a.v[i] = static_cast<Sq>(a.v[i] + b.v[i]);
        return a;
    }
};
SDF_INLINE Row row_min(Row a, Row b) {
    for (int i = 0; i < kChunk; ++i) a.v[i] = a.v[i] < b.v[i] ? a.v[i] : b.v[i];
    return a;
}
#endif

constexpr int kRows = kChunk * kChunk;  // row (y, z) at index y + 16 z

/// Rows the passes add, made once.
struct Tables {
    Row offsets[kChunk];          // every lane (q - p)^2, by |q - p|
    Row squares[2][kChunk];       // [occupied][p], lane q: (q - p)^2 (+ kFar when empty)
    Tables() {
        for (int k = 0; k < kChunk; ++k) {
            for (int q = 0; q < kChunk; ++q) {
                offsets[k][q] = static_cast<Sq>(k * k);
                squares[1][k][q] = static_cast<Sq>((q - k) * (q - k));
                squares[0][k][q] = static_cast<Sq>(squares[1][k][q] + kFar);
            }
        }
    }
};
const Tables kTables;

/// Along x, within each row of occupancy bytes: lane q of the output is the
/// minimum over p of (q - p)^2 + (0 if cell p is occupied, else kFar).
SDF_INLINE void pass_x(const uint8_t* occupancy, Row* out) {
    for (int r = 0; r < kRows; ++r) {
        const uint8_t* cells = occupancy + r * kChunk;
        Row d = kTables.squares[cells[0] != 0][0];
        for (int p = 1; p < kChunk; ++p) d = row_min(d, kTables.squares[cells[p] != 0][p]);
        out[r] = d;
    }
}

/// Across rows: the line of sample q of each output row is made of the
/// rows `step` apart, starting at each of the 16 bases `base_step` apart.
SDF_INLINE void pass_rows(const Row* in, Row* out, int step, int base_step) {
    for (int b = 0; b < kChunk; ++b) {
        const Row* line = in + b * base_step;
        for (int q = 0; q < kChunk; ++q) {
            Row d = line[0] + kTables.offsets[q];
            for (int p = 1; p < kChunk; ++p) {
                d = row_min(d, line[p * step] + kTables.offsets[q > p ? q - p : p - q]);
            }
            out[b * base_step + q * step] = d;
        }
    }
}

/// Distances of every cell to the nearest occupied one: x pass, then y,
/// then z on squared distances, then the square root (+infinity: none).
SDF_INLINE void distances(const uint8_t* occupancy, float* grid) {
    Row a[kRows], b[kRows];
    pass_x(occupancy, a);
    pass_rows(a, b, 1, kChunk);  // along y: rows 1 apart within each z
    pass_rows(b, a, kChunk, 1);  // along z: rows 16 apart for each y
    for (int r = 0; r < kRows; ++r) {
        for (int x = 0; x < kChunk; ++x) {
            const Sq v = a[r][x];
            const float root = std::sqrt(static_cast<float>(v));
            grid[r * kChunk + x] = v >= kFar ? kInfinity : root;
        }
    }
}

void distances_baseline(const uint8_t* occupancy, float* grid) { distances(occupancy, grid); }

#ifdef SDF_HAVE_AVX2_KERNELS
SDF_TARGET_AVX2 void distances_avx2(const uint8_t* occupancy, float* grid) {
    distances(occupancy, grid);
}
#endif

}  // namespace

std::vector<float> build_voxel_grid(const uint8_t* occupancy, KernelChoice kernel) {
    std::vector<float> grid(kChunkCells);
#ifdef SDF_HAVE_AVX2_KERNELS
    if (use_avx2(kernel)) {
        distances_avx2(occupancy, grid.data());
        return grid;
    }
#endif
    (void)kernel;
    distances_baseline(occupancy, grid.data());
    return grid;
}

}  // namespace sdf
