#include "demo_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tessomar::viewer {

namespace {

int64_t now_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

std::string sibling_executable(const std::string& name) {
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return name;
  exe[n] = 0;
  std::string path(exe);
  size_t slash = path.rfind('/');
  return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + name;
}

bool DemoSimulator::start(const std::string& executable, int timeout_ms, std::string& error) {
  if (pid_ > 0) {
    error = "the simulator is already running";
    return false;
  }
  if (::access(executable.c_str(), X_OK) != 0) {
    error = executable + ": " + std::strerror(errno);
    return false;
  }
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  // Built before fork: the child only calls async-signal-safe functions.
  std::vector<std::string> argv_store = {executable, "--listen", "127.0.0.1:0"};
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  if (pid == 0) {
    // Stop with the viewer even if it never gets to stop us.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    // The viewer blocks its stop signals to take them on its loop; the child must not.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(out[1], STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  pid_ = pid;
  out_fd_ = out[0];
  ::fcntl(out_fd_, F_SETFL, ::fcntl(out_fd_, F_GETFL) | O_NONBLOCK);

  std::string text;
  const int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    size_t nl;
    while ((nl = text.find('\n')) != std::string::npos) {
      std::string line = text.substr(0, nl);
      text.erase(0, nl + 1);
      if (line.rfind("listening on ", 0) == 0) {
        std::string addr = line.substr(13);
        size_t colon = addr.rfind(':');
        if (colon != std::string::npos) {
          host_ = addr.substr(0, colon);
          port_ = addr.substr(colon + 1);
        }
      } else if (line.rfind("DVR_UK=", 0) == 0) {
        dvr_uk_ = line.substr(7);
      }
    }
    if (!host_.empty() && !dvr_uk_.empty()) return true;
    const int64_t left = deadline - now_ms();
    if (left <= 0) {
      error = "the simulator did not announce its address within " +
              std::to_string(timeout_ms / 1000) + " s";
      break;
    }
    pollfd p{out_fd_, POLLIN, 0};
    if (::poll(&p, 1, int(left)) < 0 && errno != EINTR) {
      error = std::string("poll: ") + std::strerror(errno);
      break;
    }
    char buf[512];
    ssize_t got = ::read(out_fd_, buf, sizeof buf);
    if (got > 0) {
      text.append(buf, size_t(got));
    } else if (got == 0) {
      error = "the simulator ended before it announced its address";
      break;
    }
  }
  stop();
  return false;
}

std::string DemoSimulator::drain() {
  std::string text;
  if (out_fd_ < 0) return text;
  char buf[512];
  for (;;) {
    ssize_t got = ::read(out_fd_, buf, sizeof buf);
    if (got <= 0) break;
    text.append(buf, size_t(got));
  }
  return text;
}

void DemoSimulator::stop(int wait_ms) {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    const int64_t deadline = now_ms() + wait_ms;
    bool reaped = false;
    while (!reaped) {
      pid_t r = ::waitpid(pid_, nullptr, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        reaped = true;
        break;
      }
      if (now_ms() >= deadline) break;
      ::usleep(10000);
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  if (out_fd_ >= 0) {
    ::close(out_fd_);
    out_fd_ = -1;
  }
}

}  // namespace tessomar::viewer
