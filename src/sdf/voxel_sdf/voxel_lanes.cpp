// The voxel leaf in AVX2 registers. Each step below is the vector form of
// one step of sample_trilinear on a 16^3 grid, in the same order, so every
// lane gets the scalar sampler's bits.
#include "sdf/voxel_sdf/voxel_lanes.hpp"

#include <cstdint>
#include <cstring>

#include "sdf/primitives.hpp"

#ifdef SDF_HAVE_AVX2_KERNELS
#include <immintrin.h>

namespace sdf {
namespace {

#define SDF_AVX2_INLINE SDF_TARGET_AVX2 inline __attribute__((always_inline))

/// A coordinate clamped as the scalar sampler clamps it: below 0 to 0,
/// above the upper bound to it, a NaN (and -0) left as it is.
SDF_AVX2_INLINE __m256 clamp_coord(__m256 v) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256 upper = _mm256_set1_ps(static_cast<float>(kChunk) + -1.0001f);
    v = _mm256_blendv_ps(v, zero, _mm256_cmp_ps(v, zero, _CMP_LT_OQ));
    return _mm256_blendv_ps(v, upper, _mm256_cmp_ps(v, upper, _CMP_GT_OQ));
}

/// The cell of a clamped coordinate: its truncation (the floor, as it is
/// not negative), 0 for a NaN, whose conversion gives INT_MIN. The clamp
/// leaves at most 14.9999, so the next cell up is always within the grid.
SDF_AVX2_INLINE __m256i cell_of(__m256 v) {
    return _mm256_max_epi32(_mm256_cvttps_epi32(v), _mm256_setzero_si256());
}

SDF_AVX2_INLINE __m256 mix(__m256 a, __m256 wa, __m256 b, __m256 wb) {
    return _mm256_add_ps(_mm256_mul_ps(a, wa), _mm256_mul_ps(b, wb));
}

/// Sample `at` and the one after it, as one 8-byte element in the low half
/// (a load that asks for no alignment: the pair starts at any float).
SDF_AVX2_INLINE __m128d pair(const float* samples, int32_t at) {
    return _mm_castsi128_pd(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + at)));
}

SDF_AVX2_INLINE __m128d two_pairs(const float* samples, int32_t a, int32_t b) {
    return _mm_loadh_pd(pair(samples, a), reinterpret_cast<const double*>(samples + b));
}

/// The samples at flat indices at[0..7] + offset into `lo`, and their upper
/// neighbours along x into `hi`: each sample and the next one are read
/// together as one 8-byte element (plain loads beat gathers here).
SDF_AVX2_INLINE void pairs(const float* samples, const int32_t* at, int offset, __m256& lo,
                           __m256& hi) {
    const float* s = samples + offset;
    // Lanes 0 1 4 5 and then 2 3 6 7, a sample and its neighbour in each.
    const __m256 a = _mm256_castpd_ps(_mm256_insertf128_pd(
        _mm256_castpd128_pd256(two_pairs(s, at[0], at[1])), two_pairs(s, at[4], at[5]), 1));
    const __m256 b = _mm256_castpd_ps(_mm256_insertf128_pd(
        _mm256_castpd128_pd256(two_pairs(s, at[2], at[3])), two_pairs(s, at[6], at[7]), 1));
    // Within each 128-bit half: a's two even (odd) floats, then b's.
    lo = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    hi = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}

/// Eight samples at eight points (in grid coordinates).
SDF_AVX2_INLINE __m256 sample8(const float* samples, __m256 px, __m256 py, __m256 pz) {
    const __m256 X = clamp_coord(px), Y = clamp_coord(py), Z = clamp_coord(pz);
    const __m256i ix = cell_of(X), iy = cell_of(Y), iz = cell_of(Z);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 tx = _mm256_sub_ps(X, _mm256_cvtepi32_ps(ix));
    const __m256 ty = _mm256_sub_ps(Y, _mm256_cvtepi32_ps(iy));
    const __m256 tz = _mm256_sub_ps(Z, _mm256_cvtepi32_ps(iz));
    const __m256 ux = _mm256_sub_ps(one, tx);
    const __m256 uy = _mm256_sub_ps(one, ty);
    const __m256 uz = _mm256_sub_ps(one, tz);
    // Flat index of the lower corner; the upper neighbours are +1 (x),
    // +16 (y) and +256 (z) away.
    const __m256i i000 = _mm256_add_epi32(
        ix, _mm256_add_epi32(_mm256_slli_epi32(iy, 4), _mm256_slli_epi32(iz, 8)));
    alignas(32) int32_t at[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), i000);
    constexpr int dy = kChunk, dz = kChunk * kChunk;
    __m256 g000, g100, g010, g110, g001, g101, g011, g111;
    pairs(samples, at, 0, g000, g100);
    pairs(samples, at, dy, g010, g110);
    pairs(samples, at, dz, g001, g101);
    pairs(samples, at, dy + dz, g011, g111);
    const __m256 e00 = mix(g000, ux, g100, tx);
    const __m256 e10 = mix(g010, ux, g110, tx);
    const __m256 e01 = mix(g001, ux, g101, tx);
    const __m256 e11 = mix(g011, ux, g111, tx);
    const __m256 f0 = mix(e00, uy, e10, ty);
    const __m256 f1 = mix(e01, uy, e11, ty);
    return mix(f0, uz, f1, tz);
}

