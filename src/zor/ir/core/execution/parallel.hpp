// Splitting a kernel's independent items (samples, planes, rows) among
// threads. Each item's result is computed the same way whichever thread
// takes it, so the thread count changes no bit of a result.
#pragma once

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "core/execution/kernels.hpp"

namespace zor::execution {

// Each thread takes at least this much work (in multiply-adds or cells):
// starting one costs tens of microseconds.
constexpr double kWorkPerThread = 65536.0;

// Runs body(first, last) over [0, count) in up to `threads` contiguous
// parts, the first on the calling thread; `work` is the whole call's work
// (a double: a product of extents that may pass the range of Index).
// An exception in any part is rethrown here once all have ended; a thread
// that cannot be started leaves its part to the calling thread.
template <typename Body>
void parallel_for(Index count, Index threads, double work, Body body) {
    Index parts = std::min(threads, count);
    if (work / kWorkPerThread < static_cast<double>(parts))
        parts = static_cast<Index>(work / kWorkPerThread);
    if (parts <= 1) {
        body(Index{0}, count);
        return;
    }
    std::vector<std::exception_ptr> errors(static_cast<size_t>(parts));
    auto run = [&](Index part) {
        try {
            body(count * part / parts, count * (part + 1) / parts);
        } catch (...) {
            errors[static_cast<size_t>(part)] = std::current_exception();
        }
    };
    std::vector<std::thread> workers;
    std::vector<Index> left;
    workers.reserve(static_cast<size_t>(parts));
    left.reserve(static_cast<size_t>(parts));
    for (Index part = 1; part < parts; ++part) {
        try {
            workers.emplace_back(run, part);
        } catch (const std::system_error &) {
            left.push_back(part);
        }
    }
    run(0);
    for (Index part : left)
        run(part);
    for (std::thread &worker : workers)
        worker.join();
    for (const std::exception_ptr &error : errors)
        if (error)
            std::rethrow_exception(error);
}

}  // namespace zor::execution
