#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "platform/png.h"
#include "shell/devtime.h"

namespace tessomar::cli {

int cmd_live(const Args& in) {
  Args args = in;
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("live", error);
  int32_t view = 0;
  double seconds = 5;
  std::string snapshot;
  bool stats = false;
  bool via_playback = false;
  shell::Date playback_from{};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "--view" && has_value) {
      if (!shell::text_to_int32(args[++i], view) || view < 0 || (view > 15 && (view < 16 || view > 22))) {
        return usage_error("live", "bad --view \"" + args[i] +
                                       "\" (0-15 one channel; 16-19 four-way pages, 20-21 "
                                       "nine-way pages, 22 sixteen-way)");
      }
    } else if (a == "--seconds" && has_value) {
      char* end = nullptr;
      seconds = std::strtod(args[++i].c_str(), &end);
      if (!end || *end || seconds <= 0 || seconds > 86400) {
        return usage_error("live", "bad --seconds value \"" + args[i] + "\"");
      }
    } else if (a == "--snapshot" && has_value) {
      snapshot = args[++i];
    } else if (a == "--from-playback" && has_value) {
      if (!shell::parse_time_text(args[++i], playback_from)) {
        return usage_error("live", "bad --from-playback \"" + args[i] +
                                       "\" (expected YYYY/MM/DD hh:mm:ss between 2000 and 2099)");
      }
      via_playback = true;
    } else if (a == "--stats") {
      stats = true;
    } else {
      return usage_error("live", "unknown option " + a);
    }
  }
  if (opts.params.size() < 3) {
    return usage_error("live", "give the DVR with --dvr HOST:PORT --uk KEY or --page URL");
  }

  HeadlessHost host;
  if (!host.start(opts.params)) return kExitUsage;
  if (!wait_for_identity(host, opts.timeout_s, error)) {
    std::fprintf(stderr, "tessomar-cli live: %s\n", error.c_str());
    return kExitFailed;
  }
  shell::Control& control = host.control();
  uint32_t channels = control.vask().record(0).device.channel_count;
  auto& modes = control.modes();
  if (via_playback) {
    // Play channel 1 from that time for two seconds first, then come back to Live.
    auto& state = control.icmd().session(0);
    modes.ApplyViewCommand(0, channels, channels::kModePlayback, 2, 0, true);
    modes.EditWindow(state, channels::kWindowStart, shell::seconds_from_date(playback_from));
    modes.ApplyViewCommand(0, channels, channels::kModePlayback, 2, 0, false);
    host.loop().run_for(2000);
    std::printf("playback_time=%s\n", control.form()["Label_time"].caption().c_str());
  }
  modes.ApplyViewCommand(0, channels, channels::kModeLive, 0, uint32_t(view), false);
  host.loop().run_for(uint32_t(seconds * 1000));

  const video::ViewerStats& st = control.viewers().viewer(0).stats();
  if (stats) {
    auto mean = [](uint64_t total, uint64_t n) { return n ? double(total) / double(n) : 0.0; };
    std::printf("presented=%llu\ndrawn=%llu\ndropped=%llu\ndamaged=%llu\nresyncs=%llu\n"
                "mean_decode_ms=%.2f\nmean_conversion_ms=%.2f\n",
                (unsigned long long)st.presented, (unsigned long long)st.drawn,
                (unsigned long long)st.dropped, (unsigned long long)st.damaged,
                (unsigned long long)st.resyncs, mean(st.decode_ms, st.decode_count),
                mean(st.conversion_ms, st.conversion_count));
  }
  std::printf("time=%s\n", control.form()["Label_time"].caption().c_str());
  if (!snapshot.empty()) {
    if (!platform::write_png(control.form()["Image_video"].picture(), snapshot, error)) {
      std::fprintf(stderr, "tessomar-cli live: %s\n", error.c_str());
      return kExitFailed;
    }
    std::printf("snapshot=%s\n", snapshot.c_str());
  }
  if (st.drawn == 0) {
    std::fprintf(stderr, "tessomar-cli live: no picture was shown in %.1f s\n", seconds);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace tessomar::cli
