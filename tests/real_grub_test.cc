// The tool against the machine's real GRUB tools, on a real GPT disk with
// ext4 partitions that the probe sees as sda, nvme0n1 or vda. Skipped, with
// the reason, where the machine cannot give loop devices or lacks the tools.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <filesystem>

#include "harness/document.h"
#include "harness/disk_image.h"
#include "harness/oracle.h"
#include "harness/sandbox.h"

namespace {

namespace fs = std::filesystem;
using disktest::DiskImage;
using sandbox::read_file;
using sandbox::write_file;

const std::string kKernel = "/boot/vmlinuz-6.1.0-13-amd64";
const std::string kRamDisk = "/boot/initrd.img-6.1.0-13-amd64";

sandbox::RunResult run_real(const std::string& binary, const std::vector<std::string>& args) {
  return sandbox::run(binary, args, disktest::real_programs_path());
}
sandbox::RunResult run_tool(const std::vector<std::string>& args) { return run_real(ZOVEMO_BINARY, args); }

// What the real tools say a file's boot path is, asked directly.
std::string boot_path_by_hand(const std::string& path, const char* target = "bios_hints") {
  std::string probe = run_real("/usr/sbin/grub-probe", {"--target", target, path}).out;
  std::string relative = run_real("/usr/bin/grub-mkrelpath", {path}).out;
  return "(" + probe.substr(0, probe.find_first_of(" \n")) + ")" + relative.substr(0, relative.find('\n'));
}

std::map<std::string, std::string> boot_paths_stored() {
  std::map<std::string, std::string> boot_paths;
  for (const auto& entry : stored::entries()) boot_paths[entry.sys_path] = entry.grub_path;
  return boot_paths;
}

// A boot tree with GRUB's own module files where grub-pc-bin is installed.
void fill_boot_tree(const std::string& boot) {
  fs::create_directories(boot + "/grub/i386-pc");
  for (const char* module : {"normal.mod", "linux.mod", "ext2.mod"}) {
    std::string real = std::string("/usr/lib/grub/i386-pc/") + module;
    write_file(boot + "/grub/i386-pc/" + module, fs::exists(real) ? read_file(real) : std::string(4000, module[0]));
  }
  write_file(boot + "/grub/grub.cfg", "set timeout=5\n");
  write_file(boot + kKernel.substr(5), std::string(200000, 'k'));
  write_file(boot + kRamDisk.substr(5), std::string(300000, 'i'));
}

class RealGrub : public ::testing::Test {
 protected:
  // The disk shown as `name`, its root partition (3) with /boot as a directory.
  bool boot_on(const std::string& name) {
    std::string why_not;
    disk_ = DiskImage::make(name, &why_not);
    if (!disk_) {
      skip_reason_ = why_not;
      return false;
    }
    root_ = sandbox::scratch_dir() + "/root";
    EXPECT_TRUE(disk_->mount_partition(3, root_));
    fill_boot_tree(root_ + "/boot");
    EXPECT_TRUE(disk_->bind(root_ + "/boot", "/boot"));
    return true;
  }

