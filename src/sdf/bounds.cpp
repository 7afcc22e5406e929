// Bounds of subtrees, the hierarchy over a union's children, and the query
// that picks the children a region needs.
//
// The rounding argument. Every bound is computed for the float evaluation
// itself: E(P) = A + B * P bounds the difference between the value the
// evaluator computes and the real-number value of the same formulas with
// the same stored float parameters, for every point with |p| <= P. Each
// rule below adds the error of its own operations, with generous constants
// (each float operation errs by at most u = 2^-24 of its result, plus at
// most 2^-149 when the result is subnormal). The claims are only made while
// every magnitude met in the evaluation stays below 2^40 (so nothing
// overflows, even when squared); a query whose region reaches beyond that
// is not pruned. Query arithmetic runs in double, whose own rounding is
// covered by the extra 2^-30 slack added to B and to every radius.
#include "sdf/bounds.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "sdf/vec.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sdf {
namespace {

constexpr double kU = 1.0 / 16777216.0;       // 2^-24, the float unit roundoff
constexpr double kTiny = 1.0 / 1152921504606846976.0;  // 2^-60, covers underflow
constexpr double kSafe = 1099511627776.0;     // 2^40, the largest magnitude claimed
constexpr double kSlack = 1.0 / 1073741824.0; // 2^-30, covers double query arithmetic
constexpr double kInfD = std::numeric_limits<double>::infinity();
constexpr int kMaxDepth = 16;                 // deeper subtrees stay unbounded
// Children a leaf of the hierarchy holds at most: few where most children
// are bare spheres (one word of code each, so finer leaves stay within the
// tree's size, and walk faster), more elsewhere.
constexpr uint32_t kLeafSize = 8;
constexpr uint32_t kWideLeafSize = 8;
constexpr uint32_t kMaxLeafSize = kWideLeafSize;

struct D3 {
    double x, y, z;
};

D3 d3(Vec3 v) { return {v.x, v.y, v.z}; }
double norm(D3 v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }
D3 sub(D3 a, D3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
D3 add(D3 a, D3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
D3 mul(D3 a, double k) { return {a.x * k, a.y * k, a.z * k}; }

bool fine(double v) { return std::isfinite(v) && std::fabs(v) <= kSafe; }
bool fine(Vec3 v) { return fine(v.x) && fine(v.y) && fine(v.z); }

/// What is known of a subtree's value v at points p with |p| <= P, while
/// alpha * P + beta <= 2^40 (every magnitude met is below that):
///   lo_ok: s * v >= |p - c| - rho - E(P) whenever v is not NaN;
///   hi_ok: s * v <= |p - c| + sigma + E(P) whenever v is not NaN;
///   nonan: v is never NaN.
/// E(P) = A + B * P. The magnitudes of s * v are also below alpha P + beta.
struct Bound {
    bool lo_ok = false, hi_ok = false, nonan = false;
    int s = 1;
    D3 c{0, 0, 0};
    double rho = 0, sigma = 0;
    double A = 0, B = 0;
    double alpha = 1, beta = 0;

    bool known() const { return lo_ok || hi_ok; }
};

Bound unknown() { return Bound{}; }

Bound ball(D3 c, double rho, double sigma, bool nonan, double A, double B, double alpha,
           double beta) {
    Bound b;
    b.lo_ok = b.hi_ok = true;
    b.nonan = nonan;
    b.c = c;
    b.rho = rho;
    b.sigma = sigma;
    b.A = A;
    b.B = B;
    b.alpha = alpha;
    b.beta = beta;
    return b;
}

/// |p - c| - r: the norm errs by 3.5u relative plus 2^-73 absolute, the
/// subtraction by u of the result: within 16u (P + |c| + |r|) + 2^-60.
Bound sphere_bound(const SdfNode& n) {
    const Vec3 c = n.sphere.center;
    const float r = n.sphere.radius;
    if (!fine(c) || !fine(r)) return unknown();
    const double m = norm(d3(c)) + std::fabs(r);
    return ball(d3(c), r, -double{r}, true, 16 * kU * m + kTiny, 16 * kU, 2, 2 * m);
}

/// The distance to a + h e with h clamped to [0, 1]. The computed h errs
/// from the closest point's by at most 11u |p - a| / |e| (the dot product
/// by 5u |p - a| |e|, the quotient by 5u of itself, and clamping only
/// brings it closer), which moves the point by 11u |p - a| along the
/// segment; forming that point errs by 4u (|a| + |e|), and the norm as in a
/// sphere. So the value is within 32u (P + |a| + |e|) + 2^-60 of the
/// distance to the segment itself, which lies between |p - m| - |e|/2 and
/// |p - m| (m, the midpoint, is on it). NaN only when e.e is 0.
Bound segment_bound(const SdfNode& n) {
    const Vec3 a = n.segment.a;
    const Vec3 e = n.segment.b - a;  // as the compiled program forms it
    const float ee = dot(e, e);
    if (!fine(a) || !fine(e)) return unknown();
    const double half = norm(d3(e)) / 2;
    const double m = norm(d3(a)) + 2 * half;
    return ball(add(d3(a), mul(d3(e), 0.5)), half, 0.0, ee > 0.0f, 32 * kU * m + kTiny,
                32 * kU, 2, 2 * m);
}

/// p' = p - v, each coordinate within u of its value: the point moves by at
/// most u (P + |v|), and |p'| <= (1 + u)(P + |v|).
Bound translate_bound(Bound b, Vec3 v) {
    if (!fine(v)) return unknown();
    const double nv = norm(d3(v));
    b.c = add(b.c, d3(v));
    b.A = b.A + b.B * (1 + kU) * nv + 2 * kU * nv + kSlack * norm(b.c);
    b.B = b.B * (1 + kU) + 2 * kU;
    b.beta = b.beta + b.alpha * (1 + kU) * nv;
    b.alpha = b.alpha * (1 + kU);
    return b;
}

/// The stored quaternion q, |q|^2 = 1 + eps. The evaluator turns p by the
/// conjugate with the unnormalised formula, which gives |q|^2 R^-1 p up to
/// 42u |p| of rounding; so the child's centre c is at R c in the parent,
/// and the point errs by at most (eps + 64u) P.
Bound rotate_bound(Bound b, Quat q) {
    if (!std::isfinite(q.x) || !std::isfinite(q.y) || !std::isfinite(q.z) ||
        !std::isfinite(q.w)) {
        return unknown();
    }
    const double qx = q.x, qy = q.y, qz = q.z, qw = q.w;
    const double qq = qx * qx + qy * qy + qz * qz + qw * qw;
    const double eps = std::fabs(qq - 1);
    if (!(eps <= 1.0 / 1048576.0)) return unknown();
    const D3 u{qx, qy, qz};
    const D3 c = b.c;
    const double d = u.x * c.x + u.y * c.y + u.z * c.z;
    const double s = qw * qw - (u.x * u.x + u.y * u.y + u.z * u.z);
    const D3 cross{u.y * c.z - u.z * c.y, u.z * c.x - u.x * c.z, u.x * c.y - u.y * c.x};
    b.c = mul(add(add(mul(u, 2 * d), mul(c, s)), mul(cross, 2 * qw)), 1 / qq);
    const double grow = eps + 64 * kU;
    b.A = b.A + kSlack * kU * (norm(c) + 1e-300);
    b.B = b.B * (1 + grow) + grow;
    b.alpha = std::max(b.alpha * (1 + grow), 6.0);
    return b;
}

/// k v(p / k): the point errs by u P / |k|, which moves the cone by u P;
/// the product errs by u of its magnitude. A negative k flips the sign.
Bound scale_bound(Bound b, float k) {
    const double K = std::fabs(double{k});
    if (!std::isfinite(k) || !(K >= 1.0 / kSafe) || !(K <= kSafe)) return unknown();
    b.c = mul(b.c, k);
    b.rho *= K;
    b.sigma *= K;
    if (k < 0) b.s = -b.s;
    b.A = K * b.A + 2 * kU * K * b.beta;
    b.B = (b.B + 2 * kU * b.alpha) * (1 + 2 * kU) + 2 * kU;
    b.alpha = b.alpha * (1 + kU) / K * std::max(1.0, K);
    b.beta = b.beta * std::max(1.0, K);
    return b;
}

/// v - r (r > 0 grows the shape): s v moves by -s r; the sum errs by u of
/// its magnitude, below alpha P + beta + |r|.
Bound offset_bound(Bound b, float r, bool dilate) {
    if (!fine(r)) return unknown();
    const double delta = dilate ? -b.s * double{r} : b.s * double{r};
    b.rho -= delta;
    b.sigma += delta;
    b.beta += std::fabs(r);
    b.A = b.A * (1 + 2 * kU) + 2 * kU * b.beta;
    b.B = b.B * (1 + 2 * kU) + 2 * kU * b.alpha;
    return b;
}

float round_up(double v);

/// What the second pass over a list needs of a child: its centre rounded
/// to float, the rounding taken up by rho and sigma (both rounded up), and
/// which of its claims hold. A list's children are analysed once each, and
/// this is all that is kept of them meanwhile: less than their nodes take.
struct KidBall {
    float c[3];
    float rho;
    float sigma;
    bool lo_ok, hi_ok, nonan;
};

KidBall kid_ball(const Bound& k) {
    KidBall out;
    out.c[0] = static_cast<float>(k.c.x);
    out.c[1] = static_cast<float>(k.c.y);
    out.c[2] = static_cast<float>(k.c.z);
    const double moved = norm(sub(D3{out.c[0], out.c[1], out.c[2]}, k.c)) * (1 + kSlack);
    out.rho = round_up(k.rho + moved);
    out.sigma = round_up(k.sigma + moved);
    out.lo_ok = k.lo_ok;
    out.hi_ok = k.hi_ok;
    out.nonan = k.nonan;
    return out;
}

Bound analyse(const SdfNode& n, int depth);

/// The folds of a list in normalised form: g = min (or max) of the non-NaN
/// child values g_i, +inf (or -inf) when there is none. The result is
/// never NaN. A lower bound of a min needs every child's; its upper bound
/// needs one child that is never NaN; and the other way round for a max.
/// A union is a min for s = +1 and a max for s = -1; an intersection the
/// other way round.
Bound analyse_list(const NodeList& list, bool is_union, int depth) {
    if (list.len == 0) return unknown();
    Bound out;
    int s = 1;
    bool take_min = true;
    bool all_lo = true, all_hi = true, any_lo = false, any_hi = false;
    D3 lo{kInfD, kInfD, kInfD}, hi{-kInfD, -kInfD, -kInfD};
    std::vector<KidBall> kids;  // the children that share the first one's sign
    kids.reserve(list.len);  // exact: growth would need twice as much at once
    for (size_t i = 0; i < list.len; ++i) {
        const Bound k = analyse(list.items[i], depth + 1);
        if (i == 0) {
            s = k.s;
            take_min = is_union == (s > 0);
        }
        const bool same = k.known() && k.s == s;
        all_lo = all_lo && same && k.lo_ok;
        all_hi = all_hi && same && k.hi_ok;
        any_lo = any_lo || (same && k.lo_ok && k.nonan);
        any_hi = any_hi || (same && k.hi_ok && k.nonan);
        if (!same) continue;
        lo = {std::min(lo.x, k.c.x), std::min(lo.y, k.c.y), std::min(lo.z, k.c.z)};
        hi = {std::max(hi.x, k.c.x), std::max(hi.y, k.c.y), std::max(hi.z, k.c.z)};
        out.A = std::max(out.A, k.A);
        out.B = std::max(out.B, k.B);
        out.alpha = std::max(out.alpha, k.alpha);
        out.beta = std::max(out.beta, k.beta);
        kids.push_back(kid_ball(k));
    }
    out.lo_ok = take_min ? all_lo : any_lo;
    out.hi_ok = take_min ? any_hi : all_hi;
    if (!out.known()) return unknown();
    out.s = s;
    out.nonan = true;
    out.c = {(lo.x + hi.x) / 2, (lo.y + hi.y) / 2, (lo.z + hi.z) / 2};
    // A child's cone about c_i holds about c within |c - c_i| more.
    out.rho = take_min ? -kInfD : kInfD;
    out.sigma = take_min ? kInfD : -kInfD;
    for (const KidBall& k : kids) {
        const double shift = norm(sub(out.c, D3{k.c[0], k.c[1], k.c[2]})) * (1 + kSlack);
        if (k.lo_ok && (take_min || k.nonan)) {
            const double r = k.rho + shift;
            out.rho = take_min ? std::max(out.rho, r) : std::min(out.rho, r);
        }
        if (k.hi_ok && (!take_min || k.nonan)) {
            const double r = k.sigma + shift;
            out.sigma = take_min ? std::min(out.sigma, r) : std::max(out.sigma, r);
        }
    }
    return out;
}

/// a with b cut away is da or -db, and never below a non-NaN da: a lower
/// bound of a (s = +1, never NaN) is one of the difference.
Bound difference_bound(const Bound& a) {
    if (!(a.lo_ok && a.nonan && a.s > 0)) return unknown();
    Bound b = a;
    b.hi_ok = false;
    return b;
}

Bound analyse(const SdfNode& n, int depth) {
    if (depth > kMaxDepth) return unknown();
    switch (n.kind) {
        case Kind::Sphere: return sphere_bound(n);
        case Kind::Segment: return segment_bound(n);
        case Kind::Plane:
        case Kind::Ray:
        case Kind::Voxel: return unknown();
        case Kind::Union: return analyse_list(n.list, true, depth);
        case Kind::Intersect: return analyse_list(n.list, false, depth);
        case Kind::Difference: return difference_bound(analyse(*n.difference.a, depth + 1));
        case Kind::Dilate: return offset_bound(analyse(*n.offset.child, depth + 1), n.offset.r, true);
        case Kind::Erode: return offset_bound(analyse(*n.offset.child, depth + 1), n.offset.r, false);
        case Kind::Scale: return scale_bound(analyse(*n.scale.child, depth + 1), n.scale.k);
        case Kind::Translate:
            return translate_bound(analyse(*n.translate.child, depth + 1), n.translate.v);
        case Kind::Rotate: return rotate_bound(analyse(*n.rotate.child, depth + 1), n.rotate.q);
        case Kind::Dual: {
            Bound b = analyse(*n.dual.child, depth + 1);
            b.s = -b.s;
            return b;
        }
    }
    return unknown();
}

/// The float next above a double (or +inf): radii are rounded outward.
float round_up(double v) {
    float f = static_cast<float>(v);
    if (double{f} < v) f = std::nextafter(f, kInfinity);
    return f;
}
float round_down(double v) {
    float f = static_cast<float>(v);
    if (double{f} > v) f = std::nextafter(f, -kInfinity);
    return f;
}

/// The top 16 bits of a float, rounded up: the float they stand for is at
/// least v.
uint16_t half_up(double v) {
    uint32_t b;
    const float f = round_up(v);
    std::memcpy(&b, &f, sizeof b);
    // Dropping bits lowers a positive float and raises a negative one.
    if ((b & 0xFFFFu) != 0 && f > 0) b += 0x10000u;
    return static_cast<uint16_t>(b >> 16);
}

double from_half(uint16_t h) {
    const uint32_t b = uint32_t{h} << 16;
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

/// An indexed child before packing: float centre, radius and offset
/// rounded up to 16 bits (as they are packed: the hierarchy is built with
/// the bounds it keeps).
struct WideChild {
    float c[3];
    uint32_t pc;
    uint16_t rho;
    uint16_t sigma;
};

/// The record of an indexed child, or false when its numbers do not fit.
bool make_record(const Bound& b, uint32_t ordinal, WideChild& out) {
    const float c[3] = {static_cast<float>(b.c.x), static_cast<float>(b.c.y),
                        static_cast<float>(b.c.z)};
    const D3 moved = sub(D3{c[0], c[1], c[2]}, b.c);
    const double slack = b.A + norm(moved) + kSlack * (norm(b.c) + std::fabs(b.rho)) + kTiny;
    out.c[0] = c[0];
    out.c[1] = c[1];
    out.c[2] = c[2];
    out.rho = half_up(b.rho + slack);
    out.sigma = half_up(kInfD);
    if (b.hi_ok && b.nonan) {
        out.sigma = half_up(b.sigma + slack + kSlack * std::fabs(b.sigma));
    }
    out.pc = ordinal;
    return std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]) &&
           std::isfinite(from_half(out.rho)) && !std::isnan(from_half(out.sigma));
}

/// Where a leaf's packed centres lie: its box's low corner and 1/255 of
/// its extent. The builder and the query unpack through the same frame.
struct LeafFrame {
    double lo[3];
    double step[3];

    explicit LeafFrame(const PruneNode& leaf) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = leaf.lo[a];
            step[a] = (double{leaf.hi[a]} - lo[a]) / 255;
        }
    }
    double at(int a, uint8_t q) const { return lo[a] + q * step[a]; }
};

