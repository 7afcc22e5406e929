// Pruned against unpruned evaluation, bit for bit, on random large trees:
// single points, normals, both marches and batches (both kernels, several
// row counts, so that blocks differ in size and in where they fall).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "sdf/batch.hpp"
#include "sdf/cell_lists.hpp"
#include "sdf/cpu.hpp"
#include "sdf/evaluate.hpp"
#include "sdf/node.hpp"
#include "sdf/primitives.hpp"
#include "sdf/program.hpp"
#include "sdf/query.hpp"
#include "sdf/row_keys.hpp"

namespace {

int failures = 0;
long checks = 0;
long offered = 0;  // children of pruned lists at the points asked
long skipped = 0;  // of which were left out
long wide_choices = 0;  // regions that kept more children than fit on the stack
long outgrown = 0;  // choices that did not fit a little room
long outgrown_points = 0;  // points whose choice outgrew the room an evaluator starts with
long items[2] = {0, 0};  // bare spheres read from the tree, in unions and in intersections

/// Counts the program's bare spheres read from the tree.
void count_items(const sdf::Program& program) {
    for (uint32_t pc = 0; pc < program.words; pc += program.code[pc].head.words) {
        const sdf::Head& head = program.code[pc].head;
        if (head.op == sdf::Op::ItemSphere) ++items[head.combine() == sdf::Combine::Intersect];
    }
}

uint32_t bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

void expect_same(float a, float b, const char* what, int tree) {
    ++checks;
    if (bits(a) == bits(b) || (a != a && b != b)) return;
    if (failures++ < 20) {
        std::printf("FAILED: %s, tree %d: %.9g (%08x) vs %.9g (%08x)\n", what, tree, a, bits(a),
                    b, bits(b));
    }
}

class TreeMaker {
  public:
    explicit TreeMaker(uint32_t seed) : rng_(seed) {}

    /// A union or intersection of many parts, some of them large lists too.
    sdf::SdfNode big_list(int depth) {
        // Blocks of points prune only lists of a thousand children or more.
        const size_t n = depth == 0 && pick(3) == 0 ? 1024 + pick(300) : 32 + pick(200);
        const sdf::Kind kind = pick(3) == 0 ? sdf::Kind::Intersect : sdf::Kind::Union;
        sdf::SdfNode list = sdf::make_list(kind, n);
        // A union prunes parts that grow outward (distance-like), an
        // intersection their complements; a part of the other sense is
        // below (above) the rest nearly everywhere, so they stay rare.
        const int want = kind == sdf::Kind::Union ? 1 : -1;
        // In some lists, runs of bare spheres of any length between the
        // other parts: the program reads those from the tree, in groups.
        // (Fewer in intersections, where they are not indexed.)
        const bool runs = pick(3) == 0;
        const size_t gap = want > 0 ? 6 : 40, longest = want > 0 ? 150 : 40;
        size_t run = 0;
        for (size_t i = 0; i < n; ++i) {
            if (runs && run == 0 && pick(gap) == 0) run = 1 + pick(longest);
            if (run > 0) {
                --run;
                sdf::list_push(list, sphere());
                continue;
            }
            int sense = 1;
            sdf::SdfNode child = depth < 2 && pick(40) == 0 ? big_list(depth + 1) : part(3, sense);
            if (sense != want && pick(15) != 0) child = sdf::make_dual(child);
            sdf::list_push(list, child);
        }
        return list;
    }

