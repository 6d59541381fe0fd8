// Channel titles between the shipped simulator and its clients: a pushed title file reaches a
// control, an uploaded set is stored under --data-dir and survives restarts, and the stored
// class-0 bitmap shows in place of the band number on the live picture the CLI decodes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "channels/title_set.h"
#include "dvrsim/scene.h"
#include "dvrsim/titles.h"
#include "e2e/e2e_support.h"
#include "e2e/picture_check.h"
#include "e2e/sim_client.h"
#include "link/wire.h"
#include "platform/bytes.h"

namespace tessomar::e2e {
namespace {

using channels::TitleSet;
constexpr int kChannel = 5;  // the CLI's view "5"

// A set whose channel-5 class-0 bitmap has one quarter set (0 top-left, 3 bottom-right), a
// title text and a valid title set sum.
void make_set(TitleSet& set, int quarter, const std::string& text) {
  std::copy(text.begin(), text.end(), set.record.begin() + channels::kRecordTitles + 64 * kChannel);
  auto bitmap = set.bitmap(0, kChannel);
  const int rows0 = quarter / 2 * 28, cols0 = quarter % 2 * 28;
  for (int row = rows0; row < rows0 + 28; ++row) {
    for (int b = cols0; b < cols0 + 28; ++b) bitmap[size_t(row * 56 + b)] = 0xFF;
  }
  platform::store_u32le(&set.record[channels::kRecordSetSum], channels::title_set_sum(set));
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes piece(uint32_t offset, std::span<const uint8_t> bytes, uint32_t length) {
  Bytes p(32 + bytes.size(), 0);
  platform::store_u32le(&p[0], offset);
  platform::store_u32le(&p[4], length);
  platform::store_u32le(&p[8], channels::byte_sum(bytes));
  std::copy(bytes.begin(), bytes.end(), p.begin() + 32);
  return p;
}

// A raw protocol session with the simulator.
struct Session {
  explicit Session(const Dvr& dvr) : client(dvr.port) {
    EXPECT_TRUE(link::split_dvr_uk(dvr.dvr_uk, level, password));
    auto r = client.exchange(link::kFrameSessionOpen, 0, level, password);
    if (r && r->header.type == link::kFrameSessionKey) key = r->header.value;
  }
  std::optional<Reply> send(const std::vector<Bytes>& messages) {
    return client.exchange(link::kFrameDataPoll, key, level, password, messages);
  }
  // Polls until a VDTT message arrives; empty when none came in the deadline.
  Bytes next_vdtt(const std::vector<Bytes>& first = {}) {
    std::vector<Bytes> out = first;
    const auto until = std::chrono::steady_clock::now() + kDeadline;
    while (std::chrono::steady_clock::now() < until) {
      auto r = send(out);
      out.clear();
      if (!r) return {};
      for (auto& m : r->messages) {
        if (word(m, 4) == link::make_tag("VDTT")) return m;
      }
    }
    return {};
  }

  SimClient client;
  std::string level, password;
  uint32_t key = 0;
};

// Acts as the control through an upload of `set`: sends the first piece and answers every
// piece request until the DVR ends with block id 0.
bool upload(Session& s, TitleSet& set) {
  std::vector<Bytes> out = {
      message("VDTT", s.key, {0, 1, 16}, piece(0, std::span(set.record).first(1152), 1152))};
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (std::chrono::steady_clock::now() < until) {
    auto r = s.send(out);
    out.clear();
    if (!r) return false;
    for (auto& m : r->messages) {
      if (word(m, 4) != link::make_tag("VDTT")) continue;
      const uint32_t block = word(m, 44), off = word(m, 64), len = word(m, 68);
      if (block == 0) return true;
      const auto bytes = set.block_by_id(block).subspan(off, len);
      out.push_back(message("VDTT", s.key, {0, 1, block}, piece(off, bytes, len)));
    }
  }
  return false;
}

// Brightness (0-255) at the centre of a quarter of the channel's title box in a snapshot.
int quarter_brightness(const Rgb24& img, int quarter) {
  const dvrsim::TitleBox box = dvrsim::title_box(704, 576);
  const int x = box.x + box.width * (2 * (quarter % 2) + 1) / 4;
  const int y = box.y + box.height * (2 * (quarter / 2) + 1) / 4;
  const dvrsim::Rgb p = img.at(x, y);
  return (p.r + p.g + p.b) / 3;
}

// Runs the CLI's live view of the channel and checks which quarter of the title box is lit.
void expect_title_quarter(const Dvr& dvr, int lit, int seconds, const std::string& name) {
  const std::string snap = ::testing::TempDir() + "tessomar_vdtt_" + name + ".png";
  std::string out, err;
  ASSERT_EQ(
      run_cli({"live", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--view", std::to_string(kChannel),
               "--seconds", std::to_string(seconds), "--timeout", "30", "--snapshot", snap},
              &out, &err),
      0)
      << out << err << dvr.process->all_output();
  Rgb24 img;
  ASSERT_TRUE(read_png(snap, img)) << snap;
  for (int q = 0; q < 4; ++q) {
    SCOPED_TRACE("quarter " + std::to_string(q));
    if (q == lit) {
      EXPECT_GT(quarter_brightness(img, q), 180);
    } else {
      EXPECT_LT(quarter_brightness(img, q), 70);
    }
  }
  // The right half of the band keeps the channel's colour.
  EXPECT_EQ(nearest_channel(img.at(704 * 3 / 4, dvrsim::band_height(576) / 2)), kChannel);
  std::remove(snap.c_str());
}

void stop(Dvr& dvr) {
  ASSERT_TRUE(dvr.process->send_signal(SIGTERM));
  auto status = dvr.process->wait_exit(kDeadline);
  ASSERT_TRUE(status && status->exited);
}

TEST(VdttE2e, PushedUploadedAndStoredTitlesShowOnTheLivePicture) {
  const std::string dir = ::testing::TempDir() + "vdtt-e2e-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/push.vdtt";
  TitleSet pushed;
  make_set(pushed, 0, "Gate");
  write_file(file, dvrsim::encode_title_file(pushed));

  {
    Dvr dvr;
    ASSERT_TRUE(
        dvr.start({"--poll-idle-ms", "200", "--data-dir", dir + "/data", "--push-titles", file}));
    // A new session is sent the record's first piece; the rest comes as it is asked for.
    Session s(dvr);
    ASSERT_NE(s.key, 0u);
    Bytes m = s.next_vdtt();
    ASSERT_FALSE(m.empty()) << dvr.process->all_output();
    EXPECT_EQ(word(m, 36), 0u);
    EXPECT_EQ(word(m, 40), 1u);
    EXPECT_EQ(word(m, 44), 16u);
    ASSERT_EQ(m.size(), 64u + 32 + 1152);
    EXPECT_TRUE(std::equal(m.begin() + 96, m.end(), pushed.record.begin()));
    m = s.next_vdtt({message("VDTT", s.key, {1, 0, 1}, piece(kChannel * 3136, {}, 1152))});
    ASSERT_EQ(m.size(), 64u + 32 + 1152);
    EXPECT_EQ(word(m, 44), 1u);
    const auto bitmap = pushed.bitmap(0, kChannel);
    EXPECT_TRUE(std::equal(m.begin() + 96, m.end(), bitmap.begin()));

    // A control walks the whole pushed download and ends it with block id 0.
    expect_title_quarter(dvr, 0, 4, "pushed");
    EXPECT_TRUE(dvr.process->wait_for_line(Stream::kStderr, "pushed set taken", kDeadline))
        << dvr.process->all_output();
    stop(dvr);
  }
  TitleSet uploaded;
  make_set(uploaded, 3, "Yard");
  {
    Dvr dvr;
    ASSERT_TRUE(dvr.start({"--poll-idle-ms", "200", "--data-dir", dir + "/data"}));
    Session s(dvr);
    ASSERT_NE(s.key, 0u);
    // The stored set came back from the data directory.
    Bytes m = s.next_vdtt({message("VDTT", s.key, {0, 0, 17}, piece(0, {}, 1152))});
    ASSERT_EQ(m.size(), 64u + 32 + 1160);
    EXPECT_EQ(word(m, 36), 1u);
    EXPECT_EQ(word(m, 44), 17u);
    EXPECT_TRUE(std::equal(m.begin() + 96, m.end(), pushed.record.begin()));

    ASSERT_TRUE(upload(s, uploaded)) << dvr.process->all_output();
    EXPECT_TRUE(dvr.process->wait_for_line(Stream::kStderr, "titles: set stored", kDeadline));
    stop(dvr);
  }
  {
    Dvr dvr;
    ASSERT_TRUE(dvr.start({"--data-dir", dir + "/data"}));
    expect_title_quarter(dvr, 3, 3, "uploaded");
    stop(dvr);
  }
  std::filesystem::remove_all(dir);
}

TEST(VdttE2e, DamagedTitleFilesAreRefusedAtStart) {
  const std::string dir = ::testing::TempDir() + "vdtt-bad-" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir + "/data");
  TitleSet set;
  std::vector<uint8_t> bytes = dvrsim::encode_title_file(set);
  bytes.resize(bytes.size() - 100);
  write_file(dir + "/data/titles.vdtt", bytes);
  write_file(dir + "/push.vdtt", {'V', 'D', 'T', 'T'});
  struct Case {
    std::vector<std::string> options;
    const char* message;
  } cases[] = {
      {{"--data-dir", dir + "/data"}, "titles.vdtt: title file has"},
      {{"--push-titles", dir + "/push.vdtt"}, "push.vdtt: title file has"},
      {{"--push-titles", dir + "/missing.vdtt"}, "cannot read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ChildProcess p;
    std::vector<std::string> argv{kBin + "/tessomar-dvrsim", "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    ASSERT_TRUE(p.start(argv));
    auto status = p.wait_exit(kDeadline);
    ASSERT_TRUE(status && status->exited);
    EXPECT_EQ(status->code, 1);
    EXPECT_NE(p.output(Stream::kStderr).find(c.message), std::string::npos) << p.all_output();
    EXPECT_EQ(p.output(Stream::kStdout).find("listening on"), std::string::npos);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tessomar::e2e
