#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "commands.h"
#include "platform/devtime.h"
#include "platform/png.h"

namespace tessomar::cli {
namespace {

// Length-prefixed NAL units as a byte stream: a start code for each 4-byte big-endian length
// (a length past the end is clipped to what is there).
void write_annex_b(std::FILE* file, const uint8_t* data, uint32_t size) {
  static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
  uint32_t at = 0;
  while (size - at >= 4) {
    const uint32_t declared = uint32_t(data[at]) << 24 | uint32_t(data[at + 1]) << 16 |
                              uint32_t(data[at + 2]) << 8 | uint32_t(data[at + 3]);
    at += 4;
    const uint32_t len = std::min(declared, size - at);
    if (len == 0) continue;
    std::fwrite(kStartCode, 1, 4, file);
    std::fwrite(data + at, 1, len, file);
    at += len;
  }
}

// Milliseconds since the kernel started this process (before the dynamic loader ran), to
// the kernel's clock tick (10 ms with the usual 100 ticks a second); -1 when /proc cannot
// tell.
int64_t process_age_ms() {
  FILE* f = std::fopen("/proc/self/stat", "r");
  if (f == nullptr) return -1;
  char line[1024];
  const bool read = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  if (!read) return -1;
  // The name in parentheses may hold spaces; the start time is the 20th field after it.
  const char* p = std::strrchr(line, ')');
  for (int field = 0; p != nullptr && field < 20; ++field) p = std::strchr(p + 1, ' ');
  if (p == nullptr) return -1;
  const unsigned long long start_ticks = std::strtoull(p + 1, nullptr, 10);
  const long ticks_per_s = sysconf(_SC_CLK_TCK);
  timespec now{};
  if (ticks_per_s <= 0 || clock_gettime(CLOCK_BOOTTIME, &now) != 0) return -1;
  const int64_t now_ms = int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  return now_ms - int64_t(start_ticks * 1000 / (unsigned long long)ticks_per_s);
}

// Milliseconds of the monotonic clock, which other processes on the machine share: a test
// lines the picture gaps up with the faults it caused.
int64_t monotonic_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Watches the count of drawn pictures from the first one on: the worst gap between two of
// them and the longest gaps with their ends.
class GapWatch {
 public:
  // Gaps at least this long are listed.
  static constexpr int64_t kListedGapMs = 500;
  static constexpr size_t kMaxListed = 32;
  struct Gap {
    int64_t from_ms = 0, to_ms = 0;
  };

  // Called often (every loop pass) with the drawn count.
  void update(uint64_t drawn) {
    if (drawn == drawn_) return;
    const int64_t now = monotonic_ms();
    drawn_ = drawn;
    if (first_ms_ < 0) {
      first_ms_ = now;
      std::printf("first_picture_mono_ms=%lld\n", (long long)now);
      std::fflush(stdout);
    } else {
      const int64_t gap = now - last_ms_;
      worst_ms_ = std::max(worst_ms_, gap);
      if (gap >= kListedGapMs && listed_ < kMaxListed) gaps_[listed_++] = {last_ms_, now};
    }
    last_ms_ = now;
  }
  // The time since the last picture counts as a gap too when the run ends.
  void finish() {
    if (first_ms_ < 0) return;
    const int64_t now = monotonic_ms();
    worst_ms_ = std::max(worst_ms_, now - last_ms_);
    if (now - last_ms_ >= kListedGapMs && listed_ < kMaxListed) gaps_[listed_++] = {last_ms_, -1};
  }
  int64_t worst_ms() const { return worst_ms_; }
  void print() const {
    for (size_t i = 0; i < listed_; ++i) {
      std::printf("gap from_mono_ms=%lld to_mono_ms=%lld\n", (long long)gaps_[i].from_ms,
                  (long long)gaps_[i].to_ms);
    }
  }

