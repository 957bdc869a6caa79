// GRUB tool selection and boot path translation against the recording fakes:
// what each program printed, which programs ran, with which arguments.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "bootpath/translation.h"
#include "bootpath/grub_tools.h"
#include "support/platform_programs.h"
#include "harness/sandbox.h"

namespace {

using Runs = std::vector<std::vector<std::string>>;
using sandbox::fakes;

std::string translate(const std::string& path) {
  char* boot_path = concatenate_json_string(path.c_str());
  std::string text = boot_path ? boot_path : "<null>";
  free(boot_path);
  return text;
}

struct ShortTimeBound {
  ShortTimeBound() { set_default_program_seconds_for_testing(1); }
  ~ShortTimeBound() { set_default_program_seconds_for_testing(0); }
};

std::vector<std::string> program_names() {
  std::vector<std::string> names;
  for (const auto& run : fakes().records()) names.push_back(run[0]);
  return names;
}

TEST(GrubTools, PairFollowsTheGrubDirectoryThatExistsAsSuch) {
  struct Case {
    std::vector<const char*> dirs;
    const char* probe;
  } cases[] = {{{"/boot/grub2"}, "grub2-probe"},
               {{"/boot/grub"}, "grub-probe"},
               {{"/boot/grub", "/boot/grub2"}, "grub-probe"},
               {{"/boot/grub.bak", "/boot/grub2"}, "grub2-probe"},
               {{"/boot/grub.bak"}, "grub-probe"}};
  for (const auto& c : cases) {
    sandbox::reset();
    reset_grub_tools();
    for (const char* dir : c.dirs) sandbox::make_dirs(dir);
    ASSERT_EQ(set_command(), 0);
    EXPECT_STREQ(GRUB_PROBE, c.probe);
    EXPECT_STREQ(GRUB_MKRELPATH, std::string(c.probe) == "grub2-probe" ? "grub2-mkrelpath" : "grub-mkrelpath");
  }
}

TEST(GrubTools, NoGrubDirectoryFailsEveryTimeAndSelectionIsKept) {
  EXPECT_EQ(set_command(), -1);
  EXPECT_STREQ(GRUB_PROBE, "");
  auto log = sandbox::log_lines();
  ASSERT_EQ(log.size(), 2u) << "the fixed line, then the reason with what ls said";
  EXPECT_NE(log[0].find("[ERROR]"), std::string::npos);
  EXPECT_NE(log[0].find("main:set_command() not find grub probe commond"), std::string::npos);
  EXPECT_NE(log[1].find("no GRUB directory"), std::string::npos);
  EXPECT_NE(log[1].find("ls: "), std::string::npos) << log[1];
  unsigned long before = programs_started();
  EXPECT_EQ(set_command(), -1);
  EXPECT_EQ(programs_started(), before + 1) << "a failed selection is tried again";

  sandbox::make_dirs("/boot/grub2");
  ASSERT_EQ(set_command(), 0);
  before = programs_started();
  sandbox::reset();  // even without the directory the selection stands
  EXPECT_EQ(set_command(), 0);
  EXPECT_EQ(programs_started(), before);
  EXPECT_STREQ(GRUB_PROBE, "grub2-probe");
}

class BootPath : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox::make_dirs("/boot/grub2");
    ASSERT_EQ(set_command(), 0);
    fakes().clear_records();
  }
};

TEST_F(BootPath, ProbeWordAndRelativePathMakeTheBootPath) {
  const std::string path = "/boot/grub2/grub.cfg";
  fakes().answer("grub2-probe", path, "hd0,gpt2 --hint-bios=hd0,gpt2 --hint-efi=hd0,gpt2\nsecond line\n");
  fakes().answer("grub2-mkrelpath", path, "/grub2/grub.cfg\n");
  EXPECT_EQ(translate(path), "(hd0,gpt2)/grub2/grub.cfg");
  EXPECT_EQ(fakes().records(), (Runs{{"grub2-probe", "--target", "bios_hints", path},
                                     {"dmidecode", "-t", "1"},
                                     {"grub2-mkrelpath", path}}));
  // The same path twice gives the same text; the manufacturer is asked only once.
  fakes().clear_records();
  EXPECT_EQ(translate(path), "(hd0,gpt2)/grub2/grub.cfg");
  EXPECT_EQ(program_names(), (std::vector<std::string>{"grub2-probe", "grub2-mkrelpath"}));
}

