#include "setup/title_editor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/dialogs.h"
#include "platform/form.h"
#include "platform/log.h"
#include "platform/text.h"
#include "shell/form_description.h"

namespace tessomar::setup {
namespace {

using channels::kSizeClassTable;
using Bytes = std::vector<uint8_t>;

class TitleEditorTest : public ::testing::Test {
 protected:
  TitleEditorTest() : dialogs(logger), editor(form, dialogs, logger, transfer) {
    auto rows = shell::main_form_description();
    form.build(rows.data(), rows.size());
    editor.prepare();
    editor.set_channel_count(16);
  }

  void type(int channel, std::string_view text) {
    auto& e = form["LabeledEdit_Title" + std::to_string(channel + 1)];
    e.set_caption(text);
    e.fire("OnChange");
  }
  std::string stored(int channel) const {
    const auto* p = reinterpret_cast<const char*>(transfer.set.record.data() +
                                                  channels::kRecordTitles + size_t(channel) * 64);
    return std::string(p, strnlen(p, 64));
  }
  // Every byte of the set, to show that something changed nothing.
  Bytes snapshot() const {
    Bytes all(transfer.set.record.begin(), transfer.set.record.end());
    for (int k = 0; k < channels::kSizeClasses; ++k) {
      auto b = transfer.set.block(k);
      all.insert(all.end(), b.begin(), b.end());
    }
    return all;
  }
  std::string temp_path(const char* name) { return ::testing::TempDir() + name; }

  platform::Logger logger;
  platform::HeadlessDialogs dialogs;
  platform::Form form;
  channels::TitleTransfer transfer;
  TitleEditor editor;
};

TEST(TitleSizeTest, TargetHeightAndPointsFollowThePercentAndClassHeight) {
  struct Case {
    int32_t percent;
    int height;
    int h72;
    int target;
    int points;
  };
  // 84 px is roughly DejaVu Sans's cell at 72 points and 96 dpi.
  const Case cases[] = {
      {100, 56, 84, 56, 48}, {100, 44, 84, 44, 37}, {100, 36, 84, 36, 30},
      {100, 28, 84, 28, 24}, {10, 28, 84, 2, 8},     // tiny targets still get 8 points
      {5, 56, 84, 33, 28},                           // out of range counts as 60
      {250, 44, 84, 26, 22}, {100, 56, 20, 56, 72},  // huge sizes stop at 72 points
      {60, 44, 0, 26, 72},                           // nothing measured
  };
  for (const Case& c : cases) {
    const TitleSize s = title_size(c.percent, c.height, c.h72);
    EXPECT_EQ(s.target, c.target) << c.percent << "% of " << c.height;
    EXPECT_EQ(s.points, c.points) << c.percent << "% of " << c.height;
  }
}

TEST_F(TitleEditorTest, PreparationSetsTheDefaultFontAndSize) {
  EXPECT_EQ(editor.record_font().family, kDefaultFontFamily);
  EXPECT_EQ(editor.text_height(), 60);
  EXPECT_EQ(form["ScrollBar_TFS"].min(), 10);
  EXPECT_EQ(form["ScrollBar_TFS"].max(), 100);
  EXPECT_EQ(form["ScrollBar_TFS"].position(), 60);
  EXPECT_EQ(form["LabeledEdit_Title16"].tag(), 15);
  EXPECT_EQ(form["LabeledEdit_Title1"].max_length(), 60);
  EXPECT_EQ(form["ComboBox_Title"].items().size(), 19u);
  EXPECT_EQ(form["ComboBox_Title"].items()[5], "5 Simplified Chinese  ");
  EXPECT_EQ(form["Image_Title1"].picture().width(), 352);
  EXPECT_EQ(form["Image_Title1"].picture().pixel(0, 0), kNavy);
}

TEST_F(TitleEditorTest, FontSizeControlsStoreAPercentBetween10And100) {
  enum Control { Combo, Scroll, Typed };
  struct Step {
    Control control;
    int value;
    const char* typed;
    int32_t stored;
    const char* edit_text;
  };
  const Step steps[] = {
      {Combo, 0, "", 80, "80"},   {Combo, 9, "", 60, "60"},  // a bad index picks Medium
      {Scroll, 33, "", 33, "33"}, {Typed, 0, "100", 100, "100"}, {Typed, 0, "5", 60, "5"},
      {Typed, 0, "10", 10, "10"}, {Typed, 0, "101", 60, "101"},  {Typed, 0, "42", 42, "42"},
      {Typed, 0, "", 42, ""},  // empty: ignored
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(::testing::Message() << s.control << " " << s.value << " " << s.typed);
    transfer.dirty.fill(0);
    if (s.control == Combo) {
      form["ComboBox_TFS"].set_item_index(s.value);
      form["ComboBox_TFS"].fire("OnChange");
      EXPECT_EQ(form["ComboBox_TFS"].item_index(), s.value < 5 ? s.value : 2);
    } else if (s.control == Scroll) {
      form["ScrollBar_TFS"].set_position(s.value);
      form["ScrollBar_TFS"].fire("OnChange");
    } else {
      form["Edit_TFS"].set_caption(s.typed);
      form["Edit_TFS"].fire("OnChange");
    }
    EXPECT_EQ(editor.text_height(), s.stored);
    EXPECT_EQ(form["Edit_TFS"].caption(), s.edit_text);
    EXPECT_EQ(transfer.dirty[15], *s.typed || s.control != Typed ? 1 : 0);
  }
  EXPECT_TRUE(dialogs.messages().empty());

  form["Edit_TFS"].set_caption("abc");
  form["Edit_TFS"].fire("OnChange");
  EXPECT_EQ(editor.text_height(), 42);
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0].text, "'abc' is not a valid integer value");
}

