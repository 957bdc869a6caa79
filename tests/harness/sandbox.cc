#include "sandbox.h"

#include "oracle.h"

#include "support/platform_programs.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <signal.h>
#include <spawn.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

namespace fs = std::filesystem;

namespace sandbox {
namespace {

std::string staging_dir;
bool sandbox_entered = false;

bool fail(std::string* reason, const std::string& what) {
  *reason = what + ": " + strerror(errno);
  return false;
}

bool mount_tmpfs(const char* target, const char* options = "mode=0755") {
  return mount("tmpfs", target, "tmpfs", 0, options) == 0;
}

bool loopback_up() {
  int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  struct ifreq request {};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(sock, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  ok = ok && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
  close(sock);
  return ok;
}

// A machine TPM would be found before the test's simulator: hide /dev/tpm*
// behind a /dev that holds only the ordinary character devices.
bool hide_tpm_devices(std::string* reason) {
  if (!fs::exists("/dev/tpm0") && !fs::exists("/dev/tpmrm0")) return true;
  std::string dev = staging_dir + "/dev";
  fs::create_directories(dev);
  if (!mount_tmpfs(dev.c_str())) return fail(reason, "mount tmpfs for /dev");
  for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
    std::string target = dev + "/" + node;
    std::ofstream(target).close();
    if (mount((std::string("/dev/") + node).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
      return fail(reason, "bind /dev/" + std::string(node));
  }
  fs::create_directories(dev + "/shm");
  if (mount(dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0) return fail(reason, "move /dev");
  return true;
}

bool is_tmpfs(const char* path) {
  struct statfs info {};
  return statfs(path, &info) == 0 && info.f_type == TMPFS_MAGIC;
}

void remove_staging() {
  if (staging_dir.empty()) return;
  umount2(staging_dir.c_str(), MNT_DETACH);
  rmdir(staging_dir.c_str());
}

// The fake's name for the answer to an argument.
std::string answer_name(const std::string& argument) { return argument.empty() ? "empty" : oracle::hex(argument); }

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char next = text[++i];
      out += next == 'n' ? '\n' : next == 't' ? '\t' : next;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The first directory of the tool's search path.
constexpr const char kFakesMount[] = "/usr/local/sbin";

void empty_directory(const char* path) {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(path, ignored)) fs::remove_all(entry.path(), ignored);
}

}  // namespace

bool enter(std::string* reason) {
  if (geteuid() != 0) {
    errno = EPERM;
    return fail(reason, "the tests need root to make their private namespaces");
  }
  std::error_code ignored;
  std::string outer_namespace = fs::read_symlink("/proc/self/ns/mnt", ignored).string();
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return fail(reason, "unshare(mount, network)");
  // What the scripts run by tests check before they mount anything.
  setenv("ZOVEMO_OUTER_MOUNT_NS", outer_namespace.c_str(), 1);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return fail(reason, "make / private");
  if (!loopback_up()) return fail(reason, "bring up loopback");

  char pattern[] = "/tmp/zovemo-sandbox-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return fail(reason, "mkdtemp");
  staging_dir = pattern;
  atexit(remove_staging);
  if (!mount_tmpfs(staging_dir.c_str())) return fail(reason, "mount staging tmpfs");
  if (!hide_tpm_devices(reason)) return false;

  fs::create_directories(staging_dir + "/fakes");
  if (mount((staging_dir + "/fakes").c_str(), kFakesMount, nullptr, MS_BIND, nullptr) != 0)
    return fail(reason, "bind the fakes over /usr/local/sbin");
  if (!mount_tmpfs("/boot")) return fail(reason, "mount tmpfs on /boot");
  // The tool's locks (/run/zovemo): a test holds or waits for its own only.
  if (!mount_tmpfs("/run")) return fail(reason, "mount tmpfs on /run");
  std::string upper = staging_dir + "/etc-upper", work = staging_dir + "/etc-work";
  fs::create_directories(upper);
  fs::create_directories(work);
  std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
  if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0)
    return fail(reason, "mount overlay on /etc");
  fs::create_directories("/etc/tavel_trusted");
  if (!mount_tmpfs("/etc/tavel_trusted")) return fail(reason, "mount tmpfs on /etc/tavel_trusted");

  if (!is_tmpfs("/boot") || !is_tmpfs("/etc/tavel_trusted") || !is_tmpfs("/run")) {
    errno = EINVAL;
    return fail(reason, "sandbox check: /boot, /etc/tavel_trusted or /run is not the private tmpfs");
  }
  sandbox_entered = true;
  return true;
}

bool entered() { return sandbox_entered; }

void reset() {
  empty_directory("/boot");
  if (!fs::exists("/etc/tavel_trusted")) fs::create_directories("/etc/tavel_trusted");
  empty_directory("/etc/tavel_trusted");
  std::error_code ignored;
  fs::remove_all("/run/zovemo", ignored);
  FakeTools::instance().reset();
}

void remount_boot(size_t bytes) {
  umount2("/boot", MNT_DETACH);
  std::string options = "mode=0755,size=" + std::to_string(bytes);
  mount("tmpfs", "/boot", "tmpfs", 0, options.c_str());
}

void set_boot_read_only(bool read_only) {
  unsigned long flags = MS_REMOUNT | (read_only ? MS_RDONLY : 0);
  mount("tmpfs", "/boot", "tmpfs", flags, "mode=0755");
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

void make_dirs(const std::string& path) { fs::create_directories(path); }

namespace {
// Reads both pipes until they close, so neither can fill up and stall the child.
void drain_both(int out_fd, int err_fd, std::string* out, std::string* err) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}
}  // namespace

RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& path) {
  int out_pipe[2], err_pipe[2];
  RunResult result;
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return result;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::string path_entry = "PATH=" + path;
  std::vector<char*> envp;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (strncmp(*variable, "PATH=", 5) != 0) envp.push_back(*variable);
  }
  envp.push_back(path_entry.data());
  envp.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    int null_input = open("/dev/null", O_RDONLY);
    dup2(null_input, 0);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  drain_both(out_pipe[0], err_pipe[0], &result.out, &result.err);
  int status = 0;
  waitpid(child, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

pid_t start_program(const std::vector<std::string>& argv, std::initializer_list<int> to_null, bool own_group,
                    std::string* error) {
  std::vector<char*> words;
  for (const auto& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int stream : to_null) posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", stream == 0 ? O_RDONLY : O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (own_group) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, words[0], &actions, &attributes, words.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) return pid;
  if (error != nullptr) *error = "cannot start " + argv[0] + ": " + strerror(rc);
  return -1;
}

RunResult run_tool(const std::vector<std::string>& args) {
  return run(ZOVEMO_BINARY, args, FakeTools::instance().path_variable());
}

FakeTools& FakeTools::instance() {
  static FakeTools tools;
  return tools;
}

std::string scratch_dir() { return staging_dir; }

FakeTools::FakeTools() {
  // Inside the sandbox's private tmpfs: nothing outlives the test process.
  // Without the sandbox (a fixture built for a skipped test) there are no
  // fakes, and nothing of the machine is written.
  if (!entered()) return;
  dir_ = staging_dir + "/fakes";
  fs::create_directories(dir_);
  reset();
}

void FakeTools::reset() {
  if (dir_.empty()) return;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir_, ignored)) fs::remove_all(entry.path(), ignored);
  for (const char* name : {"grub-probe", "grub2-probe", "grub-mkrelpath", "grub2-mkrelpath", "df", "dmidecode"}) {
    fs::copy_file(FAKE_TOOL_BINARY, dir_ + "/" + name, fs::copy_options::overwrite_existing);
  }
}

