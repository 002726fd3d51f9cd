// Velocity dealiasing: kernels and their bindings for kestrum._radar.
//
// A volume arrives as rays stacked on one axis (rays x gates) with the first ray of every
// sweep, so that sweeps of different ray counts need no padding. Two kernels:
//
// - dealias_fit, the first guess: a VAD wind (u, v, w) per height layer fitted to the
//   aliased data themselves. Gates are summed as phasors exp(i pi v / Vn), which a fold
//   does not change, into bins of one ray and one layer; the change of phase between
//   neighbouring rays gives the azimuthal derivative of the radial velocity, linear in
//   (u, v) (an alias-robust VAD), and a few Gauss-Newton steps on the phases themselves
//   then fit (u, v, w) on the fold circle.
// - dealias_unfold: every gate takes the fold nearest its reference; neighbours that then
//   agree form regions, and regions are moved by whole folds where that makes them agree
//   with their resolved neighbours, so features the reference cannot know (couplets,
//   shear lines) keep the folds that continuity gives them. Regions too small to trust
//   and with no agreeing neighbour (isolated gates) are left unresolved.
//
// Both run one sweep (or one layer) per item of the runner, each in a fixed order of its
// own, so results are the same bit for bit for every thread count.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <vector>

#include "radar/register.hpp"
#include "runtime/binding.hpp"
#include "runtime/values.hpp"

