// The real executable: usage text, exit statuses, dispatch and policy rules.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "harness/document.h"
#include "harness/sandbox.h"

namespace {

using sandbox::run_tool;

const char* const kUsage =
    "\nzovemo_config -i\nzovemo_config -a/-d absolutepath\nzovemo_config -u [absolutepath]\n"
    "zovemo_config -u --all\nzovemo_config -b -v 0/1\nzovemo_config -p -v 0/1\n\n";

const char* const kDocument = "/boot/.vemobase";

void write_document(const char* trust, const char* arrest) {
  json_object* document = json_object_new_object();
  json_object_object_add(document, "trust_startup", json_object_new_string(trust));
  json_object_object_add(document, "arrest_mode", json_object_new_string(arrest));
  json_object_object_add(document, "list", json_object_new_array());
  json_object_to_file_ext(kDocument, document, JSON_C_TO_STRING_PRETTY);
  json_object_put(document);
}

std::string member(const char* name) { return stored::top_member(name); }

TEST(CliUsage, UnusableFirstOptionShowsUsageWithStatus255) {
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"-v", "1"}, {"-x"}, {"-h"}, {"-a"}, {"-u"},
                                        {"boot"}}) {
    auto result = run_tool(args);
    EXPECT_EQ(result.status, 255) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(result.out, kUsage);
  }
  // The option parser explains an unknown letter or a missing value itself.
  EXPECT_NE(run_tool({"-x"}).err, "");
  EXPECT_NE(run_tool({"-a"}).err, "");
}

TEST(CliUsage, TooFewWordsShowUsageWithStatus0AndChangeNothing) {
  write_document("on", "log");
  std::string before = sandbox::read_file(kDocument);
  for (std::vector<std::string> args : {std::vector<std::string>{"-a/boot/x"}, {"-b"}, {"-b", "-v"}, {"-b", "-v1"},
                                        {"-p", "-v", "2"}, {"-b", "-b", "1"}, {"-p", "-i"}}) {
    auto result = run_tool(args);
    EXPECT_EQ(result.status, 0) << args[0];
    EXPECT_EQ(result.out, kUsage) << args[0];
  }
  EXPECT_EQ(sandbox::read_file(kDocument), before);
}

TEST(CliPolicy, TrustStartupSwitchesAndResetsArrestMode) {
  write_document("on", "dialog");
  auto off = run_tool({"-b", "-v", "0"});
  EXPECT_EQ(off.status, 0);
  EXPECT_EQ(off.out, "");
  EXPECT_EQ(member("trust_startup"), "off");
  EXPECT_EQ(member("arrest_mode"), "log");

  write_document("off", "dialog");
  EXPECT_EQ(run_tool({"-b", "-v", "10"}).out, "");
  EXPECT_EQ(member("trust_startup"), "on");
  EXPECT_EQ(member("arrest_mode"), "dialog");

  // Only the second option's value counts, not its letter.
  write_document("off", "log");
  run_tool({"-b", "-u", "1"});
  EXPECT_EQ(member("trust_startup"), "on");
}

