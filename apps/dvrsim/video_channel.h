// The simulated DVR's side of the VIDO channel: live, playback and backup video for every
// session that asked for it. The view state set the control sends chooses the stream:
//
//   Live (a live view state set, record 256, in mode 0): the selected channel for the single
//   view, the composite split picture (channel 16) for the 4-, 9- and 16-way views. Pictures
//   are made in real time at the device frame rate, stamped with the local clock as device
//   time, stream kind 0.
//   Playback (a playback state set, record 512, in mode 1): recorded pictures (stream kind 1)
//   of the selected channel from the archive (archive.h), starting at the set's start time.
//   Play state 0 holds; state 1 direction 0 (and state 2) plays at the recording's pace;
//   state 1 direction 1 scans forward, direction -1 backward: one key frame per recorded
//   second, four seconds per real second. Gaps in the archive are stepped over; at the
//   archive's end playback waits for the recording to grow. A set with the same channel and
//   start time as the last continues from where the stream is (pause, then play again).
//   Backup (a backup state set, record 1024, in mode 2, backup state 1): every recorded
//   picture of the window [start, end] of the selected channel, in time order from a key
//   frame, as fast as the control's credit takes them (at most kMaxBackupFramesPerTick per
//   tick), then the stream ends. State 0 stops it at once, state 2 holds it.
//
// Sound (audio_block.h) goes with the single view of channel 0 or 1 when the device has
// audio: live from the first whole second of the stream, playback at the recording's pace
// and backups, each block right behind the picture it starts with. Split pictures and scans
// carry none.
//
// A set that enters another mode stops the stream unless it is that mode's own record; a
// set of another record in the same mode leaves it alone. Setup and mode 4 have no video.
// Times in the view states are the control's display times (picture time plus the time
// offset); the stream subtracts the offset to find the recording. Every record carries the
// sequence number of the latest ICMD message of its session, which is the control's own
// message counter. The control's feedback (sub-tag 1) carries a receive credit; a
// picture that would put more than that many bytes in the session's queue is not sent. Live
// drops it and restarts with a key frame once there is room; playback and backup hold it
// and send it when there is room, so no recorded picture is lost.
//
//   VideoChannel video(options.device, clock, settings);
//   video.attach(sim);  // after settings.attach(sim)
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "dvrsim/archive.h"
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

// What a session's stream is doing.
enum class StreamMode { kNone, kLive, kPlayback, kBackup };

class VideoChannel {
 public:
  // At most this many pictures per session and tick; a session further behind drops the
  // missed pictures instead of sending a burst.
  static constexpr uint32_t kMaxCatchUpFrames = 2;
  static constexpr uint32_t kNoChannel = 0xFFFFFFFF;
  // Forward and backward scans: one key frame of each recorded second, this many ms apart.
  static constexpr uint32_t kScanIntervalMs = 250;
  // Backup pictures made per session and tick, so that polls and other sessions are still
  // served while a backup runs as fast as the credit allows.
  static constexpr uint32_t kMaxBackupFramesPerTick = 4;

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

  // Channel titles for the live pictures (see ChannelTitles); they must outlive the channel.
  void set_titles(const ChannelTitles* titles) { titles_ = titles; }

  // Makes the pictures that are due at now_ms (the tick hook calls it).
  void tick(uint32_t now_ms);

  VideoFormat format() const { return format_; }
  uint32_t fps() const { return fps_; }
  const Archive& archive() const { return archive_; }
  // The channel a session is streaming (0 to 15, 16 for the split picture), or kNoChannel
  // (also while a playback is paused or a backup held).
  uint32_t streaming_channel(uint32_t key) const;
  StreamMode stream_mode(uint32_t key) const;
  // The latest receive credit of a session (kInitialCredit before its first feedback; 0 for
  // an unknown session).
  uint32_t credit(uint32_t key) const;
  // Some stream has pictures to make: the simulator's loop keeps its 10 ms pace for it.
  bool has_work() const;
  // Pictures a session did not get because its credit was used up.
  uint32_t skipped_frames(uint32_t key) const;

