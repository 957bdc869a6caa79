// The drift report end to end: zovemo_status against baselines that
// zovemo_config made in the sandbox, drifted one way at a time.
#include <fcntl.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "harness/document.h"
#include "harness/oracle.h"
#include "harness/sandbox.h"
#include "support/private_lock.h"
#include "support/visible_text.h"
#include "harness/swtpm.h"
#include "status/drift_report.h"
#include "tpm/nv_store.h"

namespace {

namespace fs = std::filesystem;
using sandbox::read_file;
using sandbox::run_tool;
using sandbox::write_file;

const std::string kStatusBinary = (fs::path(ZOVEMO_BINARY).parent_path() / "src/status/zovemo_status").string();
// The same report made one file at a time, every file asked of the GRUB tools.
const std::string kSequentialStatusBinary =
    (fs::path(ZOVEMO_BINARY).parent_path() / "src/status/zovemo_status_sequential").string();

// PATH is the fakes' directory, then the system's; `path` replaces it.
sandbox::RunResult run_status(const std::vector<std::string>& args = {}, const std::string& path = "",
                              const std::string& binary = kStatusBinary) {
  return sandbox::run(binary, args, path.empty() ? sandbox::FakeTools::instance().path_variable() : path);
}

using oracle::lines_of;
using oracle::sm3_hex;

std::string member(json_object* object, const char* name) {
  json_object* value = nullptr;
  if (!json_object_object_get_ex(object, name, &value)) return "<absent>";
  return value != nullptr ? json_object_get_string(value) : "null";
}

// One finding of --json, reduced to what the tests compare.
struct Finding {
  std::string kind, path, detail;
  bool operator==(const Finding&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Finding& f) {
  return out << "{" << f.kind << " " << f.path << " " << f.detail << "}";
}

// The parsed --json report; `document` owns every handle taken from it.
struct JsonReport {
  sandbox::RunResult run;
  json_object* document = nullptr;
  std::vector<Finding> findings;
  ~JsonReport() {
    if (document != nullptr) json_object_put(document);
  }
  std::string status() const { return member(document, "status"); }
  json_object* get(const char* name) const { return json_object_object_get(document, name); }
};

// Runs --json and parses it; "detail" is the class of a new file, the
// current digest of a changed one, the PCR of a slot.
void run_json(JsonReport* report, std::vector<std::string> args = {}, const std::string& path = "",
              const std::string& binary = kStatusBinary) {
  args.insert(args.begin(), "--json");
  report->run = run_status(args, path, binary);
  report->document = json_tokener_parse(report->run.out.c_str());
  ASSERT_NE(report->document, nullptr) << report->run.out << report->run.err;
  json_object* findings = report->get("findings");
  for (size_t i = 0; findings != nullptr && i < json_object_array_length(findings); ++i) {
    json_object* item = json_object_array_get_idx(findings, i);
    std::string kind = member(item, "kind");
    std::string detail = kind == "new_file"                                     ? member(item, "class")
                         : kind == "changed" || kind == "boot_path_changed"     ? member(item, "current")
                         : kind == "slot_differs" || kind == "snapshot_differs"  ? member(item, "pcr")
                         : kind == "wrong_pcr"                                  ? member(item, "expected")
                         : kind == "index_redefined"                            ? member(item, "difference")
                         : kind == "boot_path_unchecked" || kind == "unreadable" ||
                                   kind == "snapshot_unchecked"                 ? member(item, "reason")
                                                                                : "";
    std::string path = member(item, "path");
    report->findings.push_back({kind, path == "<absent>" ? member(item, "index") : path, detail});
  }
}

std::string baseline_value(const std::string& path) { return stored::value_of(path); }

constexpr const char* kModule = "/boot/grub/x86_64-efi/linux.mod";
constexpr const char* kKernel = "/boot/vmlinuz-6.1.0-13-amd64";
constexpr const char* kInitrd = "/boot/initrd.img-6.1.0-13-amd64";

// A baseline fresh from initialisation of the small boot tree.
class StatusReport : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox::make_small_boot_tree();
    ASSERT_EQ(run_tool({"-i"}).status, 0);
    ASSERT_TRUE(sandbox::exists("/boot/.vemobase"));
  }
};

