// The RTSP bridge's readers: the input as a request path and query, as a Range header and as
// the worker's record stream (fed in pieces whose sizes come from the input), and as a
// length-prefixed access unit. Records read back never re-encode to more than the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "serve_protocol.h"

using namespace tessomar::cli::serve;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t mark = text.find('?');
  std::string error;
  const auto request = parse_stream_path(
      text.substr(0, mark), mark == std::string_view::npos ? "" : text.substr(mark + 1), error);
  if (!request && error.empty()) __builtin_trap();
  if (request && request->view >= kMaxChannels && request->view != kSplitView) __builtin_trap();
  parse_clock_range(text);
  parse_compact_time(text);

  std::vector<uint8_t> annex_b;
  to_annex_b({data, size}, annex_b);
  // Each four-byte length becomes a four-byte start code: never longer than the input.
  if (annex_b.size() > size) __builtin_trap();

  RecordReader reader;
  Record record;
  std::vector<uint8_t> echoed;
  size_t at = 0;
  while (at < size) {
    const size_t piece = 1 + data[at] % 64;
    const size_t n = std::min(piece, size - at);
    reader.feed({data + at, n});
    at += n;
    for (;;) {
      const auto status = reader.next(record);
      if (status != RecordReader::Status::kRecord) break;
      if (record.payload.size() > kMaxRecordPayload) __builtin_trap();
      append_record(echoed, record.type, record.flags, record.stamp_ms, record.payload);
    }
  }
  // Records are only ever taken from bytes that were there.
  if (echoed.size() > size) __builtin_trap();
  return 0;
}
