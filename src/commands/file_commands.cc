#include "commands/file_commands.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "baseline/boot_files.h"
#include "baseline/document.h"
#include "baseline/entries.h"
#include "baseline/recovery.h"
#include "bootpath/translation.h"
#include "baseline/entry_lookup.h"
#include "baseline/reservation.h"
#include "commands/pre_start.h"
#include "support/worker_pool.h"
#include "baseline/path_list.h"
#include "tpm/pcr_emulation.h"
#include "support/tool_log.h"
#include "tpm/nv_store.h"
#include "support/user_diagnostics.h"
#include "support/visible_text.h"

namespace {

// Rewrites the reference slot of the file's PCR; remembers the slot's former
// content so a failed save can put it back. Logs under the command's name.
class SlotUpdate {
 public:
  SlotUpdate(const char* command, const char* path) : command_(command), flag_(get_pcrFlag(path)) {}

  bool apply() {
    if (tpm_chip_exist != 1) return true;
    have_previous_ = read_nv_slot(flag_, previous_);
    DigestBlock value(emulate_pcr(flag_));
    if (update_nv_space(value.get(), flag_) != 0) {
      writeLog(1, "main:%s() update nv failed, pcr_flag %d\n", command_, flag_);
      return false;
    }
    applied_ = true;
    return true;
  }

  // Keeps the reference index in step with the document that stayed on disk.
  void undo() {
    if (applied_ && have_previous_) restore_nv_slot(flag_, previous_);
  }

 private:
  const char* command_;
  int flag_;
  uint8_t previous_[32] = {};
  bool have_previous_ = false;
  bool applied_ = false;
};

bool contains(const std::vector<std::string>& paths, const char* path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

// Loads the document under the lock and brings the path list in step with
// it, completing or rolling back what a killed command left.
int load_for_command(PathListRepair* repair) {
  if (before_start_proc() != 0) return -1;
  if (get_json() != 0) return -1;
  *repair = reconcile_path_list();
  heal_boot_log();
  return 0;
}

// Where `path` really lies, every symbolic link in it resolved; a file that
// does not exist lies in its resolved directory. Empty when not even the
// directory can be resolved.
std::string real_location(const char* path) {
  if (char* resolved = realpath(path, nullptr)) {
    std::string location = resolved;
    free(resolved);
    return location;
  }
  if (errno != ENOENT) return "";
  std::string text = path;
  size_t slash = text.rfind('/');
  std::string name = text.substr(slash + 1);
  if (slash == std::string::npos || name.empty() || name == "." || name == "..") return "";
  std::string directory = real_location(slash == 0 ? "/" : text.substr(0, slash).c_str());
  if (directory.empty()) return "";
  return (directory == "/" ? "" : directory) + "/" + name;
}

// Whether `location` lies under the real location of `top` ("/boot" may
// itself be a link to where the boot partition is mounted).
bool lies_under(const std::string& location, const char* top) {
  std::string real_top = real_location(top);
  if (real_top.empty()) real_top = top;
  if (real_top == "/") return true;
  return location.compare(0, real_top.size() + 1, real_top + "/") == 0;
}

// The checks on what an add is given, beyond the words of the path: it must
// be a regular file if it exists, and really lie under /boot/ or /etc/.
// False (told to the user) when the add must be refused.
bool may_be_added(const char* path) {
  std::string quoted = std::string("refused \"") + path + "\": ";
  if (std::string why; !path_can_be_stored(path, &why)) {
    tell_user("zotrust_add", quoted + why);
    return false;
  }
  struct stat info {};
  if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
    tell_user("zotrust_add", quoted + "not a regular file");
    return false;
  }
  std::string location = real_location(path);
  if (location.empty()) {
    tell_user("zotrust_add", quoted + "its real location cannot be resolved: " + strerror(errno));
    return false;
  }
  if (!lies_under(location, "/boot") && !lies_under(location, "/etc")) {
    tell_user("zotrust_add", quoted + "it really lies at " + location + ", outside /boot/ and /etc/");
    return false;
  }
  return true;
}

// A failed add grew the reservation for an entry that was not saved: size it
// for the document on disk again (the next command heals it otherwise).
void resize_for_saved_document() {
  std::string error;
  size_t entries = json_object_array_length(file_list);
  if (entries > 0) size_boot_log(entries - 1, &error);
}

// The lookup of an empty list only logs; the administrator hears why too.
void tell_if_no_entries(const char* path) {
  if (json_object_array_length(file_list) == 0) tell_user_about_file("get_json_idx", "not in the baseline", path);
}

// Whether the last entry's digest is that of `path` as it is on disk now.
bool last_entry_measures_file_now(const char* path) {
  json_object* entry = json_object_array_get_idx(file_list, json_object_array_length(file_list) - 1);
  const char* stored = stored_member(entry, "measure_base_value");
  const FileMeasurement now = measure_file(path);
  return stored != nullptr && now.outcome == MeasureOutcome::kMeasured && strcmp(stored, now.text) == 0;
}

int save_with_slot(SlotUpdate* slot) {
  if (save_json() == 0) return 0;
  slot->undo();
  return -1;
}

int update_all() {
  std::vector<std::string> paths;
  if (!read_path_list(&paths)) {
    const int error = errno;
    writeLog(1, "main:zotrust_upd() open \"%s\" failed\n", kPathListPath);
    tell_user("zotrust_upd", std::string("the path list ") + kPathListPath + " cannot be read (" + strerror(error) +
                                 "); no file was measured again");
    return -1;
  }
  size_t refreshed = 0;
  auto record = [&refreshed](const std::string& path, int result) {
    if (result != 0) writeLog(0, "all:upd \"%s\" failed\n", path.c_str());
    else ++refreshed;
  };
  BootPathReuse reuse;
  // With no entries nothing can be found, and a lookup then runs no program.
  if (pool_size() == 1 || json_object_array_length(file_list) == 0) {
    for (const auto& path : paths) record(path, measurefile_upd(path.c_str()));
  } else {
    for_each_prepared(paths, [&](size_t i, const PreparedFile& prepared) {
      record(paths[i], commit_upd(paths[i], prepared));
    });
  }
  // Nothing refreshed of a list that names files is a failure, not a success
  // that changed nothing: the reasons went to standard error file by file.
  refreshed -= take_back_changed_files();
  if (!paths.empty() && refreshed == 0) return -1;
  if (save_json() != 0) return -1;
  if (tpm_chip_exist == 1) {
    for (int flag : kReferencePcrs) {
      DigestBlock value(emulate_pcr(flag));
      update_nv_space(value.get(), flag);
    }
  }
  return 0;
}

}  // namespace

