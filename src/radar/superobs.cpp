// Superobservations: kernels and their bindings for kestrum._radar.
//
// Gates are grouped into boxes (polar boxes of a sweep, or boxes of a grid) and each box
// is reduced to one observation. The work is ordered so that every box's sums run over
// its gates in an order fixed by the data whatever the thread count. Polar boxes: the
// rays of each azimuth cell of a sweep (a stable counting sort of the rays) are one item
// of the runner, which adds them row by row into sums per gate position. Grid boxes: the
// runs of neighbouring gates that each ray has in a box, put in box order by a stable
// counting sort, then one box per item. No sum is ever shared between threads.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
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

// c[0] + c[1] x + ... + c[13] x^13 by Estrin's scheme: neighbouring terms paired,
// c[2i] + c[2i+1] x, then the pairs paired in x^2, and so on. Its chains of dependent
// operations are a few steps long where Horner's rule's are 13, which is what bounds a
// loop of such polynomials; its rounding is as good.
[[gnu::always_inline]] inline double estrin14(const std::array<double, 14>& c, double x) {
    const double x2 = x * x, x4 = x2 * x2, x8 = x4 * x4;
    const double p0 = (c[0] + c[1] * x) + (c[2] + c[3] * x) * x2;
    const double p1 = (c[4] + c[5] * x) + (c[6] + c[7] * x) * x2;
    const double p2 = (c[8] + c[9] * x) + (c[10] + c[11] * x) * x2;
    const double p3 = c[12] + c[13] * x;
    return (p0 + p1 * x4) + (p2 + p3 * x4) * x8;
}

// The same for the first 9 coefficients.
[[gnu::always_inline]] inline double estrin9(const std::array<double, 14>& c, double x) {
    const double x2 = x * x, x4 = x2 * x2, x8 = x4 * x4;
    const double p0 = (c[0] + c[1] * x) + (c[2] + c[3] * x) * x2;
    const double p1 = (c[4] + c[5] * x) + (c[6] + c[7] * x) * x2;
    return (p0 + p1 * x4) + c[8] * x8;
}

// 10^(dbz / 10), as 2^n 2^f with n the nearest whole number to dbz log2(10) / 10 and
// 2^f = exp(f ln 2), |f ln 2| <= 0.35, by its Taylor series to the 13th power (the next
// term is below 1e-17 relative). Values are held within 10^(+-300); 2^n is made from its
// exponent bits (n + 1023, the low bits of n + 2^51 + 1023 moved up past the 52 fraction
// bits, which pushes the 2^51 and the magic number's own exponent out).
[[gnu::always_inline]] inline double linear_z(double dbz) {
    double x = dbz * 0.33219280948873623;  // log2(10) / 10
    // Held by masks: std::min and std::max here let the compiler give held values a branch
    // of their own (their result is a constant), which leaves the loop scalar wherever
    // vectors have no masks (AVX2 and below), three times slower.
    x = choose(x < -1000.0, -1000.0, choose(1000.0 < x, 1000.0, x));
    const double n = nearest(x);
    const double t = (x - n) * 0.6931471805599453;
    return estrin14(taylor_exp, t) * std::bit_cast<double>((whole_bits(n) + 1023) << 52);
}

// sin(pi x) and cos(pi x), for |x| < 2^50: x is taken to [-1, 1] by whole turns (exact:
// x minus an even whole number), then to f in [-1/4, 1/4] by quarter turns q, where the
// Taylor series of sin and cos of pi f to the 17th and 16th powers are within 1e-17; the
// quarter turns are put back by swapping and negating.
[[gnu::always_inline]] inline void sincos_pi(double x, double& s, double& c) {
    const double r = x - 2.0 * nearest(0.5 * x);
    const double q = nearest(2.0 * r);
    const double t = pi * (r - 0.5 * q), t2 = t * t;
    const double sp = t * estrin9(taylor_sin, t2), cp = estrin9(taylor_cos, t2);
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
    // The sine and cosine of the box's azimuth and elevation, for its position: the
    // azimuth's from its sums with one square root, the elevation's by the gate
    // functions' polynomials, where the library's sin and cos on every box cost more
    // than the rest of the work after the kernel.
    p_sin_azimuth,
    p_cos_azimuth,
    p_sin_elevation,
    p_cos_elevation,
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

// --- the gate terms ---------------------------------------------------------------------
// Each pass first computes, for a row of gates at once, what the sums need (the gate
// functions, the masks): a loop without calls or branches, compiled for every vector
// width, each gate's result the same bits in any width. Then each box's sums run along
// its gates in plain order. A missing gate adds exact zeros, so the sums are those of the
// valid gates alone.

// A row of gates as the sums read them: the weight (1 valid, 0 missing), the value (0
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
                                                   const double* __restrict per_ny,
                                                   const GateTerms& t) {
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
            sincos_pi(x * per_ny[g], s, c);
            f1[g] = keep_if(ok, s);
            f2[g] = keep_if(ok, c);
        } else {
            lo[g] = choose(ok, v, infinity);
            hi[g] = choose(ok, v, -infinity);
            if constexpr (Q == reflectivity) f1[g] = keep_if(ok, linear_z(x));
        }
    }
}

