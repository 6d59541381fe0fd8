// Every fault kind the simulator can inject, survived end to end: tessomar-cli (live view or a
// backup) against tessomar-dvrsim on loopback, one table row per fault. Each row checks that
// the control stays up, that its memory stays bounded, that pictures come back within a
// stated time, and for backups that the files are readable; it prints one line of figures
// ("fault-figures | ...") for the table of known limits.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>

#include "e2e/e2e_support.h"
#include "e2e/movie_probe.h"

namespace tessomar::e2e {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

// Peak resident set of the CLI: about 50 MB with pictures flowing; a leak or an unbounded
// queue under a fault shows far above it.
constexpr long kMaxRssKb = 160 * 1024;

enum class Run { kLive, kBackup };
// What the test does to the DVR while the CLI runs, besides its fault options.
enum class Action {
  kNone,
  // Stop the simulator and, fault_ms later (the DVR rebooting), start a new one on the same
  // port.
  kRestart,
};

struct Row {
  const char* name;
  Run run;
  std::vector<std::string> faults;  // simulator options
  Action action = Action::kNone;
  // Live: seconds of live view; the worst gap between pictures, less the time the DVR
  // itself was away (the stall, the restart), must stay within recovery_ms.
  double seconds = 4;
  int64_t recovery_ms = 1000;
  // The CLI's expected exit code (a DVR that never answers: no identity, 1).
  int exit_code = 0;
  // Known length of the fault itself, not counted as recovery.
  int64_t fault_ms = 0;
};

// Mono time in ms, the clock the CLI prints its gaps in.
int64_t mono_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             SteadyClock::now().time_since_epoch())
      .count();
}

int64_t number_after(const std::string& text, const std::string& name, int64_t otherwise = -1) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(name + "=(-?\\d+)"))) return otherwise;
  return std::stoll(m[1]);
}

// Stops a simulator with SIGTERM; what its counters say it sent (its last line).
int64_t stop_sim(Dvr& dvr) {
  dvr.process->send_signal(SIGTERM);
  auto status = dvr.process->wait_exit(kDeadline);
  EXPECT_TRUE(status && status->exited && status->code == 0) << dvr.process->all_output();
  return number_after(dvr.process->output(Stream::kStdout), "video_records_sent", 0);
}

struct Figures {
  int exit_code = -1;
  int64_t drawn = 0;  // pictures shown (live) or video frames in the files (backup)
  int64_t sent = 0;   // video records the DVR sent
  int64_t worst_gap_ms = -1;
  int64_t recovery_ms = -1;
  long peak_rss_kb = -1;
  int64_t slot_resets = -1;
  double wall_s = 0;
  std::string note;
};

std::string figures_line(const Row& row, const Figures& f) {
  char buf[512];
  if (row.run == Run::kBackup) {
    std::snprintf(buf, sizeof buf,
                  "fault-figures | %-40s | exit %d | records sent %lld | peak RSS %ld KiB | "
                  "%.1f s | %s",
                  row.name, f.exit_code, (long long)f.sent, f.peak_rss_kb, f.wall_s,
                  f.note.c_str());
  } else {
    std::snprintf(buf, sizeof buf,
                  "fault-figures | %-40s | exit %d | pictures %lld of %lld sent | worst gap "
                  "%lld ms | recovery %lld ms | peak RSS %ld KiB | resets %lld | %.1f s | %s",
                  row.name, f.exit_code, (long long)f.drawn, (long long)f.sent,
                  (long long)f.worst_gap_ms, (long long)f.recovery_ms, f.peak_rss_kb,
                  (long long)f.slot_resets, f.wall_s, f.note.c_str());
  }
  return buf;
}

class FaultRunner {
 public:
  explicit FaultRunner(fs::path dir) : dir_(std::move(dir)) {}

