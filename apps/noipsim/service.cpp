#include "noipsim/service.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace tessomar::noipsim {

namespace {

constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\"?>\n";

std::string base64(const unsigned char* data, size_t size) {
  std::string out(4 * ((size + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, int(size));
  out.resize(size_t(std::max(n, 0)));
  return out;
}

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string xml_escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string element(std::string_view name, std::string_view value) {
  return "<" + std::string(name) + ">" + xml_escape(value) + "</" + std::string(name) + ">";
}

std::string error_reply(int status, const std::vector<std::string>& messages) {
  std::string xml = "<error>";
  for (const auto& m : messages) xml += element("msg", m);
  xml += "</error>";
  return http_reply(status, xml);
}

// "a=1&b=2" into pairs; values as they stand (the client sends them without encoding).
std::map<std::string, std::string> form_values(std::string_view text) {
  std::map<std::string, std::string> out;
  while (!text.empty()) {
    const size_t amp = text.find('&');
    const std::string_view part = text.substr(0, amp);
    const size_t eq = part.find('=');
    if (eq != std::string_view::npos) {
      out.emplace(std::string(part.substr(0, eq)), std::string(part.substr(eq + 1)));
    }
    if (amp == std::string_view::npos) break;
    text.remove_prefix(amp + 1);
  }
  return out;
}

bool all_of_chars(std::string_view s, int (*pred)(int)) {
  return std::all_of(s.begin(), s.end(),
                     [pred](char c) { return pred(static_cast<unsigned char>(c)) != 0; });
}

bool valid_host_label(std::string_view h) {
  if (h.empty() || h.size() > 63 || h.front() == '-' || h.back() == '-') return false;
  return std::all_of(h.begin(), h.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
  });
}

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (same_name(n, name)) return &v;
  }
  return nullptr;
}

ParseStatus parse_request(std::string_view data, HttpRequest& out, std::string& why) {
  const size_t head_end = data.find("\r\n\r\n");
  if (head_end == std::string_view::npos) {
    if (data.size() >= kMaxRequestSize) {
      why = "request headers too long";
      return ParseStatus::kBad;
    }
    return ParseStatus::kIncomplete;
  }
  out = HttpRequest{};
  std::string_view head = data.substr(0, head_end);
  size_t eol = head.find("\r\n");
  const std::string_view line = head.substr(0, eol);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.substr(sp2 + 1) != "HTTP/1.1" || sp1 == 0 ||
      sp2 == sp1 + 1) {
    why = "bad request line";
    return ParseStatus::kBad;
  }
  out.method = std::string(line.substr(0, sp1));
  out.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  while (eol != std::string_view::npos) {
    head.remove_prefix(eol + 2);
    eol = head.find("\r\n");
    const std::string_view h = head.substr(0, eol);
    const size_t colon = h.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      why = "bad header line";
      return ParseStatus::kBad;
    }
    std::string_view value = h.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    out.headers.emplace_back(std::string(h.substr(0, colon)), std::string(value));
  }
  size_t length = 0;
  if (const std::string* cl = out.header("Content-Length")) {
    if (cl->empty() || cl->size() > 6 || !all_of_chars(*cl, ::isdigit)) {
      why = "bad Content-Length";
      return ParseStatus::kBad;
    }
    length = size_t(std::stoul(*cl));
  }
  const size_t body_start = head_end + 4;
  if (body_start + length > kMaxRequestSize) {
    why = "request too long";
    return ParseStatus::kBad;
  }
  if (data.size() < body_start + length) return ParseStatus::kIncomplete;
  out.body = std::string(data.substr(body_start, length));
  return ParseStatus::kComplete;
}

std::string http_reply(int status, std::string_view xml) {
  const char* reason = status == 200   ? "OK"
                       : status == 400 ? "Bad Request"
                       : status == 401 ? "Unauthorized"
                       : status == 403 ? "Forbidden"
                       : status == 404 ? "Not Found"
                       : status == 409 ? "Conflict"
                                       : "Error";
  std::string body(kXmlDeclaration);
  body += xml;
  body += '\n';
  char head[160];
  std::snprintf(head, sizeof head,
                "HTTP/1.1 %d %s\r\nContent-Type: text/xml\r\nContent-Length: %zu\r\n"
                "Connection: close\r\n\r\n",
                status, reason, body.size());
  return head + body;
}

std::string md5_base64(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr);
  return base64(digest, size);
}

