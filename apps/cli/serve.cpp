// `tessomar-cli serve`: the DVR's live views and recordings as RTSP streams for other video
// software. GStreamer's RTSP server answers the clients; each stream's access units come from
// a worker process (`serve --worker`) that runs one control on its own DVR session, since the
// control is one instance per process. Units go into an appsrc and out as RTP/H.264 unchanged;
// cameras 1 and 2 also carry their 8 kHz sound as PCMU.
#include "serve.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "serve_protocol.h"

namespace tessomar::cli {

namespace {

using serve::Record;
using serve::RecordType;
using serve::StreamRequest;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kDefaultMaxSessions = 4;
constexpr double kDefaultLingerSeconds = 3;
constexpr double kDefaultPictureTimeoutSeconds = 20;
constexpr int kClientThreads = 32;
constexpr guint kReapIntervalMs = 250;
constexpr uint32_t kSilenceSamples = 160;  // 20 ms at 8 kHz
// How far a picture's stamp may run from the pipeline's clock before it is anchored again.
constexpr int64_t kMaxDriftNs = 500 * int64_t(GST_MSECOND);

void log_line(const std::string& line) {
  std::fprintf(stderr, "serve: %s\n", line.c_str());
  std::fflush(stderr);
}

int64_t unix_now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

struct BridgeOptions {
  DvrOptions dvr;
  std::string rtsp_host = "0.0.0.0";
  std::string rtsp_port = "8554";
  std::string user;
  std::string password;
  uint32_t max_sessions = kDefaultMaxSessions;
  double linger_s = kDefaultLingerSeconds;
  // A new session that has sent no key frame by then fails, and its clients get 503.
  double picture_timeout_s = kDefaultPictureTimeoutSeconds;
  std::string trace_path;  // one line per access unit pushed, for latency measurements
};

// The unit trace: push time, picture time and a hash of the unit's last NAL unit, which a
// client can find again in what it receives.
class Trace {
 public:
  explicit Trace(const std::string& path) {
    if (!path.empty()) file_ = std::fopen(path.c_str(), "w");
  }
  ~Trace() {
    if (file_) std::fclose(file_);
  }
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;
  void unit(const std::string& key, const std::vector<uint8_t>& annex_b, int64_t picture_unix_ms) {
    if (!file_) return;
    // FNV-1a over the bytes after the last start code.
    size_t last = 0;
    for (size_t i = 0; i + 4 <= annex_b.size(); ++i) {
      if (annex_b[i] == 0 && annex_b[i + 1] == 0 && annex_b[i + 2] == 0 && annex_b[i + 3] == 1) {
        last = i + 4;
      }
    }
    // Trailing zero bytes are not the NAL unit's (a receiver cannot tell them from the
    // next start code).
    size_t end = annex_b.size();
    while (end > last && annex_b[end - 1] == 0) --end;
    uint64_t h = 1469598103934665603ull;
    for (size_t i = last; i < end; ++i) h = (h ^ annex_b[i]) * 1099511628211ull;
    std::lock_guard lock(mutex_);
    std::fprintf(file_,
                 "%s push_unix_ms=%" PRId64 " picture_unix_ms=%" PRId64 " nal=%016" PRIx64 "\n",
                 key.c_str(), unix_now_ms(), picture_unix_ms, h);
    std::fflush(file_);
  }