 private:
  uint64_t drawn_ = 0;
  int64_t first_ms_ = -1;
  int64_t last_ms_ = 0;
  int64_t worst_ms_ = 0;
  std::array<Gap, kMaxListed> gaps_{};
  size_t listed_ = 0;
};

long peak_rss_kb() {
  rusage u{};
  return getrusage(RUSAGE_SELF, &u) == 0 ? u.ru_maxrss : -1;
}

}  // namespace

int cmd_live(const Args& in) {
  Args args = in;
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("live", error);
  std::vector<uint32_t> views{0};
  uint32_t switch_ms = 100;
  double seconds = 5;
  std::string snapshot;
  bool stats = false;
  std::string audio_wav;
  std::string dump_video;
  bool via_playback = false;
  platform::LocalDateTime playback_from{};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "--view" && has_value) {
      views.clear();
      const std::string text = args[++i];
      std::vector<int32_t> list;
      bool ok = parse_int_list(text, list);
      for (int32_t view : list) {
        ok = ok && view >= 0 && view <= 22;
        views.push_back(uint32_t(view));
      }
      if (!ok) {
        return usage_error("live", "bad --view \"" + text +
                                       "\" (0-15 one channel; 16-19 four-way pages, 20-21 "
                                       "nine-way pages, 22 sixteen-way; a list a,b,c switches "
                                       "through them)");
      }
    } else if (a == "--switch-ms" && has_value) {
      int32_t ms = 0;
      if (!shell::text_to_int32(args[++i], ms) || ms < 0 || ms > 60000) {
        return usage_error("live", "bad --switch-ms value \"" + args[i] + "\" (0-60000)");
      }
      switch_ms = uint32_t(ms);
    } else if (a == "--seconds" && has_value) {
      char* end = nullptr;
      seconds = std::strtod(args[++i].c_str(), &end);
      if (!end || *end || seconds <= 0 || seconds > 86400) {
        return usage_error("live", "bad --seconds value \"" + args[i] + "\"");
      }
    } else if (a == "--snapshot" && has_value) {
      snapshot = args[++i];
    } else if (a == "--from-playback" && has_value) {
      if (!platform::parse_time_text(args[++i], playback_from)) {
        return usage_error("live", "bad --from-playback \"" + args[i] +
                                       "\" (expected YYYY/MM/DD hh:mm:ss between 2000 and 2099)");
      }
      via_playback = true;
    } else if (a == "--audio-wav" && has_value) {
      audio_wav = args[++i];
    } else if (a == "--dump-video" && has_value) {
      dump_video = args[++i];
    } else if (a == "--stats") {
      stats = true;
    } else {
      return option_error("live", "unknown option " + a);
    }
  }
  if (opts.params.size() < 3) {
    return usage_error("live", "give the DVR with --dvr HOST:PORT --uk KEY or --page URL");
  }

  // Where the sound was when each second of the picture time was first shown, for lining up
  // sound and pictures.
  std::vector<std::pair<std::string, uint32_t>> seconds_shown;
  HeadlessHost host;
  // What the sound output plays goes into the file, as a listener would hear it.
  auto wav = std::make_shared<platform::WavWriter>();
  if (!audio_wav.empty()) {
    if (!wav->open(audio_wav, &error)) {
      std::fprintf(stderr, "tessomar-cli live: %s\n", error.c_str());
      return kExitFailed;
    }
    host.set_sound_devices(platform::wav_capture_factory(host.loop().clock(), wav));
  }
  if (!host.start(opts.params)) return kExitUsage;
  int watch = 0;
  if (wav->is_open()) {
    watch = host.control().form().add_observer([&](platform::Component& c, platform::Property p) {
      if (p != platform::Property::Caption || c.name() != "Label_time") return;
      const std::string& t = c.caption();
      if (seconds_shown.empty() || seconds_shown.back().first != t) {
        seconds_shown.emplace_back(t, wav->data_bytes());
      }
    });
  }
  if (!wait_for_identity(host, opts.timeout_s, error)) {
    std::fprintf(stderr, "tessomar-cli live: %s\n", error.c_str());
    return kExitFailed;
  }
  shell::Control& control = host.control();
  const video::ViewerStats& st = control.viewers().viewer(0).stats();
  // From the process's start to the first picture on the view, whichever view showed it.
  int64_t launch_to_first_picture_ms = -1;
  auto run_noting_first_picture = [&](uint32_t ms) {
    host.loop().run_until(
        [&] {
          if (launch_to_first_picture_ms < 0 && st.drawn > 0) {
            launch_to_first_picture_ms = process_age_ms();
          }
          return false;
        },
        ms);
  };
  // A recording needs the speaker on, as a user would switch it.
  if (wav->is_open() && control.key_form().video_pointer().speaker_on() == 0) {
    control.key_form().video_pointer().Image_Trumpet_OffClick();
  }
  // Every access unit handed to the decoders, as an H.264 byte stream (start codes in place
  // of the lengths), for decoding the same stream elsewhere.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> dump(nullptr, std::fclose);
  if (!dump_video.empty()) {
    dump.reset(std::fopen(dump_video.c_str(), "wb"));
    if (!dump) {
      std::fprintf(stderr, "tessomar-cli live: cannot write %s\n", dump_video.c_str());
      return kExitFailed;
    }
    video::DecoderPort port = video::decoder_port(control.decoders());
    port.decode = [inner = port.decode, file = dump.get()](int index, const uint8_t* data,
                                                           uint32_t size) {
      write_annex_b(file, data, size);
      return inner(index, data, size);
    };
    control.viewers().set_decoder(std::move(port));
  }
  uint32_t channels = control.vask().record(0).device.channel_count;
  auto& modes = control.modes();
  if (via_playback) {
    // Play channel 1 from that time for two seconds first, then come back to Live.
    auto& state = control.icmd().session(0);
    modes.ApplyViewCommand(0, channels, channels::kModePlayback, 2, 0, true);
    modes.EditWindow(state, channels::kWindowStart, platform::seconds_from_date(playback_from));
    modes.ApplyViewCommand(0, channels, channels::kModePlayback, 2, 0, false);
    run_noting_first_picture(2000);
    std::printf("playback_time=%s\n", control.form()["Label_time"].caption().c_str());
  }
  // Each view of a list is held for --switch-ms, as a user clicking through the keys; the
  // last one for --seconds.
  for (size_t v = 0; v + 1 < views.size(); ++v) {
    modes.ApplyViewCommand(0, channels, channels::kModeLive, 0, views[v], false);
    run_noting_first_picture(switch_ms);
  }
  modes.ApplyViewCommand(0, channels, channels::kModeLive, 0, views.back(), false);
  const uint64_t drawn_before = st.drawn;
  GapWatch gaps;
  const uint32_t switched_at = host.loop().clock().now_ms();
  int64_t first_picture_ms = -1;
  const uint32_t run_ms = uint32_t(seconds * 1000);
  host.loop().run_until(
      [&] {
        if (stats) gaps.update(st.drawn);
        if (st.drawn > drawn_before) {
          first_picture_ms = host.loop().clock().now_ms() - switched_at;
          if (launch_to_first_picture_ms < 0) launch_to_first_picture_ms = process_age_ms();
          return true;
        }
        return false;
      },
      run_ms);
  const uint32_t spent = host.loop().clock().now_ms() - switched_at;
  if (spent < run_ms) {
    host.loop().run_until(
        [&] {
          if (stats) gaps.update(st.drawn);
          return false;
        },
        run_ms - spent);
  }
  gaps.finish();

  if (stats) {
    auto mean = [](uint64_t total, uint64_t n) { return n ? double(total) / double(n) : 0.0; };
    std::printf(
        "presented=%llu\ndrawn=%llu\ndropped=%llu\ndamaged=%llu\nresyncs=%llu\n"
        "mean_decode_ms=%.2f\nmean_conversion_ms=%.2f\n",
        (unsigned long long)st.presented, (unsigned long long)st.drawn,
        (unsigned long long)st.dropped, (unsigned long long)st.damaged,
        (unsigned long long)st.resyncs, mean(st.decode_ms, st.decode_count),
        mean(st.conversion_ms, st.conversion_count));
    // From the last view command to the first picture drawn after it; -1 when none came.
    std::printf("first_picture_ms=%lld\n", (long long)first_picture_ms);
    std::printf("launch_to_first_picture_ms=%lld\n", (long long)launch_to_first_picture_ms);
    // One line for tables: pictures shown, the worst wait between two of them, the memory
    // the run took; then the long gaps in monotonic time.
    std::printf("figures drawn=%llu worst_gap_ms=%lld peak_rss_kb=%ld slot_resets=%llu\n",
                (unsigned long long)st.drawn, (long long)gaps.worst_ms(), peak_rss_kb(),
                (unsigned long long)control.link().slot(0).reset_count);
    gaps.print();
  }
  std::printf("time=%s\n", control.form()["Label_time"].caption().c_str());
  if (wav->is_open()) {
    // The output stops on the unload query; only then is the file complete.
    control.form().remove_observer(watch);
    control.unload_query(false);
    wav->close();
    std::printf("audio_wav=%s\n", audio_wav.c_str());
    for (const auto& [text, at] : seconds_shown) {
      std::printf("shown=%s audio_byte=%u\n", text.c_str(), at);
    }
  }
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
