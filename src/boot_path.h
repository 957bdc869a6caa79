// Boot path translation: a file-system path becomes the boot loader's own
// form of it, "(" device part ")" path on device, asked of the GRUB probe and
// relative-path tools. Two local rules apply on top:
//  - a device part "lvmid..." becomes "lvm/" + base name of the device node
//    that df reports for the path (second output line, first field);
//  - on a machine whose firmware names "Huawei" as manufacturer, the disk
//    number of a device part "hd<N>..." is raised by one (hd9 -> hd10).
// Paths reach the tools as one argument each, never through a shell. Results
// of any length are handled whole. Translations are thread-safe.
#pragma once

#include <string>

// Newly malloc'ed path on device, or nullptr; the caller frees it.
char* grub_mkrelpath(const char* path);

// Newly malloc'ed boot path, or nullptr when the translation fails; the
// caller frees it. Prints and logs nothing.
char* concatenate_json_string(const char* path);

// The same translation as a string; false when it fails.
bool translate_boot_path(const std::string& path, std::string* boot_path);

// Raises the disk number after "hd" by one in decimal; other texts unchanged.
std::string raise_disk_number(const std::string& device);

// Forgets the cached manufacturer answer; only tests need it.
void reset_manufacturer_query();