TEST_F(BootPath, HuaweiMachinesRaiseTheDiskNumberInDecimal) {
  fakes().default_answer("dmidecode", "# dmidecode 3.4\nSystem Information\n\tManufacturer: Huawei Technologies\n");
  fakes().default_answer("grub2-mkrelpath", "/x\n");
  for (auto [probe, expected] : std::vector<std::pair<std::string, std::string>>{
           {"hd0,gpt2", "(hd1,gpt2)/x"}, {"hd9,msdos1", "(hd10,msdos1)/x"}, {"hd10", "(hd11)/x"}}) {
    fakes().default_answer("grub2-probe", probe + "\n");
    EXPECT_EQ(translate("/boot/x"), expected);
  }
  EXPECT_EQ(raise_disk_number("hdx"), "hdx");
  EXPECT_EQ(raise_disk_number("fd0"), "fd0");
}

TEST_F(BootPath, ManufacturerMustBeSpelledHuaweiOnItsOwnLine) {
  fakes().default_answer("grub2-probe", "hd0,gpt2\n");
  fakes().default_answer("grub2-mkrelpath", "/x\n");
  fakes().default_answer("dmidecode", "\tManufacturer: HUAWEI\n\tProduct Name: Huawei\n");
  EXPECT_EQ(translate("/boot/x"), "(hd0,gpt2)/x");
}

TEST_F(BootPath, LvmVolumesTakeTheDeviceNodeFromDf) {
  const std::string path = "/boot/vmlinuz";
  fakes().answer("grub2-probe", path, "lvmid/abc-def/123 \n");
  fakes().answer("df", path, "Filesystem 1K-blocks Used\n/dev/mapper/vg-root 100 1\n");
  fakes().answer("grub2-mkrelpath", path, "/vmlinuz\n");
  EXPECT_EQ(translate(path), "(lvm/vg-root)/vmlinuz");
  EXPECT_EQ(program_names(), (std::vector<std::string>{"grub2-probe", "df", "grub2-mkrelpath"}));

  fakes().clear_records();
  fakes().answer("df", path, "Filesystem 1K-blocks Used\n");
  EXPECT_EQ(translate(path), "<null>");
  EXPECT_EQ(program_names(), (std::vector<std::string>{"grub2-probe", "df"}));
}

TEST_F(BootPath, FailuresStopBeforeTheNextProgram) {
  for (const char* probe : {"", "\n"}) {
    fakes().clear_records();
    fakes().default_answer("grub2-probe", probe);
    EXPECT_EQ(translate("/boot/x"), "<null>");
    EXPECT_EQ(fakes().records(), (Runs{{"grub2-probe", "--target", "bios_hints", "/boot/x"},
                                       {"grub2-probe", "--target", "compatibility_hint", "/boot/x"}}))
        << "the device map's hint is asked before giving up";
  }
  for (const char* garbage : {"hd0\x01\n", "(hd0)\n", "\xff\xfe\n"}) {
    fakes().clear_records();
    fakes().default_answer("grub2-probe", garbage);
    EXPECT_EQ(translate("/boot/x"), "<null>") << "no drive name: " << garbage;
    EXPECT_EQ(program_names(), std::vector<std::string>{"grub2-probe"});
  }
  fakes().default_answer("grub2-probe", " hd0\n");
  fakes().default_answer("grub2-mkrelpath", "/x\n");
  EXPECT_EQ(translate("/boot/x"), "()/x") << "a leading space gives an empty device part";
  fakes().default_answer("grub2-probe", "cd\n");
  fakes().default_answer("grub2-mkrelpath", "x\n");
  EXPECT_EQ(translate("/boot/x"), "<null>");
  fakes().default_answer("grub2-mkrelpath", "");
  EXPECT_EQ(translate("/boot/x"), "<null>");
  char* relative = grub_mkrelpath("/boot/x");
  EXPECT_EQ(relative, nullptr);
  fakes().remove_program("grub2-probe");
  EXPECT_EQ(translate("/boot/x"), "<null>") << "a program that cannot start prints nothing";
}

