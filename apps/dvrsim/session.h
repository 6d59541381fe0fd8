// Sessions of the simulated DVR: the key handed out on a session open and the queue of
// channel messages waiting for the session's next data reply.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <vector>

namespace tessomar::dvrsim {

// The control's receive buffer holds 294912 bytes; a reply (HTTP head, frame header and one
// message) must fit in it, so larger messages are refused when queued.
constexpr size_t kMaxQueuedMessage = 294912 - 64 - 1024;
// A data reply carries whole messages up to this many payload bytes; a single larger message
// still goes out alone.
constexpr size_t kReplyPayloadBudget = 256 * 1024;
// Per-session backlog bound: a control that stops polling cannot make the simulator grow.
constexpr size_t kMaxQueuedBytes = 16 * 1024 * 1024;

struct Session {
  uint32_t key = 0;
  uint32_t opened_ms = 0;
  uint32_t last_used_ms = 0;  // last request naming this key
  int connections = 0;        // connections whose latest request named this key
  std::deque<std::vector<uint8_t>> outgoing;
  size_t queued_bytes = 0;
};

class SessionTable {
 public:
  static constexpr size_t kMaxSessions = 64;

  // Opens a session with a fresh nonzero key derived from the Unix time and a counter,
  // unequal to every live key. When the table is full the least recently used session
  // without connections (else the least recently used one) is dropped first; its key is
  // returned in `evicted` (0 when none).
  uint32_t open(int64_t unix_now, uint32_t now_ms, uint32_t& evicted);

  Session* find(uint32_t key);
  const Session* find(uint32_t key) const;
  bool close(uint32_t key);
  size_t size() const { return sessions_.size(); }
  std::vector<uint32_t> keys() const;

  // Appends a whole channel message; false for an unknown key, an empty or oversized
  // message, or a full backlog.
  bool queue_message(uint32_t key, std::span<const uint8_t> message);
  bool has_queued(uint32_t key) const;
  // Removes the queued messages of one channel tag (a stream the DVR has switched away
  // from); returns how many went.
  size_t drop_queued(uint32_t key, uint32_t tag);

  // Moves whole queued messages into `payload` while they fit in `budget` bytes; the first
  // message is taken even when it alone is larger. Returns the number of messages moved.
  size_t take_batch(uint32_t key, size_t budget, std::vector<uint8_t>& payload);

  // Keys of sessions without connections that were unused for at least idle_ms.
  std::vector<uint32_t> idle_sessions(uint32_t now_ms, uint32_t idle_ms) const;
  // Milliseconds until the next session without connections has been unused for idle_ms
  // (0 when one already has); -1 when every session has a connection.
  int64_t ms_to_next_idle(uint32_t now_ms, uint32_t idle_ms) const;
  // Some session has a connection.
  bool any_connected() const;
  // Sessions that have a connection.
  size_t connected_count() const;

 private:
  std::map<uint32_t, Session> sessions_;
  uint32_t counter_ = 0;
};

}  // namespace tessomar::dvrsim