  private:
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng_); }

    float odd_value() {
        const float odd[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN(), 1e30f, 1e-30f, -1.0f};
        return odd[pick(8)];
    }
    /// Mostly small, sometimes exactly representable round numbers (ties),
    /// rarely a special value.
    float value(float lo, float hi) {
        if (pick(200) == 0) return odd_value();
        if (pick(8) == 0) return std::round(uniform(lo, hi) * 4) / 4;
        return uniform(lo, hi);
    }
    sdf::Vec3 point() {
        const float x = value(-2, 2);
        const float y = value(-2, 2);
        const float z = value(-2, 2);
        return {x, y, z};
    }

    sdf::SdfNode leaf() {
        // Planes and rays are rare: one below everything else hides the rest.
        switch (pick(40)) {
            case 0: {
                const sdf::Vec3 o = point();
                return sdf::make_plane(o, {0.0f, 0.6f, 0.8f});
            }
            case 1: {
                const sdf::Vec3 o = point();
                return sdf::make_ray(o, {1.0f, 0.0f, 0.0f});
            }
            case 2:
            case 3:
            case 4:
            case 5:
            case 6:
            case 7:
            case 8:
            case 9:
            case 10: {
                const sdf::Vec3 a = point();
                const sdf::Vec3 b = pick(10) == 0 ? a : sdf::Vec3{a.x + value(-0.3f, 0.3f), a.y, a.z + value(-0.3f, 0.3f)};
                return sdf::make_segment(a, b);
            }
            default: return sphere();
        }
    }

    sdf::SdfNode sphere() {
        // Often a near twin of the last sphere (same centre, radius off by
        // a hair or not at all): the children whose values nearly tie are
        // where a bound that is a little off shows.
        if (pick(3) == 0) {
            const float nudge[] = {0.0f, 1e-3f, -1e-3f, 3e-7f, -3e-7f};
            last_radius_ = last_radius_ + nudge[pick(5)];
        } else {
            last_center_ = point();
            last_radius_ = value(-0.05f, 0.2f);
        }
        return sdf::make_sphere(last_center_, last_radius_);
    }

    /// A random part; `sense` flips with each dual or negative scale.
    sdf::SdfNode part(int depth, int& sense) {
        if (depth == 0 || pick(3) == 0) return leaf();
        sdf::SdfNode child = part(depth - 1, sense);
        switch (pick(9)) {
            case 0: return sdf::make_dilate(value(-0.1f, 0.2f), child);
            case 1: return sdf::make_erode(value(-0.1f, 0.2f), child);
            case 2: {
                const float k = pick(6) == 0 ? -value(0.5f, 2) : (pick(30) == 0 ? 0.0f : value(0.25f, 3));
                if (k < 0) sense = -sense;
                return sdf::make_scale(k, child);
            }
            case 3: {
                const sdf::Vec3 v = point();
                return sdf::make_translate(v, child);
            }
            case 4: {
                const float a = uniform(0, 6.28f);
                const float w = std::cos(a / 2), s = std::sin(a / 2);
                return sdf::make_rotate(pick(20) == 0 ? sdf::Quat{odd_value(), 0, 0, 1}
                                                      : sdf::Quat{s * 0.6f, 0, s * 0.8f, w},
                                        child);
            }
            case 5: sense = -sense; return sdf::make_dual(child);
            case 6: {
                int other_sense = 1;
                sdf::SdfNode other = part(depth - 1, other_sense);
                return sdf::make_difference(child, other);
            }
            case 7: {
                sdf::SdfNode list = sdf::make_list(pick(2) ? sdf::Kind::Union : sdf::Kind::Intersect, 2);
                sdf::list_push(list, child);
                int other_sense = 1;
                sdf::list_push(list, part(depth - 1, other_sense));
                return list;
            }
            default: return child;
        }
    }

    std::mt19937 rng_;
    sdf::Vec3 last_center_{0, 0, 0};
    float last_radius_ = 0.1f;
};

sdf::Vec3 query_point(std::mt19937& rng, int i) {
    std::uniform_real_distribution<float> u(-2.5f, 2.5f);
    const float x = u(rng), y = u(rng), z = u(rng);
    if (i % 97 == 5) return {x, std::numeric_limits<float>::quiet_NaN(), z};
    if (i % 89 == 7) return {std::numeric_limits<float>::infinity(), y, z};
    if (i % 53 == 3) return {x * 1e13f, y, z};
    if (i % 7 == 1) return {std::round(x * 4) / 4, std::round(y * 4) / 4, std::round(z * 4) / 4};
    return {x, y, z};
}

long exact_cells = 0;  // cells whose list was checked

/// A cell's list as bounded() gives it, against its kept() list `kept` (n
/// children) and the children's balls: the same children but the `always`
/// ones, in order; each with the squared distance from the cell's box to
/// its centre (in double, 0 inside) and rho + margin; seeds from the list.
void check_bounded(const sdf::PruneIndex& index, const sdf::CellLists& lists, uint32_t cell,
                   const uint32_t* kept, size_t n, int tree) {
    const std::vector<sdf::FloatBall> balls = sdf::child_balls(index);
    auto ball_of = [&](uint32_t pc) {
        return std::find_if(balls.begin(), balls.end(),
                            [&](const sdf::FloatBall& b) { return b.pc == pc; });
    };
    const size_t room = lists.longest();
    std::vector<uint32_t> pcs(room);
    std::vector<double> gap2(room), reach(room);
    std::vector<float> up(room);
    const sdf::CellLists::Bounded own =
        lists.bounded(cell, pcs.data(), gap2.data(), reach.data(), up.data());
    const auto listed_end = pcs.begin() + static_cast<ptrdiff_t>(own.count);
    const sdf::Region box = lists.box(cell);
    bool ok = lists.listed(index, cell) == n && own.count + index.always.size() == n &&
              std::includes(kept, kept + n, pcs.begin(), listed_end);
    for (size_t k = 0; ok && k < own.count; ++k) {
        const auto ball = ball_of(pcs[k]);
        if (ball == balls.end()) {
            ok = false;
            break;
        }
        double want = 0;
        for (int a = 0; a < 3; ++a) {
            const double c = ball->c[a];
            const double out = std::max({0.0, double{box.lo[a]} - c, c - double{box.hi[a]}});
            want += out * out;
        }
        ok = gap2[k] == want && reach[k] == double{ball->rho} + own.margin;
    }
    for (size_t j = 0; ok && j < own.seeds.count; ++j) {
        ok = std::any_of(pcs.begin(), listed_end, [&](uint32_t pc) {
            const auto b = ball_of(pc);
            return b->sigma == own.seeds.sigma[j] && b->c[0] == own.seeds.c[j][0] &&
                   b->c[1] == own.seeds.c[j][1] && b->c[2] == own.seeds.c[j][2];
        });
    }
    ++checks;
    if (!ok && failures++ < 20) std::printf("FAILED: bounded list, tree %d, cell %u\n", tree, cell);
}

