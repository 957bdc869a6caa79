// Temporary files that a run killed in the middle of replacing one of the
// baseline's files left beside it (durable_file.h names them).
#pragma once

#include <string>
#include <vector>

// The temporary files that a killed run left beside the document, the path
// list and the boot log reservation, without touching them.
std::vector<std::string> leftover_files();

// Under the baseline lock: removes the temporary files that a killed run
// left beside the document, the path list and the boot log reservation, and
// logs each.
void remove_leftovers();
