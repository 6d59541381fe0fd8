#include "ddns/noip_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/md5.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace tessomar::ddns {

namespace {

constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\"?>";
constexpr std::string_view kContentType = "application/x-www-form-urlencoded";
constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr size_t kDomainNameMax = 32;
constexpr int kDomainItemsRead = 30;

std::string base64(const unsigned char* data, size_t size) {
  std::string out(4 * ((size + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, int(size));
  out.resize(size_t(std::max(n, 0)));
  return out;
}

std::string cut(std::string_view value, size_t max) {
  return std::string(value.substr(0, std::min(value.size(), max)));
}

}  // namespace

std::string noip_date_text(int64_t unix_seconds) {
  const time_t t = time_t(unix_seconds);
  struct tm tm {};
  gmtime_r(&t, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %d %02d:%02d:%02d +0000", kDayNames[tm.tm_wday % 7],
                tm.tm_mday, kMonthNames[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return text;
}

std::string noip_text_to_sign(std::string_view method, std::string_view content_md5,
                              std::string_view date, std::string_view path) {
  std::string text(method);
  if (method == "GET") {
    text += "\n\n\n";
  } else {
    text += '\n';
    text += kContentType;
    text += '\n';
    text += content_md5;
    text += '\n';
  }
  text += date;
  text += '\n';
  text += path;
  return text;
}

std::string noip_content_md5(std::string_view body) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  unsigned int size = 0;
  EVP_Digest(body.data(), body.size(), digest, &size, EVP_md5(), nullptr);
  return base64(digest, size);
}

std::string noip_signature(std::string_view key, std::string_view text) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha1(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), mac, &size);
  return base64(mac, size);
}

std::string noip_build_request(const NoipConfig& config, std::string_view client_id,
                               std::string_view client_key, std::string_view method,
                               std::string_view path, std::string_view body,
                               std::string_view date) {
  const bool get = method == "GET";
  const std::string md5 = body.empty() ? std::string() : noip_content_md5(body);
  std::string r;
  r.reserve(512 + body.size());
  r.append(method).append(" ").append(path).append(" HTTP/1.1\r\n");
  r.append("User-Agent: No-IP Rest Client/1.0 (PHP)\r\n");
  r.append("Host: ").append(config.host).append("\r\n");
  r.append("Accept: */*\r\n");
  r.append("Date: ").append(date).append("\r\n");
  if (!get) {
    if (!body.empty()) {
      r.append("Content-MD5: ").append(md5).append("\r\n");
      r.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    }
    r.append("Content-Type: ").append(kContentType).append("\r\n");
  }
  r.append("Authorization: NOIP ")
      .append(client_id)
      .append(":")
      .append(noip_signature(client_key, noip_text_to_sign(method, md5, date, path)))
      .append("\r\n\r\n");
  r.append(body);
  return r;
}

NoipReplyReader::NoipReplyReader(std::string_view reply) {
  const size_t at = reply.find(kXmlDeclaration);
  if (at != std::string_view::npos) text_ = reply.substr(at + kXmlDeclaration.size());
}

bool NoipReplyReader::next(std::string_view name, std::string& value) {
  if (name.empty() || text_.empty()) return false;
  std::string tag(name);
  tag += '>';
  const size_t open = text_.find(tag, pos_);
  if (open == std::string_view::npos) return false;
  const size_t start = open + tag.size();
  const size_t close = text_.find(tag, start);
  // An element that is never closed has no value.
  if (close == std::string_view::npos) return false;
  const size_t end = close >= start + 2 ? close - 2 : start;
  value = cut(text_.substr(start, end - start), kNoipValueMax);
  pos_ = close + tag.size();
  return true;
}

std::string noip_refused_value(std::string_view field, std::string_view value) {
  if (value.find_first_of("&=\r\n") == std::string_view::npos) return {};
  return "The " + std::string(field) +
         " must not contain '&', '=' or line breaks: they cannot be sent to the no-ip server.";
}

struct NoipClient::Sockets {
  int fds[2] = {-1, -1};
  int in_use = 0;
  std::array<char, kNoipBufferSize> reply{};
};

NoipClient::NoipClient(platform::Dialogs& dialogs, const platform::Logger& logger,
                       NoipConfig config, std::function<int64_t()> unix_now)
    : dialogs_(dialogs),
      logger_(logger),
      config_(std::move(config)),
      unix_now_(std::move(unix_now)),
      sockets_(std::make_unique<Sockets>()) {}

NoipClient::~NoipClient() {
  close_socket(0);
  close_socket(1);
}

void NoipClient::close_socket(int index) {
  int& fd = sockets_->fds[index];
  if (fd >= 0) ::close(fd);
  fd = -1;
}

namespace {

// Non-blocking connect bounded by the time-out; the socket is left in blocking mode.
bool connect_with_timeout(int fd, const NoipConfig& config, const platform::Logger& logger) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(config.port));
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(config.host.c_str(), nullptr, &hints, &found) == 0 && found) {
    address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  } else if (inet_pton(AF_INET, config.host.c_str(), &address.sin_addr) != 1) {
    logger.warning("no-ip: cannot resolve " + config.host);
    return false;
  }
  const int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  bool made = true;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    made = false;
    if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, kConnectTimeoutSeconds * 1000) == 1) {
        // Ready also means refused: the pending error tells which.
        int error = 0;
        socklen_t size = sizeof error;
        made = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
      }
    }
  }
  fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (!made) logger.warning("no-ip: cannot connect to " + config.host);
  return made;
}

}  // namespace