/// Every cell's box holds its points, and every child the hierarchy keeps
/// for a cell's box is on the cell's list.
void check_cell_lists(const sdf::PruneIndex& index, const std::vector<float>& pts, int tree) {
    const sdf::CellGrid grid{{-1.25f, -1.25f, -1.25f}, {3.2f, 3.2f, 3.2f}, 8};
    const float inf = std::numeric_limits<float>::infinity();
    sdf::Region rows{{inf, inf, inf}, {-inf, -inf, -inf}};
    std::vector<uint8_t> occupied(grid.cells());
    std::vector<uint32_t> cell_of_point;
    for (size_t i = 0; i < pts.size(); i += 3) {
        const float* p = &pts[i];
        if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) continue;
        const uint32_t c = sdf::cell_number(grid.cell_of(p[0], 0), grid.cell_of(p[1], 1),
                                            grid.cell_of(p[2], 2));
        occupied[c] = 1;
        cell_of_point.push_back(c);
        for (int a = 0; a < 3; ++a) {
            rows.lo[a] = std::min(rows.lo[a], p[a]);
            rows.hi[a] = std::max(rows.hi[a], p[a]);
        }
    }
    sdf::CellLists lists;
    sdf::PollCounter polls({});
    if (!lists.build(index, grid, occupied, rows, SIZE_MAX, polls)) return;
    for (size_t i = 0, n = 0; i < pts.size(); i += 3) {
        const float* p = &pts[i];
        if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) continue;
        const sdf::Region box = lists.box(cell_of_point[n++]);
        ++checks;
        for (int a = 0; a < 3; ++a) {
            if (!(box.lo[a] <= p[a] && p[a] <= box.hi[a]) && failures++ < 20) {
                std::printf("FAILED: cell box, tree %d, point %zu\n", tree, i / 3);
            }
        }
    }
    std::vector<uint32_t> kept(index.child_count), want(index.child_count);
    std::vector<double> scratch(index.child_count);
    for (uint32_t c = 0; c < grid.cells(); ++c) {
        size_t n;
        const uint32_t* listed = lists.kept(index, c, kept.data(), n);
        if (n == SIZE_MAX) continue;
        if (listed != kept.data()) std::copy(listed, listed + n, kept.begin());
        ++exact_cells;
        ++checks;
        const size_t m = sdf::collect_candidates(index, lists.box(c), want.data(), scratch.data());
        if (m == SIZE_MAX || !std::includes(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(n),
                                            want.begin(), want.begin() + static_cast<ptrdiff_t>(m))) {
            if (failures++ < 20) std::printf("FAILED: cell list, tree %d, cell %u\n", tree, c);
        }
        check_bounded(index, lists, c, kept.data(), n, tree);
    }
}

/// The slice's keys with the loops in AVX-512 vectors, as the sort runs
/// them where the processor has it (sixteen lanes a step); else with the
/// plain build.
#ifdef SDF_HAVE_AVX2_KERNELS
SDF_TARGET_AVX512 void run_keys_avx512(sdf::RowKeys& keys, size_t n, uint32_t* key) {
    keys.run(n, key);
}
#endif
void run_keys_widest(sdf::RowKeys& keys, size_t n, uint32_t* key) {
#ifdef SDF_HAVE_AVX2_KERNELS
    if (sdf::cpu_has_avx512()) return run_keys_avx512(keys, n, key);
#endif
    keys.run(n, key);
}

