// The simulated DVR's server: one single-threaded poll() loop that accepts connections on the
// HTTP port, answers the control's ULCM requests (session open, data and poll with long
// polling), serves the page that embeds the control, and injects faults on request.
//
// Typical use (main.cpp does this; tests drive poll_once themselves):
//   Simulator sim(options);
//   if (!sim.bind(&error)) ...;
//   while (running) sim.poll_once(100);
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dvrsim/channels.h"
#include "dvrsim/options.h"
#include "dvrsim/session.h"
#include "dvrsim/tunnel.h"
#include "platform/clock.h"

namespace tessomar::dvrsim {

// kDetached: the last connection that used a session has closed or moved to another
// session, so its client has gone. The key stays valid until the idle time-out, but whatever
// is made for the session (its streams) stops; a later request naming the key starts afresh,
// as for a session opened before a channel was attached.
enum class SessionEvent { kOpened, kClosed, kDetached };

class Simulator {
 public:
  static constexpr size_t kMaxConnections = 64;
  // The authentication time may differ this much from the simulator's clock.
  static constexpr int64_t kMaxAuthSkewSeconds = 300;
  // A session that no connection uses is forgotten after this long.
  static constexpr uint32_t kSessionIdleMs = 30000;

  // Uses the machine's clocks.
  explicit Simulator(Options options);
  // Uses the given clock for protocol time (poll idle time, reply delays, session keys and
  // the authentication check); it must outlive the simulator.
  Simulator(Options options, const platform::Clock& clock);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the listening socket on the configured address; false with a reason on failure.
  // On 127.0.0.1 it also listens on [::1] with the same port when it can (so that
  // "localhost" reaches it whichever address the name gives first); "::" takes IPv4 too.
  bool bind(std::string* error);
  // The bound address (the actual port when 0 was asked for); an IPv6 host is without
  // brackets.
  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }
  // "HOST:PORT", with an IPv6 host in brackets.
  std::string address() const;
  // DVR_UK text made when bound; valid for as long as the credentials stay the same.
  const std::string& dvr_uk() const { return dvr_uk_; }
  const Options& options() const { return options_; }

  // Waits up to timeout_ms (-1: no limit) for socket activity or the next due reply, then
  // handles everything that is ready. Returns the number of ready descriptors, 0 on timeout
  // or interruption, -1 when not bound.
  int poll_once(int timeout_ms);
  // Closes every connection and the listening socket.
  void stop();
  bool bound() const { return !listen_fds_.empty(); }

  // poll_once also returns when this descriptor becomes readable (it does not read it);
  // main uses it for a signalfd. -1 removes it.
  void set_wake_fd(int fd) { wake_fd_ = fd; }

  // Channel handlers for the messages of every session's requests.
  ChannelRegistry& channels() { return channels_; }
  // Queues a whole channel message for a session; it leaves with that session's next (or
  // currently held) data reply. False for an unknown key or a refused message.
  bool queue_message(uint32_t key, std::span<const uint8_t> message);
  // Takes back the session's queued messages of a tag that no reply has carried yet.
  size_t drop_queued(uint32_t key, uint32_t tag) { return sessions_.drop_queued(key, tag); }
  const SessionTable& sessions() const { return sessions_; }

  // Called when a session is opened, loses its last connection or is forgotten.
  void add_session_listener(std::function<void(SessionEvent, uint32_t key)> listener);
  // Called on every loop pass with now_ms of the clock; for producers such as live video.
  // Passes come at least every 10 ms while `busy` says so, or (without it) while a session
  // has a connection; otherwise the loop sleeps until socket activity or a due reply.
  void add_tick_hook(std::function<void(uint32_t now_ms)> hook, std::function<bool()> busy = {});
  // Receives each log line (without newline); the default writes it to stderr.
  void set_logger(std::function<void(std::string_view)> logger);
  // One line to the logger.
  void log(const std::string& line);

  size_t connection_count() const { return connections_.size(); }