TEST_F(StatusReport, FreshBaselineIsInStepAndSaysTheTpmWasNotChecked) {
  auto human = run_status();
  EXPECT_EQ(human.status, 0) << human.out << human.err;
  auto lines = lines_of(human.out);
  ASSERT_EQ(lines.size(), 3u) << human.out;
  EXPECT_EQ(lines[0].rfind("ZOVEMO OK - baseline in step, 5 entries | entries=5 changed=0 missing=0 symlink=0 "
                           "new_file=0 boot_path_changed=0 leftover_temporary=0 other_drift=0 not_checked=0 "
                           "check_seconds=", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "next boot: finds every boot file as measured");
  EXPECT_EQ(lines[2], "summary: in step; 5 entries, 5 in step; 0 drift, 0 not checked; TPM not checked: no TPM answered");
  JsonReport report;
  run_json(&report);
  EXPECT_EQ(report.status(), "in_step");
  EXPECT_TRUE(report.findings.empty());
  EXPECT_EQ(member(report.get("tpm"), "checked"), "false");
  EXPECT_EQ(member(report.get("tpm"), "reason"), "no TPM answered");
  EXPECT_EQ(run_status({"--no-tpm"}).status, 0);

  // What a collector needs to tell reports apart, at the top.
  EXPECT_EQ(member(report.document, "schema_version"), "1");
  EXPECT_EQ("zovemo_status " + member(report.document, "tool_version") + "\n", run_status({"--version"}).out);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(member(report.document, "host"), host);
  std::string checked_at = member(report.document, "checked_at");
  struct tm parts {};
  const char* end = strptime(checked_at.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  ASSERT_TRUE(end != nullptr && *end == '\0' && checked_at.size() == 20) << checked_at;
  EXPECT_LT(std::abs(static_cast<long>(timegm(&parts) - time(nullptr))), 60L) << "UTC, whatever the time zone";
  EXPECT_EQ(member(report.document, "verdict"), "OK");
  EXPECT_EQ(member(report.document, "exit_status"), "0");
  EXPECT_EQ(member(json_object_object_get(report.document, "next_boot"), "will_stop"), "false");
  EXPECT_EQ(member(json_object_object_get(report.document, "policy"), "arrest_mode"), "log");
}

// The reference value of each PCR from the document, computed here as a
// verifier would: SM3 over the PCR's measurement texts in list order, SM3
// again, then one extend from zero.
std::map<std::string, std::string> oracle_references() {
  std::map<std::string, std::string> references;
  for (const auto& [pcr, value] : stored::reference_values()) references[pcr] = oracle::hex(value);
  return references;
}

// The reference values as the report gives them, by PCR, with the TPM's
// slot and match flag when present.
std::map<std::string, std::string> reported_references(const JsonReport& report, bool with_tpm) {
  std::map<std::string, std::string> values;
  json_object* references = report.get("reference_values");
  for (size_t i = 0; references != nullptr && i < json_object_array_length(references); ++i) {
    json_object* item = json_object_array_get_idx(references, i);
    values[member(item, "pcr")] = member(item, "value");
    EXPECT_EQ(member(item, "tpm_slot"), with_tpm ? member(item, "value") : "<absent>");
    EXPECT_EQ(member(item, "tpm_match"), with_tpm ? "true" : "<absent>");
  }
  return values;
}

TEST_F(StatusReport, ANamedTpmThatDoesNotAnswerIsNotTakenForNoTpm) {
  // Nothing listens on the port: the TPM named is silent.
  setenv("TPM2TOOLS_TCTI", "swtpm:host=localhost,port=2399", 1);
  JsonReport report;
  run_json(&report);
  unsetenv("TPM2TOOLS_TCTI");
  EXPECT_NE(report.run.status, 0) << report.run.out;
  EXPECT_EQ(report.findings, (std::vector<Finding>{{"tpm_unreadable", "0x1500016", ""}}));
  EXPECT_EQ(member(report.get("tpm"), "reason"), "a TPM is named or present but did not answer");
}

TEST_F(StatusReport, ReferenceValuesComeFromTheBaselineWithoutATpm) {
  write_file("/boot/grub/x86_64-efi/extra.mod", "second module of PCR 12");
  ASSERT_EQ(run_tool({"-a", "/boot/grub/x86_64-efi/extra.mod"}).status, 0);
  JsonReport report;
  run_json(&report, {"--no-tpm"});
  EXPECT_EQ(reported_references(report, false), oracle_references());
}

// One run of the check under a policy and one kind of drift.
struct VerdictCase {
  const char* name;
  std::vector<std::vector<std::string>> policy;  // zovemo_config commands
  std::function<void()> drift;
  int status;
  std::string first_line;  // its beginning
  std::string next_boot;
};

TEST(StatusVerdict, DriftIsWeighedAgainstThePolicyStoredInTheBaseline) {
  auto change_module = [] { write_file(kModule, "changed"); };
  const std::vector<std::vector<std::string>> dialog = {{"-p", "-v", "1"}};
  const std::vector<VerdictCase> cases = {
      {"in step, dialog", dialog, [] {}, 0, "ZOVEMO OK - baseline in step, 5 entries | ",
       "finds every boot file as measured"},
      {"changed, log", {}, change_module, 1, "ZOVEMO WARNING - drift: 1 changed; the next boot only logs",
       "only logs the drift (arrest mode log)"},
      {"changed, dialog", dialog, change_module, 2, "ZOVEMO CRITICAL - drift: 1 changed; the next boot will be",
       "will be arrested at the dialog (trusted start-up on, arrest mode dialog)"},
      {"changed, start-up off", {{"-p", "-v", "1"}, {"-b", "-v", "0"}}, change_module, 1, "ZOVEMO WARNING - ",
       "only logs the drift (trusted start-up off)"},
      {"new kernel, dialog", dialog, [] { write_file("/boot/vmlinuz-7", "new"); }, 2, "ZOVEMO CRITICAL - ",
       "will be arrested at the dialog (trusted start-up on, arrest mode dialog)"},
      {"edited to \"ON\", dialog",
       {},
       [&] {
         json_object* document = json_object_from_file("/boot/.vemobase");
         json_object_object_add(document, "trust_startup", json_object_new_string("ON"));
         json_object_object_add(document, "arrest_mode", json_object_new_string("dialog"));
         json_object_to_file_ext("/boot/.vemobase", document, JSON_C_TO_STRING_PRETTY);
         json_object_put(document);
         change_module();
       },
       1, "ZOVEMO WARNING - ", "only logs the drift (trusted start-up off)"},
      {"path list only, dialog", dialog,
       [] { write_file("/boot/.vemobase.tmp", read_file("/boot/.vemobase.tmp") + "/etc/stale.conf\n"); }, 1,
       "ZOVEMO WARNING - drift: 1 unmatched_line; the next boot finds", "finds every boot file as measured"},
      {"leftover temporary files, dialog", dialog,
       [] {
         for (const char* file : {"/boot/.vemobase.new-12", "/boot/.vemolog.new-3", "/boot/.vemobase.swp"})
           write_file(file, "interrupted");
       },
       1, "ZOVEMO WARNING - drift: 3 leftover_temporary; ", "finds every boot file as measured"},
      {"boot log reservation too small, dialog", dialog, [] { write_file("/boot/.vemolog", std::string(384, '#')); },
       1, "ZOVEMO WARNING - drift: 1 reservation_undersized; ", "finds every boot file as measured"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox::reset();
    sandbox::make_small_boot_tree();
    ASSERT_EQ(run_tool({"-i"}).status, 0);
    for (const auto& command : c.policy) run_tool(command);
    c.drift();
    auto human = run_status();
    EXPECT_EQ(human.status, c.status) << human.out;
    EXPECT_EQ(human.out.rfind(c.first_line, 0), 0u) << human.out;
    EXPECT_NE(human.out.find("\nnext boot: " + c.next_boot + "\n"), std::string::npos) << human.out;
    JsonReport report;
    run_json(&report);
    EXPECT_EQ(member(report.document, "exit_status"), std::to_string(c.status));
    EXPECT_EQ(member(json_object_object_get(report.document, "next_boot"), "will_stop"),
              c.status == 2 ? "true" : "false");
  }
}

// The small tree's entries are stored as "(hd0,gpt2)" + path.
std::string stored_boot_path(const std::string& path) { return "(hd0,gpt2)" + path; }

TEST_F(StatusReport, BootPathsAreTranslatedAfreshAndAFileHeldTwiceIsFound) {
  // Answers that differ between files of one file system: only the report
  // that asks for every file hears them (a file system has one device part).
  auto& fakes = sandbox::FakeTools::instance();
  fakes.answer("grub-probe", kKernel, "hd1,gpt3\n");
  fakes.answer("grub-probe", kInitrd, "");
  JsonReport moved;
  run_json(&moved, {}, "", kSequentialStatusBinary);
  EXPECT_EQ(moved.run.status, 1);
  EXPECT_EQ(moved.findings,
            (std::vector<Finding>{{"boot_path_changed", kKernel, std::string("(hd1,gpt3)") + kKernel},
                                  {"boot_path_unchecked", kInitrd,
                                   "the GRUB tools could not translate it: the file lies on no disk that GRUB can "
                                   "read (no block device holds its filesystem)"}}));
  EXPECT_EQ(member(json_object_array_get_idx(moved.get("findings"), 0), "stored"), stored_boot_path(kKernel));
  EXPECT_NE(run_status({}, "", kSequentialStatusBinary).out.find(std::string("\nboot_path_changed ") + kKernel + ": boot path changed, stored " +
                                  stored_boot_path(kKernel) + ", now (hd1,gpt3)" + kKernel + "\n"),
            std::string::npos);

  // A second entry of the module under an older boot path.
  fakes.reset();
  json_object* document = json_object_from_file("/boot/.vemobase");
  json_object* list = json_object_object_get(document, "list");
  json_object* copy = nullptr;
  for (size_t i = 0; i < json_object_array_length(list); ++i) {
    if (member(json_object_array_get_idx(list, i), "sys_path") == kModule)
      json_object_deep_copy(json_object_array_get_idx(list, i), &copy, nullptr);
  }
  ASSERT_NE(copy, nullptr);
  json_object_object_add(copy, "grub_path", json_object_new_string("(hd0,msdos1)/old"));
  json_object_array_add(list, copy);
  json_object_to_file_ext("/boot/.vemobase", document, JSON_C_TO_STRING_PRETTY);
  json_object_put(document);
  write_file("/boot/.vemolog", read_file("/boot/.vemolog") + std::string(384, '#'));  // room for the copy
  JsonReport twice;
  run_json(&twice);
  EXPECT_EQ(twice.findings, (std::vector<Finding>{{"boot_path_changed", kModule, stored_boot_path(kModule)}}));
  EXPECT_EQ(member(json_object_array_get_idx(twice.get("findings"), 0), "holders"), "2");

  // Without the GRUB tools the duplicate is still found, and the rest is
  // "not checked" once, without a log entry.
  auto log = sandbox::log_lines();
  sandbox::SystemProgramHidden probe_hidden("grub-probe"), relpath_hidden("grub-mkrelpath");
  fakes.remove_program("grub-probe");
  JsonReport without;
  run_json(&without);
  EXPECT_EQ(without.run.status, 1);
  EXPECT_EQ(without.findings,
            (std::vector<Finding>{{"boot_path_unchecked", "<absent>", "boot paths not checked: grub-probe not found"},
                                  {"boot_path_changed", kModule, "null"}}));
  fakes.reset();
  fs::remove(kModule);
  fakes.remove_program("grub-mkrelpath");
  JsonReport unknown;
  run_json(&unknown);
  EXPECT_EQ(unknown.findings,
            (std::vector<Finding>{{"missing", kModule, ""}, {"missing", kModule, ""},
                                  {"boot_path_unchecked", "<absent>", "boot paths not checked: grub-mkrelpath not found"}}));
  EXPECT_EQ(sandbox::log_lines(), log);
}


TEST_F(StatusReport, OneChangedByteOfOneModuleIsTheOnlyFinding) {
  std::string stored = baseline_value(kModule);
  std::string content = read_file(kModule);
  content[1234] ^= 1;
  write_file(kModule, content);

  JsonReport report;
  run_json(&report);
  EXPECT_EQ(report.run.status, 1);
  EXPECT_EQ(report.status(), "drift");
  ASSERT_EQ(report.findings, (std::vector<Finding>{{"changed", kModule, sm3_hex(content)}}));
  json_object* changed = json_object_array_get_idx(report.get("findings"), 0);
  EXPECT_EQ(member(changed, "stored"), stored);
  EXPECT_EQ(member(report.document, "entries_in_step"), "4");

  // What the report calls current is what the tool stores on update.
  run_tool({"-u", kModule});
  EXPECT_EQ(baseline_value(kModule), sm3_hex(content));
  EXPECT_EQ(run_status().status, 0);
}

TEST_F(StatusReport, RemovedKernelIsMissingAndSymlinkedRamDiskIsASymlink) {
  fs::remove(kKernel);
  JsonReport missing;
  run_json(&missing);
  EXPECT_EQ(missing.run.status, 1);
  EXPECT_EQ(missing.findings, (std::vector<Finding>{{"missing", kKernel, ""}}));

  fs::remove(kInitrd);
  write_file("/boot/initrd.real", "ram disk");
  fs::create_symlink("/boot/initrd.real", kInitrd);
  JsonReport both;
  run_json(&both);
  EXPECT_EQ(both.findings, (std::vector<Finding>{{"missing", kKernel, ""}, {"symlink", kInitrd, ""}}));
  EXPECT_EQ(member(both.document, "entries_in_step"), "3");
}

TEST_F(StatusReport, NewKernelRamDiskAndModuleAreFoundButNotCrashDisksOrLinks) {
  write_file("/boot/vmlinuz-6.1.0-14-amd64", "new kernel");
  write_file("/boot/initrd.img-6.1.0-14-amd64", "new ram disk");
  write_file("/boot/grub/x86_64-efi/new/deep.mod", "module");
  write_file("/boot/initramfs-6.1.0-14kdump.img", "crash kernel's ram disk");
  fs::create_symlink("/boot/vmlinuz-6.1.0-14-amd64", "/boot/vmlinuz-link");
  fs::create_symlink("/boot/grub/grub.cfg", "/boot/grub/link.cfg");
  write_file("/boot/grub/grub.cfg.bak", "not a configuration by name");

  JsonReport report;
  run_json(&report);
  EXPECT_EQ(report.run.status, 1);
  EXPECT_EQ(report.findings, (std::vector<Finding>{{"new_file", "/boot/grub/x86_64-efi/new/deep.mod", "module"},
                                                  {"new_file", "/boot/vmlinuz-6.1.0-14-amd64", "kernel"},
                                                  {"new_file", "/boot/initrd.img-6.1.0-14-amd64", "initrd"}}));
  EXPECT_EQ(member(report.document, "entries_in_step"), "5");
  // Initialisation measures exactly what the report found new.
  run_tool({"-i"});
  EXPECT_EQ(run_status().status, 0) << run_status().out;
}

// Boot files whose names no entry can hold (-i leaves them out) are drift,
// shown escaped, and their bytes stay recoverable from the JSON.
TEST_F(StatusReport, BootFilesTheBaselineCannotNameAreDrift) {
  const std::string kernel = "/boot/vmlinuz-6.9.0-evil\xff";
  const std::string module = "/boot/grub/x86_64-efi/two\nlines.mod";
  write_file(kernel, "evil kernel");
  write_file("/boot/initrd.img-6.9.0-evil\xff", "evil ram disk");
  write_file(module, "module");
  auto human = run_status();
  EXPECT_EQ(human.status, 1) << human.out;
  EXPECT_NE(human.out.find("unstorable_file /boot/vmlinuz-6.9.0-evil\\xff: not in the baseline and cannot be (kernel)"),
            std::string::npos)
      << human.out;
  EXPECT_NE(human.out.find("unstorable_file /boot/grub/x86_64-efi/two\\nlines.mod"), std::string::npos) << human.out;
  JsonReport report;
  run_json(&report);
  std::vector<std::string> recovered;
  json_object* findings = report.get("findings");
  for (size_t i = 0; i < json_object_array_length(findings); ++i) {
    json_object* item = json_object_array_get_idx(findings, i);
    EXPECT_EQ(member(item, "kind"), "unstorable_file");
    std::string hex = member(item, "path_hex");
    if (hex == "<absent>") {
      recovered.push_back(member(item, "path"));
      continue;
    }
    std::string bytes;
    for (size_t at = 0; at + 1 < hex.size(); at += 2) bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    recovered.push_back(bytes);
  }
  EXPECT_EQ(recovered, (std::vector<std::string>{module, kernel, "/boot/initrd.img-6.9.0-evil\xff"}));
}

// An entry that counts in no reference value, or in another than its file's,
// is drift even though its digest matches.
TEST_F(StatusReport, AnEntryOfNoPcrOrAnotherPcrIsDrift) {
  json_object* document = json_object_from_file("/boot/.vemobase");
  json_object* list = json_object_object_get(document, "list");
  for (size_t i = 0; i < json_object_array_length(list); ++i) {
    json_object* entry = json_object_array_get_idx(list, i);
    std::string path = member(entry, "sys_path");
    if (path == kKernel) json_object_object_add(entry, "pcr", json_object_new_string("10"));
    if (path == kInitrd) json_object_object_del(entry, "pcr");
    if (path == kModule) json_object_object_add(entry, "pcr", json_object_new_string("8"));
  }
  json_object_to_file_ext("/boot/.vemobase", document, JSON_C_TO_STRING_PRETTY);
  json_object_put(document);
  JsonReport report;
  run_json(&report);
  EXPECT_EQ(report.run.status, 1);
  EXPECT_EQ(report.findings, (std::vector<Finding>{{"wrong_pcr", kModule, "12"},
                                                  {"wrong_pcr", kKernel, "9"},
                                                  {"wrong_pcr", kInitrd, "11"}}));
  EXPECT_NE(run_status().out.find("wrong_pcr " + std::string(kKernel) + ": \"pcr\" \"10\", but the file belongs to PCR 9"),
            std::string::npos);
}

TEST_F(StatusReport, PathListLinesAndEntriesAreMatchedBothWays) {
  std::string list = read_file("/boot/.vemobase.tmp");
  std::string without_kernel = list;
  without_kernel.erase(without_kernel.find(std::string(kKernel) + "\n"), strlen(kKernel) + 1);
  write_file("/boot/.vemobase.tmp", without_kernel + "/etc/stale.conf\n");
  JsonReport report;
  run_json(&report);
  EXPECT_EQ(report.run.status, 1);
  EXPECT_EQ(report.findings,
            (std::vector<Finding>{{"unlisted_entry", kKernel, ""}, {"unmatched_line", "/etc/stale.conf", ""}}));

  fs::remove("/boot/.vemobase.tmp");
  JsonReport gone;
  run_json(&gone);
  EXPECT_EQ(gone.findings, (std::vector<Finding>{{"path_list_missing", "/boot/.vemobase.tmp", ""}}));
}

TEST_F(StatusReport, AnUnmeasurableEntryIsNotCheckedRatherThanDrift) {
  fs::remove(kInitrd);
  ASSERT_EQ(mkfifo(kInitrd, 0600), 0);
  JsonReport report;
  run_json(&report);
  EXPECT_EQ(report.run.status, 3) << "a fifo must neither block the report nor pass as in step";
  EXPECT_EQ(report.status(), "incomplete");
  ASSERT_EQ(report.findings.size(), 1u) << testing::PrintToString(report.findings);
  EXPECT_EQ(report.findings[0].kind, "unreadable");
  EXPECT_EQ(report.findings[0].detail, "a FIFO, not a regular file") << "the reason the tool gives";

  fs::remove(kKernel);
  JsonReport with_drift;
  run_json(&with_drift);
  EXPECT_EQ(with_drift.run.status, 1) << "drift found outweighs what was not checked";
}

TEST_F(StatusReport, ReadsWithoutChangingAnythingAndAsksTheGrubToolsOncePerFileSystemAndDirectory) {
  write_file(kModule, "changed");
  write_file("/boot/vmlinuz-6.1.0-14-amd64", "new");
  auto snapshot = [] {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator("/boot")) {
      struct stat info {};
      lstat(entry.path().c_str(), &info);
      std::string content = entry.is_regular_file() ? read_file(entry.path()) : "";
      files[entry.path()] = content + "@" + std::to_string(info.st_mtim.tv_sec) + "." +
                            std::to_string(info.st_mtim.tv_nsec);
    }
    files["log"] = read_file("/etc/tavel_trusted/.vemo.log");
    return files;
  };
  auto before = snapshot();
  auto started = [](const std::string& binary) {
    sandbox::FakeTools::instance().clear_records();
    EXPECT_EQ(run_status({}, "", binary).status, 1);
    std::map<std::string, int> count;
    for (const auto& record : sandbox::FakeTools::instance().records()) ++count[record[0]];
    return count;
  };
  // One file system; the entries' files lie in three directories.
  EXPECT_EQ(started(kStatusBinary), (std::map<std::string, int>{{"dmidecode", 1}, {"grub-mkrelpath", 3}, {"grub-probe", 1}}));
  EXPECT_EQ(started(kSequentialStatusBinary),
            (std::map<std::string, int>{{"dmidecode", 1}, {"grub-mkrelpath", 5}, {"grub-probe", 5}}));
  EXPECT_EQ(snapshot(), before);
}

TEST_F(StatusReport, WaitsForACommandThatHoldsTheBaselineThenGivesUp) {
  std::string why_not;
  int boot = open_private_lock(kBaselineLockPath, &why_not);
  ASSERT_EQ(flock(boot, LOCK_EX), 0) << why_not;
  auto busy = run_status({"--wait=0"});
  EXPECT_EQ(busy.status, 3);
  EXPECT_EQ(busy.out.rfind("ZOVEMO UNKNOWN - baseline busy", 0), 0u) << busy.out;
  EXPECT_NE(busy.err.find("baseline busy"), std::string::npos) << busy.err;

  std::thread release([boot] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(boot);
  });
  auto waited = run_status({"--wait=10"});
  release.join();
  EXPECT_EQ(waited.status, 0) << waited.err;
}

// Any user can open /boot and a metrics directory, and so hold a lock on
// them for ever: no command may wait for those, and the tool's own lock
// must be out of their reach.
TEST_F(StatusReport, AnUnprivilegedUserHoldingLocksStallsNoCommand) {
  std::string collector = sandbox::scratch_dir() + "/collector";
  sandbox::make_dirs(collector);
  std::vector<std::string> attack = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     "/usr/bin/flock", "-x", "/boot", "/usr/bin/flock", "-x", collector,
                                     "/bin/sleep", "600"};
  pid_t attacker = sandbox::start_program(attack, {}, true);
  ASSERT_GT(attacker, 0);
  struct Stop {
    pid_t group;
    ~Stop() {
      kill(-group, SIGKILL);
      waitpid(group, nullptr, 0);
    }
  } stop{attacker};
  auto held = [](const std::string& path) {
    int descriptor = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string holders = lock_holders(descriptor);
    close(descriptor);
    return !holders.empty();
  };
  for (int i = 0; i < 500 && !(held("/boot") && held(collector)); ++i) usleep(10000);
  ASSERT_TRUE(held("/boot") && held(collector)) << "the attacker holds both";

  auto start = std::chrono::steady_clock::now();
  auto updated = run_tool({"-u", "/boot/grub/grub.cfg"});
  EXPECT_EQ(updated.out.rfind("update /boot/grub/grub.cfg\n", 0), 0u) << updated.out << updated.err;
  auto checked = run_status({"--timeout=5", "--prometheus=" + collector + "/zovemo.prom"});
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  auto own_lock = sandbox::run("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                    "/usr/bin/flock", "-n", kBaselineLockPath, "true"}, "/usr/bin:/bin");
  EXPECT_NE(own_lock.status, 0) << "only root can open the baseline's lock";
  EXPECT_NE(own_lock.err.find("Permission denied"), std::string::npos) << own_lock.err;
}

// A monitoring agent kills a check that outlasts its own timeout and calls
// that CRITICAL; the check must give up first, as UNKNOWN.
TEST_F(StatusReport, ACheckThatOutlastsItsTimeoutIsUnknown) {
  // A sparse file far too large to measure in a second, held by an entry.
  int huge = open("/boot/huge.img", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(ftruncate(huge, 64LL << 30), 0) << strerror(errno);
  close(huge);
  json_object* document = json_object_from_file("/boot/.vemobase");
  json_object* entry = json_object_new_object();
  json_object_object_add(entry, "sys_path", json_object_new_string("/boot/huge.img"));
  json_object_object_add(entry, "measure_base_value", json_object_new_string(std::string(64, '0').c_str()));
  json_object_array_add(json_object_object_get(document, "list"), entry);
  json_object_to_file_ext("/boot/.vemobase", document, JSON_C_TO_STRING_PRETTY);
  json_object_put(document);

  std::string metrics = sandbox::scratch_dir() + "/timeout.prom";
  auto start = std::chrono::steady_clock::now();
  auto late = run_status({"--timeout=1", "--prometheus", metrics});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(late.status, 3) << late.err;
  EXPECT_EQ(late.out.rfind("ZOVEMO UNKNOWN - check not done within 1 seconds: the baseline is too large", 0), 0u)
      << late.out;
  EXPECT_NE(read_file(metrics).find("\nzovemo_check_success 0\n"), std::string::npos);
  EXPECT_EQ(run_status({"--timeout=0"}).status, 3) << "a bad option";
}

TEST_F(StatusReport, AnAbandonedCheckLeavesNoGrubToolRunning) {
  write_file(sandbox::FakeTools::instance().dir() + "/answers/grub-probe/sleep", "30");
  auto start = std::chrono::steady_clock::now();
  auto late = run_status({"--timeout=1"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(late.status, 3) << late.out << late.err;
  EXPECT_TRUE(sandbox::hanging_run_is_gone("grub-probe")) << "grub-probe outlived the check that started it";
}

// Ctrl-C, timeout(1) or a service manager ends the tool: the GRUB probe it
// started, in a process group of its own, must end with it.
TEST_F(StatusReport, TheSignalThatEndsTheToolEndsTheProgramsItStarted) {
  struct Case {
    std::vector<std::string> command;
    int signal;  // sent by the test once the probe hangs; 0: timeout(1) sends it
  } cases[] = {
      {{ZOVEMO_BINARY, "-u", "/boot/grub/grub.cfg"}, SIGTERM},
      {{ZOVEMO_BINARY, "-u", "--all"}, SIGINT},
      {{kStatusBinary}, SIGHUP},
      {{"/usr/bin/timeout", "2", kStatusBinary, "--json"}, 0},
  };
  std::string answers = sandbox::FakeTools::instance().dir() + "/answers/grub-probe/";
  for (auto& c : cases) {
    SCOPED_TRACE(c.command[c.command.size() > 3 ? 2 : 0] + " " + std::to_string(c.signal));
    fs::remove(answers + "sleeping");
    write_file(answers + "sleep", "30");
    pid_t tool = sandbox::start_program(c.command, {1, 2});
    ASSERT_GT(tool, 0);
    for (int i = 0; i < 500 && !sandbox::exists(answers + "sleeping"); ++i) usleep(10000);
    EXPECT_TRUE(sandbox::exists(answers + "sleeping")) << "the probe hangs";
    if (c.signal != 0) kill(tool, c.signal);
    int status = 0;
    ASSERT_EQ(waitpid(tool, &status, 0), tool);
    if (c.signal != 0) EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << status;
    else EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 124) << status;
    EXPECT_TRUE(sandbox::hanging_run_is_gone("grub-probe")) << "grub-probe outlived the tool that started it";
    fs::remove(answers + "sleep");
  }
}

// Short of memory or of descriptors, the report still gives its one line,
// names itself on stderr and writes no tool log; -i still measures.
TEST_F(StatusReport, TightAddressSpaceOrFewDescriptorsStillGiveTheLineAndNoLog) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs far more address space than the limits tried";
#elif defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer needs far more address space than the limits tried";
#endif
  std::string log = read_file("/etc/tavel_trusted/.vemo.log");
  for (const char* limit : {"--as=20000000", "--nofile=6"}) {
    SCOPED_TRACE(limit);
    auto run = sandbox::run("/usr/bin/prlimit", {limit, kStatusBinary}, "/usr/bin:/bin");
    EXPECT_EQ(run.out.rfind("ZOVEMO ", 0), 0u) << run.out << run.err;
    EXPECT_EQ(run.err.find("zovemo_config:"), std::string::npos) << run.err;
    EXPECT_EQ(read_file("/etc/tavel_trusted/.vemo.log"), log) << "the report writes no log";
  }
  auto init = sandbox::run("/usr/bin/prlimit", {"--as=20000000", ZOVEMO_BINARY, "-i"}, "/usr/bin:/bin");
  EXPECT_NE(init.out.find("measure /boot/grub/grub.cfg\n"), std::string::npos) << init.out << init.err;
  EXPECT_EQ(init.out.find("failed"), std::string::npos) << init.out;
}

TEST(StatusFailure, NoUsableDocumentMeansTheCheckCouldNotBeMade) {
  sandbox::make_small_boot_tree();
  auto none = run_status();
  EXPECT_EQ(none.status, 3);
  ASSERT_EQ(lines_of(none.out).size(), 1u) << none.out;
  EXPECT_EQ(none.out.rfind("ZOVEMO UNKNOWN - no baseline: /boot/.vemobase does not exist (run zovemo_config -i) "
                           "| check_seconds=", 0), 0u) << none.out;
  EXPECT_NE(none.err.find("no baseline"), std::string::npos) << none.err;

  for (const char* content : {"{ \"list\": [", "{\"trust_startup\":\"on\",\"list\":{}}", "[]"}) {
    write_file("/boot/.vemobase", content);
    JsonReport report;
    run_json(&report);
    EXPECT_EQ(report.run.status, 3) << content;
    EXPECT_EQ(member(report.document, "verdict"), "UNKNOWN") << content;
    EXPECT_EQ(report.status(), "error") << content;
    EXPECT_NE(member(report.document, "error"), "<absent>");
    EXPECT_EQ(report.get("findings"), nullptr);
  }

  // A FIFO in the document's place must not block the report.
  fs::remove("/boot/.vemobase");
  ASSERT_EQ(mkfifo("/boot/.vemobase", 0600), 0);
  auto fifo = run_status();
  EXPECT_EQ(fifo.status, 3);
  EXPECT_NE(fifo.out.find("not a regular file"), std::string::npos) << fifo.out;
  fs::remove("/boot/.vemobase");
}

TEST(StatusDiscovery, FindsWhatInitialisationWouldMeasure) {
  // An empty baseline: every discoverable file is reported new.
  write_file("/boot/.vemobase", "{\"trust_startup\":\"on\",\"arrest_mode\":\"log\",\"list\":[]}");
  write_file("/boot/.vemobase.tmp", "");
  write_file("/boot/.vemolog", std::string(8 * 384, '#'));
  sandbox::make_small_boot_tree();
  write_file("/boot/grub/i386-pc/.mod", "hidden module");
  write_file("/boot/grub/fonts/a b.cfg", "spaced");
  write_file("/boot/efi/EFI/debian/grub.cfg", "on the ESP");
  sandbox::make_dirs("/boot/grub/themes.cfg");
  write_file("/boot/Image-6.1.0", "arm kernel");
  write_file("/boot/initramfs-6.1.0.img", "ram disk");
  write_file("/boot/initramfs.img-6.1.0", "ram disk");
  write_file("/boot/initramfs-6.1.0kdump.img", "crash");
  write_file("/boot/vmlinuz", "no dash");
  fs::create_directory_symlink("/boot/grub", "/boot/grub-link");
  fs::create_symlink("/boot/Image-6.1.0", "/boot/Image-link");

  JsonReport report;
  run_json(&report);
  std::set<std::string> found;
  for (const auto& f : report.findings) {
    EXPECT_EQ(f.kind, "new_file");
    found.insert(f.path);
  }
  ASSERT_EQ(run_tool({"-i"}).status, 0);
  auto measured = lines_of(read_file("/boot/.vemobase.tmp"));
  EXPECT_EQ(found, std::set<std::string>(measured.begin(), measured.end()));
  EXPECT_EQ(found.size(), 11u) << "the directory themes.cfg is not a file to measure";
  EXPECT_EQ(run_status().status, 0) << run_status().out;
}

// Answers reused per file system and directory give, byte for byte but the
// times, the report of asking the tools for every file.
TEST_F(StatusReport, ReuseGivesTheReportOfAskingForEveryFile) {
  std::string elsewhere = sandbox::scratch_dir() + "/bound.cfg";
  write_file(elsewhere, "from another file system");
  write_file("/boot/grub/bound.cfg", "");
  ASSERT_EQ(mount(elsewhere.c_str(), "/boot/grub/bound.cfg", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
  // GRUB names a bound file by its place on its own file system.
  sandbox::FakeTools::instance().answer("grub-mkrelpath", "/boot/grub/bound.cfg", "/bound.cfg\n");
  ASSERT_EQ(run_tool({"-a", "/boot/grub/bound.cfg"}).status, 0);
  fs::remove(kKernel);
  fs::remove(kInitrd);
  fs::create_symlink("/boot/grub/grub.cfg", kInitrd);
  write_file(kModule, "changed");
  auto same_reports = [&](const char* when) {
    SCOPED_TRACE(when);
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--json"}}) {
      auto reused = run_status(args), asked = run_status(args, "", kSequentialStatusBinary);
      EXPECT_EQ(reused.status, asked.status);
      EXPECT_EQ(oracle::without_check_times(reused.out), oracle::without_check_times(asked.out));
      EXPECT_EQ(reused.err, asked.err);
    }
  };
  same_reports("in place");
  sandbox::FakeTools::instance().default_answer("grub-probe", "hd1,gpt2\n");
  same_reports("the disk renamed");
  EXPECT_NE(run_status().out.find("boot_path_changed /boot/grub/bound.cfg"), std::string::npos);
  umount2("/boot/grub/bound.cfg", MNT_DETACH);
}

TEST_F(StatusReport, HumanLinesAndJsonFindingsAgree) {
  write_file(kModule, "changed");
  fs::remove(kKernel);
  write_file("/boot/initrd.img-7", "new");
  write_file("/boot/.vemobase.tmp", read_file("/boot/.vemobase.tmp") + "/etc/stale.conf\n");

  auto human = run_status();
  JsonReport report;
  run_json(&report);
  EXPECT_EQ(human.status, 1);
  EXPECT_EQ(member(report.document, "exit_status"), "1");
  auto lines = lines_of(human.out);
  ASSERT_EQ(lines.size(), report.findings.size() + 3) << human.out;
  ASSERT_EQ(report.findings.size(), 4u);
  EXPECT_EQ(lines[0].rfind("ZOVEMO WARNING - drift: 1 changed, 1 missing, 1 new_file, 1 unmatched_line; "
                           "the next boot only logs the drift (arrest mode log) | entries=5 changed=1 missing=1 "
                           "symlink=0 new_file=1 boot_path_changed=0 leftover_temporary=0 other_drift=1 "
                           "not_checked=0 check_seconds=", 0), 0u) << lines[0];
  for (size_t i = 0; i < report.findings.size(); ++i) {
    EXPECT_EQ(lines[i + 1].rfind(report.findings[i].kind + " " + report.findings[i].path, 0), 0u) << lines[i + 1];
  }
  EXPECT_NE(lines[1].find(report.findings[0].detail), std::string::npos) << "the current digest is shown";
  EXPECT_EQ(lines.back(),
            "summary: drift; 5 entries, 3 in step; 4 drift, 0 not checked; TPM not checked: no TPM answered");

  auto quiet = run_status({"--quiet"});
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out + quiet.err, "");
  fs::remove("/boot/.vemobase");
  auto quiet_failure = run_status({"-q"});
  EXPECT_EQ(quiet_failure.status, 3);
  EXPECT_EQ(quiet_failure.out + quiet_failure.err, "");
}

// A forged name in the path list or the document neither steers the
// terminal nor breaks the JSON; its bytes stay recoverable.
TEST_F(StatusReport, ForgedNamesAreShownEscapedAndTheJsonStaysUtf8) {
  const std::string listed = "/etc/\x1b]0;t\x07" "evil\xff\xe2\x80\xae.conf";
  const std::string stored = "/boot/gone\nsummary: in step\xff";
  write_file("/boot/.vemobase.tmp", read_file("/boot/.vemobase.tmp") + listed + "\n");
  json_object* document = json_object_from_file("/boot/.vemobase");
  json_object* list = json_object_object_get(document, "list");
  json_object* copy = nullptr;
  json_object_deep_copy(json_object_array_get_idx(list, 0), &copy, nullptr);
  json_object_object_add(copy, "sys_path", json_object_new_string(stored.c_str()));
  json_object_array_add(list, copy);
  json_object_to_file_ext("/boot/.vemobase", document, JSON_C_TO_STRING_PRETTY);
  json_object_put(document);

  auto human = run_status();
  JsonReport report;
  run_json(&report);
  EXPECT_EQ(lines_of(human.out).size(), report.findings.size() + 3) << human.out;
  EXPECT_EQ(human.out.find_first_of("\x1b\x07\xff"), std::string::npos) << human.out;
  EXPECT_EQ(human.out.find("\xe2\x80\xae"), std::string::npos);
  EXPECT_NE(human.out.find("/etc/\\x1b]0;t\\x07evil\\xff\\u202e.conf"), std::string::npos) << human.out;
  EXPECT_NE(human.out.find("/boot/gone\\nsummary: in step\\xff"), std::string::npos) << human.out;

  EXPECT_TRUE(is_valid_utf8(report.run.out));
  std::set<std::string> recovered;
  json_object* findings = report.get("findings");
  for (size_t i = 0; i < json_object_array_length(findings); ++i) {
    std::string hex = member(json_object_array_get_idx(findings, i), "path_hex");
    if (hex == "<absent>") continue;
    std::string bytes;
    for (size_t at = 0; at + 1 < hex.size(); at += 2) bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    recovered.insert(bytes);
  }
  EXPECT_EQ(recovered, (std::set<std::string>{listed, stored}));
}

TEST(StatusOptions, UsageVersionAndBadArguments) {
  auto help = run_status({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--json", "--quiet", "--no-tpm", "--wait=SECONDS", "--timeout=SECONDS",
                             "--prometheus=FILE", "--help", "--version"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  auto version = run_status({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("zovemo_status ", 0), 0u);
  for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"--wait=soon"}, {"--wait=-1"}, {"extra"}, {"--wait"}, {"--prometheus="}}) {
    auto result = run_status(bad);
    EXPECT_EQ(result.status, 3) << bad[0] << " is UNKNOWN, as for monitoring plugins";
    EXPECT_EQ(result.out, "") << bad[0];
  }
}

constexpr const char* kPromtool = "/usr/bin/promtool";
const std::string kRules = std::string(ZOVEMO_SOURCE_DIR) + "/packaging/prometheus/zovemo.rules.yml";

sandbox::RunResult promtool_check_metrics(const std::string& file) {
  return sandbox::run("/bin/sh", {"-c", std::string(kPromtool) + " check metrics <\"$0\"", file}, "/usr/bin:/bin");
}

TEST_F(StatusReport, PromtoolAcceptsTheMetricsOfEachOutcomeAndTheRulesUseThem) {
  if (access(kPromtool, X_OK) != 0) GTEST_SKIP() << "promtool not installed (Debian package prometheus)";
  std::string file = sandbox::scratch_dir() + "/zovemo.prom";
  struct Step {
    const char* name;
    std::function<void()> prepare;
    int status;
    std::vector<std::string> samples;
  };
  std::string metrics_of_drift;
  const std::vector<Step> steps = {
      {"in step", [] {}, 0, {"zovemo_check_success 1", "zovemo_next_boot_will_stop 0", "zovemo_baseline_entries 5"}},
      {"drift, dialog",
       [] {
         run_tool({"-p", "-v", "1"});
         write_file(kModule, "changed");
       },
       2,
       {"zovemo_next_boot_will_stop 1", "zovemo_drift_findings{kind=\"changed\"} 1", "zovemo_arrest_mode_dialog 1",
        "zovemo_check_status 2"}},
      {"failed", [] { fs::remove("/boot/.vemobase"); }, 3, {"zovemo_check_success 0", "zovemo_check_status 3"}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.prepare();
    auto run = run_status({"--quiet", "--prometheus", file});
    EXPECT_EQ(run.status, step.status) << run.err;
    std::string metrics = read_file(file);
    for (const auto& sample : step.samples) EXPECT_NE(metrics.find("\n" + sample + "\n"), std::string::npos) << metrics;
    auto check = promtool_check_metrics(file);
    EXPECT_EQ(check.status, 0) << check.out << check.err << metrics;
    EXPECT_EQ(check.out + check.err, "") << "no naming complaints";
    if (step.status == 2) metrics_of_drift = metrics;
  }

  auto rules = sandbox::run(kPromtool, {"check", "rules", kRules}, "/usr/bin:/bin");
  EXPECT_EQ(rules.status, 0) << rules.out << rules.err;
  // An alert on a name the tool does not write would never fire.
  size_t names = 0;
  for (const auto& line : lines_of(read_file(kRules))) {
    if (line.find("expr:") == std::string::npos) continue;
    for (size_t at = line.find("zovemo_"); at != std::string::npos; at = line.find("zovemo_", at), ++names) {
      size_t end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz_", at);
      std::string name = line.substr(at, end - at);
      EXPECT_NE(metrics_of_drift.find("\n" + name), std::string::npos) << name;
      at = end;
    }
  }
  EXPECT_EQ(names, 4u);
}

// What an earlier run wrote: only such a file is ever replaced.
const std::string kOldMetrics = "# HELP zovemo_check_success old\n";

// The collector must never read a partial file: the metrics reach FILE by
// rename or not at all, and a failure is UNKNOWN with the reason.
TEST_F(StatusReport, MetricsFileIsReplacedWholeOrLeftAsItWas) {
  std::string dir = sandbox::scratch_dir() + "/collector";
  sandbox::make_dirs(dir);
  write_file(dir + "/zovemo.prom", kOldMetrics);
  chmod((dir + "/zovemo.prom").c_str(), 0600);
  auto written = run_status({"--prometheus=" + dir + "/zovemo.prom"});
  EXPECT_EQ(written.status, 0) << written.err;
  EXPECT_EQ(read_file(dir + "/zovemo.prom").rfind("# HELP zovemo_check_success ", 0), 0u);
  struct stat info {};
  stat((dir + "/zovemo.prom").c_str(), &info);
  EXPECT_EQ(info.st_mode & 07777, 0644u) << "node_exporter reads it as another user";

  auto leaves_nothing = [](const std::string& where, const std::set<std::string>& expected) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(where)) names.insert(entry.path().filename());
    EXPECT_EQ(names, expected);
  };
  leaves_nothing(dir, {"zovemo.prom"});
  // What a killed run left is removed; the collector never read it.
  write_file(dir + "/zovemo.prom.new-Ab12Cd", "# HELP partial");
  EXPECT_EQ(run_status({"--prometheus=" + dir + "/zovemo.prom"}).status, 0);
  leaves_nothing(dir, {"zovemo.prom"});

  // A full file system: the old file stays whole, no temporary file stays.
  std::string full = sandbox::scratch_dir() + "/full";
  sandbox::make_dirs(full);
  ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=8k"), 0) << strerror(errno);
  write_file(full + "/zovemo.prom", kOldMetrics);
  write_file(full + "/filler", std::string(4096, 'f'));
  // A read-only directory, which root's rights do not get past.
  std::string read_only = sandbox::scratch_dir() + "/read-only";
  sandbox::make_dirs(read_only);
  ASSERT_EQ(mount("tmpfs", read_only.c_str(), "tmpfs", MS_RDONLY, nullptr), 0) << strerror(errno);

  // Device nodes and FIFOs are never replaced (a --prometheus=/dev/null as root).
  std::string null_device = sandbox::scratch_dir() + "/null.prom", fifo = sandbox::scratch_dir() + "/fifo.prom";
  ASSERT_EQ(mknod(null_device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0) << strerror(errno);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0) << strerror(errno);

  for (const std::string& file : {full + "/zovemo.prom", read_only + "/zovemo.prom",
                                  sandbox::scratch_dir() + "/no-such-dir/zovemo.prom", dir, null_device, fifo}) {
    SCOPED_TRACE(file);
    auto failed = run_status({"--prometheus", file});
    EXPECT_EQ(failed.status, 3);
    EXPECT_EQ(failed.out.rfind("ZOVEMO UNKNOWN - cannot write metrics to \"" + file + "\": ", 0), 0u) << failed.out;
    EXPECT_EQ(lines_of(failed.err).size(), 1u) << failed.err;
    JsonReport report;
    run_json(&report, {"--prometheus", file});
    EXPECT_EQ(member(report.document, "verdict"), "UNKNOWN");
    EXPECT_NE(member(report.document, "metrics_error"), "<absent>");
  }
  EXPECT_EQ(read_file(full + "/zovemo.prom"), kOldMetrics);
  struct stat node {};
  EXPECT_TRUE(lstat(null_device.c_str(), &node) == 0 && S_ISCHR(node.st_mode));
  EXPECT_TRUE(lstat(fifo.c_str(), &node) == 0 && S_ISFIFO(node.st_mode));
  leaves_nothing(full, {"zovemo.prom", "filler"});
  leaves_nothing(read_only, {});
  leaves_nothing(dir, {"zovemo.prom"});
  umount2(full.c_str(), MNT_DETACH);
  umount2(read_only.c_str(), MNT_DETACH);
}

// A monitoring account may run the report as root: its FILE must never
// replace a boot file, the baseline, the tool log or any file not ours.
TEST_F(StatusReport, MetricsTargetThatIsNotAMetricsFileIsRefusedAndLeftAlone) {
  std::string scratch = sandbox::scratch_dir();
  write_file("/etc/tavel_trusted/.vemo.log", "log\n");
  write_file(scratch + "/foreign.prom", "not ours\n");
  write_file("/boot/boot.prom", kOldMetrics);
  fs::create_directory_symlink("/boot/grub", scratch + "/grub-link");
  for (const std::string& file :
       {std::string("/boot/vmlinuz-6.1.0-13-amd64"), std::string("/boot/.vemobase"), std::string("/boot/grub/grub.cfg"),
        std::string("/etc/tavel_trusted/.vemo.log"), std::string("/boot/boot.prom"), std::string("/boot/new.prom"),
        std::string("/etc/tavel_trusted/new.prom"), scratch + "/grub-link/new.prom", scratch + "/metrics.txt",
        scratch + "/foreign.prom", scratch + "/.prom"}) {
    SCOPED_TRACE(file);
    std::string before = sandbox::exists(file) ? read_file(file) : "<absent>";
    auto refused = run_status({"--prometheus=" + file});
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.out.rfind("ZOVEMO UNKNOWN - cannot write metrics to \"" + file + "\": ", 0), 0u) << refused.out;
    EXPECT_EQ(sandbox::exists(file) ? read_file(file) : "<absent>", before);
  }
  EXPECT_EQ(run_status().status, 0) << "the baseline is whole";
}

