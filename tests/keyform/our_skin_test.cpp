// Our own key-form skin, built by tools/skinbuilder, loaded and drawn by the real skin engine:
// every element resolves, and the pages render with their lit, hidden and open states. The
// renders are written as PNGs beside the build for a look by eye.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "keyform/skin_engine.h"
#include "platform/bmp.h"
#include "platform/devtime.h"
#include "platform/form.h"
#include "platform/png.h"
#include "support/log_capture.h"

namespace tessomar::keyform {
namespace {

constexpr int kTileLeft = 8, kTileTop = 92, kTilePitchX = 78, kTilePitchY = 78;

struct Rgb {
  int r, g, b;
};

class OurSkin : public ::testing::Test {
 protected:
  void SetUp() override {
    engine.set_skin_folder(TESSOMAR_SKIN_DIR);
    engine.clear_registry();
    ASSERT_TRUE(engine.register_skin(kKeyFormFileName, 0, 3, 0))
        << "build the skin_data target first: " << TESSOMAR_SKIN_DIR;
    std::filesystem::create_directories(preview_dir());
    show_identity(16);
    // Until the first redraw every element counts as visible to the hit test.
    engine.redraw(true, image1);
  }

  static std::string preview_dir() { return std::string(TESSOMAR_PREVIEW_DIR); }

  // What the device identity and the state update leave for a DVR of `channels` channels.
  void show_identity(int channels) {
    KeyFormVariables& v = ctx.vars;
    v.ie_m_ch = channels;
    v.ie_page = {1, 0, 0, 0};
    v.ie_page2 = 0;
    v.ie_logo = 0;
    for (int k = 0; k < 16; ++k) v.ie_ch_keys[size_t(k)] = k < channels ? 0 : -1;
    for (int k = 0; k < 8; ++k) {
      bool shown = channels == 16 ? k < 7 : (channels == 8 ? k < 3 : k < 1);
      v.ie_ch2_keys[size_t(k)] = shown ? 0 : -1;
    }
    v.ie_pb_bt_en = {0, 1, 0, 0};
    v.ie_pb_ps = 1;
    show_view(16, 0);
  }

  void show_view(int view, int split_key) {
    KeyFormVariables& v = ctx.vars;
    v.ie_doing = view;
    v.ie_ch = view;
    for (auto& k : v.ie_ch_keys) k = k < 0 ? -1 : 0;
    for (auto& k : v.ie_ch2_keys) k = k < 0 ? -1 : 0;
    auto light = [&](int from, int to) {
      for (int k = from; k <= to; ++k) {
        if (v.ie_ch_keys[size_t(k)] == 0) v.ie_ch_keys[size_t(k)] = 1;
      }
    };
    if (view < 16) light(view, view);
    if (view == 16) light(0, 3);
    if (view == 18 && v.ie_m_ch == 8) light(0, 7);
    if (view == 22) light(0, 15);
    if (view >= 16) v.ie_ch2_keys[size_t(split_key)] = 1;
  }

  void show_page(int page) {
    ctx.vars.ie_page2 = page;
    for (int k = 0; k < 4; ++k) ctx.vars.ie_page[size_t(k)] = k == page ? 1 : 0;
    if (page == 3) {
      for (auto& k : ctx.vars.ie_ch_keys) k = -1;
    }
  }

  // The calendar as it stands after opening on May 2024 with 15 May chosen.
  void open_calendar(int mode) {
    KeyFormVariables& v = ctx.vars;
    v.ie_month_t = mode;
    v.mon_y = 2024;
    v.mon_m = 5;
    v.mon_h = 14;
    v.mon_m2 = 30;
    v.mon_s = 5;
    uint32_t first = platform::seconds_from_date({2024, 5, 1, 0, 0, 0});
    uint32_t w = (first / 86400) % 7;
    uint32_t start = first - (w == 0 ? 7 : w) * 86400;
    uint32_t chosen = platform::seconds_from_date({2024, 5, 15, 0, 0, 0});
    for (int i = 0; i < 42; ++i) {
      uint32_t day = start + uint32_t(i) * 86400;
      v.mon_day[size_t(i)] = int32_t(day);
      int recorded = (i % 3 == 0 || (i > 8 && i < 14)) ? 1 : 0;
      v.mon_data[size_t(i)] = day == chosen ? 4 + recorded : recorded;
    }
    v.mon_time = int32_t(chosen);
    for (int k = 0; k < 48; ++k) v.ie_data[size_t(k)] = (k >= 12 && k < 30) || k > 40 ? 1 : 0;
    ctx.mode_records[1] = {0, 29};  // the time slider at 14:30
    ctx.redraw_flag() = kRedrawSliders;
  }

