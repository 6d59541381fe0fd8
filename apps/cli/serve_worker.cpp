// A worker of the RTSP bridge: one control, one DVR session, one view. The access units the
// viewer would hand its decoder go to the bridge on a pipe instead, as do the sound output's
// samples; nothing is decoded. Commands come in on stdin ("seek SECONDS" moves playback); its
// end (the bridge went away) ends the worker.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "commands.h"
#include "platform/devtime.h"
#include "serve.h"
#include "serve_protocol.h"

namespace tessomar::cli {

namespace {

using serve::RecordType;

// A device time (the DVR's own calendar, local time) as Unix time in milliseconds.
int64_t unix_ms_of_device_time(uint32_t device_seconds) {
  const platform::LocalDateTime d = platform::date_from_seconds(device_seconds);
  tm local{};
  local.tm_year = d.year - 1900;
  local.tm_mon = d.month - 1;
  local.tm_mday = d.day;
  local.tm_hour = d.hour;
  local.tm_min = d.minute;
  local.tm_sec = d.second;
  local.tm_isdst = -1;
  return int64_t(::mktime(&local)) * 1000;
}

int64_t unix_now_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The pipe to the bridge; the video (UI thread) and sound (audio thread) records share it.
class RecordPipe {
 public:
  explicit RecordPipe(int fd) : fd_(fd) {}

  void send(RecordType type, uint8_t flags, int64_t stamp_ms, std::span<const uint8_t> payload) {
    std::lock_guard lock(mutex_);
    if (broken_) return;
    scratch_.clear();
    serve::append_record(scratch_, type, flags, stamp_ms, payload);
    size_t done = 0;
    while (done < scratch_.size()) {
      const ssize_t n = ::write(fd_, scratch_.data() + done, scratch_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        broken_ = true;
        return;
      }
      done += size_t(n);
    }
  }
  void send_text(RecordType type, const std::string& text) {
    send(type, 0, 0, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  }
  bool broken() const {
    std::lock_guard lock(mutex_);
    return broken_;
  }

 private:
  int fd_;
  mutable std::mutex mutex_;
  std::vector<uint8_t> scratch_;
  bool broken_ = false;
};

// The null device's looping buffer, with whatever passes its play cursor sent on as 16-bit
// samples: what a listener would hear, paced as the control paces its output.
class PipeSoundDevice final : public platform::NullSoundDevice {
 public:
  PipeSoundDevice(const platform::Clock& clock, RecordPipe& pipe)
      : NullSoundDevice(clock), pipe_(pipe) {}
  ~PipeSoundDevice() override { capture(); }
  bool start() override {
    NullSoundDevice::start();
    captured_ = 0;
    return true;
  }
  void stop() override {
    capture();
    NullSoundDevice::stop();
  }
  uint32_t play_cursor() override {
    capture();
    return NullSoundDevice::play_cursor();
  }

 private:
  void capture() {
    if (!playing()) return;
    const uint64_t played = played_bytes();
    // A stall longer than the buffer loses what was overwritten; send what is still there.
    if (played > captured_ + platform::kSoundBufferBytes) {
      captured_ = played - platform::kSoundBufferBytes;
    }
    while (captured_ < played) {
      const uint8_t s = buffer()[size_t(captured_ % platform::kSoundBufferBytes)];
      const int16_t v = int16_t((int(s) - 128) * 256);
      samples_.push_back(uint8_t(uint16_t(v) & 0xFF));
      samples_.push_back(uint8_t(uint16_t(v) >> 8));
      ++captured_;
    }
    // The cursor is read every millisecond: sound goes out in 20 ms blocks.
    if (samples_.size() >= kBlockBytes) {
      pipe_.send(RecordType::kAudio, 0, unix_now_ms(), samples_);
      samples_.clear();
    }
  }

  static constexpr size_t kBlockBytes = 320;  // 160 samples of 16 bits

  RecordPipe& pipe_;
  uint64_t captured_ = 0;
  std::vector<uint8_t> samples_;
};

struct WorkerOptions {
  DvrOptions dvr;
  serve::StreamRequest request;
  int record_fd = 3;
};

bool parse_worker_args(Args args, WorkerOptions& out, std::string& error) {
  if (!take_dvr_options(args, out.dvr, error)) return false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) {
      error = "unknown option " + a;
      return false;
    }
    const std::string& v = args[++i];
    int32_t n = 0;
    if (!shell::text_to_int32(v, n) || n < 0) {
      error = "bad " + a + " \"" + v + "\"";
      return false;
    }
    if (a == "--view" && (uint32_t(n) < serve::kMaxChannels || uint32_t(n) == serve::kSplitView)) {
      out.request.view = uint32_t(n);
    } else if (a == "--playback-from") {
      out.request.playback = true;
      out.request.start_time = uint32_t(n);
    } else if (a == "--record-fd") {
      out.record_fd = n;
    } else {
      error = "bad " + a + " \"" + v + "\"";
      return false;
    }
  }
  if (out.request.playback && out.request.view == serve::kSplitView) {
    error = "playback takes one camera";
    return false;
  }
  return true;
}

}  // namespace

