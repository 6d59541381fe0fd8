// Composing the key form: cell choice, layout, numbers, circles, sliders, the lift, the zoom
// bubble, clipping and the redraw decision, checked on the 16-bit composite.
#include <gtest/gtest.h>

#include "keyform/skin_engine.h"
#include "keyform/skin_fixture.h"
#include "platform/devtime.h"

namespace tessomar::keyform {
namespace {

using testsupport::base_skin;
using testsupport::EngineHarness;
using testsupport::FixtureElement;
using testsupport::FixtureImage;
using testsupport::kBackground;
using testsupport::paint_strip;
using testsupport::SkinFixture;

constexpr int16_t kPlain = 10;  // a kind with no rule of its own: a plain strip

// "key": 8 x 8 cells at (16, 80), four columns valued 0x0200 + column; its highlight cell
// (just left of the strip) is 0x0300.
SkinFixture key_skin(int16_t kind = kPlain, int16_t step = 0, int16_t parameter = 0,
                     int16_t level = 0) {
  SkinFixture skin = base_skin();
  skin.image({.name = "key",
              .cell_width = 8,
              .cell_height = 8,
              .strip_x = 16,
              .strip_y = 80,
              .strip_columns = 4,
              .strip_rows = 1,
              .step = step,
              .kind = kind,
              .parameter = parameter,
              .level = level});
  paint_strip(skin, 16, 80, 8, 8, 4, 1, 0x0200);
  skin.fill(8, 80, 8, 8, 0x0300);
  return skin;
}

TEST(SkinDraw, TheBackgroundFillsTheComposite) {
  EngineHarness h;
  ASSERT_TRUE(h.load(base_skin()));
  h.redraw();
  EXPECT_EQ(h.engine.composite_width(), 64);
  EXPECT_EQ(h.engine.composite_height(), 48);
  EXPECT_EQ(h.at(0, 0), kBackground);
  EXPECT_EQ(h.at(63, 47), kBackground);
}

struct ChoiceCase {
  const char* source;
  int32_t mod2;  // the target, "MOD2#SD"
  int32_t io1;   // "SD_IO1#SDC"
  int column;
};

TEST(SkinDraw, OneOf256ChoosesThePositionNamedByTheTarget) {
  const ChoiceCase cases[] = {
      {"5#CD", 5, 0, 1},        // p + K equals the target: the chosen cell
      {"5#CD", 4, 0, 0},        // otherwise the plain cell
      {"255#CD", 0, 0, 2},      // K 255 always shows column 2
      {"300#CD", 300, 0, 0},    // p + K past 255 is never the chosen position
      {"SD_IO1#SDC", 2, 2, 1},  // letter 3 'C': the scalar's value is K
      {"SD_IO1#SDC", 2, 1, 0},
  };
  for (const ChoiceCase& c : cases) {
    SCOPED_TRACE(c.source);
    SkinFixture skin = key_skin();
    skin.element(
        {.name = "k", .image = "key", .parent = "root", .source = c.source, .target = "MOD2#SD"});
    EngineHarness h;
    ASSERT_TRUE(h.load(skin));
    h.ctx.vars.mod2 = c.mod2;
    h.ctx.vars.sd_io[0] = c.io1;
    h.redraw();
    EXPECT_EQ(h.at(32, 24), 0x0200 + c.column);
  }
}

TEST(SkinDraw, ArrayEntriesPickCellsAndMinusOneHidesTheKey) {
  SkinFixture skin = base_skin();
  // Two cells per key (off, on), one strip row per key.
  skin.image({.name = "ch",
              .cell_width = 8,
              .cell_height = 8,
              .strip_x = 16,
              .strip_y = 96,
              .strip_columns = 2,
              .strip_rows = 4,
              .step = 2,
              .kind = kPlain});
  paint_strip(skin, 16, 96, 8, 8, 2, 4, 0x0400);
  skin.element({.name = "keys",
                .image = "ch",
                .parent = "root",
                .repeat = 4,
                .grid_columns = 4,
                .source = "IE_CH#ADN"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.ctx.vars.ie_ch_keys = {1, -1, 0, 1};
  h.redraw();
  // Grid of four across the root's centre: centres at x 20, 28, 36, 44.
  EXPECT_EQ(h.at(20, 24), 0x0401);
  EXPECT_EQ(h.at(28, 24), kBackground);
  EXPECT_EQ(h.at(36, 24), 0x0404);
  EXPECT_EQ(h.at(44, 24), 0x0407);
}

TEST(SkinDraw, ModePagesFollowMod) {
  SkinFixture skin = key_skin(8000, 0, 2);
  skin.element({.name = "k", .image = "key", .parent = "root"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.ctx.vars.mod = 1;
  h.redraw();
  EXPECT_EQ(h.at(32, 24), kBackground);
  EXPECT_EQ(h.engine.slot(1).visible, 0);
  h.ctx.vars.mod = 2;
  h.redraw();
  EXPECT_NE(h.at(32, 24), kBackground);
}

struct SectionCase {
  int16_t parameter;
  int32_t page;
  int32_t month;
  int32_t channels;
  int32_t action;
  bool visible;
};

TEST(SkinDraw, PageSectionsOfTheKeyForm) {
  const SectionCase cases[] = {
      {6, 0, 0, 16, 1, true},   {6, 0, 0, 16, 2, false}, {5, 0, 0, 8, 0, true},
      {5, 0, 0, 16, 0, false},  {5, 1, 0, 8, 0, false},  {0, 0, 0, 16, 0, true},
      {0, 0, 0, 8, 0, false},   {4, 3, 0, 16, 0, true},  {3, 1, 1, 16, 0, true},
      {3, 3, 0, 16, 0, false},  {2, 2, 0, 16, 0, true},  {2, 1, 0, 16, 0, false},
      {1, -1, 0, 16, 0, false},
  };
  for (const SectionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "P " << c.parameter << " page " << c.page << " month "
                                    << c.month << " channels " << c.channels);
    SkinFixture skin = key_skin(8005, 0, c.parameter);
    skin.element({.name = "k", .image = "key", .parent = "root"});
    EngineHarness h;
    ASSERT_TRUE(h.load(skin));
    h.ctx.vars.ie_page2 = c.page;
    h.ctx.vars.ie_month_t = c.month;
    h.ctx.vars.ie_m_ch = c.channels;
    h.ctx.vars.ie_pb_ps = c.action;
    h.redraw();
    EXPECT_EQ(h.at(32, 24) != kBackground, c.visible);
  }
  // In any other skin these sections always show.
  SkinFixture skin = key_skin(8005, 0, 6);
  skin.element({.name = "k", .image = "key", .parent = "root"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin, "Other.YUV2"));
  h.redraw();
  EXPECT_NE(h.at(32, 24), kBackground);
}

TEST(SkinDraw, AChildUnderARepeatedParentIsDrawnOnEachOfItsCells) {
  SkinFixture skin = key_skin();
  // The parent's own strip is transparent: only the child shows.
  skin.image({.name = "cell",
              .cell_width = 16,
              .cell_height = 8,
              .strip_x = 300,
              .strip_y = 80,
              .strip_columns = 1,
              .strip_rows = 1,
              .kind = kPlain});
  skin.element({.name = "row", .image = "cell", .parent = "root", .repeat = 4, .grid_columns = 4});
  skin.element({.name = "dot", .image = "key", .parent = "row"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.redraw();
  // Parent cells centred at x 8, 24, 40, 56; the child's position 0 is the chosen one.
  EXPECT_EQ(h.at(8, 24), 0x0201);
  EXPECT_EQ(h.at(24, 24), 0x0200);
  EXPECT_EQ(h.at(40, 24), 0x0200);
  EXPECT_EQ(h.at(56, 24), 0x0200);
  EXPECT_EQ(h.at(16, 24), kBackground);
}

TEST(SkinDraw, AHoveredLiftKeyRisesWithTheLabelsAfterIt) {
  SkinFixture skin = key_skin(8010, 1, 0, 1);
  skin.image({.name = "lbl",
              .cell_width = 8,
              .cell_height = 8,
              .strip_x = 16,
              .strip_y = 96,
              .strip_columns = 4,
              .kind = kPlain});
  skin.image({.name = "rst",
              .cell_width = 8,
              .cell_height = 8,
              .strip_x = 16,
              .strip_y = 112,
              .strip_columns = 4,
              .step = 1,
              .kind = kPlain});
  paint_strip(skin, 16, 96, 8, 8, 4, 1, 0x0500);
  paint_strip(skin, 16, 112, 8, 8, 4, 1, 0x0600);
  skin.element({.name = "k", .image = "key", .parent = "root", .offset_x = -16});
  skin.element({.name = "label", .image = "lbl", .parent = "root"});
  skin.element({.name = "reset", .image = "rst", .parent = "root", .offset_x = 16});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.redraw();
  EXPECT_EQ(h.at(16, 26), 0x0200);
  EXPECT_EQ(h.at(32, 26), 0x0501);
  EXPECT_EQ(h.at(48, 26), 0x0600);

  h.ctx.hover = {1, 1, 0, 4};
  h.redraw();
  // Cells span rows 20-27 at rest and 16-23 lifted.
  EXPECT_EQ(h.at(16, 17), 0x0200);
  EXPECT_EQ(h.at(16, 26), kBackground);
  EXPECT_EQ(h.at(32, 17), 0x0501);
  EXPECT_EQ(h.at(32, 26), kBackground);
  // An element with a step ends the lift.
  EXPECT_EQ(h.at(48, 17), kBackground);
  EXPECT_EQ(h.at(48, 26), 0x0600);
}

TEST(SkinDraw, TheHoveredCellGetsTheHighlightCell) {
  SkinFixture skin = key_skin();
  skin.element({.name = "k", .image = "key", .parent = "root", .source = "9#CD"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.ctx.hover = {1, 1, 0, 2};
  h.redraw();
  EXPECT_EQ(h.at(32, 24), 0x0300);
  // While the calendar's popup is up (and no date chooser), no highlight.
  h.ctx.popup = true;
  h.redraw();
  EXPECT_EQ(h.at(32, 24), 0x0200);
}

// Numbers are drawn from "dig": 4 x 6 digit cells at (200, 80), digit d valued 0x0700 + d;
// each number is the child of a transparent row of three 16-pixel cells centred at x 16, 32,
// 48, so position p stands on cell p.
struct NumberCase {
  const char* what;
  FixtureElement number;
  // The cell value expected 1 pixel left and right of each parent cell's centre, or 0 for the
  // background.
  std::vector<std::array<uint16_t, 2>> cells;
};

TEST(SkinDraw, NumbersOfEveryKind) {
  const uint16_t d = 0x0700;
  const NumberCase cases[] = {
      {"kind 0 from 1",
       {.image = "n0", .start_value = 1},
       {{d + 1, d + 1}, {d + 2, d + 2}, {d + 3, d + 3}}},
      {"kind 0 from 0", {.image = "n0"}, {{d, d}, {d + 1, d + 1}, {d + 2, d + 2}}},
      // Value 0 with a start value other than 0 shows nothing.
      {"kind 0 zero", {.image = "n0", .start_value = -1}, {{d + 1, d + 1}, {0, 0}, {d + 1, d + 1}}},
      {"kind 1 two digits",
       {.image = "n1", .repeat = 2, .grid_columns = 2, .start_value = 7},
       {{d, d + 7}, {d, d + 8}, {d, d + 9}}},
      {"kind 2 from MOD2",
       {.image = "n2", .repeat = 2, .grid_columns = 2, .source = "MOD2#SD"},
       {{d, d + 7}, {d, d + 7}, {d, d + 7}}},
      {"kind 3 from MOD4",
       {.image = "n3", .source = "MOD4#SD"},
       {{d + 4, d + 2}, {d + 4, d + 2}, {d + 4, d + 2}}},
      // Day 17 of May; the shown month is 4, so the days use the next strip column.
      {"kind 8001",
       {.image = "day", .source = "Mon_Day#AD"},
       {{d + 2, d + 8}, {d + 2, d + 8}, {d + 2, d + 8}}},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(c.what);
    SkinFixture skin = base_skin();
    const std::pair<const char*, int16_t> kinds[] = {
        {"n0", 0}, {"n1", 1}, {"n2", 2}, {"n3", 3}, {"day", 8001}};
    for (const auto& [name, kind] : kinds) {
      skin.image({.name = name,
                  .cell_width = 4,
                  .cell_height = 6,
                  .strip_x = 200,
                  .strip_y = 80,
                  .strip_columns = 10,
                  .strip_rows = 1,
                  .step = 1,
                  .kind = kind});
    }
    paint_strip(skin, 200, 80, 4, 6, 10, 1, d);
    skin.image({.name = "cell",
                .cell_width = 16,
                .cell_height = 8,
                .strip_x = 300,
                .strip_y = 80,
                .strip_columns = 1,
                .kind = kPlain});
    skin.element(
        {.name = "row", .image = "cell", .parent = "root", .repeat = 3, .grid_columns = 3});
    FixtureElement number = c.number;
    number.name = "num";
    number.parent = "row";
    skin.element(number);
    EngineHarness h;
    ASSERT_TRUE(h.load(skin));
    h.ctx.vars.mod2 = 7;
    h.ctx.vars.mod4 = 42;
    const uint32_t may17 = platform::seconds_from_date({2011, 5, 17, 10, 0, 0});
    h.ctx.vars.mon_day.fill(static_cast<int32_t>(may17));
    h.ctx.vars.mon_m = 4;
    h.redraw();
    for (size_t p = 0; p < c.cells.size(); ++p) {
      const int x = 16 + 16 * static_cast<int>(p);
      for (int side = 0; side < 2; ++side) {
        const uint16_t want = c.cells[p][static_cast<size_t>(side)];
        EXPECT_EQ(h.at(x - 1 + 2 * side, 24), want == 0 ? kBackground : want)
            << "cell " << p << " side " << side;
      }
    }
  }
}

TEST(SkinDraw, CirclePositionsRunCounterClockwiseFromTheRight) {
  SkinFixture skin = base_skin();
  skin.image({.name = "dot",
              .cell_width = 4,
              .cell_height = 4,
              .strip_x = 16,
              .strip_y = 120,
              .strip_columns = 4,
              .strip_rows = 1,
              .step = 1,
              .kind = kPlain,
              .level = 1});
  paint_strip(skin, 16, 120, 4, 4, 4, 1, 0x0800);
  skin.fill(12, 120, 4, 4, 0x0810);
  skin.element({.name = "ring",
                .image = "dot",
                .parent = "root",
                .repeat = 4,
                .arrangement = 1,
                .radius = 16,
                .target = "MOD2#SD"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.redraw();
  const int centres[4][2] = {{48, 24}, {32, 8}, {16, 24}, {32, 40}};
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(h.at(centres[p][0], centres[p][1]), 0x0800 + p) << p;
    const HitResult hit = h.engine.hit_test(centres[p][0] + 2, centres[p][1] - 2);
    EXPECT_EQ(hit.slot, 1);
    EXPECT_EQ(hit.cell, p);
  }
  EXPECT_EQ(h.engine.hit_test(40, 24).slot, -1);
  // The hovered position shows the cell left of its own (numbered from 0).
  h.ctx.hover = {1, 1, 0, 2};
  h.redraw();
  EXPECT_EQ(h.at(32, 8), 0x0800);
  h.ctx.hover = {1, 0, 0, 2};
  h.redraw();
  EXPECT_EQ(h.at(48, 24), 0x0810);
}

TEST(SkinDraw, CircleTablesAreSixteenSixteen) {
  // A radius of 1000 shows the tables' precision: 45 degrees (k = 32) is 707 across and up.
  SkinFixture skin = base_skin();
  skin.image({.name = "dot", .cell_width = 4, .cell_height = 4, .strip_columns = 1});
  skin.element({.name = "ring",
                .image = "dot",
                .parent = "root",
                .repeat = 8,
                .arrangement = 1,
                .radius = 1000});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  int64_t x = 0;
  int64_t y = 0;
  circle_position(h.engine.slot(1), 1, x, y);
  EXPECT_EQ(x, 32 + 707);
  EXPECT_EQ(y, 24 - 707);
  circle_position(h.engine.slot(1), 4, x, y);
  EXPECT_EQ(x, 32 - 1000);
  EXPECT_EQ(y, 24);
}

struct SliderCase {
  const char* what;
  int16_t parameter;
  int16_t gap_x;
  int16_t gap_y;
  int32_t bar;
  int32_t flag;
  int32_t value;
  int32_t thumb_before;
  int thumb_x;  // where the thumb is drawn (x, y), or -1 for nowhere
  int thumb_y;
  int32_t thumb_after;
  int32_t bar_after;
  int32_t flag_after;
};

TEST(SkinDraw, SliderThumbs) {
  const SliderCase cases[] = {
      {"named, middle value", 1, 10, 0, 1, 0, 2, 0, 32, 24, 32, 1, 0},
      {"named, value 0", 1, 10, 0, 1, 0, 0, 0, 12, 24, 12, 1, 0},
      {"never named", 1, 10, 0, 0, 0, 4, 0, 32, 24, 0, 0, 0},
      {"kept position", 1, 10, 0, 0, 0, 4, 22, 22, 24, 22, 0, 0},
      {"flag 99 recomputes", 1, 10, 0, 0, 99, 4, 0, 52, 24, 52, 0, 0},
      {"flag 1 ends with the named slider", 1, 10, 0, 1, 1, 3, 0, 42, 24, 42, 0, 0},
      {"flag 1 stays for another slider", 1, 10, 0, 2, 1, 3, 0, 32, 24, 0, 2, 1},
      {"vertical", 1, 0, 6, 1, 0, 0, 0, 32, 12, 12, 1, 0},
      {"parameter 0", 0, 10, 0, 0, 99, 2, 0, -1, -1, 0, 0, 0},
      {"parameter 16", 16, 10, 0, 16, 99, 2, 0, -1, -1, 0, 16, 0},
  };
  for (const SliderCase& c : cases) {
    SCOPED_TRACE(c.what);
    SkinFixture skin = base_skin();
    skin.image({.name = "thumb",
                .cell_width = 4,
                .cell_height = 4,
                .strip_x = 16,
                .strip_y = 120,
                .strip_columns = 1,
                .kind = 8011,
                .parameter = c.parameter});
    skin.fill(16, 120, 8, 4, 0x0900);
    skin.element({.name = "slider",
                  .image = "thumb",
                  .parent = "root",
                  .gap_x = c.gap_x,
                  .gap_y = c.gap_y,
                  .start_value = 5});
    EngineHarness h;
    ASSERT_TRUE(h.load(skin));
    h.ctx.vars.sd_bar = c.bar;
    h.ctx.redraw_flag() = c.flag;
    const size_t record = static_cast<size_t>(std::clamp<int16_t>(c.parameter, 1, 15));
    h.ctx.mode_records[record] = {c.thumb_before, c.value};
    h.redraw();
    int drawn = 0;
    for (int y = 0; y < 48; ++y) {
      for (int x = 0; x < 64; ++x) drawn += h.at(x, y) == 0x0900 ? 1 : 0;
    }
    if (c.thumb_x < 0) {
      EXPECT_EQ(drawn, 0);
    } else {
      EXPECT_EQ(drawn, 16);
      EXPECT_EQ(h.at(c.thumb_x, c.thumb_y), 0x0900);
      EXPECT_EQ(h.ctx.mode_records[record][0], c.thumb_after);
    }
    EXPECT_EQ(h.ctx.vars.sd_bar, c.bar_after);
    EXPECT_EQ(h.ctx.redraw_flag(), c.flag_after);
  }
}

TEST(SkinDraw, BarsAndTextGlyphs) {
  SkinFixture skin = base_skin();
  // A bar of 10-pixel cells: its strip holds the full bar left of the empty cell at 300.
  skin.image({.name = "bar",
              .cell_width = 10,
              .cell_height = 4,
              .strip_x = 300,
              .strip_y = 80,
              .strip_columns = 1,
              .kind = 8006});
  skin.fill(290, 80, 10, 4, 0x0C01);
  skin.fill(300, 80, 12, 4, 0x0C00);
  // Glyph strip: columns 0-12 for '0'-'9', ':', '/', ' ', each 3 wide, valued 0x0D00 + column.
  skin.image({.name = "glyph",
              .cell_width = 3,
              .cell_height = 4,
              .strip_x = 200,
              .strip_y = 96,
              .strip_columns = 13,
              .kind = 8008});
  paint_strip(skin, 200, 96, 3, 4, 13, 1, 0x0D00);
  skin.element({.name = "b",
                .image = "bar",
                .parent = "root",
                .offset_y = -16,
                .gap_x = 1,
                .source = "IE_percentage#SD"});
  skin.element({.name = "t",
                .image = "glyph",
                .parent = "root",
                .offset_y = 10,
                .repeat = 19,
                .grid_columns = 19,
                .source = "Mon_Time#SD"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.ctx.vars.ie_percentage = 50;
  h.ctx.vars.mon_time = static_cast<int32_t>(platform::seconds_from_date({2004, 2, 29, 12, 0, 0}));
  h.redraw();
  // Half full: the window slides 5 pixels into the full bar.
  EXPECT_EQ(h.at(28, 8), 0x0C01);
  EXPECT_EQ(h.at(32, 8), 0x0C00);
  // "2004/02/29 12:00:00": glyph p centred at 3p + 5 (grid of 19 across x 32).
  const char* text = "2004/02/29 12:00:00";
  for (int p = 0; p < 19; ++p) {
    const char ch = text[p];
    const int column = ch == '/' ? 11 : ch == ':' ? 10 : ch == ' ' ? 12 : ch - '0';
    EXPECT_EQ(h.at(3 * p + 4, 34), 0x0D00 + column) << p;
  }
}

TEST(SkinDraw, TheDateChooserMagnifiesTheHoveredCellInABubble) {
  SkinFixture skin = key_skin(kPlain, 0, 0, 1);
  // Cell 1 in a pattern of alternating chroma so that the repair shows.
  for (int x = 24; x < 32; ++x) {
    skin.fill(x, 80, 1, 8, static_cast<uint16_t>(x % 2 == 0 ? 0x1020 : 0x3040));
  }
  skin.element({.name = "day", .image = "key", .parent = "root", .offset_x = 28, .offset_y = 16});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.ctx.hover = {1, 1, 0, 2};
  h.ctx.popup = true;
  h.ctx.input_mode() = kInputDateChooser;
  h.redraw();
  // The cell lies at (56, 36)-(64, 44); twice its width does not fit right of x 52, so the
  // bubble moves left to x 48; it ends above the cell: rows 16-31 plus a 4-row tail.
  for (int x = 48; x < 64; ++x) EXPECT_EQ(h.at(x, 16), 0x8000) << x;
  EXPECT_EQ(h.at(47, 16), kBackground);
  for (int y = 17; y < 32; ++y) {
    EXPECT_EQ(h.at(48, y), 0x8000);
    EXPECT_EQ(h.at(49, y), 0x8000);
    EXPECT_EQ(h.at(62, y), 0x8000);
    EXPECT_EQ(h.at(63, y), 0x8000);
  }
  // Magnified row 2 comes from cell row 1; output pixels 4-7 from cell pixels 2 and 3, with
  // the middle two taking the other pixel's chroma.
  const uint16_t s2 = h.at(58, 37);
  const uint16_t s3 = h.at(59, 37);
  ASSERT_NE(s2 & 0xFF00, s3 & 0xFF00);
  EXPECT_EQ(h.at(52, 18), s2);
  EXPECT_EQ(h.at(53, 18), (s2 & 0xFF) | (s3 & 0xFF00));
  EXPECT_EQ(h.at(54, 18), (s3 & 0xFF) | (s2 & 0xFF00));
  EXPECT_EQ(h.at(55, 18), s3);
  // Tail row 1 (y 32) spans columns 1-15 with black ends; row 4 (y 35) columns 4-12.
  EXPECT_EQ(h.at(48, 32), kBackground);
  EXPECT_EQ(h.at(49, 32), 0x8000);
  EXPECT_EQ(h.at(63, 32), 0x8000);
  EXPECT_EQ(h.at(51, 35), kBackground);
  EXPECT_EQ(h.at(52, 35), 0x8000);
  EXPECT_EQ(h.at(60, 35), 0x8000);
  EXPECT_EQ(h.at(61, 35), kBackground);
}

TEST(SkinDraw, CellsAreClippedToTheCompositeAndThePicture) {
  SkinFixture skin = base_skin();
  // 40 x 40 cells whose source runs past the picture's right edge (x 512) and last row (128).
  skin.image({.name = "big",
              .cell_width = 40,
              .cell_height = 40,
              .strip_x = 490,
              .strip_y = 120,
              .strip_columns = 1,
              .step = 1,
              .kind = kPlain});
  skin.fill(480, 120, 32, 8, 0x0A00);
  skin.image({.name = "huge",
              .cell_width = 30000,
              .cell_height = 30000,
              .strip_x = -5000,
              .strip_y = -7000,
              .strip_columns = 1,
              .step = 1,
              .kind = kPlain});
  skin.image({.name = "far",
              .cell_width = 8,
              .cell_height = 8,
              .strip_x = 16,
              .strip_y = 80,
              .strip_columns = 1,
              .strip_rows = 1,
              .step = 1,
              .kind = 1});
  // Centred at (2, 20): the cell covers x -18..21, y 0..39.
  skin.element({.name = "edge", .image = "big", .parent = "root", .offset_x = -30, .offset_y = -4});
  skin.element({.name = "h", .image = "huge", .parent = "root", .offset_x = 30000});
  skin.element({.name = "n",
                .image = "far",
                .parent = "root",
                .offset_x = -32000,
                .offset_y = 32000,
                .repeat = 32767,
                .gap_x = -32768,
                .grid_columns = 127,
                .grid_extra = 127,
                .start_value = 32767});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.ctx.hover = {2, 1, 0, 4};
  h.ctx.popup = true;
  h.ctx.input_mode() = kInputDateChooser;
  h.redraw();
  // Destination x 0..2 reads source x 509..511; source rows 120..127 land on rows 0..7.
  EXPECT_EQ(h.at(0, 0), 0x0A00);
  EXPECT_EQ(h.at(2, 7), 0x0A00);
  EXPECT_EQ(h.at(3, 0), kBackground);
  EXPECT_EQ(h.at(0, 8), kBackground);
}

TEST(SkinDraw, RedrawsOnlyWhenTheHoveredCellChanges) {
  SkinFixture skin = key_skin(kPlain, 0, 0, 1);
  skin.element({.name = "keys",
                .image = "key",
                .parent = "root",
                .repeat = 4,
                .grid_columns = 4,
                .source = "3#CD"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  int pictures = 0;
  h.form.add_observer([&](platform::Component&, platform::Property p) {
    if (p == platform::Property::Picture) ++pictures;
  });
  auto redraws = [&](auto&& step) {
    const int before = pictures;
    step();
    h.redraw(false);
    return pictures - before;
  };
  EXPECT_EQ(redraws([] {}), 1);  // the first service after start-up
  EXPECT_EQ(redraws([] {}), 0);
  // Keys at x 16-24, 24-32, 32-40, 40-48 (row y 20-28).
  EXPECT_EQ(redraws([&] { h.engine.Image1MouseMove(17, 22); }), 1);
  EXPECT_EQ(redraws([&] { h.engine.Image1MouseMove(19, 26); }), 0);
  EXPECT_EQ(redraws([&] { h.engine.Image1MouseMove(30, 26); }), 1);
  EXPECT_EQ(redraws([&] { h.engine.Image1MouseMove(5, 5); }), 1);  // left every element
  EXPECT_EQ(redraws([&] { h.engine.Image1MouseMove(6, 5); }), 0);
  EXPECT_EQ(redraws([&] { h.ctx.redraw_flag() = kRedrawNext; }), 1);
  h.ctx.redraw_flag() = 0;
  EXPECT_EQ(redraws([&] { h.ctx.force_redraw(); }), 1);
  const int before = pictures;
  h.redraw(true);
  EXPECT_EQ(pictures - before, 1);
}

}  // namespace
}  // namespace tessomar::keyform
