// zovemo_status: the read-only drift report of the measured-boot baseline.
// Options and the two renderings of the report; the checks are drift_report.
#include <getopt.h>
#include <json-c/json.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "baseline_document.h"
#include "drift_report.h"

#ifndef ZOVEMO_VERSION
#define ZOVEMO_VERSION "unknown"
#endif

namespace {

constexpr int kUsageError = 2;

void usage(FILE* out) {
  fprintf(out,
          "Usage: zovemo_status [--json | --quiet] [--no-tpm] [--wait=SECONDS]\n"
          "Reports whether the measured-boot baseline %s is still in step with the\n"
          "files under /boot and with the TPM. Changes nothing.\n"
          "\n"
          "  -j, --json          print the findings as one JSON object\n"
          "  -q, --quiet         print nothing; only the exit status tells\n"
          "      --no-tpm        leave the TPM out of the check\n"
          "  -w, --wait=SECONDS  wait at most this long for a command that is changing\n"
          "                      the baseline (default 30)\n"
          "  -h, --help          print this help and exit\n"
          "  -V, --version       print the version and exit\n"
          "\n"
          "Exit status: 0 in step, 1 drift found, 2 the check could not be made\n"
          "(or, without drift, part of it could not be made).\n",
          kBaselinePath);
}

std::string index_text(unsigned index) {
  char text[16];
  snprintf(text, sizeof text, "0x%x", index);
  return text;
}

// The human form of one finding: its kind, then what it concerns.
std::string describe(const drift::Finding& item) {
  using drift::FindingKind;
  std::string nv = "NV " + index_text(item.index);
  switch (item.kind) {
    case FindingKind::kChanged:
      return item.path + ": stored " + (item.stored.empty() ? "(empty)" : item.stored) + ", now " + item.current;
    case FindingKind::kMissing:
      return item.path + ": no such file";
    case FindingKind::kSymlink:
      return item.path + ": now a symbolic link";
    case FindingKind::kNewFile:
      return item.path + ": not in the baseline (" + drift::class_name(item.file_class) + ")";
    case FindingKind::kPathListMissing:
      return item.path + ": the path list does not exist";
    case FindingKind::kUnlistedEntry:
      return item.path + ": entry without a line in " + kPathListPath;
    case FindingKind::kUnmatchedLine:
      return item.path + ": line of " + kPathListPath + " without an entry";
    case FindingKind::kSlotDiffers:
      return "PCR " + std::to_string(item.pcr) + " slot of " + nv + ": stored " + item.stored +
             ", the baseline gives " + item.current;
    case FindingKind::kReferenceIndexMissing:
      return nv + " (reference values) is not defined";
    case FindingKind::kSnapshotIndexMissing:
      return nv + " (PCR snapshot) is not defined";
    case FindingKind::kUnreadable:
    case FindingKind::kPathListUnreadable:
      return item.path + ": " + item.reason;
    case FindingKind::kInvalidEntry:
      return item.reason;
    case FindingKind::kTpmUnreadable:
      return nv + ": " + item.reason;
  }
  return item.path;
}

std::string tpm_summary(const drift::TpmCheck& tpm) {
  if (!tpm.checked) return "TPM not checked: " + tpm.reason;
  size_t in_step = 0;
  for (const auto& slot : tpm.slots) in_step += slot.stored == slot.expected;
  std::string text = "TPM checked: reference index " + std::string(drift::index_state_name(tpm.reference));
  if (tpm.reference == drift::IndexState::kPresent)
    text += ", " + std::to_string(in_step) + " of " + std::to_string(tpm.slots.size()) + " slots in step";
  return text + ", snapshot index " + drift::index_state_name(tpm.snapshot);
}

void print_human(const drift::Report& report) {
  size_t drifts = 0, unchecked = 0;
  for (const auto& item : report.findings) {
    printf("%s %s\n", drift::kind_name(item.kind), describe(item).c_str());
    (drift::is_drift(item.kind) ? drifts : unchecked) += 1;
  }
  const char* verdict = report.outcome == drift::Outcome::kInStep ? "in step"
                        : report.outcome == drift::Outcome::kDrift ? "drift"
                                                                    : "incomplete";
  printf("summary: %s; %zu entries, %zu in step; %zu drift, %zu not checked; %s\n", verdict, report.entries,
         report.entries_in_step, drifts, unchecked, tpm_summary(report.tpm).c_str());
}

void add_string(json_object* object, const char* name, const std::string& value) {
  json_object_object_add(object, name, json_object_new_string(value.c_str()));
}

json_object* finding_json(const drift::Finding& item) {
  using drift::FindingKind;
  json_object* object = json_object_new_object();
  add_string(object, "kind", drift::kind_name(item.kind));
  json_object_object_add(object, "drift", json_object_new_boolean(drift::is_drift(item.kind)));
  switch (item.kind) {
    case FindingKind::kSlotDiffers:
    case FindingKind::kReferenceIndexMissing:
    case FindingKind::kSnapshotIndexMissing:
    case FindingKind::kTpmUnreadable:
      add_string(object, "index", index_text(item.index));
      break;
    case FindingKind::kInvalidEntry:
      if (!item.path.empty()) add_string(object, "path", item.path);
      break;
    default:
      add_string(object, "path", item.path);
      break;
  }
  if (item.kind == FindingKind::kChanged) {
    add_string(object, "stored", item.stored);
    add_string(object, "current", item.current);
  }
  if (item.kind == FindingKind::kNewFile) add_string(object, "class", drift::class_name(item.file_class));
  if (item.kind == FindingKind::kSlotDiffers) {
    json_object_object_add(object, "pcr", json_object_new_int(item.pcr));
    add_string(object, "stored", item.stored);
    add_string(object, "expected", item.current);
  }
  if (!item.reason.empty()) add_string(object, "reason", item.reason);
  return object;
}

json_object* tpm_json(const drift::TpmCheck& tpm) {
  json_object* object = json_object_new_object();
  json_object_object_add(object, "checked", json_object_new_boolean(tpm.checked));
  if (!tpm.checked) {
    add_string(object, "reason", tpm.reason);
    return object;
  }
  add_string(object, "reference_index", drift::index_state_name(tpm.reference));
  add_string(object, "snapshot_index", drift::index_state_name(tpm.snapshot));
  json_object* slots = json_object_new_array();
  for (const auto& slot : tpm.slots) {
    json_object* entry = json_object_new_object();
    json_object_object_add(entry, "pcr", json_object_new_int(slot.pcr));
    add_string(entry, "stored", slot.stored);
    add_string(entry, "expected", slot.expected);
    json_object_object_add(entry, "in_step", json_object_new_boolean(slot.stored == slot.expected));
    json_object_array_add(slots, entry);
  }
  json_object_object_add(object, "slots", slots);
  return object;
}

void print_json(const drift::Report& report) {
  json_object* object = json_object_new_object();
  add_string(object, "status", drift::outcome_name(report.outcome));
  json_object_object_add(object, "exit_status", json_object_new_int(report.exit_status()));
  add_string(object, "baseline", kBaselinePath);
  if (report.outcome == drift::Outcome::kFailed) {
    add_string(object, "error", report.failure);
  } else {
    json_object_object_add(object, "entries", json_object_new_int64(static_cast<int64_t>(report.entries)));
    json_object_object_add(object, "entries_in_step",
                           json_object_new_int64(static_cast<int64_t>(report.entries_in_step)));
    json_object* findings = json_object_new_array();
    for (const auto& item : report.findings) json_object_array_add(findings, finding_json(item));
    json_object_object_add(object, "findings", findings);
    json_object_object_add(object, "tpm", tpm_json(report.tpm));
  }
  printf("%s\n", json_object_to_json_string_ext(object, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE));
  json_object_put(object);
}

}  // namespace