int run_serve_worker(const Args& args) {
  WorkerOptions opts;
  std::string error;
  if (!parse_worker_args(args, opts, error)) return usage_error("serve --worker", error);
  std::signal(SIGPIPE, SIG_IGN);
  RecordPipe pipe(opts.record_fd);

  HeadlessHost host;
  if (opts.request.may_have_sound()) {
    const platform::Clock& clock = host.loop().clock();
    host.set_sound_devices(
        [&clock, &pipe] { return std::make_unique<PipeSoundDevice>(clock, pipe); });
  }
  if (!host.start(opts.dvr.params)) {
    pipe.send_text(RecordType::kFailed, "bad DVR parameters");
    return kExitUsage;
  }
  if (!wait_for_identity(host, opts.dvr.timeout_s, error)) {
    // One refusal answers both a wrong key and a DVR that serves no more sessions.
    if (error.rfind("the DVR refused", 0) == 0) {
      error = "the DVR refused the session (its session limit, or a wrong --uk)";
    }
    pipe.send_text(RecordType::kFailed, error);
    return kExitFailed;
  }
  shell::Control& control = host.control();
  const channels::DeviceIdentity& device = control.vask().record(0).device;
  const uint32_t channels = device.channel_count;
  const serve::StreamRequest& request = opts.request;
  if (request.view != serve::kSplitView && request.view >= channels) {
    pipe.send_text(RecordType::kFailed, "the DVR has " + std::to_string(channels) + " channels");
    return kExitFailed;
  }
  const int64_t frame_ms = device.video_standard != 0 ? 40 : 33;

  // The viewer's decoder input, as it stands, goes to the pipe. Pictures are not drawn.
  video::Viewers& viewers = control.viewers();
  viewers.set_converter(nullptr);
  const video::Viewer& viewer = viewers.viewer(0);
  std::vector<uint8_t> annex_b;
  uint32_t last_second = 0;
  int64_t frame_in_second = 0;
  int64_t second_unix_ms = 0;
  video::DecoderPort port;
  port.decode = [&](int, const uint8_t* data, uint32_t size) {
    const bool key = serve::to_annex_b({data, size}, annex_b);
    if (annex_b.empty()) return 0;
    // The picture's capture time: its second from the header, the frame within it counted.
    const uint32_t second = viewer.displayTime();
    if (second != last_second) second_unix_ms = unix_ms_of_device_time(second);
    frame_in_second = second == last_second ? frame_in_second + 1 : 0;
    last_second = second;
    const int64_t stamp = second_unix_ms + frame_in_second * frame_ms;
    pipe.send(RecordType::kVideo, key ? serve::kFlagKeyFrame : 0, stamp, annex_b);
    return 0;
  };
  viewers.set_decoder(std::move(port));

  auto& modes = control.modes();
  auto& state = control.icmd().session(0);
  constexpr int32_t kPlay = 2;
  auto play_from = [&](uint32_t t) {
    // Enter Playback quietly, place the start time, then tell the DVR once.
    modes.ApplyViewCommand(0, channels, channels::kModePlayback, kPlay, request.view, true);
    modes.EditWindow(state, channels::kWindowStart, t);
    modes.ApplyViewCommand(0, channels, channels::kModePlayback, kPlay, request.view, false);
  };
  if (request.playback) {
    play_from(request.start_time);
  } else {
    modes.ApplyViewCommand(0, channels, channels::kModeLive, 0, request.view, false);
  }
  // Sound plays with the speaker on, as a user would switch it. Views without sound need no
  // sound output, whose thread wakes every millisecond.
  if (!request.may_have_sound()) {
    control.audio().terminate_thread();
  } else if (control.key_form().video_pointer().speaker_on() == 0) {
    control.key_form().video_pointer().Image_Trumpet_OffClick();
  }
  pipe.send_text(RecordType::kReady, "channels=" + std::to_string(channels));

  const int flags = ::fcntl(0, F_GETFL);
  if (flags >= 0) ::fcntl(0, F_SETFL, flags | O_NONBLOCK);
  std::string commands;
  while (!pipe.broken()) {
    host.loop().run_for(50);
    char buffer[256];
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n == 0) break;  // the bridge closed our stdin
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      break;
    }
    commands.append(buffer, size_t(n));
    size_t eol = 0;
    while ((eol = commands.find('\n')) != std::string::npos) {
      const std::string line = commands.substr(0, eol);
      commands.erase(0, eol + 1);
      int32_t t = 0;
      if (request.playback && line.rfind("seek ", 0) == 0 &&
          shell::text_to_int32(line.substr(5), t) && t > 0) {
        play_from(uint32_t(t));
      }
    }
  }
  control.unload_query(false);
  return pipe.broken() ? kExitFailed : kExitOk;
}

}  // namespace tessomar::cli