std::string hmac_sha1_base64(std::string_view key, std::string_view text) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha1(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), mac, &size);
  return base64(mac, size);
}

bool parse_date(std::string_view text, int64_t& unix_seconds) {
  const std::string s(text);
  struct tm tm {};
  const char* end = strptime(s.c_str(), "%a, %d %b %Y %H:%M:%S +0000", &tm);
  if (!end || *end != '\0') return false;
  unix_seconds = int64_t(timegm(&tm));
  return true;
}

Service::Service(ServiceConfig config, std::function<int64_t()> unix_now)
    : config_(std::move(config)), unix_now_(std::move(unix_now)) {}

std::string Service::reply_to(std::string_view raw) {
  HttpRequest request;
  std::string why;
  switch (parse_request(raw, request, why)) {
    case ParseStatus::kComplete:
      return handle(request);
    case ParseStatus::kIncomplete:
      return error_reply(400, {"incomplete request"});
    case ParseStatus::kBad:
      break;
  }
  return error_reply(400, {why});
}

std::string Service::check_authorization(const HttpRequest& request, std::string_view path,
                                         const Account** account) const {
  const std::string* date = request.header("Date");
  int64_t when = 0;
  if (!date || !parse_date(*date, when)) return error_reply(400, {"missing or bad Date header"});
  const int64_t skew = unix_now_() - when;
  if (skew > kMaxDateSkewSeconds || skew < -kMaxDateSkewSeconds) {
    return error_reply(401, {"Date header is more than 15 minutes off"});
  }
  const std::string* md5 = request.header("Content-MD5");
  if (!request.body.empty() && (!md5 || *md5 != md5_base64(request.body))) {
    return error_reply(400, {"Content-MD5 does not match the body"});
  }
  const std::string* auth = request.header("Authorization");
  const std::string_view scheme = "NOIP ";
  if (!auth || auth->compare(0, scheme.size(), scheme) != 0) {
    return error_reply(401, {"missing NOIP authorization"});
  }
  const std::string credentials = auth->substr(scheme.size());
  const size_t colon = credentials.find(':');
  if (colon == std::string::npos) return error_reply(401, {"bad NOIP authorization"});
  const std::string id = credentials.substr(0, colon);
  const std::string signature = credentials.substr(colon + 1);

  // The OEM pair signs the account and domain requests; an account's own pair the rest.
  const bool oem = path == "/v2/oem/accounts.xml" || path == "/v2/oem/dns/domains.xml";
  std::string key;
  if (oem) {
    if (id != config_.client_id) return error_reply(401, {"unknown client id"});
    key = config_.client_key;
  } else {
    for (const auto& [name, a] : accounts_) {
      if (a.id == id) {
        key = a.key;
        *account = &a;
      }
    }
    if (!*account) return error_reply(401, {"unknown account id"});
  }
  std::string text = request.method;
  if (request.method == "GET") {
    text += "\n\n\n";
  } else {
    const std::string* type = request.header("Content-Type");
    text += "\n" + (type ? *type : std::string()) + "\n" + (md5 ? *md5 : std::string()) + "\n";
  }
  text += *date + "\n" + request.target;
  if (signature != hmac_sha1_base64(key, text)) {
    return error_reply(401, {"Authentication failed: the signature does not match"});
  }
  return {};
}

