// The stand-in for the No-IP service's OEM REST interface: parses one HTTP request, checks
// its signature, body digest and date, and answers in the service's XML. Accounts and hosts
// live in memory. Time comes from the caller so that tests can move it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessomar::noipsim {

// Largest request accepted (headers and body together).
constexpr size_t kMaxRequestSize = 16384;
// Requests dated further than this from the service's clock are refused.
constexpr int64_t kMaxDateSkewSeconds = 15 * 60;

struct ServiceConfig {
  std::string client_id = "CLI-731542";
  std::string client_key = "9b41e07c2f5a86d3c0e1b7a94d6f2853";
  std::vector<std::string> domains = {"ddns.net", "hopto.org", "zapto.org"};
};

struct HttpRequest {
  std::string method, target;
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent
  std::string body;
  // The first header of that name (any case), or nullptr.
  const std::string* header(std::string_view name) const;
};

enum class ParseStatus { kIncomplete, kComplete, kBad };

// Parses the bytes received so far. kIncomplete: wait for more; kBad: `why` says what is wrong.
ParseStatus parse_request(std::string_view data, HttpRequest& out, std::string& why);

// A whole HTTP reply (one request per connection: Connection: close).
std::string http_reply(int status, std::string_view xml);

// Helpers that the checks use; exposed for the tests.
std::string md5_base64(std::string_view data);
std::string hmac_sha1_base64(std::string_view key, std::string_view text);
// "Thu, 10 Dec 2026 22:03:32 +0000" to Unix seconds; false when it is not such a date.
bool parse_date(std::string_view text, int64_t& unix_seconds);

class Service {
 public:
  Service(ServiceConfig config, std::function<int64_t()> unix_now);

  // The reply to a raw request (a complete one, or a refusal of a bad one).
  std::string reply_to(std::string_view raw);
  std::string handle(const HttpRequest& request);

  struct Account {
    std::string id, key, username, email, password, firstname, lastname, postal_code;
    std::vector<std::string> hosts;  // host.domain
  };
  // Accounts by user name.
  const std::map<std::string, Account>& accounts() const { return accounts_; }

 private:
  // Checks the date, digest and signature; empty when they hold, else the refusal.
  std::string check_authorization(const HttpRequest& request, std::string_view path,
                                  const Account** account) const;
  std::string create_account(const HttpRequest& request);
  std::string create_host(const HttpRequest& request, const Account& account);

  ServiceConfig config_;
  std::function<int64_t()> unix_now_;
  std::map<std::string, Account> accounts_;
  int next_id_ = 1001;
};

}  // namespace tessomar::noipsim