// The second pass's terms of a row, into x (and lo, hi). Folded velocities: each gate
// taken to its fold nearest its box's value `centre`, u = v + 2V round((value - v) / 2V)
// with two[g] = 2V and per_two[g] = 1 / 2V of its own ray, as its distance from that
// value (0 where missing) and as u or +-infinity. Otherwise: the distance from the box's
// mean `centre` (0 where missing).
template <int Q>
[[gnu::always_inline]] inline void spread_terms_body(const double* __restrict row, int64_t n,
                                                     double centre,
                                                     const double* __restrict two,
                                                     const double* __restrict per_two,
                                                     const GateTerms& t) {
    double* __restrict d = t.x;
    double* __restrict lo = t.lo;
    double* __restrict hi = t.hi;
    for (int64_t g = 0; g < n; ++g) {
        const double v = row[g];
        const bool ok = is_finite(v);
        const double x = keep_if(ok, v);
        if constexpr (Q == folded) {
            const double u = x + two[g] * nearest((centre - x) * per_two[g]);
            d[g] = keep_if(ok, u - centre);
            lo[g] = choose(ok, u, infinity);
            hi[g] = choose(ok, u, -infinity);
        } else {
            d[g] = keep_if(ok, x - centre);
        }
    }
}

#define SUPEROBS_TERMS(Q)                                                                     \
    KESTRUM_VECTOR_PATHS(gate_terms_##Q, gate_terms_body<Q>,                                  \
                         (const double* row, int64_t n, const double* per_ny,                 \
                          const GateTerms& t),                                                \
                         (row, n, per_ny, t))                                                 \
    KESTRUM_VECTOR_PATHS(spread_terms_##Q, spread_terms_body<Q>,                              \
                         (const double* row, int64_t n, double centre, const double* two,     \
                          const double* per_two, const GateTerms& t),                         \
                         (row, n, centre, two, per_two, t))
SUPEROBS_TERMS(plain)
SUPEROBS_TERMS(folded)
SUPEROBS_TERMS(reflectivity)
#undef SUPEROBS_TERMS

template <int Q>
void gate_terms(const double* row, int64_t n, const double* per_ny, const GateTerms& t) {
    if constexpr (Q == folded) gate_terms_folded(row, n, per_ny, t);
    else if constexpr (Q == reflectivity) gate_terms_reflectivity(row, n, per_ny, t);
    else gate_terms_plain(row, n, per_ny, t);
}

template <int Q>
void spread_terms(const double* row, int64_t n, double centre, const double* two,
                  const double* per_two, const GateTerms& t) {
    if constexpr (Q == folded) spread_terms_folded(row, n, centre, two, per_two, t);
    else if constexpr (Q == reflectivity)
        spread_terms_reflectivity(row, n, centre, two, per_two, t);
    else spread_terms_plain(row, n, centre, two, per_two, t);
}

// Scratch for the gates of one box, run after run in one row: their values, their
// rays' 1 / V, 2V and 1 / 2V (folded velocities), and their terms.
struct TermScratch {
    std::unique_ptr<double[]> w, x, f1, f2, lo, hi, values, per_ny, two, per_two;
    explicit TermScratch(int64_t gates) {
        for (auto* v : {&w, &x, &f1, &f2, &lo, &hi, &values, &per_ny, &two, &per_two})
            *v = std::make_unique_for_overwrite<double[]>(static_cast<size_t>(gates));
    }
    GateTerms terms() { return {w.get(), x.get(), f1.get(), f2.get(), lo.get(), hi.get()}; }
};

// The terms from gate k of a box's row on.
inline GateTerms from(const GateTerms& t, int64_t k) {
    return {t.w + k, t.x + k, t.f1 + k, t.f2 + k, t.lo + k, t.hi + k};
}

// --- the sums of a box ------------------------------------------------------------------
// A grid box's gates come in runs, each of one ray, in gate order. Its sums add a run's
// gates one by one; what the gates inherit from their ray (azimuth, elevation, time,
// Nyquist) is added once per run, as m copies of it for the run's m valid gates. (Polar
// boxes fill the same sums from their columns, below.)
//
// Folded velocities: the value is the mean on the fold circle, each gate at phase
// pi v / V of its own ray's Nyquist velocity V, scaled back by the box's mean V; each gate
// is then taken to its fold nearest that value before the spread, least and greatest.
// The spread is the population standard deviation: from the distances d of the gates
// from the value, sum (d - mean d)^2 = sum d^2 - n (mean d)^2, which loses nothing to
// cancellation, the value lying within the spread of its gates. Other quantities take
// the mean first and the squares about it in a second pass.
struct Sums {
    double count = 0, s_az = 0, c_az = 0, el = 0, rg = 0, t = 0, ny = 0;
    double sum = 0, z = 0, s = 0, c = 0, sq = 0, value = 0;
    double lo = infinity, hi = -infinity;
};

