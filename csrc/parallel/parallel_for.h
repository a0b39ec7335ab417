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

// Calls work(index) for every index below `count` on `helpers` threads started at once and on
// the calling thread once it calls finish(), which then waits for the helpers and rethrows the
// exception of the lowest index that threw. Threads take indices from a shared counter, which
// balances long items and short ones. Destroyed before finish(), it stops the helpers at the item
// each holds. (add_texts starts the cut of its next texts here and joins it after its own add.)
template <class Work>
class ParallelLoop {
 public:
  ParallelLoop(std::size_t count, std::size_t helpers, const Work& work) : count_(count), work_(work) {
    try {
      helpers_.reserve(helpers);
      for (std::size_t i = 0; i < helpers; ++i) helpers_.emplace_back([this] { run(); });
    } catch (const std::exception&) {
      // No more threads to be had: those started and the calling thread do the work.
    }
  }
  ParallelLoop(const ParallelLoop&) = delete;
  ParallelLoop& operator=(const ParallelLoop&) = delete;
  ~ParallelLoop() {
    next_.store(count_);
    join();
  }

  void finish() {
    run();
    join();
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  void run() noexcept {
    for (std::size_t index; (index = next_.fetch_add(1)) < count_;) {
      try {
        work_(index);
      } catch (...) {
        const std::lock_guard<std::mutex> guard(failure_lock_);
        if (index < failed_at_) {
          failed_at_ = index;
          failure_ = std::current_exception();
        }
      }
    }
  }
  void join() noexcept {
    for (std::thread& helper : helpers_) {
      if (helper.joinable()) helper.join();
    }
  }

  const std::size_t count_;
  const Work& work_;
  std::atomic<std::size_t> next_{0};
  std::mutex failure_lock_;
  std::size_t failed_at_ = static_cast<std::size_t>(-1);
  std::exception_ptr failure_;
  std::vector<std::thread> helpers_;
};

// Calls work(index) for every index below `count`, on up to `threads` threads (0: every usable
// processor), the calling thread among them, and never on more threads than usable processors or
// than items: more would only add the cost of starting them. Rethrows, once all have finished,
// the exception of the lowest index that threw.
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
  ParallelLoop<Work> loop(count, workers - 1, work);
  loop.finish();
}

}  // namespace lumo::parallel
