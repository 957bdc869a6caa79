#include "file_commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "baseline_document.h"
#include "baseline_entries.h"
#include "boot_path.h"
#include "init_command.h"
#include "measurement_pool.h"
#include "path_list.h"
#include "pcr_emulation.h"
#include "tool_log.h"
#include "tpm_store.h"

namespace {

struct FreeDeleter {
  void operator()(uint8_t* block) const { free(block); }
};
using DigestBlock = std::unique_ptr<uint8_t, FreeDeleter>;

// Rewrites the reference slot of the file's PCR; remembers the slot's former
// content so a failed save can put it back. Logs under the command's name.
class SlotUpdate {
 public:
  SlotUpdate(const char* command, const char* path) : command_(command), flag_(get_pcrFlag(path)) {}

  bool apply() {
    if (tpm_chip_exist != 1) return true;
    have_previous_ = read_nv_slot(flag_, previous_) == 0;
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

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

int load_for_command() {
  if (before_start_proc() != 0) return -1;
  return get_json();
}

int save_with_slot(SlotUpdate* slot) {
  if (save_json() == 0) return 0;
  slot->undo();
  return -1;
}

int update_all() {
  std::vector<std::string> paths;
  if (!read_path_list(&paths)) {
    writeLog(1, "main:zotrust_upd() open \"%s\" failed\n", kPathListPath);
    return -1;
  }
  auto record = [](const std::string& path, int result) {
    if (result != 0) writeLog(0, "all:upd \"%s\" failed\n", path.c_str());
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
  if (save_json() != 0) return -1;
  if (tpm_chip_exist == 1) {
    for (int flag : {8, 9, 11, 12}) {
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
    return -1;
  }
  if (!starts_with(path, "/boot/") && !starts_with(path, "/etc/")) {
    writeLog(0, "only measure /boot/* and /etc/*, present path %s\n", path);
    return -1;
  }
  if (!fits_path_list(path)) {
    writeLog(1, "main:zotrust_add() a path holding a line end cannot be listed, refused: %s\n", path);
    return -1;
  }
  DocumentSession session;
  if (load_for_command() != 0) return -1;
  if (measurefile_add(path) != 0) return -1;
  SlotUpdate slot("zotrust_add", path);
  if (!slot.apply()) return -1;
  if (save_with_slot(&slot) != 0) return -1;
  if (append_path_list(path) == 0) return 0;
  // Without its line the entry would never be refreshed by update-all: take
  // the add back so the document, the list and the reference index agree.
  json_object_array_del_idx(file_list, json_object_array_length(file_list) - 1, 1);
  if (save_json() == 0) slot.undo();
  return -1;
}

int zotrust_del(const char* path) {
  DocumentSession session;
  if (load_for_command() != 0) return -1;
  std::vector<std::string> paths;
  if (!read_path_list(&paths)) {
    writeLog(1, "main:zotrust_del() open \"%s\" failed\n", kPathListPath);
    return -1;
  }
  if (measurefile_del(path) != 0) return -1;
  SlotUpdate slot("zotrust_del", path);
  if (!slot.apply()) return -1;
  if (save_with_slot(&slot) != 0) return -1;
  // Only the line naming exactly this file goes; /boot/a.bak stays for /boot/a.
  std::vector<std::string> kept;
  for (auto& line : paths) {
    if (line != path) kept.push_back(std::move(line));
  }
  return write_path_list(kept);
}

int zotrust_upd(const char* path) {
  DocumentSession session;
  if (load_for_command() != 0) return -1;
  if (path == nullptr) return update_all();
  if (measurefile_upd(path) != 0) return -1;
  SlotUpdate slot("zotrust_upd", path);
  if (!slot.apply()) return -1;
  return save_with_slot(&slot);
}