namespace radar {
namespace {

namespace py = pybind11;
using runtime::f64;
using runtime::is_finite;
using runtime::nan_value;
using runtime::require;

constexpr double pi = 3.14159265358979323846;

// The angle x moved into [-pi, pi).
inline double wrap_angle(double x) { return x - 2.0 * pi * std::floor((x + pi) / (2.0 * pi)); }

// A volume's layout: rays of all sweeps on one axis, sweep s holding rays
// start[s] .. start[s+1]-1, and the per-ray values the kernels share.
struct Volume {
    const double* vel;     // rays x gates, NaN where missing
    const double* nyq;     // per ray, m/s (> 0, or NaN: the ray is not used)
    const double* sin_az;  // per ray (NaN: the ray is not used)
    const double* cos_az;
    const double* cos_el;  // per ray
    const int64_t* start;  // sweeps + 1
    const uint8_t* wrap;   // per sweep: the last ray neighbours the first (a full circle)
    int64_t sweeps, rays, gates;
};

// ---------------------------------------------------------------------------------------
// first guess: VAD per height layer on the fold circle

constexpr int fit_planes = 5;  // u, v, w, bins, agreement
constexpr double min_coherence = 0.3;  // |mean phasor| of a bin worth fitting
constexpr int gauss_newton_steps = 5;

// Phasor sums of sweep s, one bin per (ray, layer), at [ray * layers + layer]: each bin's
// phase, and its weight (count times coherence; 0 for a bin with too little to fit).
void bin_phasors(const Volume& vol, int64_t s, const int64_t* layer, int64_t layers,
                 int64_t step, double* phase, double* weight, double* count) {
    const int64_t G = vol.gates;
    const int64_t* lay = layer + s * G;
    for (int64_t r = vol.start[s]; r < vol.start[s + 1]; ++r) {
        double* re = phase + r * layers;
        double* im = weight + r * layers;
        double* n = count + r * layers;
        std::fill(re, re + layers, 0.0);
        std::fill(im, im + layers, 0.0);
        std::fill(n, n + layers, 0.0);
        const double vn = vol.nyq[r];
        if (!(vn > 0.0) || !is_finite(vol.sin_az[r])) continue;
        const double scale = pi / vn;
        const double* v = vol.vel + r * G;
        for (int64_t g = 0; g < G; g += step) {
            const int64_t l = lay[g];
            if (l < 0 || !is_finite(v[g])) continue;
            re[l] += std::cos(scale * v[g]);
            im[l] += std::sin(scale * v[g]);
            n[l] += 1.0;
        }
        for (int64_t l = 0; l < layers; ++l) {
            const double coherence = n[l] > 0.0 ? std::sqrt(re[l] * re[l] + im[l] * im[l]) / n[l] : 0.0;
            const bool usable = coherence >= min_coherence;
            const double p = usable ? std::atan2(im[l], re[l]) : 0.0;
            im[l] = usable ? n[l] * coherence : 0.0;
            re[l] = p;
        }
    }
}

// Solves the symmetric n x n system A x = b (n <= 3) by Gaussian elimination with
// partial pivoting; false when it is singular at the scale of its diagonal.
template <int N>
bool solve(std::array<double, N * N> A, std::array<double, N> b, std::array<double, N>& x) {
    double scale = 0.0;
    for (int i = 0; i < N; ++i) scale = std::max(scale, std::fabs(A[i * N + i]));
    if (!(scale > 0.0)) return false;
    for (int c = 0; c < N; ++c) {
        int p = c;
        for (int r = c + 1; r < N; ++r)
            if (std::fabs(A[r * N + c]) > std::fabs(A[p * N + c])) p = r;
        if (!(std::fabs(A[p * N + c]) > 1e-9 * scale)) return false;
        if (p != c) {
            for (int k = 0; k < N; ++k) std::swap(A[c * N + k], A[p * N + k]);
            std::swap(b[c], b[p]);
        }
        for (int r = c + 1; r < N; ++r) {
            const double f = A[r * N + c] / A[c * N + c];
            for (int k = c; k < N; ++k) A[r * N + k] -= f * A[c * N + k];
            b[r] -= f * b[c];
        }
    }
    for (int c = N - 1; c >= 0; --c) {
        double t = b[c];
        for (int k = c + 1; k < N; ++k) t -= A[c * N + k] * x[k];
        x[c] = t / A[c * N + c];
    }
    return true;
}

// Fit of layer l from the bins of every sweep; writes fit_planes values at out[p * stride].
void fit_layer(const Volume& vol, int64_t l, int64_t layers, const double* phase,
               const double* weight, double min_spread, double* out, int64_t stride) {
    for (int p = 0; p < fit_planes; ++p) out[p * stride] = nan_value;
    auto at = [&](int64_t r) { return r * layers + l; };

    // The azimuthal derivative between a ray and the next one of the same Nyquist
    // velocity (dual-PRF scans alternate), from the change of the bins' phase:
    // dv / daz = cos_el (u cos az - v sin az) at the mid azimuth.
    std::array<double, 4> A{};
    std::array<double, 2> b{};
    double total = 0.0, bins = 0.0;
    for (int64_t s = 0; s < vol.sweeps; ++s) {
        const int64_t first = vol.start[s], last = vol.start[s + 1], count = last - first;
        for (int64_t r = first; r < last; ++r) {
            const double p1 = phase[at(r)], w1 = weight[at(r)];
            if (!(w1 > 0.0)) continue;
            bins += 1.0;
            for (int64_t j = 1; j <= 3 && j < count; ++j) {
                int64_t q = r + j;
                if (q >= last) {
                    if (!vol.wrap[s]) break;
                    q -= count;
                }
                if (vol.nyq[q] != vol.nyq[r]) continue;
                const double p2 = phase[at(q)], w2 = weight[at(q)];
                if (!(w2 > 0.0)) break;
                const double sin_d = vol.sin_az[q] * vol.cos_az[r] - vol.cos_az[q] * vol.sin_az[r];
                const double cos_d = vol.cos_az[q] * vol.cos_az[r] + vol.sin_az[q] * vol.sin_az[r];
                const double daz = std::atan2(sin_d, cos_d);
                if (!(std::fabs(daz) > 1e-4 && std::fabs(daz) < 0.2)) break;
                // Mid azimuth: the half-angle sum of the two rays' unit vectors.
                double mc = vol.cos_az[q] + vol.cos_az[r], ms = vol.sin_az[q] + vol.sin_az[r];
                const double norm = std::sqrt(mc * mc + ms * ms);
                mc /= norm;
                ms /= norm;
                const double c = 0.5 * (vol.cos_el[q] + vol.cos_el[r]);
                const double dv = vol.nyq[r] / pi * wrap_angle(p2 - p1) / daz;
                const double x0 = c * mc, x1 = -c * ms, w = std::min(w1, w2);
                A[0] += w * x0 * x0;
                A[1] += w * x0 * x1;
                A[3] += w * x1 * x1;
                b[0] += w * x0 * dv;
                b[1] += w * x1 * dv;
                total += w;
                break;
            }
        }
    }
    A[2] = A[1];
    // The coverage of azimuths, as in the VAD fit: the determinant of the weighted
    // second moments of (cos az, sin az), 0.25 for a full circle.
    if (!(total > 0.0) || !(A[0] * A[3] - A[1] * A[1] >= min_spread * total * total * 0.9)) return;
    std::array<double, 2> uv{};
    if (!solve<2>(A, b, uv)) return;
    double u = uv[0], v = uv[1], w = 0.0;

    // Gauss-Newton on the fold circle: the residual phase of each bin is wrapped, so
    // folded gates pull like unfolded ones; bins far from the fit weigh less.
    double agreement = 0.0;
    for (int step = 0; step <= gauss_newton_steps; ++step) {
        std::array<double, 9> M{};
        std::array<double, 3> y{};
        double weights = 0.0, agree = 0.0;
        for (int64_t s = 0; s < vol.sweeps; ++s) {
            for (int64_t r = vol.start[s]; r < vol.start[s + 1]; ++r) {
                const double p = phase[at(r)], wb = weight[at(r)];
                if (!(wb > 0.0)) continue;
                const double c = vol.cos_el[r];
                const double xs = c * vol.sin_az[r], xc = c * vol.cos_az[r];
                const double model = xs * u + xc * v + w;
                const double res = wrap_angle(p - pi * model / vol.nyq[r]);
                // A biweight: bins far from the fit on the circle count little.
                const double e = 1.0 - res * res / (pi * pi);
                const double fit = e * e;
                agree += wb * fit;
                weights += wb;
                const double wt = wb * fit;
                const double d = vol.nyq[r] / pi * res;
                const double x[3] = {xs, xc, 1.0};
                for (int i = 0; i < 3; ++i) {
                    for (int k = i; k < 3; ++k) M[i * 3 + k] += wt * x[i] * x[k];
                    y[i] += wt * x[i] * d;
                }
            }
        }
        agreement = agree / weights;
        if (step == gauss_newton_steps) break;
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < i; ++k) M[i * 3 + k] = M[k * 3 + i];
        std::array<double, 3> delta{};
        if (!solve<3>(M, y, delta)) return;
        u += delta[0];
        v += delta[1];
        w += delta[2];
    }
    out[0] = u;
    out[1 * stride] = v;
    out[2 * stride] = w;
    out[3 * stride] = bins;
    out[4 * stride] = agreement;
}

// ---------------------------------------------------------------------------------------
// unfolding: every gate on the fold nearest its reference, then regions of agreeing
// neighbours moved by continuity with their resolved neighbours

constexpr int max_vote = 16;  // folds a region can move: votes are counted in [-16, 16]
constexpr double join_step = 0.8;  // fraction of Vn within which a small region may join

struct Settings {
    double max_step;  // largest step between neighbours that counts as agreement, fraction of Vn
    int64_t min_region;
};

// One sweep's inputs, with the per-gate reference: the whole-volume reference when one is
// given, else the profile (u, v, w at every gate of the sweep).
struct SweepInput {
    const Volume& vol;
    int64_t s;
    const double* ref;  // rays x gates of the whole volume, or null
    const double* uvw;  // sweeps x 3 x gates, or null
};

// A gate's fold choice: k folds of 2 Vn, the one that brings v nearest `target` (ties
// upward). `half_inv` is 1 / (2 Vn). Rounding by truncating a positive number keeps the
// call out of the C library, which baseline x86-64 needs for nearbyint or floor.
inline int fold_toward(double v, double half_inv, double target) {
    const double t = std::clamp((target - v) * half_inv, -30000.0, 30000.0);
    return static_cast<int>(t + 32768.5) - 32768;
}

// The most voted fold in votes[-max_vote .. max_vote]; ties go to the smaller move.
int vote_winner(const std::array<int64_t, 2 * max_vote + 1>& votes) {
    int best = 0;
    int64_t most = -1;
    for (int m = 0; m <= max_vote; ++m) {
        for (int k : {-m, m}) {
            if (votes[k + max_vote] > most) {
                most = votes[k + max_vote];
                best = k;
            }
            if (m == 0) break;
        }
    }
    return best;
}

// Unfolds one sweep, writing the velocities and folds of its gates.
//
// 1. Every gate takes the fold nearest its reference (fold 0 where it has none).
// 2. Neighbours agree when their values differ by less than max_step Nyquist velocities;
//    regions are the connected sets of agreeing neighbours (union-find whose root is the
//    smallest gate index, so the labels depend on nothing but the data). Where the
//    reference is right the gates of a feature form one region; where it is off by more
//    than a Nyquist velocity (a couplet, a front) the gates fall into regions whose
//    boundary with their neighbours is a whole number of folds.
// 3. Regions are resolved down the region graph, largest first: the largest region not
//    yet reached keeps its reference folds; then the largest region next to a resolved
//    one moves by the folds its boundary votes for, when that makes at least half of its
//    boundary agree and more of it than staying. A region of fewer than min_region gates,
//    or one without any reference, must join that way or stays unresolved.
struct UnfoldEdge {
    int32_t gate, other_gate;  // gate of this region, gate of the other
    int32_t other;             // the other region
};

// The work memory of one sweep, reused from sweep to sweep: taking fresh pages for every
// sweep costs as much as the unfolding itself.
struct UnfoldScratch {
    std::vector<int32_t> label;
    std::vector<uint8_t> known;
    std::vector<int64_t> size;
    std::vector<uint8_t> has_ref, resolved, visited;
    std::vector<int> shift;
    std::vector<int32_t> order;
    std::vector<std::pair<int64_t, int32_t>> heap;
    std::vector<UnfoldEdge> crossing, edges;
    std::vector<int64_t> edge_start, fill;
};

class SweepUnfolder {
public:
    SweepUnfolder(const SweepInput& in, const Settings& set, UnfoldScratch& w)
        : in_(in), vol_(in.vol), set_(set), first_(vol_.start[in.s]),
          rays_(vol_.start[in.s + 1] - first_), G_(vol_.gates), N_(rays_ * G_),
          nyq_(vol_.nyq + first_), vel_(vol_.vel + first_ * G_),
          wrap_(vol_.wrap[in.s] != 0 && rays_ > 2), label_(w.label), known_(w.known),
          size_(w.size), has_ref_(w.has_ref), resolved_(w.resolved), visited_(w.visited),
          shift_(w.shift), order_(w.order), heap_(w.heap), crossing_(w.crossing),
          edges_(w.edges), edge_start_(w.edge_start), fill_(w.fill) {}