TEST_F(BootPath, NastyPathReachesEachToolUnchangedAndRunsNothing) {
  const std::string path = "/boot/a b\"c$(touch /boot/pwned)`touch /boot/pwned2`\\d'e\nf";
  fakes().default_answer("grub2-probe", "lvmid/x\n");
  EXPECT_EQ(translate(path), "(lvm/vg-root)" + path.substr(0, path.find('\n')));
  Runs runs = fakes().records();
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0], (std::vector<std::string>{"grub2-probe", "--target", "bios_hints", path}));
  EXPECT_EQ(runs[1], (std::vector<std::string>{"df", path}));
  EXPECT_EQ(runs[2], (std::vector<std::string>{"grub2-mkrelpath", path}));
  EXPECT_FALSE(sandbox::exists("/boot/pwned"));
  EXPECT_FALSE(sandbox::exists("/boot/pwned2"));
}

TEST_F(BootPath, BootPathsUpTo1023CharactersAreHandledWhole) {
  fakes().default_answer("grub2-probe", std::string(700, 'h') + "\n");
  std::string longest = "/boot/" + std::string(1023 - 702 - 6, 'L');
  EXPECT_EQ(translate(longest), "(" + std::string(700, 'h') + ")" + longest);
  std::string boot_path;
  TranslationFailure failure;
  EXPECT_FALSE(translate_boot_path(longest + "L", &boot_path, &failure)) << boot_path;
  EXPECT_EQ(failure.cause, "the boot path is longer than 1023 characters");
}

TEST_F(BootPath, AtMostTwoProgramsPerPathAfterTheFirstManufacturerQuery) {
  translate("/boot/first");
  unsigned long before = programs_started();
  for (int i = 0; i < 10; ++i) translate("/boot/file" + std::to_string(i));
  EXPECT_EQ(programs_started() - before, 20u);
  for (const auto& run : fakes().records()) EXPECT_NE(run[0], "sh");
}

TEST_F(BootPath, AGrubToolThatHangsIsKilledWithItsGroupAtTheBound) {
  ShortTimeBound bound;
  for (const char* program : {"grub2-probe", "grub2-mkrelpath"}) {
    sandbox::write_file(fakes().dir() + "/answers/" + program + "/sleep", "30");
    auto start = std::chrono::steady_clock::now();
    std::string boot_path;
    TranslationFailure failure;
    EXPECT_FALSE(translate_boot_path("/boot/x", &boot_path, &failure)) << program;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << program;
    EXPECT_EQ(failure.cause, std::string(program) + " did not finish within 1 seconds");
    EXPECT_TRUE(sandbox::hanging_run_is_gone(program)) << program << " or its helper still runs";
    std::filesystem::remove(fakes().dir() + "/answers/" + program + "/sleep");
  }
}

TEST_F(BootPath, AGrubToolThatFailedOrSaidTooMuchOrControlsGaveNoAnswer) {
  struct Case {
    const char* program;
    std::string answer;
    const char* exit;  // nullptr: status 0
    const char* detail;
  } cases[] = {
      {"grub2-probe", std::string(20000, 'h'), nullptr, "grub2-probe printed more than 1024 bytes"},
      {"grub2-probe", "hd0,gpt2\n", "1", "grub2-probe exited with status 1"},
      {"grub2-probe", "hd0,gpt2\n", "-11", "grub2-probe was killed by signal 11"},
      {"grub2-mkrelpath", "/" + std::string(20000, 'x'), nullptr, "grub2-mkrelpath printed more than 1024 bytes"},
      {"grub2-mkrelpath", "/x\n", "1", "grub2-mkrelpath exited with status 1"},
      {"grub2-mkrelpath", "/x\x1b]0;owned\x07\n", nullptr, "it printed \"/x ]0;owned\""},
  };
  for (const auto& c : cases) {
    fakes().reset();
    fakes().default_answer(c.program, c.answer);
    if (c.exit != nullptr) sandbox::write_file(fakes().dir() + "/answers/" + c.program + "/exit", c.exit);
    std::string boot_path;
    TranslationFailure failure;
    EXPECT_FALSE(translate_boot_path("/boot/x", &boot_path, &failure)) << c.detail << ": " << boot_path;
    EXPECT_EQ(failure.detail, c.detail);
  }
}

// Out of file descriptors no GRUB tool starts: that is the reason given,
// not a disk GRUB cannot read.
TEST_F(BootPath, AGrubToolThatCannotBeStartedIsToldWithTheReason) {
  std::vector<int> held;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
  std::string boot_path;
  TranslationFailure failure;
  const bool translated = translate_boot_path("/boot/x", &boot_path, &failure);
  for (int fd : held) close(fd);
  EXPECT_FALSE(translated);
  EXPECT_EQ(failure.cause, "grub2-probe could not be started: Too many open files");
}

}  // namespace
