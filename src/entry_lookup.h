// Finding a baseline entry by its boot path, the entry's identity: a file is
// translated afresh and compared with every stored "grub_path" in list order;
// the first match wins.
#pragma once

#include <string>

// Index of the first entry whose boot path equals that of `path`, or -1 (an
// empty list and a failed translation are logged).
int get_json_idx(const char* path);

// The same search for a boot path already translated; logs the empty list.
int find_entry_index(const std::string& boot_path);

// 0 when `stored`, with every backslash and double quote left out, equals
// `fresh` exactly; -1 otherwise.
int contrast_jsonStr(const char* stored, const char* fresh);

// The stored "measure_base_value" of `path` as JSON text (quoted), owned by
// the document; nullptr when there is no document or no entry.
const char* get_base_value(const char* path);
