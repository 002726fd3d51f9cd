// Gate quality control: kernels and their bindings for kestrum._radar.
//
// A volume reaches these kernels as one (rows, gates) array of rays with the row at
// which each sweep starts (`bounds`, sweeps + 1 values, the last one the row count):
// Py-ART's layout as it is, and a stack of equal sweeps as a view. Neighbourhoods never
// cross from one sweep into the next; inside a sweep they wrap around in azimuth when
// asked to (a full-circle sweep), never in range.
//
// The texture kernels compute every gate's values and select (a missing gate's are
// computed and thrown away), which only vector code makes cheap: CMakeLists.txt builds
// this file without trapping math and without errno from the math functions, which
// GCC otherwise keeps for operations whose flags and errno nobody reads here. Values
// are unchanged: rounding, NaN and infinities behave as written, and no operation is
// contracted or reordered.
#include <pybind11/stl.h>

#include <algorithm>
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

namespace {

using u8 = runtime::array<uint8_t, "valid">;
using bounds_t = runtime::i64<"bounds">;
using mask_t = runtime::array<uint8_t, "mask">;
using i64a = runtime::i64<"">;

// The sweeps of a volume: row bounds checked once, for every kernel.
std::vector<int64_t> sweep_bounds(const bounds_t& bounds, int64_t rows) {
    require(bounds.ndim() == 1 && bounds.size() >= 2, "bounds must hold at least two rows");
    std::vector<int64_t> b(bounds.data(), bounds.data() + bounds.size());
    require(b.front() == 0 && b.back() == rows, "bounds must run from 0 to the number of rows");
    for (size_t s = 1; s < b.size(); ++s)
        require(b[s] >= b[s - 1], "bounds must not decrease");
    return b;
}

// ---------------------------------------------------------------------------------------
// texture

// Rays per item of the runner. An item computes the transformed values of its rays and
// of the `half_rays` rays on either side once, so a few more rays than the window keeps
// that overhead small, while the item's scratch (three planes of its rays) stays in
// the processor's second-level cache for a NEXRAD ray of 1832 gates.
constexpr int64_t texture_rays = 16;
constexpr int64_t texture_items = 8;
// Gates looked at together for a valid one before the costly work on them.
constexpr int64_t texture_stretch = 32;

struct TextureParams {
    int64_t gates, half_rays, half_gates, min_count;
    bool wrap;
};

// A piece of one sweep: rays [begin, end) of the sweep of `rays` rays starting at `row`.
struct Chunk {
    int64_t row, rays, begin, end;
};

// Where the textures go: the output field, or, for a threshold on the texture, bit `bit`
// of `flags` where the texture (rounded to T, as a field of T would be) is above `limit`.
template <class T>
struct TextureSink {
    T* out = nullptr;
    uint32_t* flags = nullptr;
    T limit = 0;
    uint32_t bit = 0;
};

// Per-item scratch. Every plane is `stride` = gates + 2 half_gates long with the gates
// at offset half_gates and zeros on either side, which clips the window at the first
// and last gate without a test: three planes (count, first and second sums) per ray
// the item reads, the window's column sums, and the window sums; a texture row for a
// threshold, a row of zeros for a field without a mask, and a row for the other tests.
template <class T>
struct TextureScratch {
    int64_t stride;
    std::vector<double> planes, column, window;
    std::vector<T> row;
    std::vector<uint8_t> unmasked;
    std::vector<uint32_t> seen;
    TextureScratch(int64_t rays, const TextureParams& p)
        : stride(p.gates + 2 * p.half_gates),
          planes(static_cast<size_t>(3 * rays * stride), 0.0),
          column(static_cast<size_t>(3 * stride), 0.0),
          window(static_cast<size_t>(3 * stride)),
          row(static_cast<size_t>(p.gates)),
          unmasked(static_cast<size_t>(p.gates), 0),
          seen(static_cast<size_t>(p.gates)) {}
};

// Whether x is finite, told by its exponent bits: the compiler may turn selects on an
// integer test into vector code, where a floating comparison (which may raise the
// invalid-operation flag on a NaN) would keep it a loop of branches.
[[gnu::always_inline]] inline bool finite_bits(double x) {
    constexpr uint64_t exponent = 0x7ff0000000000000ull;
    return (std::bit_cast<uint64_t>(x) & exponent) != exponent;
}

// 2^50: the number of folds from which a value is taken to have no angle (a double
// keeps no more than a quarter of a fold there, and no radial wind is anywhere near).
constexpr double most_folds = 0x1p50;

// sin(pi t) and cos(pi t) for t in units of the fold (v / nyquist), |t| < 2^50. The
// quarter-turn k nearest to 2t is taken off exactly: adding and taking away 1.5 2^52
// rounds 2t to the integer k (ties to even) and leaves k mod 4 in the low bits, and
// 2t - k is exact in binary floating point. That leaves |x| <= pi/4 for the kernel
// polynomials of fdlibm (Sun Microsystems, 1993; error below one unit in the last place
// there). A library sincos call for every valid gate cost as much as all the rest of
// the texture; written with integer selects only, a loop of these is vector code.
[[gnu::always_inline]] inline void sincos_pi(double t, double& s, double& c) {
    constexpr double round = 0x1.8p52;
    const double twice = 2.0 * t;
    const double big = twice + round;
    const double k = big - round;
    const uint64_t quadrant = std::bit_cast<uint64_t>(big) & 3;
    const double x = (twice - k) * (std::numbers::pi / 2);
    const double z = x * x;
    const double sx = x + x * z * (-1.66666666666666324348e-01 +
                      z * (8.33333333332248946124e-03 + z * (-1.98412698298579493134e-04 +
                      z * (2.75573137070700676789e-06 + z * (-2.50507602534068634195e-08 +
                      z * 1.58969099521155010221e-10)))));
    const double cx = 1.0 - 0.5 * z + z * z * (4.16666666666666019037e-02 +
                      z * (-1.38888888888741095749e-03 + z * (2.48015872894767294178e-05 +
                      z * (-2.75573143513906633035e-07 + z * (2.08757232129817482790e-09 +
                      z * -1.13596475577881948265e-11)))));
    // In quadrants 1 and 3 sine and cosine trade places, in 2 and 3 the sine changes
    // sign, in 1 and 2 the cosine.
    const bool odd = (quadrant & 1) != 0;
    const double sv = odd ? cx : sx;
    const double cv = odd ? sx : cx;
    s = (quadrant & 2) != 0 ? -sv : sv;
    c = ((quadrant + 1) & 2) != 0 ? -cv : cv;
}

// A ray's three planes for its first `n_gates` gates: 1 or 0 (valid or not), and the
// values a mean is taken of. Linear: x - shift and its square; on the fold circle: the
// cosine and sine of the angle pi v / nyquist. Missing gates (not finite, or masked)
// add zeros to every sum.
template <class T>
[[gnu::always_inline]] inline void linear_planes_body(const T* v, const uint8_t* masked,
                                                      int64_t n_gates, double shift,
                                                      double* __restrict n,
                                                      double* __restrict a,
                                                      double* __restrict b) {
    for (int64_t g = 0; g < n_gates; ++g) {
        const double x = static_cast<double>(v[g]);
        const bool ok = finite_bits(x) & (masked[g] == 0);
        const double d = ok ? x - shift : 0.0;
        n[g] = ok ? 1.0 : 0.0;
        a[g] = d;
        b[g] = d * d;
    }
}

template <class T>
[[gnu::always_inline]] inline void circular_planes_body(const T* v, const uint8_t* masked,
                                                        int64_t n_gates, double nyquist,
                                                        double* __restrict n,
                                                        double* __restrict c,
                                                        double* __restrict s) {
    // Stretches without a valid gate (most of a velocity sweep: clear air, and past
    // the Doppler range) get their zeros without the angles.
    for (int64_t g0 = 0; g0 < n_gates; g0 += texture_stretch) {
        const int64_t g1 = std::min(n_gates, g0 + texture_stretch);
        uint32_t any = 0;
        for (int64_t g = g0; g < g1; ++g)
            any |= static_cast<uint32_t>(finite_bits(static_cast<double>(v[g])) & (masked[g] == 0));
        if (any == 0) {
            for (int64_t g = g0; g < g1; ++g) n[g] = c[g] = s[g] = 0.0;
            continue;
        }
        for (int64_t g = g0; g < g1; ++g) {
            const double t = static_cast<double>(v[g]) / nyquist;
            // |t| < 2^50 by its exponent (NaN and infinities fail too).
            const bool ok = ((std::bit_cast<uint64_t>(t) & 0x7ff0000000000000ull) <
                             std::bit_cast<uint64_t>(most_folds)) &
                            (masked[g] == 0);
            double sv, cv;
            sincos_pi(ok ? t : 0.0, sv, cv);
            n[g] = ok ? 1.0 : 0.0;
            c[g] = ok ? cv : 0.0;
            s[g] = ok ? sv : 0.0;
        }
    }
}

#define KESTRUM_PLANES(NAME, BODY, T)                                                   \
    KESTRUM_VECTOR_PATHS(NAME, BODY<T>,                                                 \
                         (const T* v, const uint8_t* masked, int64_t n_gates, double p, \
                          double* n, double* a, double* b),                             \
                         (v, masked, n_gates, p, n, a, b))
KESTRUM_PLANES(linear_planes_f32, linear_planes_body, float)
KESTRUM_PLANES(linear_planes_f64, linear_planes_body, double)
KESTRUM_PLANES(circular_planes_f32, circular_planes_body, float)
KESTRUM_PLANES(circular_planes_f64, circular_planes_body, double)
#undef KESTRUM_PLANES

inline void planes(const float* v, const uint8_t* m, int64_t n_gates, bool circular, double p,
                   double* n, double* a, double* b) {
    if (circular) circular_planes_f32(v, m, n_gates, p, n, a, b);
    else linear_planes_f32(v, m, n_gates, p, n, a, b);
}
inline void planes(const double* v, const uint8_t* m, int64_t n_gates, bool circular, double p,
                   double* n, double* a, double* b) {
    if (circular) circular_planes_f64(v, m, n_gates, p, n, a, b);
    else linear_planes_f64(v, m, n_gates, p, n, a, b);
}

// Column sums of RAYS consecutive rays `step` apart, added in ray order.
template <int RAYS>
[[gnu::always_inline]] inline void column_fixed(const double* q, int64_t step, int64_t n,
                                                double* __restrict col) {
    for (int64_t g = 0; g < n; ++g) {
        double x = q[g];
        for (int j = 1; j < RAYS; ++j) x += q[j * step + g];
        col[g] = x;
    }
}

// Sums of 2 HG + 1 consecutive column sums (`cp` starts at the padding), added in gate
// order: one load per term and one store per gate.
template <int HG>
[[gnu::always_inline]] inline void window_fixed(const double* cp, int64_t n,
                                                double* __restrict w) {
    for (int64_t g = 0; g < n; ++g) {
        double x = cp[g];
        for (int d = 1; d <= 2 * HG; ++d) x += cp[g + d];
        w[g] = x;
    }
}

// The three window sums at gates [g0, g1) of one output ray, from the planes of its
// window's `rays` consecutive rays: column sums over the rays, always added in ray
// order, then sums along the gates, in the same gate order at every position, whatever
// the window (the common sizes unrolled, the others by whole passes in the same order).
// The column sums are computed at the gates the window reads, which are below `reach`
// = min(gates, E + hg) (E: past every valid gate); the zeros either side do the rest.
[[gnu::always_inline]] inline void window_sums_body(const double* planes, int64_t rays,
                                                    int64_t P, int64_t g0, int64_t g1,
                                                    int64_t reach, int64_t hg,
                                                    double* column, double* window) {
    const int64_t c0 = std::max<int64_t>(0, g0 - hg), c1 = std::min(reach, g1 + hg);
    const int64_t n = g1 - g0;
    for (int k = 0; k < 3; ++k) {
        const double* cp = planes + k * P;  // one ray: its plane is its column
        if (rays > 1) {
            double* __restrict col = column + k * P + hg + c0;
            const double* q = planes + k * P + hg + c0;
            if (rays == 3) {
                column_fixed<3>(q, 3 * P, c1 - c0, col);
            } else if (rays == 5) {
                column_fixed<5>(q, 3 * P, c1 - c0, col);
            } else {
                for (int64_t g = 0; g < c1 - c0; ++g) col[g] = q[g];
                for (int64_t j = 1; j < rays; ++j)
                    for (int64_t g = 0; g < c1 - c0; ++g) col[g] += q[3 * j * P + g];
            }
            cp = column + k * P;
        }
        cp += g0;
        double* __restrict w = window + k * P + g0;
        switch (hg) {
            case 0: window_fixed<0>(cp, n, w); break;
            case 1: window_fixed<1>(cp, n, w); break;
            case 2: window_fixed<2>(cp, n, w); break;
            case 3: window_fixed<3>(cp, n, w); break;
            default:
                for (int64_t g = 0; g < n; ++g) w[g] = cp[g];
                for (int64_t d = 1; d <= 2 * hg; ++d)
                    for (int64_t g = 0; g < n; ++g) w[g] += cp[g + d];
        }
    }
}

KESTRUM_VECTOR_PATHS(window_sums, window_sums_body,
                     (const double* planes, int64_t rays, int64_t P, int64_t g0, int64_t g1,
                      int64_t reach, int64_t hg, double* column, double* window),
                     (planes, rays, P, g0, g1, reach, hg, column, window))

// The population standard deviation from the sums of a window (n, sum of x - shift, sum
// of its square), where the gate itself is valid (`self` is 1) and the window holds
// `least` gates.
template <class T>
[[gnu::always_inline]] inline void linear_texture_body(const double* sums, int64_t P,
                                                       int64_t E, const double* self,
                                                       double least, T* __restrict out) {
    const double* n = sums;
    const double* a = sums + P;
    const double* b = sums + 2 * P;
    for (int64_t g = 0; g < E; ++g) {
        // Rounding can leave a constant window's variance a little below zero. Each
        // comparison feeds its select directly, which keeps the loop vector code; a
        // missing gate has `self` 0, so the product is below `least` (at least 1).
        const double inv = 1.0 / n[g];
        const double var = (b[g] - a[g] * a[g] * inv) * inv;
        const double t = var > 0.0 ? std::sqrt(var) : 0.0;
        out[g] = static_cast<T>(n[g] * self[g] >= least ? t : nan_value);
    }
}

KESTRUM_VECTOR_PATHS(linear_texture_f32, linear_texture_body<float>,
                     (const double* sums, int64_t P, int64_t E, const double* self,
                      double least, float* out),
                     (sums, P, E, self, least, out))
KESTRUM_VECTOR_PATHS(linear_texture_f64, linear_texture_body<double>,
                     (const double* sums, int64_t P, int64_t E, const double* self,
                      double least, double* out),
                     (sums, P, E, self, least, out))

inline void linear_texture(const double* sums, int64_t P, int64_t E, const double* self,
                           double least, float* out) {
    linear_texture_f32(sums, P, E, self, least, out);
}
inline void linear_texture(const double* sums, int64_t P, int64_t E, const double* self,
                           double least, double* out) {
    linear_texture_f64(sums, P, E, self, least, out);
}

// ln x for 0 <= x < 1 (and any positive normal x), by fdlibm's __ieee754_log (Sun
// Microsystems, 1993; error below one unit in the last place), written with selects
// and integer bit operations only, so that a loop of it is vector code with the same
// bits on every path: x = 2^k (1 + f) with 1 + f in [sqrt(2)/2, sqrt(2)), and
// ln(1 + f) = 2s + s R(s^2), s = f / (2 + f). ln 0 is -inf.
[[gnu::always_inline]] inline double log_below_one(double x) {
    constexpr double ln2_hi = 6.93147180369123816490e-01, ln2_lo = 1.90821492927058770002e-10;
    constexpr double Lg1 = 6.666666666666735130e-01, Lg2 = 3.999999999940941908e-01,
                     Lg3 = 2.857142874366239149e-01, Lg4 = 2.222219843214978396e-01,
                     Lg5 = 1.818357216161805012e-01, Lg6 = 1.531383769920937332e-01,
                     Lg7 = 1.479819860511658591e-01;
    const bool subnormal = x < 0x1p-1022;  // scaled by 2^54 first
    const uint64_t bits = std::bit_cast<uint64_t>(subnormal ? x * 0x1p54 : x);
    const int64_t high = static_cast<int64_t>((bits >> 32) & 0x000fffff);
    const int64_t half = (high + 0x95f64) & 0x100000;  // 1 + f would be above sqrt(2)
    const double f =
        std::bit_cast<double>((static_cast<uint64_t>(high | (half ^ 0x3ff00000)) << 32) |
                              (bits & 0xffffffffull)) - 1.0;
    // k from the exponent bits, as a double without an integer conversion (exact: the
    // bits of 2^52 + e are those of the integer e in the low mantissa).
    const uint64_t e = ((bits >> 52) & 0x7ff) + static_cast<uint64_t>(half >> 20);
    const double k = (std::bit_cast<double>(0x4330000000000000ull | e) - 0x1p52) -
                     (subnormal ? 1023.0 + 54.0 : 1023.0);
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    const double t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    const double R = t2 + t1;
    const double hfsq = 0.5 * f * f;
    const bool far = ((high - 0x6147a) | (0x6b851 - high)) > 0;
    const double near_one = k * ln2_hi - ((s * (f - R) - k * ln2_lo) - f);
    const double far_one = k * ln2_hi - ((hfsq - (s * (hfsq + R) + k * ln2_lo)) - f);
    const double r = far ? far_one : near_one;
    return x == 0.0 ? -std::numeric_limits<double>::infinity() : r;
}

// The circular standard deviation (nyquist / pi) sqrt(-2 ln R) from the sums of a window
// (n, sum of cos, sum of sin), where the gate itself is valid and the window holds
// `least` gates.
template <class T>
[[gnu::always_inline]] inline void circular_texture_body(const double* sums, int64_t P,
                                                         int64_t E, const double* self,
                                                         double least, double scale,
                                                         T* __restrict out) {
    const double* n = sums;
    const double* a = sums + P;
    const double* b = sums + 2 * P;
    for (int64_t g = 0; g < E; ++g) {
        const double length = std::sqrt(a[g] * a[g] + b[g] * b[g]) / n[g];
        // NaN (no gate) and lengths of 1 (rounding can give a little more) take a
        // harmless value to the logarithm, and are replaced below.
        const double ln = log_below_one(length < 1.0 ? length : 0.5);
        const double t = length >= 1.0 ? 0.0 : scale * std::sqrt(-2.0 * ln);
        out[g] = static_cast<T>(n[g] * self[g] >= least ? t : nan_value);
    }
}

KESTRUM_VECTOR_PATHS(circular_texture_f32, circular_texture_body<float>,
                     (const double* sums, int64_t P, int64_t E, const double* self,
                      double least, double scale, float* out),
                     (sums, P, E, self, least, scale, out))
KESTRUM_VECTOR_PATHS(circular_texture_f64, circular_texture_body<double>,
                     (const double* sums, int64_t P, int64_t E, const double* self,
                      double least, double scale, double* out),
                     (sums, P, E, self, least, scale, out))

inline void circular_texture(const double* sums, int64_t P, int64_t E, const double* self,
                             double least, double nyquist, float* out) {
    circular_texture_f32(sums, P, E, self, least, nyquist / std::numbers::pi, out);
}
inline void circular_texture(const double* sums, int64_t P, int64_t E, const double* self,
                             double least, double nyquist, double* out) {
    circular_texture_f64(sums, P, E, self, least, nyquist / std::numbers::pi, out);
}

// Whether gates [g0, g1) hold a valid one (`self`: a ray's count plane).
inline bool any_valid(const double* self, int64_t g0, int64_t g1) {
    uint32_t any = 0;
    for (int64_t g = g0; g < g1; ++g) any |= self[g] > 0.0 ? 1u : 0u;
    return any != 0;
}

template <class T>
void texture_chunk(const T* field, const uint8_t* mask, const double* nyquist, const Chunk& c,
                   const TextureParams& p, TextureScratch<T>& s, const TextureSink<T>& sink) {
    const int64_t G = p.gates, R = c.rays, hr = p.half_rays, hg = p.half_gates;
    const int64_t P = s.stride;
    const bool circular = nyquist != nullptr;
    // A sweep narrower than the window: with wrap-around every output sees each ray of
    // the sweep once (never twice, which the window would give by wrapping past itself).
    const bool all_rays = p.wrap && 2 * hr + 1 >= R;
    const int64_t lo =
        all_rays ? 0 : (p.wrap ? c.begin - hr : std::max<int64_t>(0, c.begin - hr));
    const int64_t hi = all_rays ? R : (p.wrap ? c.end + hr : std::min(R, c.end + hr));
    auto ray_of = [&](int64_t j) { return ((j % R) + R) % R; };
    // Gates past the last valid gate of every ray the item reads add nothing to any
    // window, and their textures are missing: the work stops there. Radars record
    // velocity over a shorter range than reflectivity, or not at all on some sweeps.
    int64_t E = 0;
    for (int64_t j = lo; j < hi; ++j) {
        const T* v = field + (c.row + ray_of(j)) * G;
        int64_t last = G;
        while (last > E && !is_finite(static_cast<double>(v[last - 1]))) --last;
        E = std::max(E, last);
    }
    const int64_t reach = std::min(G, E + hg);
    // The linear texture is computed on values less a mean of the rays the item reads
    // (of every eighth gate: any value near the data will do), so that the sums of
    // squares lose no digits to a large common offset (reflectivity near 50 dBZ, phidp
    // near 300 degrees). The items are the same for every thread count, so are their
    // means.
    double shift = 0.0;
    if (!circular) {
        double sum = 0.0, n = 0.0;
        for (int64_t j = lo; j < hi; ++j) {
            const int64_t row = c.row + ray_of(j);
            for (int64_t g = 0; g < E; g += 8) {
                const double x = static_cast<double>(field[row * G + g]);
                if (is_finite(x) && !(mask && mask[row * G + g])) {
                    sum += x;
                    n += 1.0;
                }
            }
        }
        shift = n > 0.0 ? sum / n : 0.0;
    }
    for (int64_t j = lo; j < hi; ++j) {
        const int64_t row = c.row + ray_of(j);
        double* q = s.planes.data() + 3 * (j - lo) * P + hg;
        planes(field + row * G, mask ? mask + row * G : s.unmasked.data(), reach, circular,
               circular ? nyquist[row] : shift, q, q + P, q + 2 * P);
    }

    const double least = static_cast<double>(p.min_count);
    for (int64_t r = c.begin; r < c.end; ++r) {
        const int64_t first = all_rays ? 0 : (p.wrap ? r - hr : std::max(lo, r - hr));
        const int64_t last = all_rays ? R - 1 : (p.wrap ? r + hr : std::min(hi - 1, r + hr));
        const int64_t row = c.row + r;
        const double* self = s.planes.data() + 3 * (r - lo) * P + hg;
        const double* rays_planes = s.planes.data() + 3 * (first - lo) * P;
        T* o = sink.flags ? s.row.data() : sink.out + row * G;
        // Textures only along runs of stretches where the ray has a valid gate: the
        // window sums of the others would be thrown away.
        for (int64_t g0 = 0; g0 < E;) {
            int64_t g1 = std::min(E, g0 + texture_stretch);
            if (!any_valid(self, g0, g1)) {
                if (!sink.flags) std::fill(o + g0, o + g1, static_cast<T>(nan_value));
                g0 = g1;
                continue;
            }
            // The run goes on while the next stretch has a valid gate too.
            while (g1 < E) {
                const int64_t next = std::min(E, g1 + texture_stretch);
                if (!any_valid(self, g1, next)) break;
                g1 = next;
            }
            window_sums(rays_planes, last - first + 1, P, g0, g1, reach, hg, s.column.data(),
                        s.window.data());
            const double* sums = s.window.data() + g0;
            if (circular) {
                circular_texture(sums, P, g1 - g0, self + g0, least, nyquist[row], o + g0);
            } else {
                linear_texture(sums, P, g1 - g0, self + g0, least, o + g0);
            }
            if (sink.flags) {
                uint32_t* f = sink.flags + row * G;
                for (int64_t g = g0; g < g1; ++g) f[g] |= o[g] > sink.limit ? sink.bit : 0u;
            }
            g0 = g1;
        }
        if (!sink.flags) std::fill(o + E, o + G, static_cast<T>(nan_value));
    }
}

template <class T>
using field_t = runtime::array<T, "field">;

// One field of a texture pass: its data, mask (or null), nyquist per row (or null: the
// linear texture) and where its texture goes.
template <class T>
struct TextureInput {
    const T* field;
    const uint8_t* mask;
    const double* nyquist;
    TextureSink<T> sink;
};

// A field's pointers, with every check of its arguments against the volume's rows and
// gates (those of the first field).
template <class T>
TextureInput<T> texture_input(const field_t<T>& field, const mask_t& mask, const f64& nyquist,
                              int64_t rows, int64_t G, TextureSink<T> sink) {
    require(field.ndim() == 2 && field.shape(0) == rows && field.shape(1) == G,
            "every field must be (rows, gates) of one shape");
    const bool circular = nyquist.size() != 0;
    require(!circular || nyquist.size() == rows, "nyquist must have one value per row");
    require(mask.size() == 0 || (mask.ndim() == 2 && mask.shape(0) == rows && mask.shape(1) == G),
            "mask must be empty or have the field's shape");
    const double* nyq = circular ? nyquist.data() : nullptr;
    for (int64_t r = 0; circular && r < rows; ++r)
        require(nyq[r] > 0.0 && is_finite(nyq[r]), "nyquist must be positive and finite");
    return {field.data(), mask.size() ? mask.data() : nullptr, nyq, sink};
}

// The textures of several fields of one volume, one item of the runner at a time: an
// item's rows of every field in turn, while its rows of flags are in the cache, after
// `before(item, scratch)` (the other tests of gate_qc on the item's rows).
template <class T, class Before>
void run_textures(const std::vector<TextureInput<T>>& inputs, const std::vector<int64_t>& b,
                  int64_t G, int64_t half_rays, int64_t half_gates, bool wrap,
                  int64_t min_count, int32_t n_threads, Before&& before) {
    require(half_rays >= 0 && half_gates >= 0, "the window's half sizes must not be negative");
    require(min_count >= 1, "min_count must be at least 1");
    const TextureParams p{G, half_rays, half_gates, min_count, wrap};
    const int64_t sweeps = static_cast<int64_t>(b.size()) - 1;
    runtime::release_gil release;
    std::vector<Chunk> chunks;
    for (int64_t s = 0; s < sweeps && G > 0; ++s) {
        const int64_t R = b[s + 1] - b[s];
        for (int64_t r = 0; r < R; r += texture_rays)
            chunks.push_back({b[s], R, r, std::min(R, r + texture_rays)});
    }
    // Several items per block of the runner, so that a block's scratch is allocated
    // once for all of them.
    runtime::for_blocks(static_cast<int64_t>(chunks.size()), texture_items, n_threads,
                        [&](int64_t begin, int64_t end) {
        TextureScratch<T> scratch(texture_rays + 2 * half_rays, p);
        for (int64_t i = begin; i < end; ++i) {
            const Chunk& chunk = chunks[static_cast<size_t>(i)];
            before(chunk, scratch);
            for (const auto& in : inputs)
                texture_chunk(in.field, in.mask, in.nyquist, chunk, p, scratch, in.sink);
        }
    });
}

template <class T>
py::array_t<T> texture_py(field_t<T> field, mask_t mask, bounds_t bounds, f64 nyquist,
                          int64_t half_rays, int64_t half_gates, bool wrap, int64_t min_count,
                          int32_t n_threads) {
    require(field.ndim() == 2, "field must be (rows, gates)");
    const int64_t rows = field.shape(0), G = field.shape(1);
    const auto b = sweep_bounds(bounds, rows);
    auto result = runtime::new_array<T>({rows, G});
    TextureSink<T> sink;
    sink.out = result.mutable_data();
    const std::vector<TextureInput<T>> inputs{texture_input(field, mask, nyquist, rows, G, sink)};
    run_textures(inputs, b, G, half_rays, half_gates, wrap, min_count, n_threads,
                 [](const Chunk&, TextureScratch<T>&) {});
    return result;
}

// ---------------------------------------------------------------------------------------
// despeckle

// A run of valid gates [begin, end) on one ray.
struct Run {
    int64_t begin, end;
};

int64_t find(std::vector<int64_t>& parent, int64_t i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];  // path halving
        i = parent[i];
    }
    return i;
}

