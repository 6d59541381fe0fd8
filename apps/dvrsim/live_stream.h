// Live video of one viewer: for each camera channel (0 to 15) and the composite split
// picture (16), the scene is rendered, encoded and wrapped into complete frame records.
// Encoders are made on a channel's first picture (which is therefore a key frame) and kept
// until released, so a viewer that switches back and forth continues its streams.
//
//   LiveStream live(16, /*pal=*/true, 704, 576);
//   live.set_composite(4, 0);
//   std::vector<uint8_t> record;
//   if (live.next_record({.channel = 16, .device_time = t, .frame_in_second = f,
//                         .request_counter = seq, .arrival_key = ++key}, record)) queue(record);
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "dvrsim/encoder.h"
#include "dvrsim/scene.h"

namespace tessomar::dvrsim {

struct FrameRequest {
  uint32_t channel = 0;          // 0 to 15, or kCompositeChannel
  uint32_t device_time = 0;      // seconds since 2000-01-01 on the DVR's calendar
  uint32_t frame_in_second = 0;  // below fps()
  uint32_t request_counter = 0;  // the control's ICMD counter the DVR is answering
  uint32_t arrival_key = 0;      // the DVR's running number of records on the connection
  uint8_t stream_kind = 0;       // 0 live, 1 recorded
  uint32_t time_offset = 0;
};

class LiveStream {
 public:
  static constexpr uint32_t kCompositeChannel = 16;

  // channel_count: 4, 8 or 16. PAL runs at 25 fps (40 ms), NTSC at 30 fps (33 ms). width and
  // height: multiples of 16 (704 x 576 PAL D1, 704 x 480 NTSC D1, 352 x 288 CIF ...).
  LiveStream(uint32_t channel_count, bool pal, int width, int height,
             const EncoderSettings& settings = {});
  ~LiveStream();

  uint32_t fps() const { return fps_; }
  uint32_t frame_interval_ms() const { return interval_ms_; }

  // The split picture of channel 16: 4, 9 or 16 tiles from first_channel. A change makes the
  // composite's next picture a key frame.
  void set_composite(uint32_t layout, uint32_t first_channel);

  // Builds the next video record of a channel into `out`. False (out empty) for a channel
  // that the device does not have, or when the picture could not be encoded; the channel's
  // next picture is then a key frame.
  bool next_record(const FrameRequest& request, std::vector<uint8_t>& out);

  // Channel titles drawn in place of the band numbers (nullptr: the numbers); they must
  // outlive the stream.
  void set_titles(const ChannelTitles* titles) { titles_ = titles; }

  // The channel's next picture is a key frame (a viewer starts or resynchronises).
  void force_key_frame(uint32_t channel);
  // Drops the channel's encoder; its next picture starts a new stream with a key frame.
  void release(uint32_t channel);

  // Channel sequence of the last record of the channel (0 before the first).
  uint32_t channel_sequence(uint32_t channel) const;

 private:
  bool valid_channel(uint32_t channel) const;

  uint32_t channel_count_;
  int width_;
  int height_;
  uint32_t fps_;
  uint32_t interval_ms_;
  EncoderSettings settings_;
  uint32_t composite_layout_ = 16;
  uint32_t composite_first_ = 0;
  uint32_t frame_id_ = 0;
  const ChannelTitles* titles_ = nullptr;
  std::array<std::unique_ptr<VideoEncoder>, 17> encoders_;
  std::array<uint32_t, 17> sequence_{};
  // Reused from picture to picture.
  I420Image image_;
  std::vector<uint8_t> payload_;
};

}  // namespace tessomar::dvrsim
