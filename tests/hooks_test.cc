// The update hooks run as the package system runs them: run-parts over
// copies of the hook directories, next to stand-ins of the RAM disk builder
// and the boot loader's hook, on simulated kernel installs and removals in
// the sandbox. Also the install rules, manual pages and shell completion.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "harness/oracle.h"
#include "harness/sandbox.h"
#include "support/private_lock.h"

namespace {

namespace fs = std::filesystem;
using sandbox::read_file;
using sandbox::run_tool;
using sandbox::write_file;

const fs::path kBuildDir = fs::path(ZOVEMO_BINARY).parent_path();
const std::string kStatusBinary = (kBuildDir / "src/status/zovemo_status").string();
const std::string kSourceDir = ZOVEMO_SOURCE_DIR;
const std::string kHook = kSourceDir + "/packaging/hooks/zovemo-hook";
const std::string kSystemPath = "/usr/sbin:/usr/bin:/sbin:/bin";

constexpr const char* kNewVersion = "6.1.0-14-amd64";
const std::string kNewKernel = std::string("/boot/vmlinuz-") + kNewVersion;
const std::string kNewRamDisk = std::string("/boot/initrd.img-") + kNewVersion;
const std::string kOldRamDisk = "/boot/initrd.img-6.1.0-13-amd64";

using sandbox::fakes;

void write_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\nset -eu\n" + body);
  chmod(path.c_str(), 0755);
}

using oracle::lines_of;

// What the package puts in a hook directory: the script that runs the hook
// (here the source's) in that directory's mode.
std::string hook_entry(const std::string& mode) {
  std::string script = read_file(kSourceDir + "/packaging/hooks/zzz-zovemo.in");
  for (const auto& [name, value] : {std::pair<std::string, std::string>{"@ZOVEMO_HOOK@", kHook}, {"@ZOVEMO_HOOK_MODE@", mode}})
    for (size_t at; (at = script.find(name)) != std::string::npos;) script.replace(at, name.size(), value);
  return script;
}

void write_hook_entry(const std::string& path, const std::string& mode) {
  write_file(path, hook_entry(mode));
  chmod(path.c_str(), 0755);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Sets an environment variable for the programs a test starts, until the
// end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char* name_;
};

// A private /etc/kernel and /etc/initramfs with our hook and stand-ins of the
// system's own hooks, a zovemo_config on PATH that records its commands, a
// logger that records its messages, and a baseline of the small boot tree.
class HooksKernel : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> serial{0};
    root_ = sandbox::scratch_dir() + "/hooks-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
    bin_ = root_ + "/bin";
    write_script(bin_ + "/zovemo_config",
                 "printf '%s\\n' \"$*\" >>" + root_ + "/calls\nexec " + ZOVEMO_BINARY + " \"$@\"\n");
    write_script(bin_ + "/logger", "printf '%s\\n' \"$*\" >>" + root_ + "/logged\n");
    fs::create_symlink(ZOVEMO_REFRESH_BINARY, bin_ + "/zovemo_refresh");
    for (const auto& [dir, mode] : {std::pair<std::string, std::string>{"kernel/postinst.d", "kernel-postinst"},
                                    {"kernel/prerm.d", "kernel-prerm"},
                                    {"kernel/postrm.d", "kernel-postrm"},
                                    {"initramfs/post-update.d", "initramfs-post-update"}}) {
      sandbox::make_dirs(etc(dir));
      write_hook_entry(etc(dir) + "/zzz-zovemo", mode);
    }
    // What initramfs-tools and GRUB do on a kernel install and removal.
    std::string regenerate_grub_cfg =
        "{ echo '# generated'; for k in /boot/vmlinuz-*; do echo \"menuentry $k\"; done; } >/boot/grub/grub.cfg.new\n"
        "mv /boot/grub/grub.cfg.new /boot/grub/grub.cfg\n";
    write_script(etc("kernel/postinst.d/initramfs-tools"),
                 "printf 'ram disk of %s\\n' \"$1\" >/boot/initrd.img-$1\n"
                 "run-parts --arg=\"$1\" --arg=/boot/initrd.img-$1 " + etc("initramfs/post-update.d") + "\n");
    write_script(etc("kernel/postinst.d/zz-update-grub"), regenerate_grub_cfg);
    write_script(etc("kernel/postrm.d/initramfs-tools"), "rm -f /boot/initrd.img-$1\n");
    write_script(etc("kernel/postrm.d/zz-update-grub"), regenerate_grub_cfg);

    sandbox::make_small_boot_tree();
    ASSERT_EQ(run_tool({"-i"}).status, 0);
  }

  std::string etc(const std::string& dir) const { return root_ + "/etc/" + dir; }

  // Each program run of zovemo_refresh at most this many seconds, not 30.
  void shorten_program_bound(int seconds) {
    fs::remove(bin_ + "/zovemo_refresh");
    write_script(bin_ + "/zovemo_refresh", std::string("exec ") + ZOVEMO_REFRESH_BINARY +
                                               " --program-seconds=" + std::to_string(seconds) + " \"$@\"\n");
  }
  std::string path_variable() const { return bin_ + ":" + fakes().dir() + ":" + kSystemPath; }

  sandbox::RunResult run_parts(const std::string& dir, const std::string& version, const std::string& file) {
    return sandbox::run("/bin/run-parts",
                        {"--report", "--exit-on-error", "--arg=" + version, "--arg=" + file, etc(dir)},
                        path_variable());
  }

  // The zovemo_config commands run since the last call.
  std::vector<std::string> take_calls() {
    auto calls = lines_of(read_file(root_ + "/calls"));
    fs::remove(root_ + "/calls");
    return calls;
  }

  std::string logged() const { return read_file(root_ + "/logged"); }

  sandbox::RunResult status() { return sandbox::run(kStatusBinary, {}, path_variable()); }

  std::string root_, bin_;
};

