// The RTSP bridge as other video software uses it: tessomar-cli serve on top of the simulated
// DVR, read by ffprobe and ffmpeg over RTSP (interleaved TCP) on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <sstream>

#include "e2e/e2e_support.h"

namespace tessomar::e2e {
namespace {

struct Bridge {
  Dvr dvr;
  std::unique_ptr<ChildProcess> serve;
  std::string rtsp;  // rtsp://127.0.0.1:PORT/

  bool start(std::vector<std::string> dvr_options, std::vector<std::string> serve_options = {}) {
    if (!dvr.start(std::move(dvr_options))) return false;
    std::vector<std::string> args{"serve",  "--dvr",       dvr.address, "--uk", dvr.dvr_uk,
                                  "--rtsp", "127.0.0.1:0", "--linger",  "1"};
    args.insert(args.end(), serve_options.begin(), serve_options.end());
    serve = start_cli(args);
    auto l = serve->wait_for_line(Stream::kStdout, "listening on rtsp://", kDeadline);
    if (!l) {
      ADD_FAILURE() << "bridge did not start:\n" << serve->all_output();
      return false;
    }
    rtsp = l->text.substr(std::string("listening on ").size());
    return true;
  }
  std::string url(const std::string& path, const std::string& credentials = "") const {
    std::string u = rtsp;
    if (!credentials.empty()) u.insert(std::string("rtsp://").size(), credentials + "@");
    return u + path;
  }
  std::string logs() const { return serve->all_output() + "\n" + dvr.process->all_output(); }
};

struct ToolRun {
  int code = -1;
  std::string out, err;
};

ToolRun run_tool(std::vector<std::string> argv) {
  ChildProcess p;
  std::string error;
  ToolRun r;
  if (!p.start(argv, &error)) {
    r.err = error;
    return r;
  }
  auto status = p.wait_exit(kDeadline * 2);
  r.out = p.output(Stream::kStdout);
  r.err = p.output(Stream::kStderr);
  if (status && status->exited) r.code = status->code;
  return r;
}

ToolRun probe(const std::string& url) {
  return run_tool({"ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-show_entries",
                   "stream=codec_name,width,height,sample_rate", "-of", "compact", url});
}

// Reads `frames` pictures without decoding them to a file: one framecrc line per picture.
std::vector<std::string> ffmpeg_args(const std::string& url, int frames) {
  return {
      "ffmpeg", "-v",   "error",     "-rtsp_transport",      "tcp", "-i",       url, "-map", "0:v",
      "-c",     "copy", "-frames:v", std::to_string(frames), "-f",  "framecrc", "-"};
}
size_t picture_lines(const std::string& framecrc) {
  size_t n = 0;
  std::istringstream in(framecrc);
  for (std::string line; std::getline(in, line);) n += !line.empty() && line[0] != '#';
  return n;
}

// The session keys the simulator opened, in order.
std::vector<std::string> opened_keys(ChildProcess& dvr) {
  std::vector<std::string> keys;
  dvr.pump(0);
  for (const auto& line : dvr.lines(Stream::kStderr)) {
    constexpr std::string_view kOpened = "session opened key=";
    if (line.rfind(kOpened, 0) == 0) {
      keys.push_back(line.substr(kOpened.size(), line.find(' ', kOpened.size()) - kOpened.size()));
    }
  }
  return keys;
}

std::string yesterday_noon() {
  const time_t t = time(nullptr) - 86400;
  tm local{};
  localtime_r(&t, &local);
  char text[32];
  strftime(text, sizeof text, "%Y%m%dT120000", &local);
  return text;
}

TEST(ServeRtsp, LiveChannelsSplitViewAndPlaybackReadAsH264) {
  Bridge b;
  ASSERT_TRUE(b.start({"--log-view-sets"}));
  struct Case {
    std::string path;
    std::string expected;  // ffprobe's compact lines
  };
  const std::vector<Case> cases{
      {"live/ch3", "stream|codec_name=h264|width=704|height=576\n"},
      {"live/split", "stream|codec_name=h264|width=704|height=576\n"},
      // Camera 1 carries its sound beside the pictures.
      {"live/ch1",
       "stream|codec_name=h264|width=704|height=576\nstream|codec_name=pcm_mulaw|sample_rate="
       "8000\n"},
      {"playback/ch5?start=" + yesterday_noon(), "stream|codec_name=h264|width=704|height=576\n"},
  };
  for (const auto& c : cases) {
    ToolRun r = probe(b.url(c.path));
    EXPECT_EQ(r.code, 0) << c.path << "\n" << r.err << b.logs();
    EXPECT_EQ(r.out, c.expected) << c.path;
  }
  // The playback stream put the DVR's session into playback of camera 5.
  EXPECT_TRUE(b.dvr.process->wait_for_line(Stream::kStdout, "view set: playback channel=4", 5s))
      << b.logs();

  ToolRun r = run_tool(ffmpeg_args(b.url("live/ch3"), 100));
  EXPECT_EQ(r.code, 0) << r.err << b.logs();
  EXPECT_EQ(picture_lines(r.out), 100u) << r.out;
}

TEST(ServeRtsp, CameraOneCarriesItsToneAsPcmu) {
  Bridge b;
  ASSERT_TRUE(b.start({}));
  ToolRun r = run_tool({"ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", b.url("live/ch1"),
                        "-map", "0:a", "-t", "4", "-f", "s16le", "-ac", "1", "-ar", "8000", "-"});
  ASSERT_EQ(r.code, 0) << r.err << b.logs();
  // The last two seconds: the simulator's 440 Hz tone with a 50 ms gap each second, so about
  // 418 cycles a second; fewer when a loaded machine makes the output fill gaps, never the
  // 660 Hz of camera 2.
  const size_t samples = r.out.size() / 2;
  ASSERT_GE(samples, 3u * 8000) << "too little sound";
  auto sample = [&](size_t i) {
    return int16_t(uint16_t(uint8_t(r.out[2 * i])) | uint16_t(uint8_t(r.out[2 * i + 1])) << 8);
  };
  size_t crossings = 0;
  for (size_t i = samples - 16000 + 1; i < samples; ++i) {
    crossings += (sample(i - 1) < 0) != (sample(i) < 0);
  }
  const double hz = double(crossings) / 2 / 2;
  EXPECT_GT(hz, 300) << "no tone";
  EXPECT_LT(hz, 460);
}

// A client that moves playback with a clock range, as NVRs do: DESCRIBE, SETUP over the
// RTSP connection, PLAY with "Range: clock=...", spoken by hand since ffmpeg sends none.
class RtspConnection {
 public:
  explicit RtspConnection(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RtspConnection() { ::close(fd_); }
  RtspConnection(const RtspConnection&) = delete;
  RtspConnection& operator=(const RtspConnection&) = delete;
  bool connected() const { return connected_; }

  // Sends a request and returns the head of its reply (interleaved data before it skipped).
  std::string request(const std::string& method, const std::string& url,
                      const std::string& headers) {
    const std::string text = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) +
                             "\r\n" + headers + "\r\n";
    if (::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size())) return "";
    for (;;) {
      // RTP and RTCP come as '$', channel, 16-bit length, data.
      while (buffer_.size() >= 4 && buffer_[0] == '$') {
        const size_t n = 4 + (size_t(uint8_t(buffer_[2])) << 8 | uint8_t(buffer_[3]));
        if (buffer_.size() < n) break;
        interleaved_bytes_ += n;
        buffer_.erase(0, n);
      }
      const size_t end = buffer_.find("\r\n\r\n");
      if (!buffer_.empty() && buffer_[0] != '$' && end != std::string::npos) {
        std::string head = buffer_.substr(0, end + 4);
        size_t length = 0;
        if (auto at = head.find("Content-Length: "); at != std::string::npos) {
          length = std::stoul(head.substr(at + 16));
        }
        if (buffer_.size() >= end + 4 + length) {
          body_ = buffer_.substr(end + 4, length);
          buffer_.erase(0, end + 4 + length);
          return head;
        }
      }
      if (!receive()) return "";
    }
  }
  const std::string& body() const { return body_; }
  // Reads interleaved media for a while; returns the bytes seen.
  size_t read_media(std::chrono::milliseconds how_long) {
    const auto until = std::chrono::steady_clock::now() + how_long;
    while (std::chrono::steady_clock::now() < until && receive()) {
    }
    return interleaved_bytes_ + buffer_.size();
  }

