// Context handles, the shared TPM connection under them, and the guards
// every entry point takes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include <netdb.h>

#include <string>

#include "tpm/standin/standin_internal.h"
#include "tpm/standin/tpm_standin.h"

namespace tpm_standin {
namespace {

// Tried in this order; see the header for why the list is explicit. The
// simulator transports first talk to the simulator's control port.
struct TctiCandidate {
  const char* conf;
  bool uses_control_port;
};
constexpr TctiCandidate kTctiSearch[] = {
    {"device:/dev/tpmrm0", false},
    {"device:/dev/tpm0", false},
    {"swtpm:host=localhost,port=2321", true},
    {"mssim:host=localhost,port=2321", true},
};
constexpr uint16_t kControlPort = 2322;

// NV piece size for a TPM that does not report TPM_PT_NV_BUFFER_MAX; small
// enough for any TPM.
constexpr uint16_t kNvBufferFallback = 64;

std::mutex library_mutex;
bool user_wants_stack_log = false;

struct TctiDeleter {
  void operator()(TSS2_TCTI_CONTEXT* tcti) const { Tss2_TctiLdr_Finalize(&tcti); }
};
struct EsysDeleter {
  void operator()(ESYS_CONTEXT* esys) const { Esys_Finalize(&esys); }
};
using TctiPtr = std::unique_ptr<TSS2_TCTI_CONTEXT, TctiDeleter>;
using EsysPtr = std::unique_ptr<ESYS_CONTEXT, EsysDeleter>;

// The one connection to the TPM that all connected contexts use.
struct SharedConnection {
  TctiPtr tcti;
  int users = 0;
  bool lost = false;
  uint16_t nv_buffer_max = kNvBufferFallback;
  // The transport's poll handles, asked once when it opens: they last as
  // long as the transport, and one without any (the software TPM's) must
  // not be asked again before every command.
  std::vector<pollfd> poll_fds;
};
SharedConnection shared;

// Holds one use of the shared connection; the last one closes it.
class ConnectionLease {
 public:
  ConnectionLease() { ++shared.users; }
  ~ConnectionLease() {
    if (--shared.users == 0) {
      shared.tcti.reset();
      shared.lost = false;
      shared.nv_buffer_max = kNvBufferFallback;
      shared.poll_fds.clear();
    }
  }
  ConnectionLease(const ConnectionLease&) = delete;
  ConnectionLease& operator=(const ConnectionLease&) = delete;
};

// A context handle's state. The ESAPI context is finalised before the lease
// can close the connection it runs on (members die in reverse order).
struct Context {
  std::unique_ptr<ConnectionLease> lease;
  EsysPtr esys;
};
std::map<uint32_t, Context> contexts;
uint32_t last_handle = 0;

// Before the stack's first log line: its modules read TSS2_LOG once, lazily.
void quiet_stack_logging() {
  static bool done = false;
  if (done) return;
  done = true;
  const char* user_setting = getenv("TSS2_LOG");
  if (user_setting == nullptr) setenv("TSS2_LOG", "all+NONE", 0);
  user_wants_stack_log = user_setting != nullptr && strcasecmp(user_setting, "all+NONE") != 0;
}

// Asks the TPM for its NV buffer size, which the NV calls need: the real
// command that proves a TPM answers on `esys`.
TSS2_RC probe(ESYS_CONTEXT* esys) {
  TPMI_YES_NO more = TPM2_NO;
  TPMS_CAPABILITY_DATA* data = nullptr;
  TSS2_RC rc = run_command(
      esys, "GetCapability",
      [&] {
        return Esys_GetCapability_Async(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                        TPM2_CAP_TPM_PROPERTIES, TPM2_PT_NV_BUFFER_MAX, 1);
      },
      [&] { return Esys_GetCapability_Finish(esys, &more, &data); });
  if (rc != TSS2_RC_SUCCESS) return rc;
  const TPML_TAGGED_TPM_PROPERTY& props = data->data.tpmProperties;
  if (data->capability == TPM2_CAP_TPM_PROPERTIES && props.count > 0 &&
      props.tpmProperty[0].property == TPM2_PT_NV_BUFFER_MAX && props.tpmProperty[0].value > 0) {
    uint32_t value = props.tpmProperty[0].value;
    shared.nv_buffer_max = static_cast<uint16_t>(value < TPM2_MAX_NV_BUFFER_SIZE ? value : TPM2_MAX_NV_BUFFER_SIZE);
  }
  Esys_Free(data);
  return TSS2_RC_SUCCESS;
}

// Asks the transport itself, not through ESAPI, which logs an error for a
// transport that has none.
std::vector<pollfd> poll_handles_of(TSS2_TCTI_CONTEXT* tcti) {
  size_t count = 0;
  if (Tss2_Tcti_GetPollHandles(tcti, nullptr, &count) != TSS2_RC_SUCCESS || count == 0) return {};
  std::vector<TSS2_TCTI_POLL_HANDLE> handles(count);
  if (Tss2_Tcti_GetPollHandles(tcti, handles.data(), &count) != TSS2_RC_SUCCESS) return {};
  handles.resize(count < handles.size() ? count : handles.size());
  return std::vector<pollfd>(handles.begin(), handles.end());
}

// A new ESAPI context on `tcti` that the TPM has answered through.
TSS2_RC open_esys(TSS2_TCTI_CONTEXT* tcti, EsysPtr* out) {
  ESYS_CONTEXT* raw = nullptr;
  TSS2_RC rc = Esys_Initialize(&raw, tcti, nullptr);
  if (rc != TSS2_RC_SUCCESS) {
    report("Esys_Initialize", rc);
    return rc;
  }
  EsysPtr esys(raw);
  rc = probe(esys.get());
  if (rc == TSS2_RC_SUCCESS) *out = std::move(esys);
  return rc;
}

class Socket {
 public:
  explicit Socket(int family) : fd_(socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool wait_for(int fd, short events, std::chrono::milliseconds limit) {
  pollfd request{fd, events, 0};
  int ready;
  do {
    ready = poll(&request, 1, static_cast<int>(limit.count()));
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (request.revents & events) != 0;
}

// The simulator transports read their control port's answers with no time
// limit while they initialise, so a simulator that hangs with its sockets
// open would hang us there. Ask the control port one harmless question
// (command 1: capabilities of a software TPM, power-on of a reference
// simulator, which the transport sends anyway) and go on only if it answers.
bool control_port_answers(const std::string& host = "localhost", uint16_t port = kControlPort) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) return false;
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  Socket sock(found->ai_family);
  if (sock.get() < 0) return false;
  if (connect(sock.get(), found->ai_addr, found->ai_addrlen) != 0) {
    if (errno != EINPROGRESS || !wait_for(sock.get(), POLLOUT, kCommandTimeLimit)) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(sock.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return false;
  }
  const uint8_t command[4] = {0, 0, 0, 1};
  if (send(sock.get(), command, sizeof command, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof command)) return false;
  uint8_t answer[64];
  return wait_for(sock.get(), POLLIN, kCommandTimeLimit) && recv(sock.get(), answer, sizeof answer, 0) > 0;
}

// The TCTI the administrator chose, as the TPM 2.0 tools read it:
// TPM2TOOLS_TCTI, else TCTI; empty when neither is set.
std::string chosen_tcti() {
  for (const char* name : {"TPM2TOOLS_TCTI", "TCTI"}) {
    const char* value = getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "";
}

// The control port of a simulator TCTI ("swtpm:host=H,port=P", "mssim:..."):
// the data port plus one, on the same host.
bool simulator_control_port(const std::string& conf, std::string* host, uint16_t* port) {
  std::string name = conf.substr(0, conf.find(':'));
  if (name != "swtpm" && name != "mssim" && name.find("libtss2-tcti-swtpm") == std::string::npos &&
      name.find("libtss2-tcti-mssim") == std::string::npos)
    return false;
  *host = "localhost";
  unsigned long data_port = 2321;
  std::string options = conf.find(':') == std::string::npos ? "" : conf.substr(conf.find(':') + 1);
  for (size_t start = 0; start <= options.size();) {
    size_t end = options.find(',', start);
    if (end == std::string::npos) end = options.size();
    std::string option = options.substr(start, end - start);
    if (option.compare(0, 5, "host=") == 0) *host = option.substr(5);
    if (option.compare(0, 5, "port=") == 0) data_port = strtoul(option.c_str() + 5, nullptr, 10);
    start = end + 1;
  }
  *port = static_cast<uint16_t>(data_port + 1);
  return true;
}

// Opens the one TCTI the administrator named, and no other.
TSS2_RC open_chosen_connection(const std::string& conf, EsysPtr* esys) {
  shared.lost = false;
  std::string host;
  uint16_t control_port = 0;
  if (simulator_control_port(conf, &host, &control_port) && !control_port_answers(host, control_port))
    return kConnectionLost;
  TSS2_TCTI_CONTEXT* raw = nullptr;
  TSS2_RC rc = Tss2_TctiLdr_Initialize(conf.c_str(), &raw);
  if (rc != TSS2_RC_SUCCESS) {
    report(conf.c_str(), rc);
    return rc;
  }
  TctiPtr tcti(raw);
  shared.poll_fds = poll_handles_of(tcti.get());
  rc = open_esys(tcti.get(), esys);
  if (rc == TSS2_RC_SUCCESS) shared.tcti = std::move(tcti);
  return rc;
}

// Opens the shared connection: the TCTI the administrator chose, else the
// first TPM of the search that answers.
TSS2_RC open_connection(EsysPtr* esys) {
  std::string chosen = chosen_tcti();
  if (!chosen.empty()) return open_chosen_connection(chosen, esys);
  TSS2_RC rc = kConnectionLost;
  bool control_port_checked = false, control_port_ok = false;
  for (const auto& candidate : kTctiSearch) {
    const char* conf = candidate.conf;
    shared.lost = false;
    if (candidate.uses_control_port) {
      if (!control_port_checked) control_port_ok = control_port_answers();
      control_port_checked = true;
      if (!control_port_ok) {
        rc = kConnectionLost;
        continue;
      }
    }
    TSS2_TCTI_CONTEXT* raw = nullptr;
    rc = Tss2_TctiLdr_Initialize(conf, &raw);
    if (rc != TSS2_RC_SUCCESS) {
      report(conf, rc);
      continue;
    }
    TctiPtr tcti(raw);
    shared.poll_fds = poll_handles_of(tcti.get());
    rc = open_esys(tcti.get(), esys);
    if (rc == TSS2_RC_SUCCESS) {
      shared.tcti = std::move(tcti);
      return rc;
    }
  }
  return rc;
}

}  // namespace

SigpipeShield::SigpipeShield() {
  sigset_t pending, pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  sigemptyset(&pending);
  sigpending(&pending);
  was_pending_ = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe, &saved_mask_);
}

SigpipeShield::~SigpipeShield() {
  if (!was_pending_) {
    sigset_t pending, pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigemptyset(&pending);
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1) {
      struct timespec no_wait {};
      sigtimedwait(&pipe, nullptr, &no_wait);
    }
  }
  pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
}

LibraryCall::LibraryCall() : lock_(library_mutex) {}

ESYS_CONTEXT* connected_esys(uint32_t handle, TSS2_RC* rc) {
  auto found = contexts.find(handle);
  if (found == contexts.end() || !found->second.esys) {
    *rc = kBadContext;
    return nullptr;
  }
  if (shared.lost) {
    *rc = kConnectionLost;
    return nullptr;
  }
  *rc = TSS2_RC_SUCCESS;
  return found->second.esys.get();
}

uint16_t nv_buffer_max() { return shared.nv_buffer_max; }

void report(const char* step, TSS2_RC rc) {
  if (!user_wants_stack_log) return;
  fprintf(stderr, "tpm stand-in: %s failed: 0x%08x %s\n", step, rc, Tss2_RC_Decode(rc));
}

bool answer_arrives_within(std::chrono::milliseconds left) {
  if (shared.poll_fds.empty()) return true;
  std::vector<pollfd> fds = shared.poll_fds;
  for (auto& fd : fds) fd.events = POLLIN;
  int ready;
  do {
    ready = poll(fds.data(), fds.size(), static_cast<int>(left.count()));
  } while (ready < 0 && errno == EINTR);
  return ready != 0;
}

void note_transport_result(TSS2_RC rc) {
  uint32_t layer = rc & TSS2_RC_LAYER_MASK;
  if (rc == kTimedOut || layer == TSS2_TCTI_RC_LAYER) shared.lost = true;
}

}  // namespace tpm_standin

using namespace tpm_standin;

TpmResult Tspi_Context_Create(TpmContextHandle* context) {
  if (context == nullptr) return kBadReference;
  LibraryCall call;
  uint32_t handle = last_handle;
  do {
    handle = handle == UINT32_MAX ? 1 : handle + 1;
  } while (contexts.count(handle) != 0);
  contexts[handle];
  last_handle = handle;
  *context = handle;
  return TSS2_RC_SUCCESS;
}

TpmResult Tspi_Context_Connect(TpmContextHandle context, const uint16_t* destination) {
  if (destination != nullptr) return kBadValue;
  LibraryCall call;
  auto found = contexts.find(context);
  if (found == contexts.end()) return kBadContext;
  if (found->second.esys) return kBadSequence;
  quiet_stack_logging();
  EsysPtr esys;
  TSS2_RC rc;
  if (shared.users == 0) {
    rc = open_connection(&esys);
  } else if (shared.lost) {
    rc = kConnectionLost;
  } else {
    rc = open_esys(shared.tcti.get(), &esys);
  }
  if (rc != TSS2_RC_SUCCESS) return rc;
  found->second.lease = std::make_unique<ConnectionLease>();
  found->second.esys = std::move(esys);
  return TSS2_RC_SUCCESS;
}

TpmResult Tspi_Context_FreeMemory(TpmContextHandle context, uint8_t* memory) {
  LibraryCall call;
  if (contexts.count(context) == 0) return kBadContext;
  return memory == nullptr ? TSS2_RC_SUCCESS : kBadValue;
}

TpmResult Tspi_Context_Close(TpmContextHandle context) {
  LibraryCall call;
  auto found = contexts.find(context);
  if (found == contexts.end()) return kBadContext;
  contexts.erase(found);
  return TSS2_RC_SUCCESS;
}
