// Shared pieces of the end-to-end tests: starting the simulated DVR and the CLI.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"

namespace tessomar::e2e {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::Stream;

inline const std::string kBin = TESSOMAR_BIN_DIR;
// Generous: the machines are shared and slow at times.
constexpr auto kDeadline = 30s;

struct Dvr {
  std::unique_ptr<ChildProcess> process = std::make_unique<ChildProcess>();
  std::string address;  // host:port
  std::string port;
  std::string dvr_uk;

  // Starts the simulator with extra options; fails the test when it does not come up.
  bool start(std::vector<std::string> options = {}, std::string listen = "127.0.0.1:0") {
    std::vector<std::string> argv{kBin + "/tessomar-dvrsim", "--listen", listen};
    argv.insert(argv.end(), options.begin(), options.end());
    std::string error;
    if (!process->start(argv, &error)) {
      ADD_FAILURE() << error;
      return false;
    }
    auto l = process->wait_for_line(Stream::kStdout, "listening on ", kDeadline);
    auto k = process->wait_for_line(Stream::kStdout, "DVR_UK=", kDeadline);
    if (!l || !k) {
      ADD_FAILURE() << "simulator did not start:\n" << process->all_output();
      return false;
    }
    address = l->text.substr(std::string("listening on ").size());
    port = address.substr(address.rfind(':') + 1);
    dvr_uk = k->text.substr(std::string("DVR_UK=").size());
    return true;
  }

  std::vector<std::string> params(const std::string& uk = "") const {
    return {"--param",           "DVRIP=127.0.0.1", "--param",
            "HTTP_PORT=" + port, "--param",         "DVR_UK=" + (uk.empty() ? dvr_uk : uk)};
  }
};

inline std::unique_ptr<ChildProcess> start_cli(const std::vector<std::string>& args) {
  auto p = std::make_unique<ChildProcess>();
  std::vector<std::string> argv{kBin + "/tessomar-cli"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string error;
  EXPECT_TRUE(p->start(argv, &error)) << error;
  return p;
}

// Runs the CLI to its end; returns its exit code (-1 when it did not end in time).
inline int run_cli(const std::vector<std::string>& args, std::string* out = nullptr,
                   std::string* err = nullptr) {
  auto p = start_cli(args);
  auto status = p->wait_exit(120s);
  if (out) *out = p->output(Stream::kStdout);
  if (err) *err = p->output(Stream::kStderr);
  if (!status || !status->exited) return -1;
  return status->code;
}

// Runs an outside tool (ffprobe, ffmpeg); its exit code (-1 when it did not end).
inline int run_tool(const std::vector<std::string>& argv, std::string* out,
                    std::string* err = nullptr) {
  ChildProcess p;
  std::string error;
  if (!p.start(argv, &error)) {
    ADD_FAILURE() << error;
    return -1;
  }
  auto status = p.wait_exit(60s);
  if (out) *out = p.output(Stream::kStdout);
  if (err) *err = p.output(Stream::kStderr);
  if (!status || !status->exited) return -1;
  return status->code;
}

}  // namespace tessomar::e2e
