// The simulator's H.264: bit syntax helpers, the client's parameter sets, and the proof that
// rewritten slices decode (libavcodec, client's parameter sets, length-prefixed and padded
// like a frame record) to exactly the pictures of x264's own stream.
#include "dvrsim/h264_rewrite.h"

#include <gtest/gtest.h>

#include "dvrsim/bitstream.h"
#include "dvrsim/encoder.h"
#include "dvrsim/frame_record.h"
#include "dvrsim/h264_test_decoder.h"
#include "dvrsim/scene.h"

namespace tessomar::dvrsim {
namespace {

using testing::DecodedPicture;
using testing::TestDecoder;

using Bytes = std::vector<uint8_t>;

TEST(DvrsimBitstream, ExpGolombRoundTrip) {
  const uint32_t ue_values[] = {0, 1, 2, 3, 7, 8, 254, 255, 65535, 0xFFFFFFFEu};
  const int32_t se_values[] = {0, 1, -1, 2, -2, 26, -26, 100000, -100000};
  Bytes buf;
  BitWriter w(buf);
  for (uint32_t v : ue_values) w.ue(v);
  for (int32_t v : se_values) w.se(v);
  w.bits(0x5, 3);
  BitReader r(buf);
  for (uint32_t v : ue_values) EXPECT_EQ(r.ue(), v);
  for (int32_t v : se_values) EXPECT_EQ(r.se(), v);
  EXPECT_EQ(r.bits(3), 0x5u);
  EXPECT_FALSE(r.error());
}

TEST(DvrsimBitstream, KnownCodesAndErrors) {
  // ue(4) = 00101, se(-2) = ue(4), ue(0) = 1
  Bytes buf;
  BitWriter w(buf);
  w.ue(4);
  w.se(-2);
  w.ue(0);
  w.stop_and_align();
  EXPECT_EQ(buf, (Bytes{0x29, 0x70}));  // 00101 00101 1 1 0000

  // 32 leading zeros cannot be a valid code; reading past the end is sticky.
  Bytes zeros = {0, 0, 0, 0, 0x80};
  BitReader r(zeros);
  EXPECT_EQ(r.ue(), 0u);
  EXPECT_TRUE(r.error());
  Bytes one = {0xFF};
  BitReader r2(one);
  r2.bits(8);
  EXPECT_EQ(r2.bit(), 0u);
  EXPECT_TRUE(r2.error());
}

TEST(DvrsimBitstream, CopyAtAnyAlignment) {
  const Bytes src = {0xA5, 0x3C, 0xF0, 0x0F, 0x99};
  for (size_t first = 0; first < 9; ++first) {
    for (size_t lead = 0; lead < 8; ++lead) {
      Bytes out;
      BitWriter w(out);
      w.bits(0, int(lead));
      w.copy(src, first, 29);
      BitReader a(src), b(out);
      a.skip(first);
      b.skip(lead);
      for (int i = 0; i < 29; ++i) ASSERT_EQ(a.bit(), b.bit()) << first << " " << lead << " " << i;
    }
  }
}

TEST(DvrsimBitstream, EmulationPrevention) {
  struct Case {
    Bytes rbsp, escaped;
  };
  const Case cases[] = {
      {{0, 0, 0}, {0, 0, 3, 0}},
      {{0, 0, 1, 0, 0, 2}, {0, 0, 3, 1, 0, 0, 3, 2}},
      {{0, 0, 3}, {0, 0, 3, 3}},
      {{0, 0, 4, 0, 0}, {0, 0, 4, 0, 0}},
      {{0, 0, 0, 0, 0}, {0, 0, 3, 0, 0, 3, 0}},
  };
  for (const Case& c : cases) {
    Bytes escaped, back;
    escape_rbsp(c.rbsp, escaped);
    EXPECT_EQ(escaped, c.escaped);
    unescape_rbsp(escaped, back);
    EXPECT_EQ(back, c.rbsp);
  }
}

TEST(DvrsimClientParameterSets, MatchTheFixedVectors) {
  Bytes form0;
  append_client_parameter_sets(44, 36, form0);
  EXPECT_EQ(form0, (Bytes{0x00, 0x00, 0x00, 0x09, 0x67, 0x42, 0x00, 0x1E, 0xF2, 0x81, 0x60,
                          0x24, 0xC8, 0x00, 0x00, 0x00, 0x05, 0x68, 0xC9, 0x08, 0x38, 0x80}));
  EXPECT_EQ(client_sps(22, 15), (Bytes{0x67, 0x42, 0x00, 0x1E, 0xF2, 0x82, 0xC3, 0xF2}));
}

// A PPS as an encoder might write it; each case flips one field.
struct PpsCase {
  const char* name;
  bool cabac = false;
  int chroma_qp_offset = 0;
  bool weighted = false;
  bool constrained_intra = false;
  int extension = -1;  // -1: none; else transform_8x8_mode_flag
  bool accepted = true;
};

Bytes make_pps(const PpsCase& c) {
  Bytes nal = {0x68};
  Bytes rbsp;
  BitWriter w(rbsp);
  w.ue(0);  // pps id
  w.ue(0);  // sps id
  w.bit(c.cabac);
  w.bit(0);
  w.ue(0);
  w.ue(2);  // 3 references by default
  w.ue(0);
  w.bit(c.weighted);
  w.bits(0, 2);
  w.se(4);  // pic_init_qp 30
  w.se(0);
  w.se(c.chroma_qp_offset);
  w.bit(1);  // deblocking control
  w.bit(c.constrained_intra);
  w.bit(0);
  if (c.extension >= 0) {
    w.bit(uint32_t(c.extension));
    w.bit(0);
    w.se(c.chroma_qp_offset);
  }
  w.stop_and_align();
  escape_rbsp(rbsp, nal);
  return nal;
}

TEST(DvrsimParseParameterSets, RefusesWhatTheClientSetsCannotSay) {
  const PpsCase cases[] = {
      {.name = "plain"},
      {.name = "cabac", .cabac = true, .accepted = false},
      {.name = "chroma offset", .chroma_qp_offset = -2, .accepted = false},
      {.name = "weighted", .weighted = true, .accepted = false},
      {.name = "constrained intra", .constrained_intra = true, .accepted = false},
      {.name = "8x8 transform", .extension = 1, .accepted = false},
      {.name = "neutral extension", .extension = 0},
  };
  SpsInfo sps;
  for (const PpsCase& c : cases) {
    PpsInfo pps;
    EXPECT_EQ(parse_pps(make_pps(c), sps, pps), c.accepted) << c.name;
    if (c.accepted) {
      EXPECT_EQ(pps.pic_init_qp, 30) << c.name;
      EXPECT_EQ(pps.num_ref_idx_l0_default, 3u) << c.name;
    }
  }
  // The client's own SPS uses order type 0, which the rewrite cannot take as input.
  SpsInfo info;
  EXPECT_FALSE(parse_sps(client_sps(44, 36), info));
}

TEST(DvrsimSliceRewriter, RefusesSlicesItCannotCarry) {
  SliceRewriter rw;
  Bytes out;
  const Bytes idr = {0x65, 0x88, 0x84, 0x00, 0x10};
  EXPECT_EQ(rw.rewrite(idr, out), RewriteStatus::kNoParameterSets);
  EXPECT_TRUE(out.empty());

  // x264-like sets: frame_num 5 bits, order type 2, 4 references; PPS with pic_init_qp 30.
  Bytes sps = {0x67, 0x42, 0xC0, 0x1E};
  BitWriter ws(sps);
  ws.ue(0);
  ws.ue(1);  // log2_max_frame_num 5
  ws.ue(2);  // order type 2
  ws.ue(4);
  ws.bit(0);
  ws.ue(21);
  ws.ue(17);
  ws.bits(0b1100, 4);
  ws.stop_and_align();
  ASSERT_TRUE(rw.set_sps(sps));
  ASSERT_TRUE(rw.set_pps(make_pps({.name = "plain"})));

  struct Case {
    const char* name;
    uint32_t first_mb;
    uint32_t deblock_idc;
    int alpha;
    int qp_delta;
    RewriteStatus expected;
  };
  const Case cases[] = {
      {"carried", 0, 0, 0, 0, RewriteStatus::kOk},
      {"second slice of a picture", 5, 0, 0, 0, RewriteStatus::kUnsupported},
      {"filter offset", 0, 0, 1, 0, RewriteStatus::kUnsupported},
      {"filter off at QP 30", 0, 1, 0, 0, RewriteStatus::kUnsupported},
      {"filter off at QP 15", 0, 1, 0, -15, RewriteStatus::kOk},
      {"QP out of range", 0, 0, 0, 30, RewriteStatus::kMalformed},
  };
  for (const Case& c : cases) {
    Bytes rbsp;
    BitWriter w(rbsp);
    w.ue(c.first_mb);
    w.ue(7);  // I slice
    w.ue(0);
    w.bits(0, 5);
    w.ue(0);  // idr_pic_id
    w.bits(0, 2);
    w.se(c.qp_delta);
    w.ue(c.deblock_idc);
    if (c.deblock_idc != 1) {
      w.se(c.alpha);
      w.se(0);
    }
    w.bits(0x2A, 7);  // stand-in slice data
    w.stop_and_align();
    Bytes nal = {0x65};
    escape_rbsp(rbsp, nal);
    Bytes rewritten;
    EXPECT_EQ(rw.rewrite(nal, rewritten), c.expected) << c.name;
    if (c.expected != RewriteStatus::kOk) {
      EXPECT_TRUE(rewritten.empty()) << c.name;
      continue;
    }
    // first_mb 0, I, pps 0, frame_num 0000, idr_pic_id 0, lsb 0000, marking 00,
    // qp delta relative to 26, then the data bits and a new stop bit.
    Bytes expected_rbsp;
    BitWriter e(expected_rbsp);
    e.ue(0);
    e.ue(7);
    e.ue(0);
    e.bits(0, 4);
    e.ue(0);
    e.bits(0, 4);
    e.bits(0, 2);
    e.se(30 + c.qp_delta - 26);
    e.bits(0x2A, 7);
    e.stop_and_align();
    Bytes expected = {0x65};
    escape_rbsp(expected_rbsp, expected);
    EXPECT_EQ(rewritten, expected) << c.name;
  }
  // Cut short inside the header.
  Bytes cut = {0x65, 0x88};
  EXPECT_EQ(rw.rewrite(cut, out), RewriteStatus::kMalformed);
}

// One encoded sequence: per picture, x264's own output and the DVR's padded payload.
struct EncodedRun {
  int width = 0, height = 0;
  std::vector<Bytes> x264;
  std::vector<Bytes> payload;
  std::vector<bool> key;
};

EncodedRun encode_run(int width, int height, int fps, int frames, uint32_t channel) {
  EncodedRun run{width, height, {}, {}, {}};
  VideoEncoder enc(width, height, fps);
  EXPECT_TRUE(enc.ok());
  I420Image img;
  const uint32_t t0 = 770000000;
  int last_idr = 0;
  for (int i = 0; i < frames; ++i) {
    render_scene(img, channel, t0 + uint32_t(i / fps), uint32_t(i % fps), width, height);
    if (i == 12) enc.force_key_frame();
    const EncodedPicture& p = enc.encode(img.y.data(), img.u.data(), img.v.data());
    EXPECT_TRUE(p.ok) << "picture " << i;
    if (!p.ok) break;
    if (p.key_frame) last_idr = i;
    EXPECT_TRUE(p.key_frame || (i != 0 && i != 12)) << i;
    EXPECT_EQ(p.frame_number, uint32_t(i - last_idr)) << i;
    Bytes padded = p.payload;
    EXPECT_TRUE(pad_video_payload(padded));
    run.x264.push_back(enc.encoder_output());
    run.payload.push_back(std::move(padded));
    run.key.push_back(p.key_frame);
  }
  return run;
}

// The access units as the client builds them: its parameter sets before every key frame.
std::vector<Bytes> client_access_units(const EncodedRun& run, const std::vector<Bytes>& payloads) {
  std::vector<Bytes> units;
  for (size_t i = 0; i < payloads.size(); ++i) {
    Bytes au;
    if (run.key[i])
      append_client_parameter_sets(uint32_t(run.width / 16), uint32_t(run.height / 16), au);
    au.insert(au.end(), payloads[i].begin(), payloads[i].end());
    units.push_back(std::move(au));
  }
  return units;
}

TestDecoder client_decoder(const EncodedRun& run) {
  return TestDecoder(testing::make_avcc(
      client_sps(uint32_t(run.width / 16), uint32_t(run.height / 16)), client_pps()));
}

std::vector<DecodedPicture> decode_reference(const EncodedRun& run) {
  TestDecoder dec;
  EXPECT_TRUE(dec.ok());
  for (const Bytes& unit : run.x264) dec.decode(unit);
  dec.flush();
  EXPECT_EQ(dec.errors(), 0);
  return dec.pictures();
}

struct SizeCase {
  int width, height, fps;
  uint32_t channel;
  bool start_codes = false;  // feed the decoder start codes instead of length prefixes
};

// The other way a client may drive the decoder: each four-byte length becomes a start code.
Bytes to_start_codes(Bytes au) {
  size_t pos = 0;
  while (pos + 4 <= au.size()) {
    const size_t n =
        size_t(au[pos]) << 24 | size_t(au[pos + 1]) << 16 | size_t(au[pos + 2]) << 8 | au[pos + 3];
    au[pos] = au[pos + 1] = au[pos + 2] = 0;
    au[pos + 3] = 1;
    pos += 4 + n;
  }
  EXPECT_EQ(pos, au.size());
  return au;
}

class DvrsimRewriteDecodesIdentically : public ::testing::TestWithParam<SizeCase> {};

TEST_P(DvrsimRewriteDecodesIdentically, EveryPictureBitExact) {
  const SizeCase c = GetParam();
  const int frames = 40;
  const EncodedRun run = encode_run(c.width, c.height, c.fps, frames, c.channel);
  ASSERT_EQ(run.payload.size(), size_t(frames));
  int idrs = 0;
  for (bool k : run.key) idrs += k ? 1 : 0;
  EXPECT_GE(idrs, 2);

  const std::vector<DecodedPicture> reference = decode_reference(run);
  ASSERT_EQ(reference.size(), size_t(frames));

  // The client needs every picture out of the call that decodes it: no reorder delay.
  TestDecoder dec = c.start_codes ? TestDecoder() : client_decoder(run);
  ASSERT_TRUE(dec.ok());
  const std::vector<Bytes> units = client_access_units(run, run.payload);
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_LE(kFrameRecordHeaderSize + kPictureHeaderSize + run.payload[i].size(),
              kMaxFrameRecordSize);
    EXPECT_EQ(dec.decode(c.start_codes ? to_start_codes(units[i]) : units[i]), 1)
        << "picture " << i;
  }
  EXPECT_EQ(dec.flush(), 0);
  EXPECT_EQ(dec.errors(), 0);
  ASSERT_EQ(dec.pictures().size(), reference.size());
  for (size_t i = 0; i < reference.size(); ++i) {
    const DecodedPicture& p = dec.pictures()[i];
    EXPECT_EQ(p.width, c.width);
    EXPECT_EQ(p.height, c.height);
    EXPECT_FALSE(p.damaged) << i;
    EXPECT_TRUE(p == reference[i]) << "picture " << i << " differs";
  }

