// A child process for end-to-end tests: started with fork/exec, stdout and stderr captured
// through pipes and read without blocking, waited for with deadlines, killed when the
// object goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessomar::testsupport {

enum class Stream { kStdout, kStderr };

struct ExitStatus {
  bool exited = false;  // normal exit; `code` is valid
  int code = -1;
  int signal = 0;  // the terminating signal when !exited
  bool operator==(const ExitStatus&) const = default;
};

struct LineMatch {
  std::string text;  // without the newline
  size_t index = 0;  // line number in its stream, from 0
};

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;
  using LinePredicate = std::function<bool(std::string_view)>;

  ChildProcess() = default;
  ~ChildProcess();  // SIGKILLs a running child and reaps it
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (a path, or a name looked up in PATH) with the given arguments; stdin is
  // a pipe (see write_stdin), extra_env entries ("NAME=value") are added to the environment.
  // False with a reason when the program could not be started.
  bool start(const std::vector<std::string>& argv, std::string* error = nullptr,
             const std::vector<std::string>& extra_env = {});

  pid_t pid() const { return pid_; }
  // True until the child has been reaped.
  bool running();

  // Reads whatever output is available, waiting at most timeout_ms for some.
  void pump(int timeout_ms);

  // Waits until a complete line (index >= first_line) of the stream satisfies the predicate
  // or contains the text; nullopt at the timeout or when the stream ended without one.
  std::optional<LineMatch> wait_for_line(Stream s, const LinePredicate& pred,
                                         std::chrono::milliseconds timeout, size_t first_line = 0);
  std::optional<LineMatch> wait_for_line(Stream s, std::string_view substring,
                                         std::chrono::milliseconds timeout, size_t first_line = 0);

  // Complete lines read so far.
  const std::vector<std::string>& lines(Stream s) const;
  // Everything read so far from one stream, or both labelled (for failure messages).
  std::string output(Stream s) const;
  std::string all_output() const;

  bool write_stdin(std::string_view data);
  void close_stdin();

  bool send_signal(int sig);
  // Waits for the child to end; nullopt at the timeout. Output is drained meanwhile.
  std::optional<ExitStatus> wait_exit(std::chrono::milliseconds timeout);
  // SIGKILL and reap (no-op when not running).
  void kill_now();
  // The child's peak resident set in KiB, known once it has been reaped; -1 before.
  long peak_rss_kb() const { return peak_rss_kb_; }

 private:
  struct Capture {
    int fd = -1;
    std::string all;
    std::string partial;
    std::vector<std::string> lines;
  };
  Capture& capture(Stream s) { return s == Stream::kStdout ? out_ : err_; }
  const Capture& capture(Stream s) const { return s == Stream::kStdout ? out_ : err_; }
  void read_available(Capture& c);
  bool try_reap(int options);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  Capture out_;
  Capture err_;
  std::optional<ExitStatus> status_;
  long peak_rss_kb_ = -1;
};

}  // namespace tessomar::testsupport
