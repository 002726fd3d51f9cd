// _tavolin: threaded text formatter of the WRFDA and DART observation writers.
//
// Both writers append fixed-width, right-aligned fields to one string per block of
// records and let the block runner join the blocks in order. Numbers are rendered with
// std::to_chars, which gives the digits and rounding of the C conversions "%.16E" and
// "%.*f" without consulting the process locale, so the decimal separator stays '.'
// even in a host that has set a comma locale.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/binding.hpp"

namespace py = pybind11;
using runtime::f64;
using runtime::i64;
using runtime::require;

namespace {

// ---------------------------------------------------------------------------------------
// Block text: a growable byte buffer that the field helpers write into in place, with
// no per-append bookkeeping beyond one capacity check per field. Each block's text sits
// on its own cache line: the write position changes with every field, and neighbouring
// blocks are written by different threads.
class alignas(64) Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    Text(Text&& other) noexcept { swap(other); }
    Text& operator=(Text&& other) noexcept {
        Text(std::move(other)).swap(*this);
        return *this;
    }
    ~Text() { std::free(begin_); }

    void swap(Text& other) noexcept {
        std::swap(begin_, other.begin_);
        std::swap(cur_, other.cur_);
        std::swap(end_, other.end_);
    }

    const char* data() const { return begin_; }
    size_t size() const { return static_cast<size_t>(cur_ - begin_); }

    void reserve(size_t capacity) {
        if (capacity > static_cast<size_t>(end_ - begin_)) reallocate(capacity);
    }

    // At least n writable bytes at the end; the caller writes them, then calls advance.
    char* room(size_t n) {
        if (static_cast<size_t>(end_ - cur_) < n) reallocate(2 * size() + n);
        return cur_;
    }
    void advance(size_t n) { cur_ += n; }
    void clear() { cur_ = begin_; }

    void append(const char* s, size_t n) {
        std::memcpy(room(n), s, n);
        cur_ += n;
    }

private:
    void reallocate(size_t capacity) {
        char* fresh = static_cast<char*>(std::malloc(capacity));
        if (fresh == nullptr) throw std::bad_alloc();
        const size_t used = size();
        if (used != 0) std::memcpy(fresh, begin_, used);
        std::free(begin_);
        begin_ = fresh;
        cur_ = fresh + used;
        end_ = fresh + capacity;
    }

    char* begin_ = nullptr;
    char* cur_ = nullptr;
    char* end_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// Field helpers. Each renders one number right-aligned in its width: blanks in front when
// the text is shorter, the whole text when it is as wide or wider (an over-wide value
// shifts the rest of its line; nothing is cut). They allocate nothing of their own: the
// writers reserve the block text, and the fast paths write the digits straight into it.

constexpr char blanks[32] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                             ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                             ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

// Room for a field of `n` characters in `width`; returns where the characters go. Widths
// are at most 25, so one fixed 32-byte store lays down every blank the field needs.
inline char* field(Text& text, size_t n, int width) {
    const size_t w = std::max(n, static_cast<size_t>(width));
    char* p = text.room(std::max(w, sizeof blanks));
    std::memcpy(p, blanks, sizeof blanks);
    text.advance(w);
    return p + (w - n);
}

inline void put_text(Text& text, const char* s, size_t n, int width) {
    std::memcpy(field(text, n, width), s, n);
}

template <size_t N>
inline void put_lit(Text& text, const char (&s)[N]) {
    text.append(s, N - 1);
}

// NaN and infinity are spelled as the C library spells them, sign of a NaN included
// (glibc writes "-nan" for a NaN whose sign bit is set); to_chars is not relied on here.
inline void put_special(Text& text, double value, int width, bool upper) {
    static constexpr const char* names[2][4] = {{"nan", "-nan", "inf", "-inf"},
                                                {"NAN", "-NAN", "INF", "-INF"}};
    const int which = (std::isnan(value) ? 0 : 2) + (std::signbit(value) ? 1 : 0);
    const char* s = names[upper ? 1 : 0][which];
    put_text(text, s, std::strlen(s), width);
}

// Exact decimal scaling for the common ranges. A finite double is m * 2^q with an
// integer m < 2^53; m * 10^k is exact in 128 bits for k <= 22, and shifting it right by
// -q with the dropped bits deciding the rounding (ties to even) gives round(|v| * 10^k)
// from the exact binary value, which is what the C conversions print. Values outside
// these ranges go to std::to_chars, which is exact everywhere but several times slower.
using u128 = unsigned __int128;

constexpr uint64_t pow10_u64[20] = {1ull,
                                    10ull,
                                    100ull,
                                    1000ull,
                                    10000ull,
                                    100000ull,
                                    1000000ull,
                                    10000000ull,
                                    100000000ull,
                                    1000000000ull,
                                    10000000000ull,
                                    100000000000ull,
                                    1000000000000ull,
                                    10000000000000ull,
                                    100000000000000ull,
                                    1000000000000000ull,
                                    10000000000000000ull,
                                    100000000000000000ull,
                                    1000000000000000000ull,
                                    10000000000000000000ull};

inline u128 pow10_u128(int k) {
    return k < 20 ? u128{pow10_u64[k]} : u128{pow10_u64[19]} * pow10_u64[k - 19];
}

// round(|v| * 10^k) for a finite nonzero v and 0 <= k <= 22, provided the result fits
// 64 bits (the callers bound |v| accordingly).
inline uint64_t scaled_round(double v, int k) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    uint64_t m = bits & ((uint64_t{1} << 52) - 1);
    int q = -1074;
    if (biased != 0) {
        m |= uint64_t{1} << 52;
        q = biased - 1075;
    }
    const u128 p = u128{m} * pow10_u128(k);
    if (q >= 0) return static_cast<uint64_t>(p << q);
    const int s = -q;
    // m * 10^22 < 2^127, so beyond 127 dropped bits the value is below one half.
    if (s >= 128) return 0;
    const uint64_t n = static_cast<uint64_t>(p >> s);
    const u128 rest = p & ((u128{1} << s) - 1);
    const u128 half = u128{1} << (s - 1);
    return n + ((rest > half || (rest == half && (n & 1))) ? 1 : 0);
}

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes exactly `count` (at most 9) decimal digits of x, leading zeros kept.
inline void write_digits32(char* out, uint32_t x, int count) {
    int i = count;
    while (i >= 2) {
        const uint32_t r = x % 100;
        x /= 100;
        i -= 2;
        std::memcpy(out + i, digit_pairs + 2 * r, 2);
    }
    if (i == 1) out[0] = static_cast<char>('0' + x);
}

