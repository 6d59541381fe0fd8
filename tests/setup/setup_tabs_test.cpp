#include "setup/setup_tabs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channels/channel_fixture.h"
#include "channels/icmd.h"
#include "channels/ictl.h"
#include "setup/providers.h"

namespace tessomar::setup {
namespace {

using channels::testing::ChannelFixture;
using channels::testing::WireMessage;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kKey = 0x5E7A0001;

channels::DeviceIdentity identity(uint32_t model_variant, uint32_t mail_variant = 0) {
  channels::DeviceIdentity id;
  id.channel_count = 16;
  id.model_variant = model_variant;
  id.mail_variant = mail_variant;
  id.title_support = 1;
  id.os = "[OS] 2.9";
  id.number = "[N] 7104";
  return id;
}

Bytes setup_record(uint32_t sub_id, const Bytes& data) {
  Bytes r(channels::kSetupHeaderSize + data.size(), 0);
  platform::store_u32le(r.data(), sub_id);
  platform::store_u32le(r.data() + 4, uint32_t(channels::kSetupHeaderSize + data.size()));
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  platform::store_u32le(r.data() + 8, sum);
  std::copy(data.begin(), data.end(), r.begin() + channels::kSetupHeaderSize);
  return r;
}

// A mail image as the DVR would send it: marker, kind, the strings, zeros.
Bytes mail_image(const std::vector<std::string>& strings, uint8_t kind = kMailKindSettings) {
  Bytes m(256, 0);
  m[0] = kMailMarker;
  m[1] = kind;
  size_t at = 2;
  for (const auto& s : strings) {
    std::copy(s.begin(), s.end(), m.begin() + ptrdiff_t(at));
    at += s.size() + 1;
  }
  return m;
}

std::vector<std::string> mail_strings_of(const WireMessage& m) {
  Bytes image(m.payload.begin() + channels::kSetupHeaderSize, m.payload.end());
  return split_mail_strings(image);
}

class SetupTabsTest : public ChannelFixture {
 protected:
  SetupTabsTest()
      : icmd(link, dialogs),
        ictl(link, form, dialogs),
        tabs(form, link, icmd, ictl, dialogs, logger) {
    icmd.register_icmd();
    ictl.register_ictl();
    ictl.declare_slots();
    icmd.hooks().refill_tab = [this](uint32_t sub, const channels::SessionState& s) {
      tabs.refill(sub, s);
    };
    icmd.hooks().group_enabled = [this](int g, bool on) { tabs.set_group_enabled(g, on); };
    ictl.hooks().upnp_display = [this](uint32_t) { tabs.upnp_display(); };
    tabs.hooks().open_page = [this](std::string_view a) { pages.emplace_back(a); };
    tabs.hooks().open_noip_wizard = [this] { ++wizards; };
    tabs.startup();
    open_session(0, kKey, 1);
  }

  void prepare(uint32_t variant) { tabs.prepare(identity(variant), "127.0.0.1", "8080"); }

  void type(std::string_view edit, std::string_view text) { form[edit].set_caption(text); }
  void pick(std::string_view box, int index) {
    form[box].set_item_index(index);
    form[box].fire("OnChange");
  }
  void click(std::string_view button) { form[button].fire("OnClick"); }
  void show_tab(int index) {
    form["PageControl1"].set_item_index(index);
    form["PageControl1"].fire("OnChange");
  }

  // The DVR reports a setting image.
  void report(uint32_t sub_id, const Bytes& data) {
    deliver(channels::kTagIcmd, {kKey, channels::kOpReport, channels::kRecordSetup, 0},
            setup_record(sub_id, data));
  }
  // The DVR echoes what we sent.
  void echo(const WireMessage& m) {
    deliver(channels::kTagIcmd, {kKey, channels::kOpReport, channels::kRecordSetup, 0}, m.payload);
  }

  std::vector<WireMessage> sent() { return take_queued(0); }