TEST_F(TitleEditorTest, ChannelCountHidesEditsAndHiddenChannelsAreNotStored) {
  editor.set_channel_count(8);
  for (int ch = 0; ch < 16; ++ch) {
    EXPECT_EQ(form["LabeledEdit_Title" + std::to_string(ch + 1)].visible(), ch < 8) << ch;
  }
  type(7, "Yard");
  type(8, "Gate");  // shown again later, typed into: the DVR has no such channel
  EXPECT_EQ(stored(7), "Yard");
  EXPECT_EQ(stored(8), "");
  EXPECT_EQ(transfer.previewChannel, 7);
  EXPECT_EQ(transfer.dirty[7], 1);
  EXPECT_EQ(transfer.dirty[8], 0);

  editor.set_channel_count(0);
  type(0, "Door");
  EXPECT_EQ(stored(0), "");
}

TEST_F(TitleEditorTest, TypedTextIsStoredInTheLanguagesCodePageOrRefused) {
  struct Case {
    int language;
    const char* typed;
    const char* bytes;  // nullptr: refused
  };
  const Case cases[] = {
      {0, "Caf\xC3\xA9 1", "Caf\xE9 1"},                    // CP1252
      {3, "\xD0\x9A\xD0\xB0\xD0\xBC", "\xCA\xE0\xEC"},      // Russian, CP1251
      {1, "\xE5\xA4\xA7\xE9\x96\x80", "\xA4\x6A\xAA\xF9"},  // Traditional Chinese, Big5
      {0, "\xD0\x9A\xD0\xB0\xD0\xBC", nullptr},             // Cyrillic has no place in CP1252
      {6, "\xF0\x9F\x98\x80", nullptr},                     // an emoji in Shift-JIS
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    type(2, "old");
    dialogs.clear_messages();
    editor.select_language(c.language);
    type(2, c.typed);
    if (c.bytes) {
      EXPECT_EQ(stored(2), c.bytes);
      EXPECT_EQ(editor.title_text(2), c.typed);
      EXPECT_TRUE(dialogs.messages().empty());
    } else {
      EXPECT_EQ(stored(2), "old");
      ASSERT_EQ(dialogs.messages().size(), 1u);
      EXPECT_NE(dialogs.messages()[0].text.find("CH3"), std::string::npos);
    }
  }
  // Over 60 bytes: whole characters are kept up to 60 bytes.
  editor.select_language(1);
  std::string many;
  for (int i = 0; i < 40; ++i) many += "\xE5\xA4\xA7";  // 40 characters, 80 bytes in Big5
  type(4, many);
  EXPECT_EQ(stored(4).size(), 60u);
}

