// tessomar-cli backup: copies a recorded window of one channel into .mov files through the
// control's backup job, started by the key form's Save key as a user would.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "keyform/calendar.h"
#include "keyform/key_form_state.h"
#include "keyform/variables.h"
#include "platform/devtime.h"
#include "recording/backup_job.h"

namespace tessomar::cli {

namespace {

namespace fs = std::filesystem;

const char* end_text(recording::BackupEnd e) {
  switch (e) {
    case recording::BackupEnd::kComplete:
      return "complete";
    case recording::BackupEnd::kStopped:
      return "stopped";
    case recording::BackupEnd::kSilence:
      return "the DVR stopped sending for 15 s";
    case recording::BackupEnd::kLimit:
      return "a file's sample tables were full";
    case recording::BackupEnd::kWriteError:
      return "a file could not be written";
    case recording::BackupEnd::kBadName:
      return "bad file name";
    case recording::BackupEnd::kNone:
      break;
  }
  return "not started";
}

// The folder must exist and take new files.
bool folder_writable(const fs::path& out, std::string& why) {
  fs::path folder = out.parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    why = "the folder \"" + folder.string() + "\" does not exist";
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    why = "the folder \"" + folder.string() + "\" is not writable";
    return false;
  }
  return true;
}

struct Progress {
  bool terminal = false;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_line{};
  bool drew = false;

  void show(uint32_t done_s, uint32_t span_s, size_t files, bool final) {
    const auto now = std::chrono::steady_clock::now();
    if (!final && !terminal && now - last_line < std::chrono::seconds(1)) return;
    last_line = now;
    const double elapsed = std::chrono::duration<double>(now - started).count();
    const int percent = span_s == 0 ? 100 : int(uint64_t(std::min(done_s, span_s)) * 100 / span_s);
    const double speed = elapsed > 0 ? done_s / elapsed : 0;
    if (terminal) {
      constexpr int kWidth = 30;
      const int filled = percent * kWidth / 100;
      std::printf("\r[%s%s] %3d%%  %6.1fx real time  %zu file%s", std::string(filled, '#').c_str(),
                  std::string(kWidth - filled, ' ').c_str(), percent, speed, files,
                  files == 1 ? "" : "s");
      if (final) std::printf("\n");
      drew = true;
    } else {
      std::printf("progress=%d%% speed=%.1fx files=%zu\n", percent, speed, files);
    }
    std::fflush(stdout);
  }
};

}  // namespace

