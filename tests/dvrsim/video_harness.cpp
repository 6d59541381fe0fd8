#include "dvrsim/video_harness.h"

#include <gtest/gtest.h>

#include "dvrsim/channels.h"
#include "dvrsim/h264_rewrite.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim::testing {

Record read_record(const std::vector<uint8_t>& b) {
  Record r{};
  if (b.size() < 160) return r;
  auto w = [&b](size_t at) { return platform::load_u32le(&b[at]); };
  r.total = w(0);
  r.interval = w(8);
  r.sequence = w(12);
  r.channel = w(20);
  r.frame_id = w(24);
  r.arrival = w(32);
  r.seconds = w(36);
  r.fis = w(40);
  r.kind = w(48);
  r.counter = w(52);
  r.magic = w(128);
  r.time = w(132);
  r.frame_number = b[136];
  r.content = b[139] >> 6;
  r.height_mbs = b[140];
  r.width_mbs = b[141];
  r.interlace = (b[142] >> 2) & 3;
  r.pic_channel = b[142] >> 4;
  r.key = ((b[143] >> 4) & 3) == 0;
  r.stream_kind = (b[151] >> 5) & 3;
  r.rate = (w(152) >> 5) & 0x1FFFF;
  r.offset = w(156);
  r.block = size_t(b[146] | b[147] << 8) * 64;
  if (b.size() == 128 + r.block) r.payload.assign(b.begin() + 160, b.end());
  return r;
}

DeviceOptions cif_device() {
  DeviceOptions d;
  d.resolution = Resolution::kCif;
  // The picture tests count and order pictures; the audio tests switch sound on.
  d.audio = false;
  return d;
}

std::vector<uint8_t> feedback_message(uint32_t key, uint32_t credit, size_t size) {
  std::vector<uint8_t> block(size, 0);
  if (size >= 132) platform::store_u32le(&block[128], credit);
  return build_message(kVido, key, {1}, block);
}

std::vector<DecodedPicture> decode(const std::vector<Record>& records) {
  if (records.empty()) return {};
  TestDecoder dec(make_avcc(client_sps(records[0].width_mbs, records[0].height_mbs), client_pps()));
  for (const Record& r : records) {
    std::vector<uint8_t> au;
    if (r.key) append_client_parameter_sets(r.width_mbs, r.height_mbs, au);
    au.insert(au.end(), r.payload.begin(), r.payload.end());
    EXPECT_EQ(dec.decode(au), 1) << "frame " << r.frame_id;
  }
  EXPECT_EQ(dec.errors(), 0);
  for (const auto& p : dec.pictures()) EXPECT_FALSE(p.damaged);
  return dec.pictures();
}

void append(std::vector<Record>& to, const std::vector<Record>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

VideoSessionRig::VideoSessionRig(const DeviceOptions& device, Parser parse)
    : video(device, h.clock(), h.settings()), parse_(parse) {
  h.clock().set_local(kNoon);
  EXPECT_TRUE(video.attach(h.sim()));
  client.emplace(h.sim());
  key = h.open_session(*client);
  EXPECT_NE(key, 0u);
}

std::vector<Record> VideoSessionRig::send(const std::vector<std::vector<uint8_t>>& messages) {
  std::vector<Record> out;
  for (const WireMessage& m : h.exchange_messages(*client, key, messages)) {
    if (m.tag == kVido) out.push_back(parse_(m, key));
  }
  return out;
}

std::vector<Record> VideoSessionRig::set(uint32_t record_id, uint32_t mode, uint32_t seq,
                                         const std::vector<uint8_t>& image) {
  return send({build_message(kIcmd, key, {kIcmdSet, record_id, mode, seq}, image)});
}

std::vector<Record> VideoSessionRig::feedback(uint32_t credit) {
  return send({feedback_message(key, credit)});
}

void VideoSessionRig::run_ms(uint32_t ms) {
  for (uint32_t t = 0; t < ms; t += 10) {
    h.clock().advance_ms(10);
    h.sim().poll_once(0);
  }
}

std::vector<Record> VideoSessionRig::drain() {
  std::vector<Record> out;
  while (h.sim().sessions().has_queued(key)) {
    auto got = send({});
    out.insert(out.end(), got.begin(), got.end());
  }
  return out;
}

}  // namespace tessomar::dvrsim::testing
