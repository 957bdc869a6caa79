// The files of the baseline, all in /boot: the document is the record, the
// path list and the boot log reservation follow it.
#pragma once

inline constexpr const char* kBaselinePath = "/boot/.vemobase";
inline constexpr const char* kPathListPath = "/boot/.vemobase.tmp";
inline constexpr const char* kPathListScratch = "/boot/.vemobase.swp";
inline constexpr const char* kBootLogPath = "/boot/.vemolog";