void FakeTools::answer(const std::string& program, const std::string& argument, const std::string& text) {
  if (dir_.empty()) return;
  write_file(dir_ + "/answers/" + program + "/" + answer_name(argument), text);
}

void FakeTools::answer_for_target(const std::string& program, const std::string& target, const std::string& argument,
                                  const std::string& text) {
  if (dir_.empty()) return;
  write_file(dir_ + "/answers/" + program + "/" + target + "/" + answer_name(argument), text);
}

void FakeTools::default_answer(const std::string& program, const std::string& text) {
  if (dir_.empty()) return;
  write_file(dir_ + "/answers/" + program + "/default", text);
}

void FakeTools::remove_program(const std::string& program) {
  if (!dir_.empty()) fs::remove(dir_ + "/" + program);
}

void FakeTools::signal_on_run(const std::string& program, int pid, int signal) {
  if (dir_.empty()) return;
  write_file(dir_ + "/answers/" + program + "/signal", std::to_string(pid) + " " + std::to_string(signal));
}

std::vector<std::vector<std::string>> FakeTools::records() const {
  std::vector<std::vector<std::string>> runs;
  std::istringstream in(read_file(dir_ + "/record"));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab = line.find('\t'); ; tab = line.find('\t', start)) {
      fields.push_back(unescape(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start)));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    runs.push_back(fields);
  }
  return runs;
}

