// _kestrum: cold-pool, wind-profile and baroclinity kernels.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "runtime/binding.hpp"

namespace py = pybind11;
using runtime::f64;
using runtime::require;

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

inline bool finite(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

// ---------------------------------------------------------------------------------------
// vad

constexpr int64_t vad_block = 64;
constexpr int vad_planes = 8;

// The valid gates of one row, with the sines and cosines of az and 2*az computed once.
// The fit reads them in several passes; recomputing them per pass would give the same
// values at several times the cost, since sincos dominates the work.
struct GateScratch {
    std::vector<double> vr, s, c, s2, c2;

    explicit GateScratch(int64_t gates)
        : vr(gates), s(gates), c(gates), s2(gates), c2(gates) {}
};

// Solves the centred 4x4 normal equations of the second-order fit by Gaussian
// elimination with partial pivoting. Returns false when the system is singular or the
// spread of the four regressors is too small for the fit to be trusted.
bool solve_second_order(double A[4][4], double y[4], double n, double min_spread,
                        double x[4]) {
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
    return det != 0.0 && det / ((n * n) * (n * n)) >= 0.25 * min_spread;
}

// Fits one row of gates; `out` points at plane 0 of the row, planes are `stride` apart.
void fit_row(const double* vr, const double* az, int64_t gates, double cos_el,
             int64_t min_gates, double min_spread, GateScratch& g, double* out,
             int64_t stride) {
    for (int p = 0; p < vad_planes; ++p) out[p * stride] = nan_value;

    // Pass 1 (and the means of pass 4): count, sum, keep the valid gates in order.
    int64_t count = 0;
    double sum_v = 0.0, sum_s = 0.0, sum_c = 0.0, sum_s2 = 0.0, sum_c2 = 0.0;
    for (int64_t j = 0; j < gates; ++j) {
        if (!finite(vr[j]) || !finite(az[j])) continue;
        double s, c, s2, c2;
        sincos(az[j], &s, &c);
        sincos(2.0 * az[j], &s2, &c2);
        g.vr[count] = vr[j];
        g.s[count] = s;
        g.c[count] = c;
        g.s2[count] = s2;
        g.c2[count] = c2;
        sum_v += vr[j];
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
    double A[4][4] = {}, y[4] = {};
    for (int64_t j = 0; j < count; ++j) {
        const double d[4] = {g.s[j] - ms, g.c[j] - mc, g.s2[j] - ms2, g.c2[j] - mc2};
        const double dv = g.vr[j] - mv;
        for (int k = 0; k < 4; ++k) {
            for (int l = k; l < 4; ++l) A[k][l] += d[k] * d[l];
            y[k] += d[k] * dv;
        }
    }
    for (int k = 1; k < 4; ++k)
        for (int l = 0; l < k; ++l) A[k][l] = A[l][k];

    const double Sss = A[0][0], Scc = A[1][1], Ssc = A[0][1], Ssv = y[0], Scv = y[1];
    const double D = Sss * Scc - Ssc * Ssc;
    // "not >=" so that a NaN ratio or a NaN min_spread rejects the fit.
    if (!(D / (n * n) >= min_spread)) return;

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

f64 vad_py(f64 vr, f64 az, f64 cos_el, int64_t min_gates, double min_spread,
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
        py::gil_scoped_release release;
        runtime::for_blocks(R, vad_block, n_threads, [&](int64_t begin, int64_t end) {
            GateScratch scratch(G);
            for (int64_t r = begin; r < end; ++r)
                fit_row(pv + r * G, pa + r * G, G, pc[r], min_gates, min_spread, scratch,
                        out + r, R);
        });
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_kestrum, m) {
    m.doc() = "Cold-pool, wind-profile and baroclinity kernel (multithreaded).";
    m.def("vad", &vad_py, py::arg("vr"), py::arg("az"), py::arg("cos_el"),
          py::arg("min_gates"), py::arg("min_spread"), py::arg("n_threads") = 0);
}
