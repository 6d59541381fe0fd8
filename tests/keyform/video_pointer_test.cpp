#include "keyform/video_pointer.h"

#include <gtest/gtest.h>

#include "keyform/state_fixture.h"

namespace tessomar::keyform {
namespace {

using testing::KeyFormStateFixture;
using testing::ViewSet;

class VideoPointerTest : public KeyFormStateFixture {
 protected:
  // The picture over the video covers the 704 x 576 video.
  void show(int32_t view) {
    click([&](KeyFormVariables& k) { k.ie_doing = k.ie_ch = view; });
    sent_views();
  }
  bool off_shown() { return form["Image_Trumpet_Off"].visible(); }
  bool on_shown() { return form["Image_Trumpet_On"].visible(); }
  void tick(uint32_t ms) {
    clock.advance_ms(ms);
    pointer.speaker_icon_service();
  }
};

TEST_F(VideoPointerTest, ClickSwitchesBetweenASplitPageAndTheChannelUnderThePointer) {
  identify(16);
  ASSERT_EQ(v().ie_doing, 16);
  pointer.Image_Trumpet_BGMouseDown(600, 500);  // lower right quarter
  EXPECT_EQ(v().ie_doing, 3);
  EXPECT_EQ(v().ie_ch, 3);
  std::vector<ViewSet> sent = sent_views();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].layout, channels::kLayoutSingle);
  EXPECT_EQ(sent[0].selected, 3);
  EXPECT_EQ(redraws.back(), true);

  pointer.Image_Trumpet_BGMouseDown(10, 10);  // back to the split page
  EXPECT_EQ(v().ie_doing, 16);
  sent = sent_views();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].layout, channels::kLayoutFourWay);
}

TEST_F(VideoPointerTest, SplitGridCells) {
  struct Case {
    int32_t channels;
    int32_t view;
    int x, y;
    int32_t want;
  } cases[] = {
      {16, 17, 10, 10, 4}, {16, 19, 700, 570, 15}, {16, 18, 10, 300, 10},    {16, 20, 350, 300, 4},
      {16, 21, 10, 10, 9}, {16, 21, 700, 570, 1},  {16, 22, 700, 10, 3},     {16, 22, 0, 575, 12},
      {8, 18, 10, 10, 0},  {8, 18, 400, 384, 4},   {16, 22, 5000, 5000, 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "view " << c.view << " at " << c.x << "," << c.y);
    state.initialise();
    identify(c.channels);
    show(c.view);
    pointer.Image_Trumpet_BGMouseDown(c.x, c.y);
    EXPECT_EQ(v().ie_doing, c.want);
  }
}

TEST_F(VideoPointerTest, NinthCellOfTheEightWaySplitKeepsTheView) {
  identify(8);
  show(18);
  redraws.clear();
  pointer.Image_Trumpet_BGMouseDown(700, 570);
  EXPECT_EQ(v().ie_doing, 18);
  EXPECT_TRUE(sent_views().empty());
  EXPECT_TRUE(redraws.empty());
}

TEST_F(VideoPointerTest, OnlyTheLivePageTakesClicks) {
  identify(16);
  click([](KeyFormVariables& k) { k.ie_page2 = kPagePlayback; });
  sent_views();
  pointer.Image_Trumpet_BGMouseDown(600, 500);
  EXPECT_EQ(v().ie_doing, 0);
  EXPECT_TRUE(sent_views().empty());
}

TEST_F(VideoPointerTest, SpeakerIconsFollowTheViewAndHideTwoSecondsAfterTheLastMove) {
  identify(16);
  pointer.set_audio_present(true);
  struct Case {
    int32_t view;
    uint32_t audio_word;
    bool shown;
  } cases[] = {{1, 0, true}, {0, 0, true}, {3, 0, false}, {16, 0, false}, {1, 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "view " << c.view << " audio " << c.audio_word);
    identity_audio = c.audio_word;
    show(c.view);
    EXPECT_FALSE(off_shown());
    pointer.Image_Trumpet_BGMouseMove(100, 100);
    tick(10);
    EXPECT_EQ(off_shown(), c.shown);
    EXPECT_FALSE(on_shown());
    tick(1000);
    pointer.Image_Trumpet_BGMouseMove(120, 100);
    tick(1990);  // 2 s since the first move, not since the last
    EXPECT_EQ(off_shown(), c.shown);
    tick(11);
    EXPECT_FALSE(off_shown());
  }
}

TEST_F(VideoPointerTest, SpeakerClickTogglesAndAViewCommandHidesTheIcons) {
  identify(16);
  show(1);
  // Without audio from the DVR a move over the picture shows nothing.
  pointer.Image_Trumpet_BGMouseMove(100, 100);
  tick(10);
  EXPECT_FALSE(pointer.hover());
  pointer.set_audio_present(true);
  pointer.Image_Trumpet_BGMouseMove(100, 100);
  tick(10);
  ASSERT_TRUE(off_shown());
  EXPECT_EQ(pointer.speaker_on().load(), kSpeakerOff);
  pointer.Image_Trumpet_OffClick();
  EXPECT_EQ(pointer.speaker_on().load(), kSpeakerOn);
  EXPECT_EQ(pointer.previous_on(), kSpeakerOn);
  EXPECT_TRUE(on_shown());
  EXPECT_FALSE(off_shown());
  pointer.Image_Trumpet_OnClick();
  EXPECT_EQ(pointer.speaker_on().load(), kSpeakerOff);
  EXPECT_TRUE(off_shown());
  // Any view command hides both icons at once.
  click([](KeyFormVariables&) {});
  EXPECT_FALSE(off_shown());
  EXPECT_FALSE(on_shown());
}

TEST_F(VideoPointerTest, PlaybackOfChannelOneHasSound) {
  identify(16);
  click([](KeyFormVariables& k) { k.ie_page2 = kPagePlayback; });
  click([](KeyFormVariables& k) { k.ie_doing = k.ie_ch = 1; });
  pointer.set_audio_present(true);
  pointer.Image_Trumpet_OnMouseMove();
  tick(10);
  EXPECT_TRUE(off_shown());
}

}  // namespace
}  // namespace tessomar::keyform
