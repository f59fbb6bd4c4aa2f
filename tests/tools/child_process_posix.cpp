#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "tests/tools/child_process.h"

namespace tvktest {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

int Remaining(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms > 0 ? static_cast<int>(ms) : 0;
}

// Waits for the child until the deadline; kills it after that.
int Reap(int pid, Clock::time_point deadline) {
  int status = 0;
  for (;;) {
    int r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0) return -1;
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     int timeoutMs) {
  RunResult result;
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return result;
  std::vector<char*> argv = Argv(program, args);
  int pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(err[0]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && Remaining(deadline) > 0) {
    if (poll(fds, 2, Remaining(deadline)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      }
    }
  }
  for (pollfd& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  result.exitCode = Reap(pid, deadline);
  return result;
}

PtyChild::PtyChild(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv = Argv(program, args);
  pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
  if (pid_ == 0) {
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

PtyChild::~PtyChild() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

void PtyChild::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

std::string PtyChild::TerminalPath() const {
  char name[128] = {};
  return master_ >= 0 && ptsname_r(master_, name, sizeof name) == 0 ? name : "";
}

void PtyChild::Type(const std::string& keys) {
  if (write(master_, keys.data(), keys.size()) < 0) screen_ += "<write failed>";
}

bool PtyChild::WaitFor(const std::string& text, int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (screen_.find(text) == std::string::npos) {
    int left = Remaining(deadline);
    if (left == 0) return false;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buffer[1024];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return screen_.find(text) != std::string::npos;  // the child closed its terminal
    screen_.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

int PtyChild::Wait(int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // Keep draining the terminal so that the child never blocks on a full one.
  int status = -1;
  for (;;) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 10) > 0) {
      char buffer[1024];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) screen_.append(buffer, static_cast<size_t>(n));
    }
    int s = 0;
    int r = waitpid(pid_, &s, WNOHANG);
    if (r == pid_) {
      status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
      pid_ = -1;
      return status;
    }
    if (Clock::now() >= deadline) {
      status = Reap(pid_, deadline);
      pid_ = -1;
      return status;
    }
  }
}

}  // namespace tvktest