TEST_F(HooksKernel, InstallAndRemovalOfAKernelLeaveTheBaselineInStep) {
  write_file(kNewKernel, "new kernel image");
  {
    ScopedEnv debconf("DEB_MAINT_PARAMS", "configure");
    auto installed = run_parts("kernel/postinst.d", kNewVersion, kNewKernel);
    EXPECT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(installed.out, "") << "standard output belongs to debconf";
  }
  // The RAM disk builder's own hook run added the RAM disk first; ours ran
  // after the boot loader's and measured the rewritten grub.cfg.
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-a " + kNewRamDisk, "-a " + kNewKernel, "-u " + kNewRamDisk,
                                                    "-u /boot/grub/grub.cfg"}));
  auto after_install = status();
  EXPECT_EQ(after_install.status, 0) << after_install.out;
  EXPECT_TRUE(contains(after_install.out, "7 entries, 7 in step")) << after_install.out;

  {
    ScopedEnv debconf("DEB_MAINT_PARAMS", "remove");
    EXPECT_EQ(run_parts("kernel/prerm.d", kNewVersion, kNewKernel).status, 0);
    EXPECT_EQ(take_calls(), (std::vector<std::string>{"-d " + kNewKernel, "-d " + kNewRamDisk}));
    fs::remove(kNewKernel);
    auto removed = run_parts("kernel/postrm.d", kNewVersion, kNewKernel);
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out, "");
  }
  EXPECT_FALSE(sandbox::exists(kNewRamDisk));
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-u /boot/grub/grub.cfg"}));
  auto after_removal = status();
  EXPECT_EQ(after_removal.status, 0) << after_removal.out;
  EXPECT_TRUE(contains(after_removal.out, "5 entries, 5 in step")) << after_removal.out;
  EXPECT_EQ(logged(), "");
}

TEST_F(HooksKernel, ReinstallUpdatesWhatIsMeasuredAndUpgradeKeepsTheEntries) {
  write_file(kNewKernel, "new kernel image");
  ASSERT_EQ(run_parts("kernel/postinst.d", kNewVersion, kNewKernel).status, 0);
  take_calls();
  write_file(kNewKernel, "rebuilt kernel image");
  {
    ScopedEnv debconf("DEB_MAINT_PARAMS", "upgrade 6.1.0-14-amd64");
    EXPECT_EQ(run_parts("kernel/prerm.d", kNewVersion, kNewKernel).status, 0);
    EXPECT_TRUE(take_calls().empty()) << "an upgrade replaces the files; nothing is deleted";
  }
  {
    ScopedEnv debconf("DEB_MAINT_PARAMS", "'configure' '6.1.0-14-amd64'");
    ASSERT_EQ(run_parts("kernel/postinst.d", kNewVersion, kNewKernel).status, 0);
  }
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-u " + kNewRamDisk, "-u " + kNewKernel, "-u " + kNewRamDisk,
                                                    "-u /boot/grub/grub.cfg"}));
  EXPECT_EQ(status().status, 0) << status().out;
  {
    ScopedEnv debconf("DEB_MAINT_PARAMS", "abort-upgrade");
    EXPECT_EQ(run_parts("kernel/postinst.d", kNewVersion, kNewKernel).status, 0);
    EXPECT_EQ(take_calls(), (std::vector<std::string>{"-u " + kNewRamDisk})) << "only the RAM disk builder's run";
  }
}

TEST_F(HooksKernel, AFailureIsReportedButNeverFailsThePackageOperation) {
  write_file(kNewKernel, "new kernel image");
  fakes().remove_program("grub-probe");  // no boot path: every add fails
  auto result = run_parts("kernel/postinst.d", kNewVersion, kNewKernel);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(contains(result.err, "measure add failed")) << result.err;
  EXPECT_TRUE(contains(result.err, "could not add " + kNewKernel + " to the baseline")) << result.err;
  EXPECT_TRUE(contains(logged(), "-t zovemo-hook -p user.err -- could not add " + kNewKernel)) << logged();
  EXPECT_TRUE(contains(logged(), "could not update /boot/grub/grub.cfg")) << logged();
}

// A tool run that never ends is ended: the kernel hook goes on and the
// package run with it.
TEST_F(HooksKernel, AToolRunThatNeverEndsIsEndedAndSaid) {
  write_script(bin_ + "/zovemo_config", "printf '%s\\n' \"$*\" >>" + root_ + "/calls\nexec sleep 600\n");
  shorten_program_bound(1);
  write_file(kNewKernel, "new kernel image");
  auto start = std::chrono::steady_clock::now();
  auto result = run_parts("kernel/postinst.d", kNewVersion, kNewKernel);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result.status, 0);
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_TRUE(contains(result.err, "could not add " + kNewKernel + " to the baseline: zovemo_config did not finish "
                                   "within 1 seconds"))
      << result.err;
  EXPECT_EQ(take_calls().size(), 4u) << "every command tried, each ended";
}

TEST_F(HooksKernel, NothingRunsBeforeTheBaselineExists) {
  fs::remove("/boot/.vemobase");
  fs::remove("/boot/.vemobase.tmp");
  write_file(kNewKernel, "new kernel image");
  for (const char* dir : {"kernel/postinst.d", "kernel/prerm.d", "kernel/postrm.d"})
    EXPECT_EQ(run_parts(dir, kNewVersion, kNewKernel).status, 0) << dir;
  EXPECT_EQ(run_parts("initramfs/post-update.d", "6.1.0-13-amd64", kOldRamDisk).status, 0);
  EXPECT_EQ(sandbox::run(kHook, {"--grub-cfg"}, path_variable()).status, 0);
  EXPECT_TRUE(take_calls().empty());
  EXPECT_FALSE(sandbox::exists("/boot/.vemobase"));
}

TEST_F(HooksKernel, RebuiltRamDiskAndRewrittenGrubConfigurationAreRemeasured) {
  write_file(kOldRamDisk, "rebuilt ram disk");
  // update-initramfs names the directory with a trailing slash.
  auto rebuilt = run_parts("initramfs/post-update.d/", "6.1.0-13-amd64", kOldRamDisk);
  EXPECT_EQ(rebuilt.status, 0);
  EXPECT_FALSE(contains(rebuilt.err, "hook directory")) << rebuilt.err;
  write_file("/boot/initramfs-6.1.0-13-amd64kdump.img", "crash kernel's ram disk");
  EXPECT_EQ(run_parts("initramfs/post-update.d", "6.1.0-13-amd64", "/boot/initramfs-6.1.0-13-amd64kdump.img").status,
            0);
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-u " + kOldRamDisk}));
  // A path list with CR line ends names the same files.
  std::string crlf;
  for (const auto& line : lines_of(read_file("/boot/.vemobase.tmp"))) crlf += line + "\r\n";
  write_file("/boot/.vemobase.tmp", crlf);
  EXPECT_EQ(run_parts("initramfs/post-update.d", "6.1.0-13-amd64", kOldRamDisk).status, 0);
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-u " + kOldRamDisk}));

  write_file("/boot/grub/grub.cfg", "set timeout=1\n");
  auto service = sandbox::run(kHook, {"--grub-cfg"}, path_variable());
  EXPECT_EQ(service.status, 0) << service.err;
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-u /boot/grub/grub.cfg"}));
  auto report = status();
  EXPECT_EQ(report.status, 0) << report.out << "(the crash kernel's RAM disk is not a boot file)";
}

