// The No-IP account wizard: a dialog of its own (TForm_noip_setting) that the DDNS tab opens.
// Three pages, account -> host -> finish, each step one request of the NoipClient; Timer3 polls
// the replies and sends the follow-up requests. OK copies the new account into the DDNS tab
// through a hook, since the tab belongs to the setup pages. Created once, reused with its old
// contents. UI thread only.
//
//   NoipWizard wizard(client, loop, dialogs, logger);
//   wizard.hooks().finish = [&](auto user, auto password, auto host) { ... };
//   wizard.show();
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "ddns/noip_client.h"
#include "platform/dialogs.h"
#include "platform/event_loop.h"
#include "platform/form.h"
#include "platform/log.h"

namespace tessomar::ddns {

// The service's own pages the wizard links to.
struct NoipPages {
  std::string_view home_page;
  std::string_view terms_page;
};
inline constexpr NoipPages kNoipPages = {"https://www.noip.com/", "https://www.noip.com/legal/tos"};

// Left edge of the progress marker on each page.
constexpr int kMarkerAccount = 280;
constexpr int kMarkerHost = 470;
constexpr int kMarkerFinish = 660;

constexpr int kWizardWidth = 800;
constexpr int kWizardHeight = 520;
constexpr int kHeaderHeight = 97;

// Edit limits in characters.
constexpr int kUsernameLimit = 16;
constexpr int kPasswordLimit = 32;
constexpr int kNameFieldLimit = 30;  // first name, last name, postal code
constexpr int kHostnameLimit = 18;
constexpr size_t kUsernameMin = 4;

std::span<const platform::ComponentSpec> noip_form_description();

// Calls out of the wizard. Unset hooks: pages are only logged, the rest does nothing.
struct NoipWizardHooks {
  std::function<void(std::string_view address)> open_page;
  // The DVR's address of connection slot 0, offered as the host's IP.
  std::function<std::string()> dvr_address;
  // OK: the saved account and the full host go into the DDNS tab, which is applied.
  std::function<void(std::string_view user, std::string_view password, std::string_view host)>
      finish;
};

class NoipWizard {
 public:
  NoipWizard(NoipClient& client, platform::EventLoop& loop, platform::Dialogs& dialogs,
             const platform::Logger& logger, NoipPages pages = kNoipPages);
  ~NoipWizard();
  NoipWizard(const NoipWizard&) = delete;
  NoipWizard& operator=(const NoipWizard&) = delete;

  platform::Form& form() { return form_; }
  NoipWizardHooks& hooks() { return hooks_; }
  NoipClient& client() { return client_; }
  bool showing() const { return form_["TForm_noip_setting"].visible(); }

  // Opened from the DDNS tab: the account page, both account buttons off, the marker at the
  // start, the poll timer running.
  void show();

  // Handlers, as the form's events call them.
  void EditChange();
  void CheckBox1Click();
  void CheckUasClick();
  void CreateClick();
  void Button2Click();
  void Button3Click();
  void Timer3Timer();
  void Label_TOSClick();
  void Image3Click();
  void FormClose();
  void FormDestroy();

 private:
  platform::Component& c(std::string_view name) { return form_[name]; }
  bool filled(std::string_view name) const { return !form_[name].caption().empty(); }
  bool others_filled() const;  // the six account fields besides the user name
  void set_account_buttons(bool on);
  void move_marker(int left);
  void copy_fields();
  void start(int32_t kind, int socket_index);
  void open_page(std::string_view address);
  void draw_pictures();

  // Client answers.
  void availability_answered();
  void domains_listed();
  void account_value(std::string_view name, std::string_view value);
  void account_info_complete();

  NoipClient& client_;
  platform::Dialogs& dialogs_;
  const platform::Logger& logger_;
  NoipPages pages_;
  NoipWizardHooks hooks_;
  platform::Form form_;
  std::unique_ptr<platform::FormTimers> timers_;
};

}  // namespace tessomar::ddns