  // What went out and which faults were applied, for tests that compare the control's
  // figures with the DVR's.
  struct Counters {
    uint64_t video_records_sent = 0;  // video frame records carried by replies
    uint64_t replies_sent = 0;
    uint64_t records_reordered = 0;
    uint64_t records_dropped = 0;
    uint64_t records_oversized = 0;
    uint64_t bad_checksums = 0;
    uint64_t stalls = 0;
    uint64_t sessions_forgotten = 0;
    uint64_t rekeys = 0;
  };
  const Counters& counters() const { return counters_; }
  // "name=value ..." of the counters, one line.
  std::string counters_text() const;

 private:
  struct Outgoing {
    std::vector<uint8_t> bytes;
    size_t sent = 0;
    uint32_t ready_ms = 0;
    bool is_reply = false;  // counts for --fault-close-after
  };
  enum class Kind { kUnknown, kUlcm, kPage };
  struct Connection {
    int fd = -1;
    std::string peer;
    std::string local_host;
    uint16_t local_port = 0;
    Kind kind = Kind::kUnknown;
    std::vector<uint8_t> in;
    size_t in_off = 0;
    std::deque<Outgoing> out;
    uint32_t replies_built = 0;
    uint32_t replies_sent = 0;
    bool holding = false;
    link::UlcmHeader held{};
    uint32_t held_since_ms = 0;
    uint32_t bound_key = 0;
    bool close_after_flush = false;
    bool dead = false;
    std::string close_reason;
    std::chrono::steady_clock::time_point next_chunk_at{};
  };
  class Context;

  struct TickHook {
    std::function<void(uint32_t)> run;
    std::function<bool()> busy;
  };

  // Adds a listening socket; its descriptor, or -1 with errno set.
  int listen_on(const std::string& host, uint16_t port);
  bool ticks_wanted() const;
  void accept_all(int listen_fd);
  void read_from(Connection& c);
  void flush(Connection& c);
  void process_input(Connection& c);
  void handle_request(Connection& c, const link::UlcmHeader& h, std::span<const uint8_t> payload);
  void reply(Connection& c, const link::UlcmHeader& request, uint32_t type, uint32_t value,
             std::span<const uint8_t> payload);
  void reply_data(Connection& c, const link::UlcmHeader& request, uint32_t key);
  // Opens a session for the connection and answers with its key (type 1).
  void open_and_answer(Connection& c, const link::UlcmHeader& request, const char* why);
  // A request naming a key the DVR does not know: type 4, or a new key with --fault-rekey.
  void answer_unknown_key(Connection& c, const link::UlcmHeader& request);
  // Appends one message to a session's queue, with a wrong checksum when that fault picks it.
  bool enqueue(uint32_t key, std::span<const uint8_t> message);
  bool one_in(uint32_t n);
  // True while the stall fault holds every write back; ends it when its time is over.
  bool stalled(uint32_t now_ms);
  void count_sent_records(std::span<const uint8_t> payload);
  void forget_sessions_when_due(uint32_t now_ms);
  void service_held();
  void bind_connection(Connection& c, uint32_t key);
  // The connection no longer uses its session: the session's last one detaches it.
  void unbind_connection(Connection& c);
  void close_session(uint32_t key, const char* why);
  void kill(Connection& c, std::string reason);
  void reap();
  void notify(SessionEvent e, uint32_t key);

  Options options_;
  std::unique_ptr<platform::SystemClock> own_clock_;
  const platform::Clock& clock_;
  Credentials credentials_;
  std::string host_;
  uint16_t port_ = 0;
  std::string dvr_uk_;
  std::vector<int> listen_fds_;  // the configured address first
  int wake_fd_ = -1;
  std::vector<std::unique_ptr<Connection>> connections_;
  SessionTable sessions_;
  // Sessions opened beyond --max-sessions: refused at their first data frame.
  std::set<uint32_t> over_limit_;
  ChannelRegistry channels_;
  std::vector<std::function<void(SessionEvent, uint32_t)>> session_listeners_;
  std::vector<TickHook> tick_hooks_;
  std::function<void(std::string_view)> logger_;
  std::minstd_rand split_rng_;
  std::minstd_rand fault_rng_;
  // Per session: a video record held back by the reorder fault until the next one.
  std::map<uint32_t, std::vector<uint8_t>> held_records_;
  bool stall_on_ = false;
  uint32_t stall_end_ms_ = 0;
  Counters counters_;
};

}  // namespace tessomar::dvrsim