// Writes exactly `count` decimal digits of x, leading zeros kept.
inline void write_digits(char* out, uint64_t x, int count) {
    while (count > 9) {
        write_digits32(out + count - 8, static_cast<uint32_t>(x % 100000000u), 8);
        x /= 100000000u;
        count -= 8;
    }
    write_digits32(out, static_cast<uint32_t>(x), count);
}

inline int digit_count(uint64_t x) {
    int n = 1;
    while (n < 20 && x >= pow10_u64[n]) ++n;
    return n;
}

// "%.16E": one digit, point, 16 digits, E, exponent sign, two or three exponent digits.
inline void put_e(Text& text, double value, int width) {
    if (!std::isfinite(value)) return put_special(text, value, width, true);
    const double a = std::fabs(value);
    const bool negative = std::signbit(value);
    // Fast path for 2^-19 <= |v| < 1e16 (decimal exponents -6 to 15, so at most 22
    // digits of scaling) and for zero; the exponent then always has two digits.
    if (a == 0.0 || (a >= 0x1p-19 && a < 1e16)) {
        int e10 = 0;
        uint64_t n = 0;
        if (a != 0.0) {
            // floor(e2 * log10 2) for the binary exponent e2 of |v|: 10^e10 <= |v|, and
            // the true decimal exponent is e10 or e10 + 1.
            const int e2 = static_cast<int>(std::bit_cast<uint64_t>(a) >> 52) - 1023;
            e10 = (e2 * 78913) >> 18;
            n = scaled_round(a, 16 - e10);
            if (n >= pow10_u64[17]) {
                ++e10;
                n = scaled_round(a, 16 - e10);
            }
        }
        char* p = field(text, negative ? 23 : 22, width);
        if (negative) *p++ = '-';
        write_digits(p + 1, n, 17);
        p[0] = p[1];
        p[1] = '.';
        p[18] = 'E';
        p[19] = e10 < 0 ? '-' : '+';
        write_digits32(p + 20, static_cast<uint32_t>(e10 < 0 ? -e10 : e10), 2);
        return;
    }
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 16);
    char* e = static_cast<char*>(std::memchr(buf, 'e', static_cast<size_t>(r.ptr - buf)));
    *e = 'E';
    put_text(text, buf, static_cast<size_t>(r.ptr - buf), width);
}