/// The keys of a batch's sort, slice by slice, against cell_of and
/// cell_number row by row, and the box of the finite rows against plain
/// extremes: grids of every side, flat ones, rows on cell edges, beyond the
/// grid, signed zeros, huge and not finite, slices of every length.
void check_row_keys(std::mt19937& rng) {
    const float inf = std::numeric_limits<float>::infinity();
    const float odd[] = {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 0.0f, -0.0f,
                         1e30f, -1e30f, 3e-39f};
    std::uniform_real_distribution<float> u(-3, 3);
    for (int t = 0; t < 200; ++t) {
        // Every fourth grid lies far from the origin, with rows that are
        // finite only there: a box that took in anything else shows.
        const float shift = t % 4 == 3 ? 20.0f : 0.0f;
        const uint32_t odd_kinds = t % 4 == 3 ? 3 : 8;
        sdf::CellGrid grid{{u(rng) + shift, u(rng) + shift, u(rng) + shift}, {0, 0, 0},
                           1u << (t % 7)};
        for (int a = 0; a < 3; ++a) {
            const int pick = (t + a) % 5;
            grid.scale[a] = pick == 0   ? 0.0f
                            : pick == 1 ? 1e6f
                                        : static_cast<float>(grid.side) / std::fabs(u(rng) + 3.5f);
        }
        sdf::RowKeys keys(grid), wide_keys(grid);
        float lo[3] = {inf, inf, inf}, hi[3] = {-inf, -inf, -inf};
        const size_t slices = 1 + t % 3;
        for (size_t slice = 0; slice < slices; ++slice) {
            const size_t n = 1 + (rng() % sdf::RowKeys::kSlice);
            std::vector<sdf::Vec3> rows(n);
            for (sdf::Vec3& p : rows) {
                float v[3];
                for (int a = 0; a < 3; ++a) {
                    const uint32_t kind = rng() % 16;
                    // On a cell's edge (or one past the grid), or a hair below.
                    const float k = static_cast<float>(rng() % (grid.side + 2));
                    const float edge = grid.scale[a] > 0 ? grid.lo[a] + k / grid.scale[a] : grid.lo[a];
                    v[a] = kind == 0 ? odd[rng() % odd_kinds]
                           : kind < 4 ? edge
                           : kind < 6 ? std::nextafter(edge, -inf)
                                      : u(rng) + shift;
                }
                p = {v[0], v[1], v[2]};
            }
            for (size_t i = 0; i < n; ++i) keys.set(i, rows[i]);
            for (size_t i = 0; i < n; ++i) wide_keys.set(i, rows[i]);
            std::vector<uint32_t> got(n), wide(n);
            keys.run(n, got.data());
            run_keys_widest(wide_keys, n, wide.data());
            ++checks;
            if (got != wide && failures++ < 20) std::printf("FAILED: row keys in wide vectors\n");
            for (size_t i = 0; i < n; ++i) {
                const sdf::Vec3 p = rows[i];
                const bool finite = std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
                const uint32_t want =
                    finite ? sdf::cell_number(grid.cell_of(p.x, 0), grid.cell_of(p.y, 1),
                                              grid.cell_of(p.z, 2))
                           : static_cast<uint32_t>(grid.cells());
                ++checks;
                if (got[i] != want && failures++ < 20) {
                    std::printf("FAILED: row key %u, want %u (side %u)\n", got[i], want, grid.side);
                }
                if (!finite) continue;
                const float c[3] = {p.x, p.y, p.z};
                for (int a = 0; a < 3; ++a) {
                    lo[a] = std::min(lo[a], c[a]);
                    hi[a] = std::max(hi[a], c[a]);
                }
            }
        }
        for (const sdf::Region& box : {keys.box(), wide_keys.box()}) {
            for (int a = 0; a < 3; ++a) {
                ++checks;
                if ((bits(box.lo[a]) != bits(lo[a]) && !(box.lo[a] == 0 && lo[a] == 0)) ||
                    (bits(box.hi[a]) != bits(hi[a]) && !(box.hi[a] == 0 && hi[a] == 0))) {
                    if (failures++ < 20) std::printf("FAILED: box of the rows, axis %d\n", a);
                }
            }
        }
    }
}

/// two_ranks against the same ranks of the sorted values: samples of every
/// size up to a few thousand, spread out or with few distinct values (ties
/// at either rank), the two ranks apart, equal and next to each other.
void check_two_ranks(std::mt19937& rng) {
    std::uniform_real_distribution<float> u(-2, 2);
    for (int t = 0; t < 400; ++t) {
        const size_t n = t < 300 ? 1 + static_cast<size_t>(t) : 1 + rng() % 4096;
        std::vector<float> v(n);
        for (float& x : v) x = t % 3 == 0 ? static_cast<float>(rng() % 5) - 2.0f : u(rng);
        std::vector<float> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        const size_t pairs[3][2] = {{n / 100, n - 1 - n / 100},
                                    {rng() % n, n - 1},
                                    {n / 2, std::min(n - 1, n / 2 + t % 2)}};
        for (const auto& r : pairs) {
            const size_t low = std::min(r[0], r[1]), high = std::max(r[0], r[1]);
            std::vector<float> w = v;
            float lo = 0, hi = 0;
            sdf::two_ranks(w, low, high, lo, hi);
            ++checks;
            if ((lo != sorted[low] || hi != sorted[high]) && failures++ < 20) {
                std::printf("FAILED: ranks %zu and %zu of %zu values\n", low, high, n);
            }
        }
    }
}

/// The choice made without scratch space (a single point's) is the one
/// made with it, over the box of half-size h about p: small boxes keep few
/// children, large ones more than the walk can hold on the machine stack.
void check_without_scratch(const sdf::PruneIndex& index, sdf::Vec3 p, float h, int tree) {
    const sdf::Region box{{p.x - h, p.y - h, p.z - h}, {p.x + h, p.y + h, p.z + h}};
    std::vector<uint32_t> want(index.child_count), got(index.child_count);
    std::vector<double> scratch(index.child_count);
    double want_t = 0, got_t = 0;
    const size_t m = sdf::collect_candidates(index, box, want.data(), scratch.data(), &want_t);
    const size_t n = sdf::collect_candidates(index, box, got.data(), nullptr, &got_t);
    ++checks;
    const bool same = m == n && (m == SIZE_MAX || (std::equal(want.begin(), want.begin() + m, got.begin()) &&
                                                   bits(float(want_t)) == bits(float(got_t))));
    if (!same && failures++ < 20) {
        std::printf("FAILED: choice without scratch, tree %d, half-size %g: %zu vs %zu\n", tree, h, n, m);
    }
    if (m != SIZE_MAX && m > 128) ++wide_choices;
    // With little room: the same choice, or word that it needs more room
    // (never with room for every child).
    for (size_t room : {size_t{4}, size_t{40}, size_t{256}, size_t{index.child_count}}) {
        std::vector<uint32_t> small(room);
        double small_t = 0;
        const size_t k = sdf::collect_within(index, box, small.data(), room, small_t,
                                             std::numeric_limits<double>::infinity());
        outgrown += k == sdf::kMoreThanRoom;
        ++checks;
        if (k == sdf::kMoreThanRoom ? room >= index.child_count
                                    : k != m || (m != SIZE_MAX &&
                                                 (!std::equal(want.begin(), want.begin() + m, small.begin()) ||
                                                  bits(float(want_t)) != bits(float(small_t))))) {
            if (failures++ < 20) {
                std::printf("FAILED: choice with room %zu, tree %d, half-size %g: %zu vs %zu\n",
                            room, tree, h, k, m);
            }
        }
    }
}