  Figures run(const Row& row) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> sim_options{"--resolution", "cif", "--archive-fps", "5"};
    sim_options.insert(sim_options.end(), row.faults.begin(), row.faults.end());
    Dvr dvr;
    Figures f;
    if (!dvr.start(sim_options)) return f;
    const auto started = SteadyClock::now();
    const std::string out_file = (dir_ / (sanitized(row.name) + ".mov")).string();
    std::vector<std::string> args;
    if (row.run == Run::kLive) {
      char secs[32];
      std::snprintf(secs, sizeof secs, "%.1f", row.seconds);
      args = {"live",      "--dvr", dvr.address, "--uk",      dvr.dvr_uk,
              "--seconds", secs,    "--stats",   "--timeout", row.exit_code == 0 ? "30" : "3"};
    } else {
      args = {"backup",
              "--dvr",
              dvr.address,
              "--uk",
              dvr.dvr_uk,
              "--channel",
              "1",
              "--from",
              yesterday_at(12, 0, 0),
              "--to",
              yesterday_at(12, 3, 0),
              "--out",
              out_file,
              "--timeout",
              "30"};
    }
    auto cli = start_cli(args);
    int64_t up_at = -1;
    if (row.action == Action::kRestart) {
      // In the middle of things: pictures shown, or a backup under way.
      auto moving = cli->wait_for_line(
          Stream::kStdout,
          [&](std::string_view l) {
            return row.run == Run::kLive
                       ? l.starts_with("first_picture_mono_ms=")
                       : l.starts_with("progress=") && !l.starts_with("progress=0%");
          },
          kDeadline);
      EXPECT_TRUE(moving) << cli->all_output();
      f.sent += stop_sim(dvr);
      const int64_t down_at = mono_ms();
      const std::string port = dvr.port;
      dvr = Dvr{};
      // Away for a while, as a DVR that reboots: the control keeps trying meanwhile.
      std::this_thread::sleep_for(std::chrono::milliseconds(row.fault_ms));
      // The old port, which SO_REUSEADDR frees at once.
      if (!dvr.start(sim_options, "127.0.0.1:" + port)) return f;
      up_at = mono_ms();
      f.note = "DVR away " + std::to_string(up_at - down_at) + " ms";
    }
    const auto budget = std::chrono::milliseconds(int64_t(row.seconds * 1000)) + 90s;
    auto status = cli->wait_exit(budget);
    f.wall_s = std::chrono::duration<double>(SteadyClock::now() - started).count();
    EXPECT_TRUE(status.has_value()) << "the CLI did not end\n" << cli->all_output();
    if (!status) return f;
    EXPECT_TRUE(status->exited) << "the CLI died of signal " << status->signal << "\n"
                                << cli->all_output();
    f.exit_code = status->exited ? status->code : -status->signal;
    EXPECT_EQ(f.exit_code, row.exit_code) << cli->all_output();
    f.peak_rss_kb = cli->peak_rss_kb();
    EXPECT_GT(f.peak_rss_kb, 0);
    EXPECT_LT(f.peak_rss_kb, kMaxRssKb);
    f.sent += stop_sim(dvr);

    const std::string out = cli->output(Stream::kStdout);
    if (row.run == Run::kLive) {
      live_figures(row, out, up_at, f);
    } else {
      backup_figures(out, f);
    }
    return f;
  }

 private:
  static std::string sanitized(const std::string& name) {
    std::string s;
    for (char c : name) s += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return s;
  }

  void live_figures(const Row& row, const std::string& out, int64_t up_at, Figures& f) {
    f.slot_resets = number_after(out, "slot_resets");
    if (row.exit_code != 0) return;  // nothing was shown
    f.drawn = number_after(out, "figures drawn", 0);
    f.worst_gap_ms = number_after(out, "worst_gap_ms");
    EXPECT_GT(f.drawn, 0) << out;
    ASSERT_GE(f.worst_gap_ms, 0) << out;
    // Pictures ran to the end: no gap is still open when the run ended beyond the bound.
    f.recovery_ms = std::max<int64_t>(0, f.worst_gap_ms - row.fault_ms);
    if (up_at >= 0) {
      // The wait from the DVR's return to the first picture after it.
      f.recovery_ms = 0;
      std::regex gap(R"(gap from_mono_ms=(-?\d+) to_mono_ms=(-?\d+))");
      for (auto it = std::sregex_iterator(out.begin(), out.end(), gap);
           it != std::sregex_iterator(); ++it) {
        const int64_t from = std::stoll((*it)[1]), to = std::stoll((*it)[2]);
        if (from <= up_at && (to < 0 || to > up_at)) {
          f.recovery_ms = to < 0 ? INT64_MAX : to - up_at;
        }
      }
    }
    EXPECT_LE(f.recovery_ms, row.recovery_ms) << out;
  }

  void backup_figures(const std::string& out, Figures& f) {
    EXPECT_NE(out.find("result=complete"), std::string::npos) << out;
    std::regex file_re(R"(file=(\S+) bytes=)");
    int files = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), file_re);
         it != std::sregex_iterator(); ++it) {
      const std::string file = (*it)[1];
      ++files;
      SCOPED_TRACE(file);
      const auto streams = probe(file);
      const StreamInfo* video = find_stream(streams, "video");
      ASSERT_NE(video, nullptr);
      EXPECT_GT(video->frames, 0);
      f.drawn += std::max(0L, video->frames);
    }
    EXPECT_GE(files, 1) << out;
    // 180 s at 25 frames a second, the ones the thinned archive left out filled in.
    EXPECT_NEAR(double(f.drawn), 180 * 25, 30);
    f.note += (f.note.empty() ? "" : ", ") + std::to_string(files) + " file(s) with " +
              std::to_string(f.drawn) + " of 4500 frames";
  }

  fs::path dir_;
};

