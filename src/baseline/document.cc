#include "baseline/document.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <atomic>

#include "baseline/leftovers.h"
#include "support/durable_file.h"
#include "support/private_lock.h"
#include "support/tool_log.h"
#include "support/unique_fd.h"
#include "support/user_diagnostics.h"

json_object* root = nullptr;
json_object* file_list = nullptr;

namespace {
int lock_fd = -1;
unsigned long generation = 0;

void drop_document() {
  if (root != nullptr) json_object_put(root);
  root = nullptr;
  file_list = nullptr;
  ++generation;
}
}  // namespace

unsigned long document_generation() { return generation; }

namespace {
std::atomic<int> exclusive_lock_seconds{kBaselineLockSeconds};
}  // namespace

void set_baseline_lock_seconds_for_testing(int seconds) {
  exclusive_lock_seconds = seconds > 0 ? seconds : kBaselineLockSeconds;
}

// The lock is a root-only file under /run, not the document (replaced by
// rename, so a lock on its inode would serialise nothing) and not /boot
// (which any user can open, and so hold locked).
int lock_baseline() {
  if (lock_fd >= 0) return 0;
  std::string why_not;
  UniqueFd descriptor(open_private_lock(kBaselineLockPath, &why_not));
  bool busy = false;
  const int seconds = exclusive_lock_seconds.load();
  if (descriptor.get() < 0 || !take_lock_within(descriptor.get(), LOCK_EX, seconds, &busy, &why_not)) {
    tell_user("lock_baseline", busy ? std::string("the baseline is busy: its lock ") + kBaselineLockPath + " is " +
                                          why_not + "; nothing was changed, run the command again when it is done"
                                    : "cannot lock the baseline: " + why_not + "; nothing was changed");
    return -1;
  }
  lock_fd = descriptor.release();
  // A run killed while it replaced a file left its temporary file behind.
  remove_leftovers();
  return 0;
}

bool lock_baseline_shared(int wait_seconds, std::string* why_not) {
  if (lock_fd >= 0) return true;
  UniqueFd descriptor(open_private_lock(kBaselineLockPath, why_not));
  bool busy = false;
  if (descriptor.get() < 0 || !take_lock_within(descriptor.get(), LOCK_SH, wait_seconds, &busy, why_not)) {
    *why_not = busy ? "baseline busy: another command is changing it" : "cannot lock the baseline: " + *why_not;
    return false;
  }
  lock_fd = descriptor.release();
  return true;
}

void unlock_baseline() {
  if (lock_fd < 0) return;
  close(lock_fd);
  lock_fd = -1;
}

int init_json() {
  drop_document();
  root = json_object_new_object();
  json_object_object_add(root, "trust_startup", json_object_new_string("on"));
  json_object_object_add(root, "arrest_mode", json_object_new_string("log"));
  file_list = json_object_new_array();
  json_object_object_add(root, "list", file_list);
  return 0;
}

namespace {

// The first string member of the document or of an entry that holds a NUL,
// as "entry 3's sys_path", or "": such a text reads cut short at the NUL,
// so a stored path would name another file than the one measured.
std::string member_holding_nul(json_object* document) {
  auto holding_nul = [](json_object* object) -> std::string {
    if (!json_object_is_type(object, json_type_object)) return "";
    json_object_object_foreach(object, name, value) {
      if (json_object_is_type(value, json_type_string) &&
          strlen(json_object_get_string(value)) != static_cast<size_t>(json_object_get_string_len(value)))
        return name;
    }
    return "";
  };
  if (std::string name = holding_nul(document); !name.empty()) return name;
  json_object* list = nullptr;
  if (!json_object_object_get_ex(document, "list", &list) || !json_object_is_type(list, json_type_array)) return "";
  for (size_t i = 0; i < json_object_array_length(list); ++i) {
    if (std::string name = holding_nul(json_object_array_get_idx(list, i)); !name.empty())
      return "entry " + std::to_string(i + 1) + "'s " + name;
  }
  return "";
}

}  // namespace

json_object* read_baseline_document(std::string* why_not) {
  std::string text;
  if (!read_whole_file(kBaselinePath, &text, kBaselineDocumentLimit, why_not)) return nullptr;
  json_tokener* tokener = json_tokener_new();
  if (tokener == nullptr) {
    *why_not = std::string("cannot parse ") + kBaselinePath + ": out of memory";
    return nullptr;
  }
  json_object* document = json_tokener_parse_ex(tokener, text.data(), static_cast<int>(text.size()));
  const json_tokener_error parsed = json_tokener_get_error(tokener);
  if (document == nullptr || parsed != json_tokener_success) {
    // A document cut short parses as "continue": not a whole document either.
    *why_not = std::string("cannot parse ") + kBaselinePath + ": " +
               (parsed == json_tokener_continue ? "unexpected end of data" : json_tokener_error_desc(parsed));
    if (document != nullptr) json_object_put(document);
    document = nullptr;
  }
  json_tokener_free(tokener);
  if (document == nullptr) return nullptr;
  if (std::string member = member_holding_nul(document); !member.empty()) {
    *why_not = std::string(kBaselinePath) + " is damaged: " + member + " holds a NUL character";
    json_object_put(document);
    return nullptr;
  }
  return document;
}

int get_json() {
  if (access(kBaselinePath, F_OK) != 0) {
    printf("%s not exist, init first\n", kBaselinePath);
    return -1;
  }
  if (lock_baseline() != 0) {
    writeLog(1, "main:get_json() lock \"%s\" failed\n", kBaselineLockPath);
    return -1;
  }
  drop_document();
  std::string why_not;
  root = read_baseline_document(&why_not);
  if (root == nullptr) {
    tell_user("get_json", why_not);
    writeLog(1, "main:get_json() root is NULL\n");
    return -1;
  }
  json_object* list = nullptr;
  if (!json_object_is_type(root, json_type_object) || !json_object_object_get_ex(root, "list", &list) ||
      list == nullptr) {
    writeLog(1, "main:get_json() file_list is NULL\n");
    drop_document();
    return -1;
  }
  // Every later step indexes the list as an array; anything else is a damaged document.
  if (!json_object_is_type(list, json_type_array)) {
    writeLog(1, "main:get_json() file_list is not an array\n");
    drop_document();
    return -1;
  }
  file_list = list;
  ++generation;
  return 0;
}

int save_json() {
  if (root == nullptr) return -1;
  const char* text = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PRETTY);
  if (text == nullptr) {
    writeLog(1, "main:save_json() cannot print the document\n");
    return -1;
  }
  std::string error;
  if (!replace_file(kBaselinePath, text, &error)) {
    tell_user("save_json", "save failed: " + error + "; the previous " + kBaselinePath + " stays");
    return -1;
  }
  return 0;
}

void release_json() {
  drop_document();
  unlock_baseline();
}

int checkRepeat(const char* path) {
  if (access(kPathListPath, F_OK) != 0) {
    writeLog(1, "main:checkRepeat() not find \"%s\", init first\n", kPathListPath);
    return -1;
  }
  std::ifstream list(kPathListPath);
  if (!list) {
    writeLog(1, "main:checkRepeat() open \"%s\" failed\n", kPathListPath);
    return -1;
  }
  size_t length = strlen(path);
  for (std::string line; std::getline(list, line);) {
    if (line.compare(0, length, path) == 0) return 1;
  }
  return 0;
}
