#include "dvrsim/frame_record.h"

#include "platform/bytes.h"

namespace tessomar::dvrsim {

bool pad_video_payload(std::vector<uint8_t>& payload) {
  // Find the last unit, checking that the units tile the payload exactly.
  size_t pos = 0, last = 0;
  bool any = false;
  while (pos < payload.size()) {
    platform::ByteReader r(std::span<const uint8_t>(payload).subspan(pos));
    const uint32_t n = r.u32be();
    if (r.error()) return false;
    if (n > payload.size() - pos - 4) return false;
    last = pos;
    any = true;
    pos += 4 + size_t(n);
  }
  if (!any) return false;
  const size_t block = kPictureHeaderSize + payload.size();
  const size_t padded = (block + kBlockUnit - 1) / kBlockUnit * kBlockUnit;
  payload.resize(padded - kPictureHeaderSize, 0);
  const uint32_t n = uint32_t(payload.size() - last - 4);
  for (int b = 0; b < 4; ++b) payload[last + size_t(b)] = uint8_t(n >> (24 - 8 * b));
  return true;
}

void build_picture_header(const PictureInfo& info, size_t block_length,
                          std::span<uint8_t, kPictureHeaderSize> out) {
  platform::ByteWriter w(out);
  w.zeros(kPictureHeaderSize);
  w.seek(0);
  w.u32le(0x03000000);
  w.u32le(info.time);
  w.u8(info.frame_number);
  w.seek(11);
  w.u8(uint8_t((info.content_type & 3) << 6));
  w.u8(info.height_mbs);
  w.u8(info.width_mbs);
  w.u8(uint8_t((info.interlaced ? 1 << 2 : 0) | (info.channel & 15) << 4));
  w.u8(uint8_t(info.key_frame ? 0 : 1 << 4));
  w.u8(info.watermark);
  w.seek(18);
  w.u16le(uint16_t(block_length / kBlockUnit));
  w.seek(23);
  w.u8(uint8_t((info.stream_kind & 3) << 5));
  w.u32le((info.rate_code & 0x1FFFF) << 5);
  w.u32le(info.time_offset);
}

bool build_frame_record(const RecordInfo& record, const PictureInfo& picture,
                        std::span<const uint8_t> payload, std::vector<uint8_t>& out) {
  const size_t block = kPictureHeaderSize + payload.size();
  const size_t total = kFrameRecordHeaderSize + block;
  if (block % kBlockUnit != 0 || total > kMaxFrameRecordSize) return false;
  out.assign(total, 0);
  platform::ByteWriter w(out);
  w.u32le(uint32_t(total));
  w.seek(8);
  w.u32le(record.frame_interval_ms);
  w.u32le(record.channel_sequence);
  w.seek(20);
  w.u32le(record.channel);
  w.u32le(record.frame_id);
  w.seek(32);
  w.u32le(record.arrival_key);
  w.u32le(record.seconds);
  w.u32le(record.frame_in_second);
  w.seek(48);
  w.u32le(record.kind);
  w.u32le(record.request_counter);
  build_picture_header(picture, block,
                       std::span<uint8_t, kPictureHeaderSize>(out.data() + kFrameRecordHeaderSize,
                                                              kPictureHeaderSize));
  w.seek(kFrameRecordHeaderSize + kPictureHeaderSize);
  w.bytes(payload.data(), payload.size());
  return !w.error();
}

}  // namespace tessomar::dvrsim
