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
#include <cstring>
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
// 50 ms: asking takes the interpreter lock, while reading the clock costs nanoseconds,
// and blocks are short enough that the run stops well within a fifth of a second.
class InterruptWatch {
public:
    InterruptWatch() : poll_(interrupt_poll), next_(clock::now() + period) {}

    void check(Failure& failure) {
        if (poll_ == nullptr) return;
        const auto now = clock::now();
        if (now < next_) return;
        next_ = now + period;
        if (auto error = poll_()) failure.record(std::move(error));
    }

private:
    using clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds period{50};
    interrupt_check poll_;
    clock::time_point next_;
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

// Text form, in two halves. render_blocks calls body(begin, end, text) for blocks of 2048
// items, each appending the rendering of its items to its own block text (any buffer
// type with data() and size()), so text is produced in parallel without locks; the
// texts come back in block order.
inline constexpr int64_t text_block = 2048;

template <class Text, class Body>
std::vector<Text> render_blocks(int64_t n, int32_t n_threads, Body&& body) {
    std::vector<Text> texts(n <= 0 ? 0 : static_cast<size_t>((n + text_block - 1) / text_block));
    for_blocks(n, text_block, n_threads, [&](int64_t begin, int64_t end) {
        body(begin, end, texts[static_cast<size_t>(begin / text_block)]);
    });
    return texts;
}

template <class Text>
size_t total_size(const std::vector<Text>& texts) {
    size_t total = 0;
    for (const auto& text : texts) total += text.size();
    return total;
}

// The second half: copies the block texts one after another into `out`, which has room
// for total_size(texts). Blocks are copied on several threads, since at hundreds of
// megabytes one serial pass costs as much as the rendering; each block's memory is
// given back as soon as it is copied.
template <class Text>
void join_blocks(std::vector<Text>& texts, char* out, int32_t n_threads) {
    std::vector<size_t> offsets(texts.size() + 1, 0);
    for (size_t k = 0; k < texts.size(); ++k) offsets[k + 1] = offsets[k] + texts[k].size();
    parallel_blocks(static_cast<int64_t>(texts.size()), 1, n_threads, [&](int64_t k) {
        Text& text = texts[static_cast<size_t>(k)];
        if (text.size() != 0) std::memcpy(out + offsets[static_cast<size_t>(k)], text.data(), text.size());
        text = Text();
    });
}

}  // namespace runtime
