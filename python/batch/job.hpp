// A job of an array call: the elements handed to workers in chunks.
// Worker side: the pool (pool.hpp) runs it with the interpreter lock
// released.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/error.hpp"

namespace zub::batch {

// Work over the indices [0, size), handed to workers in chunks.  `body`
// runs [begin, end) and must not throw (nor catch the unwinding by which
// the interpreter may end the calling thread); it stops early when
// cancelled().
struct Job {
    std::function<void(std::size_t begin, std::size_t end)> body;
    std::size_t size = 0;
    // Chunks are multiples of `min_chunk` indices (except the last) and at
    // most `chunk` (a multiple of it) long.
    std::size_t chunk = 1;
    std::size_t min_chunk = 1;
    unsigned max_workers = 1;
    // All its workers, the calling thread among them (set by run_job).
    unsigned workers = 1;

    std::atomic<std::size_t> next{0};
    std::atomic<bool> cancel{false};
    // The CPUs (below 64) that its workers, the calling thread among them,
    // started on.
    std::atomic<std::uint64_t> cpus{0};
    // Guarded by the pool's mutex.
    unsigned joined = 0;
    // Changed under the pool's mutex; read without it by a caller that
    // waits for the last workers awake.
    std::atomic<unsigned> active{0};
    std::condition_variable finished;
    // The calling thread works on the job too (run_job).  When it is the
    // main thread it polls for signals from cancelled(); these are set
    // before any worker joins and touched by the calling thread only after.
    // They live here, not on the caller's stack, because the workers may
    // outlive the caller's frame.
    pthread_t caller{};
    bool caller_polls = false;
    void* caller_state = nullptr;  // the caller's saved thread state
    std::chrono::steady_clock::time_point next_poll{};
    bool interrupted = false;

    bool stopped() const noexcept { return cancel.load(std::memory_order_relaxed); }
    bool cancelled() noexcept { return stopped() || (caller_polls && poll_signals()); }
    // The check handed to the pricing core.
    CancelCheck cancel_check() noexcept {
        return CancelCheck{[](void* self) { return static_cast<Job*>(self)->cancelled(); }, this};
    }
    // Runs chunks until none is left or the job is cancelled.
    void work() {
        std::size_t begin = next.load(std::memory_order_relaxed);
        while (begin < size && !cancelled()) {
            const std::size_t end = begin + share(size - begin);
            if (!next.compare_exchange_weak(begin, end, std::memory_order_relaxed)) continue;
            body(begin, std::min(end, size));
            begin = next.load(std::memory_order_relaxed);
        }
    }
    // The length of the next chunk when `left` indices remain: chunks
    // shrink as the work runs out, so that the workers finish close
    // together rather than one waiting for another's last long chunk.
    std::size_t share(std::size_t left) const noexcept {
        if (workers == 1) return chunk;
        const std::size_t even = left / (std::size_t{2} * workers) / min_chunk * min_chunk;
        return std::clamp(even, min_chunk, chunk);
    }
    // On the calling thread: takes the lock back, runs pending signal
    // handlers and releases it again; when one raised, the job is cancelled
    // and true returned with that exception set.
    bool run_signal_handlers() noexcept;

private:
    bool poll_signals() noexcept;
};

}  // namespace zub::batch
