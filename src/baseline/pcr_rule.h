// Which of the emulated reference PCRs (baseline/boot_files.h) a file
// belongs to: decided by its base name when it enters the baseline, and
// stored in its entry.
#pragma once

#include <json-c/json.h>

// Texts of the flags 8..12, indexed by flag - 8 ("10" exists, is never used).
extern const char* const pcr_flag_to_str[5];

// The PCR the boot-file name rules give the base name of `path`
// (pcr_of_name in baseline/boot_files.h), case-sensitive.
int get_pcrFlag(const char* path);

// The entry's "pcr" as a number: one or two decimal digits; -1 when it is
// missing, not a string or anything else (such an entry belongs to no PCR).
int entry_pcr(json_object* entry);
