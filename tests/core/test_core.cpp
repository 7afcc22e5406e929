// Checks of the distance-field core on its own, without Python:
//  - the voxel grid builder against a grid built with edt_1d line by line;
//  - the batch kernels (baseline, AVX2, AVX-512) against the single-point
//    evaluator, bit for bit, on random trees of every node kind, and the
//    AVX-512 one reading packed rows in place against the AVX2 one;
//  - that a batch read in place still counts its work (interrupt polls);
//  - everything against the known answers of the float32 model (the file
//    given as the first argument, or the one in the source tree), which is
//    what proves the same bits on every architecture this is built for;
//  - the same answers again from a thread left in flush-to-zero and
//    rounding toward zero, with the core's float mode pinned by its guard;
//  - the size of compiled programs beside the size of their trees.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core_adapter.hpp"
#include "known_answers.hpp"
#include "sdf/float_env.hpp"
#include "sdf/node.hpp"
#include "sdf/program.hpp"
#include "sdf/voxel_sdf/voxel_grid.hpp"

namespace {

int failures = 0;

void check(bool ok, const char* what, long case_number) {
    if (!ok && failures++ < 20) std::printf("FAILED: %s (case %ld)\n", what, case_number);
}

uint32_t bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

/// The same float to the bit; any two NaNs count as the same, since the
/// sign and payload of a NaN follow the processor's propagation rules (which
/// operand's NaN an instruction keeps), not the order of operations.
bool same_value(float a, float b) { return bits(a) == bits(b) || (a != a && b != b); }

/// Built with the address sanitizer (whose instrumentation changes code
/// generation, though not values)?
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kInstrumented = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif
#else
constexpr bool kInstrumented = false;
#endif

/// The grid as edt_1d computes it: x lines, then y, then z, then sqrt.
std::vector<float> grid_by_lines(const std::vector<uint8_t>& cells) {
    std::vector<float> g(sdf::kChunkCells);
    for (int i = 0; i < sdf::kChunkCells; ++i) {
        g[i] = cells[i] ? 0.0f : std::numeric_limits<float>::infinity();
    }
    const int steps[3] = {1, 16, 256};
    for (int axis = 0; axis < 3; ++axis) {
        const int step = steps[axis];
        for (int start = 0; start < sdf::kChunkCells; ++start) {
            if ((start / step) % 16 != 0) continue;  // not the first sample of a line
            std::array<float, 16> line;
            for (int i = 0; i < 16; ++i) line[i] = g[start + i * step];
            const std::array<float, 16> out = sdf::edt_1d(line);
            for (int i = 0; i < 16; ++i) g[start + i * step] = out[i];
        }
    }
    for (float& s : g) s = std::sqrt(s);
    return g;
}

void test_voxel_grids(std::mt19937& rng) {
    const double densities[] = {0.0, 0.0005, 0.005, 0.05, 0.3, 0.95, 1.0};
    long case_number = 0;
    for (double density : densities) {
        std::bernoulli_distribution occupied(density);
        for (int round = 0; round < 60; ++round, ++case_number) {
            std::vector<uint8_t> cells(sdf::kChunkCells);
            for (uint8_t& c : cells) c = occupied(rng) ? 1 + rng() % 255 : 0;
            const std::vector<float> expected = grid_by_lines(cells);
            for (sdf::KernelChoice kernel : {sdf::KernelChoice::Baseline, sdf::KernelChoice::Avx2}) {
                const std::vector<float> got = sdf::build_voxel_grid(cells.data(), kernel);
                bool same = true;
                for (int i = 0; i < sdf::kChunkCells; ++i) same &= bits(got[i]) == bits(expected[i]);
                check(same, "voxel grid equals the line-by-line transform", case_number);
            }
        }
    }
}

/// Random trees of every kind, with awkward parameters now and then.
class TreeMaker {
  public:
    TreeMaker(std::mt19937& rng, sdf::VoxelGrid* grid) : rng_(rng), grid_(grid) {}

