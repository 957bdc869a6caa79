#include "status/finding_kinds.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "baseline/boot_files.h"
#include "baseline/files.h"
#include "support/visible_text.h"

namespace drift {
namespace {

// What the JSON form names first, after "kind" and "drift".
enum class Subject {
  kPath,       // "path", always
  kPathIfAny,  // "path" when the finding concerns one
  kIndex,      // "index": the NV index, "0x..."
};

struct KindRow {
  FindingKind kind;
  const char* name;         // the word that names it in every output
  bool drift = false;       // drift, rather than "not checked"
  bool stops_boot = false;  // drift the boot itself notices: an arresting policy stops the boot
  bool file_kind = false;   // counted by name in the monitoring line's performance data
  std::string (*human)(const Finding&) = nullptr;  // the human line after the name
  Subject subject = Subject::kPath;
  void (*members)(const Finding&, json_object*) = nullptr;  // the kind's own JSON members, after the subject
};

std::string index_text(unsigned index) {
  char text[16];
  snprintf(text, sizeof text, "0x%x", index);
  return text;
}

std::string nv(const Finding& item) { return "NV " + index_text(item.index); }
std::string or_empty(const std::string& text) { return text.empty() ? "(empty)" : text; }
std::string path_and_reason(const Finding& item) { return item.path + ": " + item.reason; }
std::string reason_alone(const Finding& item) { return item.reason; }
void add_class(const Finding& item, json_object* object) {
  add_string(object, "class", boot_file_class_name(item.file_class));
}
// A PCR's value as stored and, named `now_name`, as it should be or is now.
void add_pcr_values(const Finding& item, json_object* object, const char* now_name) {
  json_object_object_add(object, "pcr", json_object_new_int(item.pcr));
  add_string(object, "stored", item.stored);
  add_string(object, now_name, item.current);
}

// One row per kind, in the order of FindingKind.
constexpr KindRow kKinds[] = {
    {.kind = FindingKind::kChanged, .name = "changed", .drift = true, .stops_boot = true, .file_kind = true,
     .human =
         [](const Finding& item) { return item.path + ": stored " + or_empty(item.stored) + ", now " + item.current; },
     .members =
         [](const Finding& item, json_object* object) {
           add_string(object, "stored", item.stored);
           add_string(object, "current", item.current);
         }},
    {.kind = FindingKind::kMissing, .name = "missing", .drift = true, .stops_boot = true, .file_kind = true,
     .human = [](const Finding& item) { return item.path + ": no such file"; }},
    {.kind = FindingKind::kSymlink, .name = "symlink", .drift = true, .stops_boot = true, .file_kind = true,
     .human = [](const Finding& item) { return item.path + ": now a symbolic link"; }},
    {.kind = FindingKind::kNewFile, .name = "new_file", .drift = true, .stops_boot = true, .file_kind = true,
     .human =
         [](const Finding& item) {
           return item.path + ": not in the baseline (" + boot_file_class_name(item.file_class) + ")";
         },
     .members = add_class},
    {.kind = FindingKind::kPathListMissing, .name = "path_list_missing", .drift = true,
     .human = [](const Finding& item) { return item.path + ": the path list does not exist"; }},
    {.kind = FindingKind::kUnlistedEntry, .name = "unlisted_entry", .drift = true,
     .human = [](const Finding& item) { return item.path + ": entry without a line in " + kPathListPath; }},
    {.kind = FindingKind::kUnmatchedLine, .name = "unmatched_line", .drift = true,
     .human = [](const Finding& item) { return item.path + ": line of " + kPathListPath + " without an entry"; }},
    {.kind = FindingKind::kSlotDiffers, .name = "slot_differs", .drift = true, .stops_boot = true,
     .human =
         [](const Finding& item) {
           return "PCR " + std::to_string(item.pcr) + " slot of " + nv(item) + ": stored " + item.stored +
                  ", the baseline gives " + item.current;
         },
     .subject = Subject::kIndex,
     .members = [](const Finding& item, json_object* object) { add_pcr_values(item, object, "expected"); }},
    {.kind = FindingKind::kReferenceIndexMissing, .name = "reference_index_missing", .drift = true, .stops_boot = true,
     .human = [](const Finding& item) { return nv(item) + " (reference values) is not defined"; },
     .subject = Subject::kIndex},
    {.kind = FindingKind::kSnapshotIndexMissing, .name = "snapshot_index_missing", .drift = true, .stops_boot = true,
     .human = [](const Finding& item) { return nv(item) + " (PCR snapshot) is not defined"; },
     .subject = Subject::kIndex},
    {.kind = FindingKind::kSnapshotDiffers, .name = "snapshot_differs", .drift = true, .stops_boot = true,
     .human =
         [](const Finding& item) {
           return "PCR " + std::to_string(item.pcr) + " (SM3-256) of the TPM: the snapshot in " + nv(item) + " holds " +
                  item.stored + ", the TPM now " + item.current;
         },
     .subject = Subject::kIndex,
     .members = [](const Finding& item, json_object* object) { add_pcr_values(item, object, "current"); }},
    {.kind = FindingKind::kIndexRedefined, .name = "index_redefined", .drift = true, .stops_boot = true,
     .human =
         [](const Finding& item) {
           return nv(item) + " is not defined as zovemo_config -i defines it (" + item.current +
                  "): redefined by someone else, its contents are not trusted";
         },
     .subject = Subject::kIndex,
     .members = [](const Finding& item, json_object* object) { add_string(object, "difference", item.current); }},
    {.kind = FindingKind::kBootPathChanged, .name = "boot_path_changed", .drift = true, .stops_boot = true,
     .file_kind = true,
     .human =
         [](const Finding& item) {
           std::string text = item.path + ": boot path changed, stored " + or_empty(item.stored) + ", now " +
                              (item.current.empty() ? "unknown" : item.current);
           if (item.holders > 1) text += "; " + std::to_string(item.holders) + " entries hold this file";
           return text;
         },
     .members =
         [](const Finding& item, json_object* object) {
           add_string(object, "stored", item.stored);
           add_string(object, "current", item.current, true);
           if (item.holders > 1)
             json_object_object_add(object, "holders", json_object_new_int64(static_cast<int64_t>(item.holders)));
         }},
    {.kind = FindingKind::kLeftoverTemporary, .name = "leftover_temporary", .drift = true, .file_kind = true,
     .human = [](const Finding& item) { return item.path + ": temporary file left by an interrupted command"; }},
    {.kind = FindingKind::kReservationUndersized, .name = "reservation_undersized", .drift = true,
     .human =
         [](const Finding& item) {
           return item.path + ": boot log reservation " +
                  (item.stored.empty() ? "missing" : "of " + item.stored + " bytes") + ", the entries need " +
                  item.current;
         },
     .members =
         [](const Finding& item, json_object* object) {
           json_object_object_add(object, "size",
                                  item.stored.empty() ? nullptr : json_object_new_int64(std::stoll(item.stored)));
           json_object_object_add(object, "needed", json_object_new_int64(std::stoll(item.current)));
         }},
    {.kind = FindingKind::kUnstorableFile, .name = "unstorable_file", .drift = true, .stops_boot = true,
     .human =
         [](const Finding& item) {
           return item.path + ": not in the baseline and cannot be (" + boot_file_class_name(item.file_class) +
                  "): " + item.reason;
         },
     .members = add_class},
    {.kind = FindingKind::kWrongPcr, .name = "wrong_pcr", .drift = true, .stops_boot = true,
     .human =
         [](const Finding& item) {
           return item.path + ": " + (item.stored.empty() ? "no \"pcr\"" : "\"pcr\" \"" + item.stored + "\"") +
                  ", but the file belongs to PCR " + item.current;
         },
     .members =
         [](const Finding& item, json_object* object) {
           add_string(object, "stored", item.stored, true);
           add_string(object, "expected", item.current);
         }},
    {.kind = FindingKind::kUnreadable, .name = "unreadable", .human = path_and_reason},
    {.kind = FindingKind::kInvalidEntry, .name = "invalid_entry", .human = reason_alone,
     .subject = Subject::kPathIfAny},
    {.kind = FindingKind::kPathListUnreadable, .name = "path_list_unreadable", .human = path_and_reason},
    {.kind = FindingKind::kTpmUnreadable, .name = "tpm_unreadable",
     .human = [](const Finding& item) { return nv(item) + ": " + item.reason; }, .subject = Subject::kIndex},
    {.kind = FindingKind::kSnapshotUnchecked, .name = "snapshot_unchecked",
     .human =
         [](const Finding& item) {
           return nv(item) + " (PCR snapshot) not compared with the TPM's PCRs 0-7: " + item.reason;
         },
     .subject = Subject::kIndex},
    {.kind = FindingKind::kBootPathUnchecked, .name = "boot_path_unchecked",
     .human =
         [](const Finding& item) {
           return item.path.empty() ? item.reason : item.path + ": boot path not checked: " + item.reason;
         },
     .subject = Subject::kPathIfAny},
    {.kind = FindingKind::kDiscoveryFailed, .name = "discovery_failed", .human = reason_alone,
     .subject = Subject::kPathIfAny},
};

constexpr bool rows_in_order() {
  for (size_t at = 0; at < std::size(kKinds); ++at)
    if (static_cast<size_t>(kKinds[at].kind) != at) return false;
  return true;
}

constexpr bool rows_whole() {
  for (const auto& row : kKinds) {
    if (row.name == nullptr || row.name[0] == '\0' || row.human == nullptr) return false;
    // Only drift stops a boot or is counted with the files.
    if ((row.stops_boot || row.file_kind) && !row.drift) return false;
  }
  for (size_t at = 0; at < std::size(kKinds); ++at)
    for (size_t other = at + 1; other < std::size(kKinds); ++other)
      if (std::string_view(kKinds[at].name) == kKinds[other].name) return false;
  return true;
}

static_assert(std::size(kKinds) == static_cast<size_t>(FindingKind::kCount), "one row for every kind of finding");
static_assert(rows_in_order(), "the rows stand in the order of FindingKind");
static_assert(rows_whole(), "every row has a name of its own and a human form; only drift stops a boot");

// The kinds whose row has `trait`, in the order of the table.
template <bool KindRow::*trait>
constexpr auto kinds_with() {
  constexpr auto count = static_cast<size_t>(
      std::count_if(std::begin(kKinds), std::end(kKinds), [](const KindRow& row) { return row.*trait; }));
  std::array<FindingKind, count> kinds{};
  size_t at = 0;
  for (const auto& row : kKinds)
    if (row.*trait) kinds[at++] = row.kind;
  return kinds;
}

constexpr auto kDriftKindList = kinds_with<&KindRow::drift>();
constexpr auto kFileKindList = kinds_with<&KindRow::file_kind>();

// What a kind the table does not hold would be told as: never made.
constexpr KindRow kUnknownRow = {.kind = FindingKind::kCount, .name = "unknown", .drift = true, .stops_boot = true,
                                 .human = [](const Finding& item) { return item.path; }};

const KindRow& row_of(FindingKind kind) {
  auto at = static_cast<size_t>(kind);
  return at < std::size(kKinds) ? kKinds[at] : kUnknownRow;
}

}  // namespace

const std::span<const FindingKind> kDriftKinds(kDriftKindList);
const std::span<const FindingKind> kFileKinds(kFileKindList);

const char* kind_name(FindingKind kind) { return row_of(kind).name; }

bool is_drift(FindingKind kind) { return row_of(kind).drift; }

bool stops_boot(FindingKind kind) { return row_of(kind).stops_boot; }

std::string describe(const Finding& item) { return row_of(item.kind).human(item); }

json_object* finding_json(const Finding& item) {
  const KindRow& row = row_of(item.kind);
  json_object* object = json_object_new_object();
  add_string(object, "kind", row.name);
  json_object_object_add(object, "drift", json_object_new_boolean(row.drift));
  switch (row.subject) {
    case Subject::kIndex:
      add_string(object, "index", index_text(item.index));
      break;
    case Subject::kPathIfAny:
      if (!item.path.empty()) add_string(object, "path", item.path);
      break;
    case Subject::kPath:
      add_string(object, "path", item.path);
      break;
  }
  if (row.members != nullptr) row.members(item, object);
  if (!item.reason.empty()) add_string(object, "reason", item.advice.empty() ? item.reason : item.reason + "; " + item.advice);
  return object;
}

void add_string(json_object* object, const char* name, const std::string& value, bool empty_is_null) {
  if (empty_is_null && value.empty()) {
    json_object_object_add(object, name, nullptr);
    return;
  }
  if (is_valid_utf8(value)) {
    json_object_object_add(object, name, json_object_new_string_len(value.data(), static_cast<int>(value.size())));
    return;
  }
  std::string valid = valid_utf8(value);
  json_object_object_add(object, name, json_object_new_string_len(valid.data(), static_cast<int>(valid.size())));
  json_object_object_add(object, (std::string(name) + "_hex").c_str(), json_object_new_string(hex_bytes(value).c_str()));
}

}  // namespace drift
