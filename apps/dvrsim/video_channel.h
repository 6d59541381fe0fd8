// The simulated DVR's side of the VIDO channel: live video for every session that asked for it.
//
// A live view state set (record 256) in Live mode starts or switches a session's stream: the
// selected channel for the single view, the composite split picture (channel 16) for the
// 4-, 9- and 16-way views. Any set that leaves Live mode stops it, as does the session's end.
// Pictures are made in real time on the simulator's tick at the device frame rate, stamped
// with the local clock as device time. The control's feedback (sub-tag 1) carries a receive
// credit; a picture that would put more than that many bytes in the session's queue is not
// sent, and the stream restarts with a key frame once there is room again.
//
//   VideoChannel video(options.device, clock, settings);
//   video.attach(sim);  // after settings.attach(sim)
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "dvrsim/channels.h"
#include "dvrsim/live_stream.h"
#include "dvrsim/options.h"
#include "link/wire.h"
#include "platform/clock.h"

namespace tessomar::dvrsim {

class Simulator;
class SettingsChannel;

constexpr uint32_t kVidoTag = link::make_tag("VIDO");

enum VidoSubTag : uint32_t {
  kVidoFrameRecord = 0,
  kVidoFeedback = 1,
};

// The control's feedback block: 64 words, the receive credit in word 32.
constexpr size_t kFeedbackSize = 256;
constexpr size_t kFeedbackCreditWord = 32;
// The control's credit before its first feedback.
constexpr uint32_t kInitialCredit = 0x40000;

struct VideoFormat {
  int width = 0;
  int height = 0;
  bool interlaced = false;  // one field of an interlaced frame
};

VideoFormat video_format(Resolution resolution, bool pal);

// Device time of a local calendar time, on the DVR's calendar (2000 counts as a common year;
// later years divisible by 4 and not by 100 are leap years). Years are clamped to 2000-2099.
// Never 0: the control drops pictures whose time is 0.
uint32_t device_time_of(const platform::LocalDateTime& t);

class VideoChannel {
 public:
  // At most this many pictures per session and tick; a session further behind drops the
  // missed pictures instead of sending a burst.
  static constexpr uint32_t kMaxCatchUpFrames = 2;
  static constexpr uint32_t kNoChannel = 0xFFFFFFFF;

  // The clock gives the device time of each picture; the settings channel gives the view
  // states, modes and ICMD sequence numbers. Both must outlive the channel.
  VideoChannel(const DeviceOptions& device, const platform::Clock& clock,
               SettingsChannel& settings);
  ~VideoChannel();
  VideoChannel(const VideoChannel&) = delete;
  VideoChannel& operator=(const VideoChannel&) = delete;

  // Registers the VIDO handler, a session listener, a settings listener and the tick hook;
  // the channel must outlive the simulator's use of them. False when VIDO already has a
  // handler.
  bool attach(Simulator& sim);

  // Makes the pictures that are due at now_ms (the tick hook calls it).
  void tick(uint32_t now_ms);

  VideoFormat format() const { return format_; }
  uint32_t fps() const { return fps_; }
  // The channel a session is streaming (0 to 15, 16 for the split picture), or kNoChannel.
  uint32_t streaming_channel(uint32_t key) const;
  // The latest receive credit of a session (kInitialCredit before its first feedback; 0 for
  // an unknown session).
  uint32_t credit(uint32_t key) const;
  // Pictures a session did not get because its credit was used up.
  uint32_t skipped_frames(uint32_t key) const;

 private:
  struct Stream {
    uint32_t credit = kInitialCredit;
    uint32_t channel = kNoChannel;  // kNoChannel: not streaming
    uint32_t next_due_ms = 0;
    uint32_t due_remainder = 0;  // thousandths of a millisecond times fps, see advance_due
    uint32_t records_sent = 0;   // arrival keys handed out since the control last reset
    uint32_t device_second = 0;
    uint32_t frame_in_second = 0;
    bool key_next = false;
    uint32_t skipped = 0;
    std::unique_ptr<LiveStream> live;
  };

  void on_message(ChannelContext& ctx, const ChannelMessage& m);
  void on_settings(uint32_t key, uint32_t op, uint32_t record_id);
  void start_live(uint32_t key, Stream& s);
  void stop(Stream& s);
  void advance_due(Stream& s);
  void produce(uint32_t key, Stream& s);

  DeviceOptions device_;
  const platform::Clock& clock_;
  SettingsChannel& settings_;
  Simulator* sim_ = nullptr;
  VideoFormat format_;
  uint32_t fps_;
  std::map<uint32_t, Stream> streams_;
  // Reused from picture to picture.
  std::vector<uint8_t> record_;
  std::vector<uint8_t> message_;
};

}  // namespace tessomar::dvrsim