    /// Every random value is drawn in a statement of its own: the order in
    /// which a call's arguments are evaluated differs between compilers, and
    /// the trees must be the same on every build.
    sdf::SdfNode make(int depth) {
        const int kind = depth <= 0 ? pick(5) : pick(14);
        switch (kind) {
            case 0: {
                const sdf::Vec3 c = vec();
                return sdf::make_sphere(c, value());
            }
            case 1: {
                const sdf::Vec3 o = vec();
                return sdf::make_plane(o, sdf::normalized(vec()));
            }
            case 2: {
                const sdf::Vec3 a = vec();
                return sdf::make_segment(a, pick(8) ? vec() : sdf::Vec3{1, 1, 1});
            }
            case 3: {
                const sdf::Vec3 o = vec();
                return sdf::make_ray(o, sdf::normalized(vec()));
            }
            case 4: sdf::grid_acquire(grid_); return sdf::make_voxel(grid_);
            case 5:
            case 6: {
                const size_t n = pick(4);
                sdf::SdfNode list = sdf::make_list(kind == 5 ? sdf::Kind::Union : sdf::Kind::Intersect, n);
                for (size_t i = 0; i < n; ++i) sdf::list_push(list, make(depth - 1));
                return list;
            }
            case 7: {
                sdf::SdfNode a = make(depth - 1);
                return sdf::make_difference(a, make(depth - 1));
            }
            case 12: {
                const sdf::Vec3 v = vec();
                const float w = value();
                const float len = std::sqrt((v.y * v.y + w * w) + (v.x * v.x + v.z * v.z));
                return sdf::make_rotate({v.x / len, v.y / len, v.z / len, w / len}, make(depth - 1));
            }
            case 13: return sdf::make_dual(make(depth - 1));
            case 11: {
                const sdf::Vec3 v = vec();
                return sdf::make_translate(v, make(depth - 1));
            }
            default: {  // one scalar, one child
                const float r = value();
                const sdf::SdfNode child = make(depth - 1);
                if (kind == 8) return sdf::make_dilate(r, child);
                if (kind == 9) return sdf::make_erode(r, child);
                return sdf::make_scale(r, child);
            }
        }
    }

    float value() {
        switch (pick(40)) {
            case 0: return std::numeric_limits<float>::quiet_NaN();
            case 1: return std::numeric_limits<float>::infinity();
            case 2: return 0.0f;
            case 3: return -0.0f;
            default: return std::uniform_real_distribution<float>(-4.0f, 4.0f)(rng_);
        }
    }
    sdf::Vec3 vec() { return {value(), value(), value()}; }