inline ChildBall unpack(const LeafFrame& frame, const PruneChild& k) {
    return {{frame.at(0, k.q[0]), frame.at(1, k.q[1]), frame.at(2, k.q[2])},
            from_half(k.rho), from_half(k.sigma), k.pc};
}

/// Packs a child into its leaf: the packed centre moves by e, which the
/// radius and the offset take up.
PruneChild pack(const PruneNode& leaf, const WideChild& w) {
    PruneChild k{};
    k.pc = w.pc;
    const LeafFrame frame(leaf);
    double moved2 = 0, far = 0;
    for (int a = 0; a < 3; ++a) {
        const double extent = double{leaf.hi[a]} - leaf.lo[a];
        const double t = extent > 0 ? (w.c[a] - double{leaf.lo[a]}) / extent * 255 : 0.0;
        k.q[a] = static_cast<uint8_t>(std::min(255.0, std::max(0.0, std::round(t))));
        const double g = frame.at(a, k.q[a]) - w.c[a];
        moved2 += g * g;
        far += std::fabs(w.c[a]) + std::fabs(leaf.lo[a]) + std::fabs(leaf.hi[a]);
    }
    const double e = std::sqrt(moved2) * (1 + kSlack) + kSlack * far + kTiny;
    if (!std::isfinite(e)) {  // a box too large to place the centre in: never skipped
        k.rho = k.sigma = half_up(kInfD);
        return k;
    }
    const double sigma = from_half(w.sigma);
    k.rho = half_up(from_half(w.rho) + e);
    k.sigma = sigma < kInfD ? half_up(sigma + e) : half_up(kInfD);
    return k;
}

