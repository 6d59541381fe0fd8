// Sound as a listener hears it: tessomar-cli live records what its sound output plays while
// watching the simulator, whose channels 1 and 2 carry a 440 Hz and a 660 Hz tone with a
// 50 ms silence at each whole second of the picture time.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "e2e/e2e_support.h"

namespace tessomar::e2e {
namespace {

// The samples of an 8-bit mono WAV file (an empty vector when it has none).
std::vector<uint8_t> wav_samples(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() < 44 || std::string(file.begin(), file.begin() + 4) != "RIFF") {
    ADD_FAILURE() << path << " is not a WAV file";
    return {};
  }
  return {file.begin() + 44, file.end()};
}

constexpr int kSilence = 128;
constexpr int kSwing = 8;  // the tones swing by about 31 around 128

// Tone frequency from the crossings of a band around the middle, over the samples that move.
double tone_hz(const std::vector<uint8_t>& s) {
  int state = 0, transitions = 0;
  size_t moving = 0;
  for (uint8_t v : s) {
    if (std::abs(int(v) - kSilence) > 2) ++moving;
    const int now = v > kSilence + kSwing ? 1 : v < kSilence - kSwing ? -1 : 0;
    if (now != 0 && now != state) {
      if (state != 0) ++transitions;
      state = now;
    }
  }
  return moving == 0 ? 0 : (transitions / 2.0) / (double(moving) / 8000.0);
}

// Start of every flat stretch of at least 300 samples (37 ms) that lies between tone.
std::vector<size_t> silent_marks(const std::vector<uint8_t>& s) {
  std::vector<size_t> marks;
  size_t run = 0;
  bool heard = false;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool flat = std::abs(int(s[i]) - kSilence) <= 2;
    if (!flat) {
      if (heard && run >= 300 && run <= 600) marks.push_back(i - run);
      heard = true;
      run = 0;
    } else {
      ++run;
    }
  }
  return marks;
}

struct Recording {
  std::vector<uint8_t> samples;
  std::vector<uint32_t> shown_at;  // audio byte when each new second of picture time showed
};

Recording record(const Dvr& dvr, const std::string& view, const std::string& name) {
  const std::string wav = ::testing::TempDir() + "tessomar_audio_" + name + ".wav";
  std::string out, err;
  const int rc = run_cli({"live", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--view", view,
                          "--seconds", "6", "--timeout", "30", "--audio-wav", wav},
                         &out, &err);
  EXPECT_EQ(rc, 0) << out << err;
  Recording r;
  r.samples = wav_samples(wav);
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t at = line.find(" audio_byte=");
    if (line.rfind("shown=", 0) == 0 && at != std::string::npos) {
      r.shown_at.push_back(uint32_t(std::stoul(line.substr(at + 12))));
    }
  }
  std::filesystem::remove(wav);
  return r;
}

TEST(AudioE2e, EachChannelPlaysItsToneAndOthersAreSilent) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start());
  const Recording first = record(dvr, "0", "ch1");
  ASSERT_GT(first.samples.size(), 8000u) << "less than a second of sound";
  EXPECT_NEAR(tone_hz(first.samples), 440, 30);
  const Recording second = record(dvr, "1", "ch2");
  ASSERT_GT(second.samples.size(), 8000u);
  EXPECT_NEAR(tone_hz(second.samples), 660, 40);
  // Channel 3 has no sound: whatever the output played is flat.
  const Recording third = record(dvr, "2", "ch3");
  EXPECT_EQ(tone_hz(third.samples), 0);
}

TEST(AudioE2e, TheMarkFollowsItsPictureClosely) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start());
  const Recording r = record(dvr, "0", "lag");
  // While the output starts, short underruns are filled with a flat level too: the marks are
  // the flat stretches that stand a second apart from a neighbour.
  const std::vector<size_t> flat = silent_marks(r.samples);
  std::vector<size_t> marks;
  auto second_apart = [](size_t a, size_t b) {
    const size_t d = a > b ? a - b : b - a;
    return d > 7840 && d < 8160;
  };
  for (size_t i = 0; i < flat.size(); ++i) {
    const bool before = i > 0 && second_apart(flat[i], flat[i - 1]);
    const bool after = i + 1 < flat.size() && second_apart(flat[i], flat[i + 1]);
    if (before || after) marks.push_back(flat[i]);
  }
  ASSERT_GE(marks.size(), 3u) << "too few whole seconds were heard";
  ASSERT_FALSE(r.shown_at.empty());
  // Sound is held until its picture was shown, so each mark pairs with the last new second of
  // picture time shown before it.
  for (size_t m : marks) {
    uint32_t shown = 0;
    bool found = false;
    for (uint32_t at : r.shown_at) {
      if (at <= m) {
        shown = at;
        found = true;
      }
    }
    if (!found) continue;
    const double lag_s = double(m - shown) / 8000.0;
    std::printf("mark at %.3f s of sound, %.3f s after its picture\n", double(m) / 8000.0, lag_s);
    EXPECT_LT(lag_s, 0.5) << "mark at sample " << m;
  }
}

TEST(AudioE2e, NoSoundFromADvrWithoutAudio) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start({"--audio", "off"}));
  EXPECT_EQ(tone_hz(record(dvr, "0", "off").samples), 0);
}

}  // namespace
}  // namespace tessomar::e2e