  sandbox::FakesHidden fakes_hidden_;  // the machine's own GRUB tools answer
  std::unique_ptr<DiskImage> disk_;
  std::string root_, skip_reason_;
};

#define BOOT_ON_OR_SKIP(name) \
  if (!boot_on(name)) GTEST_SKIP() << "no real disk for GRUB's tools here: " << skip_reason_

TEST_F(RealGrub, SataDiskGivesTheBootPathsOfTheRealTools) {
  BOOT_ON_OR_SKIP("sda");
  auto init = run_tool({"-i"});
  EXPECT_EQ(init.out.find("failed"), std::string::npos) << init.out;
  EXPECT_EQ(init.err, "");
  auto stored = boot_paths_stored();
  ASSERT_EQ(stored.size(), 6u) << init.out << init.err;
  EXPECT_EQ(stored[kKernel], "(hd0,gpt3)" + kKernel);
  for (const auto& [path, boot_path] : stored) EXPECT_EQ(boot_path, boot_path_by_hand(path)) << path;
}

TEST_F(RealGrub, NvmeDiskNeedsTheDeviceMapAndVirtioFailsWithoutOne) {
  BOOT_ON_OR_SKIP("nvme0n1");
  ASSERT_EQ(boot_path_by_hand(kKernel), "()" + kKernel) << "GRUB guesses no BIOS drive for NVMe";
  auto without_map = run_tool({"-i"});
  EXPECT_NE(without_map.out.find("measure init failed"), std::string::npos) << without_map.out;
  EXPECT_FALSE(sandbox::exists("/boot/.vemobase")) << "no baseline that names no file";
  EXPECT_NE(without_map.err.find("GRUB has no drive name for disk /dev/nvme0n1 (6 files:"), std::string::npos)
      << without_map.err;
  EXPECT_NE(without_map.err.find("\"(hd0) /dev/nvme0n1\""), std::string::npos) << "the remedy is named";

  write_file("/boot/grub/device.map", "(hd0) /dev/nvme0n1\n");
  auto with_map = run_tool({"-i"});
  EXPECT_EQ(with_map.err, "");
  auto stored = boot_paths_stored();
  ASSERT_EQ(stored.size(), 6u);
  for (const auto& [path, boot_path] : stored) {
    EXPECT_EQ(boot_path, boot_path_by_hand(path, "compatibility_hint"));
    EXPECT_EQ(boot_path.substr(0, 10), "(hd0,gpt3)") << boot_path;
  }
  // Without the map again, zovemo_status tells the one cause of every file
  // in one line, with its first files and the remedy.
  fs::remove("/boot/grub/device.map");
  auto unmapped = run_real((fs::path(ZOVEMO_BINARY).parent_path() / "src/status/zovemo_status").string(), {"--no-tpm"});
  std::vector<std::string> unchecked;
  for (const auto& line : oracle::lines_of(unmapped.out))
    if (line.rfind("boot_path_unchecked ", 0) == 0) unchecked.push_back(line);
  ASSERT_EQ(unchecked.size(), 1u) << unmapped.out;
  EXPECT_NE(unchecked[0].find("GRUB has no drive name for disk /dev/nvme0n1 (6 files: "), std::string::npos)
      << unchecked[0];
  EXPECT_NE(unchecked[0].find(", ...); name it in /boot/grub/device.map, e.g. \"(hd0) /dev/nvme0n1\""),
            std::string::npos)
      << unchecked[0];
  write_file("/boot/grub/device.map", "(hd0) /dev/nvme0n1\n");

  // The same disk as a virtio disk the map does not name: the baseline stays.
  std::string document = read_file("/boot/.vemobase"), list = read_file("/boot/.vemobase.tmp");
  disk_->unmount_all();
  ASSERT_TRUE(disk_->rename("vda"));
  ASSERT_TRUE(disk_->mount_partition(3, root_));
  ASSERT_TRUE(disk_->bind(root_ + "/boot", "/boot"));
  auto unnamed = run_tool({"-i"});
  EXPECT_NE(unnamed.out.find("measure init failed"), std::string::npos);
  EXPECT_NE(unnamed.err.find("/dev/vda"), std::string::npos) << unnamed.err;
  EXPECT_EQ(read_file("/boot/.vemobase"), document);
  EXPECT_EQ(read_file("/boot/.vemobase.tmp"), list);
}

TEST_F(RealGrub, BootAsItsOwnPartitionHasNoBootPrefix) {
  std::string why_not;
  disk_ = DiskImage::make("sda", &why_not);
  if (!disk_) GTEST_SKIP() << "no real disk for GRUB's tools here: " << why_not;
  ASSERT_TRUE(disk_->mount_partition(2, "/boot"));
  fill_boot_tree("/boot");
  run_tool({"-i"});
  auto stored = boot_paths_stored();
  ASSERT_EQ(stored.size(), 6u);
  EXPECT_EQ(stored[kKernel], "(hd0,gpt2)/vmlinuz-6.1.0-13-amd64");
}

TEST_F(RealGrub, RenamedDiskIsRefusedNotMeasuredTwice) {
  BOOT_ON_OR_SKIP("sda");
  run_tool({"-i"});
  ASSERT_EQ(boot_paths_stored().size(), 6u);
  disk_->unmount_all();
  ASSERT_TRUE(disk_->rename("sdb"));
  ASSERT_TRUE(disk_->mount_partition(3, root_));
  ASSERT_TRUE(disk_->bind(root_ + "/boot", "/boot"));
  std::string document = read_file("/boot/.vemobase");

  auto add = run_tool({"-a", kKernel});
  EXPECT_EQ(add.out, "measure add failed\n");
  EXPECT_NE(add.err.find("already measured as (hd0,gpt3)" + kKernel + " but GRUB now names it (hd1,gpt3)" + kKernel),
            std::string::npos)
      << add.err;
  EXPECT_EQ(read_file("/boot/.vemobase"), document);

  auto update_all = run_tool({"-u", "--all"});
  EXPECT_NE(update_all.err.find("the disk names have changed"), std::string::npos) << update_all.err;
  EXPECT_LE(std::count(update_all.err.begin(), update_all.err.end(), '\n'), 2) << "one line per cause";
}

// Answers reused per filesystem and directory give exactly what asking the
// tools for every file gives: two filesystems, a bind mount, a symbolic link
// to a file and one to a directory.
TEST_F(RealGrub, ReusedAnswersMatchAskingForEveryFile) {
  BOOT_ON_OR_SKIP("sda");
  ASSERT_TRUE(disk_->mount_partition(2, "/boot/efi"));
  write_file("/boot/efi/EFI/debian/grub.cfg", "configfile\n");
  write_file("/boot/efi/EFI/debian/x86_64-efi/part.mod", "efi module");
  write_file(root_ + "/extra/bound.mod", "bound");
  fs::create_directories("/boot/grub/bound");
  ASSERT_TRUE(disk_->bind(root_ + "/extra", "/boot/grub/bound"));
  write_file("/boot/custom/a.conf", "a");
  write_file("/boot/custom/b.conf", "b");
  fs::create_symlink("/boot/custom", "/boot/custom-link");
  fs::create_symlink("/boot/grub/grub.cfg", "/boot/grub/link.cfg");

  auto outcome = [&](const std::string& binary) {
    std::string out;
    for (const auto& args : std::vector<std::vector<std::string>>{{"-i"},
                                                                   {"-a", "/boot/custom-link/a.conf"},
                                                                   {"-a", "/boot/custom-link/b.conf"},
                                                                   {"-u", "--all"}}) {
      auto result = run_real(binary, args);
      out += result.out + result.err;
    }
    std::string log = read_file("/etc/tavel_trusted/.vemo.log");
    fs::remove("/etc/tavel_trusted/.vemo.log");
    return std::vector<std::string>{oracle::without_times(out), read_file("/boot/.vemobase.tmp"),
                                    oracle::without_times(read_file("/boot/.vemobase")), oracle::without_times(log)};
  };
  auto asked = outcome(ZOVEMO_SEQUENTIAL_BINARY);
  auto reused = outcome(ZOVEMO_BINARY);
  const char* parts[] = {"output", "path list", "document", "log"};
  for (size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(reused[i], asked[i]) << parts[i];

  auto stored = boot_paths_stored();
  EXPECT_EQ(stored["/boot/efi/EFI/debian/grub.cfg"], "(hd0,gpt2)/EFI/debian/grub.cfg");
  EXPECT_EQ(stored["/boot/grub/bound/bound.mod"], boot_path_by_hand("/boot/grub/bound/bound.mod"));
  EXPECT_EQ(stored["/boot/custom-link/b.conf"], "(hd0,gpt3)/boot/custom/b.conf");
  EXPECT_EQ(stored.size(), 11u) << reused[0];
}

// The drift report with answers reused per file system and directory says,
// byte for byte but its times, what asking the tools for every file says:
// for a renamed disk, a file bind-mounted from elsewhere, a file turned into
// a symbolic link and a missing one.
TEST_F(RealGrub, DriftReportWithReuseMatchesAskingForEveryFile) {
  BOOT_ON_OR_SKIP("sda");
  write_file(root_ + "/extra/bound.mod", "bound");
  write_file("/boot/grub/i386-pc/bound.mod", "");
  ASSERT_TRUE(disk_->bind(root_ + "/extra/bound.mod", "/boot/grub/i386-pc/bound.mod"));
  ASSERT_TRUE(disk_->mount_partition(2, "/boot/efi"));
  write_file("/boot/efi/EFI/debian/grub.cfg", "configfile\n");
  ASSERT_EQ(run_tool({"-i"}).out.find("failed"), std::string::npos);
  ASSERT_EQ(boot_paths_stored()["/boot/grub/i386-pc/bound.mod"], boot_path_by_hand("/boot/grub/i386-pc/bound.mod"));
  fs::remove(kRamDisk);
  fs::remove("/boot/grub/i386-pc/ext2.mod");
  fs::create_symlink("/boot/grub/i386-pc/linux.mod", "/boot/grub/i386-pc/ext2.mod");
  write_file("/boot/grub/grub.cfg", "changed\n");

  const std::string status = (fs::path(ZOVEMO_BINARY).parent_path() / "src/status/zovemo_status").string();
  auto same_reports = [&](const char* when) {
    SCOPED_TRACE(when);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--no-tpm"}, {"--no-tpm", "--json"}}) {
      auto reused = run_real(status, args), asked = run_real(status + "_sequential", args);
      EXPECT_EQ(reused.status, asked.status);
      EXPECT_EQ(oracle::without_check_times(reused.out), oracle::without_check_times(asked.out));
      EXPECT_EQ(reused.err, asked.err);
    }
  };
  same_reports("on sda");
  disk_->unmount_all();
  ASSERT_TRUE(disk_->rename("sdb"));
  ASSERT_TRUE(disk_->mount_partition(3, root_));
  ASSERT_TRUE(disk_->bind(root_ + "/boot", "/boot"));
  ASSERT_TRUE(disk_->bind(root_ + "/extra/bound.mod", "/boot/grub/i386-pc/bound.mod"));
  ASSERT_TRUE(disk_->mount_partition(2, "/boot/efi"));
  same_reports("renamed to sdb");
  EXPECT_NE(run_real(status, {"--no-tpm"}).out.find("boot_path_changed /boot/grub/i386-pc/bound.mod"),
            std::string::npos);
}

}  // namespace
