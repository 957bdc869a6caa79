#include "measurement_pool.h"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

int measurement_workers = 0;

namespace {

constexpr size_t kResultsPerWorker = 4;

// Results waiting to be committed live in a ring, so memory does not grow with the list.
class OrderedResults {
 public:
  OrderedResults(size_t count, size_t window) : count_(count), window_(window), slots_(window) {}

  // Hands out the next index to prepare, waiting while the ring is full; false when none is left.
  bool claim(size_t* index) {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [&] { return next_ >= count_ || next_ < committed_ + window_; });
    if (next_ >= count_) return false;
    *index = next_++;
    return true;
  }

  void publish(size_t index, PreparedFile prepared) {
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[index % window_] = std::move(prepared);
    ready_.notify_all();
  }

  PreparedFile take(size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto& slot = slots_[index % window_];
    ready_.wait(lock, [&] { return slot.has_value(); });
    PreparedFile prepared = std::move(*slot);
    slot.reset();
    ++committed_;
    space_.notify_all();
    return prepared;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_, space_;
  size_t count_, window_, next_ = 0, committed_ = 0;
  std::vector<std::optional<PreparedFile>> slots_;
};

}  // namespace

int pool_size() {
  if (measurement_workers > 0) return measurement_workers;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  int count = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  return std::max(count, 1);
}

void for_each_prepared(const std::vector<std::string>& paths,
                       const std::function<void(size_t, const PreparedFile&)>& commit) {
  size_t workers = std::min(static_cast<size_t>(pool_size()), paths.size());
  if (workers <= 1) {
    for (size_t i = 0; i < paths.size(); ++i) commit(i, prepare_file(paths[i]));
    return;
  }
  OrderedResults results(paths.size(), workers * kResultsPerWorker);
  std::vector<std::jthread> pool;
  for (size_t w = 0; w < workers; ++w) {
    pool.emplace_back([&] {
      for (size_t index; results.claim(&index);) results.publish(index, prepare_file(paths[index]));
    });
  }
  for (size_t i = 0; i < paths.size(); ++i) commit(i, results.take(i));
}
