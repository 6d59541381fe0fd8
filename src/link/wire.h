// Wire formats shared by the control and the simulated DVR: the 64-byte ULCM frame header,
// the channel message header and its checksum, and the credential text codec.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tessomar::link {

constexpr uint32_t kUlcmMagic = 0x4D434C55;  // "ULCM"
constexpr uint32_t kUlcmHeaderSize = 64;
constexpr uint32_t kMaxFramePayload = 1280;
constexpr uint32_t kMessageHeaderSize = 32;
constexpr uint32_t kSubHeaderSize = 32;

enum FrameType : uint32_t {
  kFrameSessionOpen = 0,
  kFrameSessionKey = 1,
  kFramePoll = 2,
  kFrameData = 3,
  kFrameNone4 = 4,
  kFrameDataPoll = 5,
  kFrameNone6 = 6,
};

// Four ASCII letters, the first in the lowest byte ("VASK" -> 0x4B534156).
constexpr uint32_t make_tag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

struct UlcmHeader {
  uint32_t total_length = 0;
  uint32_t magic = kUlcmMagic;
  uint32_t type = 0;
  uint32_t value = 0;
  std::array<char, 32> auth{};  // NUL-terminated, zero-filled
  uint32_t slot_index = 0;
  uint32_t socket_index = 0;
};

// Writes the 64 header bytes (reserved words 0).
void write_ulcm_header(std::span<uint8_t, kUlcmHeaderSize> out, const UlcmHeader& h);
// Reads the header fields; false when fewer than 64 bytes are given. Does not validate.
bool read_ulcm_header(std::span<const uint8_t> in, UlcmHeader& h);

// Sum of bytes for n <= 1024; otherwise the sum of the little-endian words at 0, 1024, ...
uint32_t message_checksum(const uint8_t* bytes, uint32_t n);

// The 32-byte message header fields.
struct MessageHeader {
  uint32_t total_length = 0;
  uint32_t tag = 0;
  uint32_t checksum = 0;
};
bool read_message_header(std::span<const uint8_t> in, MessageHeader& h);

// Hex value of a credential character: '1'..'9' -> 1..9, 'A'..'F'/'a'..'f' -> 10..15, else 0.
int hex_value(char c);

// The authentication text for the frame header: "%X" of unix_time, ".", A encoded, ".", B
// encoded. Never longer than 31 characters; the rest of the field is zero.
std::array<char, 32> make_auth_text(std::string_view credential_a, std::string_view credential_b,
                                    uint32_t unix_time);

// Decodes T "." A "." B into the two credential strings (each cut at 31 characters).
// Returns false and leaves the outputs unchanged when the text has fewer than two "."; an
// empty T yields two empty credentials.
bool split_dvr_uk(std::string_view dvr_uk, std::string& credential_a, std::string& credential_b);

// Value of the decimal digits of a text, other characters skipped ("a1b2" -> 12).
uint32_t decimal_digits(std::string_view text);

}  // namespace tessomar::link
