// Splits the index range [0, n) of a loop that touches no Python object into
// contiguous blocks run on native threads, so that NumPy's inner loops, which
// run without the GIL, use several cores without a Python thread each. Each
// element is computed by the same code whichever thread runs it, so the
// result is the same, bit for bit, for any number of workers.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace velliq {

// Workers used by the calling thread's loops; 1 runs every loop inline.
inline thread_local int loop_workers = 1;

// Fewer elements per worker than this are not worth a thread.
inline constexpr std::ptrdiff_t kMinElementsPerWorker = 256;

// Blocks per worker: elements differ in cost (an implied volatility may take
// twice the root-finder iterations of its neighbour), so the range is cut
// into several blocks per worker, taken in turn by whichever thread is free.
inline constexpr std::ptrdiff_t kBlocksPerWorker = 16;

template <class Body>
void parallel_for(std::ptrdiff_t n, Body body) noexcept {
    const std::ptrdiff_t workers =
        std::min<std::ptrdiff_t>(loop_workers, n / kMinElementsPerWorker);
    if (workers <= 1) {
        body(0, n);
        return;
    }
    const std::ptrdiff_t block = std::max<std::ptrdiff_t>(1, n / (workers * kBlocksPerWorker));
    std::atomic<std::ptrdiff_t> next{0};
    auto work = [&] {
        for (std::ptrdiff_t begin;
             (begin = next.fetch_add(block, std::memory_order_relaxed)) < n;) {
            body(begin, std::min(n, begin + block));
        }
    };
    std::vector<std::thread> threads;
    try {
        threads.reserve(static_cast<std::size_t>(workers - 1));
        for (std::ptrdiff_t i = 1; i < workers; ++i) {
            threads.emplace_back(work);
        }
    } catch (const std::exception&) {
        // Fewer threads than asked for (or none): those started and this one share the blocks.
    }
    work();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace velliq