/// Builds a hierarchy over wide records in storage from malloc, and packs
/// the children over them in that storage: leaves are filled in ascending
/// order, and the packed leaf [first, first + count) (the bytes from 12
/// first to 12 (first + count)) covers only records before first + count
/// (20 bytes at 20 i), which are read already.
class Builder {
  public:
    Builder(PruneIndex& index, WideChild* kids, uint32_t count, uint32_t leaf)
        : index_(index), kids_(kids), count_(count), leaf_(leaf) {}

    void build() {
        index_.nodes.reserve(node_count(count_));
        index_.nodes.emplace_back();
        fill(0, 0, count_);
    }

  private:
    /// Nodes of a hierarchy over `count` children, split as fill splits
    /// them: reserved exactly, since growing would hold two copies at once.
    size_t node_count(uint32_t count) const {
        if (count <= leaf_) return 1;
        return 1 + node_count(count / 2) + node_count(count - count / 2);
    }

    /// Node `at` holds children [first, first + count).
    void fill(uint32_t at, uint32_t first, uint32_t count) {
        WideChild* kids = kids_;
        double lo[3] = {kInfD, kInfD, kInfD}, hi[3] = {-kInfD, -kInfD, -kInfD};
        double clo[3] = {kInfD, kInfD, kInfD}, chi[3] = {-kInfD, -kInfD, -kInfD};
        float rho_max = -kInfinity;
        for (uint32_t i = first; i < first + count; ++i) {
            const double rho = from_half(kids[i].rho);
            const double r = std::max(0.0, rho);
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], kids[i].c[a] - r);
                hi[a] = std::max(hi[a], kids[i].c[a] + r);
                clo[a] = std::min(clo[a], double{kids[i].c[a]});
                chi[a] = std::max(chi[a], double{kids[i].c[a]});
            }
            rho_max = std::max(rho_max, static_cast<float>(rho));
        }
        PruneNode node{};
        for (int a = 0; a < 3; ++a) {
            node.lo[a] = round_down(lo[a]);
            node.hi[a] = round_up(hi[a]);
        }
        node.rho_max = rho_max;
        if (count <= leaf_) {
            node.first = first;
            node.count = count;
            index_.nodes[at] = node;
            // Every record of the leaf is read before its packed bytes
            // (which end before its last record does) are written.
            PruneChild packed[kMaxLeafSize];
            for (uint32_t i = 0; i < count; ++i) packed[i] = pack(node, kids[first + i]);
            unsigned char* bytes = reinterpret_cast<unsigned char*>(kids) + 12 * size_t{first};
            for (uint32_t i = 0; i < count; ++i) PackedChildren::put(bytes, count, i, packed[i]);
            return;
        }
        int axis = 0;
        for (int a = 1; a < 3; ++a) {
            if (chi[a] - clo[a] > chi[axis] - clo[axis]) axis = a;
        }
        const uint32_t half = count / 2;
        std::nth_element(kids + first, kids + first + half, kids + first + count,
                         [axis](const WideChild& x, const WideChild& y) {
                             return x.c[axis] < y.c[axis];
                         });
        const uint32_t left = static_cast<uint32_t>(index_.nodes.size());
        index_.nodes.emplace_back();
        index_.nodes.emplace_back();
        node.first = left;
        node.count = 0;
        index_.nodes[at] = node;
        fill(left, first, half);
        fill(left + 1, first + half, count - half);
    }

    PruneIndex& index_;
    WideChild* kids_;
    uint32_t count_;
    uint32_t leaf_;
};
static_assert(sizeof(PruneChild) <= sizeof(WideChild),
              "a packed child never reaches past its wide record's place");

/// Storage from malloc, freed unless released.
struct MallocBuffer {
    void* p;
    ~MallocBuffer() { std::free(p); }
    void* release() { return std::exchange(p, nullptr); }
};

}  // namespace

PackedChildren::PackedChildren(void* storage, size_t count)
    : data_(static_cast<unsigned char*>(storage)), size_(count) {
    std::memset(data_ + 12 * count, 0, kPad);
    // Shrinking in place: a failure leaves the larger block, still valid.
    if (void* smaller = std::realloc(storage, 12 * count + kPad)) {
        data_ = static_cast<unsigned char*>(smaller);
    }
}

namespace {

/// Squared distance from the region to the point c.
inline double point_gap2(const double* rlo, const double* rhi, const double* c) {
    double sum = 0;
    for (int a = 0; a < 3; ++a) {
        const double below = c[a] - rhi[a], above = rlo[a] - c[a];
        const double g = below > above ? below : above;
        sum += g > 0 ? g * g : 0.0;
    }
    return sum;
}

/// Squared distance from the region to a box (0 when they meet), in float:
/// the hierarchy's nodes are only skipped on it, so it need not be exact,
/// only never above the true value by more than kNodeShrink takes back.
/// Each of its five roundings (a difference, a square, two sums, all of
/// non-negative terms) errs by at most 2^-24 of its result, or by 2^-149
/// where the result is subnormal. A box far out (a huge radius) may make it
/// overflow to +inf, which is then not taken for a distance.
#if defined(__GNUC__) || defined(__clang__)
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));
#if defined(__clang__)
#define SDF_SHUFFLE(a, b, i, j, k, l) __builtin_shufflevector(a, b, i, j, k, l)
#else
#define SDF_SHUFFLE(a, b, i, j, k, l) __builtin_shuffle(a, b, I4{i, j, k, l})
#endif

/// A region as four lanes: x, y, z and a fourth whose gap is never positive
/// (lo = -inf, hi = +inf).
struct Lanes4 {
    F4 lo, hi;
};
inline Lanes4 lanes4(const float* lo, const float* hi) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    return {F4{lo[0], lo[1], lo[2], -inf}, F4{hi[0], hi[1], hi[2], inf}};
}

/// The node's box read as two sets of four lanes: lo[0..2] then hi[0], and
/// hi[0..2] then rho_max; the fourth lanes meet the region's infinite
/// fourth lanes and give no gap.
inline float box_gap2(const Lanes4& r, const PruneNode& n) {
    static_assert(offsetof(PruneNode, hi) == offsetof(PruneNode, lo) + 12 &&
                      offsetof(PruneNode, rho_max) == offsetof(PruneNode, hi) + 12,
                  "a node's box and rho_max are read as lanes");
    F4 lo, hi;
    std::memcpy(&lo, n.lo, sizeof lo);
    std::memcpy(&hi, n.hi, sizeof hi);
    const F4 below = lo - r.hi, above = r.lo - hi;
    const F4 zero{0, 0, 0, 0};
    F4 g = below > above ? below : above;  // maxps
    g = g > zero ? g : zero;
    const F4 g2 = g * g;
    return (g2[0] + g2[1]) + g2[2];
}
#else
struct Lanes4 {
    float lo[3], hi[3];
};
inline Lanes4 lanes4(const float* lo, const float* hi) {
    return {{lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}};
}
inline float box_gap2(const Lanes4& r, const PruneNode& n) {
    float sum = 0;
    for (int a = 0; a < 3; ++a) {
        const float below = n.lo[a] - r.hi[a], above = r.lo[a] - n.hi[a];
        const float g = below > above ? below : above;
        sum += g > 0 ? g * g : 0.0f;
    }
    return sum;
}
#endif

/// box_gap2 times kNodeShrink, less kNodeTiny (more than five subnormal
/// roundings), is at most the true squared distance.
constexpr double kNodeShrink = 1 - 1.0 / 1048576;  // 1 - 2^-20
constexpr double kNodeTiny = 1.0 / 1329227995784915872903807060280344576.0;  // 2^-120