  // Redraws, writes `name`.png and returns the key form's bitmap.
  const platform::Bitmap& render(const std::string& name) {
    ctx.force_redraw();
    engine.redraw(true, image1);
    std::string error;
    EXPECT_TRUE(platform::write_png(image1.picture(), preview_dir() + "/" + name + ".png", error))
        << error;
    return image1.picture();
  }

  static Rgb at(const platform::Bitmap& b, int x, int y) {
    uint32_t p = b.pixel(x, y);
    return {int(p >> 16 & 0xFF), int(p >> 8 & 0xFF), int(p & 0xFF)};
  }
  static bool bluish(Rgb c) { return c.b > c.r + 80 && c.b > c.g + 40; }
  static bool greyish(Rgb c) { return std::abs(c.r - c.b) < 24 && std::abs(c.g - c.b) < 24; }
  static bool same(Rgb a, Rgb b) {
    return std::abs(a.r - b.r) <= 2 && std::abs(a.g - b.g) <= 2 && std::abs(a.b - b.b) <= 2;
  }
  // A plain spot of channel tile k, clear of its icon and number.
  static std::pair<int, int> tile_spot(int k) {
    return {kTileLeft + kTilePitchX * (k % 4) + 62, kTileTop + kTilePitchY * (k / 4) + 62};
  }