  channels::IcmdChannel icmd;
  channels::IctlChannel ictl;
  SetupTabs tabs;
  std::vector<std::string> pages;
  int wizards = 0;
};

TEST_F(SetupTabsTest, SystemTabSendsNothingAndCancelsPendingConfirmations) {
  prepare(0);
  show_tab(kTabSystem);
  click("Button_Bitrate");  // the buttons follow the active page: the System tab
  EXPECT_TRUE(sent().empty());

  // A bitrate set is outstanding when the user goes to the System tab.
  show_tab(kTabBitrate);
  pick("ComboBox_bitrate", 3);
  click("Button_Bitrate");
  auto out = sent();
  ASSERT_EQ(out.size(), 2u);  // the tab's query, then the set
  EXPECT_EQ(out[1].sub[1], channels::kOpSet);
  show_tab(kTabSystem);
  EXPECT_EQ(icmd.session(0).pendingSetup, 0u);

  // The confirmation arriving afterwards refills the tab without the message box.
  report(channels::kSetupBitrate, {7, 0, 0, 0});
  EXPECT_TRUE(dialogs.messages().empty());
  EXPECT_EQ(form["ComboBox_bitrate"].item_index(), 7);
  EXPECT_EQ(form["ComboBox_bitrate"].caption(), "1 Mbps");
}

TEST_F(SetupTabsTest, MailApplySendsBothSetsAndConfirmsOnce) {
  prepare(0);
  pick("ComboBox_smtp1", 1);
  type("LabeledEdit_smtp1", "smtp.example.net");
  type("LabeledEdit_smtp10", "587");
  type("LabeledEdit_smtp2", "alarm");
  type("LabeledEdit_smtp3", "pw");
  form["CheckBox_SMTP"].set_checked(true);
  type("LabeledEdit_smtp4", "dvr@example.net");
  type("LabeledEdit_smtp5", "me@example.net");
  type("LabeledEdit_smtp8", "Motion");
  type("LabeledEdit_smtp9", "Shop");
  pick("ComboBox_smtp2", 15);
  form["PageControl1"].set_item_index(kTabMail);
  click("Button_SMTP");

  auto out = sent();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].payload[0], channels::kSetupMail);
  EXPECT_EQ(out[1].payload[0], channels::kSetupMailInterval);
  const Bytes& mail = out[0].payload;
  EXPECT_EQ(mail[channels::kSetupHeaderSize + 1], kMailKindSettings);
  EXPECT_EQ(
      mail_strings_of(out[0]),
      (std::vector<std::string>{"1", "smtp.example.net", "587", "alarm", "pw", "1",
                                "dvr@example.net", "me@example.net", "", "", "Motion", "Shop"}));
  EXPECT_EQ(mail[channels::kSetupHeaderSize + 254], 0);  // no test mail asked for yet
  EXPECT_EQ(platform::load_u16le(&out[1].payload[channels::kSetupHeaderSize]), 15);

  // While the answers are outstanding the mail group is disabled.
  EXPECT_FALSE(form["LabeledEdit_smtp5"].enabled());
  echo(out[0]);
  echo(out[1]);
  ASSERT_EQ(dialogs.messages().size(), 1u);
  EXPECT_EQ(dialogs.messages()[0].text, "Setup Successful.");
  EXPECT_TRUE(form["LabeledEdit_smtp5"].enabled());
}

TEST_F(SetupTabsTest, TestMailSendsOnlyTheMailImageWithACountingKind) {
  prepare(0);
  pick("ComboBox_smtp1", 1);
  for (int expected : {1, 2}) {
    click("Button_SMTP3");
    auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].sub[1], channels::kOpSet);
    EXPECT_EQ(out[0].payload[0], channels::kSetupMail);
    EXPECT_EQ(out[0].payload[channels::kSetupHeaderSize + 1], kMailKindTestMail);
    EXPECT_EQ(out[0].payload[channels::kSetupHeaderSize + 254], expected);
  }
  // A plain Apply carries the count without raising it.
  form["PageControl1"].set_item_index(kTabMail);
  click("Button_SMTP");
  auto out = sent();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].payload[channels::kSetupHeaderSize + 254], 2);
  EXPECT_EQ(tabs.test_mail_counter(), 2u);
}