// The first pass over a run: gates at(0) .. at(n - 1) of the terms, with their ranges.
template <int Q, class At>
[[gnu::always_inline]] inline void add_gates(Sums& b, const GateTerms& terms,
                                             const double* range, int64_t n, At at,
                                             const Rays& rays, int64_t ray, double ny) {
    const double *w = terms.w, *x = terms.x, *f1 = terms.f1, *f2 = terms.f2;
    double m = 0.0, rg = b.rg, sum = b.sum, z = b.z, s = b.s, c = b.c, lo = b.lo, hi = b.hi;
    for (int64_t k = 0; k < n; ++k) {
        const int64_t g = at(k);
        m += w[g];
        rg += w[g] * range[g];
        if constexpr (Q == folded) {
            s += f1[g];
            c += f2[g];
        } else {
            sum += x[g];
            lo = std::min(lo, terms.lo[g]);
            hi = std::max(hi, terms.hi[g]);
            if constexpr (Q == reflectivity) z += f1[g];
        }
    }
    b.rg = rg;
    b.sum = sum;
    b.z = z;
    b.s = s;
    b.c = c;
    b.lo = lo;
    b.hi = hi;
    if (m != 0.0) {
        b.count += m;
        b.s_az += m * rays.sin_az[ray];
        b.c_az += m * rays.cos_az[ray];
        b.el += m * rays.elevation[ray];
        b.t += m * rays.time[ray];
        b.ny += m * ny;
    }
}

// After the first pass: the box's value (folded) or mean, and the sums the second pass
// restarts.
template <int Q>
inline void centre_of(Sums& b) {
    if (b.count == 0.0) return;
    if constexpr (Q == folded) {
        b.value = b.ny / b.count / pi * std::atan2(b.s, b.c);
        b.sum = 0.0;
        b.lo = infinity;
        b.hi = -infinity;
    } else {
        b.value = b.sum / b.count;
    }
}

// The second pass over a run, on the spread terms.
template <int Q, class At>
[[gnu::always_inline]] inline void add_spread(Sums& b, const GateTerms& terms, int64_t n,
                                              At at) {
    const double* d = terms.x;
    double sum = b.sum, sq = b.sq, lo = b.lo, hi = b.hi;
    for (int64_t k = 0; k < n; ++k) {
        const int64_t g = at(k);
        sq += d[g] * d[g];
        if constexpr (Q == folded) {
            sum += d[g];
            lo = std::min(lo, terms.lo[g]);
            hi = std::max(hi, terms.hi[g]);
        }
    }
    b.sum = sum;
    b.sq = sq;
    b.lo = lo;
    b.hi = hi;
}

// The planes of one box: `o` at plane 0, planes `stride` apart.
template <int Q>
void put_box(const Sums& b, double* o, int64_t stride) {
    const double n = b.count;
    for (int p = 0; p < planes; ++p) o[p * stride] = nan_value;
    o[p_count * stride] = n;
    if (n == 0.0) return;
    double value = b.value, spread = b.sq / n;
    if constexpr (Q == folded) {
        const double shift = b.sum / n;
        spread = std::max(0.0, spread - shift * shift);
        o[p_coherence * stride] = std::sqrt(b.s * b.s + b.c * b.c) / n;
        o[p_nyquist * stride] = b.ny / n;
    } else if constexpr (Q == reflectivity) {
        value = 10.0 * std::log10(b.z / n);
    }
    o[p_value * stride] = value;
    o[p_std * stride] = std::sqrt(spread);
    o[p_min * stride] = b.lo;
    o[p_max * stride] = b.hi;
    double az = std::atan2(b.s_az, b.c_az) / degree;
    if (az < 0.0) az += 360.0;
    o[p_azimuth * stride] = az < 360.0 ? az : 0.0;
    // Sums that cancel exactly have azimuth atan2(0, 0) = 0: north.
    const double length = std::sqrt(b.s_az * b.s_az + b.c_az * b.c_az);
    o[p_sin_azimuth * stride] = length > 0.0 ? b.s_az / length : 0.0;
    o[p_cos_azimuth * stride] = length > 0.0 ? b.c_az / length : 1.0;
    const double el = b.el / n;
    o[p_elevation * stride] = el;
    double sin_el, cos_el;
    sincos_pi(el / 180.0, sin_el, cos_el);
    o[p_sin_elevation * stride] = sin_el;
    o[p_cos_elevation * stride] = cos_el;
    o[p_range * stride] = b.rg / n;
    o[p_time * stride] = b.t / n;
}

template <class Run>
void for_quantity(int quantity, Run&& run) {
    if (quantity == folded) run.template operator()<folded>();
    else if (quantity == reflectivity) run.template operator()<reflectivity>();
    else run.template operator()<plain>();
}

// --- polar boxes ------------------------------------------------------------------------
// Items 0 .. n-1 grouped by key in item order (a stable counting sort), items whose key
// is negative left out: key k's items are the result's [first[k], first[k + 1]).
std::vector<int64_t> group_by(const int64_t* key, int64_t n, int64_t keys,
                              std::vector<int64_t>& first) {
    first.assign(static_cast<size_t>(keys) + 1, 0);
    for (int64_t i = 0; i < n; ++i)
        if (key[i] >= 0) ++first[key[i] + 1];
    for (int64_t k = 0; k < keys; ++k) first[k + 1] += first[k];
    std::vector<int64_t> items(static_cast<size_t>(first[keys]));
    std::vector<int64_t> next(first.begin(), first.end() - 1);
    for (int64_t i = 0; i < n; ++i)
        if (key[i] >= 0) items[next[key[i]]++] = i;
    return items;
}

