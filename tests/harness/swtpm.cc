#include "swtpm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>


namespace tpmtest {
namespace {

constexpr int kServerPort = 2321;
constexpr int kCtrlPort = 2322;
constexpr const char* kTctiConf = "swtpm:host=localhost,port=2321";

bool port_accepts(int port) {
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(sock);
  return ok;
}

std::string fresh_state_dir() {
  static std::atomic<int> serial{0};
  std::string dir = sandbox::scratch_dir() + "/swtpm-" + std::to_string(getpid()) + "-" +
                    std::to_string(serial++);
  sandbox::make_dirs(dir);
  return dir;
}

// Reaps `pid` if it has ended; true when it has.
bool reaped(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

Swtpm::Swtpm() {
  if (!sandbox::entered()) {  // its ports would be the machine's
    error_ = "no private network namespace for swtpm";
    return;
  }
  std::string state = fresh_state_dir();
  std::string tpmstate = "dir=" + state;
  std::string server = "type=tcp,port=" + std::to_string(kServerPort);
  std::string ctrl = "type=tcp,port=" + std::to_string(kCtrlPort);
  std::string log = "file=" + state + "/swtpm.log";
  std::vector<std::string> args = {"swtpm",   "socket",   "--tpm2", "--tpmstate", tpmstate, "--server", server,
                                   "--ctrl",  ctrl,       "--log",  log,          "--flags",
                                   "not-need-init,startup-clear"};
  pid_t pid = sandbox::start_program(args, {0, 1}, false, &error_);
  if (pid < 0) return;
  pid_ = pid;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(port_accepts(kServerPort) && port_accepts(kCtrlPort))) {
    if (reaped(pid_)) {
      pid_ = -1;
      error_ = "swtpm ended at start: " + sandbox::read_file(state + "/swtpm.log");
      return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      stop();
      error_ = "swtpm did not open its ports";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Swtpm::~Swtpm() { stop(); }

void Swtpm::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGCONT);
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!reaped(pid_)) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
}

void Swtpm::kill_now() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void Swtpm::freeze() {
  if (pid_ <= 0 || kill(pid_, SIGSTOP) != 0) return;
  // Stopped before the caller goes on, not some time after.
  int status = 0;
  while (waitpid(pid_, &status, WUNTRACED) < 0 && errno == EINTR) {
  }
}

sandbox::RunResult tpm2_tool(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> full = {"-T", kTctiConf};
  full.insert(full.end(), args.begin(), args.end());
  for (const char* dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
    std::string path = dir + program;
    if (access(path.c_str(), X_OK) == 0) return sandbox::run(path, full, "/usr/sbin:/usr/bin:/sbin:/bin");
  }
  sandbox::RunResult missing;
  missing.err = program + " not found";
  return missing;
}

std::string nv_bytes(uint32_t index, size_t size) {
  char handle[16];
  snprintf(handle, sizeof handle, "0x%x", index);
  auto result = tpm2_tool("tpm2_nvread", {"-C", "o", "-s", std::to_string(size), handle});
  return result.status == 0 ? result.out : std::string();
}

}  // namespace tpmtest
