#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace tessomar::testsupport {
namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool make_pipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

std::string env_name(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

ChildProcess::~ChildProcess() {
  kill_now();
  close_fd(out_.fd);
  close_fd(err_.fd);
  close_fd(stdin_fd_);
}

bool ChildProcess::start(const std::vector<std::string>& argv, std::string* error,
                         const std::vector<std::string>& extra_env) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what;
    return false;
  };
  if (pid_ > 0) return fail("a child is already running");
  if (argv.empty()) return fail("empty argument list");

  // Everything exec needs is built before fork: the child only calls async-signal-safe
  // functions.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_store;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry(*e);
    bool overridden = false;
    for (const std::string& x : extra_env)
      overridden = overridden || env_name(x) == env_name(entry);
    if (!overridden) env_store.push_back(std::move(entry));
  }
  for (const std::string& x : extra_env) env_store.push_back(x);
  std::vector<char*> envp;
  for (std::string& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);

  int in_pipe[2], out_pipe[2], err_pipe[2], exec_pipe[2];
  if (!make_pipe(in_pipe)) return fail(std::string("pipe: ") + std::strerror(errno));
  if (!make_pipe(out_pipe) || !make_pipe(err_pipe) || !make_pipe(exec_pipe)) {
    return fail(std::string("pipe: ") + std::strerror(errno));
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return fail(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    // Die with the test process so that a crashed test leaves no server behind.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(in_pipe[0], STDIN_FILENO);
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    ::execvpe(args[0], args.data(), envp.data());
    const int e = errno;
    [[maybe_unused]] ssize_t w = ::write(exec_pipe[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::close(exec_pipe[1]);
  pid_ = pid;
  status_.reset();
  stdin_fd_ = in_pipe[1];
  out_ = Capture{};
  err_ = Capture{};
  out_.fd = out_pipe[0];
  err_.fd = err_pipe[0];
  ::fcntl(out_.fd, F_SETFL, O_NONBLOCK);
  ::fcntl(err_.fd, F_SETFL, O_NONBLOCK);

  // The exec pipe closes on a successful exec; an errno arrives when it failed.
  int exec_errno = 0;
  ssize_t n;
  do {
    n = ::read(exec_pipe[0], &exec_errno, sizeof exec_errno);
  } while (n < 0 && errno == EINTR);
  ::close(exec_pipe[0]);
  if (n == ssize_t(sizeof exec_errno)) {
    try_reap(0);
    pid_ = -1;
    close_fd(stdin_fd_);
    close_fd(out_.fd);
    close_fd(err_.fd);
    return fail("cannot run " + argv[0] + ": " + std::strerror(exec_errno));
  }
  return true;
}

bool ChildProcess::try_reap(int options) {
  if (pid_ <= 0 || status_) return status_.has_value();
  int st = 0;
  pid_t r;
  rusage usage{};
  do {
    r = ::wait4(pid_, &st, options, &usage);
  } while (r < 0 && errno == EINTR);
  if (r != pid_) return false;
  peak_rss_kb_ = usage.ru_maxrss;
  ExitStatus s;
  if (WIFEXITED(st)) {
    s.exited = true;
    s.code = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    s.signal = WTERMSIG(st);
  }
  status_ = s;
  return true;
}

bool ChildProcess::running() { return pid_ > 0 && !try_reap(WNOHANG); }

void ChildProcess::read_available(Capture& c) {
  char buf[4096];
  while (c.fd >= 0) {
    ssize_t n = ::read(c.fd, buf, sizeof buf);
    if (n > 0) {
      c.all.append(buf, size_t(n));
      c.partial.append(buf, size_t(n));
      size_t nl;
      while ((nl = c.partial.find('\n')) != std::string::npos) {
        std::string line = c.partial.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        c.lines.push_back(std::move(line));
        c.partial.erase(0, nl + 1);
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0 && errno == EINTR) continue;
    // End of stream: a last line without newline still counts as a line.
    if (!c.partial.empty()) {
      c.lines.push_back(c.partial);
      c.partial.clear();
    }
    close_fd(c.fd);
  }
}

void ChildProcess::pump(int timeout_ms) {
  pollfd fds[2];
  nfds_t n = 0;
  if (out_.fd >= 0) fds[n++] = {out_.fd, POLLIN, 0};
  if (err_.fd >= 0) fds[n++] = {err_.fd, POLLIN, 0};
  if (n == 0) return;
  int r = ::poll(fds, n, timeout_ms);
  if (r < 0 && errno != EINTR) return;
  read_available(out_);
  read_available(err_);
}

std::optional<LineMatch> ChildProcess::wait_for_line(Stream s, const LinePredicate& pred,
                                                     std::chrono::milliseconds timeout,
                                                     size_t first_line) {
  const auto deadline = Clock::now() + timeout;
  size_t checked = first_line;
  for (;;) {
    const Capture& c = capture(s);
    for (; checked < c.lines.size(); ++checked) {
      if (pred(c.lines[checked])) return LineMatch{c.lines[checked], checked};
    }
    if (c.fd < 0) return std::nullopt;
    const auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    pump(int(std::min<long long>(left + 1, 50)));
  }
}

std::optional<LineMatch> ChildProcess::wait_for_line(Stream s, std::string_view substring,
                                                     std::chrono::milliseconds timeout,
                                                     size_t first_line) {
  const std::string needle(substring);
  return wait_for_line(
      s, [&](std::string_view line) { return line.find(needle) != std::string_view::npos; },
      timeout, first_line);
}

const std::vector<std::string>& ChildProcess::lines(Stream s) const { return capture(s).lines; }

std::string ChildProcess::output(Stream s) const { return capture(s).all; }

std::string ChildProcess::all_output() const {
  return "--- stdout ---\n" + out_.all + "\n--- stderr ---\n" + err_.all + "\n";
}

bool ChildProcess::write_stdin(std::string_view data) {
  while (!data.empty() && stdin_fd_ >= 0) {
    ssize_t n = ::write(stdin_fd_, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(size_t(n));
  }
  return data.empty();
}

void ChildProcess::close_stdin() { close_fd(stdin_fd_); }

bool ChildProcess::send_signal(int sig) {
  if (!running()) return false;
  return ::kill(pid_, sig) == 0;
}

std::optional<ExitStatus> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return status_;
  const auto deadline = Clock::now() + timeout;
  while (!try_reap(WNOHANG)) {
    if (Clock::now() >= deadline) return std::nullopt;
    pump(10);
    if (out_.fd < 0 && err_.fd < 0) ::usleep(5000);
  }
  // Output written just before the exit is still in the pipes.
  read_available(out_);
  read_available(err_);
  return status_;
}

void ChildProcess::kill_now() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  try_reap(0);
}

}  // namespace tessomar::testsupport