// One azimuth group (the boxes of one sweep's azimuth cell, one per range cell) is one
// item of the runner; no sort is needed and the rows are read where they lie. A group's
// sums are kept per gate position (per column of its rows): each ray adds its gates to
// their columns, a loop over the whole row without calls or branches, compiled for every
// vector width (each column's sum is its own chain, so every width gives the same bits);
// then each box adds up its columns. So a box's sums run over its rays in ray order for
// each gate, then over its gates in gate order: an order fixed by the data alone, the
// same for every thread count. A group's rows (a few rays) stay in cache for the second
// pass.

// Per gate position of a group, sums over the rays so far: the weight (number of valid
// gates), the gate functions (sine and cosine of the phase, or the value and linear Z),
// the least and greatest value. What gates inherit from their ray (azimuth, elevation,
// time, Nyquist) is added per ray and box, as m copies for the box's m valid gates in
// the row.
struct Columns {
    double* w;
    double* one;
    double* two;
    double* lo;
    double* hi;
};

// sum + term, or (First) 0 + term, the sum's start.
template <bool First>
[[gnu::always_inline]] inline void add_to(double& sum, double term) {
    if constexpr (First) sum = 0.0 + term;
    else sum += term;
}

// Widens the least and greatest so far by a gate's l and h (First: starts them): one
// vector min and max each (neither is ever NaN, nor -0, the terms being sums with +0).
template <bool First>
[[gnu::always_inline]] inline void widen(double& lo, double& hi, double l, double h) {
    if constexpr (First) {
        lo = l;
        hi = h;
    } else {
        lo = std::min(lo, l);
        hi = std::max(hi, h);
    }
}

// Adds (First: sets, as 0 + the term, the sum's start) one row's gates to the columns.
template <int Q, bool First>
[[gnu::always_inline]] inline void add_row_body(const double* __restrict row, int64_t n,
                                                double per_ny, double* __restrict w,
                                                double* __restrict one, double* __restrict two,
                                                double* __restrict lo, double* __restrict hi) {
    for (int64_t g = 0; g < n; ++g) {
        const double v = row[g];
        const bool ok = is_finite(v);
        const double x = keep_if(ok, v), wg = keep_if(ok, 1.0);
        add_to<First>(w[g], wg);
        if constexpr (Q == folded) {
            double s, c;
            sincos_pi(x * per_ny, s, c);
            add_to<First>(one[g], keep_if(ok, s));
            add_to<First>(two[g], keep_if(ok, c));
        } else {
            add_to<First>(one[g], x);
            widen<First>(lo[g], hi[g], choose(ok, v, infinity), choose(ok, v, -infinity));
            if constexpr (Q == reflectivity) add_to<First>(two[g], keep_if(ok, linear_z(x)));
        }
    }
}

// The second pass's terms of one row, added to the columns one (the distances from the
// box's value or mean, `centre[g]`), two (their squares), lo and hi. Folded velocities:
// each gate taken to its fold nearest the value, u = v + 2V round((value - v) / 2V); lo
// and hi are u's. Others: the distance from the mean.
template <int Q, bool First>
[[gnu::always_inline]] inline void add_spread_row_body(const double* __restrict row, int64_t n,
                                                       const double* __restrict centre,
                                                       double two_ny, double* __restrict one,
                                                       double* __restrict two,
                                                       double* __restrict lo,
                                                       double* __restrict hi) {
    const double per_two = 1.0 / two_ny;
    for (int64_t g = 0; g < n; ++g) {
        const double v = row[g];
        const bool ok = is_finite(v);
        const double x = keep_if(ok, v);
        if constexpr (Q == folded) {
            const double u = x + two_ny * nearest((centre[g] - x) * per_two);
            const double d = keep_if(ok, u - centre[g]);
            add_to<First>(one[g], d);
            add_to<First>(two[g], d * d);
            widen<First>(lo[g], hi[g], choose(ok, u, infinity), choose(ok, u, -infinity));
        } else {
            const double d = keep_if(ok, x - centre[g]);
            add_to<First>(two[g], d * d);
        }
    }
}

// The columns as separate arguments, each marked as reaching memory no other reaches,
// which is what lets the compiler run a loop with this many of them as vectors.
#define SUPEROBS_COLUMNS                                                                      \
    double *__restrict w, double *__restrict one, double *__restrict two,                     \
        double *__restrict lo, double *__restrict hi
#define SUPEROBS_ROWS(Q, FIRST, NAME)                                                         \
    KESTRUM_VECTOR_PATHS(add_row_##NAME, (add_row_body<Q, FIRST>),                            \
                         (const double* __restrict row, int64_t n, double per_ny,             \
                          SUPEROBS_COLUMNS),                                                  \
                         (row, n, per_ny, w, one, two, lo, hi))                               \
    KESTRUM_VECTOR_PATHS(add_spread_row_##NAME, (add_spread_row_body<Q, FIRST>),              \
                         (const double* __restrict row, int64_t n,                            \
                          const double* __restrict centre, double two_ny,                     \
                          double* __restrict one, double* __restrict two,                     \
                          double* __restrict lo, double* __restrict hi),                      \
                         (row, n, centre, two_ny, one, two, lo, hi))
SUPEROBS_ROWS(plain, true, plain_first)
SUPEROBS_ROWS(plain, false, plain)
SUPEROBS_ROWS(folded, true, folded_first)
SUPEROBS_ROWS(folded, false, folded)
SUPEROBS_ROWS(reflectivity, true, reflectivity_first)
SUPEROBS_ROWS(reflectivity, false, reflectivity)
#undef SUPEROBS_ROWS
#undef SUPEROBS_COLUMNS