// "%.*f": the fixed form of the largest double at precision 3 has 314 characters. The
// precision is a template argument so that splitting off the fraction divides by a
// constant; the writers use precisions 1 and 3 only.
template <int precision>
inline void put_f(Text& text, double value, int width) {
    static_assert(precision >= 0 && precision <= 4);
    if (!std::isfinite(value)) return put_special(text, value, width, false);
    const double a = std::fabs(value);
    // Fast path: |v| * 10^precision < 10^19 fits the 64-bit rounding.
    if (a < 1e15) {
        constexpr uint64_t unit = pow10_u64[precision];
        const bool negative = std::signbit(value);
        const uint64_t n = a == 0.0 ? 0 : scaled_round(a, precision);
        const uint64_t whole = n / unit;
        const int digits = digit_count(whole);
        const size_t length =
            static_cast<size_t>(negative + digits + (precision > 0 ? 1 + precision : 0));
        char* p = field(text, length, width);
        if (negative) *p++ = '-';
        write_digits(p, whole, digits);
        if constexpr (precision > 0) {
            p[digits] = '.';
            write_digits32(p + digits + 1, static_cast<uint32_t>(n % unit), precision);
        }
        return;
    }
    char buf[400];
    const auto r =
        std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, precision);
    put_text(text, buf, static_cast<size_t>(r.ptr - buf), width);
}

// Shortest decimal form of an integer (optional minus, digits without leading zeros),
// from the standard library's two-digits-at-a-time conversion. The rendering is copied
// as a fixed 20 bytes (the longest 64-bit integer) so the copy needs no library call;
// the bytes past the field lie beyond the end of the text and are overwritten later.
template <class Int>
inline void put_i(Text& text, Int value, int width) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    const auto n = static_cast<size_t>(r.ptr - buf);
    text.room(64);
    std::memcpy(field(text, n, width), buf, 20);
}

// Each array must hold at least as many elements as its first dimension promises: a
// shape such as (k, 0) passes the length checks with no data behind it.
template <class A>
bool holds_rows(const A& a) {
    return a.size() >= a.shape(0);
}

// ---------------------------------------------------------------------------------------
// WRFDA radar observation text

struct WrfdaInput {
    const double *centres, *lat, *lon, *elv, *rv, *rv_err, *rf, *rf_err;
    const int64_t *rv_qc, *rf_qc;
    int64_t levels;
    std::string_view stamp;
};

// Every column repeats the same level heights, so each level line's opening (three
// blanks and the height field) is rendered once per call and copied thereafter.
struct WrfdaHeads {
    Text text;
    std::vector<size_t> end;  // end of level k's opening in `text`

    explicit WrfdaHeads(const WrfdaInput& in) : end(static_cast<size_t>(in.levels)) {
        for (int64_t k = 0; k < in.levels; ++k) {
            put_lit(text, "   ");
            put_f<1>(text, in.centres[k], 12);
            end[static_cast<size_t>(k)] = text.size();
        }
    }
};

// The length of a column's text when no field is wider than its width: the station line
// (81 bytes with a stamp of up to 19 and up to 999,999 levels) and per level its opening
// and 61 bytes of fields.
size_t wrfda_column_bytes(const WrfdaInput& in, const WrfdaHeads& heads) {
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, in.levels);
    const size_t level_field = std::max<size_t>(6, static_cast<size_t>(r.ptr - digits));
    const size_t station = 15 + std::max<size_t>(19, in.stamp.size()) + 2 + 12 + 2 + 12 + 2 +
                           8 + 2 + level_field + 1;
    return station + heads.text.size() + static_cast<size_t>(in.levels) * 61;
}

// One station line and its level lines per column, columns begin .. end-1.
void wrfda_columns(const WrfdaInput& in, const WrfdaHeads& heads, int64_t begin, int64_t end,
                   Text& text) {
    const int64_t L = in.levels;
    for (int64_t c = begin; c < end; ++c) {
        put_lit(text, "FM-128 RADAR   ");
        text.append(in.stamp.data(), in.stamp.size());
        if (in.stamp.size() < 19) text.append(blanks, 19 - in.stamp.size());
        put_lit(text, "  ");
        put_f<3>(text, in.lat[c], 12);
        put_lit(text, "  ");
        put_f<3>(text, in.lon[c], 12);
        put_lit(text, "  ");
        put_f<1>(text, in.elv[c], 8);
        put_lit(text, "  ");
        put_i(text, L, 6);
        put_lit(text, "\n");
        const int64_t row = c * L;
        for (int64_t k = 0, head = 0; k < L; ++k) {
            const size_t next = heads.end[static_cast<size_t>(k)];
            text.append(heads.text.data() + head, next - head);
            head = static_cast<int64_t>(next);
            put_f<3>(text, in.rv[row + k], 12);
            put_i(text, in.rv_qc[row + k], 4);
            put_f<3>(text, in.rv_err[row + k], 12);
            put_lit(text, "  ");
            put_f<3>(text, in.rf[row + k], 12);
            put_i(text, in.rf_qc[row + k], 4);
            put_f<3>(text, in.rf_err[row + k], 12);
            put_lit(text, "  \n");
        }
    }
}