const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      {"no fault", Run::kLive, {}},
      {"split replies", Run::kLive, {"--fault-split"}},
      // A lost connection resets the session; a poll held on the other connection answers
      // first (up to the DVR's 1 s poll idle time), then the handshake and a key frame.
      {"close every 20 replies", Run::kLive, {"--fault-close-after", "20"}, Action::kNone, 4, 3000},
      {"replies delayed 150 ms", Run::kLive, {"--fault-delay-ms", "150"}},
      {"bad status, 30th reply", Run::kLive, {"--fault-bad-status", "30"}, Action::kNone, 4, 3000},
      // The records of the frame are lost: a key gap (1 s) and the next key frame.
      {"bad magic, 30th reply", Run::kLive, {"--fault-bad-magic", "30"}, Action::kNone, 4, 2500},
      {"bad checksum, 1 in 100",
       Run::kLive,
       {"--fault-bad-checksum", "100"},
       Action::kNone,
       5,
       2500},
      {"reordered records, 1 in 10", Run::kLive, {"--fault-reorder", "10"}},
      {"missing records, 1 in 100",
       Run::kLive,
       {"--fault-drop-records", "100"},
       Action::kNone,
       5,
       2500},
      {"oversize records, 1 in 100",
       Run::kLive,
       {"--fault-oversize", "100"},
       Action::kNone,
       5,
       2500},
      {"stall 2 s after 60 replies",
       Run::kLive,
       {"--fault-stall-after", "60", "--fault-stall-ms", "2000"},
       Action::kNone,
       6,
       2500,
       0,
       2000},
      // Nothing ever comes: the CLI gives up on the identity and ends.
      {"stall for ever after the key",
       Run::kLive,
       {"--fault-stall-after", "1"},
       Action::kNone,
       2,
       0,
       1},
      {"DVR restart in live view, away 1.5 s", Run::kLive, {}, Action::kRestart, 6, 3000, 0, 1500},
      // The control's picture watchdog (4 s) opens a new session.
      {"sessions forgotten, no re-key",
       Run::kLive,
       {"--fault-forget-sessions", "3000"},
       Action::kNone,
       8,
       5500},
      {"sessions forgotten, re-key",
       Run::kLive,
       {"--fault-forget-sessions", "3000", "--fault-rekey"},
       Action::kNone,
       6,
       2500},
      {"backup, no fault", Run::kBackup, {}},
      {"backup, DVR restart, away 1.5 s", Run::kBackup, {}, Action::kRestart, 4, 0, 0, 1500},
      {"backup, DVR restart, away 1.5 s, re-key",
       Run::kBackup,
       {"--fault-rekey"},
       Action::kRestart,
       4,
       0,
       0,
       1500},
      // The backup watchdog (8 s) opens a new session.
      {"backup, sessions forgotten, no re-key", Run::kBackup, {"--fault-forget-sessions", "2000"}},
      {"backup, sessions forgotten, re-key",
       Run::kBackup,
       {"--fault-forget-sessions", "2000", "--fault-rekey"}},
  };
  return table;
}

TEST(Faults, EveryFaultKindIsSurvived) {
  const fs::path dir =
      fs::temp_directory_path() / ("tessomar_faults_e2e_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const auto& table = rows();
  std::vector<Figures> figures(table.size());
  // Rows run three at a time: each is mostly waiting (live pictures at their own pace, the
  // faults' own delays), and the whole table stays well within two minutes.
  constexpr size_t kParallel = 3;
  std::mutex next_mutex;
  size_t next = 0;
  auto worker = [&] {
    for (;;) {
      size_t i;
      {
        std::lock_guard lock(next_mutex);
        if (next >= table.size()) return;
        i = next++;
      }
      FaultRunner runner(dir);
      figures[i] = runner.run(table[i]);
    }
  };
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kParallel; ++t) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  // A backup's recovery shows as the time it took beyond the backup without a fault.
  double backup_base_s = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    if (table[i].run == Run::kBackup && table[i].faults.empty() &&
        table[i].action == Action::kNone) {
      backup_base_s = figures[i].wall_s;
    }
  }
  for (size_t i = 0; i < table.size(); ++i) {
    if (table[i].run == Run::kBackup && backup_base_s > 0) {
      char extra[64];
      std::snprintf(extra, sizeof extra, ", %.1f s more than without a fault",
                    figures[i].wall_s - backup_base_s);
      figures[i].note += extra;
    }
  }
  for (size_t i = 0; i < table.size(); ++i)
    std::printf("%s\n", figures_line(table[i], figures[i]).c_str());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tessomar::e2e
