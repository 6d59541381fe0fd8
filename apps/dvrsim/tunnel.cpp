#include "dvrsim/tunnel.h"

#include <charconv>
#include <cstring>

#include "platform/bytes.h"

namespace tessomar::dvrsim {

AuthResult check_auth(const std::array<char, 32>& auth, const Credentials& expected,
                      int64_t unix_now, int64_t max_skew_s) {
  const size_t len = strnlen(auth.data(), auth.size());
  const std::string_view text(auth.data(), len);
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot > 8) return AuthResult::kMalformed;
  uint32_t sent = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + dot, sent, 16);
  if (ec != std::errc() || end != text.data() + dot) return AuthResult::kMalformed;
  std::string a;
  std::string b;
  if (!link::split_dvr_uk(text, a, b)) return AuthResult::kMalformed;
  if (a != expected.user_level || b != expected.password) return AuthResult::kBadCredentials;
  const int64_t skew = static_cast<int64_t>(sent) - unix_now;
  if (skew > max_skew_s || skew < -max_skew_s) return AuthResult::kStaleTime;
  return AuthResult::kOk;
}

const char* auth_result_text(AuthResult r) {
  switch (r) {
    case AuthResult::kOk:
      return "ok";
    case AuthResult::kMalformed:
      return "malformed authentication text";
    case AuthResult::kBadCredentials:
      return "wrong user level or password";
    case AuthResult::kStaleTime:
      return "authentication time too far from the DVR's clock";
  }
  return "?";
}

std::string make_dvr_uk(const Credentials& c, int64_t unix_now) {
  const std::array<char, 32> text =
      link::make_auth_text(c.user_level, c.password, static_cast<uint32_t>(unix_now));
  return std::string(text.data(), strnlen(text.data(), text.size()));
}

std::vector<uint8_t> build_reply(const link::UlcmHeader& header, std::span<const uint8_t> payload,
                                 ReplyFault fault) {
  const uint32_t frame_len = link::kUlcmHeaderSize + static_cast<uint32_t>(payload.size());
  std::string head =
      fault.bad_status ? "HTTP/1.1 500 Internal Server Error\r\n" : "HTTP/1.1 200 OK\r\n";
  head +=
      "Server: tessomar-dvrsim\r\n"
      "Content-Type: application/octet-stream\r\n"
      "Content-Length: " +
      std::to_string(frame_len) + "\r\n\r\n";

  std::vector<uint8_t> out(head.size() + frame_len);
  std::memcpy(out.data(), head.data(), head.size());
  link::UlcmHeader h = header;
  h.total_length = frame_len;
  h.magic = fault.bad_magic ? link::kUlcmMagic ^ 0x20000000u : link::kUlcmMagic;
  link::write_ulcm_header(
      std::span<uint8_t, link::kUlcmHeaderSize>(out.data() + head.size(), link::kUlcmHeaderSize),
      h);
  if (!payload.empty()) {
    std::memcpy(out.data() + head.size() + link::kUlcmHeaderSize, payload.data(), payload.size());
  }
  return out;
}

std::string build_page_reply(std::string_view host, uint16_t port, std::string_view dvr_uk) {
  std::string body =
      "<!DOCTYPE html>\r\n"
      "<html><head><title>Network DVR</title></head>\r\n"
      "<body>\r\n"
      "<object classid=\"clsid:5C1D7A3E-2B6F-4E8A-9D41-7F03B8E2C6A9\" id=\"TessomarX\" "
      "width=\"1024\" height=\"640\">\r\n"
      "<param name=\"DVRIP\" value=\"" +
      std::string(host) +
      "\">\r\n"
      "<param name=\"HTTP_PORT\" value=\"" +
      std::to_string(port) +
      "\">\r\n"
      "<param name=\"DVR_UK\" value=\"" +
      std::string(dvr_uk) +
      "\">\r\n"
      "<param name=\"HTTP_PAGE\" value=\"0\">\r\n"
      "</object>\r\n"
      "</body></html>\r\n";
  std::string reply =
      "HTTP/1.1 200 OK\r\n"
      "Server: tessomar-dvrsim\r\n"
      "Content-Type: text/html\r\n"
      "Content-Length: " +
      std::to_string(body.size()) +
      "\r\n"
      "Connection: close\r\n\r\n";
  return reply + body;
}

}  // namespace tessomar::dvrsim