/// Lanes `at` .. `at + 7` of one coordinate, less `shift`; past `n` the
/// lanes are zero.
SDF_AVX2_INLINE __m256 coord8(const float* v, size_t at, size_t n, __m256 shift) {
    __m256 c;
    if (at + 8 <= n) {
        c = _mm256_loadu_ps(v + at);
    } else {
        float tail[8] = {};
        std::memcpy(tail, v + at, (n - at) * sizeof(float));
        c = _mm256_loadu_ps(tail);
    }
    return _mm256_sub_ps(c, shift);
}

/// combine_distance on eight lanes: the same selections (no arithmetic
/// but the sign flip of the difference), so the same bits, NaNs included.
template <Combine How>
SDF_AVX2_INLINE __m256 combine8(__m256 d, __m256 v) {
    if (How == Combine::Union) return _mm256_blendv_ps(d, v, _mm256_cmp_ps(v, d, _CMP_LT_OQ));
    if (How == Combine::Intersect) return _mm256_blendv_ps(d, v, _mm256_cmp_ps(v, d, _CMP_GT_OQ));
    const __m256 nb = _mm256_xor_ps(v, _mm256_set1_ps(-0.0f));
    const __m256 r = _mm256_blendv_ps(d, nb, _mm256_cmp_ps(nb, d, _CMP_GT_OQ));
    return _mm256_blendv_ps(r, nb, _mm256_cmp_ps(d, d, _CMP_UNORD_Q));
}

template <Combine How>
SDF_TARGET_AVX2 void voxel_loop(const VoxelLeafParams& leaf, const float* x, const float* y,
                                const float* z, float* d, size_t n) {
    const float* samples = leaf.grid->samples.data();
    // Without a translation, subtracting +0 keeps every coordinate's bits
    // (a -0 included: -0 - +0 is -0) and every NaN's.
    const Vec3 s = leaf.shift ? vec_at(leaf.shift) : Vec3{0.0f, 0.0f, 0.0f};
    const __m256 sx = _mm256_set1_ps(s.x), sy = _mm256_set1_ps(s.y), sz = _mm256_set1_ps(s.z);
    for (size_t at = 0; at < n; at += 8) {
        const __m256 sampled = sample8(samples, coord8(x, at, n, sx), coord8(y, at, n, sy),
                                       coord8(z, at, n, sz));
        const size_t lanes = n - at < 8 ? n - at : 8;
        if (lanes == 8) {  // every block's case: blocks are whole vectors
            __m256 out = sampled;
            if constexpr (How != Combine::Assign) {
                out = combine8<How>(_mm256_loadu_ps(d + at), sampled);
            }
            _mm256_storeu_ps(d + at, out);
            continue;
        }
        alignas(32) float v[8];
        _mm256_store_ps(v, sampled);
        for (size_t i = 0; i < lanes; ++i) {
            d[at + i] = How == Combine::Assign ? v[i] : combine_distance(How, d[at + i], v[i]);
        }
    }
}

}  // namespace

void voxel_lanes_avx2(const VoxelLeafParams& leaf, const float* x, const float* y, const float* z,
                      float* d, size_t n) {
    switch (leaf.combine) {
        case Combine::Assign: return voxel_loop<Combine::Assign>(leaf, x, y, z, d, n);
        case Combine::Union: return voxel_loop<Combine::Union>(leaf, x, y, z, d, n);
        case Combine::Intersect: return voxel_loop<Combine::Intersect>(leaf, x, y, z, d, n);
        case Combine::Difference: return voxel_loop<Combine::Difference>(leaf, x, y, z, d, n);
    }
}

}  // namespace sdf

#endif