void join(std::vector<int64_t>& parent, int64_t i, int64_t j) {
    i = find(parent, i);
    j = find(parent, j);
    if (i < j) parent[j] = i;
    else if (j < i) parent[i] = j;
}

// Joins the runs of two neighbouring rays that touch: sharing a gate (4-connectivity)
// or a corner too (8-connectivity, `reach` 1). Both lists are in gate order.
void join_rays(const std::vector<Run>& runs, std::vector<int64_t>& parent, int64_t a0,
               int64_t a1, int64_t b0, int64_t b1, int64_t reach) {
    int64_t i = a0, j = b0;
    while (i < a1 && j < b1) {
        const Run& x = runs[i];
        const Run& y = runs[j];
        if (x.begin < y.end + reach && y.begin < x.end + reach) join(parent, i, j);
        if (x.end < y.end) ++i;
        else ++j;
    }
}

// Labels one sweep's valid gates by runs along the rays and keeps the gates of groups of
// at least `min_size` gates.
void despeckle_sweep(const uint8_t* valid, int64_t rays, int64_t gates, int64_t min_size,
                     int64_t reach, bool wrap, uint8_t* kept) {
    std::vector<Run> runs;
    std::vector<int64_t> first(static_cast<size_t>(rays) + 1, 0);  // first run of each ray
    for (int64_t r = 0; r < rays; ++r) {
        first[r] = static_cast<int64_t>(runs.size());
        const uint8_t* v = valid + r * gates;
        for (int64_t g = 0; g < gates;) {
            if (!v[g]) {
                ++g;
                continue;
            }
            const int64_t start = g;
            while (g < gates && v[g]) ++g;
            runs.push_back({start, g});
        }
    }
    first[rays] = static_cast<int64_t>(runs.size());
    std::vector<int64_t> parent(runs.size());
    for (size_t i = 0; i < parent.size(); ++i) parent[i] = static_cast<int64_t>(i);
    for (int64_t r = 1; r < rays; ++r)
        join_rays(runs, parent, first[r - 1], first[r], first[r], first[r + 1], reach);
    if (wrap && rays > 2)
        join_rays(runs, parent, first[rays - 1], first[rays], first[0], first[1], reach);

    std::vector<int64_t> size(runs.size(), 0);
    for (size_t i = 0; i < runs.size(); ++i)
        size[find(parent, static_cast<int64_t>(i))] += runs[i].end - runs[i].begin;
    std::fill(kept, kept + rays * gates, uint8_t{0});
    for (int64_t r = 0; r < rays; ++r)
        for (int64_t i = first[r]; i < first[r + 1]; ++i)
            if (size[find(parent, i)] >= min_size)
                std::fill(kept + r * gates + runs[i].begin, kept + r * gates + runs[i].end,
                          uint8_t{1});
}