TEST_F(TitleEditorTest, RefillSelectsTheRecordsLanguageAndShowsTheTitles) {
  struct Case {
    int32_t language;
    int shown;
  };
  for (const Case c : {Case{18, 18}, Case{25, 0}, Case{-3, 0}, Case{3, 3}}) {
    platform::store_u32le(transfer.set.record.data() + channels::kRecordLanguage,
                          uint32_t(c.language));
    platform::store_u32le(transfer.set.record.data() + channels::kRecordTextHeight, 250);
    std::memset(transfer.set.record.data() + channels::kRecordTitles + 64, 'A', 64);
    editor.refill();
    EXPECT_EQ(form["ComboBox_Title"].item_index(), c.shown) << c.language;
    EXPECT_EQ(editor.language(), c.shown);
    EXPECT_EQ(editor.text_height(), 60) << "250 % counts as 60";
    EXPECT_EQ(form["LabeledEdit_Title2"].caption(), std::string(63, 'A'));  // byte 63 forced 0
  }
  EXPECT_EQ(form["ComboBox_Title"].caption(), "3 Russian");
}

TEST_F(TitleEditorTest, SaveAndLoadReproduceTheRecordExactlyAndRenderAgain) {
  editor.select_language(3);
  type(0, "\xD0\x9A\xD0\xB0\xD0\xBC 1");
  type(5, "Gate");
  editor.set_font({"DejaVu Sans", true, false, true, false});
  form["ScrollBar_TFS"].set_position(85);
  form["ScrollBar_TFS"].fire("OnChange");
  editor.render_tick();
  const Bytes before = snapshot();
  const std::string path = temp_path("titles_roundtrip.vdtt");
  ASSERT_TRUE(editor.save_file(path));

  // The file: header and five chunks in the order 16, 1, 2, 3, 4.
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(file.size(), kTitleFileSize);
  EXPECT_EQ(platform::load_u32le(file.data()), kTitleFileSize);
  EXPECT_EQ(std::memcmp(file.data() + 4, "VDTT", 4), 0);
  EXPECT_EQ(platform::load_u32le(file.data() + 8), 0x01000003u);
  EXPECT_EQ(platform::load_u32le(file.data() + 16), 1168u);
  EXPECT_EQ(platform::load_u32le(file.data() + 20), 16u);
  EXPECT_EQ(platform::load_u32le(file.data() + 16 + 1168 + 4), 1u);

  type(0, "changed");
  editor.select_language(0);
  for (int k = 0; k < 4; ++k)
    std::fill(transfer.set.block(k).begin(), transfer.set.block(k).end(), 0);
  transfer.dirty.fill(0);
  ASSERT_TRUE(editor.load_file(path));
  EXPECT_EQ(Bytes(transfer.set.record.begin(), transfer.set.record.end()),
            Bytes(before.begin(), before.begin() + channels::kTitleRecordSize));
  EXPECT_EQ(form["LabeledEdit_Title1"].caption(), "\xD0\x9A\xD0\xB0\xD0\xBC 1");
  EXPECT_EQ(form["ComboBox_Title"].item_index(), 3);
  EXPECT_EQ(form["ScrollBar_TFS"].position(), 85);
  for (int32_t d : transfer.dirty) EXPECT_EQ(d, 1);
  editor.render_tick();
  EXPECT_EQ(snapshot(), before) << "the loaded texts and font render the same bitmaps";
  std::remove(path.c_str());
}