/// Squared distance from the region to its farthest point from c.
inline double far2(const double* rlo, const double* rhi, const double* c) {
    double sum = 0;
    for (int a = 0; a < 3; ++a) {
        const double g = std::max(std::fabs(rlo[a] - c[a]), std::fabs(rhi[a] - c[a]));
        sum += g * g;
    }
    return sum;
}

void sort_small(uint32_t* v, size_t n) {
    if (n > 24) return std::sort(v, v + n);
    for (size_t i = 1; i < n; ++i) {
        const uint32_t x = v[i];
        size_t j = i;
        for (; j > 0 && v[j - 1] > x; --j) v[j] = v[j - 1];
        v[j] = x;
    }
}

}  // namespace

size_t PruneIndex::bytes() const {
    return children.size() * sizeof(PruneChild) + PackedChildren::kPad + nodes.capacity() * sizeof(PruneNode) +
           always.capacity() * sizeof(uint32_t) + sizeof(PruneIndex);
}

namespace {

/// Whether most children's upper bounds are well above their lower
/// bounds (rho + sigma, the band's width less the margins, above a
/// quarter of rho): a capsule's, as wide as half its segment, is; a
/// sphere's, its value to the rounding, is not. Only there does a child's
/// exact value screen much better than the least upper bound.
bool mostly_loose(const PruneIndex& index) {
    size_t loose = 0;
    for (const PruneNode& n : index.nodes) {
        const unsigned char* leaf = index.children.leaf_bytes(n.first);
        for (uint32_t j = 0; j < n.count; ++j) {
            const PruneChild k = PackedChildren::get(leaf, n.count, j);
            const double rho = from_half(k.rho), sigma = from_half(k.sigma);
            loose += sigma < kInfD && rho + sigma > rho / 4;
        }
    }
    return 2 * loose > index.children.size();
}

}  // namespace

bool build_prune_index(const SdfNode& list_node, PruneIndex& out) {
    const bool is_union = list_node.kind == Kind::Union;
    const NodeList& list = list_node.list;
    out = PruneIndex{};
    out.child_count = static_cast<uint32_t>(list.len);
    out.start = is_union ? kInfinity
                         : -kInfinity;
    // Children whose cone opens upward in the fold's direction are indexed.
    const int want = is_union ? 1 : -1;
    double max_norm = kInfD, slope = 0;
    MallocBuffer storage{std::malloc(list.len * sizeof(WideChild) + PackedChildren::kPad)};
    if (!storage.p) throw std::bad_alloc();
    WideChild* wide = static_cast<WideChild*>(storage.p);
    uint32_t count = 0;
    size_t spheres = 0;
    for (size_t i = 0; i < list.len; ++i) {
        spheres += list.items[i].kind == Kind::Sphere;
        const Bound b = analyse(list.items[i], 0);
        WideChild record;
        const bool indexed = b.lo_ok && b.s == want && b.alpha > 0 && b.beta < kSafe &&
                             make_record(b, static_cast<uint32_t>(i), record);
        if (!indexed) {
            out.always.push_back(static_cast<uint32_t>(i));
            continue;
        }
        wide[count++] = record;
        max_norm = std::min(max_norm, (kSafe - b.beta) / b.alpha);
        slope = std::max(slope, b.B);
    }
    if (count < kMinIndexedChildren) {
        out = PruneIndex{};
        return false;
    }
    out.always.shrink_to_fit();
    out.slope = slope + kSlack;
    out.max_norm = max_norm;
    Builder(out, wide, count, spheres * 4 >= list.len * 3 ? kLeafSize : kWideLeafSize).build();
    out.children = PackedChildren(storage.release(), count);
    out.loose = mostly_loose(out);
    return true;
}

namespace {

/// A region in the query's terms: its box in double, and the rounding
/// margin B * P of its largest norm P.
struct Query {
    double rlo[3], rhi[3];
    Lanes4 lanes;
    double margin;
    double norm;  // P
};

/// False when the region cannot be pruned (not finite, or too far out).
bool prepare(const PruneIndex& index, const Region& region, Query& q) {
    double far = 0;
    for (int a = 0; a < 3; ++a) {
        q.rlo[a] = region.lo[a];
        q.rhi[a] = region.hi[a];
        const double m = std::max(std::fabs(q.rlo[a]), std::fabs(q.rhi[a]));
        far += m * m;
    }
    q.lanes = lanes4(region.lo, region.hi);
    const double P = std::sqrt(far);  // NaN or inf when the region is not finite
    q.margin = index.slope * P;
    q.norm = P;
    return P <= index.max_norm;
}

/// Squared distance from the point p to c.
inline double dist2(const double* p, const double* c) {
    const double x = p[0] - c[0], y = p[1] - c[1], z = p[2] - c[2];
    return x * x + y * y + z * z;
}

/// A child's bounds over the region when its lower bound, lo = |R - c| -
/// rho - margin, is not above T: lo and its upper bound hi (+inf when it
/// has none). The lower bound is first compared without a root. Over one
/// point (Point) the nearest and farthest distances are the same one.
template <bool Point>
inline bool child_bounds(const Query& q, const ChildBall& c, double T, double& lo, double& hi) {
    const double reach = T + c.rho + q.margin;
    const double g2 = Point ? dist2(q.rlo, c.c) : point_gap2(q.rlo, q.rhi, c.c);
    if (reach >= 0 && g2 > reach * reach) return false;
    const double near = std::sqrt(g2);
    lo = near - c.rho - q.margin;
    if (!(lo <= T)) return false;
    if (!(c.sigma < kInfD)) {
        hi = kInfD;
    } else {
        hi = (Point ? near : std::sqrt(far2(q.rlo, q.rhi, c.c))) + c.sigma + q.margin;
    }
    return true;
}

/// A node's key, from which one float comparison tells whether the node
/// can be skipped: box_gap2 where the region is outside its box (> 0), and
/// -max(rho_max, 0) (<= 0) where it meets it. A box far out whose
/// box_gap2 overflows (or is NaN) gets -inf: never skipped.
inline float node_key(const Lanes4& r, const PruneNode& n) {
    const float g2 = box_gap2(r, n);
    const float inside = n.rho_max > 0 ? -n.rho_max : 0.0f;
    const float key = g2 > 0 ? g2 : inside;
    return g2 < kInfinity ? key : -kInfinity;
}

/// The keys of two sibling nodes (stored side by side), worked out
/// together: the same operations as node_key on two lanes at once.
#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
// In SSE lanes: maxps(a, b) is a > b ? a : b, NaN included, and the
// selections are masks, so every key has the bits of the lanes below.
inline void sibling_keys(const Lanes4& r, const PruneNode* pair, float& ka, float& kb) {
    const __m128 la = _mm_loadu_ps(pair[0].lo), ha = _mm_loadu_ps(pair[0].hi);
    const __m128 lb = _mm_loadu_ps(pair[1].lo), hb = _mm_loadu_ps(pair[1].hi);
    const __m128 rlo = static_cast<__m128>(r.lo), rhi = static_cast<__m128>(r.hi);
    const __m128 zero = _mm_setzero_ps();
    __m128 ga = _mm_max_ps(_mm_sub_ps(la, rhi), _mm_sub_ps(rlo, ha));
    __m128 gb = _mm_max_ps(_mm_sub_ps(lb, rhi), _mm_sub_ps(rlo, hb));
    ga = _mm_max_ps(ga, zero);
    gb = _mm_max_ps(gb, zero);
    ga = _mm_mul_ps(ga, ga);
    gb = _mm_mul_ps(gb, gb);
    // Lanes 0 and 1 hold a's and b's: (x^2 + y^2) + z^2, as in box_gap2.
    const __m128 xy = _mm_unpacklo_ps(ga, gb), z = _mm_unpackhi_ps(ga, gb);
    const __m128 g2 = _mm_add_ps(_mm_add_ps(xy, _mm_movehl_ps(xy, xy)), z);
    const __m128 rho = _mm_movehl_ps(zero, _mm_unpackhi_ps(ha, hb));  // rho_max of a and b
    const __m128 inside = _mm_sub_ps(zero, _mm_max_ps(rho, zero));
    const __m128 out = _mm_cmpgt_ps(g2, zero);
    const __m128 key = _mm_or_ps(_mm_and_ps(out, g2), _mm_andnot_ps(out, inside));
    const __m128 finite = _mm_cmplt_ps(g2, _mm_set1_ps(kInfinity));
    const __m128 safe = _mm_or_ps(_mm_and_ps(finite, key), _mm_andnot_ps(finite, _mm_set1_ps(-kInfinity)));
    float k[4];
    _mm_storeu_ps(k, safe);
    ka = k[0];
    kb = k[1];
}
#elif defined(__GNUC__) || defined(__clang__)
inline void sibling_keys(const Lanes4& r, const PruneNode* pair, float& ka, float& kb) {
    F4 la, ha, lb, hb;
    std::memcpy(&la, pair[0].lo, sizeof la);
    std::memcpy(&ha, pair[0].hi, sizeof ha);
    std::memcpy(&lb, pair[1].lo, sizeof lb);
    std::memcpy(&hb, pair[1].hi, sizeof hb);
    const F4 zero{0, 0, 0, 0};
    const F4 belowa = la - r.hi, abovea = r.lo - ha, belowb = lb - r.hi, aboveb = r.lo - hb;
    F4 ga = belowa > abovea ? belowa : abovea, gb = belowb > aboveb ? belowb : aboveb;
    ga = ga > zero ? ga : zero;
    gb = gb > zero ? gb : zero;
    ga *= ga;
    gb *= gb;
    // Lanes 0 and 1 hold a's and b's: (x^2 + y^2) + z^2, as in box_gap2.
    const F4 xy = SDF_SHUFFLE(ga, gb, 0, 4, 1, 5), z = SDF_SHUFFLE(ga, gb, 2, 6, 3, 7);
    const F4 g2 = (xy + SDF_SHUFFLE(xy, xy, 2, 3, 2, 3)) + z;
    const F4 rho = SDF_SHUFFLE(ha, hb, 3, 7, 3, 7);
    const F4 inside = rho > zero ? -rho : zero;
    const F4 key = g2 > zero ? g2 : inside;
    const F4 inf{kInfinity, kInfinity, kInfinity, kInfinity};
    const F4 safe = g2 < inf ? key : -inf;
    ka = safe[0];
    kb = safe[1];
}
#else
inline void sibling_keys(const Lanes4& r, const PruneNode* pair, float& ka, float& kb) {
    ka = node_key(r, pair[0]);
    kb = node_key(r, pair[1]);
}
#endif

/// When a node can be skipped under the threshold T: when its key is above
/// `key`. With reach = T + margin >= 0, that is a box_gap2 above (reach^2 +
/// kNodeTiny) / kNodeShrink, so that the true squared distance is above
/// reach^2 (and keys <= 0 never are); with reach < 0, a positive key or a
/// rho_max below -reach (then -rho_max - margin > T). The limits are
/// rounded so that the float comparison errs towards keeping the node.
struct NodeLimits {
    float key;
    NodeLimits(double T, double margin) {
        const double reach = T + margin;
        key = reach >= 0 ? float_at_least((reach * reach + kNodeTiny) / kNodeShrink)
                         : float_at_least(reach);
    }
    /// A float at least v (v >= -2^127, not NaN), without branches: v is
    /// first raised by more than rounding to float can take back.
    static float float_at_least(double v) {
        constexpr double kUp = 1.0 / 1048576, kTinyUp = 1.0 / 1329227995784915872903807060280344576.0;
        return static_cast<float>(v + std::fabs(v) * kUp + kTinyUp);  // 2^-20, 2^-120
    }
};

/// Whether a child may have its lower bound over the region not above T:
/// the rootless first half of child_bounds, without branches.
template <bool Point>
inline bool may_keep(const Query& q, const ChildBall& c, double T) {
    const double reach = T + c.rho + q.margin;
    const double g2 = Point ? dist2(q.rlo, c.c) : point_gap2(q.rlo, q.rhi, c.c);
    return !((reach >= 0) & (g2 > reach * reach));
}

/// A child's lower bound over the region.
template <bool Point>
inline double lower_bound(const Query& q, const ChildBall& c) {
    const double g2 = Point ? dist2(q.rlo, c.c) : point_gap2(q.rlo, q.rhi, c.c);
    return std::sqrt(g2) - c.rho - q.margin;
}

/// What a walk left out, for a point's choice to be reused nearby: the
/// least key of the nodes it skipped and the least lower bound of the
/// children it looked at and dropped.
struct Excluded {
    float key = kInfinity;
    double lo = kInfD;
    ChildBall nearest;  // the child whose upper bound is the threshold, if any
    bool has_nearest = false;

