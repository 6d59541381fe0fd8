#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "platform/devtime.h"
#include "platform/png.h"

namespace tessomar::cli {

namespace {
struct Action {
  const char* name;
  int32_t code;  // the key form's playback action
};
constexpr Action kActions[] = {{"reverse", 0}, {"pause", 1}, {"play", 2}, {"fast", 3}};
}  // namespace

int cmd_playback(const Args& in) {
  Args args = in;
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("playback", error);
  int32_t channel = 1;
  int32_t action = 2;
  double seconds = 5;
  std::string snapshot;
  bool have_from = false;
  int32_t then_action = -1;
  double switch_after = 0;
  platform::LocalDateTime from{};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "--channel" && has_value) {
      if (!shell::text_to_int32(args[++i], channel) || channel < 1 || channel > 16) {
        return usage_error("playback", "bad --channel \"" + args[i] + "\" (1 to 16)");
      }
    } else if (a == "--from" && has_value) {
      if (!platform::parse_time_text(args[++i], from)) {
        return usage_error(
            "playback",
            "bad --from \"" + args[i] + "\" (expected YYYY/MM/DD hh:mm:ss between 2000 and 2099)");
      }
      have_from = true;
    } else if (a == "--action" && has_value) {
      const std::string& v = args[++i];
      action = -1;
      for (const auto& x : kActions) {
        if (v == x.name) action = x.code;
      }
      if (action < 0)
        return usage_error("playback", "bad --action \"" + v + "\" (play, pause, fast or reverse)");
    } else if (a == "--then" && has_value) {
      const std::string& v = args[++i];
      for (const auto& x : kActions) {
        if (v == x.name) then_action = x.code;
      }
      if (then_action < 0)
        return usage_error("playback", "bad --then \"" + v + "\" (play, pause, fast or reverse)");
    } else if (a == "--switch-after" && has_value) {
      char* end = nullptr;
      switch_after = std::strtod(args[++i].c_str(), &end);
      if (!end || *end || switch_after <= 0) {
        return usage_error("playback", "bad --switch-after value \"" + args[i] + "\"");
      }
    } else if (a == "--seconds" && has_value) {
      char* end = nullptr;
      seconds = std::strtod(args[++i].c_str(), &end);
      if (!end || *end || seconds <= 0 || seconds > 86400) {
        return usage_error("playback", "bad --seconds value \"" + args[i] + "\"");
      }
    } else if (a == "--snapshot" && has_value) {
      snapshot = args[++i];
    } else {
      return option_error("playback", "unknown option " + a);
    }
  }
  if (!have_from) return usage_error("playback", "--from \"YYYY/MM/DD hh:mm:ss\" is required");
  if ((then_action >= 0) != (switch_after > 0)) {
    return usage_error("playback", "--then ACTION and --switch-after S go together");
  }
  if (opts.params.size() < 3) {
    return usage_error("playback", "give the DVR with --dvr HOST:PORT --uk KEY or --page URL");
  }

  HeadlessHost host;
  if (!host.start(opts.params)) return kExitUsage;
  if (!wait_for_identity(host, opts.timeout_s, error)) {
    std::fprintf(stderr, "tessomar-cli playback: %s\n", error.c_str());
    return kExitFailed;
  }
  shell::Control& control = host.control();
  uint32_t channels = control.vask().record(0).device.channel_count;
  if (uint32_t(channel) > channels) {
    std::fprintf(stderr, "tessomar-cli playback: the DVR has %u channels\n", channels);
    return kExitUsage;
  }
  auto& modes = control.modes();
  auto& state = control.icmd().session(0);
  const uint32_t view = uint32_t(channel - 1);
  // Enter Playback quietly, place the start time, then tell the DVR once.
  modes.ApplyViewCommand(0, channels, channels::kModePlayback, action, view, true);
  modes.EditWindow(state, channels::kWindowStart, platform::seconds_from_date(from));
  modes.ApplyViewCommand(0, channels, channels::kModePlayback, action, view, false);

  const auto& stats = control.viewers().viewer(0).stats();
  auto& label = control.form()["Label_time"];
  auto print_time = [&] {
    std::printf("time=%s\n", stats.drawn ? label.caption().c_str() : "-");
    std::fflush(stdout);
  };
  double elapsed = 0;
  bool switched = then_action < 0;
  while (elapsed < seconds) {
    double step = std::min(seconds - elapsed, 1.0);
    if (!switched && elapsed + step >= switch_after) step = switch_after - elapsed;
    host.loop().run_for(uint32_t(step * 1000));
    elapsed += step;
    print_time();
    if (!switched && elapsed >= switch_after) {
      modes.ApplyViewCommand(0, channels, channels::kModePlayback, then_action, view, false);
      std::printf("action=%d\n", then_action);
      switched = true;
    }
  }
  if (!snapshot.empty()) {
    if (!platform::write_png(control.form()["Image_video"].picture(), snapshot, error)) {
      std::fprintf(stderr, "tessomar-cli playback: %s\n", error.c_str());
      return kExitFailed;
    }
    std::printf("snapshot=%s\n", snapshot.c_str());
  }
  if (stats.drawn == 0) {
    std::fprintf(stderr, "tessomar-cli playback: no recorded picture was shown in %.1f s\n",
                 seconds);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace tessomar::cli
