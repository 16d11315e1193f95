// Work items spread over short-lived threads: min(count, online processors) workers, the
// calling thread among them, taking indices from a shared counter. The first exception a
// worker raises is kept, stops the others from taking more work, and is re-raised after all
// threads have joined.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

namespace loamwerk {

inline std::size_t worker_count(std::size_t items) {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return std::min<std::size_t>(items, std::size_t(std::max(online, 1L)));
}

// With an explicit number of workers (the calling thread counts as one).
template <class F>
void parallel_for_workers(std::size_t count, std::size_t workers, F&& body) {
    workers = std::min(workers, count);
    if (workers < 2) {
        for (std::size_t i = 0; i < count; ++i) body(i);
        return;
    }
    std::atomic<std::size_t> next{0};
    std::mutex error_lock;
    std::exception_ptr error;
    auto work = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= count) return;
            try {
                body(i);
            } catch (...) {
                std::lock_guard lock(error_lock);
                if (!error) error = std::current_exception();
                next.store(count);
                return;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(workers - 1);
    for (std::size_t t = 1; t < workers; ++t) threads.emplace_back(work);
    work();
    for (auto& t : threads) t.join();
    if (error) std::rethrow_exception(error);
}

template <class F>
void parallel_for(std::size_t count, F&& body) {
    parallel_for_workers(count, worker_count(count), std::forward<F>(body));
}

}  // namespace loamwerk