    /// A lower bound of every child left out (none: +inf).
    double least(double margin) const {
        double node = kInfD;
        if (key <= 0) {
            node = double{key} - margin;
        } else if (key < kInfinity) {
            // At most the true gap (key is box_gap2, see kNodeShrink).
            node = std::sqrt(std::max(0.0, double{key} * kNodeShrink - kNodeTiny)) * (1 - kSlack) - margin;
        }
        return std::min(node, lo);
    }
};

/// Asks the cache for what a node leads to: its children's boxes, or its
/// leaf's children (a hint, without effect on results).
inline void prefetch_below(const PruneNode* nodes, const unsigned char* kids, const PruneNode& n) {
#if defined(__GNUC__) || defined(__clang__)
    const char* at = n.count == 0 ? reinterpret_cast<const char*>(nodes + n.first)
                                  : reinterpret_cast<const char*>(kids + 12 * size_t{n.first});
    __builtin_prefetch(at);
    __builtin_prefetch(at + 64);
#else
    (void)nodes, (void)kids, (void)n;
#endif
}

/// The lowest set bit of v (not 0).
inline uint32_t lowest_bit(unsigned v) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<uint32_t>(__builtin_ctz(v));
#else
    uint32_t j = 0;
    while (!(v >> j & 1)) ++j;
    return j;
#endif
}

/// The room a point's leaf lanes leave for their rounding (see LeafLanes):
/// 2^-18 of L = |p|_1 + 2 (the 1-norm of the root box's farthest corner),
/// which bounds |p|_1 + |lo|_1 + |hi|_1 for every leaf box, plus 2^-60.
inline double lane_room(const PruneIndex& index, const double* p) {
    const PruneNode& root = index.nodes[0];
    double l1 = 0;
    for (int a = 0; a < 3; ++a) {
        l1 += std::fabs(p[a]) +
              2 * std::max(std::fabs(double{root.lo[a]}), std::fabs(double{root.hi[a]}));
    }
    return l1 * (1.0 / 262144) + 1.0 / 1152921504606846976.0;  // 2^-18, 2^-60
}

/// The float the lanes of a leaf are screened with under threshold T: at
/// least T + margin + room (T + margin raised by 2^-40 of its parts for
/// its own rounding in double, as T may be large and the sum small).
inline float lane_reach(double T, double margin, double room) {
    return NodeLimits::float_at_least(T + margin + room +
                                      (std::fabs(T) + margin) * (1.0 / 1099511627776.0));
}

/// A leaf's children screened side by side at one point, in float: the
/// leaf's fields read as lanes, four at a time (lanes past the leaf's
/// count read the next leaf's bytes, or the pad, and are masked off).
///
/// The rounding. A lane's centre c' = lo + q * step', with step' the
/// leaf's extent times 1/255 in float, is within 5u (|lo| + |hi|) of the
/// centre the double frame gives on each axis (u = 2^-24); the difference
/// d' = c' - p errs by u of itself more. So |d'| is within 10u L of the
/// distance |p - c| to that centre (L = |p|_1 + |lo|_1 + |hi|_1), and the
/// squared sum g2' within 3u of |d'|^2, plus 2^-149 a square where it
/// underflows. The screen works with room = 2^-18 L + 2^-60 (lane_room)
/// above that.
struct LeafLanes {
    static constexpr uint32_t kGroups = kMaxLeafSize / 4;
    uint32_t groups;  // of four lanes, enough for the leaf's count
#if defined(__SSE2__)
    __m128 g2[kGroups];   // squared distance from the point to each centre
    __m128 rho[kGroups];  // each child's rho