bool NoipClient::refuse_fields(
    std::initializer_list<std::pair<std::string_view, std::string_view>> values) {
  for (const auto& [field, value] : values) {
    const std::string why = noip_refused_value(field, value);
    if (!why.empty()) {
      logger_.warning("no-ip: " + why);
      dialogs_.message_box(why, "ERROR");
      return true;
    }
  }
  return false;
}

int NoipClient::start_request(int socket_index) {
  if (socket_index < 0 || socket_index > 1) return 0;
  const NoipFields& f = fields_;
  // Values go into the request as typed; those that would break it are refused first.
  switch (kind_) {
    case kKindCreateAccount:
      if (refuse_fields({{"username", f.username},
                         {"email", f.email},
                         {"password", f.password},
                         {"firstname", f.firstname},
                         {"lastname", f.lastname},
                         {"postal code", f.postal_code}}))
        return 0;
      break;
    case kKindCheckUser:
      if (refuse_fields({{"username", f.username}})) return 0;
      break;
    case kKindAccountInfo:
      if (refuse_fields({{"user id", user_id_}})) return 0;
      break;
    case kKindCreateHost:
      if (refuse_fields({{"host name", f.host}, {"domain", f.domain}, {"IP address", f.ip}}))
        return 0;
      break;
    case kKindListDomains:
      break;
    default:
      return 0;
  }

  sockets_->in_use = socket_index;
  close_socket(socket_index);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || !connect_with_timeout(fd, config_, logger_)) {
    if (fd >= 0) ::close(fd);
    dialogs_.message_box("can not connect to no-ip server", "ERROR");
    return 0;
  }
  sockets_->fds[socket_index] = fd;

  switch (kind_) {
    case kKindCreateAccount: {
      saved_user_ = f.username;
      saved_password_ = f.password;
      const std::string body = "username=" + f.username + "&email=" + f.email +
                               "&password=" + f.password + "&firstname=" + f.firstname +
                               "&lastname=" + f.lastname + "&postal_code=" + f.postal_code;
      send_request("POST", "/v2/oem/accounts.xml", body, false);
      if (hooks_.account_buttons) hooks_.account_buttons(false);
      break;
    }
    case kKindCheckUser:
      send_request("GET", "/v2/oem/accounts.xml?mode=exists&user=" + f.username, {}, false);
      if (hooks_.account_buttons) hooks_.account_buttons(false);
      break;
    case kKindAccountInfo:
      send_request("GET", "/v2/oem/accounts/" + user_id_ + ".xml", {}, true);
      break;
    case kKindListDomains:
      send_request("GET", "/v2/oem/dns/domains.xml", {}, false);
      break;
    case kKindCreateHost:
      full_host_ = f.host + "." + f.domain;
      send_request("POST", "/v2/oem/dns/hosts.xml",
                   "host=" + f.host + "&domain=" + f.domain + "&ip=" + f.ip, true);
      break;
    default:
      break;
  }
  return 1;
}

