// libavcodec's H.264 decoder as an outside check of the simulator's video: decodes access
// units one at a time and keeps the pictures it yields.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace tessomar::dvrsim::testing {

struct DecodedPicture {
  int width = 0;
  int height = 0;
  bool damaged = false;          // the decoder flagged an error in the picture
  std::vector<uint8_t> y, u, v;  // tight rows

  bool operator==(const DecodedPicture& o) const {
    return width == o.width && height == o.height && y == o.y && u == o.u && v == o.v;
  }
};

class TestDecoder {
 public:
  // Empty extradata: Annex B input. Otherwise an avcC record, and the access units are
  // length-prefixed like the DVR's payload.
  explicit TestDecoder(std::span<const uint8_t> avcc = {});
  ~TestDecoder();
  TestDecoder(const TestDecoder&) = delete;
  TestDecoder& operator=(const TestDecoder&) = delete;

  bool ok() const { return ctx_ != nullptr; }
  // Decodes one access unit; returns how many pictures came out (appended to pictures()).
  // A refused packet counts in errors().
  int decode(std::span<const uint8_t> access_unit);
  // Drains the pictures the decoder still holds.
  int flush();

  const std::vector<DecodedPicture>& pictures() const { return pictures_; }
  int errors() const { return errors_; }

 private:
  int drain();

  AVCodecContext* ctx_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  std::vector<DecodedPicture> pictures_;
  int errors_ = 0;
};

// An avcC record (four-byte lengths) holding one SPS and one PPS.
std::vector<uint8_t> make_avcc(std::span<const uint8_t> sps, std::span<const uint8_t> pps);

// The NAL units of an Annex B stream (start codes removed).
std::vector<std::span<const uint8_t>> split_annex_b(std::span<const uint8_t> stream);

}  // namespace tessomar::dvrsim::testing