 private:
  std::FILE* file_ = nullptr;
  std::mutex mutex_;
};

// The appsrcs of one prepared media and how far its stream has got.
struct Sink {
  GstElement* video = nullptr;
  GstElement* audio = nullptr;  // null for streams without sound
  bool waiting_key = true;      // the first unit it gets is a key frame
  bool audio_started = false;
  bool pulling = false;  // the pipeline asked for data: an error now reaches its bus
  bool error_posted = false;
  GstClockTime anchor_running = GST_CLOCK_TIME_NONE;
  int64_t anchor_picture_ms = 0;
  GstClockTime last_stamp = GST_CLOCK_TIME_NONE;
};

// One DVR session: the worker process, the thread reading its records and the media fed from
// it (usually one, shared by every client; requests that differ only in their spelling get
// media of their own). A refused stream has no process and only fails.
class Worker {
 public:
  Worker(std::string key, StreamRequest request, Trace& trace)
      : key_(std::move(key)), request_(request), trace_(trace) {}
  ~Worker() {
    stop();
    if (reader_.joinable()) reader_.join();
    for (auto& sink : sinks_) release(*sink);
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  const std::string& key() const { return key_; }
  const StreamRequest& request() const { return request_; }

  // Starts the process; false (and failed) when it cannot.
  bool spawn(const std::string& exe, const BridgeOptions& opts) {
    std::vector<std::string> args{exe, "serve", "--worker", "--record-fd", "3"};
    for (const auto& p : opts.dvr.params) {
      args.push_back("--param");
      args.push_back(p.name + "=" + p.value);
    }
    args.push_back("--timeout");
    args.push_back(std::to_string(opts.dvr.timeout_s));
    args.push_back("--view");
    args.push_back(std::to_string(request_.view));
    if (request_.playback) {
      args.push_back("--playback-from");
      args.push_back(std::to_string(request_.start_time));
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int records[2], commands[2];
    if (::pipe2(records, O_CLOEXEC) != 0)
      return fail_now("no pipe: " + std::string(strerror(errno)));
    if (::pipe2(commands, O_CLOEXEC) != 0) {
      ::close(records[0]);
      ::close(records[1]);
      return fail_now("no pipe: " + std::string(strerror(errno)));
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Only async-signal-safe calls until exec. The worker ends with the bridge: its stdin
      // closes then, however the bridge ended (a parent-death signal would follow the client
      // thread that forked, not the process).
      ::dup2(commands[0], 0);
      if (records[1] == 3) {
        ::fcntl(3, F_SETFD, 0);
      } else {
        ::dup2(records[1], 3);
      }
      ::execv(exe.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(records[1]);
    ::close(commands[0]);
    if (pid < 0) {
      ::close(records[0]);
      ::close(commands[1]);
      return fail_now("cannot start a worker: " + std::string(strerror(errno)));
    }
    pid_ = pid;
    command_fd_ = commands[1];
    spawned_at_ = Clock::now();
    log_line(key_ + ": opening a DVR session (worker " + std::to_string(pid) + ")");
    reader_ = std::thread([this, fd = records[0]] { read_records(fd); });
    return true;
  }

  // A stream that is refused before any process: its media fails to prepare.
  void refuse(const std::string& reason) { fail(reason); }

  // A session whose DVR has sent no key frame within `timeout` of its start fails with a
  // logged reason (a camera without signal would otherwise leave DESCRIBE waiting). True
  // when it failed now.
  bool fail_if_no_picture(double timeout_s) {
    {
      std::lock_guard lock(mutex_);
      if (failed_ || got_key_frame_ || !spawned_at_ ||
          Clock::now() - *spawned_at_ < std::chrono::milliseconds(int64_t(timeout_s * 1000)))
        return false;
    }
    char text[80];
    std::snprintf(text, sizeof text, "no picture from the DVR in %.1f s", timeout_s);
    fail(text);
    return true;
  }

  // A media's appsrcs (audio may be null); the returned sink names it until detach.
  Sink* attach(GstElement* video, GstElement* audio) {
    std::lock_guard lock(mutex_);
    auto sink = std::make_unique<Sink>();
    sink->video = GST_ELEMENT(gst_object_ref(video));
    sink->audio = audio ? GST_ELEMENT(gst_object_ref(audio)) : nullptr;
    sinks_.push_back(std::move(sink));
    linger_until_.reset();
    return sinks_.back().get();
  }
  void detach(Sink* sink, double linger_s) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(sinks_.begin(), sinks_.end(),
                           [sink](const auto& s) { return s.get() == sink; });
    if (it == sinks_.end()) return;
    release(**it);
    sinks_.erase(it);
    if (sinks_.empty()) {
      linger_until_ = Clock::now() + std::chrono::milliseconds(int64_t(linger_s * 1000));
    }
  }
  // The pipeline asks for data: from now on an error reaches its bus.
  void on_need_data(Sink* sink) {
    std::lock_guard lock(mutex_);
    sink->pulling = true;
    post_error_if_failed(*sink);
  }

  bool failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
  }
  bool finished() const { return finished_.load(); }
  bool unused_since_linger() const {
    std::lock_guard lock(mutex_);
    return sinks_.empty() && linger_until_ && Clock::now() >= *linger_until_;
  }
  bool unused() const {
    std::lock_guard lock(mutex_);
    return sinks_.empty();
  }

  // Ends the session: the worker sees its stdin close and leaves the DVR.
  void stop() {
    std::lock_guard lock(mutex_);
    if (command_fd_ >= 0) {
      ::close(command_fd_);
      command_fd_ = -1;
    }
  }
  // Moves playback to another time.
  void seek(uint32_t device_time) {
    std::lock_guard lock(mutex_);
    if (command_fd_ < 0) return;
    const std::string line = "seek " + std::to_string(device_time) + "\n";
    if (::write(command_fd_, line.data(), line.size()) < 0) {
      log_line(key_ + ": seek not sent: " + strerror(errno));
    }
  }

 private:
  bool fail_now(const std::string& reason) {
    fail(reason);
    finished_ = true;
    return false;
  }

  void fail(const std::string& reason) {
    std::lock_guard lock(mutex_);
    if (failed_) return;
    failed_ = true;
    reason_ = reason;
    log_line(key_ + (ending_ ? ": " : ": refused: ") + reason);
    for (auto& sink : sinks_) post_error_if_failed(*sink);
  }

  // Called with the lock held.
  void post_error_if_failed(Sink& sink) {
    if (!failed_ || !sink.pulling || sink.error_posted) return;
    sink.error_posted = true;
    GError* error =
        g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ, reason_.c_str());
    gst_element_post_message(sink.video,
                             gst_message_new_error(GST_OBJECT(sink.video), error, reason_.c_str()));
    g_error_free(error);
  }

  static void release(Sink& sink) {
    gst_object_unref(sink.video);
    if (sink.audio) gst_object_unref(sink.audio);
  }

  void push(GstElement* src, const uint8_t* data, size_t size,
            GstClockTime stamp = GST_CLOCK_TIME_NONE) {
    GstBuffer* buffer = gst_buffer_new_memdup(data, size);
    GST_BUFFER_PTS(buffer) = stamp;
    GST_BUFFER_DTS(buffer) = stamp;
    gst_app_src_push_buffer(GST_APP_SRC(src), buffer);
  }

  // A picture's time on the pipeline's clock: the DVR's own spacing of pictures, anchored to
  // the running time at the first one and again whenever the two drift apart, so players see
  // even steps where pictures arrive in bursts. Unset (the appsrc stamps it) while the
  // pipeline has no clock. Called with the lock held.
  static GstClockTime picture_stamp(Sink& sink, int64_t picture_ms) {
    GstClock* clock = gst_element_get_clock(sink.video);
    if (clock == nullptr) return GST_CLOCK_TIME_NONE;
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const GstClockTime base = gst_element_get_base_time(sink.video);
    if (now < base) return GST_CLOCK_TIME_NONE;
    const GstClockTime running = now - base;
    const int64_t step_ns = (picture_ms - sink.anchor_picture_ms) * int64_t(GST_MSECOND);
    const bool anchored = GST_CLOCK_TIME_IS_VALID(sink.anchor_running);
    const int64_t stamp = anchored ? int64_t(sink.anchor_running) + step_ns : 0;
    const int64_t drift = stamp - int64_t(running);
    if (!anchored || step_ns <= 0 || drift > kMaxDriftNs || drift < -kMaxDriftNs ||
        stamp <= int64_t(sink.last_stamp)) {
      sink.anchor_running = running;
      sink.anchor_picture_ms = picture_ms;
      sink.last_stamp =
          std::max(running, GST_CLOCK_TIME_IS_VALID(sink.last_stamp) ? sink.last_stamp + 1 : 0);
      return sink.last_stamp;
    }
    sink.last_stamp = GstClockTime(stamp);
    return sink.last_stamp;
  }

  void on_record(const Record& r) {
    switch (r.type) {
      case RecordType::kReady:
        log_line(key_ + ": DVR session open (" + std::string(r.payload.begin(), r.payload.end()) +
                 ")");
        return;
      case RecordType::kFailed:
        fail(std::string(r.payload.begin(), r.payload.end()));
        return;
      case RecordType::kVideo: {
        std::lock_guard lock(mutex_);
        if (r.flags & serve::kFlagKeyFrame) got_key_frame_ = true;
        bool pushed = false;
        for (auto& sink : sinks_) {
          if (sink->waiting_key && !(r.flags & serve::kFlagKeyFrame)) continue;
          sink->waiting_key = false;
          // A media with sound prepares once both streams have data; the DVR may send none.
          if (sink->audio && !sink->audio_started) {
            static const std::array<uint8_t, kSilenceSamples * 2> kSilence{};
            push(sink->audio, kSilence.data(), kSilence.size());
            sink->audio_started = true;
          }
          push(sink->video, r.payload.data(), r.payload.size(), picture_stamp(*sink, r.stamp_ms));
          pushed = true;
        }
        if (pushed) trace_.unit(key_, r.payload, r.stamp_ms);
        return;
      }
      case RecordType::kAudio: {
        std::lock_guard lock(mutex_);
        for (auto& sink : sinks_) {
          if (sink->audio && !sink->waiting_key) {
            push(sink->audio, r.payload.data(), r.payload.size());
          }
        }
        return;
      }
    }
  }

  void read_records(int fd) {
    serve::RecordReader reader;
    Record record;
    std::vector<uint8_t> buffer(65536);
    bool bad = false;
    while (!bad) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      reader.feed({buffer.data(), size_t(n)});
      for (;;) {
        const auto status = reader.next(record);
        if (status == serve::RecordReader::Status::kNeedMore) break;
        if (status == serve::RecordReader::Status::kBad) {
          bad = true;
          break;
        }
        on_record(record);
      }
    }
    ::close(fd);
    stop();
    // The worker leaves within a tick of its stdin closing; a stuck one is ended.
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 100 && (done = ::waitpid(pid_, &status, WNOHANG)) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (done == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    fail(bad ? "the worker's records were damaged"
             : "the worker ended (status " + std::to_string(status) + ")");
    {
      std::lock_guard lock(mutex_);
      // Clients still watching get the end of the stream.
      for (auto& sink : sinks_) {
        if (!sink->error_posted) gst_app_src_end_of_stream(GST_APP_SRC(sink->video));
      }
    }
    log_line(key_ + ": DVR session closed");
    finished_ = true;
  }

  const std::string key_;
  const StreamRequest request_;
  Trace& trace_;
  std::thread reader_;
  std::atomic<bool> finished_{false};
  pid_t pid_ = -1;

  mutable std::mutex mutex_;
  int command_fd_ = -1;
  std::vector<std::unique_ptr<Sink>> sinks_;
  bool failed_ = false;
  bool ending_ = false;  // the worker's own end, not a refusal
  std::string reason_;
  std::optional<Clock::time_point> linger_until_;
  std::optional<Clock::time_point> spawned_at_;
  bool got_key_frame_ = false;
};

// The DVR sessions by stream: shared by every client of a stream, kept for the linger time
// after the last one left, never more than the DVR allows.
class Hub {
 public:
  Hub(BridgeOptions options, std::string exe)
      : options_(std::move(options)), exe_(std::move(exe)), trace_(options_.trace_path) {}
  ~Hub() { stop_all(); }
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  const BridgeOptions& options() const { return options_; }

