// Locks that only root can take.
//
// An advisory lock on anything another user can open (the /boot directory,
// a directory of metrics files) lets that user hold it and stall every
// command that waits for it. The tool's locks are files of mode 0600 in a
// root-owned directory of mode 0700 under /run: nobody else can open them,
// so nobody else can hold them. Every wait for one is bounded.
#pragma once

#include <string>

// The directory of the locks; made at first use (it is on a tmpfs, gone at
// each boot).
inline constexpr const char kLockDirectory[] = "/run/zovemo";
// The lock of the baseline: exclusive for a command that changes it, shared
// for a reader (zovemo_status, the package hook).
inline constexpr const char kBaselineLockPath[] = "/run/zovemo/baseline.lock";
// Taken while a metrics file is replaced.
inline constexpr const char kMetricsLockPath[] = "/run/zovemo/metrics.lock";

// Opens the lock file `path` (a name in kLockDirectory), creating the
// directory and the file where they are missing, without following a link.
// Refuses a directory or file that is not root's own, is writable (the file:
// readable) by others, or is not of its type. The descriptor, or -1 with the
// reason in `why_not`.
int open_private_lock(const char* path, std::string* why_not);

// Takes flock `operation` (LOCK_EX or LOCK_SH) on `descriptor`, waiting at
// most `seconds`. False when it could not: `*busy` tells whether another
// process held it all that time, `why_not` says why, naming the holder when
// the system can tell (see lock_holders).
bool take_lock_within(int descriptor, int operation, int seconds, bool* busy, std::string* why_not);

// Who holds a lock on the file of `descriptor`, from /proc/locks:
// "process 1234 (zovemo_config)", several joined by ", ", or "" when no
// holder can be named.
std::string lock_holders(int descriptor);
