// Superobservations: kernels and their bindings for kestrum._radar.
//
// Gates are grouped into boxes (polar boxes of a sweep, or boxes of a grid) and each box
// is reduced to one observation. The work is ordered so that every box's sums run over
// its gates in gate order whatever the thread count: a stable counting sort of the valid
// gates by box, then one box per item of the runner. No sum is ever shared between
// threads.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "radar/register.hpp"
#include "runtime/binding.hpp"
#include "runtime/values.hpp"

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

// The statistics of one box from its gates (flat indices `idx`, n of them, n > 0 or the
// box is left missing). `out` points at plane 0 of the box; planes are `stride` apart.
//
// A folded velocity's value is the mean on the fold circle, each gate at phase
// pi v / V of its own Nyquist velocity V, scaled back by the box's mean Nyquist; each
// gate is then taken to its fold nearest that value before the spread, least and
// greatest are taken. The spread is the population standard deviation.
void box_stats(const int64_t* idx, int64_t n, const double* values, int64_t gates,
               const Rays& rays, const double* range, int quantity, double* out,
               int64_t stride) {
    for (int p = 0; p < planes; ++p) out[p * stride] = nan_value;
    out[p_count * stride] = static_cast<double>(n);
    if (n == 0) return;

    double s_az = 0.0, c_az = 0.0, sum_el = 0.0, sum_r = 0.0, sum_t = 0.0;
    double sum = 0.0, sum_z = 0.0, sum_s = 0.0, sum_c = 0.0, sum_ny = 0.0;
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (int64_t k = 0; k < n; ++k) {
        const int64_t ray = idx[k] / gates, gate = idx[k] - ray * gates;
        const double v = values[idx[k]];
        s_az += rays.sin_az[ray];
        c_az += rays.cos_az[ray];
        sum_el += rays.elevation[ray];
        sum_r += range[gate];
        sum_t += rays.time[ray];
        if (quantity == folded) {
            const double ny = rays.nyquist[ray];
            double s, c;
            sincos(pi * v / ny, &s, &c);
            sum_s += s;
            sum_c += c;
            sum_ny += ny;
        } else {
            sum += v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            if (quantity == reflectivity) sum_z += std::pow(10.0, v / 10.0);
        }
    }
    const double count = static_cast<double>(n);
    double value, mean;
    if (quantity == folded) {
        const double ny = sum_ny / count;
        value = ny / pi * std::atan2(sum_s, sum_c);
        out[p_coherence * stride] = std::sqrt(sum_s * sum_s + sum_c * sum_c) / count;
        out[p_nyquist * stride] = ny;
        // The gates on their folds nearest the value: their mean for the spread, and
        // their extremes.
        sum = 0.0;
        for (int64_t k = 0; k < n; ++k) {
            const int64_t ray = idx[k] / gates;
            const double v = values[idx[k]], two = 2.0 * rays.nyquist[ray];
            const double u = v + two * std::floor((value - v) / two + 0.5);
            sum += u;
            lo = std::min(lo, u);
            hi = std::max(hi, u);
        }
        mean = sum / count;
    } else {
        mean = sum / count;
        value = quantity == reflectivity ? 10.0 * std::log10(sum_z / count) : mean;
    }
    double squares = 0.0;
    for (int64_t k = 0; k < n; ++k) {
        double v = values[idx[k]];
        if (quantity == folded) {
            const double two = 2.0 * rays.nyquist[idx[k] / gates];
            v += two * std::floor((value - v) / two + 0.5);
        }
        squares += (v - mean) * (v - mean);
    }
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

// The index of the cell of `edges` (n + 1 increasing edges of n cells) that holds x, or
// -1 outside them. A first guess from the mean width is corrected by comparing with the
// edges themselves, so uneven cells are found exactly, only more slowly.
inline int64_t cell(const double* edges, int64_t n, double x) {
    if (!(x >= edges[0] && x < edges[n])) return -1;
    int64_t k = static_cast<int64_t>((x - edges[0]) / (edges[n] - edges[0]) * static_cast<double>(n));
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

// Statistics of every box from the grouped gates, one box per item of the runner, into
// `out` of (planes, boxes).
void reduce_boxes(const Groups& groups, int64_t boxes, const double* values, int64_t gates,
                  const Rays& rays, const double* range, int quantity, int32_t n_threads,
                  double* out) {
    runtime::parallel_blocks(boxes, 64, n_threads, [&](int64_t b) {
        const int64_t begin = groups.start[b];
        box_stats(groups.order.data() + begin, groups.start[b + 1] - begin, values, gates, rays,
                  range, quantity, out + b, boxes);
    });
}

// Polar boxes: a gate's box is ray_box[ray] + gate_box[gate], or none when either is
// negative.
py::array_t<double> polar_py(f64 values, runtime::i64<"ray_box"> ray_box,
                             runtime::i64<"gate_box"> gate_box, int64_t boxes, f64 sin_az,
                             f64 cos_az, f64 elevation, f64 time, f64 nyquist, f64 range,
                             int quantity, int32_t n_threads) {
    require(values.ndim() == 2, "values must be 2-D (rays, gates)");
    const int64_t rays = values.shape(0), gates = values.shape(1);
    require(ray_box.size() == rays && sin_az.size() == rays && cos_az.size() == rays &&
                elevation.size() == rays && time.size() == rays,
            "ray arrays must have one value per ray");
    require(gate_box.size() == gates && range.size() == gates,
            "gate arrays must have one value per gate");
    require(boxes >= 0 && boxes < std::numeric_limits<int32_t>::max(), "too many boxes");
    check_quantity(quantity, nyquist, rays);
    const int64_t* rb = ray_box.data();
    const int64_t* gb = gate_box.data();
    for (int64_t r = 0; r < rays; ++r) require(rb[r] < boxes, "ray_box out of range");
    for (int64_t g = 0; g < gates; ++g) require(gb[g] < boxes, "gate_box out of range");
    const Rays info{sin_az.data(), cos_az.data(), elevation.data(), time.data(), nyquist.data()};
    auto result = runtime::new_array<double>({planes, boxes});
    double* out = result.mutable_data();
    {
        runtime::release_gil release;
        const Groups groups = group_gates(values.data(), rays, gates, boxes, n_threads,
                             [&](int64_t r, int64_t g) -> int64_t {
                                 if (rb[r] < 0 || gb[g] < 0) return -1;
                                 const int64_t b = rb[r] + gb[g];
                                 return b < boxes ? b : -1;
                             });
        reduce_boxes(groups, boxes, values.data(), gates, info, range.data(), quantity,
                     n_threads, out);
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
    {
        runtime::release_gil release;
        const Groups groups = group_gates(values.data(), rays, gates, boxes, n_threads,
                             [&](int64_t r, int64_t g) -> int64_t {
                                 if (rs[r] < 0) return -1;
                                 const double rg = pr[g], theta = pe[r] * degree;
                                 const double ka = effective_radius;
                                 const double rise =
                                     std::sqrt(rg * rg + ka * ka + 2.0 * rg * ka * std::sin(theta)) - ka;
                                 const double s = ka * std::asin(rg * std::cos(theta) / (ka + rise));
                                 const int64_t ix = cell(xe, nx, s * ps[r]);
                                 const int64_t iy = cell(ye, ny, s * pc[r]);
                                 const int64_t iz = by_height ? cell(ze, nz, rise + altitude) : rs[r];
                                 if (ix < 0 || iy < 0 || iz < 0) return -1;
                                 return (iz * ny + iy) * nx + ix;
                             });
        reduce_boxes(groups, boxes, values.data(), gates, info, pr, quantity, n_threads, out);
    }
    return result;
}

}  // namespace

void register_superobs(pybind11::module_& m) {
    m.def("superobs_polar", &polar_py, py::arg("values"), py::arg("ray_box"), py::arg("gate_box"),
          py::arg("boxes"), py::arg("sin_az"), py::arg("cos_az"), py::arg("elevation"),
          py::arg("time"), py::arg("nyquist"), py::arg("range"), py::arg("quantity"),
          py::arg("n_threads") = 0);
    m.def("superobs_grid", &grid_py, py::arg("values"), py::arg("ray_sweep"), py::arg("sweeps"),
          py::arg("sin_az"), py::arg("cos_az"), py::arg("elevation"), py::arg("time"),
          py::arg("nyquist"), py::arg("range"), py::arg("x_edges"), py::arg("y_edges"),
          py::arg("z_edges"), py::arg("altitude"), py::arg("quantity"), py::arg("n_threads") = 0);
}

}  // namespace radar
