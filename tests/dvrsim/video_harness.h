// The simulator's video channel over a real session, for the live and playback tests: frame
// records read field by field from VIDO messages, a rig that sends requests and collects the
// records, and decoding of the collected pictures the way the control does it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "dvrsim/dvr_harness.h"
#include "dvrsim/h264_test_decoder.h"
#include "dvrsim/options.h"
#include "dvrsim/settings.h"
#include "dvrsim/sim_client.h"
#include "dvrsim/video_channel.h"
#include "link/wire.h"
#include "platform/clock.h"

namespace tessomar::dvrsim::testing {

inline constexpr uint32_t kIcmd = link::make_tag("ICMD");
inline constexpr uint32_t kVido = link::make_tag("VIDO");
// What the control offers with an empty 4 MiB video ring.
inline constexpr uint32_t kBigCredit = 4194304 - 524288;
// 2004-02-29 12:00:00 on the DVR's calendar, where 2000 is a common year.
inline constexpr platform::LocalDateTime kNoon = {2004, 2, 29, 12, 0, 0};

// One frame record, read field by field from a VIDO message's payload.
struct Record {
  uint32_t total, interval, sequence, channel, frame_id, arrival, seconds, fis, kind, counter;
  uint32_t magic, time, rate, offset;
  uint8_t frame_number, content, height_mbs, width_mbs, pic_channel, interlace, stream_kind;
  bool key;
  size_t block;                  // bytes the picture header's block count names
  std::vector<uint8_t> payload;  // the slices; empty unless the record is 128 + block long
};

// Reads the fields of a record payload of at least 160 bytes; checks nothing, so each test
// states what it expects of them.
Record read_record(const std::vector<uint8_t>& b);

// A fixed-size CIF device without sound.
DeviceOptions cif_device();

// The flow-control feedback message offering `credit` (left out when the block is too short).
std::vector<uint8_t> feedback_message(uint32_t key, uint32_t credit, size_t size = 256);

// Decodes records in order the way the control does: the client's parameter sets in front
// of every key frame.
std::vector<DecodedPicture> decode(const std::vector<Record>& records);

void append(std::vector<Record>& to, const std::vector<Record>& more);

// A simulator with the video channel, one open session and its client. Records of the
// answers go through the test's own parser, which states what each test checks of them.
class VideoSessionRig {
 public:
  using Parser = Record (*)(const WireMessage& m, uint32_t key);

  VideoSessionRig(const DeviceOptions& device, Parser parse);

  // Sends messages in one data frame; returns the frame records of the answer.
  std::vector<Record> send(const std::vector<std::vector<uint8_t>>& messages);
  std::vector<Record> set(uint32_t record_id, uint32_t mode, uint32_t seq,
                          const std::vector<uint8_t>& image);
  std::vector<Record> feedback(uint32_t credit);
  // Moves the clock on in 10 ms ticks, as the loop would see it.
  void run_ms(uint32_t ms);
  // Collects everything queued for the session.
  std::vector<Record> drain();

  DvrHarness h;
  VideoChannel video;
  std::optional<SimClient> client;
  uint32_t key = 0;

 private:
  Parser parse_;
};

}  // namespace tessomar::dvrsim::testing