  std::shared_ptr<Worker> acquire(const StreamRequest& request) {
    std::lock_guard lock(mutex_);
    drop_ended();
    const std::string key = request.key();
    if (auto it = workers_.find(key); it != workers_.end()) return it->second;
    if (workers_.size() >= options_.max_sessions) {
      // A session nobody watches gives way to one that is asked for.
      for (auto it = workers_.begin(); it != workers_.end(); ++it) {
        if (it->second->unused()) {
          log_line(it->first + ": closing the unwatched DVR session for " + key);
          retire(it);
          break;
        }
      }
    }
    auto worker = std::make_shared<Worker>(key, request, trace_);
    if (workers_.size() >= options_.max_sessions) {
      worker->refuse("the DVR's session limit (" + std::to_string(options_.max_sessions) +
                     ") is reached");
      return worker;
    }
    if (worker->spawn(exe_, options_)) workers_[key] = worker;
    return worker;
  }

  // A stream that gets no session: its media fails to prepare (503).
  std::shared_ptr<Worker> refused(const std::string& reason) {
    auto worker = std::make_shared<Worker>("?", StreamRequest{}, trace_);
    worker->refuse(reason);
    return worker;
  }

  // Sessions of playback streams of a camera, for a client's clock range.
  std::vector<std::shared_ptr<Worker>> playback_workers(uint32_t view) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Worker>> out;
    for (auto& [key, w] : workers_) {
      if (w->request().playback && w->request().view == view && !w->unused()) out.push_back(w);
    }
    return out;
  }