TEST_F(TitleEditorTest, BrokenTitleFilesAreRefusedAndChangeNothing) {
  type(0, "keep");
  editor.render_tick();
  const Bytes good = save_title_file(transfer.set);
  struct Case {
    const char* what;
    std::function<Bytes()> file;
  };
  const Case cases[] = {
      {"empty", [] { return Bytes{}; }},
      {"short header", [&] { return Bytes(good.begin(), good.begin() + 10); }},
      {"truncated", [&] { return Bytes(good.begin(), good.begin() + 50000); }},
      {"total size beyond its bytes",
       [&] {
         Bytes b = good;
         platform::store_u32le(b.data(), 200000);
         return b;
       }},
      {"chunk cut short",
       [&] {
         Bytes b = good;
         platform::store_u32le(b.data(), 16 + 1168 + 20);
         b.resize(16 + 1168 + 20);
         return b;
       }},
      {"magic",
       [&] {
         Bytes b = good;
         std::memcpy(b.data() + 4, "VDTX", 4);
         return b;
       }},
      {"version",
       [&] {
         Bytes b = good;
         platform::store_u32le(b.data() + 8, 0x01000002);
         return b;
       }},
  };
  type(0, "other");
  const Bytes before = snapshot();
  for (const Case& c : cases) {
    const Bytes f = c.file();
    const std::string path = temp_path("titles_broken.vdtt");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size()));
    dialogs.clear_messages();
    EXPECT_FALSE(editor.load_file(path)) << c.what;
    EXPECT_EQ(snapshot(), before) << c.what;
    ASSERT_EQ(dialogs.messages().size(), 1u) << c.what;
    EXPECT_NE(dialogs.messages()[0].text.find("nothing was loaded"), std::string::npos);
    std::remove(path.c_str());
  }
  // A file that does not open is ignored without a message.
  dialogs.clear_messages();
  EXPECT_FALSE(editor.load_file(temp_path("no-such-dir/none.vdtt")));
  EXPECT_TRUE(dialogs.messages().empty());
}

TEST(TitleFileTest, UnknownChunksEndTheLoadAndKeepWhatCameBefore) {
  channels::TitleSet source;
  source.record[100] = 7;
  source.block(0)[5] = 9;
  source.block(1)[6] = 11;
  Bytes file = save_title_file(source);
  std::memcpy(file.data() + 4, "vdtt", 4);  // lower case is accepted too
  // The third chunk (block 2) gets an unknown id.
  const size_t third = 16 + 1168 + 50184;
  platform::store_u32le(file.data() + third + 4, 9);
  channels::TitleSet loaded;
  const TitleFileLoad r = load_title_file(file, loaded);
  EXPECT_FALSE(r.refused);
  EXPECT_EQ(r.chunks, 2);
  EXPECT_EQ(loaded.record[100], 7);
  EXPECT_EQ(loaded.block(0)[5], 9);
  EXPECT_EQ(loaded.block(1)[6], 0);

  // A chunk of the right id but another size ends it as well; a count of 1 stops after one.
  file = save_title_file(source);
  platform::store_u32le(file.data() + 12, 1);
  channels::TitleSet one;
  EXPECT_EQ(load_title_file(file, one).chunks, 1);
  EXPECT_EQ(one.block(0)[5], 0);
}

// The bitmap's own ink box, from its set bits.
struct Box {
  int left = 1 << 20, top = 1 << 20, right = -1, bottom = -1;
};
Box bitmap_ink(std::span<const uint8_t> bits, int width, int height) {
  Box b;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (bits[size_t(y) * size_t(width / 8) + size_t(x / 8)] & (1u << (x % 8))) {
        b.left = std::min(b.left, x);
        b.right = std::max(b.right, x);
        b.top = std::min(b.top, y);
        b.bottom = std::max(b.bottom, y);
      }
    }
  }
  return b;
}