    /// The lanes of the leaf `n` (bytes `leaf`) at the query's point.
    LeafLanes(const Query& q, const PruneNode& n, const unsigned char* leaf) {
        const uint32_t count = n.count;
        groups = std::min((count + 3) / 4, kGroups);  // a leaf holds at most kMaxLeafSize
        const __m128i zero = _mm_setzero_si128();
        for (int a = 0; a < 3; ++a) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(leaf + (4 + a) * count));
            const __m128 step = _mm_set1_ps((n.hi[a] - n.lo[a]) * (1.0f / 255));
            const __m128 lo = _mm_set1_ps(n.lo[a]);
            const __m128 p = _mm_set1_ps(static_cast<float>(q.rlo[a]));
            const __m128i b16[2] = {_mm_unpacklo_epi8(b, zero), _mm_unpackhi_epi8(b, zero)};
            for (uint32_t h = 0; h < groups && h < kGroups; ++h) {
                const __m128i w = b16[h / 2];
                const __m128 qa = _mm_cvtepi32_ps(h % 2 == 0 ? _mm_unpacklo_epi16(w, zero)
                                                             : _mm_unpackhi_epi16(w, zero));
                const __m128 d = _mm_sub_ps(_mm_add_ps(lo, _mm_mul_ps(qa, step)), p);
                const __m128 d2 = _mm_mul_ps(d, d);
                g2[h] = a == 0 ? d2 : _mm_add_ps(g2[h], d2);
            }
        }
        halves(leaf + 8 * count, rho);
    }

    /// Bit j set for each lane j < count whose child may have its lower
    /// bound not above T: whose g2' is not above (R' * R') * (1 + 2^-18)
    /// (as rounded), with R' = reach + rho, reach from lane_reach(T), or
    /// R' < 0, or R' NaN. A child dropped has |d'| > R', so its distance
    /// is above T + margin + rho + room - 10u L: it is certainly out, as
    /// may_keep would find.
    unsigned keep(float reach, uint32_t count) const {
        const __m128 tm = _mm_set1_ps(reach);
        const __m128 grow = _mm_set1_ps(1.0f + 1.0f / 262144);
        unsigned drop = 0;
        for (uint32_t h = 0; h < groups && h < kGroups; ++h) {
            const __m128 r = _mm_add_ps(rho[h], tm);
            const __m128 out = _mm_and_ps(_mm_cmpge_ps(r, _mm_setzero_ps()),
                                          _mm_cmpgt_ps(g2[h], _mm_mul_ps(_mm_mul_ps(r, r), grow)));
            drop |= static_cast<unsigned>(_mm_movemask_ps(out)) << (4 * h);
        }
        return ~drop & ((1u << count) - 1);
    }

    /// A lower bound of the children of the lanes in `lanes`: the least
    /// of sqrt(g2') - rho there (+inf for none), as a double, less its
    /// rounding. sqrt(g2') is within 4u L of |d'|, above its 10u L, and the
    /// difference errs by u of itself: 2^-23 of it and room take that up.
    ///
    /// The least is taken across the lanes at once: minps(t, m) is t < m ?
    /// t : m, which passes over a NaN t as least_of does, and keeps every
    /// lane of m a number (it starts at +inf, as do the lanes not in
    /// `lanes`). Only which of -0 and +0 is kept may differ from least_of's
    /// order, and the bound does not: from_least subtracts room > 0 from
    /// either.
    double least_lower(const Query& q, double room, unsigned lanes) const {
        const __m128 inf = _mm_set1_ps(kInfinity);
        const __m128i bit = _mm_set_epi32(8, 4, 2, 1);
        __m128 m = inf;
        for (uint32_t h = 0; h < groups && h < kGroups; ++h) {
            const __m128i mine = _mm_set1_epi32(static_cast<int>(lanes >> (4 * h) & 15u));
            const __m128 in = _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(mine, bit), bit));
            const __m128 t = _mm_sub_ps(_mm_sqrt_ps(g2[h]), rho[h]);
            m = _mm_min_ps(_mm_or_ps(_mm_and_ps(in, t), _mm_andnot_ps(in, inf)), m);
        }
        m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
        return from_least(q, room, _mm_cvtss_f32(m));
    }

    /// The lane of the least sqrt(g2') + sigma below count (sigma read
    /// from the leaf), or count when none is finite: the likely nearest
    /// child (a choice only: any child would do).
    ///
    /// Without branches: the least across the lanes (minps(t, m) is t < m ?
    /// t : m, passing over NaN, with the lanes from count on at +inf), then
    /// the first lane equal to it, which is the one least_at keeps (those
    /// before it are all above it, or NaN).
    uint32_t least_upper(const unsigned char* leaf, uint32_t count) const {
        __m128 sigma[kGroups];
        halves(leaf + 10 * count, sigma);
        const __m128 inf = _mm_set1_ps(kInfinity);
        const __m128i ends = _mm_set1_epi32(static_cast<int>(count));
        __m128 hi[kGroups];
        __m128 m = inf;
        for (uint32_t h = 0; h < groups && h < kGroups; ++h) {
            const __m128i lane = _mm_set_epi32(4 * h + 3, 4 * h + 2, 4 * h + 1, 4 * h);
            const __m128 in = _mm_castsi128_ps(_mm_cmplt_epi32(lane, ends));
            const __m128 t = _mm_add_ps(_mm_sqrt_ps(g2[h]), sigma[h]);
            hi[h] = _mm_or_ps(_mm_and_ps(in, t), _mm_andnot_ps(in, inf));
            m = _mm_min_ps(hi[h], m);
        }
        // Every lane of m the least of them all.
        m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
        if (!(_mm_cvtss_f32(m) < kInfinity)) return count;
        unsigned equal = 0;
        for (uint32_t h = 0; h < groups && h < kGroups; ++h) {
            equal |= static_cast<unsigned>(_mm_movemask_ps(_mm_cmpeq_ps(hi[h], m))) << (4 * h);
        }
        return lowest_bit(equal);  // not 0: m is one of the lanes
    }

    /// sqrt(g2'), rho and sigma of every lane. sqrt(g2') is within 13u L
    /// + 2^-74 of the distance from the point to the centre the double
    /// frame gives (10u L from |d'|, 1.5u of its square's rounding and u
    /// of its own, and the underflow of the squares): less than the room.
    void lane_bounds(const unsigned char* leaf, uint32_t count, float* root, float* radius,
                     float* offset) const {
        __m128 sigma[kGroups];
        halves(leaf + 10 * count, sigma);
        for (uint32_t h = 0; h < groups && h < kGroups; ++h) {
            _mm_storeu_ps(root + 4 * h, _mm_sqrt_ps(g2[h]));
            _mm_storeu_ps(radius + 4 * h, rho[h]);
            _mm_storeu_ps(offset + 4 * h, sigma[h]);
        }
    }

  private:
    /// A field of halves (the top 16 bits of floats) as float lanes.
    void halves(const unsigned char* field, __m128* out) const {
        const __m128i zero = _mm_setzero_si128();
        for (uint32_t h = 0; h < groups && h < kGroups; h += 2) {
            const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field + 8 * h));
            out[h] = _mm_castsi128_ps(_mm_unpacklo_epi16(zero, r));
            if (h + 1 < kGroups) out[h + 1] = _mm_castsi128_ps(_mm_unpackhi_epi16(zero, r));
        }
    }
#else
    float g2[kMaxLeafSize];
    float rho[kMaxLeafSize];

    LeafLanes(const Query& q, const PruneNode& n, const unsigned char* leaf) {
        const uint32_t count = n.count;
        groups = std::min((count + 3) / 4, kGroups);  // a leaf holds at most kMaxLeafSize
        for (int a = 0; a < 3; ++a) {
            const float step = (n.hi[a] - n.lo[a]) * (1.0f / 255);
            for (uint32_t j = 0; j < count; ++j) {
                const float d = (n.lo[a] + leaf[(4 + a) * count + j] * step) - static_cast<float>(q.rlo[a]);
                g2[j] = a == 0 ? d * d : g2[j] + d * d;
            }
        }
        for (uint32_t j = 0; j < count; ++j) rho[j] = half_at(leaf + 8 * count, j);
    }
    unsigned keep(float reach, uint32_t count) const {
        unsigned m = 0;
        for (uint32_t j = 0; j < count; ++j) {
            const float r = rho[j] + reach;
            const bool drop = r >= 0 && g2[j] > (r * r) * (1.0f + 1.0f / 262144);
            m |= static_cast<unsigned>(!drop) << j;
        }
        return m;
    }
    double least_lower(const Query& q, double room, unsigned lanes) const {
        float t[kMaxLeafSize];
        for (uint32_t j = 0; j < 4 * groups && j < kMaxLeafSize; ++j) {
            t[j] = (lanes >> j & 1) ? std::sqrt(g2[j]) - rho[j] : kInfinity;
        }
        return least_of(q, room, t, lanes);
    }
    uint32_t least_upper(const unsigned char* leaf, uint32_t count) const {
        float hi[kMaxLeafSize];
        for (uint32_t j = 0; j < count; ++j) hi[j] = std::sqrt(g2[j]) + half_at(leaf + 10 * count, j);
        return least_at(hi, count);
    }

    void lane_bounds(const unsigned char* leaf, uint32_t count, float* root, float* radius,
                     float* offset) const {
        for (uint32_t j = 0; j < count; ++j) {
            root[j] = std::sqrt(g2[j]);
            radius[j] = rho[j];
            offset[j] = half_at(leaf + 10 * count, j);
        }
    }

  private:
    static float half_at(const unsigned char* field, uint32_t j) {
        uint16_t h;
        std::memcpy(&h, field + 2 * j, 2);
        const uint32_t bits = uint32_t{h} << 16;
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    }
#endif

    static double least_of(const Query& q, double room, const float* t, unsigned lanes) {
        float least = kInfinity;
        for (; lanes != 0; lanes &= lanes - 1) {
            const float v = t[lowest_bit(lanes)];
            least = v < least ? v : least;
        }
        return from_least(q, room, least);
    }
    /// The bound least_of gives from the least of its lanes.
    static double from_least(const Query& q, double room, float least) {
        if (!(least < kInfinity)) return kInfD;
        return double{least} - std::fabs(double{least}) * (1.0 / 8388608) - room - q.margin;
    }
    static uint32_t least_at(const float* hi, uint32_t count) {
        uint32_t best = count;
        float least = kInfinity;
        for (uint32_t j = 0; j < count; ++j) {
            if (hi[j] < least) {
                least = hi[j];
                best = j;
            }
        }
        return best;
    }
};