/// `many_rows`: also a batch wide enough for blocks to prune (16 rows a
/// child), costly on big random trees, so kept for the sphere clouds.
void compare_tree(const sdf::SdfNode& tree, int number, std::mt19937& rng, bool many_rows) {
    const sdf::Program pruned = sdf::compile(tree, true);
    const sdf::Program plain = sdf::compile(tree, false);
    if (pruned.indexes.empty()) return;
    count_items(pruned);
    const sdf::Evaluator f(pruned), g(plain);
    std::vector<float> pts;
    for (int i = 0; i < 120; ++i) {
        sdf::Vec3 p = query_point(rng, i);
        // Now and then a point well outside, near which many children are
        // about as close: its choice outgrows the room a pruner starts
        // with, and the points after it reuse the room it then makes.
        if (i % 11 == 4) p = {p.x * 4, p.y * 4, p.z * 4};
        pts.insert(pts.end(), {p.x, p.y, p.z});
        expect_same(f(p), g(p), "point", number);
        std::vector<uint32_t> chosen(pruned.indexes[0].child_count);
        std::vector<double> scratch(chosen.size());
        const size_t kept = sdf::collect_candidates(pruned.indexes[0], {{p.x, p.y, p.z}, {p.x, p.y, p.z}},
                                                    chosen.data(), scratch.data());
        double t;
        outgrown_points += sdf::collect_within(pruned.indexes[0], {{p.x, p.y, p.z}, {p.x, p.y, p.z}},
                                               chosen.data(), 256, t,
                                               std::numeric_limits<double>::infinity()) ==
                           sdf::kMoreThanRoom;
        offered += static_cast<long>(chosen.size());
        skipped += kept == SIZE_MAX ? 0 : static_cast<long>(chosen.size() - kept);
        check_without_scratch(pruned.indexes[0], p, static_cast<float>(i % 7) * 0.4f, number);
        if (i % 10 == 0) {
            const sdf::Vec3 a = sdf::normal(f, p, 0.01f), b = sdf::normal(g, p, 0.01f);
            expect_same(a.x, b.x, "normal x", number);
            expect_same(a.y, b.y, "normal y", number);
            expect_same(a.z, b.z, "normal z", number);
            const auto hit = sdf::raymarch_with_normal(f, p, {0.3f, -0.2f, 1.0f}, 64, 20.0f, 1e-4f);
            const auto want = sdf::raymarch_with_normal(g, p, {0.3f, -0.2f, 1.0f}, 64, 20.0f, 1e-4f);
            ++checks;
            if (hit.has_value() != want.has_value()) {
                if (failures++ < 20) std::printf("FAILED: march hit, tree %d\n", number);
            } else if (hit) {
                expect_same(hit->hit.t, want->hit.t, "march t", number);
                expect_same(hit->normal.x, want->normal.x, "march normal", number);
            }
        }
    }
    // Batches choose the top list's children per cell of their grid from
    // 4 rows a child, and per block for wide lists from 16 rows a child.
    // Dense rows, so that cells and blocks are small beside the parts and
    // their choices are tight.
    const bool wide = pruned.widest_index >= 1024;
    // The clouds get rows enough for a grid of 16 cells a side, whose
    // rows are sorted in several groups of cells.
    const size_t many = many_rows ? 130000 : !wide ? 16000 : 0;
    for (size_t i = pts.size() / 3; i < many; ++i) {
        // Odd points (not finite, far out) fewer than 1 in 100: the grid
        // spans the rest.
        const sdf::Vec3 p = query_point(rng, static_cast<int>(i % 8 == 0 ? i : 0));
        const float k = many_rows ? 0.2f : 0.5f;
        pts.insert(pts.end(), {p.x * k, p.y * k, p.z * k});
    }
    check_cell_lists(pruned.indexes[0], pts, number);
    for (size_t rows : {size_t{1}, size_t{7}, size_t{64}, size_t{65}, pts.size() / 3}) {
        const sdf::PointsView view{reinterpret_cast<const char*>(pts.data()), rows, 3,
                                   3 * sizeof(float), sizeof(float)};
        for (sdf::KernelChoice kernel : {sdf::KernelChoice::Baseline, sdf::KernelChoice::Avx2,
                                         sdf::KernelChoice::Avx512}) {
            std::vector<float> got(rows), want(rows);
            sdf::eval_points(pruned, view, got.data(), {}, kernel);
            sdf::eval_points(plain, view, want.data(), {}, kernel);
            for (size_t i = 0; i < rows; ++i) expect_same(got[i], want[i], "batch", number);
        }
    }
}