TEST_F(SetupTabsTest, MailStringsThatDoNotFitEndTheList) {
  prepare(0);
  const std::string long_text(31, 'x');
  for (const char* e : {"LabeledEdit_smtp1", "LabeledEdit_smtp2", "LabeledEdit_smtp3",
                        "LabeledEdit_smtp4", "LabeledEdit_smtp5", "LabeledEdit_smtp6",
                        "LabeledEdit_smtp7", "LabeledEdit_smtp8", "LabeledEdit_smtp9"}) {
    type(e, long_text);
  }
  type("LabeledEdit_smtp10", "25");
  click("Button_SMTP3");
  auto out = sent();
  ASSERT_EQ(out.size(), 1u);
  const Bytes image(out[0].payload.begin() + channels::kSetupHeaderSize, out[0].payload.end());
  // status, server, port, user, password, secure, sender, receivers 1 to 3: 2+32+3+32+32+2+
  // 32*4 = 231 bytes after offset 2; the subject would end past offset 253.
  auto strings = split_mail_strings(image);
  ASSERT_GE(strings.size(), 10u);
  EXPECT_EQ(strings[9], long_text);
  for (size_t i = 10; i < strings.size(); ++i) EXPECT_EQ(strings[i], "") << i;
  for (size_t i = 2 + 231; i < 254; ++i) EXPECT_EQ(image[i], 0) << i;
  EXPECT_EQ(image[254], 1);
}

TEST_F(SetupTabsTest, ProviderListsAndLinksFollowTheVariant) {
  struct Case {
    uint32_t variant;
    std::vector<std::string> items;
    std::vector<int32_t> map;
    const char* host_label;
    int mail_statuses;
    bool links_visible;
    uint16_t code_of_position_1;
  } cases[] = {
      {0,
       {"Disable", std::string(kProviders[1].list_text), std::string(kProviders[3].list_text)},
       {0, 1, 3, -1, -1, -1, -1, -1},
       "DDNS Host Name",
       2,
       true,
       1},
      {1,
       {"Disable", std::string(kProviders[2].list_text)},
       {0, 2, -1, -1, -1, -1, -1, -1},
       "DDNS Domain Name",
       3,
       false,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    prepare(c.variant);
    EXPECT_EQ(form["ComboBox_ddns1"].items(), c.items);
    EXPECT_EQ(std::vector<int32_t>(tabs.provider_map().begin(), tabs.provider_map().end()), c.map);
    EXPECT_EQ(form["LabeledEdit_ddns4"].label_caption(), c.host_label);
    EXPECT_EQ(tabs.mail_status_count(), c.mail_statuses);
    EXPECT_EQ(form["Label_ddns2"].visible(), c.links_visible);

    pick("ComboBox_ddns1", 1);
    type("LabeledEdit_ddns2", "guest1");
    type("LabeledEdit_ddns4", "guest1.example.org");
    tabs.apply(kTabDdns);
    auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    const uint8_t* image = out[0].payload.data() + channels::kSetupHeaderSize;
    EXPECT_EQ(platform::load_u16le(image + 2), c.code_of_position_1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image + 68)), "guest1.example.org");
  }
}

TEST_F(SetupTabsTest, DdnsLinksOpenPagesOrTheNoIpWizard) {
  prepare(0);
  pick("ComboBox_ddns1", 0);
  EXPECT_FALSE(form["Label_ddns2"].enabled());
  click("Label_ddns2");  // position 0 has no page
  EXPECT_TRUE(pages.empty());

  pick("ComboBox_ddns1", 1);  // DynDNS
  EXPECT_TRUE(form["Label_ddns3"].enabled());
  click("Label_ddns2");
  click("Label_ddns3");
  EXPECT_EQ(pages, (std::vector<std::string>{std::string(kProviders[1].home_page),
                                             std::string(kProviders[1].account_page)}));

  pick("ComboBox_ddns1", 2);  // No-IP: its account comes from the wizard
  click("Label_ddns3");
  EXPECT_EQ(wizards, 1);
  click("Label_ddns2");
  EXPECT_EQ(pages.back(), kProviders[3].home_page);
}

