// The No-IP service's OEM REST interface as the account wizard uses it: one signed HTTP/1.1
// request per connection (Authorization: NOIP id:signature, an HMAC-SHA1 over a canonical
// text), the single reply packet polled without waiting, and the few XML elements read from
// it. The request kind is the conversation's step; replies move it on and call the wizard
// through hooks. UI thread only; connecting may block for up to the connect time-out.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dialogs.h"
#include "platform/log.h"

namespace tessomar::ddns {

// Request kinds (the conversation's steps).
constexpr int32_t kKindCreateAccount = 0;
constexpr int32_t kKindCheckUser = 1;
constexpr int32_t kKindAccountInfo = 3;
constexpr int32_t kKindHostCreated = 4;  // the poll timer sends kind 3
constexpr int32_t kKindListDomains = 5;
constexpr int32_t kKindAccountCreated = 6;  // the poll timer sends kind 5
constexpr int32_t kKindCreateHost = 7;

constexpr size_t kNoipBufferSize = 2048;
constexpr size_t kNoipValueMax = 255;
constexpr int kMaxDomains = 31;
constexpr int kConnectTimeoutSeconds = 20;

// Where the service is and how the control signs its requests. Tests point `host` at the
// local stand-in.
struct NoipConfig {
  std::string host = "api.noip.com";
  int port = 80;
  std::string client_id = "CLI-731542";
  std::string client_key = "9b41e07c2f5a86d3c0e1b7a94d6f2853";
  // The maker's DDNS service domain, inserted into the domain list by byte order.
  std::string maker_domain = "ddns.tessomar.example";
};

// What the wizard's fields hold when a request is built.
struct NoipFields {
  std::string username, email, password, firstname, lastname, postal_code;
  std::string host, domain, ip;
};

// Calls into the wizard. Unset hooks do nothing.
struct NoipHooks {
  // Both account buttons (Check and the first Next) enabled or disabled.
  std::function<void(bool enabled)> account_buttons;
  // A user-name availability answer was shown.
  std::function<void()> availability_answered;
  // The domain list arrived (not empty): the wizard shows domains().
  std::function<void()> domains_listed;
  // The host page's Next enabled again after a failed create-host answer.
  std::function<void()> host_next_enabled;
  // One account-information value ("email", "username", "firstname", "lastname",
  // "postal_code"), as found.
  std::function<void(std::string_view name, std::string_view value)> account_value;
  // The last account value (postal code) was found: the finish page.
  std::function<void()> account_info_complete;
};

// The request's date text for a UTC time: "Thu, 10 Dec 2026 22:03:32 +0000".
std::string noip_date_text(int64_t unix_seconds);
// The canonical text that is signed: for GET "GET\n\n\n<date>\n<path>", for other methods
// "<method>\n<content type>\n<content md5>\n<date>\n<path>".
std::string noip_text_to_sign(std::string_view method, std::string_view content_md5,
                              std::string_view date, std::string_view path);
// base64 of the MD5 of the body (24 characters).
std::string noip_content_md5(std::string_view body);
// base64 of HMAC-SHA1 of the text with the key's characters as the key (28 characters).
std::string noip_signature(std::string_view key, std::string_view text);
// The whole request: request line, headers in their order, blank line, body.
std::string noip_build_request(const NoipConfig& config, std::string_view client_id,
                               std::string_view client_key, std::string_view method,
                               std::string_view path, std::string_view body, std::string_view date);

// Reads element values from a reply, after its XML declaration.
class NoipReplyReader {
 public:
  explicit NoipReplyReader(std::string_view reply);
  explicit NoipReplyReader(const char* reply) : NoipReplyReader(std::string_view(reply)) {}
  // The reader only views the reply: a temporary text would be gone before it is read.
  explicit NoipReplyReader(std::string&& reply) = delete;
  // The next value of `name` ("id" reads "<id>...</id>") from the read position; false when
  // there is none (the position stays).
  bool next(std::string_view name, std::string& value);

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// A field value that would corrupt the request ('&', '=', CR or LF): the message to show, or
// empty when the value may be sent.
std::string noip_refused_value(std::string_view field, std::string_view value);

class NoipClient {
 public:
  NoipClient(platform::Dialogs& dialogs, const platform::Logger& logger, NoipConfig config,
             std::function<int64_t()> unix_now);
  ~NoipClient();
  NoipClient(const NoipClient&) = delete;
  NoipClient& operator=(const NoipClient&) = delete;

  // Connects (socket index 0: buttons, 1: the poll timer) and sends the current kind's
  // request; 1 when sent, 0 after showing why not.
  int start_request(int socket_index);
  // Takes the reply when one is there, without waiting; 1 when a reply was handled.
  int poll_reply();

  int32_t kind() const { return kind_; }
  void set_kind(int32_t kind) { kind_ = kind; }
  NoipFields& fields() { return fields_; }
  NoipHooks& hooks() { return hooks_; }
  const NoipConfig& config() const { return config_; }

  // Saved for the DDNS page: user name and password of the created account, the full host.
  const std::string& saved_user() const { return saved_user_; }
  const std::string& saved_password() const { return saved_password_; }
  const std::string& full_host() const { return full_host_; }
  // The account's own credentials (kinds 3 and 7 are signed with them).
  const std::string& user_id() const { return user_id_; }
  const std::string& user_key() const { return user_key_; }
  // Signs kinds 3 and 7 with an existing account's credentials (a host that skips the
  // account creation).
  void set_user_credentials(std::string id, std::string key) {
    user_id_ = std::move(id);
    user_key_ = std::move(key);
  }
  const std::vector<std::string>& domains() const { return domains_; }

  // The reply handling of the current kind, for tests and the fuzz target.
  void handle_reply(std::string_view reply);

 private:
  struct Sockets;

  bool refuse_fields(std::initializer_list<std::pair<std::string_view, std::string_view>> values);
  bool send_request(std::string_view method, std::string_view path, std::string_view body,
                    bool user_credentials);
  void close_socket(int index);
  void handle_create_account(NoipReplyReader& reader);
  void handle_list_domains(NoipReplyReader& reader);

  platform::Dialogs& dialogs_;
  const platform::Logger& logger_;
  NoipConfig config_;
  std::function<int64_t()> unix_now_;
  NoipHooks hooks_;
  NoipFields fields_;
  int32_t kind_ = kKindCheckUser;
  std::string saved_user_, saved_password_, full_host_, user_id_, user_key_;
  std::vector<std::string> domains_;
  std::unique_ptr<Sockets> sockets_;
};

}  // namespace tessomar::ddns
