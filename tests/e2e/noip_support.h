// The No-IP stand-in for end-to-end tests, and the key=value lines the CLI prints.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"

namespace tessomar::e2e {

// key=value lines of the CLI's output (a repeated key's values joined).
inline std::map<std::string, std::string> key_values(const std::string& out) {
  std::map<std::string, std::string> kv;
  size_t at = 0;
  while (at < out.size()) {
    const size_t end = std::min(out.find('\n', at), out.size());
    const std::string line = out.substr(at, end - at);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) kv[line.substr(0, eq)] += line.substr(eq + 1);
    at = end + 1;
  }
  return kv;
}

struct NoipSim {
  ChildProcess process;
  std::string address;

  bool start(const std::vector<std::string>& options = {}) {
    std::vector<std::string> argv{kBin + "/tessomar-noipsim", "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::string error;
    if (!process.start(argv, &error)) {
      ADD_FAILURE() << error;
      return false;
    }
    auto l = process.wait_for_line(Stream::kStdout, "listening on ", kDeadline);
    if (!l) {
      ADD_FAILURE() << "stand-in did not start:\n" << process.all_output();
      return false;
    }
    address = l->text.substr(std::string("listening on ").size());
    return true;
  }

  int noip(std::vector<std::string> args, std::string* out, std::string* err) {
    args.insert(args.begin(), {"noip", "--service", address});
    return run_cli(args, out, err);
  }
};

}  // namespace tessomar::e2e