/// The walk of the hierarchy, nearest boxes first, skipping every node and
/// child whose lower bound over the region exceeds T. `visit(pc, lo, hi,
/// T)` sees each child left, with its bounds, and may lower T (to hi);
/// `enter_leaf(node)` sees each leaf before its children.
template <bool Point, bool Track, class Visit, class EnterLeaf>
double walk(const PruneIndex& index, const Query& q, double T, Visit visit, EnterLeaf enter_leaf,
            Excluded* ex, const WalkPause* from) {
    // A node's lower bound is |R - box| - margin (the box holds every ball
    // below it) and -rho_max - margin. Nodes wait on the stack with their
    // keys, compared with a limit set from the threshold of the moment,
    // which changes far less often.
    using Pending = WalkPause::Pending;
    Pending stack[WalkPause::kDepth];
    int top = 0;
    const PruneNode* nodes = index.nodes.data();
    const unsigned char* kids = index.children.leaf_bytes(0);
    NodeLimits limits(T, q.margin);
    // Leaves are screened in float lanes over a point (LeafLanes).
    const double room = Point ? lane_room(index, q.rlo) : 0.0;
    float reach = Point ? lane_reach(T, q.margin, room) : 0.0f;
    auto beyond = [&](const Pending& at) { return at.key > limits.key; };
    // The nearer child of an inner node is visited next without going
    // through the stack (it was just found not beyond).
    Pending at{0, 0.0f};
    bool next_ready = true;
    // What is left out, noted in locals (in registers: *ex might alias the
    // stack's keys, so its fields would be stored at every node) and added
    // to *ex at the end. The least is the same: std::min passes over a
    // NaN second argument, and keys are never NaN.
    float out_key = kInfinity;
    double out_lo = kInfD;
    if (from) {
        // On from where seed_walk left off: at its leaf, the nodes it
        // passed by waiting.
        top = from->top;
        std::copy(from->stack, from->stack + top, stack);
        at.node = from->leaf;
    }
    for (;;) {
        if (!next_ready) {
            if (top == 0) break;
            at = stack[--top];
            if (beyond(at)) {
                if (Track) out_key = std::min(out_key, at.key);
                continue;
            }
        }
        next_ready = false;
        const PruneNode& n = nodes[at.node];
        if (n.count == 0) {
            // The nearer child goes on top, to be visited first; which one
            // that is, and whether each is pushed, are as good as random,
            // so they are worked out without branches.
            float ka, kb;
            sibling_keys(q.lanes, nodes + n.first, ka, kb);
            // What either child leads to is read next: ask for it now.
            prefetch_below(nodes, kids, nodes[n.first]);
            prefetch_below(nodes, kids, nodes[n.first + 1]);
            const uint32_t near = n.first + static_cast<uint32_t>(kb < ka);  // keys are never NaN
            const Pending far_one{2 * n.first + 1 - near, std::max(ka, kb)};
            const Pending near_one{near, std::min(ka, kb)};
            stack[top] = far_one;
            const bool skip_far = beyond(far_one);
            top += !skip_far;
            const bool skip_near = beyond(near_one);
            if (Track) {
                out_key = std::min({out_key, skip_far ? far_one.key : kInfinity,
                                    skip_near ? near_one.key : kInfinity});
            }
            at = near_one;
            next_ready = !skip_near;
            continue;
        }
        enter_leaf(at.node);
        // The children are screened with the threshold on entry, without
        // branches (which of them pass is as good as random); the few that
        // pass get the whole test with the threshold of the moment.
        const unsigned char* leaf = kids + 12 * size_t{n.first};
        unsigned keep = 0;
        if (Point) {
            // Over a point, in float lanes (LeafLanes), noting the least
            // lower bound of the children screened out when tracking.
            const LeafLanes lanes(q, n, leaf);
            keep = lanes.keep(reach, n.count);
            if (Track) {
                const unsigned out = ~keep & ((1u << n.count) - 1);
                if (out != 0) out_lo = std::min(out_lo, lanes.least_lower(q, room, out));
            }
            if (keep == 0) continue;
            // The bounds of the children kept, from the lanes too, widened
            // by the room. visit sees a child's pc only; a walk that notes
            // what it leaves out unpacks the child it takes as its nearest
            // (to bound the value nearby) once it has taken it.
            float root[kMaxLeafSize], radius[kMaxLeafSize], offset[kMaxLeafSize];
            lanes.lane_bounds(leaf, n.count, root, radius, offset);
            for (; keep != 0; keep &= keep - 1) {
                const uint32_t j = lowest_bit(keep);
                const double near = root[j];
                const double lo = near - radius[j] - q.margin - room;
                if (!(lo <= T)) {
                    if (Track) out_lo = std::min(out_lo, lo);
                    continue;
                }
                const double hi = offset[j] < kInfinity ? near + offset[j] + q.margin + room : kInfD;
                ChildBall c{};
                c.pc = index.children.pc(n.first, j);
                const double was = T;
                visit(c, lo, hi, T);
                if (Track && ex->has_nearest && ex->nearest.pc == c.pc) {
                    // Just taken as the nearest (no other child has its
                    // pc): its centre and bounds too.
                    ex->nearest = unpack(LeafFrame(n), PackedChildren::get(leaf, n.count, j));
                }
                if (T != was) {
                    limits = NodeLimits(T, q.margin);
                    reach = lane_reach(T, q.margin, room);
                }
            }
            continue;
        }
        const LeafFrame frame(n);
        if (!Point) {
            for (uint32_t j = 0; j < n.count; ++j) {
                keep |= static_cast<unsigned>(
                            may_keep<Point>(q, unpack(frame, PackedChildren::get(leaf, n.count, j)), T))
                        << j;
            }
        }
        for (; keep != 0; keep &= keep - 1) {
            const ChildBall c = unpack(frame, PackedChildren::get(leaf, n.count, lowest_bit(keep)));
            double lo, hi;
            if (!child_bounds<Point>(q, c, T, lo, hi)) {
                if (Track) out_lo = std::min(out_lo, lower_bound<Point>(q, c));
                continue;
            }
            const double was = T;
            visit(c, lo, hi, T);
            if (T != was) {
                limits = NodeLimits(T, q.margin);
                if (Point) reach = lane_reach(T, q.margin, room);
            }
        }
    }
    if (Track) {
        ex->key = std::min(ex->key, out_key);
        ex->lo = std::min(ex->lo, out_lo);
    }
    return T;
}

/// The walk over a point or over a box.
template <class Visit, class EnterLeaf>
double walk_region(const PruneIndex& index, const Region& region, const Query& q, double T,
                   Visit visit, EnterLeaf enter_leaf, Excluded* ex = nullptr,
                   const WalkPause* from = nullptr) {
    if (ex) return walk<true, true>(index, q, T, visit, enter_leaf, ex, from);  // points only
    return is_point(region) ? walk<true, false>(index, q, T, visit, enter_leaf, nullptr, from)
                            : walk<false, false>(index, q, T, visit, enter_leaf, nullptr, from);
}

constexpr auto no_leaf = [](uint32_t) {};

/// Keeps every child of the leaves the walk entered (their node numbers at
/// leaves[0, count)) whose lower bound is not above T, writing their start
/// positions to out. The positions may overwrite the leaf list from its
/// start: a leaf is read before any of its children is written, and every
/// leaf not yet read has a child of its own, so that with `leaves` at the
/// top of out's room, the writing never reaches a leaf still to be read.
template <bool Point>
size_t keep_from_leaves(const PruneIndex& index, const Query& q, double T,
                        const uint32_t* leaves, size_t count, uint32_t* out) {
    size_t kept = 0;
    for (size_t j = 0; j < count; ++j) {
        const PruneNode& n = index.nodes[leaves[j]];
        const LeafFrame frame(n);
        const unsigned char* leaf = index.children.leaf_bytes(n.first);
        for (uint32_t i = 0; i < n.count; ++i) {
            const ChildBall c = unpack(frame, PackedChildren::get(leaf, n.count, i));
            double lo, hi;
            if (child_bounds<Point>(q, c, T, lo, hi)) out[kept++] = c.pc;
        }
    }
    return kept;
}

/// Lowers T to a child's upper bound.
constexpr auto lower_to = [](double hi, double& T) { T = hi < T ? hi : T; };

/// A child the walk saw, with its lower bound.
struct Seen {
    uint32_t pc;
    double lo;
};
/// Children a walk without scratch notes on the machine stack.
constexpr size_t kSeen = 128;

