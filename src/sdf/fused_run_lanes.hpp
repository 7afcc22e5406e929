// Running a fused run (fused_runs.hpp): one vector of lanes at a time
// through all of the run's steps, the point and the distances in vector
// registers. Each formula here is its one-lane version in primitives.hpp
// over a vector, operation for operation in the same order, and the
// selects are the same comparisons, so that every lane gets the bits the
// one-lane code gives.
//
// Included by block_kernel.hpp inside the namespace SDF_BLOCK_NS of the
// AVX-512 build only: there a vector is sixteen lanes, and the parameters
// broadcast from memory into the instructions that use them (or, in a row
// run, come as whole vectors, WideStep in row_runs.hpp). (Measured with
// eight lanes in the AVX2 build, the steps' own work - a parameter broadcast
// per use, a jump per step - costs more than the passes over the block.)
#include <cstddef>
#include <cstring>

#include "sdf/block_lanes.hpp"
#include "sdf/fused_runs.hpp"
#include "sdf/row_runs.hpp"

namespace sdf {
namespace SDF_BLOCK_NS {

using namespace ::sdf::block;

/// Lanes of one vector of a run: one AVX-512 register.
constexpr size_t kRunLanes = 16;
static_assert(kVectorLanes % kRunLanes == 0, "blocks are whole vectors of a run");

/// One vector of lanes (GCC and Clang vector extensions: each operator is
/// the float operation on every lane).
typedef float RunVector __attribute__((vector_size(kRunLanes * sizeof(float))));

SDF_INLINE RunVector load_lanes(const float* at) {
    RunVector v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

SDF_INLINE void store_lanes(float* at, RunVector v) { std::memcpy(at, &v, sizeof v); }

// A step's parameters come as floats (RunStep: each use broadcasts one) or
// as vectors (WideStep, row_runs.hpp: each use reads one); the formulas
// below take either, as `const float*` or as SplatParams.
static_assert(sizeof(SplatParam) == sizeof(RunVector), "a splat parameter is one vector");

struct SplatParams {
    const SplatParam* at;
    SDF_INLINE RunVector operator[](size_t i) const { return load_lanes(at[i].lane); }
    SDF_INLINE SplatParams operator+(size_t n) const { return {at + n}; }
};

SDF_INLINE const float* params_of(const RunStep& step) { return step.f; }
SDF_INLINE SplatParams params_of(const WideStep& step) { return {step.f}; }
SDF_INLINE float k_of(const RunStep& step) { return step.k; }
SDF_INLINE RunVector k_of(const WideStep& step) { return load_lanes(step.k.lane); }

// The selects below are the comparisons of the one-lane code; compilers
// make them one min or max instruction each (whose NaN and signed-zero
// rules are exactly those selects), and the square root one instruction.

/// a < b ? a : b, lane by lane (the union's select).
SDF_INLINE RunVector less_of(RunVector a, RunVector b) { return a < b ? a : b; }

/// a > b ? a : b, lane by lane (the intersection's select).
SDF_INLINE RunVector greater_of(RunVector a, RunVector b) { return a > b ? a : b; }

SDF_INLINE RunVector sqrt_lanes(RunVector v) {
    for (size_t j = 0; j < kRunLanes; ++j) v[j] = __builtin_sqrtf(v[j]);
    return v;
}

/// A point in three vectors of lanes.
struct RunPoint {
    RunVector x, y, z;
};

/// Sixteen packed rows of three floats (48 from `rows`) as a point of
/// sixteen lanes. Each coordinate is two two-source permutes: the first
/// takes the rows that lie in the first 32 floats, the second the rest
/// from the last 16.
SDF_INLINE RunPoint row_point(const float* rows) {
    const __m512 a = _mm512_loadu_ps(rows);
    const __m512 b = _mm512_loadu_ps(rows + 16);
    const __m512 c = _mm512_loadu_ps(rows + 32);
    // Coordinate k of row j is float 3j + k: in a or b while below 32
    // (index 3j + k), else in c (index 16 + 3j + k - 32 of the second).
    const __m512i xs = _mm512_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 0, 0, 0, 0, 0);
    const __m512i xc = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 17, 20, 23, 26, 29);
    const __m512i ys = _mm512_setr_epi32(1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 0, 0, 0, 0, 0);
    const __m512i yc = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 18, 21, 24, 27, 30);
    const __m512i zs = _mm512_setr_epi32(2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 0, 0, 0, 0, 0, 0);
    const __m512i zc = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 19, 22, 25, 28, 31);
    RunPoint p;
    const __m512 x = _mm512_permutex2var_ps(_mm512_permutex2var_ps(a, xs, b), xc, c);
    const __m512 y = _mm512_permutex2var_ps(_mm512_permutex2var_ps(a, ys, b), yc, c);
    const __m512 z = _mm512_permutex2var_ps(_mm512_permutex2var_ps(a, zs, b), zc, c);
    std::memcpy(&p.x, &x, sizeof p.x);
    std::memcpy(&p.y, &y, sizeof p.y);
    std::memcpy(&p.z, &z, sizeof p.z);
    return p;
}

