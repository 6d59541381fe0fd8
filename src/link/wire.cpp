#include "link/wire.h"

#include <utility>

#include "platform/bytes.h"

namespace tessomar::link {

void write_ulcm_header(std::span<uint8_t, kUlcmHeaderSize> out, const UlcmHeader& h) {
  platform::ByteWriter w(out);
  w.u32le(h.total_length);
  w.u32le(h.magic);
  w.u32le(h.type);
  w.u32le(h.value);
  // The field is always terminated on the wire, whatever the caller left in the last byte.
  for (size_t i = 0; i + 1 < h.auth.size(); ++i) w.u8(uint8_t(h.auth[i]));
  w.u8(0);
  w.u32le(0);
  w.u32le(h.slot_index);
  w.u32le(h.socket_index);
  w.u32le(0);
}

bool read_ulcm_header(std::span<const uint8_t> in, UlcmHeader& h) {
  if (in.size() < kUlcmHeaderSize) return false;
  platform::ByteReader r(in);
  h.total_length = r.u32le();
  h.magic = r.u32le();
  h.type = r.u32le();
  h.value = r.u32le();
  for (char& c : h.auth) c = char(r.u8());
  h.auth.back() = '\0';  // a peer's unterminated text must not run into whatever follows
  r.skip(4);
  h.slot_index = r.u32le();
  h.socket_index = r.u32le();
  return !r.error();
}

uint32_t message_checksum(const uint8_t* bytes, uint32_t n) {
  if (bytes == nullptr) return 0;
  uint32_t sum = 0;
  if (n <= 1024) {
    for (uint32_t i = 0; i < n; ++i) sum += bytes[i];
    return sum;
  }
  // Large (video) messages are sampled: one word per whole 1024 bytes.
  for (uint32_t off = 0; off + 1024 <= n; off += 1024) sum += platform::load_u32le(bytes + off);
  return sum;
}

bool read_message_header(std::span<const uint8_t> in, MessageHeader& h) {
  if (in.size() < kMessageHeaderSize) return false;
  platform::ByteReader r(in);
  h.total_length = r.u32le();
  h.tag = r.u32le();
  h.checksum = r.u32le();
  return !r.error();
}

int hex_value(char c) {
  if (c >= '1' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

namespace {

// Walks the time text from its last character leftwards, wrapping to the end; the same walk
// continues from the first credential into the second.
class KeyCursor {
 public:
  explicit KeyCursor(std::string_view key) : key_(key), k_(key.size()) {}
  int next() {
    if (key_.empty()) return 0;
    k_ = (k_ == 0 ? key_.size() : k_) - 1;
    return hex_value(key_[k_]);
  }

 private:
  std::string_view key_;
  size_t k_;
};

constexpr size_t kMaxAuthChars = 31;  // the 32-byte field keeps its terminating NUL
constexpr size_t kMaxCredentialChars = 31;

}  // namespace

std::array<char, 32> make_auth_text(std::string_view credential_a, std::string_view credential_b,
                                    uint32_t unix_time) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::array<char, 32> out{};
  size_t len = 0;
  // Over-long credentials are cut where the field ends: writing stops at 31 characters, so
  // the text never reaches the header words that follow it.
  auto put = [&](char c) {
    if (len < kMaxAuthChars) out[len++] = c;
  };

  char time_text[8];
  size_t t_len = 0;
  do {
    time_text[7 - t_len++] = kHex[unix_time & 0xF];
    unix_time >>= 4;
  } while (unix_time != 0);
  const std::string_view t(time_text + 8 - t_len, t_len);

  for (char c : t) put(c);
  KeyCursor cursor(t);
  put('.');
  for (char c : credential_a) put(kHex[(hex_value(c) + cursor.next()) % 16]);
  put('.');
  for (char c : credential_b) put(kHex[(hex_value(c) + cursor.next()) % 16]);
  return out;
}

bool split_dvr_uk(std::string_view dvr_uk, std::string& credential_a, std::string& credential_b) {
  const size_t dot1 = dvr_uk.find('.');
  if (dot1 == std::string_view::npos) return false;
  const size_t dot2 = dvr_uk.find('.', dot1 + 1);
  if (dot2 == std::string_view::npos) return false;

  const std::string_view t = dvr_uk.substr(0, dot1);
  const std::string_view a = dvr_uk.substr(dot1 + 1, dot2 - dot1 - 1);
  const std::string_view b = dvr_uk.substr(dot2 + 1);

  // Without a time text there is nothing to decode against; no credentials are presented.
  if (t.empty()) {
    credential_a.clear();
    credential_b.clear();
    return true;
  }

  KeyCursor cursor(t);
  auto decode = [&](std::string_view in) {
    std::string out;
    out.reserve(kMaxCredentialChars);
    for (char c : in) {
      // The cursor moves per input character even once the output is full, so that the
      // second credential decodes against the same key positions it was encoded with.
      int d = hex_value(c) - cursor.next();
      if (d < 0) d += 16;
      if (d >= 10 && out.size() < kMaxCredentialChars) out.push_back('1');
      if (out.size() < kMaxCredentialChars) out.push_back(char('0' + d % 10));
    }
    return out;
  };
  std::string decoded_a = decode(a);
  std::string decoded_b = decode(b);
  credential_a = std::move(decoded_a);
  credential_b = std::move(decoded_b);
  return true;
}

uint32_t decimal_digits(std::string_view text) {
  uint32_t value = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') value = value * 10 + uint32_t(c - '0');
  }
  return value;
}

}  // namespace tessomar::link
