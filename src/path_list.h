// The path list "/boot/.vemobase.tmp": one measured file-system path per
// line, in the order the files entered measurement. Lines are read whole,
// whatever their length; a rewrite goes through "/boot/.vemobase.swp" and is
// renamed into place, so the list is never seen half written.
#pragma once

#include <string>
#include <vector>

// false when the path list cannot be opened or read.
bool read_path_list(std::vector<std::string>* paths);

// Replaces the whole path list with `paths`; -1 (logged) on failure.
int write_path_list(const std::vector<std::string>& paths);

// Appends one line; -1 (logged) when the list cannot be opened or written.
int append_path_list(const std::string& path);

// A path holding a line end cannot be one line of the list.
bool fits_path_list(const std::string& path);
