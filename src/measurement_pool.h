// Runs the file work of the commands that touch every file (translation by
// the GRUB tools and SM3 measurement) on a pool of worker threads, while one
// thread commits the results in list order. Workers never touch the document,
// retVal, the log or the console, so everything observable is exactly what
// one-file-at-a-time processing gives; only the outside programs overlap.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "baseline_entries.h"

// Number of workers: 0 sizes the pool to the CPUs this process may run on;
// 1 processes one file at a time on the calling thread.
extern int measurement_workers;

// Calls commit(i, prepared) for every path in order, with prepare_file(path)
// computed ahead by the workers. At most a few results per worker wait at once.
void for_each_prepared(const std::vector<std::string>& paths,
                       const std::function<void(size_t, const PreparedFile&)>& commit);

// The pool size that for_each_prepared uses.
int pool_size();