bool NoipClient::send_request(std::string_view method, std::string_view path, std::string_view body,
                              bool user_credentials) {
  const std::string& id = user_credentials ? user_id_ : config_.client_id;
  const std::string& key = user_credentials ? user_key_ : config_.client_key;
  const std::string date = noip_date_text(unix_now_ ? unix_now_() : int64_t(std::time(nullptr)));
  const std::string request = noip_build_request(config_, id, key, method, path, body, date);
  if (request.size() > kNoipBufferSize) {
    logger_.warning("no-ip: the request is longer than " + std::to_string(kNoipBufferSize) +
                    " bytes");
  }
  const int fd = sockets_->fds[sockets_->in_use];
  const ssize_t sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  if (sent != ssize_t(request.size())) {
    logger_.warning("no-ip: the request was not sent whole");
    return false;
  }
  return true;
}

int NoipClient::poll_reply() {
  const int index = sockets_->in_use;
  const int fd = sockets_->fds[index];
  if (fd < 0) return 0;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) != 1) return 0;
  const ssize_t n = ::recv(fd, sockets_->reply.data(), sockets_->reply.size(), 0);
  close_socket(index);
  handle_reply(std::string_view(sockets_->reply.data(), n > 0 ? size_t(n) : 0));
  return 1;
}

void NoipClient::handle_create_account(NoipReplyReader& reader) {
  std::string value;
  if (reader.next("id", value)) {
    user_id_ = value;
    user_key_.clear();
    if (reader.next("key", value)) user_key_ = value;
    kind_ = kKindAccountCreated;
    return;
  }
  std::string text;
  while (reader.next("msg", value)) {
    if (value.find("password") != std::string::npos) {
      value = "invalid password: 6-32 characters, invalid characters: +?%&";
    } else if (value.find("username") != std::string::npos) {
      value = "invalid username: 4-16 characters, only letters and numbers";
    }
    if (!text.empty()) text += '\n';
    text += value;
  }
  dialogs_.message_box(text, "ERROR");
  if (hooks_.account_buttons) hooks_.account_buttons(true);
}

void NoipClient::handle_list_domains(NoipReplyReader& reader) {
  domains_.clear();
  std::string value;
  bool maker_placed = false;
  for (int i = 0; i < kDomainItemsRead && reader.next("item", value); ++i) {
    std::string name = cut(value, kDomainNameMax);
    if (!maker_placed && name > config_.maker_domain) {
      domains_.push_back(config_.maker_domain);
      maker_placed = true;
    }
    domains_.push_back(std::move(name));
  }
  if (!domains_.empty()) {
    if (hooks_.domains_listed) hooks_.domains_listed();
    return;
  }
  if (!reader.next("msg", value)) value = "no domain list in the no-ip server's answer";
  dialogs_.message_box(value, "ERROR");
}

void NoipClient::handle_reply(std::string_view reply) {
  NoipReplyReader reader(reply);
  std::string value;
  switch (kind_) {
    case kKindCreateAccount:
      handle_create_account(reader);
      break;
    case kKindCheckUser:
      if (reader.next("string", value)) {
        dialogs_.message_box("This Username is not available", "ERROR");
      } else if (NoipReplyReader(reply).next("msg", value)) {
        // A refusal (a bad signature, say) is not an availability answer.
        dialogs_.message_box(value, "ERROR");
      } else {
        dialogs_.message_box("This Username is available", "PASS");
      }
      if (hooks_.availability_answered) hooks_.availability_answered();
      break;
    case kKindListDomains:
      handle_list_domains(reader);
      break;
    case kKindCreateHost:
      if (reader.next("id", value)) {
        kind_ = kKindHostCreated;
      } else {
        if (!reader.next("msg", value)) value = "no answer from the no-ip server";
        dialogs_.message_box(value, "ERROR");
        if (hooks_.host_next_enabled) hooks_.host_next_enabled();
      }
      break;
    case kKindAccountInfo: {
      bool postal_code = false;
      for (std::string_view name : {"email", "username", "firstname", "lastname", "postal_code"}) {
        if (!reader.next(name, value)) continue;
        if (hooks_.account_value) hooks_.account_value(name, value);
        postal_code = name == "postal_code";
      }
      if (postal_code && hooks_.account_info_complete) hooks_.account_info_complete();
      // A refusal would otherwise leave the wizard waiting without a word.
      if (!postal_code && NoipReplyReader(reply).next("msg", value)) {
        dialogs_.message_box(value, "ERROR");
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace tessomar::ddns