TEST_F(SetupTabsTest, ReceivedMailStatusTwoDependsOnTheVariant) {
  struct Case {
    uint32_t variant;
    int shown;
    bool server_enabled;
  } cases[] = {{1, 2, false}, {0, 1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    prepare(c.variant);
    report(channels::kSetupMail, mail_image({"2", "smtp.x", "25", "u", "p", "1", "a@b"}));
    EXPECT_EQ(form["ComboBox_smtp1"].item_index(), c.shown);
    for (const char* f : {"LabeledEdit_smtp1", "LabeledEdit_smtp10", "LabeledEdit_smtp2",
                          "LabeledEdit_smtp3", "CheckBox_SMTP"}) {
      EXPECT_EQ(form[f].enabled(), c.server_enabled) << f;
    }
    EXPECT_TRUE(form["LabeledEdit_smtp4"].enabled());
    EXPECT_TRUE(form["Button_SMTP3"].enabled());
  }
}

TEST_F(SetupTabsTest, ReceivedMailImagesRefillTheTab) {
  prepare(0);
  struct Case {
    const char* port;
    const char* shown;
  } cases[] = {{"", "25"}, {"8a0", "80"}, {"99999", "65535"}, {"587", "587"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    report(channels::kSetupMail, mail_image({"1", "smtp.x", c.port, "u", "p", "0", "from@x", "r1@x",
                                             "r2@x", "r3@x", "Subj", "Loc"}));
    EXPECT_EQ(form["LabeledEdit_smtp10"].caption(), c.shown);
  }
  EXPECT_EQ(form["ComboBox_smtp1"].item_index(), 1);
  EXPECT_FALSE(form["CheckBox_SMTP"].checked());
  EXPECT_EQ(form["LabeledEdit_smtp7"].caption(), "r3@x");
  EXPECT_EQ(form["LabeledEdit_smtp9"].caption(), "Loc");

  // A missing port string also shows 25; a wrong marker clears the tab.
  report(channels::kSetupMail, mail_image({"1", "smtp.y"}));
  EXPECT_EQ(form["LabeledEdit_smtp10"].caption(), "25");
  Bytes bad = mail_image({"1", "smtp.z"});
  bad[0] = 21;
  report(channels::kSetupMail, bad);
  EXPECT_EQ(form["ComboBox_smtp1"].item_index(), 0);
  EXPECT_EQ(form["LabeledEdit_smtp1"].caption(), "");
}

TEST_F(SetupTabsTest, BitrateControlsStayEnabledWhileOtherTabsWait) {
  prepare(0);
  show_tab(kTabBitrate);
  show_tab(kTabPppoe);
  auto out = sent();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].sub[1], channels::kOpQuery);
  for (const char* n : {"Label_bitrate", "ComboBox_bitrate", "Button_Bitrate"}) {
    EXPECT_TRUE(form[n].enabled()) << n;
  }
  EXPECT_FALSE(form["LabeledEdit_pppoe2"].enabled());
  // No answer: the counter brings the PPPoE group back after 1000 ticks.
  for (int i = 0; i < 999; ++i) icmd.reenable_tick();
  EXPECT_FALSE(form["Button_PPPoE"].enabled());
  icmd.reenable_tick();
  EXPECT_TRUE(form["Button_PPPoE"].enabled());
}

TEST_F(SetupTabsTest, PppoeAndDdnsTextsOverTheirFieldsAreSentEmpty) {
  prepare(0);
  struct Case {
    int tab;
    const char* edit;
    size_t length;
    bool kept;
  } cases[] = {
      {kTabPppoe, "LabeledEdit_pppoe2", 32, true}, {kTabPppoe, "LabeledEdit_pppoe2", 33, false},
      {kTabDdns, "LabeledEdit_ddns4", 48, true},   {kTabDdns, "LabeledEdit_ddns4", 49, false},
      {kTabDdns, "LabeledEdit_ddns3", 33, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.edit) + " " + std::to_string(c.length));
    const bool pppoe = c.tab == kTabPppoe;
    type(pppoe ? "LabeledEdit_pppoe2" : "LabeledEdit_ddns2", "user");
    type(pppoe ? "LabeledEdit_pppoe3" : "LabeledEdit_ddns3", "secret");
    type("LabeledEdit_ddns4", "host");
    type(c.edit, std::string(c.length, 'a'));
    tabs.apply(c.tab);
    auto out = sent();
    ASSERT_EQ(out.size(), 1u);
    const Bytes& p = out[0].payload;
    const char* user = reinterpret_cast<const char*>(p.data() + channels::kSetupHeaderSize + 4);
    const size_t field = std::string_view(c.edit).ends_with("4") ? 47 : 31;
    if (c.kept) {
      EXPECT_EQ(std::string(user).substr(0, 4),
                std::string(c.edit).ends_with("2") ? "aaaa" : "user");
      const char* f =
          reinterpret_cast<const char*>(p.data() + channels::kSetupHeaderSize +
                                        (std::string_view(c.edit).ends_with("4") ? 68 : 4));
      EXPECT_EQ(std::strlen(f), field);  // cut to the field
    } else {
      EXPECT_STREQ(user, "");
    }
  }
}