 private:
  bool receive() {
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, size_t(n));
    return true;
  }
  int fd_ = -1;
  bool connected_ = false;
  int cseq_ = 0;
  std::string buffer_;
  std::string body_;
  size_t interleaved_bytes_ = 0;
};

TEST(ServeRtsp, PlayWithAClockRangeMovesPlayback) {
  Bridge b;
  ASSERT_TRUE(b.start({"--log-view-sets"}));
  const std::string day = yesterday_noon().substr(0, 8);
  const int port = std::stoi(b.rtsp.substr(b.rtsp.rfind(':') + 1));
  RtspConnection c(port);
  ASSERT_TRUE(c.connected());
  const std::string url = b.url("playback/ch2?start=" + day + "T120000");
  std::string head = c.request("DESCRIBE", url, "Accept: application/sdp\r\n");
  ASSERT_EQ(head.rfind("RTSP/1.0 200", 0), 0u) << head << b.logs();
  ASSERT_NE(c.body().find("H264"), std::string::npos) << c.body();
  const size_t base_at = head.find("Content-Base: ");
  ASSERT_NE(base_at, std::string::npos) << head;
  const std::string base = head.substr(base_at + 14, head.find("\r\n", base_at) - base_at - 14);
  head =
      c.request("SETUP", base + "stream=0", "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  ASSERT_EQ(head.rfind("RTSP/1.0 200", 0), 0u) << head;
  const size_t session_at = head.find("Session: ");
  ASSERT_NE(session_at, std::string::npos);
  const std::string session =
      head.substr(session_at + 9, head.find_first_of(";\r", session_at) - session_at - 9);
  const size_t sets_before = b.dvr.process->lines(Stream::kStdout).size();
  head =
      c.request("PLAY", base, "Session: " + session + "\r\nRange: clock=" + day + "T150000Z-\r\n");
  ASSERT_EQ(head.rfind("RTSP/1.0 200", 0), 0u) << head << b.logs();
  EXPECT_TRUE(b.serve->wait_for_line(Stream::kStderr, "playing from clock", 5s)) << b.logs();
  // The worker placed playback again: a new playback view set of camera 2.
  EXPECT_TRUE(b.dvr.process->wait_for_line(Stream::kStdout, "view set: playback channel=1", 10s,
                                           sets_before))
      << b.logs();
  EXPECT_GT(c.read_media(2s), 10000u);
}

TEST(ServeRtsp, BadPathsAndTimesAreRefused) {
  Bridge b;
  ASSERT_TRUE(b.start({}));
  const std::vector<std::pair<std::string, std::string>> cases{
      {"live/ch17", "404"},
      {"playback/split", "404"},
      {"playback/ch2", "400"},                            // no start
      {"playback/ch2?start=20261301T120000", "400"},      // month 13
      {"playback/ch2?start=2026-12-01T12:00:00", "400"},  // not the compact form
  };
  for (const auto& [path, status] : cases) {
    ToolRun r = probe(b.url(path));
    EXPECT_NE(r.code, 0) << path;
    EXPECT_NE(r.err.find(status), std::string::npos) << path << ": " << r.err;
  }
  // Nothing was asked of the DVR.
  EXPECT_TRUE(opened_keys(*b.dvr.process).empty()) << b.logs();
}

TEST(ServeRtsp, TwoClientsOnTwoChannelsAtOnceEachWithItsSession) {
  Bridge b;
  ASSERT_TRUE(b.start({"--log-view-sets"}));
  ChildProcess first, second;
  std::string error;
  ASSERT_TRUE(first.start(ffmpeg_args(b.url("live/ch2"), 75), &error)) << error;
  ASSERT_TRUE(second.start(ffmpeg_args(b.url("live/ch7"), 75), &error)) << error;
  auto s1 = first.wait_exit(kDeadline * 2);
  auto s2 = second.wait_exit(kDeadline * 2);
  ASSERT_TRUE(s1 && s2);
  EXPECT_EQ(s1->code, 0) << first.all_output() << b.logs();
  EXPECT_EQ(s2->code, 0) << second.all_output() << b.logs();
  EXPECT_EQ(picture_lines(first.output(Stream::kStdout)), 75u);
  EXPECT_EQ(picture_lines(second.output(Stream::kStdout)), 75u);
  EXPECT_EQ(opened_keys(*b.dvr.process).size(), 2u) << b.logs();
  EXPECT_TRUE(b.dvr.process->wait_for_line(Stream::kStdout, "channel=1", 5s));
  EXPECT_TRUE(b.dvr.process->wait_for_line(Stream::kStdout, "channel=6", 5s));
}

TEST(ServeRtsp, AClientLeavingFreesTheDvrSessionAfterTheLinger) {
  Bridge b;
  ASSERT_TRUE(b.start({}));
  ChildProcess client;
  std::string error;
  ASSERT_TRUE(client.start(ffmpeg_args(b.url("live/ch4"), 100000), &error)) << error;
  ASSERT_TRUE(b.serve->wait_for_line(Stream::kStderr, "live/ch4: DVR session open", kDeadline))
      << b.logs();
  const auto keys = opened_keys(*b.dvr.process);
  ASSERT_EQ(keys.size(), 1u) << b.logs();
  // The session stays while the client watches.
  client.pump(1500);
  EXPECT_TRUE(client.running());
  EXPECT_FALSE(b.dvr.process->wait_for_line(Stream::kStderr, "session idle key=" + keys[0], 0ms));

  client.kill_now();  // gone without a TEARDOWN, as a crashed player
  EXPECT_TRUE(b.serve->wait_for_line(Stream::kStderr, "live/ch4: no clients for", kDeadline))
      << b.logs();
  EXPECT_TRUE(
      b.dvr.process->wait_for_line(Stream::kStderr, "session idle key=" + keys[0], kDeadline))
      << b.logs();
  // A new client opens a fresh session.
  ToolRun r = probe(b.url("live/ch4"));
  EXPECT_EQ(r.code, 0) << r.err << b.logs();
  EXPECT_EQ(opened_keys(*b.dvr.process).size(), 2u);
}

struct LimitCase {
  const char* name;
  std::vector<std::string> dvr_options;
  std::vector<std::string> serve_options;
  std::string reason;  // in the bridge's log
};

class ServeSessionLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ServeSessionLimit, AChannelBeyondTheLimitAnswers503) {
  const LimitCase& c = GetParam();
  Bridge b;
  ASSERT_TRUE(b.start(c.dvr_options, c.serve_options));
  ChildProcess watcher;
  std::string error;
  ASSERT_TRUE(watcher.start(ffmpeg_args(b.url("live/ch1"), 100000), &error)) << error;
  ASSERT_TRUE(b.serve->wait_for_line(Stream::kStderr, "live/ch1: DVR session open", kDeadline))
      << b.logs();

