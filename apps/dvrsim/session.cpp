#include "dvrsim/session.h"

#include "platform/bytes.h"

namespace tessomar::dvrsim {

uint32_t SessionTable::open(int64_t unix_now, uint32_t now_ms, uint32_t& evicted) {
  evicted = 0;
  if (sessions_.size() >= kMaxSessions) {
    auto victim = sessions_.end();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      const Session& s = it->second;
      if (victim == sessions_.end()) {
        victim = it;
        continue;
      }
      const Session& v = victim->second;
      const bool better = (s.connections == 0) != (v.connections == 0)
                              ? s.connections == 0
                              : int32_t(s.last_used_ms - v.last_used_ms) < 0;
      if (better) victim = it;
    }
    evicted = victim->first;
    sessions_.erase(victim);
  }
  // Time plus a counter keeps keys unique across restarts of the control and of the
  // simulator (a control refuses a key it already holds).
  uint32_t key = 0;
  do {
    key = static_cast<uint32_t>(unix_now) + ++counter_;
  } while (key == 0 || sessions_.count(key) != 0);
  Session& s = sessions_[key];
  s.key = key;
  s.opened_ms = now_ms;
  s.last_used_ms = now_ms;
  return key;
}

Session* SessionTable::find(uint32_t key) {
  auto it = sessions_.find(key);
  return it == sessions_.end() ? nullptr : &it->second;
}

const Session* SessionTable::find(uint32_t key) const {
  auto it = sessions_.find(key);
  return it == sessions_.end() ? nullptr : &it->second;
}

std::vector<uint32_t> SessionTable::keys() const {
  std::vector<uint32_t> out;
  out.reserve(sessions_.size());
  for (const auto& [key, session] : sessions_) out.push_back(key);
  return out;
}

bool SessionTable::close(uint32_t key) { return sessions_.erase(key) != 0; }

bool SessionTable::queue_message(uint32_t key, std::span<const uint8_t> message) {
  Session* s = find(key);
  if (s == nullptr || message.empty() || message.size() > kMaxQueuedMessage ||
      s->queued_bytes + message.size() > kMaxQueuedBytes) {
    return false;
  }
  s->outgoing.emplace_back(message.begin(), message.end());
  s->queued_bytes += message.size();
  return true;
}

bool SessionTable::has_queued(uint32_t key) const {
  const Session* s = find(key);
  return s != nullptr && !s->outgoing.empty();
}

size_t SessionTable::drop_queued(uint32_t key, uint32_t tag) {
  Session* s = find(key);
  if (s == nullptr) return 0;
  size_t dropped = 0;
  std::erase_if(s->outgoing, [&](const std::vector<uint8_t>& m) {
    platform::ByteReader r(m);
    r.skip(4);
    if (r.u32le() != tag || r.error()) return false;
    s->queued_bytes -= m.size();
    ++dropped;
    return true;
  });
  return dropped;
}

size_t SessionTable::take_batch(uint32_t key, size_t budget, std::vector<uint8_t>& payload) {
  Session* s = find(key);
  if (s == nullptr) return 0;
  size_t moved = 0;
  size_t used = 0;
  while (!s->outgoing.empty()) {
    const std::vector<uint8_t>& m = s->outgoing.front();
    if (moved > 0 && m.size() > budget - used) break;
    payload.insert(payload.end(), m.begin(), m.end());
    used += m.size();
    s->queued_bytes -= m.size();
    s->outgoing.pop_front();
    ++moved;
    if (used >= budget) break;
  }
  return moved;
}

std::vector<uint32_t> SessionTable::idle_sessions(uint32_t now_ms, uint32_t idle_ms) const {
  std::vector<uint32_t> keys;
  for (const auto& [key, s] : sessions_) {
    if (s.connections == 0 && now_ms - s.last_used_ms >= idle_ms) keys.push_back(key);
  }
  return keys;
}

int64_t SessionTable::ms_to_next_idle(uint32_t now_ms, uint32_t idle_ms) const {
  int64_t best = -1;
  for (const auto& [key, s] : sessions_) {
    if (s.connections != 0) continue;
    const uint32_t unused = now_ms - s.last_used_ms;
    const int64_t left = unused >= idle_ms ? 0 : int64_t(idle_ms - unused);
    if (best < 0 || left < best) best = left;
  }
  return best;
}

size_t SessionTable::connected_count() const {
  size_t n = 0;
  for (const auto& [key, s] : sessions_) n += s.connections > 0 ? 1 : 0;
  return n;
}

bool SessionTable::any_connected() const {
  for (const auto& [key, s] : sessions_) {
    if (s.connections > 0) return true;
  }
  return false;
}

}  // namespace tessomar::dvrsim