TEST_F(SetupTabsTest, UpnpApplyRefreshAndDisplay) {
  prepare(0);
  pick("ComboBox_upnp", 1);
  type("LabeledEdit_upnp", "8081");
  form["PageControl1"].set_item_index(kTabUpnp);
  click("Button_UPNP");
  auto out = sent();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].tag, channels::kIctlTag);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out[0].payload.data() + 4)),
            "Vask_Upnp_C_Data_W");
  EXPECT_EQ(platform::load_u32le(&out[0].payload[256]), kUpnpOn | kUpnpWriteRequest | 8081u);
  EXPECT_EQ(platform::load_u32le(ictl.buffers().upnp_word.data()), kUpnpOn | 8081u);

  show_tab(kTabUpnp);
  out = sent();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(platform::load_u32le(&out[0].payload[256]), kUpnpReadRequest | kUpnpOn | 8081u);

  // Not an integer, or not a port: an error, nothing written.
  for (const char* bad : {"8a0", "", "70000"}) {
    type("LabeledEdit_upnp", bad);
    show_tab(kTabUpnp);
    click("Button_UPNP");
    EXPECT_TRUE(sent().empty()) << bad;
  }
  EXPECT_EQ(dialogs.messages().size(), 6u);

  // The DVR writes the word back.
  platform::store_u32le(ictl.buffers().upnp_word.data(), 0x12345u);  // off, port 0x2345
  tabs.upnp_display();
  EXPECT_EQ(form["ComboBox_upnp"].item_index(), 0);
  EXPECT_EQ(form["LabeledEdit_upnp"].caption(), std::to_string(0x2345));
}

TEST_F(SetupTabsTest, PreparationFillsTextsListsAndLimits) {
  tabs.prepare(identity(0, 1), "10.0.0.5", "80");
  EXPECT_EQ(form["LabeledEdit_System1"].caption(), "10.0.0.5");
  EXPECT_EQ(form["Label_System1"].caption(), "[OS] 2.9");
  EXPECT_EQ(form["LabeledEdit_smtp10"].max_length(), 5);
  EXPECT_EQ(form["LabeledEdit_ddns4"].max_length(), 47);
  EXPECT_EQ(form["LabeledEdit_pppoe3"].password_char(), '*');
  EXPECT_FALSE(form["ComboBox_smtp2"].visible());  // mail variant 1 has no interval
  ASSERT_EQ(form["ComboBox_smtp2"].items().size(), 61u);
  EXPECT_EQ(form["ComboBox_smtp2"].items().back(), "60");
  for (const char* memo : {"Memo_Bitrate", "Memo_PPPoE", "Memo_DDNS", "Memo_SMTP", "Memo_UPNP"}) {
    EXPECT_TRUE(form[memo].caption().starts_with(" \r\n  *")) << memo;
  }
  const std::string& upnp = form["Memo_UPNP"].caption();
  EXPECT_NE(upnp.find("be sure to \u201c"
                      "Enable\u201d UPnP"),
            std::string::npos);
  EXPECT_NE(upnp.find("router\u2019s IP"), std::string::npos);
  // A second identity gives each memo its text once.
  const std::string mail = form["Memo_SMTP"].caption();
  tabs.prepare(identity(0, 1), "10.0.0.5", "80");
  EXPECT_EQ(form["Memo_SMTP"].caption(), mail);
}

TEST_F(SetupTabsTest, ClearButtonsEmptyTheirEditsAndSendNothing) {
  prepare(0);
  EXPECT_EQ(form["LabeledEdit_pppoe2"].caption(), "");  // designer texts went at start-up
  type("LabeledEdit_pppoe2", "a");
  type("LabeledEdit_ddns4", "b");
  type("LabeledEdit_smtp10", "25");
  click("Button_PPPoE2");
  click("Button_DDNS2");
  click("Button_SMTP2");
  for (const char* e : {"LabeledEdit_pppoe2", "LabeledEdit_ddns4", "LabeledEdit_smtp10"}) {
    EXPECT_EQ(form[e].caption(), "") << e;
  }
  EXPECT_TRUE(sent().empty());
}

}  // namespace
}  // namespace tessomar::setup