// The real update-initramfs builds a RAM disk for a kernel version with an
// empty module tree and runs our hook as Debian does (the directory with a
// trailing slash). A nested mount namespace lays tmpfs over what it writes
// beyond /boot and /etc: the module tree, its state and its scratch space.
TEST_F(HooksKernel, RealUpdateInitramfsHasTheBuiltRamDiskMeasured) {
  if (access("/usr/sbin/update-initramfs", X_OK) != 0 || access("/usr/bin/unshare", X_OK) != 0)
    GTEST_SKIP() << "no update-initramfs (initramfs-tools) or unshare on this machine";
  const std::string version = "6.1.0-99-zovemo";
  const std::string ram_disk = "/boot/initrd.img-" + version;
  const std::string layers = root_ + "/layers";
  sandbox::make_dirs(layers);
  write_file("/boot/config-" + version, "CONFIG_RD_GZIP=y\nCONFIG_RD_ZSTD=y\n");
  std::string script =
      "set -eu\n"
      "mount -t tmpfs layers " + layers + "\n"
      "mkdir " + layers + "/upper " + layers + "/work\n"
      "mount -t overlay lib -o lowerdir=/usr/lib,upperdir=" + layers + "/upper,workdir=" + layers + "/work /usr/lib\n"
      "mkdir -p /lib/modules/" + version + " /var/lib/initramfs-tools\n"
      "mount -t tmpfs state /var/lib/initramfs-tools\n"
      "mount -t tmpfs scratch /var/tmp\n"
      "mkdir -p /etc/initramfs/post-update.d\n"
      "cp " + etc("initramfs/post-update.d/zzz-zovemo") + " /etc/initramfs/post-update.d/zzz-zovemo\n"
      "update-initramfs -c -k " + version + "\n";
  auto built = sandbox::run("/usr/bin/unshare", {"--mount", "--propagation", "private", "sh", "-c", script},
                            path_variable());
  if (built.status != 0 && contains(built.err, "unshare failed"))
    GTEST_SKIP() << "no nested mount namespace here: " << built.err;
  ASSERT_EQ(built.status, 0) << built.err;
  EXPECT_FALSE(contains(built.err, "hook directory")) << built.err;
  EXPECT_TRUE(sandbox::exists(ram_disk));
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-a " + ram_disk}));
  EXPECT_TRUE(contains(read_file("/boot/.vemobase.tmp"), ram_disk + "\n"));
}

// kernel-install itself, over a plugin list of stand-ins of the boot
// loader's plugin (copies the image to /boot, rewrites grub.cfg; on removal
// deletes the image only when told to, as some do) and the RAM disk
// builder's, and our plugin: a relative link to the one hook, as installed,
// which finds zovemo_refresh beside itself (it is on no path).
class HooksKernelInstall : public HooksKernel {
 protected:
  void SetUp() override {
    if (access(kKernelInstall, X_OK) != 0) GTEST_SKIP() << "no " << kKernelInstall << " on this machine";
    HooksKernel::SetUp();
    std::string plugins = root_ + "/lib/kernel/install.d";
    write_script(plugins + "/20-grub.install",
                 "case $1 in\n"
                 "add) cp \"$4\" /boot/vmlinuz-$2 ;;\n"
                 "remove) [ ! -e " + root_ + "/delete-early ] || rm -f /boot/vmlinuz-$2 ;;\n"
                 "esac\n"
                 "{ echo '# generated'; for k in /boot/vmlinuz-*; do echo \"menuentry $k\"; done; } >/boot/grub/grub.cfg\n");
    write_script(plugins + "/50-dracut.install",
                 "[ $1 = add ] && printf 'ram disk of %s\\n' $2 >/boot/initramfs-$2.img || :\n");
    sandbox::make_dirs(root_ + "/lib/zovemo");
    fs::copy_file(kHook, root_ + "/lib/zovemo/zovemo-hook");
    fs::rename(bin_ + "/zovemo_refresh", root_ + "/lib/zovemo/zovemo_refresh");
    fs::create_symlink("../../zovemo/zovemo-hook", plugins + "/90-zovemo.install");
    plugin_list_ = plugins + "/20-grub.install " + plugins + "/50-dracut.install " + plugins + "/90-zovemo.install";
    image_ = root_ + "/modules/vmlinuz";
    write_file(image_, "new kernel image");
  }

  sandbox::RunResult kernel_install(const std::vector<std::string>& args) {
    ScopedEnv plugins("KERNEL_INSTALL_PLUGINS", plugin_list_.c_str());
    ScopedEnv conf("KERNEL_INSTALL_CONF_ROOT", root_.c_str());
    ScopedEnv boot("BOOT_ROOT", "/boot");
    ScopedEnv machine("MACHINE_ID", "0123456789abcdef0123456789abcdef");
    return sandbox::run(kKernelInstall, args, path_variable());
  }

  static constexpr const char* kKernelInstall = "/usr/bin/kernel-install";
  static constexpr const char* kVersion = "6.5.6-300.fc39.x86_64";
  const std::string kernel_ = std::string("/boot/vmlinuz-") + kVersion;
  const std::string ram_disk_ = std::string("/boot/initramfs-") + kVersion + ".img";
  std::string plugin_list_, image_;
};

TEST_F(HooksKernelInstall, PluginMeasuresAnAddedKernelAndForgetsARemovedOne) {
  auto added = kernel_install({"add", kVersion, image_});
  EXPECT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-a " + kernel_, "-a " + ram_disk_, "-u /boot/grub/grub.cfg"}));
  EXPECT_TRUE(contains(status().out, "7 entries, 7 in step")) << status().out;

  auto removed = kernel_install({"remove", kVersion});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-d " + kernel_, "-d " + ram_disk_, "-u /boot/grub/grub.cfg"}));
  EXPECT_TRUE(contains(status().out, "5 entries, 5 in step")) << status().out;
  EXPECT_EQ(logged(), "");
}

