// The simulated DVR's channel titles: the title file, the VDTT conversation with a control and
// the titles on the live picture.
#include "dvrsim/titles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "dvrsim/dvr_harness.h"
#include "dvrsim/scene.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

using channels::TitleSet;
using testing::DvrHarness;
using testing::SimClient;
using testing::WireMessage;

// A set with every byte of every block set from its position, and a valid title set sum.
void fill_set(TitleSet& set, uint8_t seed) {
  for (size_t i = 0; i < set.record.size(); ++i) set.record[i] = uint8_t(i * 3 + seed);
  for (int c = 0; c < channels::kSizeClasses; ++c) {
    auto b = set.block(c);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 7 + size_t(c) + seed);
  }
  platform::store_u32le(&set.record[channels::kRecordSetSum], channels::title_set_sum(set));
}

bool same_set(const TitleSet& a, const TitleSet& b) {
  if (a.record != b.record) return false;
  for (int c = 0; c < channels::kSizeClasses; ++c) {
    if (!std::equal(a.block(c).begin(), a.block(c).end(), b.block(c).begin())) return false;
  }
  return true;
}

std::vector<uint8_t> piece(uint32_t offset, std::span<const uint8_t> bytes, int64_t sum = -1,
                           uint32_t declared = 0xFFFFFFFF) {
  std::vector<uint8_t> p(32 + bytes.size(), 0);
  platform::store_u32le(&p[0], offset);
  platform::store_u32le(&p[4], declared != 0xFFFFFFFF ? declared : uint32_t(bytes.size()));
  platform::store_u32le(&p[8], sum >= 0 ? uint32_t(sum) : channels::byte_sum(bytes));
  std::copy(bytes.begin(), bytes.end(), p.begin() + 32);
  return p;
}

// mode, type, block of a VDTT message
std::array<uint32_t, 3> words(const WireMessage& m) { return {m.word(36), m.word(40), m.word(44)}; }

