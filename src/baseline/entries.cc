#include "baseline/entries.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "baseline/boot_files.h"
#include "baseline/document.h"
#include "bootpath/translation.h"
#include "baseline/entry_lookup.h"
#include "baseline/pcr_rule.h"
#include "support/tool_log.h"
#include "support/user_diagnostics.h"
#include "support/visible_text.h"
#include "support/worker_pool.h"

namespace {
// What an update replaced, for the TPM step that follows it.
char old_time[32];
char old_value[65];

// The files this command measured into the document, to be checked again
// right before the save. Lean: a baseline may hold 180,000 of them.
struct Committed {
  size_t index;  // of the entry
  dev_t device;
  ino_t inode;
  off_t size;
  struct timespec changed;
  long former = -1;  // an update: where its former texts are kept; -1 for an add
};
struct FormerTexts {
  char value[65];
  char time[32];
};
std::vector<Committed> committed;
std::vector<FormerTexts> former_texts;
unsigned long committed_generation = 0;

void remember_commit(size_t index, const FileMeasurement& measurement, bool update) {
  if (committed_generation != document_generation()) {
    committed.clear();
    former_texts.clear();
    committed_generation = document_generation();
  }
  Committed entry{index, measurement.device, measurement.inode, measurement.size, measurement.changed};
  if (update) {
    FormerTexts texts{};
    memcpy(texts.value, old_value, sizeof texts.value);
    memcpy(texts.time, old_time, sizeof texts.time);
    former_texts.push_back(texts);
    entry.former = static_cast<long>(former_texts.size() - 1);
  }
  committed.push_back(entry);
}
}  // namespace

namespace {

constexpr const char* kOperatingSystemStage = "操作系统";

// Copies the measurement into retVal as the file measurement leaves it.
void publish(const FileMeasurement& measurement) {
  memset(retVal, 0, sizeof retVal);
  memcpy(retVal, measurement.text, strlen(measurement.text));
}

// A file that is missing, unreadable or not a regular file is not measured:
// -a and -u fail with the reason, -i leaves the file out with it. One stderr
// line per cause.
bool measured_ok(const char* path, const FileMeasurement& measurement) {
  log_measurement(path, measurement);
  if (measurement.outcome != MeasureOutcome::kMeasured) {
    tell_user_about_file("measure_file", "not measured: " + describe_failure(measurement), path);
    return false;
  }
  publish(measurement);
  return true;
}

// The measurement to store for `path`: the one given (made earlier, by a
// worker) or made now, provided the path still names the very file it read;
// otherwise the file is measured once more and must hold still for that.
// A digest is never stored for another file than the one at the path.
FileMeasurement current_measurement(const char* path, const FileMeasurement* prepared) {
  FileMeasurement measurement = prepared ? *prepared : measure_file(path);
  if (still_the_measured_file(path, measurement)) return measurement;
  if (measurement.outcome != MeasureOutcome::kMeasured) return measurement;
  measurement = measure_file(path);
  if (measurement.outcome == MeasureOutcome::kMeasured && !still_the_measured_file(path, measurement))
    measurement.outcome = MeasureOutcome::kChanged;
  return measurement;
}

void set_string(json_object* entry, const char* name, const char* value) {
  json_object_object_add(entry, name, json_object_new_string(value));
}

const char* string_member(json_object* entry, const char* name) {
  const char* text = stored_member(entry, name);
  return text != nullptr ? text : "";
}

// The same file under another boot path: the disk names changed since it was measured.
bool measured_under_another_boot_path(const char* path, const std::string& boot_path) {
  int index = find_entry_by_sys_path(path);
  if (index < 0) return false;
  json_object* entry = json_object_array_get_idx(file_list, static_cast<size_t>(index));
  tell_user("measurefile_add", std::string(path) + " is already measured as " + string_member(entry, "grub_path") +
                               " but GRUB now names it " + boot_path +
                               ": the disk names have changed; \"zovemo_config -i\" rebuilds the baseline");
  return true;
}

int add_entry(const char* path, const std::string& boot_path, const FileMeasurement* prepared) {
  if (find_entry_index(boot_path) >= 0) {
    tell_user("measurefile_add", std::string("refused \"") + path + "\": already measured; \"zovemo_config -u " + path +
                                     "\" measures it again");
    writeLog(0, "main:zotrust_add() \"%s\" already measured\n", path);
    return -1;
  }
  if (measured_under_another_boot_path(path, boot_path)) return -1;
  FileMeasurement measurement = current_measurement(path, prepared);
  if (!measured_ok(path, measurement)) return -1;

  json_object* entry = json_object_new_object();
  set_string(entry, "grub_path", boot_path.c_str());
  set_string(entry, "sys_path", path);
  set_string(entry, "measure_base_value", retVal);
  set_string(entry, "file_type", get_file_type(path));
  set_string(entry, "measure_stage", kOperatingSystemStage);
  set_string(entry, "pcr", pcr_flag_to_str[get_pcrFlag(path) - 8]);
  set_string(entry, "time", getSysTime());
  json_object_array_add(file_list, entry);
  note_entry_appended();
  remember_commit(json_object_array_length(file_list) - 1, measurement, false);
  printf("measure %s\n", escape_control_characters(path).c_str());
  return 0;
}

int update_entry(const char* path, int index, const FileMeasurement* prepared) {
  if (index < 0) return -1;
  json_object* entry = json_object_array_get_idx(file_list, static_cast<size_t>(index));
  memset(old_time, 0, sizeof old_time);
  memset(old_value, 0, sizeof old_value);
  strncpy(old_time, string_member(entry, "time"), sizeof old_time - 1);
  strncpy(old_value, string_member(entry, "measure_base_value"), sizeof old_value - 1);

  FileMeasurement measurement = current_measurement(path, prepared);
  if (!measured_ok(path, measurement)) return -1;
  std::string time = getSysTime();
  set_string(entry, "measure_base_value", retVal);
  set_string(entry, "time", time.c_str());
  remember_commit(static_cast<size_t>(index), measurement, true);
  printf("update %s\n", escape_control_characters(path).c_str());
  printf("measure_base_value: %s\n", retVal);
  printf("update time %s\n", time.c_str());
  return 0;
}

}  // namespace

