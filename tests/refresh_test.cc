// The refresh after package operations, decided file by file: the table of
// what is refreshed, deleted or left as drift, over planted boot files and
// GRUB modules and planted answers of the package records.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "harness/sandbox.h"
#include "refresh/boot_file_hooks.h"
#include "refresh/package_records.h"
#include "refresh/refresh_decision.h"

namespace {

namespace fs = std::filesystem;
using drift::FindingKind;
using refresh::Step;
using sandbox::write_file;

class PlantedRecords : public refresh::Records {
 public:
  std::map<std::string, std::string> vouchers;  // file -> package whose record holds its content
  std::map<std::string, std::string> droppers;  // module -> package that no longer ships it
  std::string grub_package = "grub-pc";

  std::string vouching_package(const std::string& file, std::string* why) override {
    auto found = vouchers.find(file);
    *why = "its content differs from the record of package grub-pc";
    return found == vouchers.end() ? "" : found->second;
  }
  std::string dropped_by(const std::string& module) override {
    auto found = droppers.find(module);
    return found == droppers.end() ? "" : found->second;
  }
  std::string grub_package_of(const std::string&) override { return grub_package; }
};

const std::string kLib = "/usr/lib/grub/i386-pc/", kBoot = "/boot/grub/i386-pc/";

class RefreshDecision : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox::reset();
    ASSERT_EQ(mount("tmpfs", "/usr/lib/grub", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
    for (const char* name : {"a.mod", "b.mod", "other.mod", "kept.mod"}) write_file(kLib + name, name);
    for (const char* name : {"a.mod", "other.mod", "changed.mod"}) write_file(kBoot + name, name);
    write_file(kBoot + "changed.mod", "built here");
    write_file(kLib + "changed.mod", "changed.mod");
    write_file("/boot/vmlinuz-9", "kernel");
    fs::create_symlink(kBoot + "a.mod", kBoot + "link.mod");
    records_.vouchers = {{kLib + "a.mod", "grub-pc"}, {kLib + "other.mod", "other-modules"},
                         {"/boot/vmlinuz-9", "linux-image-9"}};
    records_.droppers = {{kLib + "dropped.mod", "grub-pc"}, {kLib + "kept.mod", "grub-pc"}};
  }
  void TearDown() override { umount2("/usr/lib/grub", MNT_DETACH); }

  PlantedRecords records_;
};

TEST_F(RefreshDecision, RefreshesOnlyWhatTheRecordsVouchForAndDeletesOnlyWhatAPackageDropped) {
  write_file(kBoot + "b.mod", "b.mod");  // equal to its module, whose record does not hold it
  struct Case {
    FindingKind kind;
    std::string path;
    Step step;
    std::string option;
    std::string words;
  } cases[] = {
      {FindingKind::kChanged, kBoot + "a.mod", Step::kApply, "-u", "equal to " + kLib + "a.mod of package grub-pc"},
      {FindingKind::kNewFile, kBoot + "other.mod", Step::kApply, "-a",
       "equal to " + kLib + "other.mod of package other-modules, which vouched for it, not grub-pc, which ships "
       "GRUB's i386-pc modules"},
      {FindingKind::kChanged, kBoot + "changed.mod", Step::kLeave, "-u",
       "not what any installed package ships (it differs from " + kLib + "changed.mod, which GRUB's package installed)"},
      {FindingKind::kChanged, kBoot + "b.mod", Step::kLeave, "-u",
       "not what any installed package ships (it equals " + kLib +
           "b.mod, but for that file its content differs from the record of package grub-pc)"},
      {FindingKind::kMissing, kBoot + "dropped.mod", Step::kApply, "-d",
       "package grub-pc no longer ships " + kLib + "dropped.mod"},
      // Still shipped: whatever an old record says, the entry stays.
      {FindingKind::kMissing, kBoot + "kept.mod", Step::kLeave, "-d",
       "it is gone, and no package's records show that a package dropped it"},
      {FindingKind::kMissing, kBoot + "local.cfg", Step::kLeave, "-d",
       "it is gone, and no package's records show that a package dropped it"},
      {FindingKind::kMissing, "/boot/grub/local.cfg", Step::kLeave, "-d",
       "it is gone, and no package's records show that a package dropped it"},
      {FindingKind::kNewFile, "/boot/config-9", Step::kPass, "-a", ""},
      {FindingKind::kChanged, "/boot/vmlinuz-9", Step::kApply, "-u", "as package linux-image-9 ships it"},
      {FindingKind::kChanged, kBoot + "link.mod", Step::kLeave, "-u",
       "never refreshed automatically: it is a symbolic link"},
      {FindingKind::kChanged, "/usr/local/boot.img", Step::kLeave, "-u",
       "never refreshed automatically: it lies outside /boot and /etc"},
      {FindingKind::kChanged, kBoot + "a[1].mod", Step::kLeave, "-u",
       "never refreshed automatically: its name holds a pattern character"},
      {FindingKind::kChanged, kBoot + "a\n.mod", Step::kLeave, "-u",
       "never refreshed automatically: its name holds a control character"},
  };
  for (const Case& c : cases) {
    refresh::Decision decision = refresh::decide(c.kind, c.path, records_);
    EXPECT_EQ(decision.step, c.step) << c.path;
    EXPECT_EQ(decision.option, c.option) << c.path;
    EXPECT_EQ(decision.words, c.words) << c.path;
  }
}

// The kernel and RAM disk hooks' steps over planted boot files: each file
// once, a listed one updated, a link, a file outside /boot and the crash
// kernel's RAM disk never measured, nothing on an upgrade's prerm.
TEST(RefreshHookSteps, EachBootFileOnceAndOnlyWhatTheToolMeasures) {
  using refresh::HookMode;
  sandbox::reset();
  for (const char* file : {"/boot/vmlinuz-7", "/boot/initramfs-7.img", "/boot/initramfs-7kdump.img", "/boot/grub/grub.cfg"})
    write_file(file, file);
  fs::create_symlink("/boot/initramfs-7.img", "/boot/initrd.img-7");
  const std::vector<std::string> listed = {"/boot/grub/grub.cfg", "/boot/initramfs-7.img", "/boot/vmlinuz-7"};
  auto steps = [&](HookMode mode, std::vector<std::string> arguments, const char* action = nullptr,
                   const std::vector<std::string>& names = {}) {
    std::string said;
    for (const auto& step : refresh::hook_steps(mode, arguments, refresh::package_action_of(action), names))
      said += step.option + " " + step.path + (step.why.empty() ? "" : " " + step.why) + "\n";
    return said;
  };
  EXPECT_EQ(steps(HookMode::kKernelInstall, {"add", "7", "/efi/entry", "/tmp/vmlinuz", "/boot/initramfs-7.img", "/tmp/initrd"},
                  nullptr, {"/boot/grub/grub.cfg", "/boot/initramfs-7.img"}),
            "-a /boot/vmlinuz-7\n-u /boot/initramfs-7.img\n-u /boot/grub/grub.cfg\n");
  EXPECT_EQ(steps(HookMode::kKernelPostinst, {"7", "/boot/vmlinuz-7"}, "'configure' '7'", listed),
            "-u /boot/vmlinuz-7\n-u /boot/initramfs-7.img\n-u /boot/grub/grub.cfg\n");
  EXPECT_EQ(steps(HookMode::kKernelPrerm, {"7", "/boot/vmlinuz-7"}, "upgrade 7", listed), "");
  EXPECT_EQ(steps(HookMode::kKernelPrerm, {"7"}, "remove", listed), "-d /boot/vmlinuz-7\n-d /boot/initramfs-7.img\n");
  EXPECT_EQ(steps(HookMode::kRamDisk, {"7", "/boot/initramfs-7kdump.img"}, nullptr, listed), "");
  fs::remove("/boot/vmlinuz-7");
  EXPECT_EQ(steps(HookMode::kKernelInstall, {"remove", "7", "/efi/entry"}, nullptr, listed),
            " /boot/vmlinuz-7 was removed before this plugin ran; its entry stays until zovemo_config -i\n"
            "-d /boot/initramfs-7.img\n-u /boot/grub/grub.cfg\n");
}

TEST(RefreshRecords, DpkgOwnersOfGrubModulesAreReadAndDiversionsAndOtherFilesLeftOut) {
  refresh::Shipped shipped = refresh::shipped_from_dpkg({
      "grub-pc-bin, other-modules: /usr/lib/grub/i386-pc/a.mod",
      "grub-pc-bin: /usr/lib/grub/i386-pc",
      "grub-pc-bin: /usr/lib/grub/i386-pc/sub/deep.mod",
      "diversion by local from: /usr/lib/grub/i386-pc/b.mod",
      "grub-efi-amd64-bin: /usr/lib/grub/x86_64-efi/e.mod",
      "no separator here",
  });
  EXPECT_EQ(shipped, (refresh::Shipped{{"/usr/lib/grub/i386-pc/a.mod", "grub-pc-bin"},
                                       {"/usr/lib/grub/i386-pc/a.mod", "other-modules"},
                                       {"/usr/lib/grub/x86_64-efi/e.mod", "grub-efi-amd64-bin"}}));
}

}  // namespace