py::array_t<bool> despeckle_py(u8 valid, bounds_t bounds, int64_t min_size, int64_t connectivity,
                               bool wrap, int32_t n_threads) {
    require(valid.ndim() == 2, "valid must be (rows, gates)");
    require(connectivity == 4 || connectivity == 8, "connectivity must be 4 or 8");
    require(min_size >= 0, "min_size must not be negative");
    const int64_t rows = valid.shape(0), G = valid.shape(1);
    const auto b = sweep_bounds(bounds, rows);
    auto result = runtime::new_array<bool>({rows, G});
    const uint8_t* pv = valid.data();
    // NumPy's bool is one byte holding 0 or 1.
    auto* out = reinterpret_cast<uint8_t*>(result.mutable_data());
    {
        runtime::release_gil release;
        runtime::parallel_blocks(static_cast<int64_t>(b.size()) - 1, 1, n_threads,
                                 [&](int64_t s) {
            despeckle_sweep(pv + b[s] * G, b[s + 1] - b[s], G, min_size, connectivity == 8,
                            wrap, out + b[s] * G);
        });
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// thresholds, clutter and the VAD leash

constexpr int64_t flag_rows = 8;

// What one call tests. Fields are (rows, gates); a field fails where its value less its
// gate's offset is below `lo` or above `hi` (a NaN bound tests nothing); a missing value
// tests nothing. A field with bit 0 only says where there is data. `velocity` may be
// null (no clutter test, no leash).
template <class T>
struct FlagTests {
    std::vector<const T*> fields;
    std::vector<const uint8_t*> masks;  // per field, null: none
    std::vector<const double*> offsets;
    std::vector<double> lo, hi;
    std::vector<uint32_t> bits;
    uint32_t missing_bit = 0;
    const T* velocity = nullptr;
    const int64_t* clutter_gates = nullptr;  // per row: gates from the radar below the height
    double clutter_speed = 0.0;
    uint32_t clutter_bit = 0;
    const double *vad_u = nullptr, *vad_v = nullptr;  // (levels, gates)
    const int64_t* vad_level = nullptr;                // per row, -1: no VAD
    const double *sin_az = nullptr, *cos_az = nullptr, *cos_el = nullptr;
    double leash_fraction = 0.0, leash_floor = 0.0;
    uint32_t leash_bit = 0;
};

// One field's test along a row, written without branches so that it compiles to vector
// code: a NaN bound compares false, as does a missing (not finite, or masked) value,
// which is then also not seen. Without an offset the field is compared in its own type
// (the bounds arrive rounded to it), so float32 planes are read four gates at a time.
template <class T>
void test_field(const T* f, const uint8_t* m, const double* off, double lo, double hi,
                uint32_t bit, int64_t G, uint32_t* flag, uint32_t* seen) {
    if (bit == 0 || (std::isnan(lo) && std::isnan(hi))) {
        for (int64_t g = 0; g < G; ++g)
            seen[g] |= static_cast<uint32_t>(is_finite(f[g])) & (m[g] == 0);
        return;
    }
    if (off == nullptr) {
        const T l = static_cast<T>(lo), h = static_cast<T>(hi);
        for (int64_t g = 0; g < G; ++g) {
            const T x = f[g];
            const uint32_t ok = static_cast<uint32_t>(is_finite(x)) & (m[g] == 0);
            seen[g] |= ok;
            flag[g] |= (ok & static_cast<uint32_t>((x < l) | (x > h))) * bit;
        }
        return;
    }
    for (int64_t g = 0; g < G; ++g) {
        const double x = static_cast<double>(f[g]);
        const double y = x - off[g];
        const uint32_t ok = static_cast<uint32_t>(is_finite(x)) & (m[g] == 0);
        seen[g] |= ok;
        flag[g] |= (ok & static_cast<uint32_t>((y < lo) | (y > hi))) * bit;
    }
}

template <class T>
void flag_row(const FlagTests<T>& t, int64_t r, int64_t G, const uint8_t* unmasked,
              uint32_t* flag, uint32_t* seen) {
    std::fill(flag, flag + G, 0u);
    std::fill(seen, seen + G, 0u);
    for (size_t i = 0; i < t.fields.size(); ++i)
        test_field(t.fields[i] + r * G, t.masks[i] ? t.masks[i] + r * G : unmasked, t.offsets[i],
                   t.lo[i], t.hi[i], t.bits[i], G, flag, seen);
    if (t.velocity != nullptr) {
        const T* v = t.velocity + r * G;
        for (int64_t g = 0; g < G; ++g) seen[g] |= static_cast<uint32_t>(is_finite(v[g]));
        const int64_t near = std::min(G, t.clutter_gates ? t.clutter_gates[r] : 0);
        for (int64_t g = 0; g < near; ++g)
            if (std::fabs(static_cast<double>(v[g])) < t.clutter_speed) flag[g] |= t.clutter_bit;
        const int64_t level = t.vad_level ? t.vad_level[r] : -1;
        if (level >= 0) {
            const double* u = t.vad_u + level * G;
            const double* w = t.vad_v + level * G;
            const double sa = t.sin_az[r], ca = t.cos_az[r], ce = t.cos_el[r];
            for (int64_t g = 0; g < G; ++g) {
                const double x = static_cast<double>(v[g]);
                if (!is_finite(x) || !is_finite(u[g]) || !is_finite(w[g])) continue;
                const double expected = (u[g] * sa + w[g] * ca) * ce;
                const double allowed =
                    std::max(t.leash_fraction * std::hypot(u[g], w[g]), t.leash_floor);
                if (std::fabs(x - expected) > allowed) flag[g] |= t.leash_bit;
            }
        }
    }
    for (int64_t g = 0; g < G; ++g) flag[g] |= (1u - seen[g]) * t.missing_bit;
}


template <class T>
using plane_t = runtime::array<T, "fields">;

template <class T>
py::array_t<uint32_t> flags_py(std::vector<plane_t<T>> fields, std::vector<mask_t> masks,
                               std::vector<f64> offsets, f64 lo, f64 hi, i64a bits,
                               uint32_t missing_bit, plane_t<T> velocity,
                               i64a clutter_gates, double clutter_speed, uint32_t clutter_bit,
                               f64 vad_u, f64 vad_v, i64a vad_level, f64 sin_az, f64 cos_az,
                               f64 cos_el, double leash_fraction, double leash_floor,
                               uint32_t leash_bit, int64_t rows, int64_t gates,
                               std::vector<field_t<T>> texture_fields,
                               std::vector<mask_t> texture_masks, bounds_t bounds,
                               std::vector<f64> texture_nyquists, int64_t half_rays,
                               int64_t half_gates, bool wrap, int64_t min_count,
                               f64 texture_limits, i64a texture_bits, int32_t n_threads) {
    require(rows >= 0 && gates >= 0, "rows and gates must not be negative");
    const size_t nf = fields.size();
    require(masks.size() == nf && offsets.size() == nf && static_cast<size_t>(lo.size()) == nf &&
                static_cast<size_t>(hi.size()) == nf && static_cast<size_t>(bits.size()) == nf,
            "one mask, offset, bound pair and bit per field");
    auto is_plane = [&](const plane_t<T>& a) {
        return a.ndim() == 2 && a.shape(0) == rows && a.shape(1) == gates;
    };
    FlagTests<T> t;
    for (size_t i = 0; i < nf; ++i) {
        require(is_plane(fields[i]), "every field must be (rows, gates)");
        require(offsets[i].size() == 0 || offsets[i].size() == gates,
                "an offset must have one value per gate");
        require(masks[i].size() == 0 ||
                    (masks[i].ndim() == 2 && masks[i].shape(0) == rows &&
                     masks[i].shape(1) == gates),
                "a mask must be empty or (rows, gates)");
        t.fields.push_back(fields[i].data());
        t.masks.push_back(masks[i].size() ? masks[i].data() : nullptr);
        t.offsets.push_back(offsets[i].size() ? offsets[i].data() : nullptr);
        t.lo.push_back(lo.data()[i]);
        t.hi.push_back(hi.data()[i]);
        t.bits.push_back(static_cast<uint32_t>(bits.data()[i]));
    }
    t.missing_bit = missing_bit;
    if (velocity.size() != 0) {
        require(is_plane(velocity), "velocity must be (rows, gates)");
        t.velocity = velocity.data();
        require(clutter_gates.size() == 0 || clutter_gates.size() == rows,
                "clutter_gates must have one value per row");
        t.clutter_gates = clutter_gates.size() ? clutter_gates.data() : nullptr;
        t.clutter_speed = clutter_speed;
        t.clutter_bit = clutter_bit;
        if (vad_level.size() != 0) {
            require(vad_level.size() == rows && sin_az.size() == rows && cos_az.size() == rows &&
                        cos_el.size() == rows,
                    "vad_level, sin_az, cos_az, cos_el must have one value per row");
            require(vad_u.ndim() == 2 && vad_u.shape(1) == gates && vad_v.ndim() == 2 &&
                        vad_v.shape(0) == vad_u.shape(0) && vad_v.shape(1) == gates,
                    "vad_u and vad_v must be (levels, gates)");
            const int64_t levels = vad_u.shape(0);
            for (int64_t r = 0; r < rows; ++r)
                require(vad_level.data()[r] < levels, "vad_level out of range");
            t.vad_u = vad_u.data();
            t.vad_v = vad_v.data();
            t.vad_level = vad_level.data();
            t.sin_az = sin_az.data();
            t.cos_az = cos_az.data();
            t.cos_el = cos_el.data();
            t.leash_fraction = leash_fraction;
            t.leash_floor = leash_floor;
            t.leash_bit = leash_bit;
        }
    }
    auto result = runtime::new_array<uint32_t>({rows, gates});
    uint32_t* out = result.mutable_data();
    const size_t nt = texture_fields.size();
    if (nt != 0) {
        // Thresholds on textures, in the texture pass: each item's rows get the tests
        // above, then the bits of every texture above its bound, while they are in the
        // cache; no texture field is stored.
        require(texture_masks.size() == nt && texture_nyquists.size() == nt &&
                    static_cast<size_t>(texture_limits.size()) == nt &&
                    static_cast<size_t>(texture_bits.size()) == nt,
                "one mask, nyquist, limit and bit per texture");
        const auto b = sweep_bounds(bounds, rows);
        std::vector<TextureInput<T>> inputs;
        for (size_t i = 0; i < nt; ++i) {
            TextureSink<T> sink;
            sink.flags = out;
            sink.limit = static_cast<T>(texture_limits.data()[i]);
            sink.bit = static_cast<uint32_t>(texture_bits.data()[i]);
            inputs.push_back(texture_input(texture_fields[i], texture_masks[i],
                                           texture_nyquists[i], rows, gates, sink));
        }
        run_textures(inputs, b, gates, half_rays, half_gates, wrap, min_count, n_threads,
                     [&](const Chunk& c, TextureScratch<T>& s) {
            for (int64_t r = c.row + c.begin; r < c.row + c.end; ++r)
                flag_row(t, r, gates, s.unmasked.data(), out + r * gates, s.seen.data());
        });
        return result;
    }
    {
        runtime::release_gil release;
        runtime::for_blocks(rows, flag_rows, n_threads, [&](int64_t begin, int64_t end) {
            std::vector<uint32_t> seen(static_cast<size_t>(gates));
            const std::vector<uint8_t> unmasked(static_cast<size_t>(gates), 0);
            for (int64_t r = begin; r < end; ++r)
                flag_row(t, r, gates, unmasked.data(), out + r * gates, seen.data());
        });
    }
    return result;
}

}  // namespace

namespace radar {

void register_qc(pybind11::module_& m) {
    // Two forms: float32 (Py-ART's fields) and float64. pybind11 first looks for a form
    // that takes the arguments as they are, so a float32 field is read in place by the
    // float32 form; failing that, the first form that can convert them is taken, and that
    // must be the float64 one, or a float64 field given with a list would be rounded to
    // float32 without a word.
    // `mask` (uint8, the field's shape, or empty) marks more missing gates than the
    // field's NaN: a masked array's mask, read without a filled copy.
    auto texture_args = [&](auto function) {
        m.def("texture", function, py::arg("field"), py::arg("mask"), py::arg("bounds"),
              py::arg("nyquist"), py::arg("half_rays"), py::arg("half_gates"), py::arg("wrap"),
              py::arg("min_count"), py::arg("n_threads") = 0);
    };
    texture_args(&texture_py<double>);
    texture_args(&texture_py<float>);
    m.def("despeckle", &despeckle_py, py::arg("valid"), py::arg("bounds"), py::arg("min_size"),
          py::arg("connectivity"), py::arg("wrap"), py::arg("n_threads") = 0);
    auto flags_args = [&](auto function) {
        m.def("flags", function, py::arg("fields"), py::arg("masks"), py::arg("offsets"),
              py::arg("lo"), py::arg("hi"), py::arg("bits"), py::arg("missing_bit"),
              py::arg("velocity"), py::arg("clutter_gates"), py::arg("clutter_speed"),
              py::arg("clutter_bit"), py::arg("vad_u"), py::arg("vad_v"), py::arg("vad_level"),
              py::arg("sin_az"), py::arg("cos_az"), py::arg("cos_el"), py::arg("leash_fraction"),
              py::arg("leash_floor"), py::arg("leash_bit"), py::arg("rows"), py::arg("gates"),
              py::arg("texture_fields"), py::arg("texture_masks"), py::arg("bounds"),
              py::arg("texture_nyquists"), py::arg("half_rays"), py::arg("half_gates"),
              py::arg("wrap"), py::arg("min_count"), py::arg("texture_limits"),
              py::arg("texture_bits"), py::arg("n_threads") = 0);
    };
    flags_args(&flags_py<double>);
    flags_args(&flags_py<float>);
}

}  // namespace radar