char* get_old_time_for_upd() { return old_time; }
char* get_old_value_for_upd() { return old_value; }

const char* get_file_type(const char* path) {
  char* name = getFilename(path);
  if (name == nullptr) return type_of_name("").file_type;
  const char* type = type_of_name(name).file_type;
  free(name);
  return type;
}

int measurefile_add(const char* path) {
  std::string boot_path;
  TranslationFailure failure;
  if (!translate_boot_path(path, &boot_path, &failure)) {
    report_translation_failure("measurefile_add", path, failure);
    return -1;
  }
  return add_entry(path, boot_path, nullptr);
}

int measurefile_del(const char* path) {
  int index = find_entry_to_delete(path);
  if (index < 0) return -1;
  json_object_array_del_idx(file_list, static_cast<size_t>(index), 1);
  printf("delete %s\n", escape_control_characters(path).c_str());
  return 0;
}

int measurefile_upd(const char* path) { return update_entry(path, get_json_idx(path), nullptr); }

PreparedFile prepare_file(const std::string& path) {
  PreparedFile prepared;
  prepared.translated = translate_boot_path(path, &prepared.boot_path, &prepared.failure);
  if (prepared.translated) prepared.measurement = measure_file(path.c_str());
  return prepared;
}

void for_each_prepared(const std::vector<std::string>& paths,
                       const std::function<void(size_t, const PreparedFile&)>& commit) {
  for_each_in_order<PreparedFile>(
      paths.size(), [&](size_t i) { return prepare_file(paths[i]); },
      [&](size_t i, PreparedFile& prepared) { commit(i, prepared); });
}

int commit_add(const std::string& path, const PreparedFile& prepared) {
  if (!prepared.translated) {
    report_translation_failure("measurefile_add", path, prepared.failure);
    return -1;
  }
  return add_entry(path.c_str(), prepared.boot_path, &prepared.measurement);
}

int commit_upd(const std::string& path, const PreparedFile& prepared) {
  if (file_list == nullptr || json_object_array_length(file_list) == 0) {
    writeLog(0, "main:get_json_idx() json_list no data\n");
    return -1;
  }
  if (!prepared.translated) {
    writeLog(1, "main:get_json_idx() concatenate_json_string failed\n");
    report_translation_failure("get_json_idx", path, prepared.failure);
    return -1;
  }
  return update_entry(path.c_str(), find_entry_of_file("get_json_idx", path, prepared.boot_path), &prepared.measurement);
}

size_t take_back_changed_files() {
  size_t changed = 0;
  std::vector<size_t> added_back;
  if (committed_generation == document_generation() && file_list != nullptr) {
    for (const Committed& commit : committed) {
      json_object* entry = json_object_array_get_idx(file_list, commit.index);
      const char* path = stored_member(entry, "sys_path");
      if (path == nullptr) continue;
      FileMeasurement measured;
      measured.outcome = MeasureOutcome::kMeasured;
      measured.device = commit.device;
      measured.inode = commit.inode;
      measured.size = commit.size;
      measured.changed = commit.changed;
      if (still_the_measured_file(path, measured)) continue;
      ++changed;
      writeLog(0, "SM3, %s changed while measured\n", path);
      tell_user_about_file("save_json", "not measured: the file changed after it was measured", path);
      if (commit.former < 0) {
        added_back.push_back(commit.index);
        continue;
      }
      const FormerTexts& texts = former_texts[static_cast<size_t>(commit.former)];
      set_string(entry, "measure_base_value", texts.value);
      set_string(entry, "time", texts.time);
    }
  }
  // From the last: removing an entry moves those after it.
  std::sort(added_back.rbegin(), added_back.rend());
  for (size_t index : added_back) json_object_array_del_idx(file_list, index, 1);
  committed.clear();
  former_texts.clear();
  return changed;
}