    void run(double* out, int16_t* folds) {
        x_ = out;
        k_ = folds;
        first_guess();
        label();
        boundaries();
        resolve();
        for (int64_t i = 0; i < N_; ++i) {
            if (label_[i] == invalid) continue;
            const int32_t c = region(i);
            if (!resolved_[c]) {
                x_[i] = nan_value;
                k_[i] = 0;
            } else if (shift_[c] != 0) {
                // From the value, not the input: the result may be written over the input.
                k_[i] = static_cast<int16_t>(k_[i] + shift_[c]);
                x_[i] += 2.0 * nyq_[i / G_] * shift_[c];
            }
        }
    }

private:
    // label_ holds, per gate: invalid; while regions are built, the union-find parent
    // (an index no larger than the gate's own); then the region, coded as -2 - region.
    static constexpr int32_t invalid = -1;
    int32_t region(int64_t i) const { return -2 - label_[i]; }

    bool agree(double xa, double vna, double xb, double vnb) const {
        return std::fabs(xa - xb) < set_.max_step * std::min(vna, vnb);
    }

    // A gate of a small region sides with a resolved neighbour unless the two are nearly
    // half a fold circle apart, where the next fold would fit almost as well: a noisy
    // gate a little beyond max_step is kept, an ambiguous one is not.
    bool sides_with(double xa, double vna, double xb, double vnb) const {
        const double step = std::max(set_.max_step, join_step);
        return std::fabs(xa - xb) < step * std::min(vna, vnb);
    }