void FakeTools::clear_records() {
  if (!dir_.empty()) fs::remove(dir_ + "/record");
}

// Only inside the sandbox: the mounts of a fixture built for a skipped test
// would be the machine's.
FakesHidden::FakesHidden() {
  if (entered()) umount2(kFakesMount, MNT_DETACH);
}

FakesHidden::~FakesHidden() {
  if (entered()) mount(FakeTools::instance().dir().c_str(), kFakesMount, nullptr, MS_BIND, nullptr);
}

SystemProgramHidden::SystemProgramHidden(const std::string& program) {
  std::string_view directories = entered() ? kProgramSearchPath : "";
  while (!directories.empty()) {
    size_t end = std::min(directories.find(':'), directories.size());
    std::string directory(directories.substr(0, end));
    directories.remove_prefix(std::min(end + 1, directories.size()));
    std::string copy = directory + "/" + program;
    struct stat status {};
    if (directory == kFakesMount || stat(copy.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    if (mount("/dev/null", copy.c_str(), nullptr, MS_BIND, nullptr) == 0) covered_.push_back(copy);
  }
}

SystemProgramHidden::~SystemProgramHidden() {
  for (auto it = covered_.rbegin(); it != covered_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
}

void make_small_boot_tree() {
  make_dirs("/boot/grub/x86_64-efi");
  write_file("/boot/grub/x86_64-efi/normal.mod", std::string(3000, 'n'));
  write_file("/boot/grub/x86_64-efi/linux.mod", std::string(5000, 'l'));
  write_file("/boot/vmlinuz-6.1.0-13-amd64", std::string(100000, 'k'));
  write_file("/boot/initrd.img-6.1.0-13-amd64", std::string(200000, 'i'));
  write_file("/boot/grub/grub.cfg", "set timeout=5\nmenuentry 'Debian' {\n linux /vmlinuz\n}\n");
}

std::vector<std::string> log_lines() {
  std::vector<std::string> lines;
  std::istringstream in(read_file("/etc/tavel_trusted/.vemo.log"));
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

size_t log_count(const std::string& text) {
  size_t count = 0;
  for (const auto& line : log_lines()) count += line.find(text) != std::string::npos;
  return count;
}

namespace {
// The members of process group `group` that still run (zombies aside).
int living_members(int group) {
  int living = 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    std::string stat;
    try {
      stat = read_file(entry.path().string() + "/stat");
    } catch (...) {
      continue;
    }
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    char state = 0;
    int parent = 0, member_of = 0;
    if (sscanf(stat.c_str() + paren + 1, " %c %d %d", &state, &parent, &member_of) == 3 && member_of == group &&
        state != 'Z')
      ++living;
  }
  return living;
}

}  // namespace

// A hanging run of `program` leaves no process of its group after a second;
// one that does is killed then, so that it outlives no failed test.
bool hanging_run_is_gone(const std::string& program) {
  int group = std::stoi(read_file(FakeTools::instance().dir() + "/answers/" + program + "/sleeping"));
  for (int i = 0; i < 100 && living_members(group) > 0; ++i) usleep(10000);
  if (living_members(group) == 0) return true;
  kill(-group, SIGKILL);
  return false;
}

}  // namespace sandbox