// With a software TPM: the reference slots and the snapshot index.
class StatusTpm : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tpm_.ok()) << tpm_.error();
    sandbox::make_small_boot_tree();
    ASSERT_EQ(run_tool({"-i"}).status, 0);
  }
  tpmtest::Swtpm tpm_;
};

// swtpm has no SM3-256 bank: the snapshot of zeros that -i took cannot be
// vouched for, and says so rather than passing as checked.
const Finding kSnapshotUnchecked{"snapshot_unchecked", "0x1500096",
                                 "reading the TPM's SM3-256 PCR 0 failed: the TPM does not implement SM3-256, so it "
                                 "has no SM3-256 PCR bank"};

TEST_F(StatusTpm, DamagedSlotAndMissingIndicesAreFoundAndNothingElse) {
  JsonReport clean;
  run_json(&clean);
  EXPECT_EQ(clean.run.status, 3) << clean.run.out;
  EXPECT_EQ(clean.findings, std::vector<Finding>{kSnapshotUnchecked});
  json_object* tpm = clean.get("tpm");
  EXPECT_EQ(member(tpm, "checked"), "true");
  EXPECT_EQ(member(tpm, "reference_index"), "present");
  EXPECT_EQ(member(tpm, "snapshot_index"), "present");
  ASSERT_EQ(json_object_array_length(json_object_object_get(tpm, "slots")), 4u);
  EXPECT_EQ(reported_references(clean, true), oracle_references()) << "what a verifier computes is what the TPM holds";
  EXPECT_NE(run_status().out.find("TPM checked: reference index present, 4 of 4 slots in step"), std::string::npos);

  std::string damage = sandbox::scratch_dir() + "/damage";
  write_file(damage, std::string(32, '\x5a'));
  auto write = tpmtest::tpm2_tool("tpm2_nvwrite", {"-C", "o", "-i", damage, "--offset", "32", "0x1500016"});
  ASSERT_EQ(write.status, 0) << write.err;
  JsonReport damaged;
  run_json(&damaged);
  EXPECT_EQ(damaged.run.status, 1);
  EXPECT_EQ(damaged.findings, (std::vector<Finding>{{"slot_differs", "0x1500016", "9"}, kSnapshotUnchecked}));
  json_object* slot = json_object_array_get_idx(damaged.get("findings"), 0);
  std::string damaged_hex;
  for (int i = 0; i < 32; ++i) damaged_hex += "5a";
  EXPECT_EQ(member(slot, "stored"), damaged_hex);

  ASSERT_EQ(tpmtest::tpm2_tool("tpm2_nvundefine", {"-C", "o", "0x1500096"}).status, 0);
  ASSERT_EQ(tpmtest::tpm2_tool("tpm2_nvundefine", {"-C", "o", "0x1500016"}).status, 0);
  JsonReport undefined;
  run_json(&undefined);
  EXPECT_EQ(undefined.run.status, 1);
  EXPECT_EQ(undefined.findings, (std::vector<Finding>{{"reference_index_missing", "0x1500016", ""},
                                                     {"snapshot_index_missing", "0x1500096", ""}}));
  EXPECT_EQ(run_status({"--no-tpm"}).status, 0) << "the files themselves are in step";
}

