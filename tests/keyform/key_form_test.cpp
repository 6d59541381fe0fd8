// The key form as a whole on a small skin: a press on a drawn key runs the click rule, the
// state update and the view command; the service draws Image1.
#include "keyform/key_form.h"

#include <gtest/gtest.h>

#include "channels/channel_fixture.h"
#include "keyform/skin_fixture.h"
#include "platform/bytes.h"

namespace tessomar::keyform {
namespace {

using testsupport::base_skin;
using testsupport::SkinFixture;
using testsupport::TempFolder;

constexpr uint32_t kKey = 0x5EED0001;

// Channel keys: a 4 x 4 grid of 8 x 8 cells round the background's centre (32, 24), cell n
// writing n - 1 to the view and, through its child, to the channel key's view. Page tabs: a row
// of four under it, centred at (32, 44).
SkinFixture key_form_skin() {
  SkinFixture skin = base_skin();
  skin.image({.name = "key",
              .cell_width = 8,
              .cell_height = 8,
              .strip_x = 100,
              .strip_y = 80,
              .strip_columns = 2,
              .kind = 5,
              .level = 1});
  skin.element({.name = "keys",
                .image = "key",
                .parent = "root",
                .repeat = 16,
                .grid_columns = 4,
                .source = "IE_CH#ADN",
                .target = "IE_DOING#SD"});
  skin.element({.name = "keyview",
                .image = "key",
                .parent = "keys",
                .source = "IE_CH#ADN",
                .target = "IE_CH#SD"});
  skin.element({.name = "tabs",
                .image = "key",
                .parent = "root",
                .offset_y = 20,
                .repeat = 4,
                .grid_columns = 4,
                .source = "IE_Page#ADN",
                .target = "IE_Page2#SD"});
  testsupport::paint_strip(skin, 100, 80, 8, 8, 2, 1, 0x2222);
  return skin;
}

class KeyFormTest : public channels::testing::ChannelFixture {
 protected:
  KeyFormTest()
      : icmd(link, dialogs),
        modes(icmd, link, form),
        key_form(KeyFormServices{form, clock, logger, link, icmd, modes, [] { return 0u; },
                                 [] { return 0u; }}) {
    icmd.register_icmd();
    open_session(0, kKey, 1);
    link.slot(0).credential_a = "9";
    key_form_skin().write(folder.path(), key_form_file_name("02030202"));
    key_form.initialise();
  }

  void press(int x, int y) {
    key_form.Image1MouseDown(x, y);
    key_form.Image1MouseUp(x, y);
  }
  // The last ICMD set queued since the previous call: record id and selected channel.
  std::pair<uint32_t, int32_t> last_set() {
    std::pair<uint32_t, int32_t> out{0, -1};
    for (const auto& m : take_queued()) {
      if (m.tag != channels::kTagIcmd || m.sub[1] != channels::kOpSet) continue;
      out = {m.sub[2], int32_t(platform::load_u32le(&m.payload[channels::kLiveSelectedChannel]))};
    }
    return out;
  }

  channels::IcmdChannel icmd;
  channels::SessionModes modes;
  TempFolder folder;
  KeyForm key_form;
};

TEST_F(KeyFormTest, PressOnAChannelKeySendsItsView) {
  ASSERT_TRUE(key_form.register_key_form(folder.path().string(), "02030202"));
  key_form.device_identity(16, 0, 0);
  ASSERT_EQ(last_set().first, channels::kRecordLive);
  key_form.service_33ms();
  EXPECT_FALSE(form["Image1"].picture().empty());

  press(28, 20);  // cell 6
  EXPECT_EQ(key_form.variables().ie_doing, 5);
  EXPECT_EQ(key_form.variables().ie_ch, 5);
  EXPECT_EQ(key_form.variables().ie_ch_keys[5], 1);
  EXPECT_EQ(key_form.variables().ie_ch_keys[0], 0);
  EXPECT_EQ(last_set(), (std::pair<uint32_t, int32_t>{channels::kRecordLive, 5}));

  press(28, 46);  // the Playback tab
  EXPECT_EQ(key_form.variables().ie_page2, kPagePlayback);
  EXPECT_EQ(last_set().first, channels::kRecordPlayback);
  // The video picture takes clicks only on the Live page.
  key_form.video_pointer().Image_Trumpet_BGMouseDown(10, 10);
  EXPECT_EQ(last_set().first, 0u);
}

TEST_F(KeyFormTest, HiddenKeysAndTabsTakeNoPress) {
  ASSERT_TRUE(key_form.register_key_form(folder.path().string(), "02030202"));
  link.slot(0).credential_a = "7";  // Live only
  key_form.device_identity(4, 0, 0);
  take_queued();
  press(28, 46);  // the hidden Playback tab
  EXPECT_EQ(key_form.variables().ie_page2, kPageLive);
  press(28 + 16, 20);  // cell 8: channel 7 of a four-channel DVR is hidden
  EXPECT_EQ(key_form.variables().ie_doing, 16);
  EXPECT_TRUE(take_queued().empty());
}

TEST_F(KeyFormTest, MissingSkinLeavesTheKeyFormEmpty) {
  EXPECT_FALSE(key_form.register_key_form((folder.path() / "elsewhere").string(), "02030202"));
  key_form.device_identity(16, 0, 0);
  key_form.service_33ms();
  EXPECT_TRUE(form["Image1"].picture().empty());
  press(28, 20);
  EXPECT_EQ(key_form.variables().ie_doing, 16);
}

}  // namespace
}  // namespace tessomar::keyform
