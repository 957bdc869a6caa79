#include "commands/init.h"
#include "commands/pre_start.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include "baseline/document.h"
#include "baseline/entries.h"
#include "baseline/recovery.h"
#include "baseline/reservation.h"
#include "baseline/discovery.h"
#include "bootpath/translation.h"
#include "support/durable_file.h"
#include "bootpath/grub_tools.h"
#include "support/worker_pool.h"
#include "baseline/path_list.h"
#include "support/platform_programs.h"
#include "support/tool_log.h"
#include "tpm/nv_store.h"
#include "support/user_diagnostics.h"

namespace {

size_t entry_count() { return file_list != nullptr ? json_object_array_length(file_list) : 0; }

// The discovered files, in discovery order: measured into the new baseline
// before anything on disk changes.
std::vector<std::string> discovered;

constexpr size_t kLeftOutNamed = 3;

std::string describe_left_out(const std::vector<std::string>& left_out, size_t found) {
  std::string text = std::to_string(left_out.size()) + " of " + std::to_string(found) +
                     " boot files found are left out of the baseline: ";
  for (size_t i = 0; i < left_out.size() && i < kLeftOutNamed; ++i) text += (i ? ", " : "") + left_out[i];
  if (left_out.size() > kLeftOutNamed) text += ", ...";
  return text;
}

}  // namespace

int zotrust_init() {
  if (before_start_proc() != 0) return -1;
  DocumentSession session;
  if (lock_baseline() != 0) {
    writeLog(1, "main:zotrust_init() lock \"%s\" failed\n", kBaselineLockPath);
    return -1;
  }
  int result = create_measurefiles_list();
  if (result != 0) return result;
  // A baseline that was not saved keeps its own boot log reservation; one
  // that was saved is the result, whatever follows it.
  if (create_measurefile() != 0) return -1;
  resize_boot_log_after_save("zotrust_init");
  return 0;
}

int create_measurefiles_list() {
  discovered.clear();
  BootFileDiscovery discovery = discover_boot_files();
  if (!discovery.complete) {
    tell_user("create_measurefiles_list", "discovery of the boot files failed: " + discovery.failure +
                                              "; nothing was changed");
    return -1;
  }
  for (const auto& file : discovery.unlistable)
    tell_user_about_file("create_measurefiles_list", file.reason + ", left out", file.path);
  for (auto& file : discovery.files) discovered.push_back(std::move(file.path));
  if (discovered.empty()) {
    // A baseline that names no file would pass every boot unchecked.
    tell_user("create_measurefiles_list", "discovery found no boot file under /boot; nothing was changed");
    return -1;
  }
  return 0;
}

int create_measurefile() {
  init_json();
  size_t measured = 0;
  std::vector<std::string> left_out;
  auto record = [&](const std::string& path, int result) {
    if (result != 0) {
      writeLog(0, "main:create_measurefile() init add \"%s\" failed\n", path.c_str());
      left_out.push_back(path);
    } else {
      ++measured;
    }
  };
  BootPathReuse reuse;
  if (pool_size() == 1) {
    for (const auto& path : discovered) record(path, measurefile_add(path.c_str()));
  } else {
    for_each_prepared(discovered, [&](size_t i, const PreparedFile& prepared) {
      record(discovered[i], commit_add(discovered[i], prepared));
    });
  }
  measured -= take_back_changed_files();
  if (measured == 0) {
    // A baseline that names no file would pass every boot unchecked.
    tell_user("create_measurefile", "none of the " + std::to_string(discovered.size()) +
                                        " boot files found could be measured; the previous baseline is kept");
    return -1;
  }
  if (!left_out.empty()) tell_user("create_measurefile", describe_left_out(left_out, discovered.size()));
  // The document first, then the list that follows it: until the list is
  // written the old document and its list stand together, and a crash in
  // between leaves a list that the next command rebuilds from the document.
  // The reservation must hold the new baseline's entries before the
  // baseline is saved: a larger one left by a failed save only wastes room.
  if (!grow_boot_log_for(entry_count())) return -1;
  if (save_json() != 0) return -1;
  if (!write_path_list(entry_paths()))
    tell_user("create_measurefile", std::string("the path list ") + kPathListPath +
                                        " could not be rewritten; the baseline was saved, and the next command "
                                        "repairs the list");
  if (tpm_chip_exist == 1) init_measure_tpm_exist();
  return 0;
}

int fill_grub_log() {
  std::string error;
  if (!size_boot_log(entry_count(), &error)) {
    tell_user("fill_grub_log", error);
    return -1;
  }
  return 0;
}