template <class F>
SDF_INLINE RunPoint minus(RunPoint p, F f) {
    return {p.x - f[0], p.y - f[1], p.z - f[2]};
}

/// minus() of the coordinates in Mask only (bit i: coordinate i), the
/// others being zero (drop_zero_offsets).
template <unsigned Mask, class F>
SDF_INLINE RunPoint minus_some(RunPoint p, F f) {
    if constexpr ((Mask & 1) != 0) p.x = p.x - f[0];
    if constexpr ((Mask & 2) != 0) p.y = p.y - f[1];
    if constexpr ((Mask & 4) != 0) p.z = p.z - f[2];
    return p;
}

SDF_INLINE RunVector dot_lanes(RunPoint a, RunPoint b) {
    return (a.x * b.x + a.y * b.y) + a.z * b.z;
}

template <class F>
SDF_INLINE RunVector dot_lanes(RunPoint a, F b) {
    return (a.x * b[0] + a.y * b[1]) + a.z * b[2];
}

SDF_INLINE RunVector length_lanes(RunPoint v) { return sqrt_lanes(dot_lanes(v, v)); }

// --- the formulas (primitives.hpp), over vectors -------------------------------

// At the origin, the leaf's own offset is zero and left out (fused_runs.hpp).

template <bool AtOrigin, class F>
SDF_INLINE RunVector sphere_lanes(F f, RunPoint p) {
    return length_lanes(AtOrigin ? p : minus(p, f)) - f[3];
}

template <bool AtOrigin, class F>
SDF_INLINE RunVector plane_lanes(F f, RunPoint p) {
    return dot_lanes(AtOrigin ? p : minus(p, f), f + 3);
}

/// The clamp bounds 0 and 1 of the segment and ray, in every lane, made
/// opaque once per run (see opaque()).
struct RunBounds {
    RunVector zero, one;
};

SDF_INLINE RunBounds run_bounds() {
    const ClampBounds b = clamp_bounds();
    RunBounds r;
    for (size_t j = 0; j < kRunLanes; ++j) {
        r.zero[j] = b.zero;
        r.one[j] = b.one;
    }
    __asm__("" : "+x"(r.zero), "+x"(r.one));
    return r;
}

/// The segment; Exact: f[6] holds the reciprocal of e.e (exact_reciprocal).
/// AtOrigin: its first end is +0, neither subtracted nor added back.
template <bool Exact, bool AtOrigin, class F>
SDF_INLINE RunVector segment_lanes(F f, RunPoint p, const RunBounds& b) {
    const RunVector along = dot_lanes(AtOrigin ? p : minus(p, f), f + 3);
    RunVector h = Exact ? along * f[6] : along / f[6];
    h = greater_of(b.zero, h);  // zero > h ? zero : h
    h = less_of(b.one, h);      // one < h ? one : h
    RunPoint c{f[3] * h, f[4] * h, f[5] * h};
    if constexpr (!AtOrigin) c = {c.x + f[0], c.y + f[1], c.z + f[2]};
    return length_lanes({p.x - c.x, p.y - c.y, p.z - c.z});
}

