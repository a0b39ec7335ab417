// parallel_for: one call's work spread over threads that live for that call.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <sched.h>

namespace lumo::parallel {

// The number of processors this process may run on (its CPU affinity), at least 1.
inline unsigned usable_processors() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  return std::max(1u, std::thread::hardware_concurrency());
}

// Calls work(index) for every index below `count`, on up to `threads` threads (0: every usable
// processor), the calling thread among them, and never on more threads than usable processors or
// than items: more would only add the cost of starting them. Threads take indices from a shared counter, which
// balances long items and short ones. Rethrows, once all have finished, the exception of the
// lowest index that threw.
//
// Our own loop rather than a library: threads start per call, so there is no pool to keep, and
// unlike OpenMP's runtime nothing is left that a fork (multiprocessing, Dask) could deadlock on.
template <class Work>
void parallel_for(std::size_t count, unsigned threads, const Work& work) {
  // One item or one thread needs no count of processors (a system call per call of a single query).
  std::size_t workers = 1;
  if (count > 1 && threads != 1) {
    const std::size_t processors = usable_processors();
    const std::size_t wanted = threads == 0 ? processors : std::min<std::size_t>(threads, processors);
    workers = std::max<std::size_t>(1, std::min(wanted, count));
  }
  std::atomic<std::size_t> next{0};
  std::size_t failed_at = count;
  std::exception_ptr failure;
  std::mutex failure_lock;
  const auto run = [&] {
    for (std::size_t index; (index = next.fetch_add(1)) < count;) {
      try {
        work(index);
      } catch (...) {
        const std::lock_guard<std::mutex> guard(failure_lock);
        if (index < failed_at) {
          failed_at = index;
          failure = std::current_exception();
        }
      }
    }
  };
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(workers - 1);
    for (std::size_t i = 1; i < workers; ++i) helpers.emplace_back(run);
  } catch (const std::exception&) {
    // No more threads to be had: those started and this one do the work.
  }
  run();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace lumo::parallel
