// Superobservations: kernels and their bindings for kestrum._radar.
//
// Gates are grouped into boxes (polar boxes of a sweep, or boxes of a grid) and each box
// is reduced to one observation. The work is ordered so that every box's sums run over
// its gates in gate order whatever the thread count. Polar boxes: the rays of each
// azimuth cell of a sweep (a stable counting sort of the rays) are one item of the
// runner, which reads them row by row. Grid boxes: a stable counting sort of the valid
// gates by box, then one box per item. No sum is ever shared between threads.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "radar/register.hpp"
#include "runtime/binding.hpp"
#include "runtime/values.hpp"
#include "runtime/vector_paths.hpp"

namespace py = pybind11;
using runtime::f64;
using runtime::is_finite;
using runtime::nan_value;
using runtime::require;

namespace radar {
namespace {

constexpr double pi = std::numbers::pi;
constexpr double degree = pi / 180.0;
constexpr double effective_radius = 4.0 / 3.0 * 6371000.0;

// --- gate functions ---------------------------------------------------------------------
// Plain arithmetic in place of the C library's exp and sincos: a loop over a ray's gates
// then has no calls and no branches, so the compiler can run it several gates to an
// instruction, and the results are the same bits in any vector width. Both are accurate
// to a few units in the last place over the gates' values.

// Taylor coefficients: 1/k! of exp, (-1)^k/(2k+1)! of sin(t)/t and (-1)^k/(2k)! of cos,
// each the double nearest the quotient (computed when compiled).
constexpr double factorial(int k) { return k <= 1 ? 1.0 : k * factorial(k - 1); }
constexpr auto taylor = [](auto term) {
    std::array<double, 14> c{};
    for (int k = 0; k < 14; ++k) c[k] = term(k);
    return c;
};
constexpr auto taylor_exp = taylor([](int k) { return 1.0 / factorial(k); });
constexpr auto taylor_sin =
    taylor([](int k) { return (k % 2 ? -1.0 : 1.0) / factorial(2 * k + 1); });
constexpr auto taylor_cos = taylor([](int k) { return (k % 2 ? -1.0 : 1.0) / factorial(2 * k); });

// The whole number nearest x (ties to even), for |x| < 2^51: adding and taking away
// 1.5 * 2^52 leaves no fraction bits. Without SSE4.1 (the baseline has none) std::floor is a
// library call; this is two additions and keeps the loops free of calls.
constexpr double magic = 6755399441055744.0;
inline double nearest(double x) { return (x + magic) - magic; }

// The low bits of x + 1.5 * 2^52, for a whole number x with |x| < 2^51, are x + 2^51 in
// two's complement: the whole number as bits without a conversion instruction (the
// vector paths below AVX-512 have none from double to 64-bit integers).
inline uint64_t whole_bits(double x) { return std::bit_cast<uint64_t>(x + magic); }

// v where ok, +0 elsewhere, by masking the bits: a choice made per gate on data that the
// processor cannot predict must not become a branch.
inline double keep_if(bool ok, double v) {
    return std::bit_cast<double>(std::bit_cast<uint64_t>(v) & (uint64_t{0} - uint64_t{ok}));
}

// v where ok, `otherwise` elsewhere (adding +0 changes no value but the sign of a zero).
inline double choose(bool ok, double v, double otherwise) {
    return keep_if(ok, v) + keep_if(!ok, otherwise);
}

// -v where the lowest bit of flip is set, v elsewhere.
inline double negate_if(uint64_t flip, double v) {
    return std::bit_cast<double>(std::bit_cast<uint64_t>(v) ^ ((flip & 1) << 63));
}

// 10^(dbz / 10), as 2^n 2^f with n the nearest whole number to dbz log2(10) / 10 and
// 2^f = exp(f ln 2), |f ln 2| <= 0.35, by its Taylor series to the 13th power (the next
// term is below 1e-17 relative). Values are held within 10^(+-300); 2^n is made from its
// exponent bits (n + 1023, the low bits of n + 2^51 + 1023 moved up past the 52 fraction
// bits, which pushes the 2^51 and the magic number's own exponent out).
inline double linear_z(double dbz) {
    double x = dbz * 0.33219280948873623;  // log2(10) / 10
    x = std::min(std::max(x, -1000.0), 1000.0);
    const double n = nearest(x);
    const double t = (x - n) * 0.6931471805599453;
    double p = taylor_exp[13];
    for (int k = 12; k >= 0; --k) p = p * t + taylor_exp[k];
    return p * std::bit_cast<double>((whole_bits(n) + 1023) << 52);
}

// sin(pi x) and cos(pi x), for |x| < 2^50: x is taken to [-1, 1] by whole turns (exact:
// x minus an even whole number), then to f in [-1/4, 1/4] by quarter turns q, where the
// Taylor series of sin and cos of pi f to the 17th and 16th powers are within 1e-17; the
// quarter turns are put back by swapping and negating.
inline void sincos_pi(double x, double& s, double& c) {
    const double r = x - 2.0 * nearest(0.5 * x);
    const double q = nearest(2.0 * r);
    const double t = pi * (r - 0.5 * q), t2 = t * t;
    double sp = taylor_sin[8], cp = taylor_cos[8];
    for (int k = 7; k >= 0; --k) {
        sp = sp * t2 + taylor_sin[k];
        cp = cp * t2 + taylor_cos[k];
    }
    sp *= t;
    // Quarter turns q in 0..3 (the low two bits, 2^51 being a multiple of 4): (sin, cos)
    // of pi (f + q/2) are (sp, cp), (cp, -sp), (-sp, -cp), (-cp, sp).
    const uint64_t turns = whole_bits(q);
    const bool odd = turns & 1;
    s = negate_if(turns >> 1, choose(odd, cp, sp));
    c = negate_if((turns + 1) >> 1, choose(odd, sp, cp));
}

// What a box's value is.
enum Quantity : int {
    plain = 0,         // mean of the values (any field, or velocities without a Nyquist)
    folded = 1,        // velocities on their fold circle
    reflectivity = 2,  // mean in linear Z, returned in dBZ
};

// Planes of the result, one value per box.
enum Plane : int {
    p_count,
    p_value,
    p_std,
    p_min,
    p_max,
    p_coherence,
    p_azimuth,
    p_elevation,
    p_range,
    p_time,
    p_nyquist,
    planes,
};

// What every gate inherits from its ray.
struct Rays {
    const double* sin_az;
    const double* cos_az;
    const double* elevation;  // degrees
    const double* time;       // seconds from any reference
    const double* nyquist;    // m/s; read for folded velocities only
};

// The valid gates grouped by box: the gates of box b are order[start[b] .. start[b+1]),
// as flat indices ray * gates + gate, in increasing order.
struct Groups {
    std::vector<int64_t> start;
    std::vector<int64_t> order;
};

// Stable counting sort of the gates by box. `box_of(ray, gate)` gives a gate's box or -1
// for a gate in none; gates whose value is not finite are in none. The rays are cut
// into as many chunks as threads: each chunk counts its gates per box, the offsets of
// chunk c in box b follow those of chunks before c, so every chunk scatters its gates to
// their final places independently. The order is the unique stable one, so it does not
// depend on the chunks.
template <class BoxOf>
Groups group_gates(const double* values, int64_t rays, int64_t gates, int64_t boxes,
                   int32_t n_threads, BoxOf&& box_of) {
    std::vector<int32_t> box(static_cast<size_t>(rays * gates));
    runtime::parallel_blocks(rays, 16, n_threads, [&](int64_t r) {
        const double* v = values + r * gates;
        int32_t* b = box.data() + r * gates;
        for (int64_t g = 0; g < gates; ++g)
            b[g] = is_finite(v[g]) ? static_cast<int32_t>(box_of(r, g)) : -1;
    });

    const int64_t chunks = std::max<int64_t>(1, runtime::team_size(rays, n_threads));
    const int64_t per_chunk = (rays + chunks - 1) / std::max<int64_t>(chunks, 1);
    std::vector<int64_t> offset(static_cast<size_t>(chunks * boxes), 0);
    auto chunk_gates = [&](int64_t c, int64_t& begin, int64_t& end) {
        begin = std::min(rays, c * per_chunk) * gates;
        end = std::min(rays, (c + 1) * per_chunk) * gates;
    };
    runtime::parallel_blocks(chunks, 1, n_threads, [&](int64_t c) {
        int64_t begin, end;
        chunk_gates(c, begin, end);
        int64_t* count = offset.data() + c * boxes;
        for (int64_t k = begin; k < end; ++k)
            if (box[k] >= 0) ++count[box[k]];
    });
    Groups groups;
    groups.start.assign(static_cast<size_t>(boxes) + 1, 0);
    int64_t at = 0;
    for (int64_t b = 0; b < boxes; ++b) {
        groups.start[b] = at;
        for (int64_t c = 0; c < chunks; ++c) {
            const int64_t n = offset[c * boxes + b];
            offset[c * boxes + b] = at;
            at += n;
        }
    }
    groups.start[boxes] = at;
    groups.order.resize(static_cast<size_t>(at));
    runtime::parallel_blocks(chunks, 1, n_threads, [&](int64_t c) {
        int64_t begin, end;
        chunk_gates(c, begin, end);
        int64_t* next = offset.data() + c * boxes;
        for (int64_t k = begin; k < end; ++k)
            if (box[k] >= 0) groups.order[next[box[k]]++] = k;
    });
    return groups;
}

// One box's gates as read in the first pass, for the passes after it: a gate's value
// (after unfolding, for velocities) and its ray. Sized once per block of boxes to the
// largest box, so the passes allocate nothing.
struct BoxScratch {
    std::vector<double> value;
    std::vector<int64_t> ray;
    explicit BoxScratch(int64_t n) : value(static_cast<size_t>(n)), ray(static_cast<size_t>(n)) {}
};

// The statistics of one box from its gates (flat indices `idx`, n of them; with none the
// box is left missing). `out` points at plane 0 of the box; planes are `stride` apart.
// The input is read once, in the first pass; the others run over the scratch copy.
//
// A folded velocity's value is the mean on the fold circle, each gate at phase
// pi v / V of its own Nyquist velocity V, scaled back by the box's mean Nyquist; each
// gate is then taken to its fold nearest that value before the spread, least and
// greatest are taken. The spread is the population standard deviation.
void box_stats(const int64_t* idx, int64_t n, const double* values, int64_t gates,
               const Rays& rays, const double* range, int quantity, BoxScratch& scratch,
               double* out, int64_t stride) {
    for (int p = 0; p < planes; ++p) out[p * stride] = nan_value;
    out[p_count * stride] = static_cast<double>(n);
    if (n == 0) return;

    double* kept = scratch.value.data();
    int64_t* ray_of = scratch.ray.data();
    double s_az = 0.0, c_az = 0.0, sum_el = 0.0, sum_r = 0.0, sum_t = 0.0;
    double sum = 0.0, sum_z = 0.0, sum_s = 0.0, sum_c = 0.0, sum_ny = 0.0;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (int64_t k = 0; k < n; ++k) {
        const int64_t ray = idx[k] / gates, gate = idx[k] - ray * gates;
        const double v = values[idx[k]];
        kept[k] = v;
        ray_of[k] = ray;
        s_az += rays.sin_az[ray];
        c_az += rays.cos_az[ray];
        sum_el += rays.elevation[ray];
        sum_r += range[gate];
        sum_t += rays.time[ray];
        if (quantity == folded) {
            const double ny = rays.nyquist[ray];
            double s, c;
            sincos_pi(v / ny, s, c);
            sum_s += s;
            sum_c += c;
            sum_ny += ny;
        } else {
            sum += v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            if (quantity == reflectivity) sum_z += linear_z(v);
        }
    }
    const double count = static_cast<double>(n);
    double value;
    if (quantity == folded) {
        const double ny = sum_ny / count;
        value = ny / pi * std::atan2(sum_s, sum_c);
        out[p_coherence * stride] = std::sqrt(sum_s * sum_s + sum_c * sum_c) / count;
        out[p_nyquist * stride] = ny;
        // Every gate to its fold nearest the value.
        sum = 0.0;
        for (int64_t k = 0; k < n; ++k) {
            const double v = kept[k], two = 2.0 * rays.nyquist[ray_of[k]];
            const double u = v + two * nearest((value - v) / two);
            kept[k] = u;
            sum += u;
            lo = std::min(lo, u);
            hi = std::max(hi, u);
        }
    } else {
        value = quantity == reflectivity ? 10.0 * std::log10(sum_z / count) : sum / count;
    }
    const double mean = sum / count;
    double squares = 0.0;
    for (int64_t k = 0; k < n; ++k) squares += (kept[k] - mean) * (kept[k] - mean);
    out[p_value * stride] = value;
    out[p_std * stride] = std::sqrt(squares / count);
    out[p_min * stride] = lo;
    out[p_max * stride] = hi;
    double az = std::atan2(s_az, c_az) / degree;
    if (az < 0.0) az += 360.0;
    out[p_azimuth * stride] = az < 360.0 ? az : 0.0;
    out[p_elevation * stride] = sum_el / count;
    out[p_range * stride] = sum_r / count;
    out[p_time * stride] = sum_t / count;
}

// Statistics of every box from the grouped gates, one box per item of the runner, into
// `out` of (planes, boxes).
void reduce_boxes(const Groups& groups, int64_t boxes, const double* values, int64_t gates,
                  const Rays& rays, const double* range, int quantity, int32_t n_threads,
                  double* out) {
    int64_t largest = 0;
    for (int64_t b = 0; b < boxes; ++b)
        largest = std::max(largest, groups.start[b + 1] - groups.start[b]);
    runtime::for_blocks(boxes, 64, n_threads, [&](int64_t first, int64_t last) {
        BoxScratch scratch(largest);
        for (int64_t b = first; b < last; ++b) {
            const int64_t begin = groups.start[b];
            box_stats(groups.order.data() + begin, groups.start[b + 1] - begin, values, gates,
                      rays, range, quantity, scratch, out + b, boxes);
        }
    });
}

// The index of the cell of `edges` (n + 1 increasing edges of n cells) that holds x, or
// -1 outside them. A first guess from the mean width is corrected by comparing with the
// edges themselves, so uneven cells are found exactly, only more slowly.
inline int64_t cell(const double* edges, int64_t n, double x) {
    if (!(x >= edges[0] && x < edges[n])) return -1;
    const double width = (edges[n] - edges[0]) / static_cast<double>(n);
    int64_t k = static_cast<int64_t>((x - edges[0]) / width);
    k = std::clamp<int64_t>(k, 0, n - 1);
    while (x < edges[k]) --k;
    while (x >= edges[k + 1]) ++k;
    return k;
}

void check_quantity(int quantity, const f64& nyquist, int64_t rays) {
    require(quantity == plain || quantity == folded || quantity == reflectivity,
            "quantity must be 0 (plain), 1 (folded velocity) or 2 (reflectivity)");
    require(quantity != folded || nyquist.size() == rays, "nyquist must have one value per ray");
}

// --- polar boxes ------------------------------------------------------------------------
// One azimuth group (the boxes of one sweep's azimuth cell, one per range cell) is one
// item of the runner. Its rays are taken in ray order and each ray's gates in gate order,
// so every box's sums run over its gates in the gates' order, as the grid boxes' do
// after their sort; no sort is needed, and the rows are read where they lie. A group's
// rows (a few rays) stay in cache for the second pass.
//
// Each pass first computes, for all of a ray's gates at once, what the sums need (the
// gate functions, the masks): a loop without calls or branches, compiled for every
// vector width, each gate's result the same bits in any width. Then each box's sums run
// along its run of gates in plain order. A missing gate adds exact zeros, so the sums
// are those of the valid gates alone.

// One ray's gates as the sums read them: the weight (1 valid, 0 missing), the value (0
// where missing), the gate functions (sine and cosine of the phase, or linear Z; 0 where
// missing), and the value or +-infinity where missing, for the least and greatest.
struct GateTerms {
    double* w;
    double* x;
    double* f1;
    double* f2;
    double* lo;
    double* hi;
};

constexpr double infinity = std::numeric_limits<double>::infinity();

template <int Q>
[[gnu::always_inline]] inline void gate_terms_body(const double* __restrict row, int64_t n,
                                                   double per_ny, const GateTerms& t) {
    double* __restrict w = t.w;
    double* __restrict xs = t.x;
    double* __restrict f1 = t.f1;
    double* __restrict f2 = t.f2;
    double* __restrict lo = t.lo;
    double* __restrict hi = t.hi;
    for (int64_t g = 0; g < n; ++g) {
        const double v = row[g];
        const bool ok = is_finite(v);
        const double x = keep_if(ok, v);
        w[g] = keep_if(ok, 1.0);
        xs[g] = x;
        if constexpr (Q == folded) {
            double s, c;
            sincos_pi(x * per_ny, s, c);
            f1[g] = keep_if(ok, s);
            f2[g] = keep_if(ok, c);
        } else {
            lo[g] = choose(ok, v, infinity);
            hi[g] = choose(ok, v, -infinity);
            if constexpr (Q == reflectivity) f1[g] = keep_if(ok, linear_z(x));
        }
    }
}

// The second pass's terms of one ray. Folded velocities: each gate taken to its fold
// nearest its box's value `centre[g]`, u = v + 2V round((value - v) / 2V), as its
// distance from that value (0 where missing) into `d` and as u or +-infinity into lo and
// hi. Otherwise: the distance from the box's mean `centre[g]` (0 where missing).
template <int Q>
[[gnu::always_inline]] inline void spread_terms_body(const double* __restrict row, int64_t n,
                                                     const double* __restrict centre,
                                                     double two, double per_two,
                                                     const GateTerms& t) {
    double* __restrict d = t.x;
    double* __restrict lo = t.lo;
    double* __restrict hi = t.hi;
    for (int64_t g = 0; g < n; ++g) {
        const double v = row[g];
        const bool ok = is_finite(v);
        const double x = keep_if(ok, v);
        if constexpr (Q == folded) {
            const double u = x + two * nearest((centre[g] - x) * per_two);
            d[g] = keep_if(ok, u - centre[g]);
            lo[g] = choose(ok, u, infinity);
            hi[g] = choose(ok, u, -infinity);
        } else {
            d[g] = keep_if(ok, x - centre[g]);
        }
    }
}

#define SUPEROBS_TERMS(Q, NAME)                                                               \
    KESTRUM_VECTOR_PATHS(gate_terms_##NAME, gate_terms_body<Q>,                               \
                         (const double* row, int64_t n, double per_ny, const GateTerms& t),   \
                         (row, n, per_ny, t))                                                 \
    KESTRUM_VECTOR_PATHS(spread_terms_##NAME, spread_terms_body<Q>,                           \
                         (const double* row, int64_t n, const double* centre, double two,     \
                          double per_two, const GateTerms& t),                                \
                         (row, n, centre, two, per_two, t))
SUPEROBS_TERMS(plain, plain)
SUPEROBS_TERMS(folded, folded)
SUPEROBS_TERMS(reflectivity, reflectivity)
#undef SUPEROBS_TERMS

template <int Q>
void gate_terms(const double* row, int64_t n, double per_ny, const GateTerms& t) {
    if constexpr (Q == folded) gate_terms_folded(row, n, per_ny, t);
    else if constexpr (Q == reflectivity) gate_terms_reflectivity(row, n, per_ny, t);
    else gate_terms_plain(row, n, per_ny, t);
}

template <int Q>
void spread_terms(const double* row, int64_t n, const double* centre, double two,
                  double per_two, const GateTerms& t) {
    if constexpr (Q == folded) spread_terms_folded(row, n, centre, two, per_two, t);
    else if constexpr (Q == reflectivity) spread_terms_reflectivity(row, n, centre, two, per_two, t);
    else spread_terms_plain(row, n, centre, two, per_two, t);
}

// Sums per box of a group (one per range cell) and the gate terms of the ray at hand.
struct GroupScratch {
    std::vector<double> count, s_az, c_az, el, rg, t, sum, z, s, c, ny, lo, hi, value, sq;
    std::vector<double> w, x, f1, f2, lo_of, hi_of, centre;
    GroupScratch(int64_t n, int64_t gates) {
        for (auto* v : {&count, &s_az, &c_az, &el, &rg, &t, &sum, &z, &s, &c, &ny, &lo, &hi,
                        &value, &sq})
            v->assign(static_cast<size_t>(n), 0.0);
        for (auto* v : {&w, &x, &f1, &f2, &lo_of, &hi_of, &centre})
            v->assign(static_cast<size_t>(gates), 0.0);
    }
    void clear() {
        for (auto* v : {&count, &s_az, &c_az, &el, &rg, &t, &sum, &z, &s, &c, &ny, &sq})
            std::fill(v->begin(), v->end(), 0.0);
        std::fill(lo.begin(), lo.end(), infinity);
        std::fill(hi.begin(), hi.end(), -infinity);
    }
    GateTerms terms() {
        return {w.data(), x.data(), f1.data(), f2.data(), lo_of.data(), hi_of.data()};
    }
};

// The statistics of one group's boxes. The gates of range cell j are
// cell_gates[first[j] .. first[j+1]-1], in gate order.
//
// Folded velocities: the value is the mean on the fold circle, each gate at phase
// pi v / V of its own ray's Nyquist velocity V, scaled back by the box's mean V; each gate
// is then taken to its fold nearest that value before the spread, least and greatest.
// The spread is the population standard deviation: from the distances d of the gates
// from the value, sum (d - mean d)^2 = sum d^2 - n (mean d)^2, which loses nothing to
// cancellation, the value lying within the spread of its gates. Other quantities take
// the mean first and the squares about it in a second pass.
template <int Q>
void group_stats(const int64_t* ray_list, int64_t n_rays, const double* values, int64_t gates,
                 const int64_t* first, const int64_t* cell_gates, int64_t cells,
                 const Rays& rays, const double* range, GroupScratch& a, double* out,
                 int64_t stride) {
    a.clear();
    const GateTerms terms = a.terms();
    const double *w = terms.w, *x = terms.x, *f1 = terms.f1, *f2 = terms.f2;
    const double *lo_of = terms.lo, *hi_of = terms.hi;
    for (int64_t q = 0; q < n_rays; ++q) {
        const int64_t ray = ray_list[q];
        const double ny = Q == folded ? rays.nyquist[ray] : 1.0;
        gate_terms<Q>(values + ray * gates, gates, 1.0 / ny, terms);
        for (int64_t j = 0; j < cells; ++j) {
            double m = 0.0, rg = a.rg[j], sum = a.sum[j], z = a.z[j], s = a.s[j], c = a.c[j];
            double lo = a.lo[j], hi = a.hi[j];
            for (int64_t k = first[j]; k < first[j + 1]; ++k) {
                const int64_t g = cell_gates[k];
                m += w[g];
                rg += w[g] * range[g];
                if constexpr (Q == folded) {
                    s += f1[g];
                    c += f2[g];
                } else {
                    sum += x[g];
                    lo = std::min(lo, lo_of[g]);
                    hi = std::max(hi, hi_of[g]);
                    if constexpr (Q == reflectivity) z += f1[g];
                }
            }
            a.rg[j] = rg;
            a.sum[j] = sum;
            a.z[j] = z;
            a.s[j] = s;
            a.c[j] = c;
            a.lo[j] = lo;
            a.hi[j] = hi;
            // What the gates inherit from their ray, once per ray: m copies of it.
            if (m != 0.0) {
                a.count[j] += m;
                a.s_az[j] += m * rays.sin_az[ray];
                a.c_az[j] += m * rays.cos_az[ray];
                a.el[j] += m * rays.elevation[ray];
                a.t[j] += m * rays.time[ray];
                a.ny[j] += m * ny;
            }
        }
    }
    // Each box's value (folded) or mean, spread to its gates for the second pass; gates in
    // no cell get 0, which the sums never read.
    double* centre = a.centre.data();
    for (int64_t j = 0; j < cells; ++j) {
        const double n = a.count[j];
        if (n == 0.0) continue;
        if constexpr (Q == folded) a.value[j] = a.ny[j] / n / pi * std::atan2(a.s[j], a.c[j]);
        else a.value[j] = a.sum[j] / n;
        for (int64_t k = first[j]; k < first[j + 1]; ++k) centre[cell_gates[k]] = a.value[j];
    }
    if constexpr (Q == folded) {
        std::fill(a.sum.begin(), a.sum.end(), 0.0);
        std::fill(a.lo.begin(), a.lo.end(), infinity);
        std::fill(a.hi.begin(), a.hi.end(), -infinity);
    }
    for (int64_t q = 0; q < n_rays; ++q) {
        const int64_t ray = ray_list[q];
        const double two = Q == folded ? 2.0 * rays.nyquist[ray] : 1.0;
        spread_terms<Q>(values + ray * gates, gates, centre, two, 1.0 / two, terms);
        for (int64_t j = 0; j < cells; ++j) {
            double sum = a.sum[j], sq = a.sq[j], lo = a.lo[j], hi = a.hi[j];
            for (int64_t k = first[j]; k < first[j + 1]; ++k) {
                const int64_t g = cell_gates[k];
                sq += x[g] * x[g];
                if constexpr (Q == folded) {
                    sum += x[g];
                    lo = std::min(lo, lo_of[g]);
                    hi = std::max(hi, hi_of[g]);
                }
            }
            a.sum[j] = sum;
            a.sq[j] = sq;
            a.lo[j] = lo;
            a.hi[j] = hi;
        }
    }
    for (int64_t j = 0; j < cells; ++j) {
        double* o = out + j;
        const double n = a.count[j];
        for (int p = 0; p < planes; ++p) o[p * stride] = nan_value;
        o[p_count * stride] = n;
        if (n == 0.0) continue;
        double value = a.value[j], spread = a.sq[j] / n;
        if constexpr (Q == folded) {
            const double shift = a.sum[j] / n;
            spread = std::max(0.0, spread - shift * shift);
            o[p_coherence * stride] = std::sqrt(a.s[j] * a.s[j] + a.c[j] * a.c[j]) / n;
            o[p_nyquist * stride] = a.ny[j] / n;
        } else if constexpr (Q == reflectivity) {
            value = 10.0 * std::log10(a.z[j] / n);
        }
        o[p_value * stride] = value;
        o[p_std * stride] = std::sqrt(spread);
        o[p_min * stride] = a.lo[j];
        o[p_max * stride] = a.hi[j];
        double az = std::atan2(a.s_az[j], a.c_az[j]) / degree;
        if (az < 0.0) az += 360.0;
        o[p_azimuth * stride] = az < 360.0 ? az : 0.0;
        o[p_elevation * stride] = a.el[j] / n;
        o[p_range * stride] = a.rg[j] / n;
        o[p_time * stride] = a.t[j] / n;
    }
}

// Polar boxes: box ray_group[ray] * cells + gate_box[gate], none where either is negative.
py::array_t<double> polar_py(f64 values, runtime::i64<"ray_group"> ray_group, int64_t groups,
                             runtime::i64<"gate_box"> gate_box, int64_t cells, f64 sin_az,
                             f64 cos_az, f64 elevation, f64 time, f64 nyquist, f64 range,
                             int quantity, int32_t n_threads) {
    require(values.ndim() == 2, "values must be 2-D (rays, gates)");
    const int64_t rays = values.shape(0), gates = values.shape(1);
    require(ray_group.size() == rays && sin_az.size() == rays && cos_az.size() == rays &&
                elevation.size() == rays && time.size() == rays,
            "ray arrays must have one value per ray");
    require(gate_box.size() == gates && range.size() == gates,
            "gate arrays must have one value per gate");
    require(groups >= 0 && cells >= 0, "groups and cells must not be negative");
    check_quantity(quantity, nyquist, rays);
    const int64_t* rg = ray_group.data();
    const int64_t* gb = gate_box.data();
    for (int64_t r = 0; r < rays; ++r) require(rg[r] < groups, "ray_group out of range");
    // The gates of each range cell in gate order (a stable counting sort of the gates):
    // cell j's are cell_gates[first[j] .. first[j+1]-1]. Ranges usually increase, so a
    // cell is a run of neighbouring gates.
    std::vector<int64_t> first(static_cast<size_t>(cells) + 1, 0), cell_gates;
    for (int64_t g = 0; g < gates; ++g) {
        require(gb[g] < cells, "gate_box out of range");
        if (gb[g] >= 0) ++first[gb[g] + 1];
    }
    for (int64_t j = 0; j < cells; ++j) first[j + 1] += first[j];
    cell_gates.resize(static_cast<size_t>(first[cells]));
    {
        std::vector<int64_t> next(first.begin(), first.end() - 1);
        for (int64_t g = 0; g < gates; ++g)
            if (gb[g] >= 0) cell_gates[next[gb[g]]++] = g;
    }
    const Rays info{sin_az.data(), cos_az.data(), elevation.data(), time.data(), nyquist.data()};
    const int64_t boxes = groups * cells;
    auto result = runtime::new_array<double>({planes, boxes});
    double* out = result.mutable_data();
    const double* pv = values.data();
    const double* pr = range.data();
    {
        runtime::release_gil release;
        // The rays of each group in ray order: a stable counting sort of the rays.
        std::vector<int64_t> start(static_cast<size_t>(groups) + 1, 0), order;
        for (int64_t r = 0; r < rays; ++r)
            if (rg[r] >= 0) ++start[rg[r] + 1];
        for (int64_t k = 0; k < groups; ++k) start[k + 1] += start[k];
        order.resize(static_cast<size_t>(start[groups]));
        std::vector<int64_t> next(start.begin(), start.end() - 1);
        for (int64_t r = 0; r < rays; ++r)
            if (rg[r] >= 0) order[next[rg[r]]++] = r;
        auto run = [&]<int Q>() {
            runtime::for_blocks(groups, 4, n_threads, [&](int64_t begin, int64_t end) {
                GroupScratch scratch(cells, gates);
                for (int64_t k = begin; k < end; ++k)
                    group_stats<Q>(order.data() + start[k], start[k + 1] - start[k], pv, gates,
                                   first.data(), cell_gates.data(), cells, info, pr, scratch,
                                   out + k * cells, boxes);
            });
        };
        if (quantity == folded) run.template operator()<folded>();
        else if (quantity == reflectivity) run.template operator()<reflectivity>();
        else run.template operator()<plain>();
    }
    return result;
}

// Grid boxes: the gate's place on the ground (x east, y north of the radar, m) and its
// height above the antenna from the 4/3-earth beam model; the box is (sweep, y, x) when
// no height edges are given, (height, y, x) otherwise, with heights above the reference
// of `altitude`.
py::array_t<double> grid_py(f64 values, runtime::i64<"ray_sweep"> ray_sweep, int64_t sweeps,
                            f64 sin_az, f64 cos_az, f64 elevation, f64 time, f64 nyquist,
                            f64 range, f64 x_edges, f64 y_edges, f64 z_edges, double altitude,
                            int quantity, int32_t n_threads) {
    require(values.ndim() == 2, "values must be 2-D (rays, gates)");
    const int64_t rays = values.shape(0), gates = values.shape(1);
    require(ray_sweep.size() == rays && sin_az.size() == rays && cos_az.size() == rays &&
                elevation.size() == rays && time.size() == rays,
            "ray arrays must have one value per ray");
    require(range.size() == gates, "range must have one value per gate");
    require(x_edges.size() >= 2 && y_edges.size() >= 2, "x and y need at least two edges each");
    require(z_edges.size() != 1, "heights need at least two edges, or none");
    check_quantity(quantity, nyquist, rays);
    const int64_t nx = x_edges.size() - 1, ny = y_edges.size() - 1;
    const int64_t nz = z_edges.size() == 0 ? sweeps : z_edges.size() - 1;
    for (const f64* e : {&x_edges, &y_edges, &z_edges})
        for (int64_t k = 1; k < e->size(); ++k)
            require(e->data()[k] > e->data()[k - 1], "edges must be increasing");
    require(nz >= 0 && nx * ny <= std::numeric_limits<int32_t>::max() / std::max<int64_t>(nz, 1),
            "too many boxes");
    const int64_t boxes = nx * ny * nz;
    const int64_t* rs = ray_sweep.data();
    for (int64_t r = 0; r < rays; ++r) require(rs[r] < sweeps, "ray_sweep out of range");
    const double *xe = x_edges.data(), *ye = y_edges.data(), *ze = z_edges.data();
    const bool by_height = z_edges.size() != 0;
    const double *ps = sin_az.data(), *pc = cos_az.data(), *pe = elevation.data();
    const double* pr = range.data();
    const Rays info{ps, pc, pe, time.data(), nyquist.data()};
    auto result = runtime::new_array<double>({planes, boxes});
    double* out = result.mutable_data();
    // The beam's elevation is the ray's: its sine and cosine once per ray, not per gate.
    std::vector<double> sin_el(static_cast<size_t>(rays)), cos_el(static_cast<size_t>(rays));
    for (int64_t r = 0; r < rays; ++r) {
        sin_el[r] = std::sin(pe[r] * degree);
        cos_el[r] = std::cos(pe[r] * degree);
    }
    {
        runtime::release_gil release;
        const Groups groups = group_gates(values.data(), rays, gates, boxes, n_threads,
                             [&](int64_t r, int64_t g) -> int64_t {
                                 if (rs[r] < 0) return -1;
                                 const double rg = pr[g], ka = effective_radius;
                                 const double rise =
                                     std::sqrt(rg * rg + ka * ka + 2.0 * rg * ka * sin_el[r]) - ka;
                                 const double s = ka * std::asin(rg * cos_el[r] / (ka + rise));
                                 const int64_t ix = cell(xe, nx, s * ps[r]);
                                 const int64_t iy = cell(ye, ny, s * pc[r]);
                                 const int64_t iz =
                                     by_height ? cell(ze, nz, rise + altitude) : rs[r];
                                 if (ix < 0 || iy < 0 || iz < 0) return -1;
                                 return (iz * ny + iy) * nx + ix;
                             });
        reduce_boxes(groups, boxes, values.data(), gates, info, pr, quantity, n_threads, out);
    }
    return result;
}

}  // namespace

void register_superobs(pybind11::module_& m) {
    m.def("superobs_polar", &polar_py, py::arg("values"), py::arg("ray_group"), py::arg("groups"),
          py::arg("gate_box"), py::arg("cells"), py::arg("sin_az"), py::arg("cos_az"),
          py::arg("elevation"),
          py::arg("time"), py::arg("nyquist"), py::arg("range"), py::arg("quantity"),
          py::arg("n_threads") = 0);
    m.def("superobs_grid", &grid_py, py::arg("values"), py::arg("ray_sweep"), py::arg("sweeps"),
          py::arg("sin_az"), py::arg("cos_az"), py::arg("elevation"), py::arg("time"),
          py::arg("nyquist"), py::arg("range"), py::arg("x_edges"), py::arg("y_edges"),
          py::arg("z_edges"), py::arg("altitude"), py::arg("quantity"), py::arg("n_threads") = 0);
}

}  // namespace radar