  // Closes the sessions unwatched for the linger time; forgets ended ones.
  void reap() {
    std::lock_guard lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (it->second->fail_if_no_picture(options_.picture_timeout_s)) {
        it = retire(it);
      } else if (it->second->unused_since_linger()) {
        char text[64];
        std::snprintf(text, sizeof text, ": no clients for %.1f s, closing the DVR session",
                      options_.linger_s);
        log_line(it->first + text);
        it = retire(it);
      } else {
        ++it;
      }
    }
    drop_ended();
    for (auto it = stopping_.begin(); it != stopping_.end();) {
      it = (*it)->finished() ? stopping_.erase(it) : std::next(it);
    }
  }

  void stop_all() {
    std::lock_guard lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) it = retire(it);
    stopping_.clear();  // each joins its reader, which waits for its process
  }

 private:
  using Map = std::map<std::string, std::shared_ptr<Worker>>;
  Map::iterator retire(Map::iterator it) {
    it->second->stop();
    stopping_.push_back(it->second);
    return workers_.erase(it);
  }
  // A failed session (refused, ended) is not reused: the next client tries afresh.
  void drop_ended() {
    for (auto it = workers_.begin(); it != workers_.end();) {
      it = it->second->failed() ? retire(it) : std::next(it);
    }
  }

