// Pointer input over the key form: the click rules, hit testing with shadowing, children
// clicked with their parent's cell, the release rule and press-and-hold repetition.
#include <gtest/gtest.h>

#include <functional>

#include "keyform/skin_engine.h"
#include "keyform/skin_fixture.h"

namespace tessomar::keyform {
namespace {

using testsupport::base_skin;
using testsupport::EngineHarness;
using testsupport::SkinFixture;

constexpr int16_t kPlain = 10;

// A grid of four 8 x 8 keys centred on the root: cells 1-4 span x 16-24, 24-32, 32-40, 40-48
// and y 20-28.
SkinFixture keys_skin(const std::string& source, const std::string& target, int16_t level = 1,
                      int16_t kind = kPlain) {
  SkinFixture skin = base_skin();
  skin.image({.name = "key",
              .cell_width = 8,
              .cell_height = 8,
              .strip_x = 16,
              .strip_y = 80,
              .strip_columns = 4,
              .kind = kind,
              .level = level});
  skin.element({.name = "keys",
                .image = "key",
                .parent = "root",
                .repeat = 4,
                .grid_columns = 4,
                .source = source,
                .target = target});
  return skin;
}

struct RuleCase {
  const char* source;
  const char* target;
  int32_t cell;
  std::function<void(KeyFormVariables&)> before;
  std::function<void(const KeyFormVariables&)> check;
};

TEST(SkinClick, EveryClickRule) {
  const RuleCase cases[] = {
      {"98#CD", "IE_CH#SD", 3, [](auto&) {}, [](auto& v) { EXPECT_EQ(v.ie_ch, 100); }},
      {"7#CD", "IE_CH#ADN", 3, [](auto&) {}, [](auto& v) { EXPECT_EQ(v.ie_ch_keys[2], 7); }},
      {"IE_DOING#SD", "IE_CH#SD", 2, [](auto& v) { v.ie_doing = 5; },
       [](auto& v) { EXPECT_EQ(v.ie_ch, 5); }},
      {"MOD#SDZ", "MOD2#SD", 1, [](auto& v) { v.mod = 4; },
       [](auto& v) {
         EXPECT_EQ(v.mod2, 4);
         EXPECT_EQ(v.mod, 0);
       }},
      {"IE_DOING#SD", "Dm_SCh#AD", 2, [](auto& v) { v.ie_doing = 9; },
       [](auto& v) { EXPECT_EQ(v.dm_sch[1], 9); }},
      {"IE_CH#ADN", "Dm_SCh#AD", 2, [](auto& v) { v.ie_ch_keys[1] = 6; },
       [](auto& v) { EXPECT_EQ(v.dm_sch[1], 6); }},
      {"IE_Page#ADN", "IE_Page2#SD", 3, [](auto& v) { v.ie_page[2] = 1; },
       [](auto& v) { EXPECT_EQ(v.ie_page2, 2); }},
      {"Dm_SCh#AD", "IE_CH#SD", 3, [](auto& v) { v.dm_sch[2] = 11; },
       [](auto& v) { EXPECT_EQ(v.ie_ch, 11); }},
      // Lower-case letters pick the same rules.
      {"98#cd", "IE_CH#SD", 2, [](auto&) {}, [](auto& v) { EXPECT_EQ(v.ie_ch, 99); }},
      // A constant source into a constant target copies nothing.
      {"5#CD", "7#CD", 2, [](auto&) {}, [](auto& v) { EXPECT_EQ(v.spare, 0); }},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.source << " -> " << c.target);
    EngineHarness h;
    ASSERT_TRUE(h.load(keys_skin(c.source, c.target)));
    c.before(h.ctx.vars);
    h.engine.apply_click_rule(1, c.cell);
    c.check(h.ctx.vars);
  }
}

TEST(SkinClick, AZeroingSourceGivesItsValueOnce) {
  EngineHarness h;
  ASSERT_TRUE(h.load(keys_skin("MOD#SDZ", "MOD2#SD")));
  h.ctx.vars.mod = 3;
  h.engine.Image1MouseDown(20, 24);
  EXPECT_EQ(h.ctx.vars.mod2, 3);
  h.engine.Image1MouseDown(20, 24);
  EXPECT_EQ(h.ctx.vars.mod2, 0);
}

TEST(SkinClick, CoordinateTargetsTakeTheParentOffset) {
  SkinFixture skin = base_skin();
  skin.image({.name = "key", .cell_width = 8, .cell_height = 8, .strip_columns = 1, .level = 1});
  skin.element({.name = "mid", .image = "key", .parent = "root", .offset_x = 10, .offset_y = 5});
  skin.element(
      {.name = "x", .image = "key", .parent = "mid", .source = "1#CS", .target = "Cent_X#SDX"});
  skin.element(
      {.name = "y", .image = "key", .parent = "mid", .source = "1#CS", .target = "Cent_Y#SDY"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.engine.apply_click_rule(2, 1);
  h.engine.apply_click_rule(3, 1);
  EXPECT_EQ(h.ctx.vars.cent_x, 650);
  EXPECT_EQ(h.ctx.vars.cent_y, 517);
}

TEST(SkinHit, GridCellsNumberRowByRowWithBothEdgesIncluded) {
  SkinFixture skin = base_skin();
  skin.image({.name = "key", .cell_width = 8, .cell_height = 6, .strip_columns = 1, .level = 1});
  // Two rows of three with gaps of 2: width 28, height 14, left 18, top 17.
  skin.element({.name = "keys",
                .image = "key",
                .parent = "root",
                .repeat = 6,
                .gap_x = 2,
                .gap_y = 2,
                .grid_columns = 3,
                .source = "IE_CH#ADN"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  const struct {
    int x, y, cell;
  } points[] = {{18, 17, 1},  {26, 23, 1},  {28, 17, 2},  {38, 17, 3},  {46, 31, 6},
                {27, 20, -1}, {17, 17, -1}, {47, 31, -1}, {18, 24, -1}, {18, 25, 4}};
  for (const auto& p : points) {
    const HitResult hit = h.engine.hit_test(p.x, p.y);
    EXPECT_EQ(hit.cell, p.cell) << p.x << "," << p.y;
    EXPECT_EQ(hit.slot, p.cell < 0 ? -1 : 1);
    EXPECT_EQ(hit.end, 2);
  }
}

TEST(SkinHit, HiddenAndDisabledKeysShadowWhatLiesBeneath) {
  SkinFixture skin = base_skin();
  skin.image({.name = "low", .cell_width = 8, .cell_height = 8, .strip_columns = 1, .level = 16});
  skin.image({.name = "high", .cell_width = 8, .cell_height = 8, .strip_columns = 1, .level = 1});
  skin.element({.name = "under",
                .image = "low",
                .parent = "root",
                .repeat = 4,
                .grid_columns = 4,
                .source = "IE_CH2#ADN"});
  skin.element({.name = "over",
                .image = "high",
                .parent = "root",
                .repeat = 4,
                .grid_columns = 4,
                .source = "IE_CH#ADN"});
  skin.element({.name = "label",
                .image = "high",
                .parent = "root",
                .repeat = 4,
                .grid_columns = 4,
                .source = "plain"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  // The later element wins; one without suffix letters is passed over.
  EXPECT_EQ(h.engine.hit_test(20, 24).slot, 2);
  h.ctx.vars.ie_ch_keys[0] = -1;
  EXPECT_EQ(h.engine.hit_test(20, 24).slot, -1);
  EXPECT_EQ(h.engine.hit_test(28, 24).slot, 2);
  // The key of level 1 is disabled at input level 2 and still hides the one of level 16.
  h.ctx.input_level = 2;
  EXPECT_EQ(h.engine.hit_test(28, 24).slot, -1);
}

TEST(SkinHit, InvisibleKeysAreNotHit) {
  SkinFixture skin = keys_skin("3#CD", "IE_CH#SD", 1, 8003);
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.ctx.vars.mod = 0;
  h.redraw();
  EXPECT_EQ(h.engine.hit_test(20, 24).slot, 1);
  // Kind 8003 cells count from "A_Num#SD".
  h.ctx.vars.a_num = 10;
  EXPECT_EQ(h.engine.hit_test(20, 24).cell, 11);
  h.ctx.vars.mod = 5;
  h.redraw();
  EXPECT_EQ(h.engine.hit_test(20, 24).slot, -1);
}

TEST(SkinHit, SliderHitAreasFollowTheThumb) {
  SkinFixture skin = base_skin();
  skin.image({.name = "area",
              .cell_width = 6,
              .cell_height = 6,
              .strip_columns = 1,
              .kind = 8002,
              .parameter = 1,
              .level = 1});
  skin.element({.name = "a",
                .image = "area",
                .parent = "root",
                .gap_x = 1,
                .grid_columns = 1,
                .source = "IE_ST3#SD"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.ctx.mode_records[1][0] = 10;
  EXPECT_EQ(h.engine.hit_test(8, 24).slot, 1);
  EXPECT_EQ(h.engine.hit_test(32, 24).slot, -1);
  h.ctx.mode_records[1][0] = 32;
  EXPECT_EQ(h.engine.hit_test(32, 24).slot, 1);
}

TEST(SkinClick, APressClicksTheKeyAndItsChildren) {
  SkinFixture skin = keys_skin("IE_Page#ADN", "IE_Page2#SD");
  skin.image({.name = "mark", .cell_width = 8, .cell_height = 8, .strip_columns = 1});
  skin.element(
      {.name = "kid", .image = "mark", .parent = "keys", .source = "5#CD", .target = "Dm_SCh#AD"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  int after_click = 0;
  h.engine.hooks().after_key_form_click = [&] { ++after_click; };
  h.ctx.view_bytes.view = 18;
  h.ctx.vars.ie_page2 = 1;
  h.engine.Image1MouseDown(36, 24);
  EXPECT_EQ(h.ctx.vars.ie_page2, 2);
  EXPECT_EQ(h.ctx.vars.dm_sch[2], 5);
  // Before the click: the view last sent and the page.
  EXPECT_EQ(h.ctx.vars.dm_ch, 18);
  EXPECT_EQ(h.ctx.last_page, 1);
  EXPECT_EQ(after_click, 1);
  EXPECT_EQ(h.ctx.last_drawn_slot, 0);
  EXPECT_EQ(h.ctx.last_drawn_cell, 0);
  EXPECT_TRUE(h.ctx.button_down);

  // Outside every key: nothing changes, nothing is called, but a redraw follows.
  h.ctx.force_redraw();
  h.engine.Image1MouseDown(2, 2);
  EXPECT_EQ(after_click, 1);
  EXPECT_EQ(h.ctx.last_drawn_slot, 0);

  // With the popup up, a press only marks the button.
  h.ctx.popup = true;
  h.ctx.button_down = false;
  h.ctx.vars.ie_page2 = 0;
  h.engine.Image1MouseDown(20, 24);
  EXPECT_TRUE(h.ctx.button_down);
  EXPECT_EQ(h.ctx.vars.ie_page2, 0);
}

TEST(SkinClick, OnlySkinFilesAreClickedAndOnlyTheKeyFormUpdatesState) {
  EngineHarness h;
  ASSERT_TRUE(h.load(keys_skin("IE_Page#ADN", "IE_Page2#SD")));
  int after_click = 0;
  h.engine.hooks().after_key_form_click = [&] { ++after_click; };
  const struct {
    const char* name;
    bool clicked;
    bool key_form;
  } names[] = {
      {"IE_KeyForm.YUV2", true, true}, {"TessomarKeyForm_02030202.YUV2", true, true},
      {"Other.YUV2", true, false},     {"Other.YUV2x", true, false},
      {"a.b.YUV2", false, false},      {"Other.yuv2", false, false},
      {"NoDot", false, false},
  };
  for (const auto& n : names) {
    SCOPED_TRACE(n.name);
    h.ctx.vars.ie_page2 = -1;
    after_click = 0;
    h.engine.click(28, 24, n.name);
    EXPECT_EQ(h.ctx.vars.ie_page2 == 1, n.clicked);
    EXPECT_EQ(after_click, n.key_form ? 1 : 0);
  }
}

TEST(SkinClick, ACircleWithAnArrayTargetWritesNothingForItsFirstCell) {
  SkinFixture skin = base_skin();
  skin.image({.name = "dot", .cell_width = 4, .cell_height = 4, .strip_columns = 1, .level = 1});
  skin.element({.name = "ring",
                .image = "dot",
                .parent = "root",
                .repeat = 4,
                .arrangement = 1,
                .radius = 16,
                .source = "3#CD",
                .target = "Dm_SCh#AD"});
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  h.engine.Image1MouseDown(48, 24);
  for (int32_t v : h.ctx.vars.dm_sch) EXPECT_EQ(v, 0);
  h.engine.Image1MouseDown(32, 8);
  EXPECT_EQ(h.ctx.vars.dm_sch[0], 3);
}

TEST(SkinRelease, HandsOverToTheCalendarUnlessAPositiveTargetWasHit) {
  EngineHarness h;
  ASSERT_TRUE(h.load(keys_skin("IE_Page#ADN", "IE_Page2#SD")));
  int releases = 0;
  h.engine.hooks().release_handling = [&] { ++releases; };
  h.engine.Image1MouseDown(20, 24);  // IE_Page2 = 0
  h.ctx.last_drawn_slot = h.ctx.last_drawn_cell = 7;
  h.engine.Image1MouseUp(20, 24);
  EXPECT_EQ(releases, 0);
  EXPECT_FALSE(h.ctx.button_down);
  EXPECT_EQ(h.ctx.last_drawn_slot, 7);

  // Nothing hit: the release handling runs and a redraw is asked for.
  h.engine.Image1MouseDown(20, 24);
  h.ctx.popup = true;
  h.engine.Image1MouseUp(2, 2);
  EXPECT_EQ(releases, 1);
  EXPECT_FALSE(h.ctx.popup);
  EXPECT_EQ(h.ctx.last_drawn_slot, -2);

  // A positive target, with an input mode left over: the handling runs twice.
  h.engine.Image1MouseDown(28, 24);  // IE_Page2 = 1
  h.ctx.input_mode() = kInputTimeSlider;
  h.engine.Image1MouseUp(28, 24);
  EXPECT_EQ(releases, 3);
}

// A step key (as the calendar's hour key): its click enters input mode 9999.
struct StepKeyHarness : EngineHarness {
  StepKeyHarness() {
    EXPECT_TRUE(load(keys_skin("2#CS", "Mon_Add#SD")));
    engine.hooks().after_key_form_click = [this] {
      ++clicks;
      ctx.input_mode() = kInputStepHeld;
    };
    engine.hooks().release_handling = [this] {
      ctx.input_mode() = kInputIdle;
      ctx.input_level = 1;
    };
  }
  int clicks = 0;
};

TEST(SkinRepeat, AHeldStepKeyRepeatsAfterElevenServices) {
  StepKeyHarness h;
  h.engine.Image1MouseDown(20, 24);
  EXPECT_EQ(h.clicks, 1);
  EXPECT_EQ(h.engine.repeat_state(), RepeatState::Pressed);
  for (int service = 1; service <= 11; ++service) {
    h.engine.repeat_step();
    EXPECT_EQ(h.clicks, 1) << service;
  }
  EXPECT_EQ(h.engine.repeat_state(), RepeatState::Repeating);
  // The 12th service, about 0.4 s after the press at 33 ms each, repeats; then every one.
  h.engine.repeat_step();
  EXPECT_EQ(h.clicks, 2);
  h.engine.repeat_step();
  EXPECT_EQ(h.clicks, 3);
  // The pointer wandering off does not move the repetition.
  h.engine.Image1MouseMove(2, 2);
  h.engine.repeat_step();
  EXPECT_EQ(h.clicks, 4);
  h.engine.Image1MouseUp(2, 2);
  EXPECT_EQ(h.engine.repeat_state(), RepeatState::Idle);
  h.engine.repeat_step();
  EXPECT_EQ(h.clicks, 4);
}

TEST(SkinRepeat, DraggingClicksWhileTheSliderOrChooserIsActive) {
  EngineHarness h;
  SkinFixture skin = keys_skin("IE_Page#ADN", "IE_Page2#SD");
  skin.element({.name = "other",
                .image = "key",
                .parent = "root",
                .offset_y = 12,
                .repeat = 1,
                .grid_columns = 1,
                .source = "9#CS",
                .target = "MOD2#SD"});
  ASSERT_TRUE(h.load(skin));
  h.engine.hooks().after_key_form_click = [&] { h.ctx.input_mode() = kInputDateChooser; };
  h.engine.Image1MouseDown(20, 24);
  EXPECT_EQ(h.engine.repeat_state(), RepeatState::Pressed);
  h.engine.Image1MouseMove(36, 24);
  EXPECT_EQ(h.ctx.vars.ie_page2, 2);
  // Another element under the pointer is not clicked by the drag.
  h.engine.Image1MouseMove(32, 36);
  EXPECT_EQ(h.ctx.vars.mod2, 0);
  // Nothing repeats outside input mode 9999.
  h.engine.repeat_step();
  EXPECT_EQ(h.engine.repeat_state(), RepeatState::Pressed);
}

}  // namespace
}  // namespace tessomar::keyform