TEST_F(HooksKernelInstall, AFileDeletedBeforeThePluginRunsIsReportedNeverFailingKernelInstall) {
  ASSERT_EQ(kernel_install({"add", kVersion, image_}).status, 0);
  take_calls();
  write_file(root_ + "/delete-early", "");
  auto removed = kernel_install({"remove", kVersion});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-d " + ram_disk_, "-u /boot/grub/grub.cfg"}));
  EXPECT_TRUE(contains(logged(), kernel_ + " was removed before this plugin ran")) << logged();
}

TEST_F(HooksKernel, RefreshAfterPackagesWaitsForABusyBaselineOnlyAFewSecondsAndSaysSo) {
  write_file("/boot/grub/x86_64-efi/normal.mod", "changed");
  std::string why_not;
  int boot = open_private_lock(kBaselineLockPath, &why_not);
  ASSERT_EQ(flock(boot, LOCK_EX), 0) << "as a command changing the baseline holds it: " << why_not;
  auto start = std::chrono::steady_clock::now();
  auto run = sandbox::run(kHook, {"packages"}, bin_ + ":" + kBuildDir.string() + "/src/status:" + path_variable());
  auto waited = std::chrono::steady_clock::now() - start;
  close(boot);
  EXPECT_EQ(run.status, 0);
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_TRUE(contains(run.err, "the baseline is busy")) << run.err;
  EXPECT_TRUE(take_calls().empty());
}

// The refresh keeps nothing in temporary files: a full TMPDIR changes nothing.
TEST_F(HooksKernel, RefreshAfterPackagesWithAFullTemporaryDirectoryStillSaysTheDrift) {
  write_file("/boot/grub/x86_64-efi/normal.mod", "changed");
  std::string full = root_ + "/full";
  sandbox::make_dirs(full);
  ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=4k"), 0) << strerror(errno);
  write_file(full + "/filler", std::string(8192, 'f'));  // as much as fits
  ScopedEnv tmpdir("TMPDIR", full.c_str());
  auto run = sandbox::run(kHook, {"packages"}, bin_ + ":" + kBuildDir.string() + "/src/status:" + path_variable());
  umount2(full.c_str(), MNT_DETACH);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(contains(run.err, "zovemo-hook: /boot/grub/x86_64-efi/normal.mod not refreshed: ")) << run.err;
}

