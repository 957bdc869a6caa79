// The tests' one reader of the baseline document on disk, and the reference
// values a verifier would compute from it, independently of the tool's code.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace stored {

struct Entry {
  std::string grub_path, sys_path, value, type, stage, pcr, time;
};

// The entries in list order; empty when the document is missing or damaged.
// A member that is absent or not a text reads as "".
std::vector<Entry> entries();

// A member of the document itself ("trust_startup", "arrest_mode");
// "<unparsable>" when the document cannot be read.
std::string top_member(const char* name);

// "measure_base_value" of the entry stored under `sys_path`, or "".
std::string value_of(const std::string& sys_path);

// The reference value (32 bytes) of each emulated PCR, "8", "9", "11", "12":
// SM3 over its entries' texts in list order (each padded with zero bytes to
// 64), SM3 again, then one extend from zero; 32 zero bytes for a PCR without
// entries.
std::map<std::string, std::string> reference_values();

}  // namespace stored
