// The decoder slots: one libavcodec H.264 decoder per connection slot (three slots, of which
// the control opens two). A decode call takes one whole access unit of NAL units behind
// four-byte big-endian lengths and hands the picture it yields to the sink before returning.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>

#include "platform/clock.h"
#include "platform/log.h"

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace tessomar::video {

struct AvApi;

// One decoded 4:2:0 picture. The planes belong to the decoder and stay valid only until the
// next decodePicture or openDecoder on the same slot. Each chroma plane has half the width
// and height of the luma plane, rounded up.
struct DecodedPicture {
  const uint8_t* planeY = nullptr;
  const uint8_t* planeCb = nullptr;
  const uint8_t* planeCr = nullptr;
  int strideY = 0;
  int strideC = 0;  // shared by Cb and Cr
  int width = 0;
  int height = 0;
};

enum class DecodeStatus : uint8_t { Good = 0, Damaged = 1 };

// The zero bytes libavcodec may read past the end of its input (its input padding).
constexpr uint32_t kDecoderInputPadding = 64;

// Rewrites an access unit of NAL units behind four-byte big-endian lengths as start codes
// into `out`, followed by kDecoderInputPadding zero bytes; nothing after those is written.
// A length running past the data is cut at its end, trailing bytes too short for a length
// are dropped. Returns the length without the padding, or -1 when `out` cannot hold
// in.size() + kDecoderInputPadding bytes (the output never outgrows the input).
int length_prefixed_to_annex_b(std::span<const uint8_t> in, std::span<uint8_t> out);

class DecoderSlots {
 public:
  static constexpr int kSlotCount = 3;
  // Size of the decoders' shared input buffer; an access unit must fit in it. The buffer
  // holds kDecoderInputPadding bytes more.
  static constexpr uint32_t kDecoderBufferBytes = 4387008;

  using PictureSink = std::function<void(int index, const DecodedPicture& picture)>;

  // The clock times each decode (lastDecodeMs); libavcodec's messages about the decoders go
  // to the logger. Both must outlive the slots.
  DecoderSlots(const platform::Clock& clock, const platform::Logger& logger);
  ~DecoderSlots();
  DecoderSlots(const DecoderSlots&) = delete;
  DecoderSlots& operator=(const DecoderSlots&) = delete;

  // Receives every good picture, synchronously inside decodePicture.
  void set_picture_sink(PictureSink sink) { sink_ = std::move(sink); }

  // Opens a fresh decoder at index 0..2 (replacing one already open there). 0, or -1 for an
  // index outside 0..2 or when libavcodec cannot open the decoder.
  int openDecoder(int index);

  // Allocates the shared input buffer once; decoding does nothing before it. Only the padding
  // behind each unit is zeroed, as it is written, so start-up does not touch 4 MB.
  void allocateDecoderBuffer();
  bool decoderBufferAllocated() const { return input_ != nullptr; }

  // Decodes one access unit. Returns 1 when a picture went to the sink, 0 when the decoder
  // ran without a picture to show (none produced, or damaged), and -1 when nothing was done
  // (bad index, no data, size 0 or above kDecoderBufferBytes, decoder not open, buffer not
  // allocated). A length running past the end of the data is cut at the end, so a truncated
  // unit reaches the decoder and is reported damaged.
  int decodePicture(int index, const uint8_t* data, uint32_t size);

  // The slot's viewer has queued a key frame with fresh parameter sets: the next decode
  // clears outputValid and this flag, so the picture size is read again.
  void set_key_frame_queued(int index);
  bool keyFrameQueued(int index) const;

  // Good or damaged, as set by the last decode; the viewer reads it and then resets it.
  DecodeStatus decodeStatus(int index) const;
  void resetDecodeStatus(int index);

  bool isOpen(int index) const;
  bool outputValid(int index) const;
  int outputWidth(int index) const;
  int outputHeight(int index) const;
  // Milliseconds the last decode call of the slot spent in the decoder.
  uint32_t lastDecodeMs(int index) const;

 private:
  struct Slot {
    AVCodecContext* decoder = nullptr;
    AVFrame* frame = nullptr;  // the last picture, kept until the slot's next decode
    int outputWidth = 0;
    int outputHeight = 0;
    bool outputValid = false;
    bool keyFrameQueued = false;
    DecodeStatus status = DecodeStatus::Good;
    uint32_t decodeMs = 0;
  };

  static bool valid_index(int index) { return index >= 0 && index < kSlotCount; }
  // Opens libavcodec on first use; false (logged) when it cannot be loaded.
  bool load_av();
  // Rewrites the unit into the input buffer (length_prefixed_to_annex_b); returns the length.
  int to_annex_b(const uint8_t* data, uint32_t size);

  const platform::Clock& clock_;
  const platform::Logger& logger_;
  PictureSink sink_;
  std::array<Slot, kSlotCount> slots_{};
  const AvApi* av_ = nullptr;     // set by the first decoder or buffer
  AVBufferRef* input_ = nullptr;  // shared by all slots: decoding is synchronous
  AVPacket* packet_ = nullptr;
  AVFrame* received_ = nullptr;
};

}  // namespace tessomar::video