int main(int argc, char** argv) {
  enum { kNoTpm = 256 };
  static const option kLongOptions[] = {
      {"json", no_argument, nullptr, 'j'},     {"quiet", no_argument, nullptr, 'q'},
      {"no-tpm", no_argument, nullptr, kNoTpm}, {"wait", required_argument, nullptr, 'w'},
      {"help", no_argument, nullptr, 'h'},     {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  bool json = false, quiet = false;
  drift::Options options;
  for (int option; (option = getopt_long(argc, argv, "jqw:hV", kLongOptions, nullptr)) != -1;) {
    switch (option) {
      case 'j':
        json = true;
        break;
      case 'q':
        quiet = true;
        break;
      case kNoTpm:
        options.check_tpm = false;
        break;
      case 'w': {
        char* end = nullptr;
        errno = 0;
        long seconds = strtol(optarg, &end, 10);
        if (errno != 0 || end == optarg || *end != '\0' || seconds < 0 || seconds > 86400) {
          fprintf(stderr, "zovemo_status: --wait wants a number of seconds from 0 to 86400, not \"%s\"\n", optarg);
          return kUsageError;
        }
        options.wait_seconds = static_cast<int>(seconds);
        break;
      }
      case 'h':
        usage(stdout);
        return 0;
      case 'V':
        printf("zovemo_status %s\n", ZOVEMO_VERSION);
        return 0;
      default:
        usage(stderr);
        return kUsageError;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "zovemo_status: unexpected argument \"%s\"\n", argv[optind]);
    usage(stderr);
    return kUsageError;
  }

  drift::Report report = drift::check(options);
  if (quiet) return report.exit_status();
  if (json) {
    print_json(report);
  } else if (report.outcome == drift::Outcome::kFailed) {
    fprintf(stderr, "zovemo_status: %s\n", report.failure.c_str());
  } else {
    print_human(report);
  }
  return report.exit_status();
}
