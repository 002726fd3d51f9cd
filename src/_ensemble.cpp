// _ensemble: random measurement errors and ensemble statistics.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "runtime/binding.hpp"
#include "runtime/values.hpp"
#include "runtime/vector_paths.hpp"

namespace py = pybind11;
using runtime::f32;
using runtime::f64;
using runtime::require;
using runtime::is_finite;
using runtime::nan_value;

namespace {

// ---------------------------------------------------------------------------------------
// Philox4x64-10: a counter-based generator. A block is a pure function of (counter, key),
// so any draw can be computed by any thread in any order without shared state.

constexpr uint64_t philox_m0 = 0xd2e7470ee14c6c93ULL;
constexpr uint64_t philox_m1 = 0xca5a826395121157ULL;
constexpr uint64_t philox_w0 = 0x9e3779b97f4a7c15ULL;
constexpr uint64_t philox_w1 = 0xbb67ae8584caa73bULL;
constexpr int philox_rounds = 10;

// The round keys depend only on the key, so a call derives them once and every block
// of the call reuses them.
struct RoundKeys {
    uint64_t k0[philox_rounds];
    uint64_t k1[philox_rounds];

    RoundKeys(uint64_t key0, uint64_t key1) {
        for (int r = 0; r < philox_rounds; ++r) {
            k0[r] = key0;
            k1[r] = key1;
            key0 += philox_w0;
            key1 += philox_w1;
        }
    }
};

struct Block {
    uint64_t x0, x1, x2, x3;
};

inline Block philox4x64(uint64_t c0, uint64_t c1, uint64_t c2, uint64_t c3,
                        const RoundKeys& key) {
    for (int r = 0; r < philox_rounds; ++r) {
        const unsigned __int128 p0 = static_cast<unsigned __int128>(philox_m0) * c0;
        const unsigned __int128 p1 = static_cast<unsigned __int128>(philox_m1) * c2;
        const uint64_t hi0 = static_cast<uint64_t>(p0 >> 64), lo0 = static_cast<uint64_t>(p0);
        const uint64_t hi1 = static_cast<uint64_t>(p1 >> 64), lo1 = static_cast<uint64_t>(p1);
        c0 = hi1 ^ c1 ^ key.k0[r];
        c1 = lo1;
        c2 = hi0 ^ c3 ^ key.k1[r];
        c3 = lo0;
    }
    return {c0, c1, c2, c3};
}

// Position i of a stream uses counter word i + 1: the all-zero counter is the published
// known-answer input, and keeping it out of every stream keeps the streams apart from it.
inline Block stream_block(uint64_t position, uint64_t member, uint64_t block,
                          const RoundKeys& key) {
    return philox4x64(position + 1, member, block, 0, key);
}

constexpr double two_pow_m53 = 1.1102230246251565e-16;
constexpr double two_pi = 6.283185307179586;

// Top 53 bits plus one: never 0, so the logarithm below stays finite.
inline double uniform_open0(uint64_t w) { return static_cast<double>((w >> 11) + 1) * two_pow_m53; }

inline double uniform_closed0(uint64_t w) { return static_cast<double>(w >> 11) * two_pow_m53; }

struct Pair {
    double cos_dev, sin_dev;
};

// Box-Muller from a radius word and an angle word.
inline Pair normal_pair(uint64_t a, uint64_t b) {
    const double L = std::log(uniform_open0(a)) * -2.0;
    const double r = std::sqrt(L);
    const double theta = uniform_closed0(b) * two_pi;
    double s, c;
    sincos(theta, &s, &c);
    return {r * c, r * s};
}

// Only the cosine deviate, for the velocity error, which has no use for the sine.
inline double normal_cos(uint64_t a, uint64_t b) {
    const double L = std::log(uniform_open0(a)) * -2.0;
    return std::sqrt(L) * std::cos(uniform_closed0(b) * two_pi);
}

py::array_t<uint64_t> words_py(uint64_t k0, uint64_t k1, int64_t member, int64_t block,
                               int64_t n) {
    auto result = runtime::new_array<uint64_t>({n, 4});
    uint64_t* out = result.mutable_data();
    const RoundKeys key(k0, k1);
    const auto c1 = static_cast<uint64_t>(member), c2 = static_cast<uint64_t>(block);
    for (int64_t i = 0; i < n; ++i) {
        const Block x = stream_block(static_cast<uint64_t>(i), c1, c2, key);
        out[4 * i] = x.x0;
        out[4 * i + 1] = x.x1;
        out[4 * i + 2] = x.x2;
        out[4 * i + 3] = x.x3;
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// perturb

constexpr double log_to_db = 4.342944819032518;  // the double nearest 10 / ln 10

enum FieldBit : int32_t { bit_dbz = 1, bit_zdr = 2, bit_phidp = 4, bit_rhohv = 8, bit_vel = 16 };

struct PerturbArgs {
    const double* dbz;
    const double* zdr;
    const double* phidp;
    const double* rhohv;
    const double* vel;
    const double* fac;  // (6, n)
    const double* bias_dbz;
    const double* bias_zdr;
    int32_t flags;
    int64_t n, members, fields;
    uint64_t m0;
    double* out;  // (members, fields, n)
};

// Gates begin .. end-1 of every member. Members run in the outer loop so that each
// member's rows of the result are written in long runs.
void perturb_gates(const PerturbArgs& p, const RoundKeys& key, int64_t begin, int64_t end) {
    const int64_t n = p.n;
    const double *f0 = p.fac, *f1 = p.fac + n, *f2 = p.fac + 2 * n, *f3 = p.fac + 3 * n,
                 *f4 = p.fac + 4 * n, *f5 = p.fac + 5 * n;
    const bool with_vel = (p.flags & bit_vel) != 0;
    for (int64_t j = 0; j < p.members; ++j) {
        const uint64_t member = p.m0 + static_cast<uint64_t>(j);
        const double bias_dbz = p.bias_dbz[j], bias_zdr = p.bias_zdr[j];
        double* slot = p.out + j * p.fields * n;
        for (int64_t g = begin; g < end; ++g) {
            const auto position = static_cast<uint64_t>(g);
            const Block x = stream_block(position, member, 0, key);
            const Pair A = normal_pair(x.x0, x.x1);
            const Pair B = normal_pair(x.x2, x.x3);
            double c = 0.0;
            if (with_vel) {
                const Block y = stream_block(position, member, 1, key);
                c = normal_cos(y.x0, y.x1);
            }
            const double a = A.cos_dev, a_s = A.sin_dev;
            const double e_h = a * f0[g];
            double* o = slot + g;
            if (p.flags & bit_dbz) {
                *o = (bias_dbz + p.dbz[g]) + log_to_db * e_h;
                o += n;
            }
            if (p.flags & bit_zdr) {
                *o = log_to_db * (e_h - (a_s * f2[g] + f1[g] * a)) + (bias_zdr + p.zdr[g]);
                o += n;
            }
            if (p.flags & bit_phidp) {
                *o = B.cos_dev * f3[g] + p.phidp[g];
                o += n;
            }
            if (p.flags & bit_rhohv) {
                const double v = B.sin_dev * f4[g] + p.rhohv[g];
                *o = v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v);
                o += n;
            }
            if (with_vel) *o = c * f5[g] + p.vel[g];
        }
    }
}

py::array_t<double> perturb_py(f64 dbz, f64 zdr, f64 phidp, f64 rhohv, f64 vel, int32_t flags,
                               f64 fac, f64 bias_dbz, f64 bias_zdr, uint64_t k0, uint64_t k1,
                               int64_t m0, int32_t n_threads) {
    require(fac.ndim() == 2 && fac.shape(0) == 6, "fac must be (6, n)");
    require(bias_dbz.size() == bias_zdr.size(), "bias arrays differ in length");
    const int64_t n = fac.shape(1);
    const f64* fields[] = {&dbz, &zdr, &phidp, &rhohv, &vel};
    int64_t F = 0;
    for (int s = 0; s < 5; ++s) {
        if (!(flags & (1 << s))) continue;
        require(fields[s]->size() == n, "a field differs in size from fac");
        ++F;
    }
    const int64_t M = bias_dbz.size();

    auto result = runtime::new_array<double>({M, F, n});
    const PerturbArgs args{dbz.data(),  zdr.data(),      phidp.data(),     rhohv.data(),
                           vel.data(),  fac.data(),      bias_dbz.data(),  bias_zdr.data(),
                           flags,       n,               M,                F,
                           static_cast<uint64_t>(m0),    result.mutable_data()};
    const RoundKeys key(k0, k1);
    {
        runtime::release_gil release;
        if (M > 0 && F > 0)
            runtime::parallel_blocks(n, n_threads, [&](int64_t begin, int64_t end) {
                perturb_gates(args, key, begin, end);
            });
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// statistics

// Percentiles outside [0, 100] (or NaN) would index outside the sorted values, so they
// are refused before any work rather than read out of bounds.
void check_percentiles(const double* p, int64_t count) {
    for (int64_t k = 0; k < count; ++k)
        require(p[k] >= 0.0 && p[k] <= 100.0, "percentiles must be in [0, 100]");
}

// Up to this many kept values a column is sorted by counting ranks: the c*c comparisons
// run without branches on several floats at a time, where a comparison sort of a few
// dozen values spends most of its time on mispredicted branches.
constexpr int64_t rank_sort_limit = 128;

// Writes the c kept values in ascending order into `sorted`. Ties are ranked by position,
// which makes every rank distinct.
void sort_kept(const float* kept, int64_t c, float* sorted) {
    if (c > rank_sort_limit) {
        std::copy(kept, kept + c, sorted);
        std::sort(sorted, sorted + c);
        return;
    }
    for (int64_t i = 0; i < c; ++i) {
        const float v = kept[i];
        int32_t rank = 0;
        for (int64_t k = 0; k < i; ++k) rank += kept[k] <= v;
        for (int64_t k = i + 1; k < c; ++k) rank += kept[k] < v;
        sorted[rank] = v;
    }
}

// Columns begin .. end-1. The kept values stay float32 in the chunk's scratch (`kept`
// and `sorted`, room for one value per member each): widening to double is exact and
// keeps their order, so they are widened where they are read, and the scratch takes
// the room of one double per member.
void column_statistics(const float* values, int64_t members, int64_t n, const double* pcts,
                       int64_t P, int64_t min_valid, int64_t begin, int64_t end,
                       float* kept, float* sorted, double* mean, double* sd, double* pct) {
    for (int64_t j = begin; j < end; ++j) {
        int64_t c = 0;
        for (int64_t i = 0; i < members; ++i) {
            const float v = values[i * n + j];
            if (is_finite(v)) kept[c++] = v;
        }
        if (c == 0 || c < min_valid) {
            mean[j] = sd[j] = nan_value;
            for (int64_t k = 0; k < P; ++k) pct[k * n + j] = nan_value;
            continue;
        }
        // Both sums run in member order, so a column's mean and spread are fixed by its
        // members alone, whatever the sort does.
        double s = 0.0;
        for (int64_t i = 0; i < c; ++i) s += static_cast<double>(kept[i]);
        const double m = s / static_cast<double>(c);
        mean[j] = m;
        if (c == 1) {
            sd[j] = nan_value;
        } else {
            double q = 0.0;
            for (int64_t i = 0; i < c; ++i) {
                const double d = static_cast<double>(kept[i]) - m;
                q += d * d;
            }
            sd[j] = std::sqrt(q / static_cast<double>(c - 1));
        }
        sort_kept(kept, c, sorted);
        for (int64_t k = 0; k < P; ++k) {
            const double w = (pcts[k] / 100.0) * static_cast<double>(c - 1);
            const auto i = static_cast<int64_t>(std::floor(w));
            const double lo = sorted[i], hi = sorted[std::min(i + 1, c - 1)];
            pct[k * n + j] = (hi - lo) * (w - static_cast<double>(i)) + lo;
        }
    }
}

py::tuple statistics_py(f32 values, f64 percentiles, int64_t min_valid, int32_t n_threads) {
    require(values.ndim() == 2, "values must be (members, n)");
    const int64_t P = percentiles.size();
    const double* pcts = percentiles.data();
    check_percentiles(pcts, P);
    const int64_t members = values.shape(0), n = values.shape(1);

    auto mean = runtime::new_array<double>({n});
    auto sd = runtime::new_array<double>({n});
    auto pct = runtime::new_array<double>({P, n});
    const float* v = values.data();
    double *pm = mean.mutable_data(), *ps = sd.mutable_data(), *pp = pct.mutable_data();
    {
        runtime::release_gil release;
        runtime::parallel_blocks(n, n_threads, [&](int64_t begin, int64_t end) {
            std::vector<float> scratch(2 * static_cast<size_t>(members));
            column_statistics(v, members, n, pcts, P, min_valid, begin, end, scratch.data(),
                              scratch.data() + members, pm, ps, pp);
        });
    }
    return py::make_tuple(mean, sd, pct);
}

// ---------------------------------------------------------------------------------------
// mode

constexpr float two_pow_63 = 9223372036854775808.0f;

// The code of a member, or -1 when it does not count: non-finite, truncating below 0,
// or at or beyond n_codes. Magnitudes of 2^63 and more are refused before the
// conversion, which would otherwise be undefined.
inline int64_t member_code(float x, int64_t n_codes) {
    if (!is_finite(x)) return -1;
    if (!(x > -1.0f) || x >= two_pow_63) return -1;
    const auto code = static_cast<int64_t>(x);
    return code < n_codes ? code : -1;
}

// A table of n_codes counters is the fast way to count few codes, but its size is the
// caller's to choose; beyond what the members could fill it is not used, and the codes
// are counted by sorting instead, in scratch sized by the number of members. (The table
// keeps codes and counts in 32 bits; only beyond 2^31 - 1 members, where a code could
// not fit, would the sort take over for that reason alone.)
inline bool use_table(int64_t n_codes, int64_t members) {
    return n_codes <= std::max<int64_t>(members, 256) && n_codes < INT32_MAX &&
           members < INT32_MAX;
}

// The table path works on a chunk of columns at a time. The chunk's members are first
// turned into codes in a small buffer, member row by member row: each row of the chunk
// is one contiguous run of the input that the hardware streams in, where reading a
// column's members directly would touch one cache line a whole row apart per member.
// A member that does not count gets the code -1 and is counted in slot 0 of the table,
// which is never read back, so the counting loop has no branch on the data.
constexpr int64_t mode_chunk_bytes = 16384;  // codes of one chunk: well inside L1
constexpr int64_t mode_lanes = 4;
constexpr int64_t mode_prefetch_rows = 4;

// Columns of a chunk per round of codes: enough for long contiguous runs, few enough
// that the codes stay in the first-level cache whatever the number of members.
inline int64_t mode_chunk_columns(int64_t members) {
    return std::clamp<int64_t>(mode_chunk_bytes / (4 * std::max<int64_t>(members, 1)), 16, 256);
}

// Codes of columns c0 .. c0+w-1 of one member row. A value counts when its truncation
// lies in 0 .. n_codes-1, which for an integer n_codes is the same as -1 < x < n_codes;
// NaN fails both comparisons, and the infinities and magnitudes of 2^63 and more fail
// one of them, so the conversion below only ever sees values that fit. The limit is
// compared as a double: n_codes may not be exactly a float.
[[gnu::always_inline]] inline void member_codes_body(const float* row, int64_t w, double limit,
                                                     int32_t* out) {
    for (int64_t q = 0; q < w; ++q) {
        const double x = row[q];
        const bool counts = x > -1.0 && x < limit;
        out[q] = static_cast<int32_t>(counts ? x : -1.0);
    }
}

KESTRUM_VECTOR_PATHS(member_codes, member_codes_body,
                     (const float* row, int64_t w, double limit, int32_t* out),
                     (row, w, limit, out))

void mode_by_table(const float* values, int64_t members, int64_t n, int64_t n_codes,
                   int64_t min_valid, int64_t begin, int64_t end, int32_t* codes,
                   int32_t* counter, double* mode, double* fraction) {
    const int64_t width = mode_chunk_columns(members);
    const int64_t slots = n_codes + 1;
    const double limit = static_cast<double>(n_codes);
    for (int64_t c0 = begin; c0 < end; c0 += width) {
        const int64_t w = std::min(width, end - c0);
        for (int64_t i = 0; i < members; ++i) {
            // Ask for a later member's run early: the prefetcher follows one run well,
            // but not the start of the next run a whole row away.
            if (i + mode_prefetch_rows < members) {
                const char* ahead =
                    reinterpret_cast<const char*>(values + (i + mode_prefetch_rows) * n + c0);
                for (int64_t b = 0; b < w * 4; b += 64) __builtin_prefetch(ahead + b);
            }
            member_codes(values + i * n + c0, w, limit, codes + i * w);
        }
        // Four columns at a time, each in its own table: a categorical column repeats
        // one code member after member, and with one table each increment would wait
        // for the one before it.
        for (int64_t q0 = 0; q0 < w; q0 += mode_lanes) {
            const int64_t lanes = std::min(mode_lanes, w - q0);
            std::fill(counter, counter + lanes * slots, int32_t{0});
            for (int64_t i = 0; i < members; ++i) {
                const int32_t* code = codes + i * w + q0;
                for (int64_t q = 0; q < lanes; ++q) ++counter[q * slots + code[q] + 1];
            }
            for (int64_t q = 0; q < lanes; ++q) {
                const int64_t j = c0 + q0 + q;
                const int32_t* count = counter + q * slots + 1;
                const int64_t t = members - counter[q * slots];
                if (t == 0 || t < min_valid) {
                    mode[j] = fraction[j] = nan_value;
                    continue;
                }
                int64_t best = 0;
                int32_t top = count[0];
                for (int64_t k = 1; k < n_codes; ++k)
                    if (count[k] > top) {
                        best = k;
                        top = count[k];
                    }
                mode[j] = static_cast<double>(best);
                fraction[j] = static_cast<double>(top) / static_cast<double>(t);
            }
        }
    }
}

// Few codes, the common case of classes such as hydrometeor types, are counted by
// comparing instead: a chunk's members become one-byte codes, and each code keeps a vector
// of per-column counters that a member adds to by one compare and one subtract, S columns
// at a time, with no increment waiting on another. Counters are bytes while at most 255
// members are counted, then widened into 32-bit totals, so any number of members fits.
// The work grows with the number of codes; up to 64 it stays below the table's (in cache,
// 1.2 against 2.0 ns a member and column at 32 codes, 2.2 against about 2.4 at 64).
constexpr int64_t mode_compare_codes = 64;
constexpr int64_t mode_byte_round = 255;
constexpr int64_t mode_compare_group = 8;  // codes whose counters stay in registers
constexpr int64_t mode_compare_width = 256;

inline bool use_compare(int64_t n_codes, int64_t members) {
    return n_codes <= mode_compare_codes && members < INT32_MAX;
}

// Columns of a chunk: the one-byte codes of all members in 16 KiB, in whole 64-column
// runs (a multiple of every vector width).
inline int64_t mode_compare_columns(int64_t members) {
    const int64_t fit = mode_chunk_bytes / std::max<int64_t>(members, 1);
    return std::clamp<int64_t>(fit / 64 * 64, 64, mode_compare_width);
}

template <int S>
struct Lanes {
    typedef uint8_t u8 __attribute__((vector_size(S)));
    typedef uint16_t u16 __attribute__((vector_size(2 * S)));
    typedef int32_t i32 __attribute__((vector_size(4 * S)));
};

// Adds to totals[k] (one vector of S counters per code) the members of one run of S
// columns equal to codes k0 .. k0+G-1.
template <int S, int G>
[[gnu::always_inline]] inline void count_codes(const uint8_t* codes, int64_t stride,
                                               int64_t members, int64_t k0,
                                               typename Lanes<S>::i32* totals) {
    using u8 = typename Lanes<S>::u8;
    using u16 = typename Lanes<S>::u16;
    using i32 = typename Lanes<S>::i32;
    for (int64_t r0 = 0; r0 < members; r0 += mode_byte_round) {
        const int64_t r1 = std::min(members, r0 + mode_byte_round);
        u8 count[G] = {};  // at most mode_byte_round each: never wraps
        for (int64_t i = r0; i < r1; ++i) {
            u8 x;
            __builtin_memcpy(&x, codes + i * stride, S);
            for (int g = 0; g < G; ++g) count[g] -= (u8)(x == static_cast<uint8_t>(k0 + g));
        }
        // Widened through 16 bits, which the compilers turn into a few unpacks.
        for (int g = 0; g < G; ++g)
            totals[k0 + g] += __builtin_convertvector(__builtin_convertvector(count[g], u16), i32);
    }
}

// One chunk per call: the members' codes (255, never a code, where a member does not
// count, and in the columns past w that fill the last run), then per run of S columns
// the counts of every code and the arg-max, ties to the lowest code as in the table.
template <int S>
[[gnu::always_inline]] inline void mode_compare_body(
    const float* values, int64_t members, int64_t n, int64_t n_codes, int64_t min_valid,
    int64_t c0, int64_t w, uint8_t* codes, double* mode, double* fraction) {
    using i32 = typename Lanes<S>::i32;
    // Whole groups: a group's codes past n_codes are counted too (never found).
    i32 totals[(mode_compare_codes + mode_compare_group - 1) / mode_compare_group *
               mode_compare_group];
    const int64_t stride = (w + S - 1) / S * S;
    // n_codes is at most mode_compare_codes here, so exact as a float, and the float
    // compares give what the double ones of the table do.
    const float limit = static_cast<float>(n_codes);
    for (int64_t i = 0; i < members; ++i) {
        if (i + mode_prefetch_rows < members) {
            const char* ahead =
                reinterpret_cast<const char*>(values + (i + mode_prefetch_rows) * n + c0);
            for (int64_t b = 0; b < w * 4; b += 64) __builtin_prefetch(ahead + b);
        }
        const float* row = values + i * n + c0;
        uint8_t* out = codes + i * stride;
        for (int64_t q = 0; q < w; ++q) {
            const float x = row[q];
            const bool counts = x > -1.0f && x < limit;
            out[q] = static_cast<uint8_t>(static_cast<int32_t>(counts ? x : -1.0f));
        }
        for (int64_t q = w; q < stride; ++q) out[q] = 255;
    }
    const int64_t groups = (n_codes + mode_compare_group - 1) / mode_compare_group;
    for (int64_t s0 = 0; s0 < w; s0 += S) {
        for (int64_t k = 0; k < groups * mode_compare_group; ++k) totals[k] = i32{};
        for (int64_t k0 = 0; k0 < n_codes; k0 += mode_compare_group) {
            if (n_codes - k0 > mode_compare_group / 2)
                count_codes<S, mode_compare_group>(codes + s0, stride, members, k0, totals);
            else
                count_codes<S, mode_compare_group / 2>(codes + s0, stride, members, k0, totals);
        }
        i32 best = {}, top = totals[0], t = totals[0];
        for (int64_t k = 1; k < n_codes; ++k) {
            const i32 c = totals[k];
            const auto more = c > top;
            best = more ? i32{} + static_cast<int32_t>(k) : best;
            top = more ? c : top;
            t += c;
        }
        const int64_t lanes = std::min<int64_t>(S, w - s0);
        for (int64_t q = 0; q < lanes; ++q) {
            const int64_t j = c0 + s0 + q;
            if (t[q] == 0 || t[q] < min_valid) {
                mode[j] = fraction[j] = nan_value;
                continue;
            }
            mode[j] = static_cast<double>(best[q]);
            fraction[j] = static_cast<double>(top[q]) / static_cast<double>(t[q]);
        }
    }
}

// The chunk body for each path, with the widest run of columns it counts at once. The
// AVX-512 path counts 32 columns too: byte compares on 64-byte vectors need AVX-512BW,
// beyond the AVX-512F the path is built for.
#define KESTRUM_MODE_COMPARE_PARAMS                                                      \
    (const float* values, int64_t members, int64_t n, int64_t n_codes, int64_t min_valid, \
     int64_t c0, int64_t w, uint8_t* codes, double* mode, double* fraction)
#define KESTRUM_MODE_COMPARE_CALL(S) \
    mode_compare_body<S>(values, members, n, n_codes, min_valid, c0, w, codes, mode, fraction)
void mode_compare_baseline KESTRUM_MODE_COMPARE_PARAMS { KESTRUM_MODE_COMPARE_CALL(16); }
KESTRUM_TARGET_AVX2 void mode_compare_avx2 KESTRUM_MODE_COMPARE_PARAMS {
    KESTRUM_MODE_COMPARE_CALL(32);
}
KESTRUM_TARGET_AVX512 void mode_compare_avx512 KESTRUM_MODE_COMPARE_PARAMS {
    KESTRUM_MODE_COMPARE_CALL(32);
}
#undef KESTRUM_MODE_COMPARE_PARAMS
#undef KESTRUM_MODE_COMPARE_CALL

void mode_by_compare(const float* values, int64_t members, int64_t n, int64_t n_codes,
                     int64_t min_valid, int64_t begin, int64_t end, uint8_t* codes,
                     double* mode, double* fraction) {
    const int64_t width = mode_compare_columns(members);
    const auto path = vector_paths::chosen();
    for (int64_t c0 = begin; c0 < end; c0 += width) {
        const int64_t w = std::min(width, end - c0);
        switch (path) {
            case vector_paths::avx512:
                mode_compare_avx512(values, members, n, n_codes, min_valid, c0, w, codes, mode,
                                    fraction);
                break;
            case vector_paths::avx2:
                mode_compare_avx2(values, members, n, n_codes, min_valid, c0, w, codes, mode,
                                  fraction);
                break;
            default:
                mode_compare_baseline(values, members, n, n_codes, min_valid, c0, w, codes, mode,
                                      fraction);
        }
    }
}

// The same counts as the table: in ascending order, the first longest run is the
// lowest of the most frequent codes.
void mode_by_sort(const float* values, int64_t members, int64_t n, int64_t n_codes,
                  int64_t min_valid, int64_t begin, int64_t end, int64_t* codes,
                  double* mode, double* fraction) {
    for (int64_t j = begin; j < end; ++j) {
        int64_t t = 0;
        for (int64_t i = 0; i < members; ++i) {
            const int64_t code = member_code(values[i * n + j], n_codes);
            if (code >= 0) codes[t++] = code;
        }
        if (t == 0 || t < min_valid) {
            mode[j] = fraction[j] = nan_value;
            continue;
        }
        std::sort(codes, codes + t);
        int64_t best = codes[0], top = 0;
        for (int64_t run = 0; run < t;) {
            int64_t next = run + 1;
            while (next < t && codes[next] == codes[run]) ++next;
            if (next - run > top) {
                best = codes[run];
                top = next - run;
            }
            run = next;
        }
        mode[j] = static_cast<double>(best);
        fraction[j] = static_cast<double>(top) / static_cast<double>(t);
    }
}

py::tuple mode_py(f32 values, int64_t n_codes, int64_t min_valid, int32_t n_threads) {
    require(values.ndim() == 2, "values must be (members, n)");
    require(n_codes > 0, "n_codes must be positive");
    const int64_t members = values.shape(0), n = values.shape(1);

    auto mode = runtime::new_array<double>({n});
    auto fraction = runtime::new_array<double>({n});
    const float* v = values.data();
    double *pm = mode.mutable_data(), *pf = fraction.mutable_data();
    const bool compare = use_compare(n_codes, members);
    const bool table = use_table(n_codes, members);
    {
        runtime::release_gil release;
        runtime::parallel_blocks(n, n_threads, [&](int64_t begin, int64_t end) {
            if (compare) {
                const int64_t width = mode_compare_columns(members);
                std::vector<uint8_t> codes(static_cast<size_t>(width * members));
                mode_by_compare(v, members, n, n_codes, min_valid, begin, end, codes.data(),
                                pm, pf);
                return;
            }
            if (table) {
                const int64_t width = mode_chunk_columns(members);
                std::vector<int32_t> codes(static_cast<size_t>(width * members));
                std::vector<int32_t> counter(static_cast<size_t>(mode_lanes * (n_codes + 1)));
                mode_by_table(v, members, n, n_codes, min_valid, begin, end, codes.data(),
                              counter.data(), pm, pf);
                return;
            }
            std::vector<int64_t> scratch(static_cast<size_t>(members));
            mode_by_sort(v, members, n, n_codes, min_valid, begin, end, scratch.data(), pm, pf);
        });
    }
    return py::make_tuple(mode, fraction);
}

}  // namespace

PYBIND11_MODULE(_ensemble, m) {
    m.doc() = "Random measurement errors and ensemble statistics";
    m.def("perturb", &perturb_py, py::arg("dbz"), py::arg("zdr"), py::arg("phidp"),
          py::arg("rhohv"), py::arg("vel"), py::arg("flags"), py::arg("fac"),
          py::arg("bias_dbz"), py::arg("bias_zdr"), py::arg("k0"), py::arg("k1"),
          py::arg("m0"), py::arg("n_threads") = 0);
    m.def("statistics", &statistics_py, py::arg("values"), py::arg("percentiles"),
          py::arg("min_valid"), py::arg("n_threads") = 0);
    m.def("mode", &mode_py, py::arg("values"), py::arg("n_codes"), py::arg("min_valid"),
          py::arg("n_threads") = 0);
    m.def("words", &words_py, py::arg("k0"), py::arg("k1"), py::arg("member"),
          py::arg("block"), py::arg("n"));
}
