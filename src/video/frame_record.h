// The frame record that every VIDO message of sub-tag 0 carries: a 128-byte record header,
// a 32-byte picture header and the payload (H.264 for a video frame, PCM for an audio block).
// Both viewer rings hold whole records, one after another, so the same parsers serve the
// channel, the viewer and the consumers behind it. All integers are little-endian.
#pragma once

#include <cstdint>
#include <span>

#include "platform/bytes.h"

namespace tessomar::video {

constexpr uint32_t kFrameRecordHeaderSize = 128;
constexpr uint32_t kPictureHeaderSize = 32;
// Records of this length or more cannot be framed by the viewer (its header test).
constexpr uint32_t kMaxFrameRecordLength = 262144;
constexpr uint32_t kPictureMagic = 0x03000000;  // the bytes 00 00 00 03
constexpr uint32_t kRecordKindAudio = 2;
constexpr uint32_t kCompositeChannel = 16;

constexpr uint32_t kContentVideo = 1;
constexpr uint32_t kContentAudio = 2;
constexpr uint32_t kStreamLive = 0;
constexpr uint32_t kStreamRecorded = 1;

struct FrameRecordHeader {
  uint32_t totalLength = 0;      // whole record, this header included
  uint32_t frameInterval = 0;    // ms to the next frame of the channel
  uint32_t channelSequence = 0;  // per-channel running number of video frames
  uint32_t channel = 0;          // 0-15, or 16 for the composite picture
  uint32_t frameId = 0;          // echoed in feedback
  uint32_t arrivalKey = 0;       // the DVR's running record number (reordering)
  uint32_t seconds = 0;          // second the frame was produced in
  uint32_t frameInSecond = 0;
  uint32_t word44 = 0;          // kept with the picture, not interpreted
  uint32_t kind = 0;            // 2 audio block, anything else video
  uint32_t requestCounter = 0;  // ICMD send sequence the frame answers; 0 matches any

  // Reads the fields from the first 128 bytes; false (fields untouched) when fewer are given.
  static bool parse(std::span<const uint8_t> bytes, FrameRecordHeader& out) {
    if (bytes.size() < kFrameRecordHeaderSize) return false;
    platform::ByteReader r(bytes.first(kFrameRecordHeaderSize));
    FrameRecordHeader h;
    h.totalLength = r.u32le();
    r.skip(4);
    h.frameInterval = r.u32le();
    h.channelSequence = r.u32le();
    r.skip(4);
    h.channel = r.u32le();
    h.frameId = r.u32le();
    r.skip(4);
    h.arrivalKey = r.u32le();
    h.seconds = r.u32le();
    h.frameInSecond = r.u32le();
    h.word44 = r.u32le();
    h.kind = r.u32le();
    h.requestCounter = r.u32le();
    if (r.error()) return false;
    out = h;
    return true;
  }
};

struct PictureHeader {
  uint32_t magic = 0;
  uint32_t time = 0;         // device time of the picture
  uint8_t frameNumber = 0;   // within that second
  uint8_t byte11 = 0;        // bits 6-7 content type
  uint8_t heightMbs = 0;     // macroblock rows
  uint8_t widthMbs = 0;      // macroblock columns
  uint8_t byte14 = 0;        // bits 2-3 interlace mark, bits 4-7 camera channel
  uint8_t byte15 = 0;        // bits 4-5 frame type
  uint8_t byte16 = 0;        // copied into the movie's watermark record
  uint16_t lengthUnits = 0;  // block length, this header included, in 64-byte units
  uint8_t byte23 = 0;        // bits 5-6 stream kind
  uint32_t rateWord = 0;     // bits 5-21 frame rate code
  uint32_t timeOffset = 0;   // seconds added to `time` for display

  static bool parse(std::span<const uint8_t> bytes, PictureHeader& out) {
    if (bytes.size() < kPictureHeaderSize) return false;
    platform::ByteReader r(bytes.first(kPictureHeaderSize));
    PictureHeader h;
    h.magic = r.u32le();
    h.time = r.u32le();
    h.frameNumber = r.u8();
    r.skip(2);
    h.byte11 = r.u8();
    h.heightMbs = r.u8();
    h.widthMbs = r.u8();
    h.byte14 = r.u8();
    h.byte15 = r.u8();
    h.byte16 = r.u8();
    r.skip(1);
    h.lengthUnits = r.u16le();
    r.skip(3);
    h.byte23 = r.u8();
    h.rateWord = r.u32le();
    h.timeOffset = r.u32le();
    if (r.error()) return false;
    out = h;
    return true;
  }

  uint32_t contentType() const { return uint32_t(byte11 >> 6); }
  bool interlaced() const { return ((byte14 >> 2) & 3) == 1; }
  uint32_t cameraChannel() const { return uint32_t(byte14 >> 4); }
  bool keyFrame() const { return ((byte15 >> 4) & 3) == 0; }
  uint32_t streamKind() const { return uint32_t((byte23 >> 5) & 3); }
  // Frame rate code r; 0 counts as 200.
  uint32_t rateCode() const {
    const uint32_t r = (rateWord >> 5) & 0x1FFFF;
    return r == 0 ? 200 : r;
  }
  uint32_t rateIntervalMs() const { return 20000 / rateCode(); }

  // A consumer drops a frame whose header fails this.
  bool valid() const {
    if (magic != kPictureMagic) return false;
    const uint32_t content = contentType();
    if (content != kContentVideo && content != kContentAudio) return false;
    if (lengthUnits == 0) return false;
    if (content == kContentVideo && (time == 0 || widthMbs == 0 || heightMbs == 0)) return false;
    return true;
  }
};

}  // namespace tessomar::video
