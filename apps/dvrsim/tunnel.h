// The DVR end of the HTTP tunnel: checking a request's authentication text and building the
// HTTP replies that carry one ULCM frame each.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "link/wire.h"

namespace tessomar::dvrsim {

// Requests larger than this are treated as a broken stream (the control sends at most 1280
// payload bytes; the slack admits other clients without letting them exhaust memory).
constexpr uint32_t kMaxRequestPayload = 64 * 1024;

// The credentials the simulator accepts.
struct Credentials {
  std::string user_level;  // "7", "8" or "9"
  std::string password;
};

enum class AuthResult { kOk, kMalformed, kBadCredentials, kStaleTime };

// Decodes the header's authentication text (T "." A "." B, T = the sender's hex Unix time)
// and checks the credentials and that T lies within max_skew_s of unix_now.
AuthResult check_auth(const std::array<char, 32>& auth, const Credentials& expected,
                      int64_t unix_now, int64_t max_skew_s);
const char* auth_result_text(AuthResult r);

// The DVR_UK text a control can use to log in: its credentials decode to the level and the
// password.
std::string make_dvr_uk(const Credentials& c, int64_t unix_now);

struct ReplyFault {
  bool bad_status = false;  // "HTTP/1.1 500 Internal Server Error" instead of 200
  bool bad_magic = false;   // frame magic that is not "ULCM"
};

// One complete HTTP reply whose body is a ULCM frame: the header fields given, the payload
// after it, the total length set from the payload.
std::vector<uint8_t> build_reply(const link::UlcmHeader& header, std::span<const uint8_t> payload,
                                 ReplyFault fault = {});

// The HTML page that embeds the control for the address the client connected to.
std::string build_page_reply(std::string_view host, uint16_t port, std::string_view dvr_uk);

}  // namespace tessomar::dvrsim