int zotrust_add(const char* path) {
  if (path[0] != '/') {
    printf("input absolute path\n");
    tell_user("zotrust_add", std::string("refused \"") + path + "\": not an absolute path");
    return -1;
  }
  if (!std::string_view(path).starts_with("/boot/") && !std::string_view(path).starts_with("/etc/")) {
    writeLog(0, "only measure /boot/* and /etc/*, present path %s\n", path);
    tell_user("zotrust_add", std::string("refused \"") + path + "\": only files under /boot/ and /etc/ are measured");
    return -1;
  }
  if (!may_be_added(path)) return -1;
  DocumentSession session;
  PathListRepair repair;
  if (load_for_command(&repair) != 0) return -1;
  SlotUpdate slot("zotrust_add", path);
  // An add killed after its save left its entry last and without a line; the
  // repair wrote the line, and this add completes the rest.
  std::vector<std::string> listed = entry_paths();
  if (repair.in_step && !listed.empty() && listed.back() == path && contains(repair.added, path)) {
    // Only what is on disk now completes it: a line lost otherwise (a removed
    // or edited list) must not pass off a stale digest as this add's.
    if (!last_entry_measures_file_now(path)) {
      tell_user("zotrust_add", std::string("refused \"") + path + "\": already measured, and the file has changed since; "
                               "\"zovemo_config -u " + path + "\" measures it again");
      return -1;
    }
    if (!slot.apply()) return -1;
    printf("measure %s\n", escape_control_characters(path).c_str());
    return 0;
  }
  if (measurefile_add(path) != 0) return -1;
  // Room in the boot log for the new entry before the entry is committed.
  if (!grow_boot_log_for(json_object_array_length(file_list))) return -1;
  if (!slot.apply()) {
    resize_for_saved_document();
    return -1;
  }
  // The file must still be what was measured when the document is saved.
  if (take_back_changed_files() != 0) {
    slot.undo();
    std::string error;
    size_boot_log(json_object_array_length(file_list), &error);
    return -1;
  }
  if (save_with_slot(&slot) != 0) {
    resize_for_saved_document();
    return -1;
  }
  if (append_path_list(path)) return 0;
  // Without its line the entry would never be refreshed by update-all: take
  // the add back so the document, the list and the reference index agree.
  tell_user("zotrust_add", std::string("the path list ") + kPathListPath + " could not be extended; the add is taken back");
  json_object_array_del_idx(file_list, json_object_array_length(file_list) - 1, 1);
  if (save_json() == 0) {
    slot.undo();
    resize_boot_log_after_save("zotrust_add");
  }
  return -1;
}

int zotrust_del(const char* path) {
  DocumentSession session;
  PathListRepair repair;
  if (load_for_command(&repair) != 0) return -1;
  if (!repair.in_step) {
    writeLog(1, "main:zotrust_del() open \"%s\" failed\n", kPathListPath);
    return -1;
  }
  SlotUpdate slot("zotrust_del", path);
  // A delete killed after its save left the line of its entry; the repair
  // removed it, and this delete completes the rest.
  if (contains(repair.removed, path) && find_entry_by_sys_path(path) < 0) {
    if (!slot.apply()) return -1;
    printf("delete %s\n", escape_control_characters(path).c_str());
    return 0;
  }
  tell_if_no_entries(path);
  if (measurefile_del(path) != 0) return -1;
  if (!slot.apply()) return -1;
  if (save_with_slot(&slot) != 0) return -1;
  // The document first: a crash before the list is written leaves a stale
  // line that the next command removes. Once the document is saved the
  // delete is done, whatever follows.
  if (!write_path_list(entry_paths()))
    tell_user("zotrust_del", std::string("the path list ") + kPathListPath +
                                 " could not be rewritten; the entry is deleted, and the next command repairs the list");
  resize_boot_log_after_save("zotrust_del");
  return 0;
}

int zotrust_upd(const char* path) {
  DocumentSession session;
  PathListRepair repair;
  if (load_for_command(&repair) != 0) return -1;
  if (path == nullptr) return update_all();
  tell_if_no_entries(path);
  if (measurefile_upd(path) != 0) return -1;
  SlotUpdate slot("zotrust_upd", path);
  if (!slot.apply()) return -1;
  if (take_back_changed_files() != 0) {
    slot.undo();
    return -1;
  }
  return save_with_slot(&slot);
}
