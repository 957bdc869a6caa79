#include "baseline/document.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <vector>

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

// The first member that an object of the document names twice, as "\"list\""
// or "entry 3's \"time\"", or "": the parser keeps only the last of them,
// so the next save would silently drop what the first one held. Walks the
// text the parser accepted (strings in either quote, comments).
std::string member_named_twice(const std::string& text) {
  struct Frame {
    bool object = false;
    bool expecting_name = false;
    size_t element = 0;  // arrays: which element the walk is in
    std::set<std::string> names;
  };
  std::vector<Frame> frames;
  auto where = [&frames](const std::string& name) {
    std::string quoted = "\"" + name + "\"";
    // An entry of the top-level "list": depth 2 is the list, depth 3 the entry.
    if (frames.size() == 3 && !frames[1].object) return "entry " + std::to_string(frames[1].element + 1) + "'s " + quoted;
    return quoted;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      const size_t start = i;
      for (++i; i < text.size() && text[i] != c; ++i)
        if (text[i] == '\\') ++i;
      if (frames.empty() || !frames.back().object || !frames.back().expecting_name) continue;
      frames.back().expecting_name = false;
      std::string name = text.substr(start + 1, i - start - 1);
      if (c == '"' && name.find('\\') != std::string::npos) {
        // The name as the parser decoded it, escapes and all.
        if (json_object* decoded = json_tokener_parse(text.substr(start, i - start + 1).c_str())) {
          name.assign(json_object_get_string(decoded), static_cast<size_t>(json_object_get_string_len(decoded)));
          json_object_put(decoded);
        }
      }
      if (!frames.back().names.insert(name).second) return where(name);
    } else if (c == '/' && i + 1 < text.size() && (text[i + 1] == '/' || text[i + 1] == '*')) {
      const size_t end = text[i + 1] == '/' ? text.find('\n', i + 2) : text.find("*/", i + 2);
      i = end == std::string::npos ? text.size() : end + (text[i + 1] == '*' ? 1 : 0);
    } else if (c == '{' || c == '[') {
      frames.push_back(Frame{c == '{', c == '{', 0, {}});
    } else if (c == '}' || c == ']') {
      if (!frames.empty()) frames.pop_back();
    } else if (c == ',' && !frames.empty()) {
      if (frames.back().object) frames.back().expecting_name = true;
      else ++frames.back().element;
    }
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
  const size_t parse_end = json_tokener_get_parse_end(tokener);
  if (document != nullptr && parsed == json_tokener_success &&
      text.find_first_not_of(" \t\r\n", parse_end) != std::string::npos) {
    // Whatever follows the document would be dropped by the next save.
    *why_not = std::string(kBaselinePath) + " is damaged: data follows the document at byte " +
               std::to_string(parse_end);
    json_object_put(document);
    json_tokener_free(tokener);
    return nullptr;
  }
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
  if (std::string member = member_named_twice(text); !member.empty()) {
    *why_not = std::string(kBaselinePath) + " is damaged: member " + member + " appears twice";
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
    tell_user("get_json", std::string(kBaselinePath) + " is damaged: " +
                              (json_object_is_type(root, json_type_object) ? "it has no \"list\""
                                                                           : "its top level is not an object") +
                              "; \"zovemo_config -i\" makes a new baseline");
    writeLog(1, "main:get_json() file_list is NULL\n");
    drop_document();
    return -1;
  }
  // Every later step indexes the list as an array; anything else is a damaged document.
  if (!json_object_is_type(list, json_type_array)) {
    tell_user("get_json", std::string(kBaselinePath) + " is damaged: its \"list\" is not an array; "
                                                       "\"zovemo_config -i\" makes a new baseline");
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
  size_t length = 0;
  const char* text = json_object_to_json_string_length(root, JSON_C_TO_STRING_PRETTY, &length);
  if (text == nullptr) {
    writeLog(1, "main:save_json() cannot print the document\n");
    return -1;
  }
  // A document that every later command would refuse to read is never written.
  if (length > kBaselineDocumentLimit) {
    tell_user("save_json", "save refused: the baseline would be " + std::to_string(length) +
                               " bytes, more than the limit of " + std::to_string(kBaselineDocumentLimit) +
                               " bytes; the previous " + kBaselinePath + " stays");
    return -1;
  }
  std::string error;
  if (!replace_file(kBaselinePath, std::string_view(text, length), &error)) {
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