long gap_checks = 0;  // children left out, checked against the bound a march reuses on
long seeded_checks = 0;  // walks screened with a child's value, checked by folding

/// A list's value from its children's values in order, of the kept ones
/// only, folded as the interpreters fold them.
float fold_kept(const std::vector<float>& values, const std::vector<char>& kept, float start) {
    const sdf::Combine how = start > 0 ? sdf::Combine::Union : sdf::Combine::Intersect;
    float d = start;
    for (size_t c = 0; c < values.size(); ++c) {
        if (kept[c]) d = sdf::combine_distance(how, d, values[c]);
    }
    return d;
}

/// A walk screened with the exact value of one child (the one the first
/// descent picks, or any other: NaN, infinite, tied) keeps children enough
/// for the list's value to the bit; the child the first descent picks is
/// never NaN. `values` are the children's, `starts` their positions.
void check_seeded(const sdf::PruneIndex& index, const std::vector<uint32_t>& starts,
                  const std::vector<float>& values, sdf::Vec3 p, std::mt19937& rng, int tree) {
    const sdf::Region at{{p.x, p.y, p.z}, {p.x, p.y, p.z}};
    sdf::WalkPause pause;
    const uint32_t seed = sdf::seed_walk(index, at, pause);
    if (seed == sdf::kNoChild) return;
    const auto seed_at = static_cast<size_t>(
        std::lower_bound(starts.begin(), starts.end(), seed) - starts.begin());
    if (seed_at == starts.size() || starts[seed_at] != seed || values[seed_at] != values[seed_at]) {
        if (failures++ < 20) std::printf("FAILED: seed %u is no child, or NaN, tree %d\n", seed, tree);
        return;
    }
    const std::vector<char> all(values.size(), 1), none(values.size(), 0);
    const float want = fold_kept(values, all, index.start);
    std::vector<uint32_t> out(index.child_count);
    std::vector<char> kept(values.size());
    const size_t other = std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng);
    for (size_t by : {seed_at, other}) {
        // As the pruner has it: the child's value folded alone, normalised.
        std::vector<char> alone(none);
        alone[by] = 1;
        const float folded = fold_kept(values, alone, index.start);
        const float v = index.start > 0 ? folded : -folded;
        double threshold;
        const size_t n = sdf::collect_within(index, at, out.data(), index.child_count, threshold,
                                             HUGE_VAL, nullptr, nullptr, v == v ? double{v} : HUGE_VAL,
                                             by == seed_at ? &pause : nullptr);
        std::fill(kept.begin(), kept.end(), n == SIZE_MAX);
        for (size_t i = 0; n != SIZE_MAX && i < n; ++i) {
            kept[static_cast<size_t>(std::lower_bound(starts.begin(), starts.end(), out[i]) -
                                     starts.begin())] = 1;
        }
        ++seeded_checks;
        expect_same(fold_kept(values, kept, index.start), want, "seeded walk", tree);
    }
}

long nearest_checks = 0;  // nearest children checked against their own values

/// The child a walk gives as its nearest (what a march bounds its value
/// by nearby) is that child, with its own ball: at p and at points about
/// it, the child's value s v (s = sense) lies within its bounds there.
void check_nearest(const sdf::PruneIndex& index, const std::vector<uint32_t>& starts,
                   const std::vector<sdf::Program>& parts, const sdf::ChildBall& nearest, float sense,
                   sdf::Vec3 p, float reach, std::mt19937& rng, const char* what) {
    if (!(nearest.sigma < std::numeric_limits<double>::infinity())) return;
    const auto at = std::lower_bound(starts.begin(), starts.end(), nearest.pc);
    if (at == starts.end() || *at != nearest.pc) {
        if (failures++ < 20) std::printf("FAILED: %s: nearest child %u is no child\n", what, nearest.pc);
        return;
    }
    const sdf::Program& part = parts[static_cast<size_t>(at - starts.begin())];
    std::uniform_real_distribution<float> u(-reach, reach);
    for (int i = 0; i < 4; ++i) {
        const sdf::Vec3 q = i == 0 ? p : sdf::Vec3{p.x + u(rng), p.y + u(rng), p.z + u(rng)};
        double margin;
        if (!sdf::region_margin(index, {{q.x, q.y, q.z}, {q.x, q.y, q.z}}, margin)) continue;
        const double dx = q.x - nearest.c[0], dy = q.y - nearest.c[1], dz = q.z - nearest.c[2];
        const double d = std::sqrt(dx * dx + dy * dy + dz * dz);
        const double v = sense * sdf::evaluate(part, q);
        ++nearest_checks;
        ++checks;
        if (v == v && !(v >= d - nearest.rho - margin && v <= d + nearest.sigma + margin) &&
            failures++ < 20) {
            std::printf("FAILED: %s: nearest child %u outside its ball: %.9g not in [%.9g, %.9g]\n",
                        what, nearest.pc, v, d - nearest.rho - margin, d + nearest.sigma + margin);
        }
    }
}

long far_points = 0;  // points checked in capsule clouds far from the origin