py::bytes format_wrfda(const f64& centres, const f64& col_lat, const f64& col_lon,
                       const f64& col_elv, const f64& rv, const i64<"rv_qc">& rv_qc,
                       const f64& rv_err, const f64& rf, const i64<"rf_qc">& rf_qc,
                       const f64& rf_err,
                       const std::string& stamp, int32_t n_threads) {
    const int64_t levels = runtime::rows(centres);
    const int64_t columns = runtime::rows(col_lat);
    auto level_shape = [&](const py::array& a) {
        require(a.ndim() == 2 && a.shape(0) == columns && a.shape(1) == levels,
                "level arrays must be (columns, levels)");
    };
    level_shape(rv);
    level_shape(rv_err);
    level_shape(rf);
    level_shape(rf_err);
    level_shape(rv_qc);
    level_shape(rf_qc);
    require(runtime::rows(col_lon) == columns && runtime::rows(col_elv) == columns,
            "column arrays must have the same length");
    require(holds_rows(centres) && holds_rows(col_lat) && holds_rows(col_lon) &&
                holds_rows(col_elv),
            "an array has fewer elements than its first dimension");

    const WrfdaInput in{centres.data(), col_lat.data(), col_lon.data(), col_elv.data(),
                        rv.data(),      rv_err.data(),  rf.data(),      rf_err.data(),
                        rv_qc.data(),   rf_qc.data(),   levels,         stamp};
    const WrfdaHeads heads(in);
    const size_t column_bytes = wrfda_column_bytes(in, heads);
    // Pieces of about 64 KB: small enough to stay in the thread's cache.
    const int64_t piece = std::max<int64_t>(1, static_cast<int64_t>(65536 / column_bytes));
    return runtime::run_blocks<Text>(
        columns, piece, n_threads,
        [&](int64_t begin, int64_t end) { return static_cast<size_t>(end - begin) * column_bytes; },
        [&](int64_t begin, int64_t end, Text& text) { wrfda_columns(in, heads, begin, end, text); });
}

// ---------------------------------------------------------------------------------------
// DART observation-sequence text

struct DartInput {
    const int64_t *kind, *days, *secs, *velkey;
    const double *value, *variance, *lon, *lat, *height;
    const double *radar_lon, *radar_lat, *radar_height, *beam, *nyquist;
    int64_t n;
    int64_t vertical;
};

// The kind is written counted from 1. For a non-negative index the sum is formed as an
// unsigned number, so the largest int64 index gives 2^63 instead of overflowing.
inline void put_kind(Text& text, int64_t kind) {
    if (kind >= 0)
        put_i(text, static_cast<uint64_t>(kind) + 1u, 12);
    else
        put_i(text, kind + 1, 12);
}

// The line after "loc3d": three coordinates and the vertical-coordinate code, used for
// the observation's location and for the radar's.
inline void put_location(Text& text, double x, double y, double z, int64_t vertical) {
    put_lit(text, " ");
    put_e(text, x, 25);
    put_lit(text, " ");
    put_e(text, y, 25);
    put_lit(text, " ");
    put_e(text, z, 25);
    put_lit(text, " ");
    put_i(text, vertical, 2);
    put_lit(text, "\n");
}

// Records begin .. end-1; numbers and links come from the global index, so the chain
// runs on unbroken across block boundaries.
void dart_records(const DartInput& in, int64_t begin, int64_t end, Text& text) {
    for (int64_t i = begin; i < end; ++i) {
        put_lit(text, " OBS ");
        put_i(text, i + 1, 12);
        put_lit(text, "\n");
        put_e(text, in.value[i], 25);
        put_lit(text, "\n           0\n");
        put_i(text, i == 0 ? int64_t{-1} : i, 12);
        put_i(text, i == in.n - 1 ? int64_t{-1} : i + 2, 12);
        put_lit(text, "          -1\nobdef\nloc3d\n");
        put_location(text, in.lon[i], in.lat[i], in.height[i], in.vertical);
        put_lit(text, "kind\n");
        put_kind(text, in.kind[i]);
        put_lit(text, "\n");
        if (in.kind[i] == 0) {
            put_lit(text, "platform\nloc3d\n");
            put_location(text, in.radar_lon[i], in.radar_lat[i], in.radar_height[i],
                         in.vertical);
            put_lit(text, "dir3d\n ");
            put_e(text, in.beam[3 * i], 25);
            put_lit(text, " ");
            put_e(text, in.beam[3 * i + 1], 25);
            put_lit(text, " ");
            put_e(text, in.beam[3 * i + 2], 25);
            put_lit(text, "\n ");
            put_e(text, in.nyquist[i], 25);
            put_lit(text, "\n");
            put_i(text, in.velkey[i], 12);
            put_lit(text, "\n");
        }
        put_i(text, in.secs[i], 6);
        put_lit(text, " ");
        put_i(text, in.days[i], 10);
        put_lit(text, "\n");
        put_e(text, in.variance[i], 25);
        put_lit(text, "\n");
    }
}