 private:
  // How a playback or backup stream moves through the archive.
  enum class Motion { kHold, kPlay, kScanForward, kScanBackward, kCopy };

  struct Stream {
    uint32_t credit = kInitialCredit;
    StreamMode mode = StreamMode::kNone;
    uint32_t channel = kNoChannel;  // kNoChannel while mode is kNone
    uint32_t next_due_ms = 0;
    uint32_t due_remainder = 0;  // thousandths of a millisecond times fps, see advance_due
    uint32_t records_sent = 0;   // arrival keys handed out since the control last reset
    uint32_t device_second = 0;
    uint32_t frame_in_second = 0;
    bool key_next = false;
    uint32_t skipped = 0;
    std::unique_ptr<LiveStream> live;

    // Playback and backup: their own encoders, and where in the archive the next picture is.
    std::unique_ptr<LiveStream> recorded;
    Motion motion = Motion::kHold;
    uint32_t anchor = 0;    // start time of the playback set that placed the position
    uint32_t position = 0;  // device second of the next recorded picture
    uint32_t position_frame = 0;
    uint32_t window_end = 0;    // backup: last device second to copy
    std::vector<uint8_t> held;  // a finished message waiting for credit

    // Live audio follows the picture time: blocks of a second are sent only once the stream
    // has seen that second begin, so the marker lies on a real turn of the second.
    bool audio_aligned = false;
    uint32_t audio_block = 0;  // next block of device_second to send
    std::array<uint32_t, 2> audio_sequence{};
    // Playback and backup: the block that follows the picture just made (or held), if any.
    uint32_t recorded_audio_second = 0;
    uint32_t recorded_audio_block = 0;
  };

  void on_message(ChannelContext& ctx, const ChannelMessage& m);
  void on_settings(uint32_t key, uint32_t op, uint32_t record_id);
  void start_live(uint32_t key, Stream& s);
  void start_playback(uint32_t key, Stream& s);
  void apply_backup(uint32_t key, Stream& s);
  void begin_recorded(Stream& s, StreamMode mode, uint32_t channel);
  void stop(Stream& s);
  void advance_due(Stream& s);
  void tick_recorded(uint32_t key, Stream& s, uint32_t now_ms);
  void produce(uint32_t key, Stream& s);
  void produce_picture(uint32_t key, Stream& s);
  void produce_live_audio(uint32_t key, Stream& s);
  // Queues one audio block of the stream's channel when it has sound. Live drops a block
  // without credit; recorded streams (`hold`) keep it back like a picture.
  void send_audio(uint32_t key, Stream& s, uint32_t device_time, uint32_t block,
                  uint8_t stream_kind, bool hold = false);
  // The block behind the recorded picture just sent, if one is due.
  void send_recorded_audio(uint32_t key, Stream& s);
  // One picture of a playback or backup stream; false when the stream must wait (no credit,
  // or nothing recorded there yet).
  bool produce_recorded(uint32_t key, Stream& s);
  // Moves the position onto a recorded second in the stream's direction; false when there
  // is none (yet).
  bool settle_position(Stream& s);
  void advance_position(Stream& s);
  // Wraps record_ into message_; false when it cannot be built.
  bool wrap_record(uint32_t key);
  // Queues a message within the session's credit; counts it for the arrival keys.
  bool queue_within_credit(uint32_t key, Stream& s, std::span<const uint8_t> message);
  uint32_t clamp_channel(int32_t c) const;
  // Device time of a time the control shows (picture time plus the time offset).
  uint32_t device_time_of_view(uint32_t shown) const;

  DeviceOptions device_;
  const platform::Clock& clock_;
  SettingsChannel& settings_;
  Simulator* sim_ = nullptr;
  const ChannelTitles* titles_ = nullptr;
  VideoFormat format_;
  uint32_t fps_;
  Archive archive_;
  std::map<uint32_t, Stream> streams_;
  // Reused from picture to picture.
  std::vector<uint8_t> record_;
  std::vector<uint8_t> message_;
};

}  // namespace tessomar::dvrsim
