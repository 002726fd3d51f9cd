// _kestrum: cold-pool, wind-profile and baroclinity kernels.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "runtime/binding.hpp"
#include "runtime/values.hpp"
#include "runtime/vector_paths.hpp"

namespace py = pybind11;
using runtime::f64;
using runtime::require;
using runtime::is_finite;
using runtime::nan_value;

namespace {

// ---------------------------------------------------------------------------------------
// vad

constexpr int64_t vad_block = 64;
constexpr int vad_planes = 8;

// A fit is refused when its normal equations are singular up to rounding, whatever
// min_spread says: valid gates at only one or two azimuths cannot determine three
// coefficients, yet rounding leaves the determinant a little off zero. The test is
// relative to the product of the diagonal (Hadamard's bound, so the ratio lies in
// [0, 1] and no scale of the data matters). The diagonal of the first-order system is
// at most n^2 / 4, and of the second-order one n^4 / 16, so every fit that passes the
// min_spread tests with min_spread >= 1e-10 also passes this one.
constexpr double vad_singular = 1e-10;

// The valid gates of one row, with the sines and cosines of az and 2*az computed once.
// The fit reads them in several passes; recomputing them per pass would give the same
// values at several times the cost, since sincos dominates the work.
struct GateScratch {
    std::vector<double> vr, s, c, s2, c2;
    // The sines and cosines of the last row's azimuths, gate by gate, kept for the next
    // row: in a radar sweep every range ring has the azimuths of the ring before it, and
    // a row whose azimuths are the same bits gets the same values without a sincos call.
    // `known[j]` tells which gates have them (only valid gates are ever computed).
    std::vector<double> row_s, row_c, row_s2, row_c2;
    std::vector<unsigned char> known;
    const double* row_az = nullptr;

    explicit GateScratch(int64_t gates)
        : vr(gates), s(gates), c(gates), s2(gates), c2(gates), row_s(gates), row_c(gates),
          row_s2(gates), row_c2(gates), known(gates) {}

    // Makes the per-gate values those of `az`: kept when `az` holds the same bits as the
    // row they were computed for, forgotten otherwise. Compared bit for bit, not as
    // numbers: 0.0 and -0.0 are equal but their sines are not.
    void use_azimuths(const double* az, int64_t gates) {
        const size_t bytes = static_cast<size_t>(gates) * sizeof(double);
        if (row_az != nullptr && (row_az == az || std::memcmp(row_az, az, bytes) == 0)) {
            row_az = az;
            return;
        }
        std::fill(known.begin(), known.end(), static_cast<unsigned char>(0));
        row_az = az;
    }

