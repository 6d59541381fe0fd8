// The RTSP bridge's pieces that need no GStreamer: which DVR stream a request path names, the
// playback start in a query or a clock range, and the records a worker process writes to the
// bridge on its pipe (access units and sound, plus its state).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessomar::cli::serve {

constexpr uint32_t kSplitView = 22;  // the DVR's composed sixteen-way view
constexpr uint32_t kMaxChannels = 16;

// What one RTSP path asks of the DVR: a live view or a camera's recordings from a time.
struct StreamRequest {
  bool playback = false;
  uint32_t view = 0;        // 0-15 one camera, kSplitView the split view (live only)
  uint32_t start_time = 0;  // playback: device time (seconds since 2000-01-01, local time)

  // Cameras 1 and 2 carry sound, in their single views only.
  bool may_have_sound() const { return view < 2; }
  // Requests with the same key share one DVR session.
  std::string key() const;
};

// "/live/ch3", "/live/split", "/playback/ch3" with "start=YYYYMMDDThhmmss" in the query. Returns
// nothing, with the reason in `error`, for any other path or a bad or missing start.
std::optional<StreamRequest> parse_stream_path(std::string_view path, std::string_view query,
                                               std::string& error);

// "YYYYMMDDThhmmss" (a trailing Z is accepted) as device time; nothing when it is no date
// between 2000 and 2099.
std::optional<uint32_t> parse_compact_time(std::string_view text);
// The start of an RTSP Range header's clock range ("clock=20261209T120000Z-"); nothing for
// other ranges (npt, smpte) or a bad time.
std::optional<uint32_t> parse_clock_range(std::string_view range);

// A length-prefixed access unit (4-byte big-endian lengths) as an Annex B byte stream. A
// length running past the end is clipped to what is there. Returns whether it holds an IDR
// slice.
bool to_annex_b(std::span<const uint8_t> unit, std::vector<uint8_t>& out);

// Worker records: a 16-byte header (type, flags, two reserved bytes, little-endian payload
// length and stamp) and the payload.
enum class RecordType : uint8_t {
  kReady = 1,   // payload: "channels=N"
  kFailed = 2,  // payload: the reason, text
  kVideo = 3,   // payload: one Annex B access unit; stamp: picture time, Unix ms
  kAudio = 4,   // payload: 16-bit little-endian mono samples at 8 kHz; stamp: sent, Unix ms
};
constexpr uint8_t kFlagKeyFrame = 1;
constexpr size_t kRecordHeaderSize = 16;
constexpr uint32_t kMaxRecordPayload = 4 * 1024 * 1024;

struct Record {
  RecordType type = RecordType::kReady;
  uint8_t flags = 0;
  int64_t stamp_ms = 0;
  std::vector<uint8_t> payload;
};

void append_record(std::vector<uint8_t>& out, RecordType type, uint8_t flags, int64_t stamp_ms,
                   std::span<const uint8_t> payload);

// Splits the pipe's bytes into records as they come.
class RecordReader {
 public:
  enum class Status { kRecord, kNeedMore, kBad };
  void feed(std::span<const uint8_t> bytes);
  // kBad for an unknown type or an oversized length; the stream cannot be trusted after it.
  Status next(Record& out);

 private:
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  bool bad_ = false;
};

}  // namespace tessomar::cli::serve