// Indices that someone redefined with other attributes, size or name
// algorithm and filled with what the report would accept are tampering, and
// their contents are not compared.
TEST_F(StatusTpm, RedefinedIndicesAreTamperingWhateverTheyHold) {
  std::string reference = tpmtest::nv_bytes(kReferenceIndex, 128);
  ASSERT_EQ(reference.size(), 128u);
  std::string file = sandbox::scratch_dir() + "/reference";
  write_file(file, reference);
  for (const char* index : {"0x1500016", "0x1500096"})
    ASSERT_EQ(tpmtest::tpm2_tool("tpm2_nvundefine", {"-C", "o", index}).status, 0);
  auto define = [](const std::vector<std::string>& args) {
    auto run = tpmtest::tpm2_tool("tpm2_nvdefine", args);
    EXPECT_EQ(run.status, 0) << run.err;
  };
  // Anyone may now write the reference values: authwrite with an empty password.
  define({"-C", "o", "-s", "128", "-g", "sha256", "-a", "ownerread|ownerwrite|authwrite|authread", "0x1500016"});
  ASSERT_EQ(tpmtest::tpm2_tool("tpm2_nvwrite", {"-C", "o", "-i", file, "0x1500016"}).status, 0);
  define({"-C", "o", "-s", "512", "-g", "sha1", "-a", "ownerread|ownerwrite|policywrite|write_stclear", "0x1500096"});

  JsonReport report;
  run_json(&report);
  EXPECT_EQ(report.run.status, 1) << report.run.out;
  EXPECT_EQ(report.findings,
            (std::vector<Finding>{
                {"index_redefined", "0x1500016", "attributes 0x00060006, defined as 0x0002400a"},
                {"index_redefined", "0x1500096", "512 bytes, defined as 256; name algorithm 0x0004, defined as 0x000b"}}));
  EXPECT_EQ(json_object_array_length(json_object_object_get(report.get("tpm"), "slots")), 0u);
}

