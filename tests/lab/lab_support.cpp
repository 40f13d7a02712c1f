#include "lab_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace agewarden::lab {
namespace {

// Everything in `fd` from `offset` on, without moving the offset the run writes at.
std::string Contents(int fd, off_t offset = 0) {
  std::string text;
  char buffer[65536];
  for (ssize_t got; fd >= 0 && (got = pread(fd, buffer, sizeof buffer, offset)) > 0; offset += got) text.append(buffer, got);
  return text;
}

}  // namespace

// Standard output and error go to files in memory, read as the run goes on.
Child::Child(const Launch& launch) : quiet_(launch.program != "/bin/bash") {
  std::vector<std::string> args = {launch.program};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  out_ = memfd_create("stdout", MFD_CLOEXEC);
  err_ = memfd_create("stderr", MFD_CLOEXEC);
  std::string input = "/dev/null";
  if (launch.terminal) {
    terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0) return;
    input = ptsname(terminal_);
  }
  started_ = Now();
  pid_ = fork();
  if (pid_ == 0) {
    // A session of its own: the terminal opened now becomes its controlling
    // terminal, so /dev/tty is that terminal as well.
    setsid();
    for (const auto& [name, value] : launch.environment) {
      if (value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str())) _exit(125);
    }
    const int in = open(input.c_str(), O_RDWR);
    if (in < 0 || dup2(in, 0) < 0 || dup2(out_, 1) < 0 || dup2(err_, 2) < 0) _exit(126);
    execv(launch.program.c_str(), argv.data());
    _exit(127);
  }
}

Child::~Child() {
  if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  for (int fd : {out_, err_, terminal_}) {
    if (fd >= 0) close(fd);
  }
}

void Child::Signal(int signal) const { EXPECT_EQ(kill(pid_, signal), 0); }

bool Child::WaitFor(const std::string& text, double limit) const {
  for (const double deadline = Now() + limit; Now() < deadline; usleep(10000)) {
    if (Contents(out_).find(text) != std::string::npos) return true;
  }
  return false;
}

Result Child::Finish(double limit) {
  Result result;
  if (pid_ <= 0) {
    ADD_FAILURE() << "not started";
    return result;
  }
  const auto readTerminal = [&] {
    char buffer[4096];
    for (ssize_t got; terminal_ >= 0 && (got = read(terminal_, buffer, sizeof buffer)) > 0;) result.terminal.append(buffer, got);
  };
  int status = 0;
  rusage usage{};
  for (const double deadline = Now() + limit; wait4(pid_, &status, WNOHANG, &usage) == 0; usleep(10000)) {
    readTerminal();
    if (Now() >= deadline) {
      ADD_FAILURE() << "still running after " << limit << " s: killed";
      kill(pid_, SIGKILL);
      wait4(pid_, &status, 0, &usage);
      break;
    }
  }
  readTerminal();
  pid_ = -1;
  result.out = Contents(out_);
  result.err = Contents(err_);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.seconds = Now() - started_;
  result.peakRssKb = usage.ru_maxrss;
  if (quiet_) {
    EXPECT_EQ(result.err, "") << "nothing on standard error";
  }
  return result;
}

Result Shell(const std::string& command, const Environment& environment) {
  return RunTool({.args = {"-c", command}, .environment = environment, .program = "/bin/bash"}, 900);
}

// scripts/labdc on the lab of LAB_DIR and LAB_IP.
const std::string kLabdc = "AGEWARDEN_LAB=\"$LAB_DIR\" AGEWARDEN_LAB_IP=\"$LAB_IP\" " AGEWARDEN_SOURCE_DIR "/scripts/labdc ";

Result Labdc(const std::string& arguments) { return Shell(kLabdc + arguments); }

Environment PlainUser() {
  std::istringstream in(Shell("eval \"$(" + kLabdc + "env plain)\" && env -0").out);
  Environment plain;
  for (std::string line; std::getline(in, line, '\0');) plain[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
  return plain;
}

Environment TicketOf(const std::string& principal, const std::string& options) {
  const std::string cache = TempPath(principal + ".ccache");
  EXPECT_EQ(Shell("printf '%s\\n' \"$LAB_USER_PASSWORD\" | kinit " + options + " -c FILE:" + cache + " " + principal).status, 0);
  return {{"KRB5CCNAME", "FILE:" + cache}, {"USERDOMAIN", std::nullopt}, {"USERNAME", std::nullopt}};
}

pid_t SambaPid() {
  std::ifstream file(std::string(getenv("LAB_DIR")) + "/samba.pid");
  long pid = -1;
  char exe[4096];
  if (!(file >> pid) || pid <= 0) return -1;
  const ssize_t length = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
  return length > 6 && std::string(exe, static_cast<size_t>(length)).ends_with("/samba") ? pid : -1;
}

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

std::string TempPath(const std::string& name, const std::optional<std::string>& content) {
  const std::string path = ::testing::TempDir() + "agewarden-test-" + std::to_string(getpid()) + "-" + name;
  if (content) std::ofstream(path, std::ios::binary) << *content;
  return path;
}

}  // namespace agewarden::lab