/// At points of a list (the root, so that its point is the query's), every
/// child a walk leaves out is there at least the bound the walk gives for
/// them: what lets a march reuse the choice nearby. Each child evaluated
/// on its own is the oracle.
void check_gap(const sdf::SdfNode& list, int number, std::mt19937& rng) {
    if (list.kind != sdf::Kind::Union && list.kind != sdf::Kind::Intersect) return;
    const sdf::Program pruned = sdf::compile(list, true);
    if (pruned.indexes.empty() || pruned.indexes[0].child_count != list.list.len) return;
    const sdf::PruneIndex& index = pruned.indexes[0];
    // Children's code is laid out in their order: their start positions,
    // sorted, are the children in order.
    std::vector<uint32_t> starts(index.always);
    for (const sdf::FloatBall& b : sdf::child_balls(index)) starts.push_back(b.pc);
    std::sort(starts.begin(), starts.end());
    if (starts.size() != list.list.len) return;
    std::vector<sdf::Program> parts;
    for (size_t i = 0; i < list.list.len; ++i) parts.push_back(sdf::compile(list.list.items[i], false));
    const float sense = index.start > 0 ? 1.0f : -1.0f;
    std::vector<uint32_t> kept(index.child_count);
    std::vector<float> values(parts.size());
    for (int i = 0; i < 40; ++i) {
        const sdf::Vec3 p = query_point(rng, i);
        for (size_t c = 0; c < parts.size(); ++c) values[c] = sdf::evaluate(parts[c], p);
        check_seeded(index, starts, values, p, rng, number);
        double threshold, gap;
        sdf::ChildBall nearest;
        const size_t n = sdf::collect_within(index, {{p.x, p.y, p.z}, {p.x, p.y, p.z}}, kept.data(),
                                             index.child_count, threshold, std::numeric_limits<double>::infinity(), &gap, &nearest);
        if (n == SIZE_MAX || !(gap > -std::numeric_limits<double>::infinity())) continue;
        check_nearest(index, starts, parts, nearest, sense, p, 0.05f, rng, "nearest");
        for (size_t c = 0; c < starts.size(); ++c) {
            if (std::binary_search(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(n), starts[c])) continue;
            const float v = sense * values[c];
            ++gap_checks;
            ++checks;
            if (v == v && !(double{v} >= gap) && failures++ < 20) {
                std::printf("FAILED: child %zu left out below the gap, tree %d: %.9g < %.9g\n", c,
                            number, v, gap);
            }
        }
    }
}


/// Clouds of capsules about the origin and far from it (leaves of uneven
/// counts): a point's walk screens a leaf's children in float lanes with
/// room for their rounding, which grows with the coordinates. Points on
/// the capsules' end caps (each nearest by a hair) and between them, one
/// by one and along marches, pruned against unpruned; and the children a
/// walk leaves out against the bound it gives for them.
void check_far_clouds(std::mt19937& rng) {
    const auto along = [](sdf::Vec3 a, sdf::Vec3 w, float k) {
        return sdf::Vec3{a.x + w.x * k, a.y + w.y * k, a.z + w.z * k};
    };
    for (const float offset : {0.0f, 3000.0f, -250000.0f}) {
        const float size = 1 + std::fabs(offset) / 1000;
        std::uniform_real_distribution<float> u(-size, size), n(-0.1f * size, 0.1f * size);
        constexpr int kCount = 1237;
        sdf::SdfNode cloud = sdf::make_list(sdf::Kind::Union, kCount);
        std::vector<sdf::Vec3> caps;  // a point on each capsule's end cap
        for (int i = 0; i < kCount; ++i) {
            const sdf::Vec3 a{offset + u(rng), offset + u(rng), offset + u(rng)};
            const sdf::Vec3 w{n(rng), n(rng), n(rng)};
            const float r = 0.02f * size;
            sdf::list_push(cloud, sdf::make_dilate(r, sdf::make_segment(a, along(a, w, 1))));
            const float l = std::sqrt(dot(w, w));
            caps.push_back(along(a, w, -r / l));
        }
        const sdf::Program pruned = sdf::compile(cloud, true), whole = sdf::compile(cloud, false);
        if (pruned.indexes.size() != 1) {
            if (failures++ < 20) std::printf("FAILED: far cloud %g not pruned\n", offset);
            continue;
        }
        const sdf::PruneIndex& index = pruned.indexes[0];
        std::vector<uint32_t> starts(index.always);
        for (const sdf::FloatBall& b : sdf::child_balls(index)) starts.push_back(b.pc);
        std::sort(starts.begin(), starts.end());
        if (std::unique(starts.begin(), starts.end()) != starts.end() || starts.size() != kCount) {
            if (failures++ < 20) std::printf("FAILED: far cloud %g: children packed twice or lost\n", offset);
            continue;
        }
        std::vector<sdf::Program> parts;
        for (int i = 0; i < kCount; ++i) parts.push_back(sdf::compile(cloud.list.items[i], false));
        std::vector<uint32_t> kept(index.child_count);
        for (int i = 0; i < 120; ++i) {
            const sdf::Vec3 p = i % 2 ? caps[rng() % kCount]
                                      : sdf::Vec3{offset + u(rng), offset + u(rng), offset + u(rng)};
            ++far_points;
            expect_same(sdf::evaluate(pruned, p), sdf::evaluate(whole, p), "far cloud point", -1);
            const sdf::Vec3 aim{n(rng), n(rng), n(rng)};
            const sdf::Evaluator fp(pruned), fw(whole);
            const auto hp = sdf::raymarch(fp, along(p, aim, 3), along({0, 0, 0}, aim, -1), 48, 2 * size, 1e-3f * size);
            const auto hw = sdf::raymarch(fw, along(p, aim, 3), along({0, 0, 0}, aim, -1), 48, 2 * size, 1e-3f * size);
            expect_same(hp ? hp->t : -1.0f, hw ? hw->t : -1.0f, "far cloud march", -1);
            double threshold, gap;
            sdf::ChildBall nearest;
            const size_t k = sdf::collect_within(index, {{p.x, p.y, p.z}, {p.x, p.y, p.z}}, kept.data(),
                                                 index.child_count, threshold,
                                                 std::numeric_limits<double>::infinity(), &gap, &nearest);
            if (k == SIZE_MAX) continue;
            check_nearest(index, starts, parts, nearest, 1.0f, p, 0.05f * size, rng, "far cloud nearest");
            for (int c = 0; c < kCount; ++c) {
                if (std::binary_search(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(k), starts[c])) continue;
                const float v = sdf::evaluate(parts[c], p);
                ++checks;
                if (!(double{v} >= gap) && failures++ < 20) {
                    std::printf("FAILED: far cloud %g: child %d left out below the gap: %.9g < %.9g\n",
                                offset, c, v, gap);
                }
            }
        }
        sdf::release_tree(cloud);
    }
}

}  // namespace