  testsupport::LogCapture log;
  KeyFormContext ctx;
  SkinEngine engine{ctx, log.logger()};
  platform::Form form;
  platform::Component& image1{
      form.add({"Image1", platform::ComponentKind::Image, "", {0, 0, 10, 10}})};
};

TEST_F(OurSkin, EveryElementResolvesIntoASlot) {
  std::ifstream in(std::string(TESSOMAR_SKIN_DIR) + "/" + std::string(kKeyFormFileName),
                   std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(file.size(), 16u + 12u);
  ASSERT_LE(file.size(), kSkinFileBufferSize);
  int elements = file[16 + 10] | file[16 + 11] << 8;
  EXPECT_GT(elements, 40);
  EXPECT_EQ(engine.slots_in_use(), elements);
  EXPECT_EQ(engine.registry_entry(0).slot_count, elements);
  // The position count is the longest repeat: the 48 half hours of the time bar.
  EXPECT_EQ(engine.registry_entry(0).position_count, 48);
  ctx.force_redraw();
  engine.redraw(true, image1);
  EXPECT_EQ(image1.picture().width(), 320);
  EXPECT_EQ(image1.picture().height(), 576);
}

TEST_F(OurSkin, TheMainFormPictureLoadsAndFramesTheKeyForm) {
  platform::Bitmap form_picture;
  std::string error;
  ASSERT_TRUE(platform::load_bmp(std::string(TESSOMAR_SKIN_DIR) + "/TessomarMainForm_02030202.bmp",
                                 form_picture, error))
      << error;
  ASSERT_EQ(form_picture.width(), 1024);
  ASSERT_EQ(form_picture.height(), 616);
  EXPECT_EQ(form_picture.pixel(100, 100), 0u);  // behind the video: black
  // The whole window as a host shows it: the key form over `Image1` at (704, 0).
  const platform::Bitmap& key_form = render("live-16ch-plain");
  for (int y = 0; y < key_form.height(); ++y) {
    for (int x = 0; x < key_form.width(); ++x)
      form_picture.set_pixel(704 + x, y, key_form.pixel(x, y));
  }
  EXPECT_TRUE(platform::write_png(form_picture, preview_dir() + "/window.png", error)) << error;
}

TEST_F(OurSkin, LivePageLightsTheKeysOfTheViewAndHidesWhatTheDvrLacks) {
  engine.Image1MouseMove(tile_spot(5).first, tile_spot(5).second);  // hover over channel 6
  const platform::Bitmap live16 = render("live-16ch");
  auto [x0, y0] = tile_spot(0);
  auto [x9, y9] = tile_spot(9);
  EXPECT_TRUE(bluish(at(live16, x0, y0)));  // channel 1 is on screen in view 16
  EXPECT_TRUE(greyish(at(live16, x9, y9)));
  // Split key 2 (channels 5-8) is shown but not lit; on a four-channel DVR it is hidden.
  const Rgb split2 = at(live16, 8 + 78 + 60, 440 + 44);
  EXPECT_TRUE(greyish(split2));

  show_identity(8);
  show_view(18, 2);
  const platform::Bitmap live8 = render("live-8ch");
  EXPECT_TRUE(bluish(at(live8, tile_spot(7).first, tile_spot(7).second)));

  show_identity(4);
  const platform::Bitmap live4 = render("live-4ch");
  show_page(3);
  const platform::Bitmap setup = render("setup");
  // A hidden channel key shows the empty place beneath it, as on the Setup page.
  EXPECT_TRUE(same(at(live4, x9, y9), at(setup, x9, y9)));
  EXPECT_FALSE(same(at(live4, x9, y9), at(live16, x9, y9)));
  EXPECT_FALSE(same(at(live4, 8 + 78 + 60, 440 + 44), split2));
}

TEST_F(OurSkin, PlaybackAndBackupPagesShowTheirKeysAndTheCalendarCoversTheChannels) {
  show_page(1);
  show_view(3, 0);
  ctx.vars.mon_p_n_t = int32_t(platform::seconds_from_date({2024, 5, 15, 14, 30, 5}));
  const platform::Bitmap playback = render("playback");
  auto [x3, y3] = tile_spot(3);
  EXPECT_TRUE(bluish(at(playback, x3, y3)));
  // The transport keys: Pause (action 1) lit, Play not.
  EXPECT_TRUE(bluish(at(playback, 8 + 78 + 8, 486 + 40)));
  EXPECT_TRUE(greyish(at(playback, 8 + 2 * 78 + 8, 486 + 40)));

  open_calendar(1);
  engine.Image1MouseMove(14 + 42 * 3 + 20, 162 + 24 * 2 + 3);  // hover over a day
  const platform::Bitmap calendar = render("playback-calendar");
  EXPECT_FALSE(bluish(at(calendar, x3, y3)));

  // Dragging over the days with the date chooser open shows the zoom bubble.
  ctx.popup = true;
  ctx.input_mode() = kInputDateChooser;
  engine.Image1MouseMove(14 + 42 * 4 + 20, 162 + 24 * 3 + 11);
  render("playback-date-chooser");
  ctx.popup = false;
  ctx.input_mode() = kInputIdle;

  ctx.vars.ie_month_t = 0;
  show_page(2);
  ctx.vars.mon_b_f_t = int32_t(platform::seconds_from_date({2024, 5, 15, 14, 0, 0}));
  ctx.vars.mon_b_t_t = int32_t(platform::seconds_from_date({2024, 5, 15, 14, 10, 0}));
  ctx.vars.ie_st2 = 0;
  ctx.vars.ie_percentage = 0;
  const platform::Bitmap idle = render("backup");
  ctx.vars.ie_st2 = 1;
  ctx.vars.ie_percentage = 42;
  const platform::Bitmap running = render("backup-running");
  // The bar fills from the left; the Save key turns into Stop.
  EXPECT_TRUE(bluish(at(running, 120, 548)));
  EXPECT_FALSE(bluish(at(idle, 120, 548)));
  EXPECT_FALSE(same(at(idle, 20, 538), at(running, 20, 538)));

  open_calendar(3);
  render("backup-calendar");
}

struct ClickCase {
  const char* what;
  int channels;
  int page;
  int calendar;  // "IE_Month_T#SD"
  int x, y;
  std::vector<std::pair<const char*, int32_t>> expected;  // binding, value after the click
};

// One click on each kind of key of the built skin, through the engine's hit test and click
// rules (without the state update, so the variables show what the click itself wrote).
TEST_F(OurSkin, EveryKeyWritesItsBindings) {
  const int day17 = 14 + 42 * 3 + 20, day17_y = 162 + 24 * 2 + 11;
  const std::vector<ClickCase> cases = {
      {"Backup tab", 16, 0, 0, 8 + 2 * 78 + 35, 66, {{"IE_Page2#SD", 2}}},
      {"channel key 10",
       16,
       0,
       0,
       8 + 78 + 35,
       92 + 2 * 78 + 36,
       {{"IE_DOING#SD", 9}, {"IE_CH#SD", 9}}},
      {"split key 10-16, 1-2",
       16,
       0,
       0,
       8 + 78 + 35,
       496 + 25,
       {{"IE_CH2#SD", 5}, {"IE_DOING#SD", 21}, {"IE_CH#SD", 21}}},
      {"replay", 16, 0, 0, 242 + 35, 496 + 25, {{"IE_Page2#SD", 98}}},
      {"eight-way split key",
       8,
       0,
       0,
       8 + 2 * 78 + 35,
       440 + 25,
       {{"IE_CH2#SD", 2}, {"IE_DOING#SD", 18}, {"IE_CH#SD", 18}}},
      {"hidden channel key", 4, 0, 0, 8 + 78 + 35, 92 + 2 * 78 + 36, {{"IE_DOING#SD", 16}}},
      {"playback time", 16, 1, 0, 8 + 42, 455, {{"IE_SET_T#SD", 1}}},
      {"fast forward",
       16,
       1,
       0,
       8 + 3 * 78 + 35,
       486 + 22,
       {{"IE_PB_PS#SD", 3}, {"IE_PB_PS2#SD", 4}}},
      {"backup from", 16, 2, 0, 8 + 42, 455, {{"IE_SET_T#SD", 2}}},
      {"backup to", 16, 2, 0, 8 + 42, 491, {{"IE_SET_T#SD", 3}}},
      {"save", 16, 2, 0, 8 + 48, 538, {{"IE_ST#SD", 1}}},
      {"previous month", 16, 1, 1, 33, 129, {{"Mon_Sub#SD", 1}}},
      {"next month", 16, 1, 1, 287, 129, {{"Mon_Add#SD", 1}}},
      {"minute +", 16, 1, 1, 188, 325, {{"Mon_Add#SD", 3}}},
      {"second -", 16, 1, 1, 232, 325, {{"Mon_Sub#SD", 4}}},
      {"hour +", 16, 2, 3, 88, 325, {{"Mon_Add#SD", 2}}},
      {"a day", 16, 1, 1, day17, day17_y, {{"Mon_Cmd#SD", 18}}},
      {"half hour 20", 16, 1, 1, 16 + 6 * 19 + 3, 353, {{"IE_ST3#SD", 20}}},
      {"OK", 16, 1, 1, 236, 388, {{"IE_OK#SD", 1}}},
      {"Cancel", 16, 2, 2, 84, 388, {{"IE_CL#SD", 1}}},
  };
  for (const ClickCase& c : cases) {
    SCOPED_TRACE(c.what);
    ctx.vars = KeyFormVariables{};
    show_identity(c.channels);
    show_page(c.page);
    if (c.calendar) open_calendar(c.calendar);
    ctx.force_redraw();
    engine.redraw(true, image1);  // visibility follows the page
    engine.click(c.x, c.y, kKeyFormFileName);
    for (const auto& [name, value] : c.expected) {
      EXPECT_EQ(lookup_binding(ctx.vars, name).get(), value) << name;
    }
  }
  // The day writes its own start time as the time the grid shows.
  ctx.vars = KeyFormVariables{};
  show_identity(16);
  show_page(1);
  open_calendar(1);
  ctx.vars.mon_time = 0;
  engine.redraw(true, image1);
  engine.click(day17, day17_y, kKeyFormFileName);
  EXPECT_EQ(ctx.vars.mon_time, ctx.vars.mon_day[17]);
}

}  // namespace
}  // namespace tessomar::keyform