template <int Q>
void add_row(bool first, const double* row, int64_t n, double per_ny, const Columns& a) {
    const auto body = Q == folded         ? (first ? add_row_folded_first : add_row_folded)
                     : Q == reflectivity ? (first ? add_row_reflectivity_first
                                                  : add_row_reflectivity)
                                         : (first ? add_row_plain_first : add_row_plain);
    body(row, n, per_ny, a.w, a.one, a.two, a.lo, a.hi);
}

template <int Q>
void add_spread_row(bool first, const double* row, int64_t n, const double* centre,
                    double two_ny, const Columns& a) {
    const auto body = Q == folded ? (first ? add_spread_row_folded_first : add_spread_row_folded)
                     : Q == reflectivity ? (first ? add_spread_row_reflectivity_first
                                                  : add_spread_row_reflectivity)
                                         : (first ? add_spread_row_plain_first
                                                  : add_spread_row_plain);
    body(row, n, centre, two_ny, a.one, a.two, a.lo, a.hi);
}

// What a group's boxes inherit from a ray (azimuth, elevation, time, Nyquist velocity)
// is added per box as m copies for the box's m valid gates in the ray. Both steps take
// all of a row's boxes in one loop compiled for every vector width, not one short loop
// per box (twenty gates, in NOAA's boxes), which cost as much as the gates' own sums.
//
// The valid gates of each box in a row: box j's are gates first[j] .. first[j+1]-1 when
// every box is a run of neighbouring gates, those listed there in `at` otherwise.
[[gnu::always_inline]] inline void valid_per_box_body(const double* __restrict row,
                                                      const int64_t* __restrict first,
                                                      const int64_t* __restrict at,
                                                      int64_t cells, bool runs,
                                                      double* __restrict m) {
    for (int64_t j = 0; j < cells; ++j) {
        int64_t n = 0;
        if (runs) {
            const double* box = row + (first[j] < first[j + 1] ? at[first[j]] : 0);
            for (int64_t k = 0; k < first[j + 1] - first[j]; ++k) n += is_finite(box[k]);
        } else {
            for (int64_t k = first[j]; k < first[j + 1]; ++k) n += is_finite(row[at[k]]);
        }
        m[j] = static_cast<double>(n);
    }
}
KESTRUM_VECTOR_PATHS(valid_per_box, valid_per_box_body,
                     (const double* __restrict row, const int64_t* __restrict first,
                      const int64_t* __restrict at, int64_t cells, bool runs,
                      double* __restrict m),
                     (row, first, at, cells, runs, m))

// The sums of what the boxes inherit, one per box (range cell), each over the group's
// rays in ray order, as the box's other sums. A box without valid gates in the ray adds
// nothing: not 0 times the ray's time, which may be NaN.
struct Inherited {
    double* m;  // the ray's valid gates in each box
    double* sin_az;
    double* cos_az;
    double* elevation;
    double* time;
    double* nyquist;
};

[[gnu::always_inline]] inline void inherit_body(int64_t cells, const double* __restrict m,
                                                double sa, double ca, double el, double t,
                                                double ny, double* __restrict s_az,
                                                double* __restrict c_az,
                                                double* __restrict s_el,
                                                double* __restrict s_t,
                                                double* __restrict s_ny) {
    for (int64_t j = 0; j < cells; ++j) {
        const bool any = m[j] != 0.0;
        s_az[j] += keep_if(any, m[j] * sa);
        c_az[j] += keep_if(any, m[j] * ca);
        s_el[j] += keep_if(any, m[j] * el);
        s_t[j] += keep_if(any, m[j] * t);
        s_ny[j] += keep_if(any, m[j] * ny);
    }
}
KESTRUM_VECTOR_PATHS(inherit, inherit_body,
                     (int64_t cells, const double* __restrict m, double sa, double ca,
                      double el, double t, double ny, double* __restrict s_az,
                      double* __restrict c_az, double* __restrict s_el,
                      double* __restrict s_t, double* __restrict s_ny),
                     (cells, m, sa, ca, el, t, ny, s_az, c_az, s_el, s_t, s_ny))

// A group's columns, each gate's box value or mean for the second pass, and the sums of
// what its boxes inherit.
struct ColumnScratch {
    std::vector<double> w, one, two, lo, hi, centre;
    std::vector<double> m, sin_az, cos_az, elevation, time, nyquist;
    ColumnScratch(int64_t gates, int64_t cells) {
        for (auto* v : {&w, &one, &two, &lo, &hi, &centre})
            v->assign(static_cast<size_t>(gates), 0.0);
        for (auto* v : {&m, &sin_az, &cos_az, &elevation, &time, &nyquist})
            v->assign(static_cast<size_t>(cells), 0.0);
    }
    Columns columns() { return {w.data(), one.data(), two.data(), lo.data(), hi.data()}; }
    Inherited inherited() {
        return {m.data(), sin_az.data(), cos_az.data(), elevation.data(), time.data(),
                nyquist.data()};
    }
};

