#include "support/worker_pool.h"

#include <sched.h>

#include "support/program_start.h"

int measurement_workers = 0;

int pool_size() {
  if (one_file_at_a_time) return 1;
  if (measurement_workers > 0) return measurement_workers;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  int count = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
  return std::max(count, 1);
}
