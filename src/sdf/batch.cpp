// Batch evaluation: one program over the rows of a strided matrix.
//
// Points are evaluated in blocks: a block's coordinates are gathered into
// three arrays, then each instruction runs over every lane before the next
// one (see run_block). Every lane performs exactly the single-point
// evaluator's operations through the same inline functions, so results are
// bit-identical to it; the loops over lanes are what the compiler turns
// into SIMD code. On x86-64 the kernel is compiled twice, for the baseline
// and for AVX2, and the processor picks one at run time.
#include "sdf/batch.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "sdf/cpu.hpp"
#include "sdf/evaluate.hpp"
#include "sdf/primitives.hpp"

namespace sdf {
namespace {

constexpr size_t kBlock = 256;
/// Largest stack storage a call sets aside; deeper programs use smaller
/// blocks, and beyond that the single-point evaluator.
constexpr size_t kMaxWorkspaceFloats = size_t{1} << 20;

/// Registers and stacks of one block: coordinates, distances, and the
/// point and value stacks, each slot `stride` floats per component.
struct BlockState {
    float* x;
    float* y;
    float* z;
    float* d;
    float* point_stack;
    float* value_stack;
    size_t stride;
};

SDF_INLINE void run_block(const Program& program, const BlockState& s, size_t n) {
    float* __restrict x = s.x;
    float* __restrict y = s.y;
    float* __restrict z = s.z;
    float* __restrict d = s.d;
    float* points = s.point_stack;   // next free point slot (x, y, z rows)
    float* values = s.value_stack;   // next free value slot
    const size_t row = s.stride;  // floats between stack slots
    for (const Instr& stored : program.code) {
        // A local copy: the compiler then knows that writing lanes cannot
        // change the instruction's parameters, and vectorises the loops.
        const Instr in = stored;
        switch (in.op) {
            case Op::Sphere:
                for (size_t i = 0; i < n; ++i) d[i] = sphere_distance(in, {x[i], y[i], z[i]});
                break;
            case Op::Plane:
                for (size_t i = 0; i < n; ++i) d[i] = plane_distance(in, {x[i], y[i], z[i]});
                break;
            case Op::Segment:
                for (size_t i = 0; i < n; ++i) d[i] = segment_distance(in, {x[i], y[i], z[i]});
                break;
            case Op::Ray:
                for (size_t i = 0; i < n; ++i) d[i] = ray_distance(in, {x[i], y[i], z[i]});
                break;
            case Op::Voxel:
                for (size_t i = 0; i < n; ++i) {
                    d[i] = sample_trilinear(*in.grid, {x[i], y[i], z[i]});
                }
                break;
            case Op::Const:
                for (size_t i = 0; i < n; ++i) d[i] = in.f[0];
                break;
            case Op::Translate: {
                const float vx = in.f[0], vy = in.f[1], vz = in.f[2];
                for (size_t i = 0; i < n; ++i) {
                    x[i] = x[i] - vx;
                    y[i] = y[i] - vy;
                    z[i] = z[i] - vz;
                }
                break;
            }
            case Op::ScaleIn: {
                const float k = in.f[0];
                for (size_t i = 0; i < n; ++i) {
                    x[i] = x[i] / k;
                    y[i] = y[i] / k;
                    z[i] = z[i] / k;
                }
                break;
            }
            case Op::Rotate:
                for (size_t i = 0; i < n; ++i) {
                    const Vec3 p = rotate_point(in, {x[i], y[i], z[i]});
                    x[i] = p.x;
                    y[i] = p.y;
                    z[i] = p.z;
                }
                break;
            case Op::MulK: {
                const float k = in.f[0];
                for (size_t i = 0; i < n; ++i) d[i] = d[i] * k;
                break;
            }
            case Op::SubR: {
                const float r = in.f[0];
                for (size_t i = 0; i < n; ++i) d[i] = d[i] - r;
                break;
            }
            case Op::AddR: {
                const float r = in.f[0];
                for (size_t i = 0; i < n; ++i) d[i] = d[i] + r;
                break;
            }
            case Op::Neg:
                for (size_t i = 0; i < n; ++i) d[i] = -d[i];
                break;
            case Op::PushP:
                std::memcpy(points, x, n * sizeof(float));
                std::memcpy(points + row, y, n * sizeof(float));
                std::memcpy(points + 2 * row, z, n * sizeof(float));
                points += 3 * row;
                break;
            case Op::PopP:
                points -= 3 * row;
                [[fallthrough]];
            case Op::LoadP: {
                const float* top = in.op == Op::PopP ? points : points - 3 * row;
                std::memcpy(x, top, n * sizeof(float));
                std::memcpy(y, top + row, n * sizeof(float));
                std::memcpy(z, top + 2 * row, n * sizeof(float));
                break;
            }
            case Op::PushD:
                std::memcpy(values, d, n * sizeof(float));
                values += row;
                break;
            case Op::UnionFirst:
                for (size_t i = 0; i < n; ++i) d[i] = d[i] < kInfinity ? d[i] : kInfinity;
                break;
            case Op::IntersectFirst:
                for (size_t i = 0; i < n; ++i) d[i] = d[i] > -kInfinity ? d[i] : -kInfinity;
                break;
            case Op::UnionNext: {
                values -= row;
                const float* __restrict acc = values;
                for (size_t i = 0; i < n; ++i) d[i] = d[i] < acc[i] ? d[i] : acc[i];
                break;
            }
            case Op::IntersectNext: {
                values -= row;
                const float* __restrict acc = values;
                for (size_t i = 0; i < n; ++i) d[i] = d[i] > acc[i] ? d[i] : acc[i];
                break;
            }
            case Op::DifferenceNext: {
                values -= row;
                const float* __restrict a = values;
                for (size_t i = 0; i < n; ++i) d[i] = difference_value(a[i], d[i]);
                break;
            }
        }
    }
}

void run_block_baseline(const Program& program, const BlockState& s, size_t n) {
    run_block(program, s, n);
}

#ifdef SDF_HAVE_AVX2_KERNELS
SDF_TARGET_AVX2 void run_block_avx2(const Program& program, const BlockState& s, size_t n) {
    run_block(program, s, n);
}
#endif

using BlockKernel = void (*)(const Program&, const BlockState&, size_t);

BlockKernel pick_kernel(KernelChoice choice) {
#ifdef SDF_HAVE_AVX2_KERNELS
    if (use_avx2(choice)) return run_block_avx2;
#endif
    (void)choice;
    return run_block_baseline;
}

float read_float(const char* at) {
    float v;
    std::memcpy(&v, at, sizeof v);  // strides need not keep floats aligned
    return v;
}

Vec3 read_row(const PointsView& view, size_t i) {
    const char* row = view.data + static_cast<ptrdiff_t>(i) * view.row_stride;
    return {read_float(row), read_float(row + view.col_stride),
            read_float(row + 2 * view.col_stride)};
}

/// Too deep for block storage: one point at a time.
void eval_points_singly(const Program& program, const PointsView& view, float* out,
                        const Interrupt& interrupt) {
    const Evaluator f(program);
    PollCounter polls(program, interrupt);
    for (size_t i = 0; i < view.rows; ++i) {
        out[i] = f(read_row(view, i));
        polls.count(1);
    }
}

}  // namespace

void eval_points(const Program& program, const PointsView& view, float* out,
                 Interrupt interrupt, KernelChoice choice) {
    if (view.rows == 0) return;
    if (view.cols < 3) throw ColumnsError{};
    // The three coordinate registers and the stacks, per lane.
    const size_t per_lane = 3 + 3 * size_t{program.point_depth} + program.value_depth;
    const size_t block = std::min(kBlock, kMaxWorkspaceFloats / per_lane / 8 * 8);
    if (block == 0) return eval_points_singly(program, view, out, interrupt);
    std::unique_ptr<float[]> workspace(new float[per_lane * block]);
    float* w = workspace.get();
    // The distance register of each block is its slice of `out` itself.
    BlockState state{w, w + block, w + 2 * block, nullptr, w + 3 * block,
                     w + (3 + 3 * size_t{program.point_depth}) * block, block};
    const BlockKernel kernel = pick_kernel(choice);
    PollCounter polls(program, interrupt);
    for (size_t start = 0; start < view.rows; start += block) {
        const size_t n = std::min(block, view.rows - start);
        for (size_t i = 0; i < n; ++i) {
            const Vec3 p = read_row(view, start + i);
            state.x[i] = p.x;
            state.y[i] = p.y;
            state.z[i] = p.z;
        }
        state.d = out + start;
        kernel(program, state, n);
        polls.count(n);
    }
}

}  // namespace sdf