// The statistics of one group's boxes. The gates of range cell j are
// cell_gates[first[j] .. first[j+1]-1], in gate order.
template <int Q>
void group_stats(const int64_t* ray_list, int64_t n_rays, const double* values, int64_t gates,
                 const int64_t* first, const int64_t* cell_gates, int64_t cells, bool runs,
                 const Rays& rays, const double* range, ColumnScratch& scratch,
                 std::vector<Sums>& sums, double* out, int64_t stride) {
    const Columns a = scratch.columns();
    const Inherited h = scratch.inherited();
    std::fill(sums.begin(), sums.end(), Sums{});
    if (n_rays > 0) {
        for (double* v : {h.sin_az, h.cos_az, h.elevation, h.time, h.nyquist})
            std::fill_n(v, cells, 0.0);
        for (int64_t q = 0; q < n_rays; ++q) {
            const int64_t r = ray_list[q];
            const double ny = Q == folded ? rays.nyquist[r] : 1.0;
            const double* row = values + r * gates;
            add_row<Q>(q == 0, row, gates, 1.0 / ny, a);
            valid_per_box(row, first, cell_gates, cells, runs, h.m);
            inherit(cells, h.m, rays.sin_az[r], rays.cos_az[r], rays.elevation[r],
                    rays.time[r], ny, h.sin_az, h.cos_az, h.elevation, h.time, h.nyquist);
        }
        for (int64_t j = 0; j < cells; ++j) {
            Sums& b = sums[j];
            b.s_az = h.sin_az[j];
            b.c_az = h.cos_az[j];
            b.el = h.elevation[j];
            b.t = h.time[j];
            b.ny = h.nyquist[j];
        }
        for (int64_t j = 0; j < cells; ++j) {
            Sums& b = sums[j];
            for (int64_t k = first[j]; k < first[j + 1]; ++k) {
                const int64_t g = cell_gates[k];
                b.count += a.w[g];
                b.rg += a.w[g] * range[g];
                if constexpr (Q == folded) {
                    b.s += a.one[g];
                    b.c += a.two[g];
                } else {
                    b.sum += a.one[g];
                    b.z += a.two[g];
                    b.lo = std::min(b.lo, a.lo[g]);
                    b.hi = std::max(b.hi, a.hi[g]);
                }
            }
        }
        // Each box's value or mean, spread to its gates for the second pass; gates in no
        // cell keep 0, whose columns no box reads.
        double* centre = scratch.centre.data();
        for (int64_t j = 0; j < cells; ++j) {
            centre_of<Q>(sums[j]);
            for (int64_t k = first[j]; k < first[j + 1]; ++k)
                centre[cell_gates[k]] = sums[j].value;
        }
        for (int64_t q = 0; q < n_rays; ++q) {
            const int64_t r = ray_list[q];
            const double two_ny = Q == folded ? 2.0 * rays.nyquist[r] : 1.0;
            add_spread_row<Q>(q == 0, values + r * gates, gates, centre, two_ny, a);
        }
        for (int64_t j = 0; j < cells; ++j) {
            Sums& b = sums[j];
            for (int64_t k = first[j]; k < first[j + 1]; ++k) {
                const int64_t g = cell_gates[k];
                b.sq += a.two[g];
                if constexpr (Q == folded) {
                    b.sum += a.one[g];
                    b.lo = std::min(b.lo, a.lo[g]);
                    b.hi = std::max(b.hi, a.hi[g]);
                }
            }
        }
    }
    for (int64_t j = 0; j < cells; ++j) put_box<Q>(sums[j], out + j, stride);
}

// --- grid boxes -------------------------------------------------------------------------
// A ray crosses a grid box in a run of neighbouring gates (its ground distance grows
// along it, and its height too above the horizon), so a box's gates are a few runs: the
// rays' runs are found once, by walking each ray's gates, and put in box order by a
// stable counting sort, a tenth of the work a sort of the gates would be. A box's runs
// then come in ray order, each in gate order: its sums run over its gates in gate order.

// A run: gates [begin, end) of one ray, all in one box.
struct Run {
    int32_t box;
    int32_t ray;
    int32_t begin;
    int32_t end;
};