template <class F>
SDF_INLINE RunVector ray_lanes(F f, RunPoint p, const RunBounds& b) {
    RunVector t = dot_lanes(minus(p, f), f + 3);
    t = greater_of(t, b.zero);  // t > zero ? t : zero
    const RunPoint c{f[3] * t + f[0], f[4] * t + f[1], f[5] * t + f[2]};
    return length_lanes({p.x - c.x, p.y - c.y, p.z - c.z});
}

template <class F>
SDF_INLINE RunPoint scale_lanes(F f, RunPoint p) {
    const auto k = f[0];
    return {p.x / k, p.y / k, p.z / k};
}

/// The scale with f[0] the reciprocal of its factor (exact_reciprocal).
template <class F>
SDF_INLINE RunPoint scale_exact_lanes(F f, RunPoint p) {
    const auto inverse = f[0];
    return {p.x * inverse, p.y * inverse, p.z * inverse};
}

template <class F>
SDF_INLINE RunPoint rotate_lanes(F f, RunPoint p) {
    const auto ux = f[0], uy = f[1], uz = f[2], s = f[3], w2 = f[4];
    const RunVector d = (ux * p.x + uy * p.y) + uz * p.z;  // dot(u, p)
    const RunVector d2 = d + d;
    const RunPoint c{uy * p.z - p.y * uz, uz * p.x - p.z * ux, ux * p.y - p.x * uy};
    return {w2 * c.x + (d2 * ux + s * p.x), w2 * c.y + (d2 * uy + s * p.y),
            w2 * c.z + (d2 * uz + s * p.z)};
}

/// difference_value(a, b) lane by lane: -b unless it is smaller than a
/// non-NaN a.
SDF_INLINE RunVector difference_lanes(RunVector a, RunVector b) {
    const RunVector nb = -b;
    const RunVector kept = greater_of(nb, a);  // nb > a ? nb : a
    return a != a ? nb : kept;
}

/// combine_distance(how, d, v) lane by lane.
SDF_INLINE RunVector combine_lanes(Combine how, RunVector d, RunVector v) {
    switch (how) {
        case Combine::Union: return less_of(v, d);
        case Combine::Intersect: return greater_of(v, d);
        case Combine::Difference: return difference_lanes(d, v);
        default: return v;
    }
}

// --- the steps ------------------------------------------------------------------

/// What a run holds in registers for one vector: its point, its shared
/// point, D, and the distance a PushD saved.
struct RunRegisters {
    RunPoint q, shared;
    RunVector d, saved;
};

template <StepSource From, class Step>
SDF_INLINE RunPoint step_point(const Step& step, const RunRegisters& r, size_t i) {
    if constexpr (From == StepSource::Registers) return r.q;
    if constexpr (From == StepSource::Shared) return r.shared;
    return {load_lanes(step.x + i), load_lanes(step.y + i), load_lanes(step.z + i)};
}

template <unsigned Kind, class Step>
SDF_INLINE void transform_step_lanes(const Step& step, RunRegisters& r, size_t i) {
    constexpr unsigned t = (Kind - kTransformSteps) / kSources;
    const RunPoint p = step_point<source_of_kind(Kind)>(step, r, i);
    constexpr unsigned some = static_cast<unsigned>(StepTransform::TranslateSome);
    if constexpr (t >= some) {
        r.q = minus_some<t - some>(p, params_of(step));
    } else if constexpr (t == static_cast<unsigned>(StepTransform::Translate)) {
        r.q = minus(p, params_of(step));
    } else if constexpr (t == static_cast<unsigned>(StepTransform::Scale)) {
        r.q = scale_lanes(params_of(step), p);
    } else if constexpr (t == static_cast<unsigned>(StepTransform::ScaleExact)) {
        r.q = scale_exact_lanes(params_of(step), p);
    } else {
        r.q = rotate_lanes(params_of(step), p);
    }
}

