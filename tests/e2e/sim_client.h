// A blocking loopback client for talking to the simulator binary: it sends request frames
// and reads the HTTP replies, with a generous receive timeout for shared, slow machines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "link/wire.h"

namespace tessomar::e2e {

using Bytes = std::vector<uint8_t>;

// A channel message built field by field: header, sub-header words from byte 36, payload.
Bytes message(const char (&tag)[5], uint32_t key, std::initializer_list<uint32_t> words,
              const Bytes& payload = {});

// Little-endian word at a byte offset; all ones past the end, which no expected value is.
uint32_t word(const Bytes& m, size_t offset);

// A request frame: the ULCM header authenticated with the credentials at the current time,
// then the messages.
Bytes request(uint32_t type, uint32_t value, const std::string& level, const std::string& password,
              const std::vector<Bytes>& messages = {});

// A reply frame's header and the messages of its body.
struct Reply {
  link::UlcmHeader header;
  std::vector<Bytes> messages;
};

class SimClient {
 public:
  explicit SimClient(uint16_t port);
  explicit SimClient(const std::string& port);
  ~SimClient();
  SimClient(const SimClient&) = delete;
  SimClient& operator=(const SimClient&) = delete;

  bool ok() const { return ok_; }
  bool send_all(const void* data, size_t n);

  // One HTTP reply: head (up to and including the blank line) and body; false on timeout,
  // close or a missing Content-Length.
  bool read_reply(std::string& head, Bytes& body);

  // True when the server closed the connection (and sent nothing more).
  bool closed_by_peer();

  // Sends a request frame and splits the reply; nullopt on any failure or a malformed reply.
  std::optional<Reply> exchange(uint32_t type, uint32_t key, const std::string& level,
                                const std::string& password,
                                const std::vector<Bytes>& messages = {});

 private:
  bool fill();

  int fd_ = -1;
  bool ok_ = false;
  std::string buf_;
};

}  // namespace tessomar::e2e