// Answers of a TPM with an SM3-256 bank to the PCR reads; no TPM here has
// one. PCR 2 (option ROMs) takes `pcr2` when set.
std::string live_pcr(int pcr) { return oracle::sm3("firmware measurement of PCR " + std::to_string(pcr)); }
std::string changed_pcr2;

TpmResult pcr_read_with_sm3_bank(TpmContextHandle, const TpmPcrSelection* selection, uint32_t* counter,
                                 TpmPcrValues* values, TpmPcrSelection* read) {
  int pcr = -1;
  for (int bit = 0; bit < 8 && pcr < 0; ++bit)
    if (selection->count == 1 && selection->banks[0].hash == kTpmAlgSm3_256 &&
        (selection->banks[0].pcr_select[0] >> bit & 1))
      pcr = bit;
  if (pcr < 0) return 0x2C3;  // TPM_RC_HASH, as a TPM answers for a bank it lacks
  std::string value = pcr == 2 && !changed_pcr2.empty() ? changed_pcr2 : live_pcr(pcr);
  *read = *selection;
  *counter = 7;
  values->count = 1;
  values->digests[0].size = 32;
  memcpy(values->digests[0].buffer, value.data(), 32);
  return 0;
}

TEST_F(StatusTpm, LivePcrsThatDifferFromTheSnapshotAreDrift) {
  std::string snapshot, file = sandbox::scratch_dir() + "/snapshot";
  for (int pcr = 0; pcr < 8; ++pcr) snapshot += live_pcr(pcr);
  write_file(file, snapshot);
  ASSERT_EQ(tpmtest::tpm2_tool("tpm2_nvwrite", {"-C", "o", "-i", file, "0x1500096"}).status, 0);
  tpm_pcr_read = pcr_read_with_sm3_bank;

  drift::Report same = drift::check({});
  EXPECT_EQ(same.outcome, drift::Outcome::kInStep) << (same.findings.empty() ? same.failure : same.findings[0].reason);

  changed_pcr2 = oracle::sm3("a new option ROM");
  drift::Report updated = drift::check({});
  tpm_pcr_read = Tss2_PCR_Read;
  ASSERT_EQ(updated.findings.size(), 1u);
  const drift::Finding& differs = updated.findings[0];
  EXPECT_EQ(differs.kind, drift::FindingKind::kSnapshotDiffers);
  EXPECT_EQ(differs.pcr, 2);
  EXPECT_EQ(differs.index, kSnapshotIndex);
  EXPECT_EQ(differs.stored, oracle::hex(live_pcr(2)));
  EXPECT_EQ(differs.current, oracle::hex(changed_pcr2));
  EXPECT_EQ(updated.verdict(), drift::Verdict::kWarning);
}

}  // namespace