TEST(DvrsimTitleFile, RoundTripsAndRefusesDamagedFiles) {
  TitleSet set;
  fill_set(set, 1);
  const std::vector<uint8_t> file = encode_title_file(set);
  ASSERT_EQ(file.size(), kTitleFileSize);
  EXPECT_EQ(platform::load_u32le(&file[16]), 1160u + 8);
  EXPECT_EQ(platform::load_u32le(&file[20]), 16u);
  TitleSet back;
  std::string why;
  ASSERT_TRUE(decode_title_file(file, back, why)) << why;
  EXPECT_TRUE(same_set(set, back));

  using Edit = std::function<void(std::vector<uint8_t>&)>;
  const size_t chunk1 = 16 + 8 + 1160;  // the chunk of block 1
  struct Case {
    const char* what;
    Edit edit;
    bool accepted;
  } cases[] = {
      {"lower-case magic", [](auto& f) { std::copy_n("vdtt", 4, f.begin() + 4); }, true},
      {"chunks in another order",
       [&](auto& f) {
         // Swap the chunks of blocks 3 and 4 (20736 and 12544 bytes) at the file's end.
         const size_t c3 = chunk1 + 8 + 50176 + 8 + 30976;
         std::vector<uint8_t> tail(f.begin() + long(c3), f.end());
         std::vector<uint8_t> swapped(tail.begin() + 8 + 20736, tail.end());
         swapped.insert(swapped.end(), tail.begin(), tail.begin() + 8 + 20736);
         std::copy(swapped.begin(), swapped.end(), f.begin() + long(c3));
       },
       true},
      {"short", [](auto& f) { f.resize(f.size() - 1); }, false},
      {"longer", [](auto& f) { f.push_back(0); }, false},
      {"header only", [](auto& f) { f.resize(16); }, false},
      {"size field", [](auto& f) { platform::store_u32le(&f[0], 115647); }, false},
      {"magic", [](auto& f) { f[4] = 'X'; }, false},
      {"version", [](auto& f) { platform::store_u32le(&f[8], 0x01000002); }, false},
      {"chunk count", [](auto& f) { platform::store_u32le(&f[12], 4); }, false},
      {"unknown chunk id", [&](auto& f) { platform::store_u32le(&f[chunk1 + 4], 5); }, false},
      {"chunk size", [&](auto& f) { platform::store_u32le(&f[chunk1], 50176 + 9); }, false},
      {"huge chunk size", [&](auto& f) { platform::store_u32le(&f[16], 0xFFFFFFF0u); }, false},
      {"a chunk twice", [&](auto& f) { platform::store_u32le(&f[chunk1 + 4], 16); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> f = file;
    c.edit(f);
    TitleSet target;
    fill_set(target, 9);
    TitleSet before;
    fill_set(before, 9);
    why.clear();
    EXPECT_EQ(decode_title_file(f, target, why), c.accepted) << why;
    if (c.accepted) {
      EXPECT_TRUE(same_set(target, set));
    } else {
      EXPECT_FALSE(why.empty());
      EXPECT_TRUE(same_set(target, before)) << "a refused file changes nothing";
    }
  }
}

class DvrsimTitles : public ::testing::Test {
 protected:
  DvrsimTitles() : client(h.sim()) {
    EXPECT_TRUE(titles.attach(h.sim()));
    fill_set(mine, 5);
  }

  std::vector<uint8_t> vdtt(uint32_t mode, uint32_t type, uint32_t block,
                            const std::vector<uint8_t>& body) {
    return build_message(kVdttTag, key, {mode, type, block}, body);
  }

  // Plays the control through an upload started with `first`: answers every piece request
  // from `mine` (through `answer`, which may spoil a piece) until the DVR sends block id 0.
  // Returns the requests seen.
  std::vector<std::array<uint32_t, 3>> run_upload(
      std::function<std::vector<uint8_t>(uint32_t block, uint32_t off, uint32_t len)> answer) {
    std::vector<std::array<uint32_t, 3>> seen;
    std::vector<std::vector<uint8_t>> out = {
        vdtt(0, 1, 16, piece(0, std::span(mine.record).first(1152)))};
    for (int round = 0; round < 400; ++round) {
      auto msgs = h.exchange_messages(client, key, out);
      out.clear();
      for (const WireMessage& m : msgs) {
        if (m.tag != kVdttTag) continue;
        EXPECT_EQ(m.word(36), 1u) << "piece requests only";
        EXPECT_EQ(m.word(40), 0u);
        const auto p = m.payload();
        const uint32_t block = m.word(44), off = platform::load_u32le(&p[0]),
                       len = platform::load_u32le(&p[4]);
        seen.push_back({block, off, len});
        if (block == 0) return seen;
        out.push_back(vdtt(0, 1, block, answer(block, off, len)));
      }
    }
    ADD_FAILURE() << "the upload did not end";
    return seen;
  }

  std::vector<uint8_t> good_piece(uint32_t block, uint32_t off, uint32_t len) {
    return piece(off, mine.block_by_id(block).subspan(off, len));
  }

  DvrHarness h;
  TitlesChannel titles{h.clock()};
  SimClient client;
  uint32_t key = h.open_session(client);
  TitleSet mine;
};

TEST_F(DvrsimTitles, UploadIsDrivenPieceByPieceAndStoredWhenItsSumMatches) {
  ASSERT_NE(key, 0u);
  auto seen =
      run_upload([this](uint32_t b, uint32_t o, uint32_t l) { return good_piece(b, o, l); });
  // Every piece of blocks 16, 1, 2, 3, 4 once (the first came with the start), then block 0.
  ASSERT_EQ(seen.size(), 2u + 44 + 27 + 18 + 11 - 1 + 1);
  EXPECT_EQ(seen.front(), (std::array<uint32_t, 3>{16, 1152, 8}));
  EXPECT_EQ(seen[1], (std::array<uint32_t, 3>{1, 0, 1152}));
  EXPECT_EQ(seen[44], (std::array<uint32_t, 3>{1, 49536, 640}));
  EXPECT_EQ(seen.back()[0], 0u);
  for (const auto& s : seen) EXPECT_LE(s[2], 1152u);
  EXPECT_EQ(titles.uploads_stored(), 1u);
  EXPECT_TRUE(same_set(titles.set(), mine));
  EXPECT_EQ(titles.channel_titles().bitmaps[3], titles.set().block(0).data() + 3 * 3136);
}

TEST_F(DvrsimTitles, DamagedPiecesAreAskedAgainAndAWrongSetSumIsRefused) {
  ASSERT_NE(key, 0u);
  bool spoiled = false;
  auto seen = run_upload([&](uint32_t b, uint32_t o, uint32_t l) {
    auto p = good_piece(b, o, l);
    if (b == 2 && o == 1152 && !spoiled) {
      spoiled = true;
      p[40] ^= 1;  // a byte of the data: the piece sum no longer matches
    }
    return p;
  });
  EXPECT_EQ(std::count(seen.begin(), seen.end(), std::array<uint32_t, 3>{2, 1152, 1152}), 2);
  EXPECT_EQ(titles.uploads_stored(), 1u);
  EXPECT_TRUE(same_set(titles.set(), mine));

  // The same texts with a set sum that does not add up: the upload ends, the set stays.
  mine.record[100] ^= 0x40;
  seen = run_upload([this](uint32_t b, uint32_t o, uint32_t l) { return good_piece(b, o, l); });
  EXPECT_EQ(seen.back()[0], 0u);
  EXPECT_EQ(titles.uploads_stored(), 1u);
  EXPECT_NE(titles.set().record[100], mine.record[100]);
  EXPECT_TRUE(h.logged("title set sum does not match"));
}

TEST_F(DvrsimTitles, FetchAndPieceRequestsAreAnsweredFromTheSet) {
  ASSERT_NE(key, 0u);
  titles.store(mine);
  auto msgs = h.exchange_messages(
      client, key,
      {vdtt(0, 0, 17, piece(0, {}, 0, 1152)), vdtt(1, 0, 1, piece(50000, {}, 0, 1152)),
       vdtt(1, 0, 4, piece(20000, {}, 0, 1152)),
       // malformed: a data piece declaring more than it carries
       vdtt(0, 1, 16, piece(0, {}, 0, 10))});
  ASSERT_EQ(msgs.size(), 3u);
  EXPECT_EQ(words(msgs[0]), (std::array<uint32_t, 3>{1, 1, 17}));
  auto p = msgs[0].payload();
  ASSERT_EQ(p.size(), 32u + 1160);
  EXPECT_EQ(platform::load_u32le(&p[4]), 1160u);
  EXPECT_TRUE(std::equal(mine.record.begin(), mine.record.end(), p.begin() + 32));

  EXPECT_EQ(words(msgs[1]), (std::array<uint32_t, 3>{0, 1, 1}));
  p = msgs[1].payload();
  ASSERT_EQ(p.size(), 32u + 176);
  EXPECT_EQ(platform::load_u32le(&p[8]), channels::byte_sum(std::span(p).subspan(32)));

  EXPECT_EQ(words(msgs[2]), (std::array<uint32_t, 3>{0, 1, 4}));
  EXPECT_EQ(msgs[2].payload().size(), 32u) << "beyond the block: an empty piece";
}

TEST(DvrsimTitlesPush, NewSessionsGetTheFirstPieceOfThePushedSet) {
  TitleSet set;
  fill_set(set, 3);
  const std::string path = ::testing::TempDir() + "dvrsim_push_titles.vdtt";
  {
    const auto bytes = encode_title_file(set);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  DvrHarness h;
  TitlesChannel titles(h.clock());
  std::string error;
  ASSERT_TRUE(titles.push_file(path, error)) << error;
  EXPECT_TRUE(same_set(titles.set(), set));
  ASSERT_TRUE(titles.attach(h.sim()));
  SimClient c(h.sim());
  const uint32_t key = h.open_session(c);
  auto msgs = h.exchange_messages(c, key, {});
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(words(msgs[0]), (std::array<uint32_t, 3>{0, 1, 16}));
  const auto p = msgs[0].payload();
  ASSERT_EQ(p.size(), 32u + 1152);
  EXPECT_TRUE(std::equal(p.begin() + 32, p.end(), set.record.begin()));

  std::ofstream(path, std::ios::binary) << "VDTT";
  TitlesChannel other(h.clock());
  EXPECT_FALSE(other.push_file(path, error));
  EXPECT_NE(error.find("bytes"), std::string::npos) << error;
  std::remove(path.c_str());
}

TEST(DvrsimTitleScene, TitleBitmapReplacesTheBandNumber) {
  I420Image plain, titled;
  render_scene(plain, 2, 770000000, 0, 704, 576);
  std::vector<uint8_t> bitmap(kTitleBitmapBytes, 0);
  ChannelTitles titles;
  titles.bitmaps[2] = bitmap.data();
  render_scene(titled, 2, 770000000, 0, 704, 576, &titles);
  EXPECT_EQ(plain.y, titled.y) << "a blank title keeps the number";

  // The left half of the bitmap's rows 0-27 set: the box's top-left quarter is white.
  for (int row = 0; row < 28; ++row) {
    for (int b = 0; b < 28; ++b) bitmap[size_t(row * 56 + b)] = 0xFF;
  }
  render_scene(titled, 2, 770000000, 0, 704, 576, &titles);
  const TitleBox box = title_box(704, 576);
  EXPECT_LE(box.x + box.width, 352) << "the right half of the band stays plain";
  EXPECT_GE(box.height, 40);
  auto luma = [&](int x, int y) { return titled.y[size_t(y) * 704 + size_t(x)]; };
  EXPECT_EQ(luma(box.x + box.width / 4, box.y + box.height / 4), kWhite.y);
  EXPECT_EQ(luma(box.x + box.width * 3 / 4, box.y + box.height / 4), kBlack.y);
  EXPECT_EQ(luma(box.x + box.width / 4, box.y + box.height * 3 / 4), kBlack.y);
  EXPECT_EQ(luma(600, box.y + 5), band_colour(2).y);
  // Other channels are not touched by channel 2's title.
  render_scene(titled, 3, 770000000, 0, 704, 576, &titles);
  render_scene(plain, 3, 770000000, 0, 704, 576);
  EXPECT_EQ(plain.y, titled.y);
}

}  // namespace
}  // namespace tessomar::dvrsim
