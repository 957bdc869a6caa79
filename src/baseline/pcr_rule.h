// Which of the emulated PCRs 8, 9, 11, 12 a file belongs to: decided by its
// base name when it enters the baseline, and stored in its entry.
#pragma once

#include <json-c/json.h>

// Texts of the flags 8..12, indexed by flag - 8 ("10" exists, is never used).
extern const char* const pcr_flag_to_str[5];

// 9 for "vmlinuz*", 11 for "initramfs*" and "initrd*", 8 for "*.cfg", else 12;
// tested on the base name, case-sensitive, in that order.
int get_pcrFlag(const char* path);

// The entry's "pcr" as a number: one or two decimal digits; -1 when it is
// missing, not a string or anything else (such an entry belongs to no PCR).
int entry_pcr(json_object* entry);