template <unsigned Kind, class Step>
SDF_INLINE void leaf_step_lanes(const Step& step, RunRegisters& r, size_t i,
                                const RunBounds& bounds) {
    constexpr unsigned n = Kind - kLeafSteps;
    constexpr unsigned fold = n % kFolds;
    constexpr bool shifted = (n / kFolds / kSources) % 2 != 0;
    constexpr auto kind = static_cast<StepLeaf>(n / kFolds / kSources / 2);
    // A leaf at the origin only ever reads the registers, unshifted: the
    // other kinds of it have no code.
    constexpr unsigned first_origin = kLeaves - kLeavesAtOrigin;
    constexpr bool origin = static_cast<unsigned>(kind) >= first_origin;
    if constexpr (origin && (shifted || source_of_kind(Kind) != StepSource::Registers)) return;
    constexpr auto origin_leaf = [] {
        switch (static_cast<unsigned>(kind) - first_origin) {
            case 0: return StepLeaf::Sphere;
            case 1: return StepLeaf::Plane;
            case 2: return StepLeaf::Segment;
            default: return StepLeaf::SegmentExact;
        }
    };
    constexpr StepLeaf leaf = origin ? origin_leaf() : kind;
    RunPoint p = step_point<source_of_kind(Kind)>(step, r, i);
    constexpr bool segment = leaf == StepLeaf::Segment || leaf == StepLeaf::SegmentExact;
    constexpr size_t params = op_params(leaf == StepLeaf::Sphere  ? Op::Sphere
                                        : leaf == StepLeaf::Plane ? Op::Plane
                                        : segment                 ? Op::Segment
                                                                  : Op::Ray);
    const auto f = params_of(step);
    if constexpr (shifted) p = minus(p, f + params);
    RunVector v;
    if constexpr (leaf == StepLeaf::Sphere) v = sphere_lanes<origin>(f, p);
    if constexpr (leaf == StepLeaf::Plane) v = plane_lanes<origin>(f, p);
    if constexpr (segment) {
        v = segment_lanes<leaf == StepLeaf::SegmentExact, origin>(f, p, bounds);
    }
    if constexpr (leaf == StepLeaf::Ray) v = ray_lanes(f, p, bounds);
    constexpr bool multiply = fold >= 4;
    constexpr auto how = static_cast<Combine>(multiply ? fold - 3 : fold);
    if constexpr (multiply) v = v * k_of(step);
    r.d = combine_lanes(how, r.d, v);
}

/// k * d ('m') or k + d ('a') with k as the instruction's first operand.
/// Where both are NaN, the instruction keeps its first operand's; the
/// passes of these operations read d from memory, which leaves k first, and
/// the compiler would put the memory operand k second here.
SDF_INLINE RunVector splat(float k) { return _mm512_set1_ps(k); }
SDF_INLINE RunVector splat(RunVector k) { return k; }

template <char Op, class K>
SDF_INLINE RunVector k_first(K k, RunVector d) {
    const RunVector kv = splat(k);
    RunVector r;
    if constexpr (Op == 'm') {
        __asm__("vmulps %2, %1, %0" : "=v"(r) : "v"(kv), "v"(d));
    } else {
        __asm__("vaddps %2, %1, %0" : "=v"(r) : "v"(kv), "v"(d));
    }
    return r;
}

template <unsigned Kind, class Step>
SDF_INLINE void distance_step_lanes(const Step& step, RunRegisters& r) {
    constexpr auto op = static_cast<StepDistance>(Kind - kDistanceSteps);
    const RunVector inf = RunVector{} + kInfinity;
    if constexpr (op == StepDistance::MulK) r.d = k_first<'m'>(k_of(step), r.d);
    if constexpr (op == StepDistance::SubR) r.d = r.d - k_of(step);
    if constexpr (op == StepDistance::AddR) r.d = k_first<'a'>(k_of(step), r.d);
    if constexpr (op == StepDistance::Neg) r.d = -r.d;
    if constexpr (op == StepDistance::UnionFirst) r.d = less_of(r.d, inf);
    if constexpr (op == StepDistance::IntersectFirst) r.d = greater_of(r.d, -inf);
}

