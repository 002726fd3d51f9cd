// Drives the block runner directly, so its hand-out, ordering and failure handling
// can be checked without going through a module. Prints what it observed.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/blocks.hpp"

namespace {

int64_t arg(char** argv, int i) { return std::strtoll(argv[i], nullptr, 10); }

// Counts calls per item and the distinct threads that made them.
struct Tally {
    std::vector<std::atomic<int>> calls;
    std::mutex mutex;
    std::set<std::thread::id> threads;

    explicit Tally(int64_t n) : calls(n > 0 ? n : 0) {}
    void seen() {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
    }
    void print() {
        int lo = 1 << 30, hi = 0;
        for (auto& c : calls) lo = std::min(lo, c.load()), hi = std::max(hi, c.load());
        if (calls.empty()) lo = 0;
        std::printf("calls %d %d threads %zu\n", lo, hi, threads.size());
    }
};

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "team" && argc == 4) {  // team BLOCKS N_THREADS
        std::printf("%lld\n", (long long)runtime::team_size(arg(argv, 2), (int32_t)arg(argv, 3)));
    } else if (what == "items" && argc == 5) {  // items N BLOCK N_THREADS
        const int64_t n = arg(argv, 2);
        Tally tally(n);
        runtime::parallel_blocks(n, arg(argv, 3), (int32_t)arg(argv, 4), [&](int64_t i) {
            tally.calls[i]++;
            tally.seen();
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        });
        tally.print();
    } else if (what == "ranges" && argc == 4) {  // ranges N N_THREADS
        std::mutex mutex;
        std::set<std::pair<int64_t, int64_t>> ranges;
        runtime::parallel_blocks(arg(argv, 2), (int32_t)arg(argv, 3), [&](int64_t b, int64_t e) {
            std::lock_guard<std::mutex> lock(mutex);
            ranges.insert({b, e});
        });
        for (auto [b, e] : ranges) std::printf("%lld %lld\n", (long long)b, (long long)e);
    } else if (what == "throw" && argc == 5) {  // throw N N_THREADS ITEM
        const int64_t n = arg(argv, 2), bad = arg(argv, 4);
        std::atomic<int64_t> done{0};
        try {
            runtime::parallel_blocks(n, 64, (int32_t)arg(argv, 3), [&](int64_t i) {
                if (i == bad) throw std::length_error("item " + std::to_string(i));
                std::this_thread::sleep_for(std::chrono::microseconds(20));
                done++;
            });
            std::printf("no exception\n");
        } catch (const std::length_error& e) {
            // Blocks are handed out no further once a body has thrown.
            std::printf("caught %s; %s\n", e.what(), done.load() < n - 1 ? "stopped early" : "ran all");
        }
    } else {
        std::fprintf(stderr, "unknown scenario\n");
        return 2;
    }
    return 0;
}
