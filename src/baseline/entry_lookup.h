// Finding a baseline entry by its boot path, the entry's identity: a file is
// translated afresh and compared with every stored "grub_path" in list order;
// the first match wins.
//
// The comparison goes through an index of the loaded list (boot path and
// "sys_path" to the first entry holding it), so a command that looks up
// every file costs time linear in the entries. The index follows the list:
// it is rebuilt whenever the document was dropped or reloaded, or the list's
// length changed by anything but note_entry_appended().
#pragma once

#include <json-c/json.h>

#include <string>

// The text of an entry's string member `name`; nullptr when the entry is not
// an object or the member is missing or not a string. The one reader of
// entry members, so every module treats a damaged entry alike.
const char* stored_member(json_object* entry, const char* name);

// Index of the first entry whose boot path equals that of `path`, or -1 (an
// empty list and a failed translation are logged).
int get_json_idx(const char* path);

// The same search for a boot path already translated; logs the empty list.
int find_entry_index(const std::string& boot_path);

// The search of a command that changes the entry of `path`: when no entry
// has the boot path but one holds the file under another, the disk names
// changed since the baseline was made, and the administrator is told so;
// a file that no entry holds at all is told as not in the baseline.
int find_entry_of_file(const char* source, const std::string& path, const std::string& boot_path);

// The entry a delete removes: found by boot path like every lookup, except
// for a file that no longer exists. The GRUB tools cannot place a vanished
// file, and removing the entry of a boot file that is gone is the common
// delete, so its entry is the one recorded under the path itself. -1 (told)
// when there is none.
int find_entry_to_delete(const char* path);

// Index of the first entry whose "sys_path" is exactly `path`, or -1.
int find_entry_by_sys_path(const std::string& path);

// Keeps the index in step with an entry just appended to the list.
void note_entry_appended();

// 0 when `stored`, with every backslash and double quote left out, equals
// `fresh` exactly; -1 otherwise.
int contrast_jsonStr(const char* stored, const char* fresh);

// The stored "measure_base_value" of `path` as JSON text (quoted), owned by
// the document; nullptr when there is no document or no entry.
const char* get_base_value(const char* path);