  BridgeOptions options_;
  std::string exe_;
  Trace trace_;
  std::mutex mutex_;
  Map workers_;
  std::vector<std::shared_ptr<Worker>> stopping_;
};

// Ties one prepared media to its session until the media is unprepared.
struct MediaLink {
  Hub* hub = nullptr;
  std::shared_ptr<Worker> worker;
  Sink* sink = nullptr;
  bool detached = false;
  void detach() {
    if (detached) return;
    detached = true;
    worker->detach(sink, hub->options().linger_s);
  }
};

void on_need_data(GstAppSrc*, guint, gpointer data) {
  static_cast<MediaLink*>(data)->worker->on_need_data(static_cast<MediaLink*>(data)->sink);
}

void on_unprepared(GstRTSPMedia*, gpointer data) { static_cast<MediaLink*>(data)->detach(); }

void free_media_link(gpointer data) {
  auto* link = static_cast<MediaLink*>(data);
  link->detach();
  delete link;
}

void on_media_configure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data) {
  auto* hub = static_cast<Hub*>(data);
  GstRTSPContext* ctx = gst_rtsp_context_get_current();
  std::string error;
  std::optional<StreamRequest> request;
  if (ctx && ctx->uri) {
    request = serve::parse_stream_path(ctx->uri->abspath ? ctx->uri->abspath : "",
                                       ctx->uri->query ? ctx->uri->query : "", error);
  }
  auto* link = new MediaLink{hub, nullptr};
  // The path was checked before DESCRIBE; a configure without one has nothing to serve.
  link->worker =
      request ? hub->acquire(*request) : hub->refused(error.empty() ? "no request" : error);
  GstElement* bin = gst_rtsp_media_get_element(media);
  GstElement* video = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "video");
  GstElement* audio = gst_bin_get_by_name_recurse_up(GST_BIN(bin), "audio");
  link->sink = link->worker->attach(video, audio);
  g_signal_connect(video, "need-data", G_CALLBACK(on_need_data), link);
  g_signal_connect(media, "unprepared", G_CALLBACK(on_unprepared), link);
  g_object_set_data_full(G_OBJECT(media), "tessomar-link", link, free_media_link);
  gst_object_unref(video);
  if (audio) gst_object_unref(audio);
  gst_object_unref(bin);
}

// Paths and queries are checked before anything is built: a bad one is the client's error.
GstRTSPStatusCode on_pre_describe(GstRTSPClient*, GstRTSPContext* ctx, gpointer) {
  if (!ctx || !ctx->uri) return GST_RTSP_STS_OK;
  std::string error;
  if (!serve::parse_stream_path(ctx->uri->abspath ? ctx->uri->abspath : "",
                                ctx->uri->query ? ctx->uri->query : "", error)) {
    log_line("bad request: " + error);
    return error.rfind("unknown", 0) == 0 ? GST_RTSP_STS_NOT_FOUND : GST_RTSP_STS_BAD_REQUEST;
  }
  return GST_RTSP_STS_OK;
}

