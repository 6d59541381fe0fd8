// Frame records as the DVR sends them on the VIDO channel: a 128-byte record header, a
// 32-byte picture header and the payload, all integers little-endian.
//
//   record header: 0 totalLength, 8 frameInterval (ms), 12 channelSequence, 20 channel,
//     24 frameId, 32 arrivalKey, 36 seconds, 40 frameInSecond, 48 kind (2 audio),
//     52 requestCounter; the other words are 0.
//   picture header: 0 magic 00 00 00 03, 4 time, 8 frame number, 11 bits 6-7 content type,
//     12 height in MB rows, 13 width in MB columns, 14 bits 2-3 interlace (1) and bits 4-7
//     channel, 15 bits 4-5 frame type (0 key) and bits 0-3 items - 1, 16 watermark byte,
//     18 u16 block length in 64-byte units (header included), 23 bits 5-6 stream kind,
//     24 bits 5-21 frame rate code r (interval 20000 / r ms), 28 time offset.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessomar::dvrsim {

inline constexpr size_t kFrameRecordHeaderSize = 128;
inline constexpr size_t kPictureHeaderSize = 32;
inline constexpr size_t kBlockUnit = 64;
// The control receives a frame record of at most 262,144 bytes; records are multiples of 64.
inline constexpr size_t kMaxFrameRecordSize = 262143;

inline constexpr uint8_t kContentVideo = 1;
inline constexpr uint8_t kContentAudio = 2;
inline constexpr uint32_t kKindAudio = 2;

struct PictureInfo {
  uint32_t time = 0;         // device time of the picture
  uint8_t frame_number = 0;  // frame within that second
  uint8_t content_type = kContentVideo;
  uint8_t width_mbs = 0;
  uint8_t height_mbs = 0;
  bool interlaced = false;
  uint8_t channel = 0;  // 0 to 15 (an audio block: its audio channel)
  bool key_frame = false;
  uint8_t stream_kind = 0;  // 0 live, 1 recorded
  uint8_t watermark = 0;    // byte 16, carried into backed-up movies
  uint32_t rate_code = 0;   // frame interval 20000 / rate_code ms
  uint32_t time_offset = 0;
};

struct RecordInfo {
  uint32_t frame_interval_ms = 0;
  uint32_t channel_sequence = 0;
  uint32_t channel = 0;  // 0 to 15, or 16 for the composite picture
  uint32_t frame_id = 0;
  uint32_t arrival_key = 0;
  uint32_t seconds = 0;
  uint32_t frame_in_second = 0;
  uint32_t kind = 0;  // 2 audio, else video
  uint32_t request_counter = 0;
};

// The frame rate code for a frame interval: 20000 / interval (40 ms: 500, 33 ms: 606).
constexpr uint32_t rate_code_for_interval(uint32_t interval_ms) {
  return interval_ms == 0 ? 0 : 20000 / interval_ms;
}

// Pads a payload of length-prefixed NAL units (four-byte big-endian lengths) with zero bytes
// so that picture header plus payload fill a multiple of 64 bytes; the last unit's length
// grows to cover the padding (decoders ignore zero bytes behind the slice data). False, with
// the payload unchanged, when the units do not exactly fill it.
bool pad_video_payload(std::vector<uint8_t>& payload);

// Writes the picture header of a block of `block_length` bytes (header included).
void build_picture_header(const PictureInfo& info, size_t block_length,
                          std::span<uint8_t, kPictureHeaderSize> out);

// Builds a whole record around `payload`, which must already be padded (32 + its size a
// multiple of 64). False when it is not, or when the record would exceed
// kMaxFrameRecordSize.
bool build_frame_record(const RecordInfo& record, const PictureInfo& picture,
                        std::span<const uint8_t> payload, std::vector<uint8_t>& out);

}  // namespace tessomar::dvrsim