    int32_t find(int32_t i) {
        while (label_[i] != i) {
            label_[i] = label_[label_[i]];
            i = label_[i];
        }
        return i;
    }

    void unite(int32_t a, int32_t b) {
        a = find(a);
        b = find(b);
        if (a < b) label_[b] = a;
        else if (b < a) label_[a] = b;
    }

    // Folds from the reference, and the union of agreeing neighbours, in one pass: the
    // gate before along the ray and the same gate of the ray before are already done.
    void first_guess() {
        label_.resize(static_cast<size_t>(N_));
        known_.resize(static_cast<size_t>(N_));
        const double* uvw = in_.uvw ? in_.uvw + in_.s * 3 * G_ : nullptr;
        for (int64_t r = 0; r < rays_; ++r) {
            const int64_t ray = first_ + r;
            const double vn = nyq_[r];
            const bool ray_ok = vn > 0.0 && is_finite(vn) && is_finite(vol_.sin_az[ray]);
            const double half_inv = 0.5 / vn, two_vn = 2.0 * vn;
            const double xs = vol_.cos_el[ray] * vol_.sin_az[ray];
            const double xc = vol_.cos_el[ray] * vol_.cos_az[ray];
            const double* ref = in_.ref ? in_.ref + ray * G_ : nullptr;
            const double vn_prev = r > 0 ? nyq_[r - 1] : 0.0;
            for (int64_t g = 0; g < G_; ++g) {
                const int64_t i = r * G_ + g;
                const double v = vel_[i];
                if (!ray_ok || !is_finite(v)) {
                    label_[i] = invalid;
                    known_[i] = 0;
                    x_[i] = nan_value;
                    k_[i] = 0;
                    continue;
                }
                double target = ref ? ref[g] : nan_value;
                if (!is_finite(target) && uvw)
                    target = xs * uvw[g] + xc * uvw[G_ + g] + uvw[2 * G_ + g];
                const bool known = is_finite(target);
                const int k = known ? fold_toward(v, half_inv, target) : 0;
                const double x = v + two_vn * k;
                known_[i] = known;
                k_[i] = static_cast<int16_t>(k);
                x_[i] = x;
                label_[i] = static_cast<int32_t>(i);
                if (g > 0 && label_[i - 1] != invalid && agree(x, vn, x_[i - 1], vn))
                    unite(static_cast<int32_t>(i), static_cast<int32_t>(i - 1));
                if (r > 0 && label_[i - G_] != invalid && agree(x, vn, x_[i - G_], vn_prev))
                    unite(static_cast<int32_t>(i), static_cast<int32_t>(i - G_));
            }
        }
        if (wrap_) {
            const int64_t last = (rays_ - 1) * G_;
            for (int64_t g = 0; g < G_; ++g) {
                if (label_[g] != invalid && label_[last + g] != invalid &&
                    agree(x_[g], nyq_[0], x_[last + g], nyq_[rays_ - 1]))
                    unite(static_cast<int32_t>(g), static_cast<int32_t>(last + g));
            }
        }
    }

