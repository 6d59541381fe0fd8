// The setup pages over the video area: seven tabs that show and change the DVR's remote
// settings. Selecting a tab asks the DVR for its values; Apply writes the tab into slot 0's
// setting images and sends them (UPnP through its named data slot). The ICMD channel refills
// the tabs and re-enables their control groups when the answers arrive. UI thread only.
//
//   SetupTabs tabs(form, link, icmd, ictl, dialogs, logger);
//   tabs.startup();                     // lists, handlers, the designer texts cleared
//   tabs.prepare(identity, ip, port);   // each time slot 0's identity arrives
//   icmd.hooks().refill_tab = [&](uint32_t id, const SessionState& s) { tabs.refill(id, s); };
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/icmd.h"
#include "channels/ictl.h"
#include "channels/vask.h"
#include "link/link.h"
#include "platform/dialogs.h"
#include "platform/form.h"
#include "platform/log.h"

namespace tessomar::setup {

// Tab types: the page index of PageControl1, and Test Mail.
constexpr int kTabSystem = 0;
constexpr int kTabBitrate = 1;
constexpr int kTabPppoe = 2;
constexpr int kTabDdns = 3;
constexpr int kTabMail = 4;
constexpr int kTabTitle = 5;
constexpr int kTabUpnp = 6;
constexpr int kTabTestMail = 7;

// Mail image.
constexpr uint8_t kMailMarker = 20;
constexpr uint8_t kMailKindSettings = 9;
constexpr uint8_t kMailKindTestMail = 16;
constexpr int kMailStrings = 12;

// UPnP word.
constexpr uint32_t kUpnpReadRequest = 1u << 31;
constexpr uint32_t kUpnpOn = 1u << 30;
constexpr uint32_t kUpnpWriteRequest = 1u << 29;

constexpr int kMailIntervalMax = 60;
constexpr int kDefaultMailPort = 25;

// Edit limits in characters.
constexpr int kNameLimit = 31;  // PPPoE and DDNS user and password, mail texts
constexpr int kHostLimit = 47;  // DDNS host or domain
constexpr int kPortLimit = 5;   // mail port

const std::vector<std::string>& bitrate_texts();

// Splits a mail image into its strings as the refill does: up to twelve NUL-terminated
// strings from offset 2, never past the image's end. Empty when the marker or kind is wrong.
std::vector<std::string> split_mail_strings(std::span<const uint8_t> image);
// The port shown for a mail port string: 25 when empty, else its decimal digits (others
// skipped) capped at 65535.
int mail_port_number(std::string_view text);
// A whole decimal integer (optional sign, surrounding blanks allowed); nothing otherwise.
std::optional<int64_t> parse_integer(std::string_view text);

// Converts text in the DVR's Big5 code page to UTF-8 for display; bytes that do not convert
// are dropped.
std::string big5_to_utf8(std::string_view big5);

// Calls out to the host and the later subsystems. Unset hooks: pages are only logged, the
// rest does nothing.
struct SetupHooks {
  std::function<void(std::string_view address)> open_page;  // the system's web browser
  std::function<void()> open_noip_wizard;
  std::function<void()> title_apply;
  std::function<void()> title_refresh;
  std::function<void(uint32_t channel_count)> title_channels;
  // The UPnP tab showed a word the DVR wrote.
  std::function<void()> upnp_shown;
};

class SetupTabs {
 public:
  SetupTabs(platform::Form& form, link::Link& link, channels::IcmdChannel& icmd,
            channels::IctlChannel& ictl, platform::Dialogs& dialogs,
            const platform::Logger& logger);
  SetupTabs(const SetupTabs&) = delete;
  SetupTabs& operator=(const SetupTabs&) = delete;

  SetupHooks& hooks() { return hooks_; }

  // Start-up: fixed lists, the event handlers, then the three Clears.
  void startup();
  // Tab preparation from slot 0's identity; the remote address shows on the System tab.
  void prepare(const channels::DeviceIdentity& identity, std::string_view remote_ip,
               std::string_view remote_port);

  void apply(int tab_type);
  void refresh(int tab_type);
  // A setting image was stored or confirmed: the tab shows it.
  void refill(uint32_t sub_id, const channels::SessionState& state);
  void set_group_enabled(int group, bool enabled);

  void mail_mode_rule();
  void link_label_rule();
  void clear_pppoe();
  void clear_ddns();
  void clear_mail();
  void ddns_home();
  void ddns_create_account();
  // The DVR wrote the UPnP word.
  void upnp_display();

  uint32_t test_mail_counter() const { return test_mail_counter_; }
  // The provider codes the list offers, by position (-1 for unused positions).
  const std::array<int32_t, channels::kDdnsProviderPositions>& provider_map() const;
  // Mail status entries of the prepared variant (2 or 3).
  int mail_status_count() const;

 private:
  platform::Component& c(std::string_view name) { return form_[name]; }
  const std::string& text(std::string_view name) { return form_[name].caption(); }
  int list_index(std::string_view name) { return form_[name].item_index(); }
  void select(std::string_view name, int index);
  void enable(std::initializer_list<std::string_view> names, bool on);

  void add_provider(int32_t code);
  void build_mail_image(uint8_t kind);
  void refill_mail(const channels::SessionState& state);
  void upnp_apply();
  void upnp_refresh();
  // The UPnP port text as an integer; nothing (with the conversion error shown) otherwise.
  std::optional<uint32_t> upnp_port();
  void open_provider_page(bool account_page);
  uint32_t session_key() const;

  platform::Form& form_;
  link::Link& link_;
  channels::IcmdChannel& icmd_;
  channels::IctlChannel& ictl_;
  platform::Dialogs& dialogs_;
  const platform::Logger& logger_;
  SetupHooks hooks_;
  // Apply's ten text slots.
  std::array<std::string, 10> texts_;
  uint32_t model_variant_ = 0;
  uint32_t test_mail_counter_ = 0;
};

}  // namespace tessomar::setup
