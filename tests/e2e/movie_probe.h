// Helpers of the end-to-end tests that check backed-up movies: archive times, outside tools
// (ffprobe, ffmpeg) and what they say about a file.
#pragma once

#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"

namespace tessomar::e2e {

// "YYYY/MM/DD hh:mm:ss" of yesterday at a time of day, local time (the simulator's archive
// holds the last 14 days). Channel 1 records all day except 06:30-06:59 and weekend nights.
inline std::string yesterday_at(int hour, int minute, int second = 0) {
  std::time_t now = std::time(nullptr) - 86400;
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, hour, minute, second);
  return buf;
}

struct StreamInfo {
  std::string codec_type, codec_name;
  int width = 0, height = 0;
  long frames = -1;
  double duration = -1;
};

// ffprobe's view of a file's streams (flat "key=value" output).
inline std::vector<StreamInfo> probe(const std::string& file) {
  std::string out, err;
  EXPECT_EQ(run_tool({"ffprobe", "-v", "error", "-count_packets", "-show_streams", "-of",
                      "flat=s=_", file},
                     &out, &err),
            0)
      << err;
  std::vector<StreamInfo> streams;
  std::regex line(R"re(streams_stream_(\d+)_(\w+)=(.*))re");
  std::istringstream in(out);
  std::string l;
  while (std::getline(in, l)) {
    std::smatch m;
    if (!std::regex_match(l, m, line)) continue;
    const size_t i = std::stoul(m[1]);
    if (streams.size() <= i) streams.resize(i + 1);
    std::string v = m[3];
    if (v.size() >= 2 && v.front() == '"') v = v.substr(1, v.size() - 2);
    StreamInfo& s = streams[i];
    const std::string key = m[2];
    if (key == "codec_type") s.codec_type = v;
    if (key == "codec_name") s.codec_name = v;
    if (key == "width") s.width = std::atoi(v.c_str());
    if (key == "height") s.height = std::atoi(v.c_str());
    if (key == "nb_read_packets") s.frames = std::atol(v.c_str());
    if (key == "duration" && v != "N/A") s.duration = std::atof(v.c_str());
  }
  return streams;
}

inline const StreamInfo* find_stream(const std::vector<StreamInfo>& s, const std::string& type) {
  for (const StreamInfo& i : s)
    if (i.codec_type == type) return &i;
  return nullptr;
}

// Decodes every stream; ffmpeg prints nothing for a sound file.
inline std::string decode_errors(const std::string& file) {
  std::string out, err;
  const int rc = run_tool({"ffmpeg", "-v", "error", "-i", file, "-f", "null", "-"}, &out, &err);
  if (rc != 0) err += "\nexit " + std::to_string(rc);
  return err;
}

}  // namespace tessomar::e2e