py::bytes format_dart(const i64<"kind">& kind, const f64& value, const f64& variance,
                      const f64& lon, const f64& lat, const f64& height,
                      const i64<"days">& days, const i64<"secs">& secs,
                      const f64& radar_lon, const f64& radar_lat, const f64& radar_height,
                      const f64& beam, const f64& nyquist, const i64<"velkey">& velkey,
                      int32_t vertical, int32_t n_threads) {
    // Every first dimension is read before any is compared, so a 0-dimensional array
    // anywhere raises the index error first.
    const int64_t lengths[] = {
        runtime::rows(kind),      runtime::rows(value),     runtime::rows(variance),
        runtime::rows(lon),       runtime::rows(lat),       runtime::rows(height),
        runtime::rows(days),      runtime::rows(secs),      runtime::rows(radar_lon),
        runtime::rows(radar_lat), runtime::rows(radar_height), runtime::rows(beam),
        runtime::rows(nyquist),   runtime::rows(velkey)};
    const int64_t n = lengths[0];
    for (const int64_t length : lengths)
        require(length == n, "all record arrays must have the same length");
    require(beam.ndim() == 2 && beam.shape(1) == 3, "beam must be (n, 3)");
    require(holds_rows(kind) && holds_rows(value) && holds_rows(variance) &&
                holds_rows(lon) && holds_rows(lat) && holds_rows(height) &&
                holds_rows(days) && holds_rows(secs) && holds_rows(radar_lon) &&
                holds_rows(radar_lat) && holds_rows(radar_height) && holds_rows(nyquist) &&
                holds_rows(velkey),
            "an array has fewer elements than its first dimension");

    const DartInput in{kind.data(),      days.data(),      secs.data(),
                       velkey.data(),    value.data(),     variance.data(),
                       lon.data(),       lat.data(),       height.data(),
                       radar_lon.data(), radar_lat.data(), radar_height.data(),
                       beam.data(),      nyquist.data(),   n,
                       vertical};
    // With no number wider than its field, a record is 250 bytes, and a radial-velocity
    // record (kind 0, with the radar's block) 222 more; only integers beyond 12 digits and
    // a vertical code beyond 2 can be wider.
    auto nominal = [&](int64_t begin, int64_t end) {
        size_t bytes = static_cast<size_t>(end - begin) * 250;
        for (int64_t i = begin; i < end; ++i) bytes += in.kind[i] == 0 ? 222 : 0;
        return bytes;
    };
    return runtime::run_blocks<Text>(n, 128, n_threads, nominal,
                                     [&](int64_t begin, int64_t end, Text& text) {
        dart_records(in, begin, end, text);
    });
}

}  // namespace

PYBIND11_MODULE(_tavolin, m) {
    m.doc() = "Threaded text formatter of the WRFDA and DART observation writers";
    m.def("format_dart", &format_dart, py::arg("kind"), py::arg("value"), py::arg("variance"),
          py::arg("lon"), py::arg("lat"), py::arg("height"), py::arg("days"), py::arg("secs"),
          py::arg("radar_lon"), py::arg("radar_lat"), py::arg("radar_height"),
          py::arg("beam"), py::arg("nyquist"), py::arg("velkey"), py::arg("vertical"),
          py::arg("n_threads") = 0);
    m.def("format_wrfda", &format_wrfda, py::arg("centres"), py::arg("col_lat"),
          py::arg("col_lon"), py::arg("col_elv"), py::arg("rv"), py::arg("rv_qc"),
          py::arg("rv_err"), py::arg("rf"), py::arg("rf_qc"), py::arg("rf_err"),
          py::arg("stamp"), py::arg("n_threads") = 0);
}