/// The walk without scratch: the first kSeen children seen go to `seen`;
/// the leaves entered are noted below `top` (when given). Returns T, the
/// threshold the children were screened with, which starts at `screen`
/// (at most `bound`); `bound` is lowered to the least upper bound seen,
/// the threshold a nearby point can start from (an exact value it cannot:
/// it does not move with the point by a known amount).
/// (Screened with no exact value, T is that bound: Exact tracks it apart.)
template <bool Exact>
double walk_noting(const PruneIndex& index, const Region& region, const Query& q, double screen,
                   double& bound, Seen* seen, size_t& k, uint32_t* top, size_t& leaves,
                   Excluded* ex = nullptr, const WalkPause* from = nullptr) {
    const double T = walk_region(index, region, q, screen, [&](const ChildBall& c, double lo, double hi, double& t) {
        if (k < kSeen) seen[k] = {c.pc, lo};
        ++k;
        if (hi < (Exact ? bound : t)) {
            if (Exact) bound = hi;
            if (ex) {
                ex->nearest = c;
                ex->has_nearest = true;
            }
        }
        lower_to(hi, t);
    }, [&](uint32_t node) {
        if (top) *--top = node;
        ++leaves;
    }, ex, from);
    if (!Exact) bound = T;
    return T;
}

/// Appends the children every list keeps and sorts the kept ones.
size_t finish(const PruneIndex& index, uint32_t* out, size_t kept) {
    for (uint32_t pc : index.always) out[kept++] = pc;
    sort_small(out, kept);
    return kept;
}

}  // namespace

size_t collect_candidates(const PruneIndex& index, const Region& region, uint32_t* out,
                          double* scratch, double* threshold, double start) {
    Query q;
    if (!prepare(index, region, q)) return SIZE_MAX;
    size_t kept = 0;
    double T;
    if (scratch) {
        size_t k = 0;
        T = walk_region(index, region, q, start, [&](const ChildBall& c, double lo, double hi, double& t) {
            out[k] = c.pc;
            scratch[k++] = lo;
            lower_to(hi, t);
        }, no_leaf);
        // T only fell during the walk: drop what it now rules out.
        for (size_t i = 0; i < k; ++i) {
            if (scratch[i] <= T) out[kept++] = out[i];
        }
    } else {
        // No room for the bounds of every child: the first few go to the
        // machine stack, and the leaves entered are noted at the top of
        // out. When more children than that were seen, their leaves are
        // looked at again with the final T.
        Seen seen[kSeen];
        size_t k = 0, leaves = 0;
        uint32_t* top = out + index.child_count;
        double bound = start;
        T = walk_noting<false>(index, region, q, start, bound, seen, k, top, leaves);
        if (k <= kSeen) {
            for (size_t i = 0; i < k; ++i) {
                if (seen[i].lo <= T) out[kept++] = seen[i].pc;
            }
        } else {
            top -= leaves;
            kept = is_point(region) ? keep_from_leaves<true>(index, q, T, top, leaves, out)
                                    : keep_from_leaves<false>(index, q, T, top, leaves, out);
        }
    }
    kept = finish(index, out, kept);
    if (threshold) *threshold = T;
    return kept;
}

size_t collect_within(const PruneIndex& index, const Region& region, uint32_t* out, size_t room,
                      double& threshold, double start, double* gap, ChildBall* nearest,
                      double exact, const WalkPause* from) {
    if (gap) *gap = -kInfD;
    if (nearest) nearest->sigma = kInfD;
    Query q;
    if (!prepare(index, region, q)) return SIZE_MAX;
    // A child's value is an upper bound of the list's exactly, no margin
    // needed; the slack only keeps the child itself from being screened
    // out by the rounding of its own lower bound in double (which the
    // bounds' margins dwarf). NaN (nothing learnt) screens nothing, and
    // the value at one point says nothing about the rest of a box.
    double screen = start;
    if (exact < start && is_point(region)) screen = exact + (std::fabs(exact) + q.norm) * kSlack;
    screen = std::min(screen, start);
    // As collect_candidates without scratch; with room for every child the
    // leaves entered are noted at the top of out, to be looked at again
    // when more children were seen than the machine stack holds.
    const bool full = room >= index.child_count;
    Seen seen[kSeen];
    size_t k = 0, leaves = 0;
    uint32_t* top = full ? out + index.child_count : nullptr;
    Excluded ex;
    if (!is_point(region)) gap = nullptr;  // noted for points only
    double bound = start;
    Excluded* noted = gap ? &ex : nullptr;
    const double T = screen < start
                         ? walk_noting<true>(index, region, q, screen, bound, seen, k, top, leaves, noted, from)
                         : walk_noting<false>(index, region, q, screen, bound, seen, k, top, leaves, noted, from);
    size_t kept = 0;
    if (k > kSeen) {
        if (!full) return kMoreThanRoom;
        top -= leaves;
        kept = is_point(region) ? keep_from_leaves<true>(index, q, T, top, leaves, out)
                                : keep_from_leaves<false>(index, q, T, top, leaves, out);
    } else {
        if (k + index.always.size() > room) return kMoreThanRoom;
        for (size_t i = 0; i < k; ++i) {
            if (seen[i].lo <= T) {
                out[kept++] = seen[i].pc;
            } else {
                ex.lo = std::min(ex.lo, seen[i].lo);
            }
        }
        if (gap) *gap = ex.least(q.margin);
        if (nearest && ex.has_nearest) *nearest = ex.nearest;
    }
    threshold = bound;
    return finish(index, out, kept);
}

/// The float at or above v, and one step more: v may be a double sum
/// rounded below its exact value.
inline float float_above(double v) {
    float f = static_cast<float>(v);
    if (double{f} < v) f = std::nextafter(f, kInfinity);
    return std::nextafter(f, kInfinity);
}

inline FloatBall to_float(const ChildBall& b) {
    FloatBall f;
    double moved = 0;  // at least the distance the centre moves
    for (int a = 0; a < 3; ++a) {
        f.c[a] = static_cast<float>(b.c[a]);
        moved += std::fabs(b.c[a] - double{f.c[a]});
    }
    f.rho = float_above(b.rho + moved);
    f.sigma = b.sigma < kInfinity ? float_above(b.sigma + moved) : kInfinity;
    f.pc = b.pc;
    return f;
}

std::vector<FloatBall> child_balls(const PruneIndex& index) {
    std::vector<FloatBall> out;
    out.reserve(index.children.size());
    for (const PruneNode& leaf : index.nodes) {
        if (leaf.count == 0) continue;
        const LeafFrame frame(leaf);
        const unsigned char* bytes = index.children.leaf_bytes(leaf.first);
        for (uint32_t i = 0; i < leaf.count; ++i) {
            out.push_back(to_float(unpack(frame, PackedChildren::get(bytes, leaf.count, i))));
        }
    }
    std::sort(out.begin(), out.end(),
              [](const FloatBall& a, const FloatBall& b) { return a.pc < b.pc; });
    return out;
}

bool region_margin(const PruneIndex& index, const Region& region, double& margin) {
    Query q;
    if (!prepare(index, region, q)) return false;
    margin = q.margin;
    return true;
}

uint32_t best_child(const PruneIndex& index, const Region& region) {
    Query q;
    if (!prepare(index, region, q)) return kNoChild;
    uint32_t best = kNoChild;
    walk_region(index, region, q, kInfD, [&](const ChildBall& c, double, double hi, double& t) {
        if (hi < t) {
            t = hi;
            best = c.pc;
        }
    }, no_leaf);
    return best;
}

uint32_t seed_walk(const PruneIndex& index, const Region& point, WalkPause& pause) {
    Query q;
    if (!prepare(index, point, q)) return kNoChild;
    // The walk's first steps, with no threshold yet: down the nearer side
    // at every node, the other one left waiting.
    const PruneNode* nodes = index.nodes.data();
    uint32_t at = 0;
    int top = 0;
    while (nodes[at].count == 0) {
        if (top == WalkPause::kDepth) return kNoChild;  // deeper than the walk goes
        float ka, kb;
        sibling_keys(q.lanes, nodes + nodes[at].first, ka, kb);
        const uint32_t near = nodes[at].first + static_cast<uint32_t>(kb < ka);
        pause.stack[top++] = {2 * nodes[at].first + 1 - near, std::max(ka, kb)};
        at = near;
    }
    pause.top = top;
    pause.leaf = at;
    // The margin is the same for every child: compared without it.
    const PruneNode& leaf = nodes[at];
    const unsigned char* bytes = index.children.leaf_bytes(leaf.first);
    const uint32_t j = LeafLanes(q, leaf, bytes).least_upper(bytes, leaf.count);
    return j < leaf.count ? index.children.pc(leaf.first, j) : kNoChild;
}

}  // namespace sdf
