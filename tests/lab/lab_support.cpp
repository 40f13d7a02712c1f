#include "lab_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>

extern char** environ;

namespace agewarden::lab {
namespace {

// Reads both pipes to their end without letting either fill up.
void Drain(int outFd, int errFd, const std::string& input, int inFd, Result& result) {
  size_t written = 0;
  if (inFd >= 0 && input.empty()) {
    close(inFd);
    inFd = -1;
  }
  char buffer[65536];
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    if (poll(fds, n, -1) < 0) break;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inFd) {
        const ssize_t w = write(inFd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w <= 0 || written == input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (fds[i].fd == outFd ? result.out : result.err).append(buffer, static_cast<size_t>(got));
      } else {
        close(fds[i].fd);
        (fds[i].fd == outFd ? outFd : errFd) = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
}

}  // namespace

Result Execute(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& overrides, const std::string& input) {
  std::map<std::string, std::string> environment;
  for (char** e = environ; *e; ++e) {
    const char* equals = std::strchr(*e, '=');
    if (equals) environment[std::string(*e, static_cast<size_t>(equals - *e))] = equals + 1;
  }
  for (const auto& [name, value] : overrides) {
    if (value.empty()) {
      environment.erase(name);
    } else {
      environment[name] = value;
    }
  }
  std::vector<std::string> envText;
  for (const auto& [name, value] : environment) envText.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argText = {program};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2], err[2], in[2];
  if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(in[0]), close(in[1]), close(out[0]), close(out[1]), close(err[0]), close(err[1]);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]), close(out[1]), close(err[1]);
  Result result;
  Drain(out[0], err[0], input, in[1], result);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

Result Agewarden(const std::vector<std::string>& args, const std::map<std::string, std::string>& overrides) {
  return Execute(AGEWARDEN_BINARY, args, overrides);
}

Result Shell(const std::string& command, const std::map<std::string, std::string>& overrides) {
  return Execute("/bin/bash", {"-c", command}, overrides);
}

std::string LabdcCommand(const std::string& arguments) {
  std::string command;
  for (const auto& [variable, from] : {std::pair{"AGEWARDEN_LAB", "LAB_DIR"}, std::pair{"AGEWARDEN_LAB_IP", "LAB_IP"}}) {
    const char* value = getenv(from);
    if (value == nullptr) continue;
    command += std::string(variable) + "='";
    for (const char* c = value; *c; ++c) command += *c == '\'' ? std::string("'\\''") : std::string(1, *c);
    command += "' ";
  }
  return command + std::string(AGEWARDEN_SOURCE_DIR) + "/scripts/labdc " + arguments;
}

std::map<std::string, std::string> LabEnvironment(const std::string& which) {
  const Result r = Shell(LabdcCommand("env " + which));
  std::map<std::string, std::string> environment;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("export ", 0) != 0) continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string value = line.substr(equals + 1);
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') value = value.substr(1, value.size() - 2);
    environment[line.substr(7, equals - 7)] = value;
  }
  return environment;
}

std::string ReadAttribute(const std::string& dn, const std::string& attribute) {
  const Result r = Execute("/usr/bin/ldapsearch", {"-LLL", "-Q", "-o", "ldif-wrap=no", "-b", dn, "-s", "base",
                                                   "(objectClass=*)", attribute});
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(attribute + ": ", 0) == 0) return line.substr(attribute.size() + 2);
  }
  return {};
}

void ResetLab() {
  const Result r = Shell(LabdcCommand("reset"));
  ASSERT_EQ(r.status, 0) << r.out << r.err;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines = Lines(text);
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "agewarden-test-" + std::to_string(getpid()) + "-" + name;
}

}  // namespace agewarden::lab