uint32_t fnv1a(std::span<const uint8_t> bytes) {
  uint32_t h = 2166136261u;
  for (uint8_t b : bytes) h = (h ^ b) * 16777619u;
  return h;
}

TEST_F(TitleEditorTest, RenderedTitlesAreCentredAndStable) {
  ASSERT_NE(editor.record_font().family.find("DejaVu"), std::string::npos);
  type(2, "CAM 3 Gate");
  form["ScrollBar_TFS"].set_position(100);
  form["ScrollBar_TFS"].fire("OnChange");
  editor.render_tick();
  std::array<uint32_t, 4> sums{};
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    const auto& sc = kSizeClassTable[size_t(k)];
    auto bits = transfer.set.bitmap(k, 2);
    const Box ink = bitmap_ink(bits, sc.width, sc.height);
    ASSERT_GE(ink.right, 0) << "no ink";
    // Centred to within the ink box's own one-pixel rounding.
    EXPECT_NEAR(ink.left, sc.width - 1 - ink.right, 2);
    EXPECT_NEAR(ink.top, sc.height - 1 - ink.bottom, 2);
    // 100 %: the cell fills the height, so the capitals take most of it.
    EXPECT_GT(ink.bottom - ink.top + 1, sc.height / 2);
    EXPECT_LE(ink.bottom - ink.top + 1, sc.height);
    const InkBox box = editor.ink_box(2, k);
    EXPECT_EQ(box.width, ink.right - ink.left);
    sums[size_t(k)] = fnv1a(bits);
    // Nothing of the other channels.
    EXPECT_EQ(bitmap_ink(transfer.set.bitmap(k, 1), sc.width, sc.height).right, -1);
  }
  // The bytes of DejaVu Sans as Debian 12 ships it; a change here means the rendering moved.
  EXPECT_EQ(sums, (std::array<uint32_t, 4>{1881309285u, 192695102u, 3095136770u, 180873343u}));
}

TEST_F(TitleEditorTest, PreviewShowsTheLastEditedTitleOutlinedOnNavy) {
  type(4, "Hall");
  editor.render_tick();
  const platform::Bitmap& pic = form["Image_Title1"].picture();
  int white = 0;
  int black = 0;
  for (int y = 0; y < 44; ++y) {
    for (int x = 0; x < 352; ++x) {
      const uint32_t p = pic.pixel(x, y);
      ASSERT_TRUE(p == kNavy || p == kWhite || p == kBlack) << x << "," << y;
      if (p == kWhite) {
        ++white;
        // The outline: no white pixel touches the navy field.
        for (auto [dx, dy] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
          const int nx = x + dx;
          const int ny = y + dy;
          if (nx >= 0 && ny >= 0 && nx < 352 && ny < 44) {
            EXPECT_NE(pic.pixel(nx, ny), kNavy);
          }
        }
      }
      if (p == kBlack) ++black;
    }
  }
  EXPECT_GT(white, 20);
  EXPECT_GT(black, white / 2);
  // The preview matches the class-1 bitmap: a pixel is white exactly where a bit is set.
  auto bits = transfer.set.bitmap(1, 4);
  for (int y = 0; y < 44; ++y) {
    for (int x = 0; x < 352; ++x) {
      const bool set = bits[size_t(y) * 44 + size_t(x / 8)] & (1u << (x % 8));
      ASSERT_EQ(set, pic.pixel(x, y) == kWhite) << x << "," << y;
    }
  }

  // Emptied: the field is navy again and the bitmaps clear.
  type(4, "");
  editor.render_tick();
  for (int y = 0; y < 44; ++y) {
    for (int x = 0; x < 352; ++x) {
      ASSERT_EQ(pic.pixel(x, y), kNavy);
    }
  }
  for (int k = 0; k < 4; ++k) EXPECT_EQ(bitmap_ink(transfer.set.bitmap(k, 4), 448, 0).right, -1);
  EXPECT_EQ(channels::byte_sum(transfer.set.block(1)), 0u);
}

