#include "lab_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace agewarden::lab {
namespace {

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Appends what is ready on `fd`; closes it at its end (or, for a terminal
// whose other side is gone, at EIO).
void ReadReady(int& fd, std::string& into) {
  char buffer[65536];
  while (fd >= 0) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, static_cast<size_t>(got));
    } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      return;
    } else {
      CloseFd(fd);
    }
  }
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

Child::Child(const Launch& launch) {
  std::map<std::string, std::string> environment;
  for (char** e = environ; *e; ++e) {
    if (const char* equals = std::strchr(*e, '=')) environment[std::string(*e, static_cast<size_t>(equals - *e))] = equals + 1;
  }
  for (const auto& [name, value] : launch.environment) {
    if (value) environment[name] = *value;
    else environment.erase(name);
  }
  std::vector<std::string> envText, argText = {launch.program};
  for (const auto& [name, value] : environment) envText.push_back(name + "=" + value);
  argText.insert(argText.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> envp = Pointers(envText), argv = Pointers(argText);

  int out[2], err[2], in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  if (launch.outputPipeSize > 0) fcntl(out[0], F_SETPIPE_SZ, launch.outputPipeSize);
  std::string terminalName;
  if (launch.input == Input::ClosedPipe && pipe2(in, O_CLOEXEC) != 0) return;
  if (launch.input == Input::Text) {
    in[0] = memfd_create("stdin", MFD_CLOEXEC);
    if (in[0] < 0 || write(in[0], launch.text.data(), launch.text.size()) != static_cast<ssize_t>(launch.text.size()))
      return;
    lseek(in[0], 0, SEEK_SET);
  }
  if (launch.input == Input::Terminal) {
    terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0) return;
    terminalName = ptsname(terminal_);
  }
  started_ = Now();
  pid_ = fork();
  if (pid_ == 0) {
    // A session of its own: a terminal opened now becomes its controlling
    // terminal, so /dev/tty is that terminal as well.
    setsid();
    const int input = launch.input == Input::Terminal ? open(terminalName.c_str(), O_RDWR)
                      : in[0] >= 0                    ? in[0]
                                                      : open("/dev/null", O_RDONLY);
    if (input < 0) _exit(126);
    dup2(input, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(launch.program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  CloseFd(in[0]);
  CloseFd(in[1]);  // a closed pipe: the run reads end-of-file at once
  out_ = out[0];
  err_ = err[0];
  for (int fd : {out_, err_, terminal_}) {
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
}

Child::~Child() {
  if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  for (int* fd : {&out_, &err_, &terminal_}) CloseFd(*fd);
}

void Child::Pump(int milliseconds) {
  pollfd fds[3];
  nfds_t n = 0;
  for (int fd : {out_, err_, terminal_}) {
    if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
  }
  if (n == 0) usleep(static_cast<useconds_t>(milliseconds) * 1000);
  if (n == 0 || poll(fds, n, milliseconds) <= 0) return;
  ReadReady(out_, result_.out);
  ReadReady(err_, result_.err);
  ReadReady(terminal_, result_.terminal);
}

bool Child::WaitUntilHeldAtOutput(double limit) {
  const double deadline = Now() + limit;
  const int capacity = out_ >= 0 ? fcntl(out_, F_GETPIPE_SZ) : -1;
  for (; pid_ > 0 && capacity > 0 && Now() < deadline; usleep(20000)) {
    int waiting = 0;
    if (ioctl(out_, FIONREAD, &waiting) == 0 && waiting >= capacity) return true;
    ReadReady(err_, result_.err);  // only the other streams are read meanwhile
    ReadReady(terminal_, result_.terminal);
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
      return false;
  }
  return false;
}

bool Child::ReadUntil(const std::string& text, double limit) {
  for (const double deadline = Now() + limit; Now() < deadline && out_ >= 0;) {
    if (result_.out.find(text) != std::string::npos) return true;
    Pump(50);
  }
  return result_.out.find(text) != std::string::npos;
}

Result Child::Finish(double limit) {
  if (pid_ <= 0) return result_;
  const double deadline = Now() + limit;
  int status = 0;
  rusage usage{};
  while (wait4(pid_, &status, WNOHANG, &usage) != pid_) {
    Pump(50);
    if (Now() >= deadline) {
      result_.overran = true;
      kill(pid_, SIGKILL);
      wait4(pid_, &status, 0, &usage);
      break;
    }
  }
  result_.seconds = Now() - started_;
  pid_ = -1;
  // What is left in the pipes, unless something the run started holds them.
  for (const double drained = Now() + 5; (out_ >= 0 || err_ >= 0) && Now() < drained;) Pump(50);
  ReadReady(terminal_, result_.terminal);
  result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result_.peakRssKb = usage.ru_maxrss;
  return result_;
}

Result RunTool(const Launch& launch, double limit) { return Child(launch).Finish(limit); }

Result Execute(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& overrides, const std::string& input) {
  Launch launch{.args = args, .input = input.empty() ? Input::DevNull : Input::Text, .text = input, .program = program};
  for (const auto& [name, value] : overrides) {
    launch.environment[name] = value.empty() ? std::nullopt : std::optional(value);
  }
  return RunTool(launch, 900);
}

Result Agewarden(const std::vector<std::string>& args, const std::map<std::string, std::string>& overrides) {
  return Execute(AGEWARDEN_BINARY, args, overrides);
}
Result Shell(const std::string& command, const std::map<std::string, std::string>& overrides) {
  return Execute("/bin/bash", {"-c", command}, overrides);
}

Result Labdc(const std::string& arguments) {
  std::map<std::string, std::string> overrides;
  for (const auto& [variable, from] : {std::pair{"AGEWARDEN_LAB", "LAB_DIR"}, std::pair{"AGEWARDEN_LAB_IP", "LAB_IP"}}) {
    if (const char* value = getenv(from)) overrides[variable] = value;
  }
  return Shell(std::string(AGEWARDEN_SOURCE_DIR) + "/scripts/labdc " + arguments, overrides);
}

std::map<std::string, std::string> LabEnvironment(const std::string& which) {
  std::map<std::string, std::string> environment;
  for (const std::string& line : Lines(Labdc("env " + which).out)) {
    const size_t equals = line.find('=');
    if (line.rfind("export ", 0) != 0 || equals == std::string::npos) continue;
    std::string value = line.substr(equals + 1);
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') value = value.substr(1, value.size() - 2);
    environment[line.substr(7, equals - 7)] = value;
  }
  return environment;
}

Environment PlainUser() {
  Environment plain;
  for (const auto& [name, value] : LabEnvironment("plain")) plain[name] = value;
  return plain;
}

void ResetLab() { EXPECT_EQ(Labdc("reset").status, 0) << "labdc reset"; }

pid_t SambaPid() {
  std::ifstream file(std::string(getenv("LAB_DIR") ? getenv("LAB_DIR") : "/nonexistent") + "/samba.pid");
  long pid = -1;
  char exe[4096];
  if (!(file >> pid) || pid <= 0) return -1;
  const ssize_t length = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
  return length > 6 && std::string(exe, static_cast<size_t>(length)).ends_with("/samba") ? pid : -1;
}

std::string Base() { return getenv("LAB_BASE") ? getenv("LAB_BASE") : "DC=agewarden,DC=lab"; }

Accounts ReadAccounts(const std::string& base, const std::string& attributes) {
  const Result r = Shell("set -f; ldapsearch -LLL -Q -o ldif-wrap=no -b '" + base +
                         "' '(&(objectClass=user)(objectCategory=person))' sAMAccountName " + attributes);
  Accounts accounts;
  std::map<std::string, std::string> entry;
  for (const std::string& line : Lines(r.out + "\n")) {
    const size_t colon = line.find(": ");
    if (line.empty() && entry.count("sAMAccountName")) accounts[entry["sAMAccountName"]] = entry;
    if (line.empty()) entry.clear();
    if (colon == std::string::npos) continue;
    std::string& value = entry[line.substr(0, colon)];
    value += (value.empty() ? "" : "\n") + line.substr(colon + 2);
  }
  return accounts;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines = Lines(text);
  return std::sort(lines.begin(), lines.end()), lines;
}

std::string TempPath(const std::string& name, const std::optional<std::string>& content) {
  const std::string path = ::testing::TempDir() + "agewarden-test-" + std::to_string(getpid()) + "-" + name;
  if (content) std::ofstream(path, std::ios::binary) << *content;
  return path;
}

}  // namespace agewarden::lab