template <unsigned Kind, class Step>
SDF_INLINE void step_lanes(const Step& step, RunRegisters& r, size_t i,
                           const RunBounds& bounds) {
    if constexpr (Kind < kLeafSteps) {
        transform_step_lanes<Kind>(step, r, i);
    } else if constexpr (Kind < kDistanceSteps) {
        leaf_step_lanes<Kind>(step, r, i, bounds);
    } else if constexpr (Kind < kPushStep) {
        distance_step_lanes<Kind>(step, r);
    } else if constexpr (Kind == kPushStep) {
        r.saved = r.d;
    } else if constexpr (Kind < kStepKinds) {
        // The fold of the saved distance (first) with D.
        constexpr auto how = static_cast<Combine>(Kind - kNextSteps + 1);
        r.d = combine_lanes(how, r.saved, r.d);
    }
}

// Every step kind as a label of run_fused, eight at a time: each runs its
// step and jumps straight to the next step's label (an indirect jump of its
// own per kind, which the branch predictor learns per kind, and no switch).
#define SDF_RUN_LABEL(k)                          \
    step_##k : step_lanes<(k)>(*step, r, i, bounds); \
    ++step;                                       \
    goto** ++to;
#define SDF_RUN_ADDRESS(k) &&step_##k,
// L applied to each of eight kinds (SDF_RUN_KINDS passes them eight at a time).
#define SDF_EACH8(L, a, b, c, d, e, f, g, h) L(a) L(b) L(c) L(d) L(e) L(f) L(g) L(h)
#define SDF_RUN_LABELS8(...) SDF_EACH8(SDF_RUN_LABEL, __VA_ARGS__)
#define SDF_RUN_ADDRESSES8(...) SDF_EACH8(SDF_RUN_ADDRESS, __VA_ARGS__)
#define SDF_RUN_KINDS(M) \
    M(0, 1, 2, 3, 4, 5, 6, 7) M(8, 9, 10, 11, 12, 13, 14, 15) \
    M(16, 17, 18, 19, 20, 21, 22, 23) M(24, 25, 26, 27, 28, 29, 30, 31) \
    M(32, 33, 34, 35, 36, 37, 38, 39) M(40, 41, 42, 43, 44, 45, 46, 47) \
    M(48, 49, 50, 51, 52, 53, 54, 55) M(56, 57, 58, 59, 60, 61, 62, 63) \
    M(64, 65, 66, 67, 68, 69, 70, 71) M(72, 73, 74, 75, 76, 77, 78, 79) \
    M(80, 81, 82, 83, 84, 85, 86, 87) M(88, 89, 90, 91, 92, 93, 94, 95) \
    M(96, 97, 98, 99, 100, 101, 102, 103) M(104, 105, 106, 107, 108, 109, 110, 111) \
    M(112, 113, 114, 115, 116, 117, 118, 119) M(120, 121, 122, 123, 124, 125, 126, 127) \
    M(128, 129, 130, 131, 132, 133, 134, 135) M(136, 137, 138, 139, 140, 141, 142, 143) \
    M(144, 145, 146, 147, 148, 149, 150, 151) M(152, 153, 154, 155, 156, 157, 158, 159) \
    M(160, 161, 162, 163, 164, 165, 166, 167) M(168, 169, 170, 171, 172, 173, 174, 175) \
    M(176, 177, 178, 179, 180, 181, 182, 183) M(184, 185, 186, 187, 188, 189, 190, 191) \
    M(192, 193, 194, 195, 196, 197, 198, 199) M(200, 201, 202, 203, 204, 205, 206, 207) \
    M(208, 209, 210, 211, 212, 213, 214, 215) M(216, 217, 218, 219, 220, 221, 222, 223) \
    M(224, 225, 226, 227, 228, 229, 230, 231) M(232, 233, 234, 235, 236, 237, 238, 239) \
    M(240, 241, 242, 243, 244, 245, 246, 247) M(248, 249, 250, 251, 252, 253, 254, 255) \
    M(256, 257, 258, 259, 260, 261, 262, 263) M(264, 265, 266, 267, 268, 269, 270, 271) \
    M(272, 273, 274, 275, 276, 277, 278, 279) M(280, 281, 282, 283, 284, 285, 286, 287) \
    M(288, 289, 290, 291, 292, 293, 294, 295) M(296, 297, 298, 299, 300, 301, 302, 303) \
    M(304, 305, 306, 307, 308, 309, 310, 311) M(312, 313, 314, 315, 316, 317, 318, 319) \
    M(320, 321, 322, 323, 324, 325, 326, 327) M(328, 329, 330, 331, 332, 333, 334, 335) \
    M(336, 337, 338, 339, 340, 341, 342, 343) M(344, 345, 346, 347, 348, 349, 350, 351) \
    M(352, 353, 354, 355, 356, 357, 358, 359) M(360, 361, 362, 363, 364, 365, 366, 367) \
    M(368, 369, 370, 371, 372, 373, 374, 375) M(376, 377, 378, 379, 380, 381, 382, 383) \
    M(384, 385, 386, 387, 388, 389, 390, 391) M(392, 393, 394, 395, 396, 397, 398, 399) \
    M(400, 401, 402, 403, 404, 405, 406, 407) M(408, 409, 410, 411, 412, 413, 414, 415) \
    M(416, 417, 418, 419, 420, 421, 422, 423)

