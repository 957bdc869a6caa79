// The path list "/boot/.vemobase.tmp": one measured file-system path per
// line, in the order the files entered measurement; it names exactly the
// files of the baseline's entries (see baseline/recovery.h for how that is
// kept after a crash). Lines are read whole, whatever their length; a CR
// before the LF is not part of the path. A rewrite goes through
// "/boot/.vemobase.swp" and is renamed into place, so the list is never seen
// half written; an append is flushed to disk. A link standing at either name
// is never written through.
#pragma once

#include <string>
#include <vector>

// The list as it stands on disk.
struct PathListText {
  bool readable = false;          // false: missing, a link, not a regular file, unreadable
  bool missing = false;           // nothing at all stands at the path
  std::string bytes;              // exactly as on disk
  std::vector<std::string> paths; // the lines without their line ends
  size_t cr_line_ends = 0;        // lines that ended in CR LF
};
PathListText load_path_list();

// The lines of the list; false when it cannot be opened or read.
bool read_path_list(std::vector<std::string>* paths);

// The list's content for `paths`: each followed by "\n".
std::string path_list_content(const std::vector<std::string>& paths);

// Replaces the whole path list with `paths`; false (logged) on failure.
bool write_path_list(const std::vector<std::string>& paths);

// Appends one line to the existing list; false (logged) when it is missing,
// not a regular file or cannot be written.
bool append_path_list(const std::string& path);

// A path holding a line end (LF or CR) cannot be one line of the list.
bool fits_path_list(const std::string& path);

// True when `path` can be an entry's sys_path and a line of the list; else
// why not: a line end, or bytes that are not UTF-8 (the document is UTF-8
// text that other tools parse).
bool path_can_be_stored(const std::string& path, std::string* why_not);