    // sin and cos of az[j] and of 2*az[j], computed on first use for this azimuth row.
    void sines(int64_t j, double& sj, double& cj, double& s2j, double& c2j) {
        if (!known[j]) {
            sincos(row_az[j], &row_s[j], &row_c[j]);
            sincos(2.0 * row_az[j], &row_s2[j], &row_c2[j]);
            known[j] = 1;
        }
        sj = row_s[j];
        cj = row_c[j];
        s2j = row_s2[j];
        c2j = row_c2[j];
    }
};

// Solves the centred 4x4 normal equations of the second-order fit by Gaussian
// elimination with partial pivoting. Returns false when the system is singular or the
// spread of the four regressors is too small for the fit to be trusted.
bool solve_second_order(double A[4][4], double y[4], double n, double min_spread,
                        double x[4]) {
    const double diagonal = A[0][0] * A[1][1] * A[2][2] * A[3][3];
    int exchanges = 0;
    for (int k = 0; k < 3; ++k) {
        int pivot = k;
        for (int i = k + 1; i < 4; ++i)
            if (std::fabs(A[i][k]) > std::fabs(A[pivot][k])) pivot = i;
        if (A[pivot][k] == 0.0) return false;
        if (pivot != k) {
            for (int j = 0; j < 4; ++j) std::swap(A[k][j], A[pivot][j]);
            std::swap(y[k], y[pivot]);
            ++exchanges;
        }
        for (int i = k + 1; i < 4; ++i) {
            const double f = A[i][k] / A[k][k];
            for (int j = k; j < 4; ++j) A[i][j] -= f * A[k][j];
            y[i] -= f * y[k];
        }
    }
    if (A[3][3] == 0.0) return false;
    x[3] = y[3] / A[3][3];
    x[2] = (y[2] - A[2][3] * x[3]) / A[2][2];
    x[1] = (y[1] - A[1][2] * x[2] - A[1][3] * x[3]) / A[1][1];
    x[0] = (y[0] - A[0][1] * x[1] - A[0][2] * x[2] - A[0][3] * x[3]) / A[0][0];

    double det = A[0][0] * A[1][1] * A[2][2] * A[3][3];
    if (exchanges % 2 == 1) det = -det;
    // Written as "not >=" so that a NaN ratio or a NaN min_spread rejects the fit.
    return det != 0.0 && det / ((n * n) * (n * n)) >= 0.25 * min_spread &&
           det > vad_singular * diagonal;
}

// Fits one row of gates; gate j's velocity is vr[j * step] (a ring of a sweep laid out
// (rays, gates) is a column of it); `out` points at plane 0 of the row, planes are
// `stride` apart.
void fit_row(const double* vr, int64_t step, const double* az, int64_t gates, double cos_el,
             int64_t min_gates, double min_spread, GateScratch& g, double* out,
             int64_t stride) {
    for (int p = 0; p < vad_planes; ++p) out[p * stride] = nan_value;

    // Pass 1 (and the means of pass 4): count, sum, keep the valid gates in order.
    int64_t count = 0;
    double sum_v = 0.0, sum_s = 0.0, sum_c = 0.0, sum_s2 = 0.0, sum_c2 = 0.0;
    g.use_azimuths(az, gates);
    for (int64_t j = 0; j < gates; ++j) {
        const double v = vr[j * step];
        if (!is_finite(v) || !is_finite(az[j])) continue;
        double s, c, s2, c2;
        g.sines(j, s, c, s2, c2);
        g.vr[count] = v;
        g.s[count] = s;
        g.c[count] = c;
        g.s2[count] = s2;
        g.c2[count] = c2;
        sum_v += v;
        sum_s += s;
        sum_c += c;
        sum_s2 += s2;
        sum_c2 += c2;
        ++count;
    }
    const double n = static_cast<double>(count);
    out[4 * stride] = n;
    if (n < static_cast<double>(min_gates) || n < 3.0) return;

    const double mv = sum_v / n, ms = sum_s / n, mc = sum_c / n;
    const double ms2 = sum_s2 / n, mc2 = sum_c2 / n;

    // Pass 2 with pass 5 alongside: every sum still runs over the gates in index order,
    // so each one is the same number it would be in a pass of its own.
    // The fourteen sums are named locals, not array elements, so that they stay in
    // registers: sums kept in an array went through memory every gate.
    double a00 = 0.0, a01 = 0.0, a02 = 0.0, a03 = 0.0, a11 = 0.0, a12 = 0.0, a13 = 0.0;
    double a22 = 0.0, a23 = 0.0, a33 = 0.0, y0 = 0.0, y1 = 0.0, y2 = 0.0, y3 = 0.0;
    for (int64_t j = 0; j < count; ++j) {
        const double d0 = g.s[j] - ms, d1 = g.c[j] - mc, d2 = g.s2[j] - ms2, d3 = g.c2[j] - mc2;
        const double dv = g.vr[j] - mv;
        a00 += d0 * d0;
        a01 += d0 * d1;
        a02 += d0 * d2;
        a03 += d0 * d3;
        y0 += d0 * dv;
        a11 += d1 * d1;
        a12 += d1 * d2;
        a13 += d1 * d3;
        y1 += d1 * dv;
        a22 += d2 * d2;
        a23 += d2 * d3;
        y2 += d2 * dv;
        a33 += d3 * d3;
        y3 += d3 * dv;
    }
    double A[4][4] = {{a00, a01, a02, a03}, {a01, a11, a12, a13}, {a02, a12, a22, a23},
                      {a03, a13, a23, a33}};
    double y[4] = {y0, y1, y2, y3};

    const double Sss = A[0][0], Scc = A[1][1], Ssc = A[0][1], Ssv = y[0], Scv = y[1];
    const double D = Sss * Scc - Ssc * Ssc;
    // "not >=" so that a NaN ratio or a NaN min_spread rejects the fit.
    if (!(D / (n * n) >= min_spread) || !(D > vad_singular * (Sss * Scc))) return;

    const double a = (Scc * Ssv - Ssc * Scv) / D;
    const double b = (Sss * Scv - Ssc * Ssv) / D;
    const double a0 = mv - ms * a - mc * b;

    double ssr = 0.0;
    for (int64_t j = 0; j < count; ++j) {
        const double r = g.vr[j] - a0 - a * g.s[j] - b * g.c[j];
        ssr += r * r;
    }
    out[0] = a / cos_el;
    out[stride] = b / cos_el;
    out[2 * stride] = a0;
    out[3 * stride] = std::sqrt(ssr / n);

    double x[4];
    if (!solve_second_order(A, y, n, min_spread, x)) return;
    out[5 * stride] = mv - x[0] * ms - x[1] * mc - x[2] * ms2 - x[3] * mc2;
    out[6 * stride] = x[2];
    out[7 * stride] = x[3];
}

py::array_t<double> vad_py(f64 vr, f64 az, f64 cos_el, int64_t min_gates, double min_spread,
                           int32_t n_threads) {
    require(vr.ndim() == 2 && az.ndim() == 2, "vr, az must be 2-D");
    require(az.shape(0) == vr.shape(0) && az.shape(1) == vr.shape(1), "shape mismatch");
    const int64_t R = vr.shape(0), G = vr.shape(1);
    require(cos_el.size() == R, "shape mismatch");

    auto result = runtime::new_array<double>({vad_planes, R});
    const double* pv = vr.data();
    const double* pa = az.data();
    const double* pc = cos_el.data();
    double* out = result.mutable_data();
    {
        runtime::release_gil release;
        runtime::for_blocks(R, vad_block, n_threads, [&](int64_t begin, int64_t end) {
            GateScratch scratch(G);
            for (int64_t r = begin; r < end; ++r)
                fit_row(pv + r * G, 1, pa + r * G, G, pc[r], min_gates, min_spread, scratch,
                        out + r, R);
        });
    }
    return result;
}

// vad of whole sweeps as they are held: vr (sweeps, rays, gates) in any layout, one
// azimuth per ray and one cosine of the elevation per sweep. Row s * gates + g of the
// result is the ring of gate g of sweep s, fitted exactly as vad fits it when given that
// ring as a row, with every ray's azimuth repeated in it; the result is (8, sweeps, gates).
// Taking the sweep as it is spares the caller a transposed copy of the velocities and a
// per-gate table of azimuths, which together cost as much as the fit.
py::array_t<double> vad_sweeps_py(runtime::f64_strided vr, f64 az, f64 cos_el, int64_t min_gates,
                                  double min_spread, int32_t n_threads) {
    require(vr.ndim() == 3 && az.ndim() == 2, "vr must be 3-D, az 2-D");
    const int64_t S = vr.shape(0), A = vr.shape(1), G = vr.shape(2);
    require(az.shape(0) == S && az.shape(1) == A, "shape mismatch");
    require(cos_el.size() == S, "shape mismatch");

    const int64_t R = S * G;
    auto result = runtime::new_array<double>({vad_planes, S, G});
    // Strides in elements: whole, since the buffer is aligned for doubles.
    const int64_t step_s = vr.strides(0) / int64_t{sizeof(double)};
    const int64_t step_a = vr.strides(1) / int64_t{sizeof(double)};
    const int64_t step_g = vr.strides(2) / int64_t{sizeof(double)};
    const double* pv = vr.data();
    const double* pa = az.data();
    const double* pc = cos_el.data();
    double* out = result.mutable_data();
    {
        runtime::release_gil release;
        runtime::for_blocks(R, vad_block, n_threads, [&](int64_t begin, int64_t end) {
            GateScratch scratch(A);
            for (int64_t r = begin; r < end; ++r) {
                const int64_t s = r / G, g = r % G;
                fit_row(pv + s * step_s + g * step_g, step_a, pa + s * A, A, pc[s], min_gates,
                        min_spread, scratch, out + r, R);
            }
        });
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// gradient

constexpr int64_t gradient_block = 8;

// Derivative at one point from its value and its two neighbours along the axis. A
// neighbour that is absent or not finite is replaced by the point itself, which turns
// the centred difference into the one-sided one. Both are replaced when the point
// itself is not finite, and when neither neighbour is usable the quotient is then
// (v - v) / (c - c): NaN in both cases without a separate test. The choice is made by
// selects rather than branches so that a run of points compiles to vector code.
template <bool HasPrev, bool HasNext>
inline double slope(double prev, double v, double next, double cp, double c, double cn) {
    const bool fv = is_finite(v);
    const bool up = HasPrev & fv & is_finite(prev);
    const bool un = HasNext & fv & is_finite(next);
    const double hi = un ? next : v, lo = up ? prev : v;
    const double c_hi = un ? cn : c, c_lo = up ? cp : c;
    return (hi - lo) / (c_hi - c_lo);
}

// d/dx along one grid row of X points. The result never overlaps the input (it is a
// fresh array), and saying so lets the loops compile to vector code.
[[gnu::always_inline]] inline void slope_x(const double* row, const double* x, int64_t X,
                                           double* __restrict out) {
    if (X == 1) {
        out[0] = nan_value;
        return;
    }
    out[0] = slope<false, true>(0.0, row[0], row[1], 0.0, x[0], x[1]);
    for (int64_t i = 1; i < X - 1; ++i)
        out[i] = slope<true, true>(row[i - 1], row[i], row[i + 1], x[i - 1], x[i], x[i + 1]);
    out[X - 1] = slope<true, false>(row[X - 2], row[X - 1], 0.0, x[X - 2], x[X - 1], 0.0);
}

// d/dy of one grid row, from the rows above and below it; the coordinates are the
// same for the whole row, so the loop runs along contiguous memory in all three rows.
template <bool HasPrev, bool HasNext>
[[gnu::always_inline]] inline void slope_y(const double* prev, const double* row, const double* next, double cp,
             double c, double cn, int64_t X, double* __restrict out) {
    for (int64_t i = 0; i < X; ++i)
        out[i] = slope<HasPrev, HasNext>(prev[i], row[i], next[i], cp, c, cn);
}

// Both derivatives of grid row j of one field; `field` points at the field's row 0.
// The row is compiled for several vector widths and the widest the processor has is
// chosen at load time: subtraction, division and selects are exact in every width, so
// the results are the same bits, only the divisions run several to an instruction.
[[gnu::always_inline]] inline void gradient_row_body(const double* field, const double* x,
                                                     const double* y, int64_t Y, int64_t X,
                                                     int64_t j, double* dx, double* dy) {
    const double* row = field + j * X;
    slope_x(row, x, X, dx);
    const bool has_prev = j > 0, has_next = j + 1 < Y;
    // A missing neighbour row is never read: the row itself stands in for it.
    const double* prev = has_prev ? row - X : row;
    const double* next = has_next ? row + X : row;
    const double cp = has_prev ? y[j - 1] : 0.0, c = y[j], cn = has_next ? y[j + 1] : 0.0;
    if (has_prev && has_next)
        slope_y<true, true>(prev, row, next, cp, c, cn, X, dy);
    else if (has_next)
        slope_y<false, true>(prev, row, next, cp, c, cn, X, dy);
    else if (has_prev)
        slope_y<true, false>(prev, row, next, cp, c, cn, X, dy);
    else
        slope_y<false, false>(prev, row, next, cp, c, cn, X, dy);
}

KESTRUM_VECTOR_PATHS(gradient_row, gradient_row_body,
                     (const double* field, const double* x, const double* y, int64_t Y,
                      int64_t X, int64_t j, double* dx, double* dy),
                     (field, x, y, Y, X, j, dx, dy))

py::array_t<double> gradient_py(f64 f, f64 x, f64 y, int32_t n_threads) {
    require(f.ndim() == 3, "f must be 3-D (batch, y, x)");
    const int64_t B = f.shape(0), Y = f.shape(1), X = f.shape(2);
    require(x.size() == X && y.size() == Y, "coordinate size");

    auto result = runtime::new_array<double>({2, B, Y, X});
    const double* pf = f.data();
    const double* px = x.data();
    const double* py_ = y.data();
    double* out = result.mutable_data();
    const int64_t plane = B * Y * X;
    // Rows of zero columns have nothing to write (and no first or last point to take).
    const int64_t grid_rows = X > 0 ? B * Y : 0;
    {
        runtime::release_gil release;
        runtime::parallel_blocks(grid_rows, gradient_block, n_threads, [&](int64_t t) {
            const int64_t b = t / Y, j = t % Y;
            const int64_t offset = t * X;
            gradient_row(pf + b * Y * X, px, py_, Y, X, j, out + offset, out + plane + offset);
        });
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// profile

constexpr int64_t profile_block = 64;
constexpr int profile_planes = 7;
constexpr double height_tolerance = 1e-6;

struct Column {
    const double* z;
    const double* u;
    const double* v;
    int64_t levels;

    bool valid(int64_t i) const {
        return is_finite(z[i]) && is_finite(u[i]) && is_finite(v[i]);
    }
};

// The wind at one target height, found level by level: the valid levels are handed to
// it in index order until it is done, so that both layer limits and the integration
// share one pass over the column. It remembers the last valid level below the target
// (or unordered with it, as for a NaN target); the first level at the target gives its
// wind, the first above it interpolates from the remembered one or, with none
// remembered, takes its own wind when it lies within the tolerance above.
struct LevelSearch {
    double target;
    double zl = nan_value, ul = nan_value, vl = nan_value;  // the level remembered
    bool remembered = false, done = false, found = false;
    double u = nan_value, v = nan_value;

    explicit LevelSearch(double t) : target(t) {}

    [[gnu::always_inline]] void step(double z, double ui, double vi) {
        if (z == target) {
            finish(ui, vi);
        } else if (z > target) {
            if (remembered) {
                const double w = (target - zl) / (z - zl);
                finish((ui - ul) * w + ul, (vi - vl) * w + vl);
            } else if (z - target <= height_tolerance) {
                finish(ui, vi);
            } else {
                done = true;  // not found
            }
        } else {
            zl = z;
            ul = ui;
            vl = vi;
            remembered = true;
        }
    }

    // The scan ended without a level at or above the target: the last level below
    // serves when the target lies within the tolerance above it.
    void end() {
        if (done) return;
        done = true;
        if (remembered && target - zl <= height_tolerance) finish(ul, vl);
    }

    void finish(double uo, double vo) {
        u = uo;
        v = vo;
        done = found = true;
    }
};

// Layer winds, helicity and mean wind of one column; planes of `out` are `stride` apart.
// One pass: the two limit searches and the integration each take the valid levels in
// index order and keep their own state, so each computes what a pass of its own would.
// With CheckOrder, a valid level below the valid level before it ends the column with
// `decrease` set: the searches and the integration would take such a column in index
// order and give a wrong layer, and the levels the pass reads are the ones that matter.
template <bool CheckOrder>
[[gnu::always_inline]] inline void profile_column_body(const Column& col, double ground,
                                                     double bottom, double top, double cu,
                                                     double cv, double* out, int64_t stride,
                                                     bool& decrease) {
    for (int p = 0; p < profile_planes; ++p) out[p * stride] = nan_value;
    const int64_t levels = col.levels;
    if (levels == 0) return;
    const double *zc = col.z, *uc = col.u, *vc = col.v;

    double ref = ground;
    if (!is_finite(ref)) {
        int64_t i = 0;
        while (i < levels && !col.valid(i)) ++i;
        if (i == levels) return;
        ref = zc[i];
    }
    const double zb = bottom + ref, zt = top + ref;
    LevelSearch lower(zb), upper(zt);

    // Trapezoids from the bottom point through the levels strictly inside the layer;
    // a level at exactly zb is stood for by the bottom point, one at zt ends the layer.
    // A level above zb is only reached once the bottom search is done (it ends at the
    // first level at or above zb at the latest), so the bottom point is known by then.
    double zp = zb, up = nan_value, vp = nan_value;
    double su = 0.0, sv = 0.0, h = 0.0;
    double zlast = -std::numeric_limits<double>::infinity();  // the last valid level read
    bool inside = true;  // the integration has not reached zt yet
    for (int64_t i = 0; i < levels; ++i) {
        const double z = zc[i], u = uc[i], v = vc[i];
        if (!(is_finite(z) && is_finite(u) && is_finite(v))) continue;
        if constexpr (CheckOrder) {
            if (z < zlast) {
                decrease = true;
                return;
            }
            zlast = z;
        }
        if (!lower.done) {
            lower.step(z, u, v);
            if (lower.done) {
                if (!lower.found) {
                    // The first level is above the layer: levels in reverse order (top
                    // first) end here, so the next valid level tells them apart.
                    if constexpr (CheckOrder) {
                        int64_t k = i + 1;
                        while (k < levels && !col.valid(k)) ++k;
                        decrease = k < levels && zc[k] < z;
                    }
                    return;
                }
                up = lower.u;
                vp = lower.v;
            }
        }
        if (!upper.done) {
            upper.step(z, u, v);
            if (upper.done && !upper.found) return;
        }
        if (inside && !(z <= zb)) {
            if (z >= zt) {
                inside = false;
            } else {
                h = (vp - cv) * (u - cu) - (up - cu) * (v - cv) + h;
                su = (up + u) * 0.5 * (z - zp) + su;
                sv = (vp + v) * 0.5 * (z - zp) + sv;
                zp = z;
                up = u;
                vp = v;
            }
        }
        if (lower.done && upper.done && !inside) break;
        // Once the bottom is found, and with the top above it, the top search and the
        // integration end at the same level (the first valid one at or above zt, which
        // is above zb too), and until then every level below zt is the one the top
        // search remembers: the rest of the scan needs only that, in a tighter loop.
        if (lower.done && !upper.done && inside && zt > zb) {
            // Invalid levels (a few percent, at random) are passed over by selects rather
            // than a branch, which would be mispredicted at each one.
            for (++i; i < levels; ++i) {
                const double zi = zc[i], ui = uc[i], vi = vc[i];
                const bool valid = is_finite(zi) & is_finite(ui) & is_finite(vi);
                if constexpr (CheckOrder) {
                    if (valid & (zi < zlast)) {
                        decrease = true;
                        return;
                    }
                    zlast = valid ? zi : zlast;
                }
                if (valid & (zi >= zt)) {
                    upper.step(zi, ui, vi);
                    if (!upper.found) return;
                    inside = false;
                    break;
                }
                const bool in = valid & !(zi <= zb);
                const double hn = (vp - cv) * (ui - cu) - (up - cu) * (vi - cv) + h;
                const double sun = (up + ui) * 0.5 * (zi - zp) + su;
                const double svn = (vp + vi) * 0.5 * (zi - zp) + sv;
                h = in ? hn : h;
                su = in ? sun : su;
                sv = in ? svn : sv;
                zp = in ? zi : zp;
                up = in ? ui : up;
                vp = in ? vi : vp;
                // below zt: the level the top search remembers
                upper.zl = valid ? zi : upper.zl;
                upper.ul = valid ? ui : upper.ul;
                upper.vl = valid ? vi : upper.vl;
                upper.remembered = upper.remembered | valid;
            }
            break;
        }
    }
    if (!lower.done) {
        lower.end();
        if (!lower.found) return;
        up = lower.u;
        vp = lower.v;
    }
    upper.end();
    if (!upper.found) return;
    const double ub = lower.u, vb = lower.v, ut = upper.u, vt = upper.v;
    out[0] = ub;
    out[stride] = vb;
    out[2 * stride] = ut;
    out[3 * stride] = vt;
    out[4 * stride] = is_finite(cu) && is_finite(cv)
                          ? (ut - cu) * (vp - cv) - (vt - cv) * (up - cu) + h
                          : nan_value;
    if (zt > zb) {
        out[5 * stride] = ((up + ut) * 0.5 * (zt - zp) + su) / (zt - zb);
        out[6 * stride] = ((vp + vt) * 0.5 * (zt - zp) + sv) / (zt - zb);
    } else {
        out[5 * stride] = ub;
        out[6 * stride] = vb;
    }
}

// The scan is scalar, but compiled for AVX-512 its many compares and selects go through
// mask registers, which takes about a fifth off a column in cache. Every operation in it
// is exact (compares, selects, add, subtract, multiply, divide), so each path gives the
// same bits.
KESTRUM_VECTOR_PATHS(profile_column, profile_column_body<false>,
                     (const Column& col, double ground, double bottom, double top, double cu,
                      double cv, double* out, int64_t stride, bool& decrease),
                     (col, ground, bottom, top, cu, cv, out, stride, decrease))
KESTRUM_VECTOR_PATHS(profile_column_checked, profile_column_body<true>,
                     (const Column& col, double ground, double bottom, double top, double cu,
                      double cv, double* out, int64_t stride, bool& decrease),
                     (col, ground, bottom, top, cu, cv, out, stride, decrease))

// A column is scanned from its first level up, with a branch at nearly every level, so
// the processor can hardly run ahead into the next column and its lines arrive only as
// the scan reaches them; and the scan stops at the layer top, so the reads of one column
// after another skip the rest of each row, a pattern the hardware prefetcher follows
// poorly. Asking for the lines of a column a few ahead, all of its first 512 bytes (the
// whole column in the common case), makes one plain stream of each array again.
constexpr int64_t profile_prefetch_columns = 8;
constexpr int64_t profile_prefetch_bytes = 512;

inline void prefetch_row(const double* row, int64_t levels) {
    const auto first = reinterpret_cast<uintptr_t>(row);
    const uintptr_t end = first + static_cast<uintptr_t>(
                                      std::min<int64_t>(levels * 8, profile_prefetch_bytes));
    for (uintptr_t line = first & ~uintptr_t{63}; line < end; line += 64)
        __builtin_prefetch(reinterpret_cast<const void*>(line));
}

// The column loop of both bindings; with CheckOrder, `first_decrease` becomes the lowest
// index of a column whose valid heights go down within the levels its pass read (-1:
// none). The lowest, whichever thread finds which, so the answer is the same for every
// thread count.
template <bool CheckOrder>
py::array_t<double> profile_run(f64& z, f64& u, f64& v, f64& ground, double bottom,
                                double top, f64& cu, f64& cv, int32_t n_threads,
                                int64_t& first_decrease) {
    require(u.ndim() == 2, "u must be 2-D");
    const int64_t n = u.shape(0), L = u.shape(1);
    require(z.size() == n * L, "shape mismatch");
    require(v.size() == n * L, "shape mismatch");
    require(ground.size() == n, "shape mismatch");
    require(cu.size() == n, "shape mismatch");
    require(cv.size() == n, "shape mismatch");

    auto result = runtime::new_array<double>({profile_planes, n});
    const double* pz = z.data();
    const double* pu = u.data();
    const double* pv = v.data();
    const double* pg = ground.data();
    const double* pcu = cu.data();
    const double* pcv = cv.data();
    double* out = result.mutable_data();
    std::atomic<int64_t> lowest{n};
    {
        runtime::release_gil release;
        auto prefetch_column = [&](int64_t r) {
            prefetch_row(pz + r * L, L);
            prefetch_row(pu + r * L, L);
            prefetch_row(pv + r * L, L);
        };
        runtime::for_blocks(n, profile_block, n_threads, [&](int64_t begin, int64_t end) {
            // On several threads a block rarely follows the one this thread did last (the
            // other threads took those in between), so the columns asked for ahead at the
            // end of that block were the wrong ones: ask for this block's first columns at
            // once, rather than meet them one miss after another.
            for (int64_t r = begin; r < std::min(begin + profile_prefetch_columns, end); ++r)
                prefetch_column(r);
            for (int64_t r = begin; r < end; ++r) {
                // Near the end of a block the columns ahead are the next block's: this
                // thread's next on one thread, probably another thread's on several.
                if (const int64_t ahead = r + profile_prefetch_columns; ahead < n)
                    prefetch_column(ahead);
                const Column col{pz + r * L, pu + r * L, pv + r * L, L};
                bool decrease = false;
                if constexpr (CheckOrder)
                    profile_column_checked(col, pg[r], bottom, top, pcu[r], pcv[r], out + r, n,
                                           decrease);
                else
                    profile_column(col, pg[r], bottom, top, pcu[r], pcv[r], out + r, n,
                                   decrease);
                if (CheckOrder && decrease) {
                    int64_t seen = lowest.load(std::memory_order_relaxed);
                    while (r < seen && !lowest.compare_exchange_weak(seen, r)) {
                    }
                }
            }
        });
    }
    first_decrease = lowest.load() < n ? lowest.load() : -1;
    return result;
}

py::array_t<double> profile_py(f64 z, f64 u, f64 v, f64 ground, double bottom, double top,
                               f64 cu, f64 cv, int32_t n_threads) {
    int64_t unused = -1;
    return profile_run<false>(z, u, v, ground, bottom, top, cu, cv, n_threads, unused);
}

// profile, and the first column whose heights go down where they were read (-1: none).
std::pair<py::array_t<double>, int64_t> profile_checked_py(f64 z, f64 u, f64 v, f64 ground,
                                                           double bottom, double top, f64 cu,
                                                           f64 cv, int32_t n_threads) {
    int64_t first = -1;
    auto result = profile_run<true>(z, u, v, ground, bottom, top, cu, cv, n_threads, first);
    return {std::move(result), first};
}

// ---------------------------------------------------------------------------------------
// cold_pool

constexpr int64_t cold_pool_block = 64;

// C = sqrt(2 S), with a net positive buoyancy (S < 0) giving 0; a NaN sum stays NaN,
// which std::max would turn into 0.
inline double intensity(double s) {
    const double twice = s + s;
    return std::sqrt(twice < 0.0 ? 0.0 : twice);
}

// Cold-pool intensity, depth and open-top flag of one column of `levels` levels.
void cold_pool_column(const double* z, const double* b, int64_t levels, double bottom,
                      double threshold, double top, double* out, int64_t stride) {
    out[0] = out[stride] = out[2 * stride] = nan_value;
    auto valid = [&](int64_t i) { return is_finite(z[i]) && is_finite(b[i]); };

    int64_t s = 0;
    const bool from_bottom = is_finite(bottom);
    while (s < levels && !(valid(s) && (!from_bottom || z[s] >= bottom))) ++s;
    if (s == levels) return;
    const double z0 = z[s], b0 = b[s];
    double zp = z0, bp = b0, sum = 0.0;

    if (is_finite(top)) {
        const double zt = top + z0;
        for (int64_t i = s + 1; i < levels; ++i) {
            if (!valid(i)) continue;
            if (z[i] >= zt) {
                const double bt = (b[i] - bp) * (zt - zp) / (z[i] - zp) + bp;
                sum = ((-bp - bt) * 0.5) * (zt - zp) + sum;
                out[0] = intensity(sum);
                out[stride] = top;
                out[2 * stride] = 0.0;
                return;
            }
            sum += (z[i] - zp) * ((-bp - b[i]) * 0.5);
            zp = z[i];
            bp = b[i];
        }
        return;  // the layer reaches above the column: no result
    }

    const double t = threshold;
    if (b0 >= t) {
        out[0] = out[stride] = out[2 * stride] = 0.0;
        return;
    }
    for (int64_t i = s + 1; i < levels; ++i) {
        if (!valid(i)) continue;
        if (b[i] >= t) {
            const double zc = (t - bp) * (z[i] - zp) / (b[i] - bp) + zp;
            sum = ((-bp - t) * 0.5) * (zc - zp) + sum;
            out[0] = intensity(sum);
            out[stride] = zc - z0;
            out[2 * stride] = 0.0;
            return;
        }
        sum += ((-bp - b[i]) * 0.5) * (z[i] - zp);
        zp = z[i];
        bp = b[i];
    }
    out[0] = intensity(sum);
    out[stride] = zp - z0;
    out[2 * stride] = 1.0;
}

py::array_t<double> cold_pool_py(f64 z, f64 b, f64 bottom, double threshold, f64 top,
                                 int32_t n_threads) {
    require(b.ndim() == 2 && z.ndim() == 2, "z and b must be 2-D");
    require(b.shape(0) == z.shape(0) && b.shape(1) == z.shape(1), "shape mismatch");
    const int64_t n = b.shape(0), levels = b.shape(1);
    require(bottom.size() == n, "shape mismatch");
    require(top.size() == n, "shape mismatch");

    auto result = runtime::new_array<double>({3, n});
    const double* pz = z.data();
    const double* pb = b.data();
    const double* pbottom = bottom.data();
    const double* ptop = top.data();
    double* out = result.mutable_data();
    {
        runtime::release_gil release;
        runtime::parallel_blocks(n, cold_pool_block, n_threads, [&](int64_t r) {
            cold_pool_column(pz + r * levels, pb + r * levels, levels, pbottom[r], threshold,
                             ptop[r], out + r, n);
        });
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// thermo

constexpr int64_t thermo_block = 4096;

constexpr double kappa = 0.28542059262205427;  // R_d / c_p, exponent of theta
constexpr double epsilon = 0.6219569156569429;  // R_d / R_v
constexpr double p0 = 100000.0;                 // reference pressure, Pa

// Mixing ratio, theta, theta-v and theta-e (Bolton 1980) of one point. The operations
// are written in the order and grouping that fix the results to the last bit; the
// theta-e exponent keeps Bolton's rounded 0.2854 rather than kappa.
inline void thermo_point(double T, double p, double Td, double* out, int64_t stride) {
    const double Tdc = std::isnan(Td) ? nan_value : (Td < T ? Td : T);
    const double x = p0 / p;
    const double theta = T * std::pow(x, kappa);
    const double c = Tdc - 273.15;
    const double e = std::exp(17.67 * c / (c + 243.5)) * 611.2;
    const double r = (epsilon * e) / (p - e);
    const double L = std::log(T / Tdc);
    const double rg = 1000.0 * r;
    const double P = std::pow(x, (1 - 0.00028 * rg) * 0.2854);
    const double TL = 1 / (L / 800.0 + 1 / (Tdc - 56.0)) + 56.0;
    const double M = std::exp((3.376 / TL - 0.00254) * rg * (rg * 0.00081 + 1));
    out[0] = r;
    out[stride] = theta;
    out[2 * stride] = (1 + r / epsilon) * theta / (r + 1);
    out[3 * stride] = (T * P) * M;
}

py::array_t<double> thermo_py(f64 t, f64 p, f64 td, int32_t n_threads) {
    const int64_t n = t.size();
    require(p.size() == n, "size mismatch");
    require(td.size() == n, "size mismatch");

    auto result = runtime::new_array<double>({4, n});
    const double* pt = t.data();
    const double* pp = p.data();
    const double* ptd = td.data();
    double* out = result.mutable_data();
    {
        runtime::release_gil release;
        runtime::parallel_blocks(n, thermo_block, n_threads, [&](int64_t k) {
            thermo_point(pt[k], pp[k], ptd[k], out + k, n);
        });
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_kestrum, m) {
    m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";
    m.def("thermo", &thermo_py, py::arg("t"), py::arg("p"), py::arg("td"),
          py::arg("n_threads") = 0);
    m.def("cold_pool", &cold_pool_py, py::arg("z"), py::arg("b"), py::arg("bottom"),
          py::arg("threshold"), py::arg("top"), py::arg("n_threads") = 0);
    m.def("profile", &profile_py, py::arg("z"), py::arg("u"), py::arg("v"), py::arg("ground"),
          py::arg("bottom"), py::arg("top"), py::arg("cu"), py::arg("cv"),
          py::arg("n_threads") = 0);
    m.def("profile_checked", &profile_checked_py, py::arg("z"), py::arg("u"), py::arg("v"),
          py::arg("ground"), py::arg("bottom"), py::arg("top"), py::arg("cu"), py::arg("cv"),
          py::arg("n_threads") = 0);
    m.def("gradient", &gradient_py, py::arg("f"), py::arg("x"), py::arg("y"),
          py::arg("n_threads") = 0);
    m.def("vad", &vad_py, py::arg("vr"), py::arg("az"), py::arg("cos_el"),
          py::arg("min_gates"), py::arg("min_spread"), py::arg("n_threads") = 0);
    m.def("vad_sweeps", &vad_sweeps_py, py::arg("vr"), py::arg("az"), py::arg("cos_el"),
          py::arg("min_gates"), py::arg("min_spread"), py::arg("n_threads") = 0);
}