// The cell of `edges` (n + 1 increasing edges of n cells) that holds x, or -1 outside
// them, starting from cell k (that of the gate before, so usually no step is taken).
inline int64_t walk_cell(const double* edges, int64_t n, double x, int64_t& k) {
    if (!(x >= edges[0] && x < edges[n])) return -1;
    while (x < edges[k]) --k;
    while (x >= edges[k + 1]) ++k;
    return k;
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
    for (int64_t g = 0; g < gates; ++g) require(gb[g] < cells, "gate_box out of range");
    std::vector<int64_t> first;
    const std::vector<int64_t> cell_gates = group_by(gb, gates, cells, first);
    bool runs = true;
    for (int64_t j = 0; j < cells; ++j)
        for (int64_t k = first[j]; k < first[j + 1]; ++k)
            runs = runs && cell_gates[k] == cell_gates[first[j]] + (k - first[j]);
    const Rays info{sin_az.data(), cos_az.data(), elevation.data(), time.data(), nyquist.data()};
    const int64_t boxes = groups * cells;
    auto result = runtime::new_array<double>({planes, boxes});
    double* out = result.mutable_data();
    const double* pv = values.data();
    const double* pr = range.data();
    {
        runtime::release_gil release;
        // The rays of each group in ray order: a stable counting sort of the rays.
        std::vector<int64_t> start;
        const std::vector<int64_t> order = group_by(rg, rays, groups, start);
        for_quantity(quantity, [&]<int Q>() {
            // Blocks of 16 groups: each block's columns are a few rows' worth of scratch.
            runtime::for_blocks(groups, 16, n_threads, [&](int64_t begin, int64_t end) {
                ColumnScratch scratch(gates, cells);
                std::vector<Sums> sums(static_cast<size_t>(cells));
                for (int64_t k = begin; k < end; ++k)
                    group_stats<Q>(order.data() + start[k], start[k + 1] - start[k], pv, gates,
                                   first.data(), cell_gates.data(), cells, runs, info, pr,
                                   scratch, sums, out + k * cells, boxes);
            });
        });
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
    require(rays <= std::numeric_limits<int32_t>::max() &&
                gates <= std::numeric_limits<int32_t>::max(),
            "too many rays or gates");
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
    const double *pr = range.data(), *pv = values.data();
    const Rays info{ps, pc, pe, time.data(), nyquist.data()};
    auto result = runtime::new_array<double>({planes, boxes});
    double* out = result.mutable_data();
    {
        runtime::release_gil release;
        // The runs of each chunk of rays (as many chunks as threads), counted per box; the
        // offsets of chunk c's runs in box b follow those of the chunks before c, so every
        // chunk puts its runs in place independently, in the unique stable order.
        double corner = 0.0;
        for (double x : {xe[0], xe[nx]})
            for (double y : {ye[0], ye[ny]}) corner = std::max(corner, std::hypot(x, y));
        corner *= 1.0 + 1e-9;  // x and y are the ground distance times a sine and cosine
        const int64_t chunks = std::max<int64_t>(1, runtime::team_size(rays, n_threads));
        const int64_t per_chunk = (rays + chunks - 1) / chunks;
        std::vector<std::vector<Run>> found(static_cast<size_t>(chunks));
        std::vector<int64_t> offset(static_cast<size_t>(chunks * boxes), 0);
        runtime::parallel_blocks(chunks, 1, n_threads, [&](int64_t c) {
            const int64_t r0 = std::min(rays, c * per_chunk), r1 = std::min(rays, r0 + per_chunk);
            std::vector<Run>& list = found[c];
            list.reserve(static_cast<size_t>((r1 - r0) * 64));
            int64_t* count = offset.data() + c * boxes;
            // Ground distance and height cell of every gate at the elevation at hand: the
            // rays of a sweep share them, so the beam model runs once per sweep.
            // The gates past `reach` are beyond every corner of the grid or above its top.
            std::vector<double> ground(static_cast<size_t>(gates));
            std::vector<int64_t> level(static_cast<size_t>(gates));
            double known = nan_value;
            int64_t reach = 0;
            for (int64_t r = r0; r < r1; ++r) {
                if (rs[r] < 0) continue;
                if (!(pe[r] == known)) {
                    known = pe[r];
                    const double ka = effective_radius, sin_el = std::sin(known * degree);
                    const double cos_el = std::cos(known * degree);
                    reach = 0;
                    for (int64_t g = 0; g < gates; ++g) {
                        const double rg = pr[g];
                        const double rise =
                            std::sqrt(rg * rg + ka * ka + 2.0 * rg * ka * sin_el) - ka;
                        ground[g] = ka * std::asin(rg * cos_el / (ka + rise));
                        level[g] = by_height ? cell(ze, nz, rise + altitude) : 0;
                        if (ground[g] <= corner && level[g] >= 0) reach = g + 1;
                    }
                }
                // The box of the gate before is kept while the gate is in its cells,
                // [x_lo, x_hi) x [y_lo, y_hi) on level `in_level` (an empty interval
                // outside the grid); only when it leaves them are the cells walked.
                int64_t kx = 0, ky = 0, box = -1, begin = 0, in_level = -1;
                double x_lo = infinity, x_hi = -infinity, y_lo = infinity, y_hi = -infinity;
                const int64_t iz_ray = rs[r];
                for (int64_t g = 0; g < reach; ++g) {
                    const double x = ground[g] * ps[r], y = ground[g] * pc[r];
                    const int64_t iz = by_height ? level[g] : iz_ray;
                    if (x >= x_lo && x < x_hi && y >= y_lo && y < y_hi && iz == in_level)
                        continue;
                    const int64_t ix = walk_cell(xe, nx, x, kx);
                    const int64_t iy = walk_cell(ye, ny, y, ky);
                    const int64_t b = ix < 0 || iy < 0 || iz < 0 ? -1 : (iz * ny + iy) * nx + ix;
                    x_lo = b < 0 ? infinity : xe[ix];
                    x_hi = b < 0 ? -infinity : xe[ix + 1];
                    y_lo = b < 0 ? infinity : ye[iy];
                    y_hi = b < 0 ? -infinity : ye[iy + 1];
                    in_level = iz;
                    if (b == box) continue;
                    if (box >= 0) {
                        list.push_back({static_cast<int32_t>(box), static_cast<int32_t>(r),
                                        static_cast<int32_t>(begin), static_cast<int32_t>(g)});
                        ++count[box];
                    }
                    box = b;
                    begin = g;
                }
                if (box >= 0) {
                    list.push_back({static_cast<int32_t>(box), static_cast<int32_t>(r),
                                    static_cast<int32_t>(begin), static_cast<int32_t>(reach)});
                    ++count[box];
                }
            }
        });
        std::vector<int64_t> start(static_cast<size_t>(boxes) + 1, 0);
        int64_t at = 0;
        for (int64_t b = 0; b < boxes; ++b) {
            start[b] = at;
            for (int64_t c = 0; c < chunks; ++c) {
                const int64_t n = offset[c * boxes + b];
                offset[c * boxes + b] = at;
                at += n;
            }
        }
        start[boxes] = at;
        std::vector<Run> sorted(static_cast<size_t>(at));
        runtime::parallel_blocks(chunks, 1, n_threads, [&](int64_t c) {
            int64_t* next = offset.data() + c * boxes;
            for (const Run& run : found[c]) sorted[next[run.box]++] = run;
        });
        found = {};
        // A box's gates are gathered, run after run, into one row, so that each pass
        // computes their terms in one vector loop: a loop per run (eight gates on
        // average) spent most of its time starting and ending. A box of more gates than
        // the scratch holds (`most`, at least the longest run) is taken in batches of
        // whole runs; the scratch is left unset, each pass writing what it reads.
        int64_t longest = 1;
        for (const Run& run : sorted) longest = std::max<int64_t>(longest, run.end - run.begin);
        const int64_t most = std::max<int64_t>(longest, 1024);
        auto length = [&](int64_t k) -> int64_t { return sorted[k].end - sorted[k].begin; };
        // The end of the batch of runs from k0 on, before `end`.
        auto batch = [&](int64_t k0, int64_t end) {
            int64_t k1 = k0 + 1;
            for (int64_t m = length(k0); k1 < end && m + length(k1) <= most; ++k1)
                m += length(k1);
            return k1;
        };
        // One box per item of the runner, its runs read where they lie.
        for_quantity(quantity, [&]<int Q>() {
            runtime::for_blocks(boxes, 64, n_threads, [&](int64_t first, int64_t last) {
                TermScratch scratch(most);
                const GateTerms terms = scratch.terms();
                double* const row = scratch.values.get();
                double* const per_ny = scratch.per_ny.get();
                double* const two = scratch.two.get();
                double* const per_two = scratch.per_two.get();
                auto same = [](int64_t k) { return k; };
                // A box's runs lie in rows all over the volume: each run's gates are
                // fetched from memory a few runs ahead, so that they are in cache when
                // their turn comes.
                auto fetch = [&, end = start[last]](int64_t k) {
                    if (k >= end) return;
                    const Run& run = sorted[k];
                    const double* ray_row = pv + run.ray * gates;
                    for (int64_t g = run.begin; g < run.end; g += 8)
                        __builtin_prefetch(ray_row + g);
                    __builtin_prefetch(ray_row + run.end - 1);
                };
                constexpr int64_t ahead = 8;
                // Runs k0 .. k1-1 into the row; their number of gates.
                auto gather = [&](int64_t k0, int64_t k1, bool fetching) {
                    int64_t m = 0;
                    for (int64_t k = k0; k < k1; ++k) {
                        if (fetching) fetch(k + ahead);
                        const Run& run = sorted[k];
                        const int64_t n = run.end - run.begin;
                        std::copy_n(pv + run.ray * gates + run.begin, n, row + m);
                        if constexpr (Q == folded) {
                            const double ny = info.nyquist[run.ray];
                            std::fill_n(per_ny + m, n, 1.0 / ny);
                            std::fill_n(two + m, n, 2.0 * ny);
                            std::fill_n(per_two + m, n, 1.0 / (2.0 * ny));
                        }
                        m += n;
                    }
                    return m;
                };
                for (int64_t k = start[first]; k < start[first] + ahead; ++k) fetch(k);
                for (int64_t b = first; b < last; ++b) {
                    Sums sums;
                    const int64_t kb = start[b], ke = start[b + 1];
                    int64_t m = 0, batches = 0;
                    for (int64_t k0 = kb, k1; k0 < ke; k0 = k1, ++batches) {
                        k1 = batch(k0, ke);
                        m = gather(k0, k1, true);
                        gate_terms<Q>(row, m, per_ny, terms);
                        for (int64_t k = k0, g = 0; k < k1; g += length(k), ++k) {
                            const Run& run = sorted[k];
                            const double ray_ny = Q == folded ? info.nyquist[run.ray] : 1.0;
                            add_gates<Q>(sums, from(terms, g), pr + run.begin, length(k), same,
                                         info, run.ray, ray_ny);
                        }
                    }
                    centre_of<Q>(sums);
                    // A box of one batch has its gates in the row still.
                    const bool held = batches == 1;
                    for (int64_t k0 = kb, k1; k0 < ke; k0 = k1) {
                        k1 = batch(k0, ke);
                        if (!held) m = gather(k0, k1, false);
                        spread_terms<Q>(row, m, sums.value, two, per_two, terms);
                        for (int64_t k = k0, g = 0; k < k1; g += length(k), ++k)
                            add_spread<Q>(sums, from(terms, g), length(k), same);
                    }
                    put_box<Q>(sums, out + b, boxes);
                }
            });
        });
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