  ToolRun r = probe(b.url("live/ch2"));
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("503"), std::string::npos) << r.err;
  EXPECT_TRUE(b.serve->wait_for_line(Stream::kStderr, "live/ch2: refused: " + c.reason, 5s))
      << b.logs();
  // The watched channel goes on.
  watcher.pump(500);
  EXPECT_TRUE(watcher.running()) << watcher.all_output();
  // Once it is left, the other channel gets the session.
  watcher.kill_now();
  ASSERT_TRUE(b.serve->wait_for_line(Stream::kStderr, "live/ch1: DVR session closed", kDeadline))
      << b.logs();
  r = probe(b.url("live/ch2"));
  EXPECT_EQ(r.code, 0) << r.err << b.logs();
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ServeSessionLimit,
    ::testing::Values(LimitCase{"dvr_refuses", {"--max-sessions", "1"}, {}, "the DVR refused"},
                      LimitCase{"bridge_limit",
                                {},
                                {"--max-sessions", "1"},
                                "the DVR's session limit (1) is reached"}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

// A DVR that keeps the session but sends no pictures (every video record lost): the client
// gets 503 after the picture timeout instead of waiting in DESCRIBE for ever.
TEST(ServeRtsp, ASessionWithoutPicturesAnswers503AfterThePictureTimeout) {
  Bridge b;
  ASSERT_TRUE(b.start({"--fault-drop-records", "1"}, {"--picture-timeout", "2"}));
  ToolRun r = probe(b.url("live/ch3"));
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("503"), std::string::npos) << r.err << b.logs();
  EXPECT_TRUE(b.serve->wait_for_line(
      Stream::kStderr, "live/ch3: refused: no picture from the DVR in 2.0 s", kDeadline))
      << b.logs();
  EXPECT_TRUE(b.serve->wait_for_line(Stream::kStderr, "live/ch3: DVR session closed", kDeadline))
      << b.logs();
}