// A clock range moves the playback session there; the range is taken off the request, since
// the stream itself cannot seek.
GstRTSPStatusCode on_pre_play(GstRTSPClient*, GstRTSPContext* ctx, gpointer data) {
  auto* hub = static_cast<Hub*>(data);
  if (!ctx || !ctx->request || !ctx->uri || !ctx->uri->abspath) return GST_RTSP_STS_OK;
  gchar* range = nullptr;
  if (gst_rtsp_message_get_header(ctx->request, GST_RTSP_HDR_RANGE, &range, 0) != GST_RTSP_OK) {
    return GST_RTSP_STS_OK;
  }
  const auto start = serve::parse_clock_range(range ? range : "");
  if (!start) return GST_RTSP_STS_OK;
  std::string path = ctx->uri->abspath;
  std::string error;
  auto request = serve::parse_stream_path(path, "start=20000101T000000", error);
  if (!request || !request->playback) return GST_RTSP_STS_OK;
  for (auto& w : hub->playback_workers(request->view)) w->seek(*start);
  log_line(path + ": playing from clock " + std::string(range));
  gst_rtsp_message_remove_header(ctx->request, GST_RTSP_HDR_RANGE, -1);
  return GST_RTSP_STS_OK;
}

void on_client_connected(GstRTSPServer*, GstRTSPClient* client, gpointer data) {
  g_signal_connect(client, "pre-describe-request", G_CALLBACK(on_pre_describe), data);
  g_signal_connect(client, "pre-play-request", G_CALLBACK(on_pre_play), data);
}

gboolean on_reap(gpointer data) {
  static_cast<Hub*>(data)->reap();
  return G_SOURCE_CONTINUE;
}

gboolean on_quit_signal(gpointer data) {
  g_main_loop_quit(static_cast<GMainLoop*>(data));
  return G_SOURCE_REMOVE;
}

std::string launch_text(bool sound) {
  // The units already carry their parameter sets; the payloader repeats them before each
  // key frame for clients that join late.
  std::string text =
      "( appsrc name=video is-live=true do-timestamp=true format=time max-bytes=4000000 "
      "caps=video/x-h264,stream-format=byte-stream,alignment=au "
      "! rtph264pay name=pay0 pt=96 config-interval=-1 ";
  if (sound) {
    text +=
        "appsrc name=audio is-live=true do-timestamp=true format=time max-bytes=64000 "
        "caps=audio/x-raw,format=S16LE,rate=8000,channels=1,layout=interleaved "
        "! mulawenc ! rtppcmupay name=pay1 pt=0 ";
  }
  return text + ")";
}

bool parse_bridge_args(Args args, BridgeOptions& out, std::string& error) {
  if (!take_dvr_options(args, out.dvr, error)) return false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i + 1 >= args.size()) {
      error = "unknown option " + a;
      return false;
    }
    const std::string& v = args[++i];
    if (a == "--rtsp") {
      const size_t colon = v.rfind(':');
      int32_t port = 0;
      if (colon == std::string::npos || colon == 0 ||
          !shell::text_to_int32(v.substr(colon + 1), port) || port < 0 || port > 65535) {
        error = "--rtsp takes ADDRESS:PORT, not \"" + v + "\"";
        return false;
      }
      out.rtsp_host = v.substr(0, colon);
      if (out.rtsp_host.size() > 2 && out.rtsp_host.front() == '[') {
        out.rtsp_host = out.rtsp_host.substr(1, out.rtsp_host.size() - 2);
      }
      out.rtsp_port = std::to_string(port);
    } else if (a == "--rtsp-user") {
      out.user = v;
    } else if (a == "--rtsp-password") {
      out.password = v;
    } else if (a == "--max-sessions") {
      int32_t n = 0;
      if (!shell::text_to_int32(v, n) || n < 1 || n > 64) {
        error = "bad --max-sessions \"" + v + "\" (1-64)";
        return false;
      }
      out.max_sessions = uint32_t(n);
    } else if (a == "--linger") {
      char* end = nullptr;
      out.linger_s = std::strtod(v.c_str(), &end);
      if (!end || *end || out.linger_s < 0 || out.linger_s > 3600) {
        error = "bad --linger \"" + v + "\" (seconds, 0-3600)";
        return false;
      }
    } else if (a == "--picture-timeout") {
      char* end = nullptr;
      out.picture_timeout_s = std::strtod(v.c_str(), &end);
      if (!end || *end || !(out.picture_timeout_s >= 0.5 && out.picture_timeout_s <= 3600)) {
        error = "bad --picture-timeout \"" + v + "\" (seconds, 0.5-3600)";
        return false;
      }
    } else if (a == "--trace") {
      out.trace_path = v;
    } else {
      error = "unknown option " + a;
      return false;
    }
  }
  if (out.user.empty() != out.password.empty()) {
    error = "--rtsp-user and --rtsp-password go together";
    return false;
  }
  if (out.dvr.params.size() < 3) {
    error = "give the DVR with --dvr HOST:PORT --uk KEY or --page URL";
    return false;
  }
  return true;
}

}  // namespace