TEST_F(TitleEditorTest, RenderTickWaitsForAChannelCountAndClearsDirtyFlags) {
  type(1, "Back");
  editor.set_channel_count(0);
  editor.render_tick();
  EXPECT_EQ(transfer.dirty[1], 1);
  EXPECT_EQ(channels::byte_sum(transfer.set.block(0)), 0u);
  editor.set_channel_count(4);
  editor.render_tick();
  for (int32_t d : transfer.dirty) EXPECT_EQ(d, 0);
  EXPECT_NE(channels::byte_sum(transfer.set.block(0)), 0u);
  EXPECT_EQ(editor.set_sum(), channels::title_set_sum(transfer.set));
}

TEST_F(TitleEditorTest, FontOptionStoresTheChoiceAndRendersAllChannelsAgain) {
  platform::FontChoice bold;
  bold.family = "DejaVu Sans";
  bold.bold = true;
  bold.strikeout = true;
  dialogs.script_font_answer(bold);
  dialogs.script_font_answer(std::nullopt);
  transfer.dirty.fill(0);
  form["Button_TOption"].fire("OnClick");
  const auto& rec = transfer.set.record;
  EXPECT_EQ(rec[channels::kRecordFontStyle], channels::kStyleBold | channels::kStyleStrikeout);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.data() + channels::kRecordFontName)),
            "DejaVu Sans");
  for (int32_t d : transfer.dirty) EXPECT_EQ(d, 1);
  transfer.dirty.fill(0);
  form["Button_TOption"].fire("OnClick");  // cancelled
  EXPECT_EQ(transfer.dirty[0], 0);
  EXPECT_EQ(rec[channels::kRecordFontStyle], channels::kStyleBold | channels::kStyleStrikeout);
}

TEST(TextFaceTest, LineHeightIsTheHeightOfEveryMeasure) {
  platform::TextFace face;
  ASSERT_TRUE(face.open({"DejaVu Sans"}));
  for (int points : {8, 24, 72}) {
    SCOPED_TRACE(points);
    face.set_points(points);
    EXPECT_GT(face.line_height(), 0);
    EXPECT_EQ(face.line_height(), face.measure(U"Ag").height);
    EXPECT_EQ(face.line_height(), face.measure(U"").height);
  }
}

// A family name is a name, not pattern text: colons and pattern words inside it are not read
// as styles, so it still finds a face (the nearest one) instead of failing to parse.
TEST(TextFaceTest, FamilyNameIsNotReadAsPatternSyntax) {
  for (const char* family : {"DejaVu Serif:weight=nonsense", "DejaVu Serif-40", "Odd\\Name:"}) {
    SCOPED_TRACE(family);
    platform::TextFace face;
    EXPECT_TRUE(face.open({family, false, false}));
  }
}

TEST(FontPatternTest, FamilyAndStyleWords) {
  auto p = platform::parse_font_pattern("DejaVu Sans:bold italic");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->family, "DejaVu Sans");
  EXPECT_TRUE(p->bold);
  EXPECT_TRUE(p->italic);
  EXPECT_FALSE(p->underline);
  EXPECT_TRUE(platform::parse_font_pattern("DejaVu Serif"));
  EXPECT_FALSE(platform::parse_font_pattern(":bold"));
  EXPECT_FALSE(platform::parse_font_pattern("DejaVu Sans:heavy-ish"));
  EXPECT_EQ(platform::font_pattern({"DejaVu Sans", true, true}),
            "DejaVu Sans:weight=200:slant=100");
}

}  // namespace
}  // namespace tessomar::setup