    // Regions numbered in the order of their first gate. Every parent index is below
    // its gate, so in one ascending pass a gate's parent already holds its region.
    void label() {
        size_.clear();
        has_ref_.clear();
        for (int64_t i = 0; i < N_; ++i) {
            const int32_t p = label_[i];
            if (p == invalid) continue;
            int32_t c;
            if (p == i) {
                c = static_cast<int32_t>(size_.size());
                size_.push_back(0);
                has_ref_.push_back(0);
                label_[i] = -2 - c;
            } else {
                label_[i] = label_[p];
                c = region(i);
            }
            ++size_[c];
            has_ref_[c] |= known_[i];
        }
    }

    using Edge = UnfoldEdge;

    // Calls f(i, j) for every neighbouring pair of valid gates once: along rays, between
    // consecutive rays, and between the last and first rays of a full circle.
    template <class F>
    void pairs(F&& f) const {
        for (int64_t r = 0; r < rays_; ++r) {
            const int64_t base = r * G_;
            const int64_t next = r + 1 < rays_ ? base + G_ : (wrap_ ? 0 : -1);
            for (int64_t g = 0; g < G_; ++g) {
                const int64_t i = base + g;
                if (label_[i] == invalid) continue;
                if (g + 1 < G_ && label_[i + 1] != invalid) f(i, i + 1);
                if (next >= 0 && label_[next + g] != invalid) f(i, next + g);
            }
        }
    }