TEST(ServeRtsp, DigestAuthenticationRefusesAWrongPassword) {
  Bridge b;
  ASSERT_TRUE(b.start({}, {"--rtsp-user", "viewer", "--rtsp-password", "s3cret"}));
  for (const std::string credentials : {"", "viewer:wrong", "other:s3cret"}) {
    ToolRun r = probe(b.url("live/ch3", credentials));
    EXPECT_NE(r.code, 0) << credentials;
    EXPECT_NE(r.err.find("401"), std::string::npos) << credentials << ": " << r.err;
  }
  // Refused clients never reached the DVR.
  EXPECT_TRUE(opened_keys(*b.dvr.process).empty()) << b.logs();
  ToolRun r = probe(b.url("live/ch3", "viewer:s3cret"));
  EXPECT_EQ(r.code, 0) << r.err << b.logs();
  EXPECT_EQ(r.out, "stream|codec_name=h264|width=704|height=576\n");
}

TEST(ServeRtsp, HelpAndBadOptions) {
  std::string out, err;
  EXPECT_EQ(run_cli({"serve", "--help"}, &out, &err), 0);
  EXPECT_NE(out.find("live/split"), std::string::npos) << out;
  EXPECT_EQ(run_cli({"serve", "--dvr", "127.0.0.1:1", "--uk", "x", "--rtsp-user", "u"}, &out, &err),
            2);
  EXPECT_NE(err.find("--rtsp-password"), std::string::npos) << err;
  EXPECT_EQ(run_cli({"serve", "--rtsp", "127.0.0.1:0"}, &out, &err), 2);
}

}  // namespace
}  // namespace tessomar::e2e