// (Kinds from kStepKinds to 423 do nothing, and no step has them.)
static_assert(kStepKinds <= 424, "run_fused has a label for each of 424 kinds");

/// Runs the run `run` with `steps` over lanes first .. n - 1 (whole vectors):
/// D in `d`, P in `p`. With `rows`, the run's shared point in lane i is
/// packed row i there, also stored in P's lanes where `store_row` (a row
/// run, row_runs.hpp).
template <class Step>
SDF_LANE_LOOP void run_fused(const RunShape& run, const Step* steps, Lanes p, float* d,
                             size_t n, const float* rows, bool store_row, size_t first = 0) {
    static const void* const labels[424] = {SDF_RUN_KINDS(SDF_RUN_ADDRESSES8)};
    // Where each step goes, and after the last, the end of the vector.
    const void* jumps[kMaxRunSteps + 1];
    for (size_t k = 0; k < run.count; ++k) jumps[k] = labels[steps[k].kind];
    jumps[run.count] = &&vector_done;
    const RunBounds bounds = run_bounds();
    const bool shared = run.shared[0] != nullptr;
    const bool reads_distance = run.reads_distance;
    const RunVector start = RunVector{} + run.start_distance;
    for (size_t i = first; i < n; i += kRunLanes) {
        RunRegisters r;
        r.d = start;
        if (reads_distance) r.d = load_lanes(d + i);
        r.q = {r.d, r.d, r.d};  // (read only after a step has set it)
        r.saved = r.d;
        r.shared = r.q;
        if (rows) {
            r.shared = row_point(rows + 3 * i);
            if (store_row) {
                store_lanes(p.x + i, r.shared.x);
                store_lanes(p.y + i, r.shared.y);
                store_lanes(p.z + i, r.shared.z);
            }
        } else if (shared) {
            r.shared = {load_lanes(run.shared[0] + i), load_lanes(run.shared[1] + i),
                        load_lanes(run.shared[2] + i)};
        }
        const Step* step = steps;
        const void* const* to = jumps;
        goto** to;
        SDF_RUN_KINDS(SDF_RUN_LABELS8)
    vector_done:
        store_lanes(d + i, r.d);
        if (run.store_point) {
            store_lanes(p.x + i, r.q.x);
            store_lanes(p.y + i, r.q.y);
            store_lanes(p.z + i, r.q.z);
        }
    }
}

