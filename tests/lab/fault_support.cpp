#include "fault_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "lab_support.h"

extern char** environ;

namespace agewarden::lab {
namespace {

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Appends what is ready on `fd`; closes it at its end (or, for a terminal
// master, when the other side is gone: EIO).
void ReadReady(int& fd, std::string& into) {
  char buffer[65536];
  while (fd >= 0) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    CloseFd(fd);
  }
}

}  // namespace

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Child::Child(const Launch& launch) {
  std::map<std::string, std::string> environment;
  for (char** e = environ; *e; ++e) {
    const char* equals = std::strchr(*e, '=');
    if (equals) environment[std::string(*e, static_cast<size_t>(equals - *e))] = equals + 1;
  }
  for (const auto& [name, value] : launch.environment) {
    if (value) {
      environment[name] = *value;
    } else {
      environment.erase(name);
    }
  }
  std::vector<std::string> envText;
  for (const auto& [name, value] : environment) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argText = {launch.program};
  argText.insert(argText.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (std::string& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2], err[2], in[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  if (launch.outputPipeSize > 0) fcntl(out[0], F_SETPIPE_SZ, launch.outputPipeSize);
  std::string terminalName;
  if (launch.input == Input::ClosedPipe) {
    if (pipe2(in, O_CLOEXEC) != 0) return;
  } else if (launch.input == Input::Terminal) {
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
    int input = -1;
    switch (launch.input) {
      case Input::DevNull: input = open("/dev/null", O_RDONLY); break;
      case Input::ClosedPipe: input = in[0]; break;
      case Input::Terminal: input = open(terminalName.c_str(), O_RDWR); break;
    }
    if (input < 0) _exit(126);
    dup2(input, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(launch.program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (in[0] >= 0) close(in[0]);
  if (in[1] >= 0) close(in[1]);  // the run reads end-of-file at once
  out_ = out[0];
  err_ = err[0];
  for (int fd : {out_, err_, terminal_}) {
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  CloseFd(out_);
  CloseFd(err_);
  CloseFd(terminal_);
}

void Child::Pump(int milliseconds) {
  pollfd fds[3];
  int n = 0;
  for (int fd : {out_, err_, terminal_}) {
    if (fd >= 0) fds[n++] = {fd, POLLIN, 0};
  }
  if (n == 0) {
    usleep(static_cast<useconds_t>(milliseconds) * 1000);
    return;
  }
  if (poll(fds, static_cast<nfds_t>(n), milliseconds) <= 0) return;
  ReadReady(out_, outcome_.out);
  ReadReady(err_, outcome_.err);
  ReadReady(terminal_, outcome_.terminal);
}

bool Child::WaitUntilHeldAtOutput(double limit) {
  const double deadline = Now() + limit;
  const int capacity = out_ >= 0 ? fcntl(out_, F_GETPIPE_SZ) : -1;
  while (pid_ > 0 && capacity > 0 && Now() < deadline) {
    int waiting = 0;
    if (ioctl(out_, FIONREAD, &waiting) == 0 && waiting >= capacity) return true;
    // Only the other streams are read meanwhile.
    ReadReady(err_, outcome_.err);
    ReadReady(terminal_, outcome_.terminal);
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) {
      return false;
    }
    usleep(20000);
  }
  return false;
}

bool Child::ReadUntil(const std::string& text, double limit) {
  const double deadline = Now() + limit;
  while (Now() < deadline) {
    if (outcome_.out.find(text) != std::string::npos) return true;
    if (out_ < 0) return false;
    Pump(50);
  }
  return outcome_.out.find(text) != std::string::npos;
}

Outcome Child::Finish(double limit) {
  if (pid_ <= 0) return outcome_;
  const double deadline = Now() + limit;
  int status = 0;
  rusage usage{};
  while (true) {
    Pump(50);
    const pid_t done = wait4(pid_, &status, WNOHANG, &usage);
    if (done == pid_) break;
    if (Now() >= deadline) {
      outcome_.overran = true;
      kill(pid_, SIGKILL);
      wait4(pid_, &status, 0, &usage);
      break;
    }
  }
  outcome_.seconds = Now() - started_;
  pid_ = -1;
  // What is left in the pipes after the end (unless something the run
  // started still holds them).
  const double drained = Now() + 5;
  while ((out_ >= 0 || err_ >= 0) && Now() < drained) Pump(50);
  if (terminal_ >= 0) {
    ReadReady(terminal_, outcome_.terminal);
    CloseFd(terminal_);
  }
  outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome_.peakRssKb = usage.ru_maxrss;
  return outcome_;
}

Outcome RunTool(const Launch& launch, double limit) {
  Child child(launch);
  return child.Finish(limit);
}

pid_t SambaPid() {
  const char* dir = getenv("LAB_DIR");
  if (dir == nullptr) return -1;
  std::ifstream file(std::string(dir) + "/samba.pid");
  long pid = -1;
  if (!(file >> pid) || pid <= 0) return -1;
  char exe[4096];
  const ssize_t length = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
  if (length <= 0) return -1;
  const std::string path(exe, static_cast<size_t>(length));
  if (path.size() < 6 || path.substr(path.size() - 6) != "/samba") return -1;
  return static_cast<pid_t>(pid);
}

bool LabHealthy() { return Shell(LabdcCommand("status")).status == 0; }

}  // namespace agewarden::lab