/// Returns the number of failures.
int test_pruning() {
    constexpr int kTrees = 20;
    std::mt19937 rng(12);
    check_row_keys(rng);
    check_two_ranks(rng);
    int pruned_trees = 0;
    for (int t = 0; t < kTrees; ++t) {
        TreeMaker maker(1000 + t);
        sdf::SdfNode tree = maker.big_list(0);
        if (t % 3 == 1) tree = sdf::make_translate({0.5f, -0.25f, 1.0f}, tree);
        if (t % 5 == 2) tree = sdf::make_scale(t % 2 ? 1.5f : -0.75f, tree);
        compare_tree(tree, t, rng, false);
        check_gap(tree, t, rng);
        pruned_trees += !sdf::compile(tree, true).indexes.empty();
        sdf::release_tree(tree);
    }
    // Plain clouds of small spheres (twins included), the scenes pruning is
    // for: a bound that is off shows at once.
    for (int t = 0; t < 2; ++t) {
        std::uniform_real_distribution<float> u(-2, 2), r(0.02f, 0.3f);
        sdf::SdfNode cloud = sdf::make_list(sdf::Kind::Union, 1500);
        sdf::Vec3 c{0, 0, 0};
        float radius = 0.1f;
        for (int i = 0; i < 1500; ++i) {
            if (i % 5 != 1) {
                const float x = u(rng), y = u(rng), z = u(rng);
                c = {x, y, z};
                radius = r(rng);
            }
            sdf::list_push(cloud, sdf::make_sphere(c, i % 9 == 2 ? radius + 3e-7f : radius));
        }
        if (t == 1) cloud = sdf::make_rotate({0.0f, 0.6f, 0.0f, 0.8f}, cloud);
        compare_tree(cloud, kTrees + t, rng, true);
        check_gap(cloud, kTrees + t, rng);
        sdf::release_tree(cloud);
    }
    // Shells about one centre among scattered spheres: near every point
    // hundreds of children are about as close, more than an evaluator
    // has room for at first.
    {
        std::uniform_real_distribution<float> u(-2, 2);
        sdf::SdfNode shells = sdf::make_list(sdf::Kind::Union, 1200);
        for (int i = 0; i < 1200; ++i) {
            const sdf::Vec3 c = i % 2 ? sdf::Vec3{0.25f, 0, 0} : sdf::Vec3{u(rng), u(rng), u(rng)};
            sdf::list_push(shells, sdf::make_sphere(c, i % 2 ? 0.5f + static_cast<float>(i % 7) * 1e-7f : 0.05f));
        }
        compare_tree(shells, kTrees + 2, rng, false);
        check_gap(shells, kTrees + 2, rng);
        sdf::release_tree(shells);
    }
    check_far_clouds(rng);
    std::printf("pruning: %d of %d trees pruned, %ld comparisons, %ld children left out of "
                "%ld, %ld cell lists, %ld wide choices, %ld + %ld outgrown, %ld + %ld items, %ld gaps, "
                "%ld nearest, %ld seeded walks, %ld far points, %d failures\n",
                pruned_trees, kTrees, checks, skipped, offered, exact_cells, wide_choices, outgrown,
                outgrown_points, items[0], items[1], gap_checks, nearest_checks, seeded_checks, far_points, failures);
    // The comparisons mean something only if children were left out.
    if (pruned_trees < kTrees / 2 || skipped * 2 < offered || exact_cells < 1000 ||
        wide_choices < 100 || outgrown < 100 || outgrown_points < 50 || gap_checks < 10000 || nearest_checks < 1000 || seeded_checks < 500 || items[0] < 1000 || items[1] < 100) {
        std::printf("FAILED: too few trees pruned or cells listed\n");
        ++failures;
    }
    return failures;
}