  private:
    int pick(int n) { return static_cast<int>(rng_() % n); }
    std::mt19937& rng_;
    sdf::VoxelGrid* grid_;
};

void test_batch_kernels(std::mt19937& rng) {
    std::vector<uint8_t> cells(sdf::kChunkCells);
    for (uint8_t& c : cells) c = rng() % 20 == 0;
    sdf::VoxelGrid* grid = sdf::new_voxel_grid(16, sdf::build_voxel_grid(cells.data()));
    TreeMaker maker(rng, grid);
    const size_t rows = 700;  // more than two blocks, the last one partial
    for (long case_number = 0; case_number < 400; ++case_number) {
        sdf::SdfNode tree = maker.make(1 + case_number % 6);
        std::vector<float> points(rows * 4);  // a fourth column that is ignored
        for (float& v : points) v = case_number % 3 ? maker.value() : maker.value() * 4.0f + 8.0f;
        // Signalling NaNs of both signs now and then: the AVX-512 runs leave
        // out subtractions of +0 where the next operation quiets them anyway.
        for (size_t i = case_number % 37; i < points.size(); i += 37) {
            const uint32_t b = i % 2 ? 0xFFA00001u : 0x7F800123u;
            std::memcpy(&points[i], &b, sizeof b);
        }
        {
            const core_checks::Shape shape(tree);
            check(shape.kept_bytes() <= shape.code_bytes(), "kept steps within the code's size",
                  case_number);
            std::vector<float> out[3];
            int k = 0;
            for (sdf::KernelChoice kernel : {sdf::KernelChoice::Baseline, sdf::KernelChoice::Avx2,
                                             sdf::KernelChoice::Avx512}) {
                out[k].resize(rows);
                shape.distances(points.data(), rows, 4, out[k].data(), kernel);
                bool same = true, one_off = true;
                for (size_t i = 0; i < rows; ++i) {
                    const float* p = &points[i * 4];
                    same &= same_value(out[k][i], shape.distance({p[0], p[1], p[2]}));
                    const sdf::Vec3 q{p[0], p[1], p[2]};
                    one_off &= k != 0 || bits(shape.distance(q)) == bits(shape.one_off(q));
                }
                check(same, "batch kernel equals single-point evaluation", case_number);
                check(one_off, "one-off evaluation has the evaluator's bits, NaN included",
                      case_number);
                ++k;
            }
            // The AVX-512 kernel runs whole stretches of the program a vector at a
            // time where the AVX2 one makes a pass per instruction: the same
            // operations in the same order, so the same bits, NaN ones included.
            // Which NaN survives an operation of two NaNs follows the operand
            // order the compiler picks for the AVX2 passes; the sanitizers'
            // instrumentation changes those picks, so there only NaN-ness is
            // compared (each kernel still agrees with itself, which is what a
            // single point's NaN recompute relies on).
            if (sdf::cpu_has_avx512()) {
                bool same = true;
                for (size_t i = 0; i < rows; ++i) {
                    same &= kInstrumented ? same_value(out[1][i], out[2][i])
                                          : bits(out[1][i]) == bits(out[2][i]);
                }
                check(same, "AVX-512 batch has the AVX2 batch's bits, NaN included", case_number);
                // Packed rows of three: a program that is one run reads them
                // in place, whole vectors of them (the 188-row tail is copied).
                std::vector<float> packed(rows * 3), in_place(rows);
                for (size_t i = 0; i < rows * 3; ++i) packed[i] = points[i / 3 * 4 + i % 3];
                shape.distances(packed.data(), rows, 3, in_place.data(), sdf::KernelChoice::Avx512);
                for (size_t i = 0; i < rows; ++i) {
                    same &= kInstrumented ? same_value(out[1][i], in_place[i])
                                          : bits(out[1][i]) == bits(in_place[i]);
                }
                check(same, "AVX-512 batch read in place has the AVX2 batch's bits", case_number);
            }
        }
        sdf::release_tree(tree);
    }
    sdf::grid_release(grid);
}

/// A batch of packed rows whose program is one fused run (read in place by
/// the AVX-512 kernel) polls as often as its work asks: with n rows and I
/// instructions, about n * I / kWorkPerPoll times.
void test_in_place_polls() {
    sdf::SdfNode list = sdf::make_list(sdf::Kind::Union, 4);
    for (int i = 0; i < 4; ++i) {
        sdf::list_push(list, sdf::make_scale(1.5f, sdf::make_translate(
                                                       {1.0f * i, 0, 0}, sdf::make_sphere({0, 0, 0}, 1))));
    }
    const sdf::Program program = sdf::compile(list);
    const size_t rows = size_t{1} << 18;  // over 20 instructions a row: 5 polls' worth
    std::vector<float> points(rows * 3, 0.5f), out(rows);
    const sdf::PointsView view{reinterpret_cast<const char*>(points.data()), rows, 3,
                               3 * sizeof(float), sizeof(float)};
    long polls = 0;
    const sdf::Interrupt counting{[](void* n) { return ++*static_cast<long*>(n), false; }, &polls};
    sdf::eval_points(program, view, out.data(), counting, sdf::KernelChoice::Best);
    check(polls >= 4, "a batch read in place polls", polls);
    sdf::release_tree(list);
}

/// The caller's mode with flush-to-zero (and denormals-are-zero) and
/// rounding toward zero turned on, where the platform has them.
sdf::float_env::Word hostile_mode(sdf::float_env::Word mode) {
#if defined(SDF_FLOAT_ENV_MXCSR)
    return mode | 0x8000u | 0x0040u | 0x6000u;
#elif defined(SDF_FLOAT_ENV_FPCR)
    return mode | (sdf::float_env::Word{1} << 24) | (sdf::float_env::Word{3} << 22);
#elif defined(SDF_FLOAT_ENV_CONTROLFP)
    return (mode & ~(_MCW_RC | _MCW_DN)) | _RC_CHOP | _DN_FLUSH;
#else
    return FE_TOWARDZERO;
#endif
}

void test_float_env_guard(const char* answers) {
    namespace env = sdf::float_env;
    const env::Word caller = env::read();
    const env::Word hostile = hostile_mode(caller);
    env::write(hostile);
    // The mode really is hostile: a subnormal product is flushed, or 1/3
    // rounds down.
    volatile float tiny = 1e-40f, three = 3.0f;
    const float flushed = tiny * 1.0f, third = 1.0f / three;
    check(flushed == 0.0f || third < 0.333333343f, "the hostile mode changes results", 0);
    {
        const sdf::FloatEnvGuard guard;
        check((env::read() & env::kControl) == env::kWanted, "the guard pins the mode", 0);
        std::printf("with flush-to-zero and rounding toward zero outside the guard:\n");
        if (core_checks::check_known_answers(answers) != 0) ++failures;
    }
    check(((env::read() ^ hostile) & env::kControl) == 0, "the guard restores the mode", 0);
    env::write(caller);
}

/// Bytes a program keeps: its words and its hierarchies.
size_t program_bytes(const sdf::Program& p) {
    size_t bytes = p.code.capacity() * sizeof(sdf::Word);
    for (const sdf::PruneIndex& index : p.indexes) bytes += index.bytes();
    return bytes;
}

/// A program takes about as much memory as its tree's nodes: a deep chain
/// of transforms about half as much, wide unions with their pruning
/// hierarchy a little more or less (capsules, 64 bytes of nodes a child,
/// at most a tenth more; bare spheres, 32 bytes a child, whose parameters
/// the program reads from the tree, at most 85%).
void test_program_sizes(std::mt19937& rng) {
    constexpr size_t node = 32;  // a node on 64-bit builds (less on 32-bit ones)
    sdf::SdfNode chain = sdf::make_sphere({0, 0, 0}, 1.0f);
    const size_t depth = 20000;
    for (size_t i = 0; i < depth; ++i) {
        switch (i % 4) {
            case 0: chain = sdf::make_translate({0.5f, 0, 0}, chain); break;
            case 1: chain = sdf::make_rotate({0, 0, 0.6f, 0.8f}, chain); break;
            case 2: chain = sdf::make_scale(1.5f, chain); break;
            default: chain = sdf::make_dilate(0.25f, chain); break;
        }
    }
    check(program_bytes(sdf::compile(chain)) * 10 <= node * (depth + 1) * 6, "chain program size", 0);
    sdf::release_tree(chain);

    std::uniform_real_distribution<float> at(-10.0f, 10.0f);
    const size_t width = 4096;
    sdf::SdfNode capsules = sdf::make_list(sdf::Kind::Union, width);
    sdf::SdfNode spheres = sdf::make_list(sdf::Kind::Union, width);
    for (size_t i = 0; i < width; ++i) {
        const sdf::Vec3 a{at(rng), at(rng), at(rng)};
        sdf::list_push(capsules, sdf::make_dilate(0.1f, sdf::make_segment(a, {a.x + 1, a.y, a.z})));
        sdf::list_push(spheres, sdf::make_sphere(a, 0.5f));
    }
    const sdf::Program wide = sdf::compile(capsules), round = sdf::compile(spheres);
    check(wide.indexes.size() == 1 && round.indexes.size() == 1, "wide unions pruned", 1);
    check(program_bytes(wide) * 10 <= node * (2 * width + 1) * 11, "capsule program size", 1);
    check(program_bytes(round) * 100 <= node * (width + 1) * 85, "sphere program size", 2);
    sdf::release_tree(capsules);
    sdf::release_tree(spheres);
}

}  // namespace

int test_pruning();  // test_pruning.cpp; returns its failures

int main(int argc, char** argv) {
    std::mt19937 rng(12345);
    test_voxel_grids(rng);
    test_batch_kernels(rng);
    test_in_place_polls();
    const char* answers = argc > 1 ? argv[1] : TESSARON_KNOWN_ANSWERS;
    if (core_checks::check_known_answers(answers) != 0) ++failures;
    test_float_env_guard(answers);
    test_program_sizes(rng);
    failures += test_pruning();
    std::printf("core checks: %s (avx2 kernels %s, avx-512 kernels %s)\n",
                failures ? "FAILED" : "passed", sdf::cpu_has_avx2() ? "run" : "not available here",
                sdf::cpu_has_avx512() ? "run" : "not available here");
    return failures ? 1 : 0;
}