int cmd_serve(const Args& args) {
  if (!args.empty() && args[0] == "--worker")
    return run_serve_worker(Args(args.begin() + 1, args.end()));
  BridgeOptions opts;
  std::string error;
  if (!parse_bridge_args(args, opts, error)) return usage_error("serve", error);
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) {
    std::fprintf(stderr, "tessomar-cli serve: cannot find its own executable\n");
    return kExitFailed;
  }
  exe[n] = 0;

  gst_init(nullptr, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  Hub hub(opts, exe);
  GstRTSPServer* server = gst_rtsp_server_new();
  gst_rtsp_server_set_address(server, opts.rtsp_host.c_str());
  gst_rtsp_server_set_service(server, opts.rtsp_port.c_str());
  // Clients wait for their DVR session in their own threads, so one slow DVR blocks no one.
  GstRTSPThreadPool* pool = gst_rtsp_server_get_thread_pool(server);
  gst_rtsp_thread_pool_set_max_threads(pool, kClientThreads);
  g_object_unref(pool);

  constexpr const char* kRole = "viewer";
  if (!opts.user.empty()) {
    GstRTSPAuth* auth = gst_rtsp_auth_new();
    gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_DIGEST);
    GstRTSPToken* token =
        gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRole, nullptr);
    gst_rtsp_auth_add_digest(auth, opts.user.c_str(), opts.password.c_str(), token);
    gst_rtsp_token_unref(token);
    gst_rtsp_server_set_auth(server, auth);
    g_object_unref(auth);
  }

  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
  auto add = [&](const std::string& path, bool sound) {
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launch_text(sound).c_str());
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    g_signal_connect(factory, "media-configure", G_CALLBACK(on_media_configure), &hub);
    if (!opts.user.empty()) {
      gst_rtsp_media_factory_add_role(factory, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                      G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                      G_TYPE_BOOLEAN, TRUE, nullptr);
    }
    gst_rtsp_mount_points_add_factory(mounts, path.c_str(), factory);
  };
  for (uint32_t ch = 1; ch <= serve::kMaxChannels; ++ch) {
    add("/live/ch" + std::to_string(ch), ch <= 2);
    add("/playback/ch" + std::to_string(ch), ch <= 2);
  }
  add("/live/split", false);
  g_object_unref(mounts);
  g_signal_connect(server, "client-connected", G_CALLBACK(on_client_connected), &hub);

  const guint source = gst_rtsp_server_attach(server, nullptr);
  if (source == 0) {
    std::fprintf(stderr, "tessomar-cli serve: cannot listen on %s:%s\n", opts.rtsp_host.c_str(),
                 opts.rtsp_port.c_str());
    g_object_unref(server);
    return kExitFailed;
  }
  std::printf("listening on rtsp://%s:%d/\n", opts.rtsp_host.c_str(),
              gst_rtsp_server_get_bound_port(server));
  std::fflush(stdout);

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_timeout_add(kReapIntervalMs, on_reap, &hub);
  g_unix_signal_add(SIGINT, on_quit_signal, loop);
  g_unix_signal_add(SIGTERM, on_quit_signal, loop);
  g_main_loop_run(loop);
  log_line("stopping");
  hub.stop_all();
  g_source_remove(source);
  g_main_loop_unref(loop);
  g_object_unref(server);
  return kExitOk;
}

}  // namespace tessomar::cli
