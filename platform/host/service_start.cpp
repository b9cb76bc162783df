// StartServiceA: the service manager starts an entry's program as a service, in a process
// of its own, as kstvmachine service start does from the command line.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/service_state.h"

namespace kstv::host {
namespace {

// The service process gives no sign of life (it never reaches its dispatcher) within
// this, or it ends before it does.
constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr DWORD kProcessAborted = 1067;  // ERROR_PROCESS_ABORTED

struct Starter {
  std::mutex lock;
  std::function<DWORD()> start;
};

Starter& starter() {
  static Starter instance;
  return instance;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// The program an image path names: the text in quotes, or up to the first blank.
std::string ProgramOf(const std::string& imagePath) {
  if (!imagePath.empty() && imagePath[0] == '"') {
    const std::size_t end = imagePath.find('"', 1);
    return imagePath.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return imagePath.substr(0, imagePath.find(' '));
}

std::string OwnExecutable() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// The service manager's environment, not the caller's: the machine's variables, no
// injected failures, no desktop, and the mark of a process the manager started.
std::vector<std::string> ServiceEnvironment() {
  std::vector<std::string> variables;
  for (char** variable = environ; *variable; ++variable) {
    const std::string text = *variable;
    const std::string name = text.substr(0, text.find('='));
    if (name != "KSTV_FAIL_CALLS" && name != "KSTV_NO_DESKTOP" && name != "KSTV_STARTED_BY_SCM")
      variables.push_back(text);
  }
  variables.push_back("KSTV_STARTED_BY_SCM=1");
  variables.push_back("KSTV_NO_DESKTOP=1");
  return variables;
}

// In the child, which may call only what is safe after a fork: everything it needs was
// made before.
[[noreturn]] void RunAsService(const char* executable, int output, char* const* environment) {
  setsid();
  if (output >= 0) {
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
  }
  char* const arguments[] = {const_cast<char*>(executable), nullptr};
  execve(executable, arguments, environment);
  _exit(127);
}

DWORD StartProgram(const std::string& program) {
  char own[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, own, MAX_PATH);
  const std::string executable = OwnExecutable();
  if (machineDirectory().empty() || length == 0 || length == MAX_PATH || executable.empty() ||
      lstrcmpiA(program.c_str(), own) != 0)
    return ERROR_FILE_NOT_FOUND;
  std::vector<std::string> variables = ServiceEnvironment();
  std::vector<char*> environment;
  for (std::string& variable : variables) environment.push_back(variable.data());
  environment.push_back(nullptr);
  const std::string log = machineDirectory() + "/service.log";
  const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  clearServiceReports();  // the new run's reports are the ones waited for
  const pid_t child = fork();
  if (child == 0) RunAsService(executable.c_str(), output, environment.data());
  if (output >= 0) close(output);
  if (child < 0) return ERROR_NOT_ENOUGH_MEMORY;
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (detail::reportedServiceState()) return ERROR_SUCCESS;
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) return kProcessAborted;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

}  // namespace

void setServiceStarter(std::function<DWORD()> start) {
  std::lock_guard guard(starter().lock);
  starter().start = std::move(start);
}

}  // namespace kstv::host

BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD, LPCSTR*) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("StartServiceA")) return Fail(*code);
  std::string imagePath;
  DWORD refusal = ERROR_SUCCESS;
  const DWORD result =
      detail::useServiceEntry(service, SERVICE_START, detail::EntryUse::Read,
                              [&](detail::RegistryStore& store, detail::KeyId key) {
                                auto number = [&](const char16_t* name) {
                                  auto value = store.findValue(key, name);
                                  DWORD word = 0;
                                  if (value && value->data.size() == sizeof word)
                                    std::memcpy(&word, value->data.data(), sizeof word);
                                  return word;
                                };
                                if (auto path = store.findValue(key, u"ImagePath"))
                                  imagePath.assign(path->data.begin(), path->data.end());
                                while (!imagePath.empty() && imagePath.back() == '\0')
                                  imagePath.pop_back();
                                if (number(u"DeleteFlag") == 1)
                                  refusal = ERROR_SERVICE_MARKED_FOR_DELETE;
                                else if (number(u"Start") == SERVICE_DISABLED)
                                  refusal = ERROR_SERVICE_DISABLED;
                              });
  if (result != ERROR_SUCCESS) return Fail(result);
  if (refusal != ERROR_SUCCESS) return Fail(refusal);
  std::optional<DWORD> state = detail::reportedServiceState();
  if (state && *state != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  std::function<DWORD()> start;
  {
    std::lock_guard guard(starter().lock);
    start = starter().start;
  }
  const DWORD started = start ? start() : StartProgram(ProgramOf(imagePath));
  return started == ERROR_SUCCESS ? TRUE : Fail(started);
}
