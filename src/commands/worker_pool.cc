#include "commands/worker_pool.h"

#include <sched.h>

int measurement_workers = 0;

int pool_size() {
  if (measurement_workers > 0) return measurement_workers;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  int count = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  return std::max(count, 1);
}

void for_each_prepared(const std::vector<std::string>& paths,
                       const std::function<void(size_t, const PreparedFile&)>& commit) {
  for_each_in_order<PreparedFile>(
      paths.size(), [&](size_t i) { return prepare_file(paths[i]); },
      [&](size_t i, PreparedFile& prepared) { commit(i, prepared); });
}
