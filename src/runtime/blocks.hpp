// Block runner: spreads a loop over independent items across worker threads.
//
// The index range 0 .. n-1 is cut into blocks of a fixed size. Every thread, the
// calling one included, claims the next block from one shared atomic counter until
// none is left, so a thread that finishes early takes further blocks. Threads are
// created per call and joined before the call returns; there is no pool.
//
// Nothing here touches Python: the bindings release the interpreter lock around a run.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace runtime {

// Number of threads for a run of `blocks` blocks, the calling thread included.
// A request of 0 or less means the hardware concurrency (1 when that is unknown).
// A result of 1 or less means no thread is started.
inline int64_t team_size(int64_t blocks, int32_t n_threads) {
    int64_t request = n_threads;
    if (request < 1) {
        const unsigned hw = std::thread::hardware_concurrency();
        request = hw == 0 ? 1 : static_cast<int64_t>(hw);
    }
    return std::min(request, blocks);
}

// The first exception thrown on any thread of a run, and the flag that tells the
// other threads to stop claiming blocks once one has been thrown.
class Failure {
public:
    bool raised() const { return raised_.load(std::memory_order_relaxed); }

    void record(std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!first_) first_ = std::move(error);
        raised_.store(true, std::memory_order_relaxed);
    }

    void rethrow() const {
        if (first_) std::rethrow_exception(first_);
    }

private:
    std::atomic<bool> raised_{false};
    std::mutex mutex_;
    std::exception_ptr first_;
};

// Runs `worker(failure)` on a team of threads for a run of `blocks` blocks. The worker
// claims blocks itself and must return once `failure.raised()` is true.
//
// A worker that throws does not end the process: its exception is recorded, the other
// workers stop after the block they are on, every started thread is joined, and the
// first exception is rethrown on the calling thread. A thread that cannot be started
// is handled the same way, so the threads already running (which hold references to
// this stack frame) are always joined before the caller sees the error.
template <class Worker>
void run_team(int64_t blocks, int32_t n_threads, Worker&& worker) {
    if (blocks <= 0) return;
    const int64_t team = team_size(blocks, n_threads);
    Failure failure;
    if (team <= 1) {
        worker(failure);
        return;
    }
    auto guarded = [&]() noexcept {
        try {
            worker(failure);
        } catch (...) {
            failure.record(std::current_exception());
        }
    };
    std::vector<std::thread> started;
    try {
        started.reserve(static_cast<size_t>(team - 1));
        for (int64_t t = 1; t < team; ++t) started.emplace_back(guarded);
    } catch (...) {
        failure.record(std::current_exception());
    }
    if (!failure.raised()) guarded();
    for (auto& thread : started) thread.join();
    failure.rethrow();
}

// Per-block loop with a caller-chosen block size: body(begin, end) for the half-open
// ranges [0, B), [B, 2B), ... with the last one cut at n; each is passed exactly once.
template <class Body>
void for_blocks(int64_t n, int64_t block, int32_t n_threads, Body&& body) {
    if (n <= 0) return;
    const int64_t blocks = (n + block - 1) / block;
    std::atomic<int64_t> next{0};
    run_team(blocks, n_threads, [&](const Failure& failure) {
        while (!failure.raised()) {
            const int64_t begin = next.fetch_add(block);
            if (begin >= n) return;
            body(begin, std::min(begin + block, n));
        }
    });
}

// Per-item form: body(i) once for every i in 0 .. n-1, blocks of `block` items.
template <class Body>
void parallel_blocks(int64_t n, int64_t block, int32_t n_threads, Body&& body) {
    for_blocks(n, block, n_threads, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; ++i) body(i);
    });
}

// Per-block form with blocks of 256 items: body(begin, end).
inline constexpr int64_t range_block = 256;

template <class Body>
void parallel_blocks(int64_t n, int32_t n_threads, Body&& body) {
    for_blocks(n, range_block, n_threads, std::forward<Body>(body));
}

// Text form with blocks of 2048 items: body(begin, end, text) appends the rendering of
// items begin .. end-1 to its block's own string. The block texts are joined in block
// order, so the result does not depend on which thread rendered which block.
inline constexpr int64_t text_block = 2048;

template <class Body>
std::string run_blocks(int64_t n, int32_t n_threads, Body&& body) {
    if (n <= 0) return {};
    const int64_t blocks = (n + text_block - 1) / text_block;
    std::vector<std::string> texts(static_cast<size_t>(blocks));
    std::atomic<int64_t> next{0};
    run_team(blocks, n_threads, [&](const Failure& failure) {
        while (!failure.raised()) {
            const int64_t k = next.fetch_add(1);
            if (k >= blocks) return;
            const int64_t begin = k * text_block;
            body(begin, std::min(begin + text_block, n), texts[static_cast<size_t>(k)]);
        }
    });
    size_t total = 0;
    for (const auto& text : texts) total += text.size();
    std::string joined;
    joined.reserve(total);
    for (auto& text : texts) {
        joined += text;
        std::string().swap(text);  // give each block's memory back as soon as it is copied
    }
    return joined;
}

}  // namespace runtime
