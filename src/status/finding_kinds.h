// What each kind of finding of the drift report is, said once: one row of a
// table (finding_kinds.cc) per FindingKind gives its name, whether it is
// drift, whether it stops the next boot, whether the monitoring line counts
// it by name, and how it is told to a person and in JSON. kind_name,
// is_drift and stops_boot (drift_report.h) and the lists and forms below
// only read that table; a kind without its row, or rows out of the order of
// the enumeration, do not compile.
#pragma once

#include <json-c/json.h>

#include <span>
#include <string>

#include "status/drift_report.h"

namespace drift {

// Every drift kind, in the order of the enumeration.
extern const std::span<const FindingKind> kDriftKinds;
// The drift kinds counted one by one in the monitoring line's performance
// data, in the order of the enumeration; other drift is summed as
// "other_drift".
extern const std::span<const FindingKind> kFileKinds;

// The human form of a finding: what it concerns, told after its kind's name.
std::string describe(const Finding& item);
// The JSON form of a finding: "kind", "drift", what it concerns, the members
// of its kind, and "reason" when there is one. The caller owns the object.
json_object* finding_json(const Finding& item);

// Adds a text member, always valid UTF-8: a text that is not (a file name of
// other bytes) holds U+FFFD for each stray byte and comes with a member
// "<name>_hex" holding all its bytes. `empty_is_null` gives null for "".
void add_string(json_object* object, const char* name, const std::string& value, bool empty_is_null = false);

}  // namespace drift