    // The boundary of every region: each pair of neighbours in different regions, listed
    // under both regions (grouped by region with a counting sort).
    void boundaries() {
        const size_t C = size_.size();
        crossing_.clear();
        pairs([&](int64_t i, int64_t j) {
            if (label_[i] != label_[j])
                crossing_.push_back({static_cast<int32_t>(i), static_cast<int32_t>(j), 0});
        });
        edge_start_.assign(C + 1, 0);
        for (const Edge& e : crossing_) {
            ++edge_start_[region(e.gate) + 1];
            ++edge_start_[region(e.other_gate) + 1];
        }
        for (size_t c = 0; c < C; ++c) edge_start_[c + 1] += edge_start_[c];
        edges_.resize(static_cast<size_t>(edge_start_[C]));
        fill_.assign(edge_start_.begin(), edge_start_.end() - 1);
        for (const Edge& e : crossing_) {
            const int32_t a = region(e.gate), b = region(e.other_gate);
            edges_[fill_[a]++] = {e.gate, e.other_gate, b};
            edges_[fill_[b]++] = {e.other_gate, e.gate, a};
        }
    }

    double final_value(int32_t gate) const {
        return x_[gate] + 2.0 * nyq_[gate / G_] * shift_[region(gate)];
    }

    // Resolves region c from its boundary with resolved regions; false when that boundary
    // does not settle it. `need`: the region has nothing else to go by, so staying on
    // its reference folds is no alternative.
    bool join(int32_t c, bool need) {
        std::array<int64_t, 2 * max_vote + 1> votes{};
        int64_t edges = 0;
        for (int64_t e = edge_start_[c]; e < edge_start_[c + 1]; ++e) {
            const Edge& ed = edges_[e];
            if (!resolved_[ed.other]) continue;
            const double vn = nyq_[ed.gate / G_];
            const int k = fold_toward(x_[ed.gate], 0.5 / vn, final_value(ed.other_gate));
            if (k < -max_vote || k > max_vote) continue;
            ++votes[k + max_vote];
            ++edges;
        }
        if (edges == 0) return false;
        const int best = vote_winner(votes);
        auto agreeing = [&](int k) {
            int64_t n = 0;
            for (int64_t e = edge_start_[c]; e < edge_start_[c + 1]; ++e) {
                const Edge& ed = edges_[e];
                if (!resolved_[ed.other]) continue;
                const double vn = nyq_[ed.gate / G_];
                const double xa = x_[ed.gate] + 2.0 * vn * k, xb = final_value(ed.other_gate);
                const double vnb = nyq_[ed.other_gate / G_];
                n += need ? sides_with(xa, vn, xb, vnb) : agree(xa, vn, xb, vnb);
            }
            return n;
        };
        const int64_t with_best = agreeing(best);
        if (2 * with_best < edges || with_best == 0) return false;
        if (!need && best != 0 && with_best <= agreeing(0)) return false;
        shift_[c] = best;
        return true;
    }

    void resolve() {
        const size_t C = size_.size();
        resolved_.assign(C, 0);
        visited_.assign(C, 0);
        shift_.assign(C, 0);
        order_.resize(C);
        std::iota(order_.begin(), order_.end(), 0);
        std::stable_sort(order_.begin(), order_.end(),
                         [&](int32_t a, int32_t b) { return size_[a] > size_[b]; });
        // Regions next to resolved ones, largest first (ties: lower number first).
        heap_.clear();
        auto push_neighbours = [&](int32_t c) {
            for (int64_t e = edge_start_[c]; e < edge_start_[c + 1]; ++e) {
                const int32_t o = edges_[e].other;
                if (visited_[o]) continue;
                heap_.push_back({size_[o], -o});
                std::push_heap(heap_.begin(), heap_.end());
            }
        };
        for (const int32_t root : order_) {
            if (visited_[root]) continue;
            visited_[root] = 1;
            if (size_[root] >= set_.min_region && has_ref_[root]) {
                resolved_[root] = 1;
                push_neighbours(root);
            }
            while (!heap_.empty()) {
                std::pop_heap(heap_.begin(), heap_.end());
                const int32_t c = -heap_.back().second;
                heap_.pop_back();
                if (visited_[c]) continue;
                const bool need = size_[c] < set_.min_region || !has_ref_[c];
                const bool joined = join(c, need);
                if (!joined && need) continue;  // may yet join from another neighbour
                visited_[c] = 1;
                resolved_[c] = 1;
                push_neighbours(c);
            }
        }
    }