// A row run two vectors at a time: each step's label runs the step on one
// vector and then on the other, with the same code (step_lanes). That
// halves the jumps and the step setup per row, and gives the processor two
// chains of work that do not wait on each other to overlap the long
// latencies of the divisions and square roots. The empty asm between the
// two tells the compiler memory may have changed: the second reads its
// parameters from memory again, as the first does, rather than from a
// register the first loaded them into, where the compiler may put them
// first in a product, and a NaN parameter meeting a NaN row would keep the
// other NaN than the one-vector code (the core checks caught that).
#define SDF_PAIR_LABEL(k)                                    \
    pair_##k : step_lanes<(k)>(*step, a, i, bounds);           \
    __asm__ volatile("" ::: "memory");                       \
    step_lanes<(k)>(*step, b, i + kRunLanes, bounds);          \
    ++step;                                                  \
    goto** ++to;
#define SDF_PAIR_ADDRESS(k) &&pair_##k,
#define SDF_PAIR_LABELS8(...) SDF_EACH8(SDF_PAIR_LABEL, __VA_ARGS__)
#define SDF_PAIR_ADDRESSES8(...) SDF_EACH8(SDF_PAIR_ADDRESS, __VA_ARGS__)

/// The registers of a row run's vector at the start: its rows loaded as
/// the shared point (and stored in P's lanes where the steps read those),
/// D at the run's start_distance, the rest set to D until a step sets them
/// (as in run_fused).
SDF_INLINE RunRegisters row_registers(const float* rows, Lanes p, size_t i, bool store_row,
                                      RunVector start) {
    RunRegisters r;
    r.d = start;
    r.q = {r.d, r.d, r.d};
    r.saved = r.d;
    r.shared = row_point(rows + 3 * i);
    if (store_row) {
        store_lanes(p.x + i, r.shared.x);
        store_lanes(p.y + i, r.shared.y);
        store_lanes(p.z + i, r.shared.z);
    }
    return r;
}

/// Runs the row run `run` over the rows in pairs of vectors, as far as
/// whole pairs go: returns the rows done.
SDF_LANE_LOOP size_t run_row_pairs(const RowRun& run, const float* rows, Lanes p, float* d,
                                   size_t n) {
    static const void* const labels[424] = {SDF_RUN_KINDS(SDF_PAIR_ADDRESSES8)};
    const void* jumps[kMaxRunSteps + 1];
    for (size_t k = 0; k < run.count; ++k) jumps[k] = labels[run.wide[k].kind];
    jumps[run.count] = &&pair_done;
    const RunBounds bounds = run_bounds();
    const bool store_row = run.stores_row;
    const RunVector start = RunVector{} + run.start_distance;
    size_t i = 0;
    for (; i + 2 * kRunLanes <= n; i += 2 * kRunLanes) {
        RunRegisters a = row_registers(rows, p, i, store_row, start);
        RunRegisters b = row_registers(rows, p, i + kRunLanes, store_row, start);
        const WideStep* step = run.wide;
        const void* const* to = jumps;
        goto** to;
        SDF_RUN_KINDS(SDF_PAIR_LABELS8)
    pair_done:
        store_lanes(d + i, a.d);
        store_lanes(d + i + kRunLanes, b.d);
    }
    return i;
}

/// Runs a row run over n packed rows (whole vectors) from `rows`, its
/// distances into d; `p`: the block's lanes it decoded with. (Its runs
/// never read D first nor store P at their end: decode_row_run.)
SDF_INLINE void run_rows(const RowRun& run, const float* rows, Lanes p, float* d, size_t n) {
    const size_t done = run_row_pairs(run, rows, p, d, n);
    if (done < n) run_fused(run, run.wide, p, d, n, rows, run.stores_row, done);
}

#undef SDF_PAIR_ADDRESSES8
#undef SDF_PAIR_LABELS8
#undef SDF_PAIR_ADDRESS
#undef SDF_PAIR_LABEL

#undef SDF_RUN_KINDS
#undef SDF_RUN_ADDRESSES8
#undef SDF_RUN_LABELS8
#undef SDF_EACH8
#undef SDF_RUN_ADDRESS
#undef SDF_RUN_LABEL

}  // namespace SDF_BLOCK_NS
}  // namespace sdf
