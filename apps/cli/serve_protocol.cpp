#include "serve_protocol.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/devtime.h"

namespace tessomar::cli::serve {

namespace {

bool take_number(std::string_view text, size_t at, size_t digits, uint32_t& out) {
  if (at + digits > text.size()) return false;
  out = 0;
  for (size_t i = at; i < at + digits; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + uint32_t(c - '0');
  }
  return true;
}

void put_le(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

uint64_t get_le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

std::string StreamRequest::key() const {
  if (playback) return "playback/ch" + std::to_string(view + 1) + "@" + std::to_string(start_time);
  if (view == kSplitView) return "live/split";
  return "live/ch" + std::to_string(view + 1);
}

std::optional<uint32_t> parse_compact_time(std::string_view text) {
  if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) text.remove_suffix(1);
  if (text.size() != 15 || (text[8] != 'T' && text[8] != 't')) return std::nullopt;
  uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!take_number(text, 0, 4, year) || !take_number(text, 4, 2, month) ||
      !take_number(text, 6, 2, day) || !take_number(text, 9, 2, hour) ||
      !take_number(text, 11, 2, minute) || !take_number(text, 13, 2, second)) {
    return std::nullopt;
  }
  // The device's own date parser checks the ranges (years 2000-2099, month lengths).
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04u/%02u/%02u %02u:%02u:%02u", year, month, day, hour,
                minute, second);
  platform::LocalDateTime date{};
  if (!platform::parse_time_text(buffer, date)) return std::nullopt;
  return platform::seconds_from_date(date);
}

std::optional<uint32_t> parse_clock_range(std::string_view range) {
  constexpr std::string_view kClock = "clock=";
  if (range.substr(0, kClock.size()) != kClock) return std::nullopt;
  range.remove_prefix(kClock.size());
  const size_t dash = range.find('-');
  if (dash != std::string_view::npos) range = range.substr(0, dash);
  // Fractions of a second are dropped: the DVR places playback by the second.
  const size_t dot = range.find('.');
  std::string text(range.substr(0, dot));
  if (dot != std::string_view::npos && !range.empty() && range.back() == 'Z') text += 'Z';
  return parse_compact_time(text);
}

std::optional<StreamRequest> parse_stream_path(std::string_view path, std::string_view query,
                                               std::string& error) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  StreamRequest r;
  std::string_view rest;
  if (path.substr(0, 6) == "/live/") {
    rest = path.substr(6);
  } else if (path.substr(0, 10) == "/playback/") {
    r.playback = true;
    rest = path.substr(10);
  } else {
    error = "unknown path \"" + std::string(path) + "\" (live/chN, live/split, playback/chN)";
    return std::nullopt;
  }
  if (!r.playback && rest == "split") {
    r.view = kSplitView;
  } else {
    uint32_t n = 0;
    const char* end = rest.data() + rest.size();
    auto [p, ec] = rest.size() > 2 && rest.substr(0, 2) == "ch"
                       ? std::from_chars(rest.data() + 2, end, n)
                       : std::from_chars_result{rest.data(), std::errc::invalid_argument};
    if (ec != std::errc() || p != end || n < 1 || n > kMaxChannels) {
      error = "unknown stream \"" + std::string(rest) + "\" (ch1 to ch16" +
              (r.playback ? ")" : " or split)");
      return std::nullopt;
    }
    r.view = n - 1;
  }
  if (!r.playback) return r;
  // The query's parameters are name=value pairs separated by '&'.
  std::optional<uint32_t> start;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    if (pair.substr(0, 6) == "start=") {
      start = parse_compact_time(pair.substr(6));
      if (!start) {
        error = "bad start \"" + std::string(pair.substr(6)) + "\" (YYYYMMDDThhmmss, 2000-2099)";
        return std::nullopt;
      }
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  if (!start) {
    error = "playback needs ?start=YYYYMMDDThhmmss";
    return std::nullopt;
  }
  r.start_time = *start;
  return r;
}

bool to_annex_b(std::span<const uint8_t> unit, std::vector<uint8_t>& out) {
  out.clear();
  bool idr = false;
  size_t at = 0;
  while (unit.size() - at >= 4) {
    const uint32_t declared = uint32_t(unit[at]) << 24 | uint32_t(unit[at + 1]) << 16 |
                              uint32_t(unit[at + 2]) << 8 | uint32_t(unit[at + 3]);
    at += 4;
    const size_t len = std::min<size_t>(declared, unit.size() - at);
    if (len == 0) continue;
    if ((unit[at] & 0x1F) == 5) idr = true;
    static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), unit.begin() + std::ptrdiff_t(at),
               unit.begin() + std::ptrdiff_t(at + len));
    at += len;
  }
  return idr;
}

void append_record(std::vector<uint8_t>& out, RecordType type, uint8_t flags, int64_t stamp_ms,
                   std::span<const uint8_t> payload) {
  out.push_back(uint8_t(type));
  out.push_back(flags);
  out.push_back(0);
  out.push_back(0);
  put_le(out, payload.size(), 4);
  put_le(out, uint64_t(stamp_ms), 8);
  out.insert(out.end(), payload.begin(), payload.end());
}

void RecordReader::feed(std::span<const uint8_t> bytes) {
  if (bad_) return;
  // Consumed bytes are dropped before the buffer grows, so it holds about one record.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ > 65536) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

RecordReader::Status RecordReader::next(Record& out) {
  if (bad_) return Status::kBad;
  const size_t have = buffer_.size() - start_;
  if (have < kRecordHeaderSize) return Status::kNeedMore;
  const uint8_t* h = buffer_.data() + start_;
  const uint8_t type = h[0];
  const uint64_t length = get_le(h + 4, 4);
  if (type < uint8_t(RecordType::kReady) || type > uint8_t(RecordType::kAudio) ||
      length > kMaxRecordPayload) {
    bad_ = true;
    return Status::kBad;
  }
  if (have < kRecordHeaderSize + length) return Status::kNeedMore;
  out.type = RecordType(type);
  out.flags = h[1];
  out.stamp_ms = int64_t(get_le(h + 8, 8));
  out.payload.assign(h + kRecordHeaderSize, h + kRecordHeaderSize + length);
  start_ += kRecordHeaderSize + size_t(length);
  return Status::kRecord;
}

}  // namespace tessomar::cli::serve