  // The decoded band (right half, away from its edges) shows the channel's colour.
  const DecodedPicture& first = dec.pictures().front();
  const Yuv want = band_colour(c.channel);
  const int band = band_height(c.height);
  int64_t sum[3] = {0, 0, 0};
  int64_t n = 0, nc = 0;
  for (int y = 2; y < band - 2; ++y) {
    for (int x = c.width / 2; x < c.width - 2; ++x) {
      sum[0] += first.y[size_t(y) * size_t(c.width) + size_t(x)];
      ++n;
    }
  }
  for (int y = 1; y < band / 2 - 1; ++y) {
    for (int x = c.width / 4; x < c.width / 2 - 1; ++x) {
      sum[1] += first.u[size_t(y) * size_t(c.width / 2) + size_t(x)];
      sum[2] += first.v[size_t(y) * size_t(c.width / 2) + size_t(x)];
      ++nc;
    }
  }
  EXPECT_NEAR(double(sum[0]) / double(n), want.y, 3.0);
  EXPECT_NEAR(double(sum[1]) / double(nc), want.u, 3.0);
  EXPECT_NEAR(double(sum[2]) / double(nc), want.v, 3.0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DvrsimRewriteDecodesIdentically,
                         ::testing::Values(SizeCase{704, 576, 25, 3}, SizeCase{704, 480, 30, 9},
                                           SizeCase{352, 288, 25, 14},
                                           SizeCase{352, 288, 25, 0, true}),
                         [](const auto& test_info) {
                           return std::to_string(test_info.param.width) + "x" +
                                  std::to_string(test_info.param.height) +
                                  (test_info.param.start_codes ? "_start_codes" : "");
                         });

// Rewrites x264's units again with a given fault, like the encoder does.
std::vector<Bytes> rewrite_run(const EncodedRun& run, RewriteFault fault) {
  SliceRewriter rw;
  rw.set_fault(fault);
  std::vector<Bytes> payloads;
  for (const Bytes& out : run.x264) {
    Bytes payload;
    for (std::span<const uint8_t> unit : testing::split_annex_b(out)) {
      const int type = unit[0] & 0x1F;
      if (type == 7) {
        EXPECT_TRUE(rw.set_sps(unit));
      } else if (type == 8) {
        EXPECT_TRUE(rw.set_pps(unit));
      }
      if (type != 1 && type != 5) continue;
      const size_t at = payload.size();
      payload.insert(payload.end(), 4, 0);
      EXPECT_EQ(rw.rewrite(unit, payload), RewriteStatus::kOk);
      const size_t n = payload.size() - at - 4;
      for (int b = 0; b < 4; ++b) payload[at + size_t(b)] = uint8_t(n >> (24 - 8 * b));
    }
    EXPECT_TRUE(pad_video_payload(payload));
    payloads.push_back(std::move(payload));
  }
  return payloads;
}

// Predicted pictures of a client-side decode that equal the reference.
size_t matching_predicted(const EncodedRun& run, const std::vector<Bytes>& payloads,
                          const std::vector<DecodedPicture>& reference) {
  TestDecoder dec = client_decoder(run);
  for (const Bytes& au : client_access_units(run, payloads)) dec.decode(au);
  dec.flush();
  size_t same = 0;
  for (size_t i = 0; i < dec.pictures().size() && i < reference.size(); ++i) {
    same += !run.key[i] && dec.pictures()[i] == reference[i] ? 1 : 0;
  }
  return same;
}

TEST(DvrsimRewriteNegativeControl, WrongRewritesFailTheComparison) {
  const EncodedRun run = encode_run(352, 288, 25, 20, 5);
  ASSERT_EQ(run.payload.size(), 20u);
  const std::vector<DecodedPicture> reference = decode_reference(run);
  ASSERT_EQ(reference.size(), 20u);

  size_t predicted = 0;
  for (bool k : run.key) predicted += k ? 0 : 1;
  // The harness itself reproduces the encoder's payloads and their pictures...
  const std::vector<Bytes> clean = rewrite_run(run, RewriteFault::kNone);
  EXPECT_EQ(clean, run.payload);
  EXPECT_EQ(matching_predicted(run, clean, reference), predicted);
  // ...and a one-step QP error or a lost reference count spoils every predicted picture
  // (the second fault from the first picture after each IDR, which has one reference).
  EXPECT_EQ(matching_predicted(run, rewrite_run(run, RewriteFault::kQpOffByOne), reference), 0u);
  EXPECT_EQ(matching_predicted(run, rewrite_run(run, RewriteFault::kIgnoreRefCount), reference),
            0u);
}

}  // namespace
}  // namespace tessomar::dvrsim
