// Feeds arbitrary bytes to the link's wire readers, the checksum and the credential decoder.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "link/wire.h"

using namespace tessomar::link;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);

  UlcmHeader frame;
  if (read_ulcm_header(in, frame)) {
    if (frame.auth[frame.auth.size() - 1] != '\0') __builtin_trap();
    std::array<uint8_t, kUlcmHeaderSize> out{};
    write_ulcm_header(out, frame);
    UlcmHeader again;
    if (!read_ulcm_header(out, again) || again.value != frame.value ||
        again.slot_index != frame.slot_index || again.auth != frame.auth) {
      __builtin_trap();
    }
  }

  // Walk the input as a run of channel messages, the way the dispatcher does.
  size_t pos = 0;
  for (int i = 0; i < 1000 && pos < size && size - pos >= kMessageHeaderSize; ++i) {
    MessageHeader m;
    if (!read_message_header(in.subspan(pos), m)) break;
    if (m.total_length < kMessageHeaderSize || m.total_length > size - pos) break;
    message_checksum(data + pos + kMessageHeaderSize, m.total_length - kMessageHeaderSize);
    pos += m.total_length;
  }
  message_checksum(data, uint32_t(size));

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string a = "unchanged", b = "unchanged";
  const bool split = split_dvr_uk(text, a, b);
  if (a.size() > 31 || b.size() > 31) __builtin_trap();
  if (!split && (a != "unchanged" || b != "unchanged")) __builtin_trap();
  decimal_digits(text);

  if (size >= 4) {
    uint32_t now;
    std::memcpy(&now, data, 4);
    const std::string_view rest = text.substr(4);
    const auto field =
        make_auth_text(rest.substr(0, rest.size() / 2), rest.substr(rest.size() / 2), now);
    if (field[31] != '\0') __builtin_trap();
  }
  return 0;
}
