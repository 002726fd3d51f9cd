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
#include <chrono>
#include <ctime>
#include <cstdint>
#include <exception>
#include <mutex>
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

// How a run learns that the user asked to stop it (Ctrl-C): a function that returns the
// exception to end the run with, or none. Set by the bindings, which can ask the
// interpreter, for the runs made on their thread while the interpreter lock is released;
// a run on a thread where none is set is never interrupted.
using interrupt_check = std::exception_ptr (*)();
inline thread_local interrupt_check interrupt_poll = nullptr;

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

// The calling thread's watch for an interrupt. It asks between blocks, but at most every
// 50 ms: asking takes the interpreter lock, while reading the coarse clock costs a few
// nanoseconds, and blocks are short enough that the run stops well within a fifth of a
// second.
class InterruptWatch {
public:
    InterruptWatch() : poll_(interrupt_poll), next_(now_ms() + period_ms) {}

    void check(Failure& failure) {
        if (poll_ == nullptr) return;
        const int64_t now = now_ms();
        if (now < next_) return;
        next_ = now + period_ms;
        if (auto error = poll_()) failure.record(std::move(error));
    }

private:
    static constexpr int64_t period_ms = 50;

    // A clock of millisecond resolution is enough here; the coarse one is read from
    // memory without asking the kernel, so a check between short blocks costs nothing.
    static int64_t now_ms() {
#if defined(__linux__)
        timespec t;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
        return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
#else
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
#endif
    }

    interrupt_check poll_;
    int64_t next_;
};

// Runs `worker(failure, watch)` on a team of threads for a run of `blocks` blocks. The
// worker claims blocks itself, calls `watch->check(failure)` between its blocks when
// `watch` is not null (only on the calling thread), and must return once
// `failure.raised()` is true.
//
// A worker that throws does not end the process: its exception is recorded, the other
// workers stop after the block they are on, every started thread is joined, and the
// first exception is rethrown on the calling thread. A thread that cannot be started
// is handled the same way, so the threads already running (which hold references to
// this stack frame) are always joined before the caller sees the error. An interrupt
// ends the run the same way.
template <class Worker>
void run_team(int64_t blocks, int32_t n_threads, Worker&& worker) {
    if (blocks <= 0) return;
    const int64_t team = team_size(blocks, n_threads);
    Failure failure;
    InterruptWatch watch;
    if (team <= 1) {
        worker(failure, &watch);
        failure.rethrow();
        return;
    }
    auto guarded = [&](InterruptWatch* w) noexcept {
        try {
            worker(failure, w);
        } catch (...) {
            failure.record(std::current_exception());
        }
    };
    std::vector<std::thread> started;
    try {
        started.reserve(static_cast<size_t>(team - 1));
        for (int64_t t = 1; t < team; ++t) started.emplace_back(guarded, nullptr);
    } catch (...) {
        failure.record(std::current_exception());
    }
    if (!failure.raised()) guarded(&watch);
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
    run_team(blocks, n_threads, [&](Failure& failure, InterruptWatch* watch) {
        while (!failure.raised()) {
            if (watch != nullptr) watch->check(failure);
            if (failure.raised()) return;
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

// The text form's block size: the writers render blocks of 2048 records (see
// run_blocks in binding.hpp).
inline constexpr int64_t text_block = 2048;

}  // namespace runtime
