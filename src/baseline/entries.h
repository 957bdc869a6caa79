// Baseline entries: one JSON object per measured file in the document's
// "list", members in this order: "grub_path" (identity), "sys_path",
// "measure_base_value", "file_type", "measure_stage", "pcr", "time".
// The operations change the loaded document only; the commands save it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bootpath/translation.h"
#include "measure/file_measurement.h"

// "time" and "measure_base_value" of the entry before the last update.
char* get_old_time_for_upd();
char* get_old_value_for_upd();

// Label of the file type the boot-file name rules give the base name of
// `path` (type_of_name in baseline/boot_files.h).
const char* get_file_type(const char* path);

// Appends an entry for `path` and prints "measure <path>"; -1 when the path
// cannot be translated, is already measured (logged) or cannot be measured.
// A file already measured under another boot path (its disk is named
// differently now) is refused too: one file, one entry.
int measurefile_add(const char* path);
// Removes the entry of `path` and prints "delete <path>"; the entry of a file
// that no longer exists is the one stored under `path` (find_entry_to_delete).
int measurefile_del(const char* path);
// Re-measures the entry of `path`, refreshing its measurement and time.
int measurefile_upd(const char* path);

// The work on one file that needs no document: translation and measurement.
// Thread-safe, so the commands that touch every file can run it on workers.
struct PreparedFile {
  bool translated = false;
  std::string boot_path;
  TranslationFailure failure;  // why not, when !translated
  FileMeasurement measurement;
};
PreparedFile prepare_file(const std::string& path);
// Calls commit(i, prepared) for every path in order, with prepare_file(path)
// computed ahead by the worker pool.
void for_each_prepared(const std::vector<std::string>& paths,
                       const std::function<void(size_t, const PreparedFile&)>& commit);

// The document side of an add or update whose file work is done: the same
// lookups, log lines, console lines and results as measurefile_add/_upd.
int commit_add(const std::string& path, const PreparedFile& prepared);
int commit_upd(const std::string& path, const PreparedFile& prepared);

// Right before the save: every entry this command measured whose file is no
// longer the file measured (rewritten, truncated, renamed over since) is
// taken back, an updated one to its former digest and time, an added one
// out of the list, and named on standard error. Returns how many were.
size_t take_back_changed_files();