TEST(CliPolicy, ArrestModeNeedsTrustedStartupOn) {
  write_document("on", "log");
  EXPECT_EQ(run_tool({"-p", "-v", "1"}).out, "");
  EXPECT_EQ(member("arrest_mode"), "dialog");
  run_tool({"-p", "-v", "0x"});
  EXPECT_EQ(member("arrest_mode"), "log");

  for (const char* trust : {"off", "ON"}) {
    write_document(trust, "log");
    struct stat before {};
    stat(kDocument, &before);
    std::string content = sandbox::read_file(kDocument);
    auto result = run_tool({"-p", "-v", "1"});
    EXPECT_EQ(result.out, "start trust_startup first\nset arrest mode failed\n");
    EXPECT_EQ(result.status, 0);
    struct stat after {};
    stat(kDocument, &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the document must not be rewritten";
    EXPECT_EQ(sandbox::read_file(kDocument), content);
  }
}

TEST(CliPolicy, MissingDocumentIsReportedAndNotCreated) {
  auto result = run_tool({"-b", "-v", "1"});
  EXPECT_EQ(result.out, "/boot/.vemobase not exist, init first\nset trust startup failed\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(sandbox::exists(kDocument));
  EXPECT_EQ(run_tool({"-p", "-v", "0"}).out, "/boot/.vemobase not exist, init first\nset arrest mode failed\n");
}

TEST(CliPolicy, SavedDocumentIsJsonCPrettyOutputWithMembersInOrder) {
  write_document("on", "log");
  run_tool({"-b", "-v", "1"});
  EXPECT_EQ(sandbox::read_file(kDocument),
            "{\n  \"trust_startup\":\"on\",\n  \"arrest_mode\":\"log\",\n  \"list\":[\n  ]\n}");
}

TEST(CliCommands, FailingCommandPrintsItsOwnLinesThenTheNotice) {
  auto relative = run_tool({"-a", "boot/x"});
  EXPECT_EQ(relative.out, "input absolute path\nmeasure add failed\n");
  EXPECT_EQ(relative.status, 0);
  // No GRUB directory: the pre-start step fails every measurement command.
  EXPECT_EQ(run_tool({"-i"}).out, "---start measure init---\nmeasure init failed\n");
  EXPECT_EQ(run_tool({"-d", "/boot/x"}).out, "measure del failed\n");
  EXPECT_EQ(run_tool({"-u", "/boot/x"}).out, "measure upd failed\n");
  EXPECT_EQ(run_tool({"-u", "--all"}).out, "measure upd failed\n");
  // Only the initialisation runs, whatever follows it.
  EXPECT_EQ(run_tool({"-i", "-a", "/boot/x"}).out, "---start measure init---\nmeasure init failed\n");
}

TEST(CliCommands, OutputStaysInOrderThroughAPipe) {
  sandbox::make_small_boot_tree();
  auto result = run_tool({"-i"});
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind("---start measure init---\n", 0), 0u);
  EXPECT_EQ(result.out.find("measure init failed"), std::string::npos);
}

// What the administrator must know before a command runs reaches standard
// error once; the command itself runs and reports on standard output as ever.
TEST(CliSurroundings, NoRootAndNoLogDirectoryAreToldOnStandardError) {
  write_document("on", "log");
  auto unprivileged = sandbox::run("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", ZOVEMO_BINARY,
                                                         "-b", "-v", "0"},
                                   sandbox::FakeTools::instance().path_variable());
  EXPECT_EQ(unprivileged.out, "set trust startup failed\n");
  EXPECT_EQ(unprivileged.err.rfind("zovemo_config: must be run as root", 0), 0u) << unprivileged.err;
  EXPECT_EQ(member("trust_startup"), "on");
  // One line, then nothing probed: no permission noise, no device map advice.
  sandbox::make_small_boot_tree();
  sandbox::FakeTools::instance().clear_records();
  // Writable by the unprivileged runs, so a program they start is recorded.
  const std::string record = sandbox::FakeTools::instance().dir() + "/record";
  sandbox::write_file(record, "");
  ASSERT_EQ(chmod(record.c_str(), 0666), 0);
  const std::string status = (std::filesystem::path(ZOVEMO_BINARY).parent_path() / "src/status/zovemo_status").string();
  struct {
    std::vector<std::string> command;
    const char* out_begins;
  } runs[] = {{{ZOVEMO_BINARY, "-a", "/boot/grub/grub.cfg"}, "measure add failed\n"},
              {{ZOVEMO_BINARY, "-i"}, "---start measure init---\nmeasure init failed\n"},
              {{status}, "ZOVEMO UNKNOWN - must be run as root"}};
  for (const auto& r : runs) {
    std::vector<std::string> args = {"--reuid=65534", "--regid=65534", "--clear-groups"};
    args.insert(args.end(), r.command.begin(), r.command.end());
    auto result = sandbox::run("/usr/bin/setpriv", args, sandbox::FakeTools::instance().path_variable());
    EXPECT_EQ(result.out.rfind(r.out_begins, 0), 0u) << result.out;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find("must be run as root"), std::string::npos) << result.err;
  }
  EXPECT_TRUE(sandbox::FakeTools::instance().records().empty()) << "no program ran";

  ASSERT_EQ(umount2("/etc/tavel_trusted", MNT_DETACH), 0);
  ASSERT_EQ(rmdir("/etc/tavel_trusted"), 0);
  auto unlogged = run_tool({"-b", "-v", "0"});
  EXPECT_EQ(unlogged.out, "");
  EXPECT_EQ(unlogged.err, "zovemo_config: /etc/tavel_trusted does not exist: nothing will be logged\n");
  EXPECT_EQ(member("trust_startup"), "off");
  sandbox::write_file("/etc/tavel_trusted", "");
  EXPECT_EQ(run_tool({"-b", "-v", "0"}).err, "zovemo_config: /etc/tavel_trusted is not a directory: nothing will be logged\n");
}

// An umask that denies root its own files: every file the tool makes is
// still root's to read and write.
TEST(CliSurroundings, AnUmaskThatDeniesEverythingStillGivesRootItsFiles) {
  sandbox::make_small_boot_tree();
  mode_t old_mask = umask(0777);
  auto init = run_tool({"-i"});
  umask(old_mask);
  EXPECT_EQ(init.out.find("failed"), std::string::npos) << init.out << init.err;
  for (const char* file : {"/boot/.vemobase", "/boot/.vemobase.tmp", "/boot/.vemolog"}) {
    struct stat info {};
    ASSERT_EQ(stat(file, &info), 0) << file;
    EXPECT_EQ(info.st_mode & 0600, 0600u) << file;
  }
}

}  // namespace

// The caller's PATH (a package manager's, as root) never picks the programs
// the tool starts, nor the PATH those programs see.
TEST(CliSurroundings, ProgramsComeFromTheFixedSearchPathNotTheCallersPath) {
  sandbox::make_small_boot_tree();
  const std::string planted = sandbox::scratch_dir() + "/planted";
  for (const char* name : {"grub-probe", "grub-mkrelpath", "ls", "find", "sh"}) {
    sandbox::make_dirs(planted + "/answers/" + name);
    std::filesystem::copy_file(FAKE_TOOL_BINARY, planted + "/" + name);
  }
  auto added = sandbox::run(ZOVEMO_BINARY, {"-i"}, planted + ":/usr/bin:/bin");
  EXPECT_EQ(added.out.find("measure init failed"), std::string::npos) << added.out << added.err;
  EXPECT_FALSE(sandbox::exists(planted + "/record")) << "a program on the caller's PATH ran";
  EXPECT_FALSE(sandbox::FakeTools::instance().records().empty());
}