std::string Service::handle(const HttpRequest& request) {
  const size_t q = request.target.find('?');
  const std::string path = request.target.substr(0, q);
  const auto query = form_values(
      q == std::string::npos ? std::string_view() : std::string_view(request.target).substr(q + 1));
  const std::string_view account_prefix = "/v2/oem/accounts/";
  const bool known = path == "/v2/oem/accounts.xml" || path == "/v2/oem/dns/domains.xml" ||
                     path == "/v2/oem/dns/hosts.xml" ||
                     (path.rfind(account_prefix, 0) == 0 &&
                      path.size() > account_prefix.size() + 4 && path.ends_with(".xml"));
  if (!known) return error_reply(404, {"no such resource"});

  const Account* account = nullptr;
  if (std::string refusal = check_authorization(request, path, &account); !refusal.empty()) {
    return refusal;
  }

  if (path == "/v2/oem/accounts.xml" && request.method == "GET") {
    const auto mode = query.find("mode");
    const auto user = query.find("user");
    if (mode == query.end() || mode->second != "exists" || user == query.end()) {
      return error_reply(400, {"expected mode=exists&user=NAME"});
    }
    if (accounts_.count(user->second)) {
      return http_reply(200, "<account>" + element("string", user->second) + "</account>");
    }
    return http_reply(200, "<account></account>");
  }
  if (path == "/v2/oem/accounts.xml" && request.method == "POST") return create_account(request);
  if (path == "/v2/oem/dns/domains.xml" && request.method == "GET") {
    std::string xml = "<domains>";
    for (const auto& d : config_.domains) xml += element("item", d);
    return http_reply(200, xml + "</domains>");
  }
  if (path == "/v2/oem/dns/hosts.xml" && request.method == "POST") {
    return create_host(request, *account);
  }
  if (request.method == "GET" && path.rfind(account_prefix, 0) == 0) {
    const std::string id =
        path.substr(account_prefix.size(), path.size() - account_prefix.size() - 4);
    if (id != account->id) return error_reply(403, {"not your account"});
    const Account& a = *account;
    return http_reply(200, "<account>" + element("email", a.email) +
                               element("username", a.username) + element("firstname", a.firstname) +
                               element("lastname", a.lastname) +
                               element("postal_code", a.postal_code) + "</account>");
  }
  return error_reply(400, {"method not supported here"});
}

std::string Service::create_account(const HttpRequest& request) {
  auto values = form_values(request.body);
  auto get = [&](const char* name) { return values[name]; };
  Account a;
  a.username = get("username");
  a.email = get("email");
  a.password = get("password");
  a.firstname = get("firstname");
  a.lastname = get("lastname");
  a.postal_code = get("postal_code");
  std::vector<std::string> errors;
  if (a.username.size() < 4 || a.username.size() > 16 || !all_of_chars(a.username, ::isalnum)) {
    errors.push_back("The username must be 4-16 letters and digits.");
  } else if (accounts_.count(a.username)) {
    errors.push_back("The username is already taken.");
  }
  if (a.password.size() < 6 || a.password.size() > 32 ||
      a.password.find_first_of("+?%&") != std::string::npos) {
    errors.push_back("The password must be 6-32 characters without +?%&.");
  }
  const size_t at = a.email.find('@');
  if (at == std::string::npos || at == 0 || a.email.find('.', at) == std::string::npos) {
    errors.push_back("The email address is not valid.");
  }
  if (a.firstname.empty()) errors.push_back("The first name is required.");
  if (a.lastname.empty()) errors.push_back("The last name is required.");
  if (a.postal_code.empty()) errors.push_back("The postal code is required.");
  if (!errors.empty()) return error_reply(400, errors);

  a.id = std::to_string(next_id_++);
  // A key that differs per account and per service key; 32 lowercase hex digits.
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const std::string seed = config_.client_key + ":" + a.id + ":" + a.username;
  EVP_Digest(seed.data(), seed.size(), digest, &size, EVP_md5(), nullptr);
  for (unsigned int i = 0; i < size; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    a.key += hex;
  }
  const std::string reply =
      http_reply(200, "<account>" + element("id", a.id) + element("key", a.key) + "</account>");
  accounts_.emplace(a.username, std::move(a));
  return reply;
}

std::string Service::create_host(const HttpRequest& request, const Account& account) {
  auto values = form_values(request.body);
  const std::string host = values["host"], domain = values["domain"], ip = values["ip"];
  std::vector<std::string> errors;
  if (!valid_host_label(host))
    errors.push_back("The host name must be 1-63 letters, digits or '-'.");
  if (std::find(config_.domains.begin(), config_.domains.end(), domain) == config_.domains.end()) {
    errors.push_back("The domain is not offered.");
  }
  in_addr address{};
  if (inet_pton(AF_INET, ip.c_str(), &address) != 1)
    errors.push_back("The IP address is not valid.");
  const std::string full = host + "." + domain;
  for (const auto& [name, a] : accounts_) {
    if (std::find(a.hosts.begin(), a.hosts.end(), full) != a.hosts.end()) {
      errors.push_back("The host " + full + " already exists.");
    }
  }
  if (!errors.empty()) return error_reply(400, errors);
  Account& owner = accounts_.at(account.username);
  owner.hosts.push_back(full);
  size_t count = 0;
  for (const auto& [name, a] : accounts_) count += a.hosts.size();
  return http_reply(
      200, "<host>" + element("id", std::to_string(count)) + element("name", full) + "</host>");
}

}  // namespace tessomar::noipsim
