#include "baseline/policy.h"

#include <cstdio>
#include <cstring>

#include "baseline/document.h"
#include "support/tool_log.h"
#include "support/user_diagnostics.h"

namespace {

bool member_is(const char* name, const char* value) {
  json_object* member = nullptr;
  return json_object_object_get_ex(root, name, &member) && json_object_is_type(member, json_type_string) &&
         strcmp(json_object_get_string(member), value) == 0;
}

void set_member(const char* name, const char* value) {
  json_object_object_add(root, name, json_object_new_string(value));
}

// Copies `text` into retVal; nullptr when it does not fit whole.
char* fill_retVal(const char* text) {
  if (text == nullptr || strlen(text) >= sizeof retVal) return nullptr;
  memset(retVal, 0, sizeof retVal);
  memcpy(retVal, text, strlen(text));
  return retVal;
}

// Loads the document unless one is held; the getters drop it afterwards either way.
bool ensure_loaded() { return root != nullptr || get_json() == 0; }

}  // namespace

int set_trust_startup(const char* mode) {
  if (strcmp(mode, "on") != 0 && strcmp(mode, "off") != 0) {
    writeLog(0, "main:set_trust_startup() Not find input Mode: %s\n", mode);
    return -1;
  }
  DocumentSession session;
  if (get_json() != 0) return -1;
  set_member("trust_startup", mode);
  if (strcmp(mode, "off") == 0) set_member("arrest_mode", "log");
  return save_json();
}

int set_arrest_mode(const char* mode) {
  if (strcmp(mode, "log") != 0 && strcmp(mode, "dialog") != 0) {
    writeLog(0, "main:set_arrest_mode() Not find input Mode: %s\n", mode);
    return -1;
  }
  DocumentSession session;
  if (get_json() != 0) return -1;
  if (!member_is("trust_startup", "on")) {
    printf("start trust_startup first\n");
    tell_user("set_arrest_mode", "trusted start-up is off, and the arrest mode can only be set while it is on; "
                                 "\"zovemo_config -b -v 1\" switches it on");
    return -1;
  }
  set_member("arrest_mode", mode);
  return save_json();
}

char* get_trust_startup() {
  if (!ensure_loaded()) return nullptr;
  DocumentSession session;
  json_object* member = nullptr;
  if (!json_object_object_get_ex(root, "trust_startup", &member) || !json_object_is_type(member, json_type_string))
    return nullptr;
  return fill_retVal(json_object_get_string(member));
}

char* get_arrest_mode() {
  if (!ensure_loaded()) return nullptr;
  DocumentSession session;
  json_object* member = json_object_object_get(root, "arrest_mode");
  return fill_retVal(json_object_to_json_string_ext(member, JSON_C_TO_STRING_PRETTY));
}
