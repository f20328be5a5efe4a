// Splits the index range [0, n) of a loop that touches no Python object into
// contiguous chunks run on native threads, so that NumPy's inner loops, which
// run without the GIL, use several cores without a Python thread each. Each
// element is computed by the same code whichever thread runs it, so the
// result is the same, bit for bit, for any number of workers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace velliq {

// Workers used by the calling thread's loops; 1 runs every loop inline.
inline thread_local int loop_workers = 1;

// Fewer elements per worker than this are not worth a thread.
inline constexpr std::ptrdiff_t kMinElementsPerWorker = 256;

template <class Body>
void parallel_for(std::ptrdiff_t n, Body body) noexcept {
    const std::ptrdiff_t chunks = std::min<std::ptrdiff_t>(loop_workers, n / kMinElementsPerWorker);
    if (chunks <= 1) {
        body(0, n);
        return;
    }
    auto bound = [n, chunks](std::ptrdiff_t i) { return n * i / chunks; };
    std::vector<std::thread> threads;
    try {
        threads.reserve(static_cast<std::size_t>(chunks - 1));
        for (std::ptrdiff_t i = 1; i < chunks; ++i) {
            threads.emplace_back(body, bound(i), bound(i + 1));
        }
    } catch (const std::exception&) {
        // No thread (or no memory for one): the chunks without a thread run here.
        for (std::ptrdiff_t i = static_cast<std::ptrdiff_t>(threads.size()) + 1; i < chunks; ++i) {
            body(bound(i), bound(i + 1));
        }
    }
    body(0, bound(1));
    for (std::thread& thread : threads) {
        thread.join();
    }
}

}  // namespace velliq
