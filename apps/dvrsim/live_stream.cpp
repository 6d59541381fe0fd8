#include "dvrsim/live_stream.h"

#include "dvrsim/frame_record.h"

namespace tessomar::dvrsim {

LiveStream::LiveStream(uint32_t channel_count, bool pal, int width, int height,
                       const EncoderSettings& settings)
    : channel_count_(channel_count > 16 ? 16 : channel_count),
      width_(width),
      height_(height),
      fps_(pal ? 25 : 30),
      interval_ms_(pal ? 40 : 33),
      settings_(settings) {}

LiveStream::~LiveStream() = default;

bool LiveStream::valid_channel(uint32_t channel) const {
  return channel < channel_count_ || channel == kCompositeChannel;
}

void LiveStream::set_composite(uint32_t layout, uint32_t first_channel) {
  if (layout != 4 && layout != 9) layout = 16;
  if (layout == composite_layout_ && first_channel == composite_first_) return;
  composite_layout_ = layout;
  composite_first_ = first_channel;
  force_key_frame(kCompositeChannel);
}

void LiveStream::force_key_frame(uint32_t channel) {
  if (channel <= kCompositeChannel && encoders_[channel]) encoders_[channel]->force_key_frame();
}

void LiveStream::release(uint32_t channel) {
  if (channel <= kCompositeChannel) encoders_[channel].reset();
}

uint32_t LiveStream::channel_sequence(uint32_t channel) const {
  return channel <= kCompositeChannel ? sequence_[channel] : 0;
}

bool LiveStream::next_record(const FrameRequest& request, std::vector<uint8_t>& out) {
  out.clear();
  const uint32_t channel = request.channel;
  if (!valid_channel(channel)) return false;
  auto& encoder = encoders_[channel];
  if (!encoder) {
    encoder = std::make_unique<VideoEncoder>(width_, height_, int(fps_), settings_);
  }
  if (!encoder->ok()) return false;

  if (channel == kCompositeChannel) {
    render_composite(image_, composite_layout_, composite_first_, channel_count_,
                     request.device_time, request.frame_in_second, width_, height_, titles_);
  } else {
    render_scene(image_, channel, request.device_time, request.frame_in_second, width_, height_,
                 titles_);
  }
  const EncodedPicture& picture =
      encoder->encode(image_.y.data(), image_.u.data(), image_.v.data());
  payload_ = picture.payload;
  if (!picture.ok || !pad_video_payload(payload_)) {
    encoder->force_key_frame();
    return false;
  }

  RecordInfo record;
  record.frame_interval_ms = interval_ms_;
  record.channel_sequence = sequence_[channel] + 1;
  record.channel = channel;
  record.frame_id = frame_id_ + 1;
  record.arrival_key = request.arrival_key;
  record.seconds = request.device_time;
  record.frame_in_second = request.frame_in_second;
  record.request_counter = request.request_counter;

  PictureInfo info;
  info.time = request.device_time;
  info.frame_number = uint8_t(request.frame_in_second);
  info.width_mbs = uint8_t(width_ / 16);
  info.height_mbs = uint8_t(height_ / 16);
  // The composite picture names its first tile's channel.
  info.channel = uint8_t(channel == kCompositeChannel ? composite_first_ & 15 : channel);
  info.key_frame = picture.key_frame;
  info.stream_kind = request.stream_kind;
  info.rate_code = rate_code_for_interval(interval_ms_);
  info.time_offset = request.time_offset;

  if (!build_frame_record(record, info, payload_, out)) {
    // Too large for the control's receive buffer: the picture is lost, restart cleanly.
    out.clear();
    encoder->force_key_frame();
    return false;
  }
  ++sequence_[channel];
  ++frame_id_;
  return true;
}

}  // namespace tessomar::dvrsim
