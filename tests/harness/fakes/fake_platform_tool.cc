// Stand-in for the platform programs the tool runs (GRUB probe and
// relative-path tools, df, dmidecode). Copies of this one binary sit in a
// directory placed first on PATH, one per program name. Each run appends its
// argument vector to <dir>/record and prints the answer a test put in
// <dir>/answers/<name>/<hex of last argument>, else <dir>/answers/<name>/default,
// with every "@ARG@" replaced by the last argument. A run with "--target T"
// first looks for the same two answers under <dir>/answers/<name>/T/. When
// <dir>/answers/<name>/signal holds "PID SIGNAL", the first run sends that
// signal to that process (a TPM that dies or hangs in the middle of a
// command) and removes the file. When <dir>/answers/<name>/sleep holds N,
// each run writes its pid to <dir>/answers/<name>/sleeping, starts a child
// and both sleep N seconds before answering (a tool that hangs, with a
// helper of its own); <dir>/answers/<name>/exit holds the status to exit
// with after answering, or minus the signal to die of.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

std::string own_directory() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(length));
  return path.substr(0, path.rfind('/'));
}

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else out += c;
  }
  return out;
}

std::string hex(const std::string& text) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out.empty() ? "empty" : out;
}

bool read_whole(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// The signal reaches the process some time after kill() returns; the test
// means the TPM to be stopped or dead when the tool next asks it, so wait
// (a few seconds at most) until it is.
void await_signal_taken(int pid, int number) {
  for (int i = 0; i < 500; ++i) {
    std::string stat;
    if (!read_whole("/proc/" + std::to_string(pid) + "/stat", &stat)) return;  // gone
    size_t paren = stat.rfind(')');
    char state = paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
    if (number == SIGSTOP ? state == 'T' : state == 'Z' || state == 'X') return;
    usleep(10000);
  }
}

// What each program says when its test or script set no answer: a machine
// with /boot on (hd0,gpt2), its root on LVM, made by a maker without a
// firmware quirk. The one set of defaults of the tests, the demo and the
// benchmarks.
bool built_in_answer(const std::string& name, std::string* answer) {
  if (name == "grub-probe" || name == "grub2-probe") *answer = "hd0,gpt2\n";
  else if (name == "grub-mkrelpath" || name == "grub2-mkrelpath") *answer = "@ARG@\n";
  else if (name == "df") *answer = "Filesystem 1K-blocks Used Available Use% Mounted on\n/dev/mapper/vg-root 1000 10 990 1% /\n";
  else if (name == "dmidecode") *answer = "\tManufacturer: QEMU\n";
  else return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = own_directory();
  std::string name = argv[0];
  name = name.substr(name.rfind('/') + 1);

  std::string line = escape(name);
  for (int i = 1; i < argc; ++i) {
    line += '\t';
    line += escape(argv[i]);
  }
  line += "\n";
  int record = open((dir + "/record").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (record >= 0) {
    ssize_t ignored = write(record, line.data(), line.size());
    (void)ignored;
    close(record);
  }

  std::string last = argc > 1 ? argv[argc - 1] : "";
  std::string answer;
  std::string base = dir + "/answers/" + name + "/";
  std::string signal_order;
  // Only the run that removes the order sends it.
  if (read_whole(base + "signal", &signal_order) && unlink((base + "signal").c_str()) == 0) {
    int pid = 0, number = 0;
    if (sscanf(signal_order.c_str(), "%d %d", &pid, &number) == 2 && pid > 0 && kill(pid, number) == 0)
      await_signal_taken(pid, number);
  }
  std::string sleep_order;
  if (read_whole(base + "sleep", &sleep_order)) {
    std::string pid = std::to_string(getpid());
    int note = open((base + "sleeping").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (note >= 0) {
      ssize_t ignored = write(note, pid.data(), pid.size());
      (void)ignored;
      close(note);
    }
    fork();  // both sleep; the helper must die with the tool's group
    sleep(static_cast<unsigned>(atoi(sleep_order.c_str())));
  }
  std::string exit_order;
  int exit_status = read_whole(base + "exit", &exit_order) ? atoi(exit_order.c_str()) : 0;
  std::string target;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--target") target = base + argv[i + 1] + "/";
  bool answered = !target.empty() && (read_whole(target + hex(last), &answer) || read_whole(target + "default", &answer));
  if (!answered && !read_whole(base + hex(last), &answer) && !read_whole(base + "default", &answer) &&
      !built_in_answer(name, &answer))
    return exit_status;
  for (size_t at = answer.find("@ARG@"); at != std::string::npos; at = answer.find("@ARG@", at + last.size())) {
    answer.replace(at, 5, last);
  }
  fwrite(answer.data(), 1, answer.size(), stdout);
  if (exit_status < 0) {  // "-11": dies of that signal after answering
    fflush(stdout);
    signal(-exit_status, SIG_DFL);
    raise(-exit_status);
  }
  return exit_status;
}