// A package database that never answers stops the refresh after one bounded
// wait (here 2 seconds, not 30), said, instead of holding the package run
// past its time.
TEST_F(HooksKernel, RefreshAfterPackagesWithADpkgQueryThatNeverAnswersStopsInTimeAndSaysSo) {
  write_file("/boot/grub/x86_64-efi/normal.mod", "changed");
  shorten_program_bound(2);
  std::string hanging = root_ + "/dpkg-query";
  write_script(hanging, "exec sleep 1000\n");
  ASSERT_EQ(mount(hanging.c_str(), "/usr/bin/dpkg-query", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
  auto start = std::chrono::steady_clock::now();
  auto run = sandbox::run(kHook, {"packages"}, bin_ + ":" + kBuildDir.string() + "/src/status:" + path_variable());
  auto waited = std::chrono::steady_clock::now() - start;
  umount2("/usr/bin/dpkg-query", MNT_DETACH);
  EXPECT_EQ(run.status, 0);
  EXPECT_LT(waited, std::chrono::seconds(15));
  EXPECT_TRUE(contains(run.err, "zovemo-hook: dpkg-query did not answer within 2 seconds: nothing refreshed")) << run.err;
  EXPECT_TRUE(take_calls().empty());
}

// The refresh after package operations, against the real dpkg: a private
// dpkg database, /usr/lib (overlay) and /usr/lib/grub (tmpfs) in the test's
// mount namespace; a stand-in of our package built from the shipped trigger,
// postinst and hook; and a small GRUB package whose postinst does what
// grub-install does with the modules of one platform.
class HooksPackages : public HooksKernel {
 protected:
  void SetUp() override {
    for (const char* program : {"/usr/bin/dpkg", "/usr/bin/dpkg-deb", "/usr/bin/dpkg-query"})
      if (access(program, X_OK) != 0) GTEST_SKIP() << "no " << program << " on this machine";
    sandbox::reset();
    HooksKernel::SetUp();
    std::string layers = root_ + "/layers";
    for (const char* dir : {"/lib-upper", "/lib-work", "/dpkg"}) sandbox::make_dirs(layers + dir);
    std::string options = "lowerdir=/usr/lib,upperdir=" + layers + "/lib-upper,workdir=" + layers + "/lib-work";
    ASSERT_EQ(mount("overlay", "/usr/lib", "overlay", 0, options.c_str()), 0) << strerror(errno);
    mounts_.push_back("/usr/lib");
    sandbox::make_dirs("/usr/lib/grub");
    for (const char* target : {"/usr/lib/grub", "/var/lib/dpkg", "/var/lib/apt", "/var/cache/apt", "/var/log"}) {
      ASSERT_EQ(mount("tmpfs", target, "tmpfs", 0, "mode=0755"), 0) << target << ": " << strerror(errno);
      mounts_.push_back(target);
    }
    for (const char* dir : {"info", "updates", "triggers"}) sandbox::make_dirs(std::string("/var/lib/dpkg/") + dir);
    write_file("/var/lib/dpkg/status", "");
    write_file("/var/lib/dpkg/available", "");
    fs::create_symlink(kStatusBinary, bin_ + "/zovemo_status");

    std::string ours = root_ + "/zovemo";
    write_file(ours + "/DEBIAN/control", control("zovemo", "1.0.0"));
    if (trigger_) fs::copy_file(kSourceDir + "/debian/zovemo.triggers", ours + "/DEBIAN/triggers");
    // APT's hook as installed: the hook's path put in.
    std::string apt_hook = read_file(kSourceDir + "/packaging/apt/zovemo.conf.in");
    for (size_t at; (at = apt_hook.find("@ZOVEMO_HOOK@")) != std::string::npos;)
      apt_hook.replace(at, 13, "/usr/lib/zovemo/zovemo-hook");
    write_file(ours + "/etc/apt/apt.conf.d/90zovemo", apt_hook);
    fs::copy_file(kSourceDir + "/debian/zovemo.postinst", ours + "/DEBIAN/postinst");
    chmod((ours + "/DEBIAN/postinst").c_str(), 0755);
    sandbox::make_dirs(ours + "/usr/lib/zovemo");
    fs::copy_file(kHook, ours + "/usr/lib/zovemo/zovemo-hook");
    fs::copy_file(ZOVEMO_REFRESH_BINARY, ours + "/usr/lib/zovemo/zovemo_refresh");
    ASSERT_EQ(dpkg({"-i", build(ours)}).status, 0);
  }

  void TearDown() override {
    fs::remove("/etc/apt/apt.conf.d/90zovemo");
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }

  static std::string control(const std::string& name, const std::string& version) {
    return "Package: " + name + "\nVersion: " + version +
           "\nArchitecture: all\nMaintainer: t <t@t.invalid>\nDescription: test\n";
  }

  // A GRUB package: these modules under /usr/lib/grub, a postinst that
  // copies those of i386-pc into /boot as grub-install does (old ones
  // first removed), and md5sums as given (a wrong one stands for a record
  // that no longer fits its file).
  std::string grub_package(const std::string& version, const std::vector<std::pair<std::string, std::string>>& files,
                           const std::string& spoiled = "") {
    std::string dir = root_ + "/grub-" + version;
    write_file(dir + "/DEBIAN/control", control("test-grub", version));
    write_script(dir + "/DEBIAN/postinst",
                 "[ \"$1\" = configure ] || exit 0\nmkdir -p /boot/grub/i386-pc\nrm -f /boot/grub/i386-pc/*.mod\n"
                 "cp /usr/lib/grub/i386-pc/*.mod /boot/grub/i386-pc/\n");
    std::string sums;
    for (const auto& [path, content] : files) {
      write_file(dir + path, content);
      auto md5 = sandbox::run("/usr/bin/md5sum", {dir + path}, kSystemPath).out.substr(0, 32);
      sums += (path == spoiled ? std::string(32, '0') : md5) + "  " + path.substr(1) + "\n";
    }
    write_file(dir + "/DEBIAN/md5sums", sums);
    return build(dir);
  }

  std::string build(const std::string& dir) {
    auto built = sandbox::run("/usr/bin/dpkg-deb", {"--root-owner-group", "-b", dir, dir + ".deb"}, kSystemPath);
    EXPECT_EQ(built.status, 0) << built.err;
    return dir + ".deb";
  }

  sandbox::RunResult dpkg(std::vector<std::string> args) {
    args.insert(args.begin(), "--log=/dev/null");
    return sandbox::run("/usr/bin/dpkg", args, path_variable());
  }

  std::vector<std::string> sorted_calls() {
    auto calls = take_calls();
    std::sort(calls.begin(), calls.end());
    return calls;
  }

  std::vector<std::string> mounts_;
  bool trigger_ = true;
};

TEST_F(HooksPackages, DpkgTriggerRefreshesOnlyWhatThePackageRecordsVouchFor) {
  const std::string grub = "/usr/lib/grub/i386-pc/", efi = "/usr/lib/grub/x86_64-efi/";
  const std::string boot = "/boot/grub/i386-pc/";
  ASSERT_EQ(dpkg({"-i", grub_package("1", {{grub + "a.mod", "a1"}, {grub + "b.mod", "b1"}, {grub + "old.mod", "o1"},
                                           {efi + "e.mod", "e1"}})})
                .status,
            0);
  fs::copy_file(efi + "e.mod", "/boot/grub/x86_64-efi/e.mod");
  ASSERT_EQ(run_tool({"-i"}).status, 0);
  write_file("/boot/grub/x86_64-efi/e.mod", "changed by hand");
  take_calls();

  auto upgrade = dpkg({"-i", grub_package("2",
                                          {{grub + "a.mod", "a2"}, {grub + "b.mod", "b2"}, {grub + "new.mod", "n2"},
                                           {efi + "e.mod", "e1"}},
                                          grub + "b.mod")});
  EXPECT_EQ(upgrade.status, 0) << upgrade.err;
  EXPECT_EQ(sorted_calls(), (std::vector<std::string>{"-a " + boot + "new.mod", "-d " + boot + "old.mod",
                                                      "-u " + boot + "a.mod"}))
      << upgrade.err;
  for (const std::string& said :
       {"/boot/grub/x86_64-efi/e.mod not refreshed: not what any installed package ships (it differs from " + efi +
            "e.mod",
        boot + "b.mod not refreshed: not what any installed package ships (it equals " + grub +
            "b.mod, but for that file its content differs from the record of package test-grub)",
        std::string("; the next boot only logs the drift (arrest mode log); to accept it: zovemo_config -u ") +
            boot + "b.mod\n",
        std::string("zovemo-hook: ZOVEMO WARNING - drift: 2 changed;")}) {
    EXPECT_TRUE(contains(upgrade.err, said)) << said << "\n" << upgrade.err;
  }
  EXPECT_TRUE(contains(logged(), "-- /boot/grub/x86_64-efi/e.mod not refreshed")) << logged();

  // What the administrator accepts by hand: then all is in step.
  ASSERT_EQ(run_tool({"-u", boot + "b.mod"}).status, 0);
  ASSERT_EQ(run_tool({"-u", "/boot/grub/x86_64-efi/e.mod"}).status, 0);
  auto report = status();
  EXPECT_EQ(report.status, 0) << report.out;
  // A run with nothing drifted changes nothing and says nothing.
  auto again = sandbox::run("/usr/lib/zovemo/zovemo-hook", {"packages"}, path_variable());
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err, "");
  EXPECT_TRUE(take_calls().empty());
}

// APT's hook alone (our stand-in without the trigger) after apt-get install.
class HooksPackagesApt : public HooksPackages {
 protected:
  HooksPackagesApt() { trigger_ = false; }
};

TEST_F(HooksPackagesApt, PostInvokeHookRefreshesAfterAptGet) {
  if (access("/usr/bin/apt-get", X_OK) != 0) GTEST_SKIP() << "no apt-get on this machine";
  const std::string grub = "/usr/lib/grub/i386-pc/", boot = "/boot/grub/i386-pc/";
  ASSERT_EQ(dpkg({"-i", grub_package("1", {{grub + "a.mod", "a1"}, {grub + "old.mod", "o1"}})}).status, 0);
  ASSERT_EQ(run_tool({"-i"}).status, 0);
  take_calls();
  std::string upgraded = grub_package("2", {{grub + "a.mod", "a2"}, {grub + "new.mod", "n2"}});
  auto upgrade = sandbox::run("/usr/bin/apt-get", {"install", "-y", "-q", upgraded}, path_variable());
  EXPECT_EQ(upgrade.status, 0) << upgrade.out << upgrade.err;
  EXPECT_EQ(sorted_calls(), (std::vector<std::string>{"-a " + boot + "new.mod", "-d " + boot + "old.mod",
                                                      "-u " + boot + "a.mod"}))
      << upgrade.out << upgrade.err;
  EXPECT_EQ(status().status, 0) << status().out;
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// GRUB upgraded through APT with both dpkg's trigger and APT's hook in
// place: one refresh, each file said once and tagged; an entry goes only on
// the records' evidence that a package dropped the module, and files
// removed by hand stay drift with the command that accepts their loss.
TEST_F(HooksPackages, AptRunRefreshesOnceAndDeletesOnlyWhatAPackageDropped) {
  if (access("/usr/bin/apt-get", X_OK) != 0) GTEST_SKIP() << "no apt-get on this machine";
  const std::string grub = "/usr/lib/grub/i386-pc/", boot = "/boot/grub/i386-pc/";
  ASSERT_EQ(dpkg({"-i", grub_package("1", {{grub + "a.mod", "a1"}, {grub + "old.mod", "o1"}})}).status, 0);
  ASSERT_EQ(run_tool({"-i"}).status, 0);
  for (const std::string name : {"local.mod", "local.cfg"}) {
    write_file(boot + name, "made here");
    ASSERT_EQ(run_tool({"-a", boot + name}).status, 0);
    fs::remove(boot + name);
  }
  take_calls();
  std::string upgraded = grub_package("2", {{grub + "a.mod", "a2"}, {grub + "new.mod", "n2"}});
  auto upgrade = sandbox::run("/usr/bin/apt-get", {"install", "-y", "-q", upgraded}, path_variable());
  std::string said = upgrade.out + upgrade.err;
  EXPECT_EQ(upgrade.status, 0) << said;
  EXPECT_EQ(sorted_calls(), (std::vector<std::string>{"-a " + boot + "new.mod", "-d " + boot + "old.mod",
                                                      "-u " + boot + "a.mod"}))
      << said;
  for (const std::string& line :
       {"zovemo-hook: " + boot + "a.mod refreshed in the baseline: equal to " + grub + "a.mod of package test-grub\n",
        "zovemo-hook: " + boot + "new.mod added to the baseline: equal to " + grub + "new.mod of package test-grub\n",
        "zovemo-hook: " + boot + "old.mod deleted from the baseline: package test-grub no longer ships " + grub +
            "old.mod\n",
        "zovemo-hook: " + boot + "local.mod not refreshed: it is gone, and no package's records show that a package "
            "dropped it; the next boot only logs the drift (arrest mode log); to accept it: zovemo_config -d " +
            boot + "local.mod\n",
        "zovemo-hook: " + boot + "local.cfg not refreshed: it is gone"})
    EXPECT_EQ(count_of(said, line), 1u) << line << "\n" << said;
  EXPECT_EQ(count_of(said, "ZOVEMO WARNING"), 1u) << said;
  for (const char* untagged : {"\nupdate ", "\nmeasure ", "measure_base_value", "\nupdate time"})
    EXPECT_FALSE(contains("\n" + said, untagged)) << untagged << "\n" << said;
}

// grub-install outside a package's file changes: dpkg-reconfigure (no
// trigger, no APT hook) and a copy by hand. The path unit's service runs
// the same refresh, which blesses what the records vouch for.
TEST_F(HooksPackages, GrubModulesServiceRefreshesAfterDpkgReconfigureAndGrubInstallByHand) {
  if (access("/usr/sbin/dpkg-reconfigure", X_OK) != 0) GTEST_SKIP() << "no dpkg-reconfigure (debconf) on this machine";
  const std::string grub = "/usr/lib/grub/i386-pc/", efi = "/usr/lib/grub/x86_64-efi/";
  const std::string boot = "/boot/grub/i386-pc/";
  ASSERT_EQ(dpkg({"-i", grub_package("1", {{grub + "a.mod", "a1"}, {efi + "e.mod", "e1"}})}).status, 0);
  write_file(boot + "a.mod", "built by hand");
  ASSERT_EQ(run_tool({"-u", boot + "a.mod"}).status, 0);
  take_calls();
  ScopedEnv frontend("DEBIAN_FRONTEND", "noninteractive");
  auto reconfigured = sandbox::run("/usr/sbin/dpkg-reconfigure", {"test-grub"}, path_variable());
  ASSERT_EQ(reconfigured.status, 0) << reconfigured.out << reconfigured.err;
  ASSERT_EQ(read_file(boot + "a.mod"), "a1");
  EXPECT_TRUE(take_calls().empty()) << "no package hook ran";
  fs::copy_file(efi + "e.mod", "/boot/grub/x86_64-efi/e.mod");

  // While root runs dpkg (whose trigger refreshes), the service waits.
  std::string dpkg_standin = root_ + "/standin/dpkg";
  sandbox::make_dirs(root_ + "/standin");
  fs::copy_file("/bin/sleep", dpkg_standin);
  auto start = std::chrono::steady_clock::now();
  std::thread dpkg_done([&] { sandbox::run(dpkg_standin, {"5"}, kSystemPath); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto service = sandbox::run("/usr/lib/zovemo/zovemo-hook", {"--grub-modules"}, path_variable());
  auto waited = std::chrono::steady_clock::now() - start;
  dpkg_done.join();
  EXPECT_GE(waited, std::chrono::seconds(5));
  EXPECT_EQ(service.status, 0);
  EXPECT_EQ(sorted_calls(), (std::vector<std::string>{"-a /boot/grub/x86_64-efi/e.mod", "-u " + boot + "a.mod"}))
      << service.err;
  EXPECT_TRUE(contains(service.err, "zovemo-hook: " + boot + "a.mod refreshed in the baseline: equal to " + grub +
                                        "a.mod of package test-grub\n"))
      << service.err;
  EXPECT_EQ(status().status, 0) << status().out;
}

// A package other than GRUB's that ships a module vouches for it: the rule
// blesses it, and the line names that package beside GRUB's.
TEST_F(HooksPackages, AModuleVouchedForByAnotherPackageThanGrubsSaysWhich) {
  const std::string grub = "/usr/lib/grub/i386-pc/", boot = "/boot/grub/i386-pc/";
  ASSERT_EQ(dpkg({"-i", grub_package("1", {{grub + "a.mod", "a1"}, {grub + "b.mod", "b1"}})}).status, 0);
  std::string other = root_ + "/other";
  write_file(other + "/DEBIAN/control", control("other-modules", "1"));
  write_file(other + grub + "evil.mod", "evil");
  write_file(other + "/DEBIAN/md5sums", sandbox::run("/usr/bin/md5sum", {other + grub + "evil.mod"}, kSystemPath)
                                            .out.substr(0, 32) + "  " + grub.substr(1) + "evil.mod\n");
  ASSERT_EQ(dpkg({"-i", build(other)}).status, 0);
  take_calls();
  fs::copy_file(grub + "evil.mod", boot + "evil.mod");  // as grub-install copies every module
  auto service = sandbox::run("/usr/lib/zovemo/zovemo-hook", {"--grub-modules"}, path_variable());
  EXPECT_EQ(take_calls(), (std::vector<std::string>{"-a " + boot + "evil.mod"})) << service.err;
  EXPECT_TRUE(contains(service.err, "zovemo-hook: " + boot + "evil.mod added to the baseline: equal to " + grub +
                                        "evil.mod of package other-modules, which vouched for it, not test-grub, "
                                        "which ships GRUB's i386-pc modules\n"))
      << service.err;
}

TEST(HooksNames, RunPartsAcceptsOurHookAndRunsItAfterTheBootLoaders) {
  std::string dir = sandbox::scratch_dir() + "/run-parts-names";
  for (const char* name : {"apt-auto-removal", "dkms", "initramfs-tools", "zz-update-grub", "zz-systemd-boot",
                           "zz-runlilo", "xx-update-initrd-links"})
    write_script(dir + "/" + name, "");
  fs::copy_file(kHook, dir + "/zzz-zovemo", fs::copy_options::overwrite_existing);
  auto listing = sandbox::run("/bin/run-parts", {"--test", dir}, kSystemPath);
  ASSERT_EQ(listing.status, 0) << listing.err;
  auto lines = lines_of(listing.out);
  ASSERT_EQ(lines.size(), 8u) << listing.out;
  EXPECT_EQ(lines.back(), dir + "/zzz-zovemo");
}

TEST(HooksInstall, CmakeInstallPlacesHooksUnitsPagesAndCompletions) {
  std::string destdir = sandbox::scratch_dir() + "/install";
  ScopedEnv env("DESTDIR", destdir.c_str());
  auto install = sandbox::run("/usr/bin/cmake", {"--install", kBuildDir.string(), "--prefix", "/usr"}, kSystemPath);
  ASSERT_EQ(install.status, 0) << install.out << install.err;

  for (const char* program : {"/usr/sbin/zovemo_config", "/usr/sbin/zovemo_status", "/usr/lib/zovemo/zovemo-hook",
                              "/usr/lib/zovemo/zovemo_refresh",
                              "/etc/kernel/postinst.d/zzz-zovemo", "/etc/kernel/prerm.d/zzz-zovemo",
                              "/etc/kernel/postrm.d/zzz-zovemo", "/etc/initramfs/post-update.d/zzz-zovemo"}) {
    EXPECT_EQ(access((destdir + program).c_str(), X_OK), 0) << program;
  }
  // Each hook directory holds a small script that runs the one hook in its mode.
  for (const auto& [dir, mode] : {std::pair<std::string, std::string>{"/etc/kernel/postinst.d", "kernel-postinst"},
                                  {"/etc/kernel/prerm.d", "kernel-prerm"},
                                  {"/etc/kernel/postrm.d", "kernel-postrm"},
                                  {"/etc/initramfs/post-update.d", "initramfs-post-update"}}) {
    std::string entry = read_file(destdir + dir + "/zzz-zovemo");
    EXPECT_TRUE(contains(entry, "\nexec \"/usr/lib/zovemo/zovemo-hook\" " + mode + " \"$@\"\n")) << entry;
    EXPECT_LT(entry.size(), 512u) << entry;
  }
  // Removed, not purged: the scripts stay and must not fail a kernel's package run.
  if (access("/usr/lib/zovemo/zovemo-hook", F_OK) != 0) {
    auto orphan = sandbox::run(destdir + "/etc/kernel/postinst.d/zzz-zovemo", {"6.1.0-14-amd64", "/boot/vmlinuz-6.1.0-14-amd64"},
                               kSystemPath);
    EXPECT_EQ(orphan.status, 0) << orphan.err;
    EXPECT_EQ(orphan.out + orphan.err, "");
  }
  EXPECT_TRUE(contains(read_file(destdir + "/etc/apt/apt.conf.d/90zovemo"),
                       "DPkg::Post-Invoke { \"if [ -x /usr/lib/zovemo/zovemo-hook ]; then /usr/lib/zovemo/zovemo-hook "
                       "packages || true; fi\"; };"))
      << "APT's hook names the hook below the prefix given to install";
  std::string plugin = destdir + "/usr/lib/kernel/install.d/90-zovemo.install";
  EXPECT_EQ(fs::read_symlink(plugin), "../../zovemo/zovemo-hook") << "the one hook, relative to the prefix";
  EXPECT_EQ(access(plugin.c_str(), X_OK), 0);
  for (const char* file : {"/usr/share/man/man8/zovemo_config.8", "/usr/share/man/man8/zovemo_status.8",
                           "/usr/share/bash-completion/completions/zovemo_config",
                           "/usr/share/bash-completion/completions/zovemo_status"}) {
    EXPECT_TRUE(sandbox::exists(destdir + file)) << file;
  }

  std::string units = destdir + "/usr/lib/systemd/system/";
  std::string modules_path_unit = read_file(units + "zovemo-grub-modules.path");
  std::string modules_service = read_file(units + "zovemo-grub-modules.service");
  for (const char* dir : {"/boot/grub/i386-pc\n", "/boot/grub/x86_64-efi\n", "/boot/grub2/x86_64-efi\n"})
    EXPECT_TRUE(contains(modules_path_unit, std::string("PathChanged=") + dir)) << dir;
  EXPECT_TRUE(contains(modules_service, "ExecStart=/usr/lib/zovemo/zovemo-hook --grub-modules\n"));
  std::string path_unit = read_file(units + "zovemo-grub-cfg.path");
  std::string service = read_file(units + "zovemo-grub-cfg.service");
  EXPECT_TRUE(contains(path_unit, "PathChanged=/boot/grub/grub.cfg\n"));
  EXPECT_TRUE(contains(path_unit, "PathChanged=/boot/grub2/grub.cfg\n"));
  EXPECT_TRUE(contains(path_unit, "Unit=zovemo-grub-cfg.service\n"));
  EXPECT_TRUE(contains(service, "ExecStart=/usr/lib/zovemo/zovemo-hook --grub-cfg\n")) << "the prefix given to install";
  EXPECT_TRUE(contains(service, "Type=oneshot\n"));
  EXPECT_TRUE(contains(service, "ConditionPathExists=/boot/.vemobase\n"));
  std::string status_timer = read_file(units + "zovemo-status.timer");
  std::string status_service = read_file(units + "zovemo-status.service");
  EXPECT_TRUE(contains(status_service, "ExecStart=/usr/sbin/zovemo_status "
                                       "--prometheus=/var/lib/prometheus/node-exporter/zovemo.prom\n"));
  EXPECT_TRUE(contains(status_timer, "OnBootSec=") && contains(status_timer, "OnCalendar=daily\n"));
  for (const std::string& unit : {service, status_service}) {
    EXPECT_TRUE(contains(unit, "\nTimeoutStartSec=")) << "no run of a unit may hang: " << unit;
    EXPECT_TRUE(contains(unit, "\nRuntimeDirectory=zovemo\nRuntimeDirectoryMode=0700\n")) << "the locks, writable";
  }
  EXPECT_TRUE(sandbox::exists(destdir + "/usr/share/zovemo/prometheus/zovemo.rules.yml"));

  if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
    // The hook's installed path exists only below DESTDIR here.
    std::string checked = sandbox::scratch_dir() + "/units";
    sandbox::make_dirs(checked);
    write_file(checked + "/zovemo-grub-cfg.path", path_unit);
    std::string relocated = service;
    relocated.replace(relocated.find("/usr/lib/zovemo"), 0, destdir);
    write_file(checked + "/zovemo-grub-cfg.service", relocated);
    write_file(checked + "/zovemo-grub-modules.path", modules_path_unit);
    relocated = modules_service;
    relocated.replace(relocated.find("/usr/lib/zovemo"), 0, destdir);
    write_file(checked + "/zovemo-grub-modules.service", relocated);
    write_file(checked + "/zovemo-status.timer", status_timer);
    status_service.replace(status_service.find("/usr/sbin/zovemo_status"), 0, destdir);
    write_file(checked + "/zovemo-status.service", status_service);
    auto verify = sandbox::run("/usr/bin/systemd-analyze",
                               {"verify", "--man=no", checked + "/zovemo-grub-cfg.path",
                                checked + "/zovemo-grub-cfg.service", checked + "/zovemo-grub-modules.path",
                                checked + "/zovemo-grub-modules.service", checked + "/zovemo-status.timer",
                                checked + "/zovemo-status.service"},
                               kSystemPath);
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  }
}

// Renders a page as a reader sees it, with groff's warnings on.
sandbox::RunResult render(const std::string& page) {
  ScopedEnv width("MANWIDTH", "200");
  return sandbox::run("/usr/bin/man", {"--warnings", "-l", kSourceDir + "/packaging/man/" + page}, kSystemPath);
}

TEST(HooksManPages, RenderWithoutWarningsAndDocumentEveryOption) {
  auto config = render("zovemo_config.8");
  EXPECT_EQ(config.status, 0);
  EXPECT_EQ(config.err, "");
  for (const char* text : {"zovemo_config -i", "zovemo_config -a path", "zovemo_config -d path",
                           "zovemo_config -u path", "zovemo_config -u --all", "zovemo_config -b -v 0|1",
                           "zovemo_config -p -v 0|1"})
    EXPECT_TRUE(contains(config.out, text)) << text;

  auto status = render("zovemo_status.8");
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.err, "");
  // Every option and every kind of finding the program knows is documented.
  auto help = sandbox::run(kStatusBinary, {"--help"}, kSystemPath);
  for (const char* option : {"--json", "--quiet", "--no-tpm", "--wait=", "--timeout=", "--prometheus=", "--help",
                             "--version"}) {
    ASSERT_TRUE(contains(help.out, option)) << option;
    EXPECT_TRUE(contains(status.out, option)) << option;
  }
  for (const char* kind : {"changed", "missing", "symlink", "new_file", "unlisted_entry", "unmatched_line",
                           "path_list_missing", "slot_differs", "reference_index_missing", "snapshot_index_missing",
                           "unreadable", "invalid_entry", "path_list_unreadable", "tpm_unreadable",
                           "boot_path_changed", "leftover_temporary", "boot_path_unchecked"})
    EXPECT_TRUE(contains(status.out, std::string("\n       ") + kind)) << kind;
}

// What bash offers after the words typed so far (the last one being completed).
std::vector<std::string> complete(const std::string& program, const std::vector<std::string>& words) {
  std::string script = "source " + kSourceDir + "/packaging/completion/" + program + "\nCOMP_WORDS=(" + program;
  for (const auto& word : words) script += " '" + word + "'";
  script += ")\nCOMP_CWORD=" + std::to_string(words.size()) + "\n_" + program +
            "\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
  auto result = sandbox::run("/bin/bash", {"-c", script}, kSystemPath);
  EXPECT_EQ(result.err, "");
  auto lines = lines_of(result.out);
  if (lines.size() == 1 && lines[0].empty()) lines.clear();
  return lines;
}

TEST(HooksCompletion, OffersCommandsMeasuredPathsAndValues) {
  write_file("/boot/.vemobase.tmp", "/boot/grub/grub.cfg\n/boot/grub/a b.cfg\n/boot/vmlinuz-6\n");
  EXPECT_EQ(complete("zovemo_config", {""}), (std::vector<std::string>{"-i", "-a", "-d", "-u", "-b", "-p"}));
  EXPECT_EQ(complete("zovemo_config", {"-u", "/boot/grub/"}),
            (std::vector<std::string>{"/boot/grub/grub.cfg", "/boot/grub/a b.cfg"}));
  EXPECT_EQ(complete("zovemo_config", {"-u", "--"}), (std::vector<std::string>{"--all"}));
  EXPECT_EQ(complete("zovemo_config", {"-d", "--"}), (std::vector<std::string>{})) << "--all is for -u only";
  EXPECT_EQ(complete("zovemo_config", {"-p", "-v", ""}), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(complete("zovemo_status", {"--q"}), (std::vector<std::string>{"--quiet"}));
}

}  // namespace
