// Runs the file work of the commands and of the drift report that touch
// every file (translation by the GRUB tools and SM3 measurement) on a pool of
// worker threads, while one thread commits the results in list order. Workers never touch the document,
// retVal, the log or the console, so everything observable is exactly what
// one-file-at-a-time processing gives; only the outside programs overlap.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <system_error>
#include <vector>

// Number of workers: 0 sizes the pool to the CPUs this process may run on;
// 1 processes one file at a time on the calling thread, as the builds for
// comparisons always do (support/program_start.h).
extern int measurement_workers;

// The pool size that for_each_prepared uses.
int pool_size();

namespace pool_detail {

constexpr size_t kResultsPerWorker = 4;

// Results waiting to be committed live in a ring, so memory does not grow with the list.
template <typename Result>
class OrderedResults {
 public:
  OrderedResults(size_t count, size_t window) : count_(count), window_(window), slots_(window) {}

  // Hands out the next index to work on, waiting while the ring is full; false when none is left.
  bool claim(size_t* index) {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [&] { return next_ >= count_ || next_ < committed_ + window_; });
    if (next_ >= count_) return false;
    *index = next_++;
    return true;
  }

  void publish(size_t index, Result result) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[index % window_] = std::move(result);
    ready_.notify_all();
  }

  Result take(size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto& slot = slots_[index % window_];
    ready_.wait(lock, [&] { return slot.has_value(); });
    Result result = std::move(*slot);
    slot.reset();
    ++committed_;
    space_.notify_all();
    return result;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_, space_;
  size_t count_, window_, next_ = 0, committed_ = 0;
  std::vector<std::optional<Result>> slots_;
};

}  // namespace pool_detail

// Calls commit(i, work(i)) for every i below `count` in order, with work(i)
// computed ahead by the workers. At most a few results per worker wait at
// once. `work` must be thread-safe; `commit` runs on the calling thread.
template <typename Result>
void for_each_in_order(size_t count, const std::function<Result(size_t)>& work,
                       const std::function<void(size_t, Result&)>& commit) {
  size_t workers = std::min(static_cast<size_t>(pool_size()), count);
  if (workers <= 1) {
    for (size_t i = 0; i < count; ++i) {
      Result result = work(i);
      commit(i, result);
    }
    return;
  }
  pool_detail::OrderedResults<Result> results(count, workers * pool_detail::kResultsPerWorker);
  std::vector<std::jthread> pool;
  try {
    for (size_t w = 0; w < workers; ++w) {
      pool.emplace_back([&] {
        for (size_t index; results.claim(&index);) results.publish(index, work(index));
      });
    }
  } catch (const std::system_error&) {
    // No memory for another thread (a tight address space): the workers
    // that started do all the work, or this thread alone does.
  }
  if (pool.empty()) {
    for (size_t i = 0; i < count; ++i) {
      Result result = work(i);
      commit(i, result);
    }
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    Result result = results.take(i);
    commit(i, result);
  }
}