    const SweepInput& in_;
    const Volume& vol_;
    Settings set_;
    int64_t first_, rays_, G_, N_;
    const double* nyq_;  // of this sweep's rays
    const double* vel_;  // this sweep's gates
    bool wrap_;
    double* x_ = nullptr;   // values on the current folds (the result)
    int16_t* k_ = nullptr;  // folds (the result)
    std::vector<int32_t>& label_;
    std::vector<uint8_t>& known_;  // the gate had a reference
    std::vector<int64_t>& size_;
    std::vector<uint8_t>&has_ref_, &resolved_, &visited_;
    std::vector<int>& shift_;
    std::vector<int32_t>& order_;
    std::vector<std::pair<int64_t, int32_t>>& heap_;
    std::vector<UnfoldEdge>&crossing_, &edges_;
    std::vector<int64_t>&edge_start_, &fill_;
};

// ---------------------------------------------------------------------------------------
// bindings

using u8 = runtime::array<uint8_t>;
using i64 = runtime::array<int64_t>;

struct VolumeArrays {
    std::vector<double> sin_az, cos_az;
    Volume vol;
};

VolumeArrays read_volume(const f64& vel, const f64& az, const f64& cos_el, const f64& nyq,
                         const i64& start, const u8& wrap) {
    require(vel.ndim() == 2, "vel must be (rays, gates)");
    const int64_t R = vel.shape(0), G = vel.shape(1);
    require(az.ndim() == 1 && az.shape(0) == R, "az must have one value per ray");
    require(cos_el.ndim() == 1 && cos_el.shape(0) == R, "cos_el must have one value per ray");
    require(nyq.ndim() == 1 && nyq.shape(0) == R, "nyq must have one value per ray");
    require(start.ndim() == 1 && start.shape(0) >= 1, "start must be (sweeps + 1,)");
    const int64_t S = start.shape(0) - 1;
    require(wrap.ndim() == 1 && wrap.shape(0) == S, "wrap must have one value per sweep");
    const int64_t* st = start.data();
    require(st[0] == 0 && st[S] == R, "start must run from 0 to the number of rays");
    for (int64_t s = 0; s < S; ++s) require(st[s] <= st[s + 1], "start must not decrease");
    require(G < (int64_t{1} << 30) && R < (int64_t{1} << 30), "sweep too large");
    for (int64_t s = 0; s < S; ++s)
        require((st[s + 1] - st[s]) * G < (int64_t{1} << 31), "sweep too large");
    VolumeArrays out;
    out.sin_az.resize(static_cast<size_t>(R));
    out.cos_az.resize(static_cast<size_t>(R));
    const double* a = az.data();
    for (int64_t r = 0; r < R; ++r) {
        out.sin_az[r] = std::sin(a[r]);
        out.cos_az[r] = std::cos(a[r]);
    }
    out.vol = Volume{vel.data(), nyq.data(), out.sin_az.data(), out.cos_az.data(),
                     cos_el.data(), st, wrap.data(), S, R, G};
    return out;
}

py::array_t<double> fit_py(f64 vel, f64 az, f64 cos_el, f64 nyq, i64 start, u8 wrap, i64 layer,
                           int64_t layers, int64_t step, double min_spread, int32_t n_threads) {
    VolumeArrays va = read_volume(vel, az, cos_el, nyq, start, wrap);
    const Volume& vol = va.vol;
    require(layer.ndim() == 2 && layer.shape(0) == vol.sweeps && layer.shape(1) == vol.gates,
            "layer must be (sweeps, gates)");
    require(layers >= 0 && step >= 1, "layers must be >= 0 and step >= 1");
    const int64_t* lay = layer.data();
    for (int64_t i = 0; i < layer.size(); ++i)
        require(lay[i] < layers, "layer index out of range");
    auto result = runtime::new_array<double>({fit_planes, layers});
    double* out = result.mutable_data();
    {
        runtime::release_gil release;
        const size_t bins = static_cast<size_t>(vol.rays * layers);
        std::vector<double> phase(bins), weight(bins), count(bins);
        runtime::parallel_blocks(vol.sweeps, 1, n_threads, [&](int64_t s) {
            bin_phasors(vol, s, lay, layers, step, phase.data(), weight.data(), count.data());
        });
        runtime::parallel_blocks(layers, 1, n_threads, [&](int64_t l) {
            fit_layer(vol, l, layers, phase.data(), weight.data(), min_spread, out + l, layers);
        });
    }
    return result;
}

py::tuple unfold_py(f64 vel, f64 az, f64 cos_el, f64 nyq, i64 start, u8 wrap,
                    std::optional<f64> uvw, std::optional<f64> ref, double max_step,
                    int64_t min_region, std::optional<py::array_t<double>> into,
                    int32_t n_threads) {
    VolumeArrays va = read_volume(vel, az, cos_el, nyq, start, wrap);
    const Volume& vol = va.vol;
    if (uvw)
        require(uvw->ndim() == 3 && uvw->shape(0) == vol.sweeps && uvw->shape(1) == 3 &&
                    uvw->shape(2) == vol.gates,
                "uvw must be (sweeps, 3, gates)");
    if (ref)
        require(ref->ndim() == 2 && ref->shape(0) == vol.rays && ref->shape(1) == vol.gates,
                "ref must be (rays, gates) like vel");
    require(max_step > 0.0 && max_step <= 1.0, "max_step must be in (0, 1]");
    require(min_region >= 1, "min_region must be >= 1");
    // `into`: where to write the result, possibly the velocities themselves (each gate's
    // input is read before its result is written, and never after), saving a volume of
    // fresh memory.
    py::array_t<double> out;
    if (into) {
        out = *into;
        require(out.ndim() == 2 && out.shape(0) == vol.rays && out.shape(1) == vol.gates &&
                    (out.flags() & py::array::c_style) && out.writeable(),
                "into must be a writeable C-contiguous float64 (rays, gates) array");
        require(out.data() == vel.data() ||
                    !(out.data() < vel.data() + vel.size() && vel.data() < out.data() + out.size()),
                "into must be vel itself or not overlap it");
    } else {
        out = runtime::new_array<double>({vol.rays, vol.gates});
    }
    auto folds = runtime::new_array<int16_t>({vol.rays, vol.gates});
    double* po = out.mutable_data();
    int16_t* pf = folds.mutable_data();
    const double* pu = uvw ? uvw->data() : nullptr;
    const double* pr = ref ? ref->data() : nullptr;
    const Settings set{max_step, min_region};
    {
        runtime::release_gil release;
        // Scratch memory for each thread at work, handed out and back under a lock.
        std::mutex lock;
        std::vector<std::unique_ptr<UnfoldScratch>> pool;
        runtime::parallel_blocks(vol.sweeps, 1, n_threads, [&](int64_t s) {
            std::unique_ptr<UnfoldScratch> w;
            {
                std::lock_guard<std::mutex> hold(lock);
                if (!pool.empty()) {
                    w = std::move(pool.back());
                    pool.pop_back();
                }
            }
            if (!w) w = std::make_unique<UnfoldScratch>();
            const SweepInput in{vol, s, pr, pu};
            SweepUnfolder unfolder(in, set, *w);
            const int64_t at = vol.start[s] * vol.gates;
            unfolder.run(po + at, pf + at);
            std::lock_guard<std::mutex> hold(lock);
            pool.push_back(std::move(w));
        });
    }
    return py::make_tuple(out, folds);
}

}  // namespace

void register_dealias(py::module_& m) {
    m.def("dealias_fit", &fit_py, py::arg("vel"), py::arg("az"), py::arg("cos_el"),
          py::arg("nyq"), py::arg("start"), py::arg("wrap"), py::arg("layer"), py::arg("layers"),
          py::arg("step"), py::arg("min_spread"), py::arg("n_threads") = 0,
          "VAD (u, v, w, bins, agreement) per height layer fitted on the fold circle.");
    m.def("dealias_unfold", &unfold_py, py::arg("vel"), py::arg("az"), py::arg("cos_el"),
          py::arg("nyq"), py::arg("start"), py::arg("wrap"), py::arg("uvw").none(true),
          py::arg("ref").none(true), py::arg("max_step"), py::arg("min_region"),
          py::arg("into").none(true) = py::none(), py::arg("n_threads") = 0,
          "Dealiased velocities and folds moved per gate (regions grown by continuity, "
          "moved by reference votes).");
}

}  // namespace radar
