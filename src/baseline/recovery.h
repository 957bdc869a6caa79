// What keeps the baseline whole when a command is killed at any instant.
//
// The document "/boot/.vemobase" is the record; every other file of the
// baseline follows it. Each file is replaced atomically (durable_file.h), the
// document always first, so a crash leaves one of a few states, all of which
// the next command recognises under the baseline lock:
//   - temporary files of a replacement that never happened: removed;
//   - a path list that lags the document (or was damaged, edited, removed):
//     rewritten from the entries, and the repair told to the user.
// A repeated add or delete of the same file then completes what the killed
// one began (see commands/file_commands.cc).
#pragma once

#include <string>
#include <vector>


// The "sys_path" of every entry, in list order: what the path list must
// hold. An entry whose path is not a text or holds a line end has no line.
std::vector<std::string> entry_paths();

struct PathListRepair {
  bool in_step = false;              // the list on disk now names exactly entry_paths()
  std::vector<std::string> added;    // entries' paths that had no line
  std::vector<std::string> removed;  // lines that named no entry
};

// With the document loaded and the baseline lock held: rewrites the path
// list when it is not exactly entry_paths(), one per line, and tells the user
// (stderr and the tool log) what was repaired. A missing list with no entries
// is created silently.
PathListRepair reconcile_path_list();