int cmd_backup(const Args& in) {
  Args args = in;
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("backup", error);
  int32_t channel = 0;
  std::string out;
  platform::LocalDateTime from{}, to{};
  bool have_from = false, have_to = false;
  const std::string time_hint = "(expected \"YYYY/MM/DD hh:mm:ss\" between 2000 and 2099)";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    if (a == "--channel" && has_value) {
      if (!shell::text_to_int32(args[++i], channel) || channel < 1 || channel > 16) {
        return usage_error("backup", "bad --channel \"" + args[i] + "\" (1 to 16)");
      }
    } else if ((a == "--from" || a == "--to") && has_value) {
      platform::LocalDateTime& t = a == "--from" ? from : to;
      if (!platform::parse_time_text(args[++i], t)) {
        return usage_error("backup", "bad " + a + " \"" + args[i] + "\" " + time_hint);
      }
      (a == "--from" ? have_from : have_to) = true;
    } else if (a == "--out" && has_value) {
      out = args[++i];
    } else {
      return option_error("backup", "unknown option " + a);
    }
  }
  if (channel == 0) return usage_error("backup", "--channel 1-16 is required");
  if (!have_from || !have_to) return usage_error("backup", "--from and --to are required");
  const uint32_t start = platform::seconds_from_date(from);
  const uint32_t end = platform::seconds_from_date(to);
  if (end <= start) return usage_error("backup", "--to must be later than --from");
  if (out.empty()) return usage_error("backup", "--out NAME.mov is required");
  const fs::path out_path(out);
  if (out_path.extension() != ".mov") {
    return usage_error("backup", "--out must name a .mov file, not \"" + out + "\"");
  }
  if (!folder_writable(out_path, error)) return usage_error("backup", error);
  if (opts.params.size() < 3) {
    return usage_error("backup", "give the DVR with --dvr HOST:PORT --uk KEY or --page URL");
  }

  HeadlessHost host;
  if (!host.start(opts.params)) return kExitUsage;
  if (!wait_for_identity(host, opts.timeout_s, error)) {
    std::fprintf(stderr, "tessomar-cli backup: %s\n", error.c_str());
    return kExitFailed;
  }
  shell::Control& control = host.control();
  const uint32_t channels = control.vask().record(0).device.channel_count;
  if (uint32_t(channel) > channels) {
    std::fprintf(stderr, "tessomar-cli backup: the DVR has %u channels\n", channels);
    return kExitUsage;
  }

  recording::BackupJob& job = control.backup();
  bool over = false;
  job.hooks().open_folders = [&over](const std::vector<std::string>&) { over = true; };
  // The save dialog the Save key opens is answered with --out.
  host.dialogs().script_file_answer(out);

  // Backup mode on the channel, then the window in the key form and the Save key, as the
  // user would set them.
  const uint32_t view = uint32_t(channel - 1);
  control.modes().ApplyViewCommand(0, channels, channels::kModeBackup, 1, view, false);
  keyform::KeyFormVariables& vars = control.key_form().variables();
  vars.mon_b_f_t = keyform::as_var(start);
  vars.mon_b_t_t = keyform::as_var(end);
  vars.ie_st = 1;
  control.key_form().state().update(false);
  if (vars.ie_st2 != keyform::kSaveRunning) {
    std::fprintf(stderr, "tessomar-cli backup: the backup did not start\n");
    for (const auto& m : host.dialogs().messages())
      std::fprintf(stderr, "tessomar-cli backup: %s\n", m.text.c_str());
    return kExitFailed;
  }

  Progress progress;
  progress.terminal = ::isatty(STDOUT_FILENO) == 1;
  const video::Viewer& viewer = control.viewers().viewer(0);
  auto done_seconds = [&] {
    const uint32_t t = viewer.displayTime();
    return t > start ? t - start : 0;
  };
  // A backup that neither moves nor ends (the session lost its Backup mode, say) is stopped
  // as a second press of the Save key would stop it.
  constexpr auto kStalled = std::chrono::seconds(30);
  uint32_t last_time = viewer.displayTime();
  auto last_move = std::chrono::steady_clock::now();
  bool stop_pressed = false;
  while (!over) {
    host.loop().run_until([&] { return over; }, 200);
    progress.show(done_seconds(), end - start, job.files().size() + (over ? 0 : 1), false);
    const auto now = std::chrono::steady_clock::now();
    if (viewer.displayTime() != last_time) {
      last_time = viewer.displayTime();
      last_move = now;
    } else if (!stop_pressed && now - last_move > kStalled) {
      std::fprintf(stderr, "tessomar-cli backup: no progress for 30 s, stopping\n");
      vars.ie_st = 1;
      control.key_form().state().update(false);
      stop_pressed = true;
    }
  }
  // The job hands the stop to the DVR on its next step.
  host.loop().run_until([&] { return job.state() == recording::JobState::kIdle; }, 2000);
  const recording::BackupEnd how = job.last_end();
  progress.show(how == recording::BackupEnd::kComplete ? end - start : done_seconds(), end - start,
                job.files().size(), true);

  bool all_closed = !job.files().empty();
  for (const std::string& f : job.files()) {
    std::error_code ec;
    const auto size = fs::file_size(f, ec);
    const bool closed = recording::movie_file_closed(f);
    all_closed = all_closed && closed;
    std::printf("file=%s bytes=%llu%s\n", f.c_str(), ec ? 0ULL : (unsigned long long)size,
                closed ? "" : (size == 0 ? " empty (no key frame in the window)" : " not closed"));
  }
  for (const auto& m : host.dialogs().messages()) {
    std::fprintf(stderr, "tessomar-cli backup: %s\n", m.text.c_str());
  }
  std::printf("result=%s\n", end_text(how));
  if (std::getenv("TESSOMAR_LOG") != nullptr) {
    const auto& v = control.vido().stats(0);
    const auto& w = viewer.stats();
    std::fprintf(stderr,
                 "records=%llu lost=%llu ring_refused=%llu stale=%llu restarts=%llu "
                 "viewer_dropped=%llu framing_losses=%llu\n",
                 (unsigned long long)v.records, (unsigned long long)v.lost,
                 (unsigned long long)v.ring_refused, (unsigned long long)v.stale,
                 (unsigned long long)v.restarts, (unsigned long long)w.dropped,
                 (unsigned long long)w.framing_losses);
  }
  if (how != recording::BackupEnd::kComplete || !all_closed) {
    if (how == recording::BackupEnd::kSilence) {
      std::fprintf(stderr, "tessomar-cli backup: the DVR stopped sending at %s, before %s\n",
                   platform::timeText(viewer.displayTime()).c_str(),
                   platform::timeText(end).c_str());
    }
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace tessomar::cli
