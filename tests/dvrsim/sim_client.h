// A loopback client for driving an in-process Simulator: it writes requests and collects
// replies while turning the simulator's loop itself, so tests stay single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dvrsim/server.h"
#include "link/wire.h"

namespace tessomar::dvrsim::testing {

struct HttpReply {
  std::string head;  // status line and header lines, up to and including "\r\n\r\n"
  std::string status_line;
  long content_length = -1;  // -1 when the header is missing
  std::vector<uint8_t> body;
  int reads = 0;  // recv calls that contributed bytes

  // The ULCM header of the body; nullopt when the body is shorter than 64 bytes.
  std::optional<link::UlcmHeader> frame() const;
  std::span<const uint8_t> frame_payload() const;
};

// A request frame: header fields and payload; auth defaults to empty (set it for real use).
std::vector<uint8_t> make_request(uint32_t type, uint32_t value, const std::array<char, 32>& auth,
                                  std::span<const uint8_t> payload = {}, uint32_t slot = 0,
                                  uint32_t socket = 0);

class SimClient {
 public:
  explicit SimClient(Simulator& sim);
  ~SimClient();
  SimClient(const SimClient&) = delete;
  SimClient& operator=(const SimClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(std::span<const uint8_t> bytes);
  bool send_text(const std::string& text);

  // Turns the simulator until one whole HTTP reply is here (at most `rounds` loop passes
  // of up to 5 ms each); nullopt when none arrived.
  std::optional<HttpReply> read_reply(int rounds = 2000);
  // Turns the simulator `rounds` times and reports whether any reply byte arrived.
  bool any_bytes_within(int rounds);
  // Turns the simulator until the server closed the connection.
  bool wait_closed(int rounds = 2000);
  // Bytes received and not yet taken as a reply.
  const std::vector<uint8_t>& pending() const { return in_; }

 private:
  bool receive_some();
  std::optional<HttpReply> take_reply();

  Simulator& sim_;
  int fd_ = -1;
  bool eof_ = false;
  int reads_ = 0;
  std::vector<uint8_t> in_;
};

}  // namespace tessomar::dvrsim::testing
