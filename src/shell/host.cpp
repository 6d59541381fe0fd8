#include "shell/host.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/http_fetch.h"

namespace tessomar::shell {

bool read_page_params(const std::string& file_or_url, std::vector<PageParam>& out,
                      std::string& error) {
  std::string html;
  if (file_or_url.rfind("http://", 0) == 0) {
    if (!platform::http_get(file_or_url, 10000, html, error)) return false;
  } else {
    std::ifstream in(file_or_url, std::ios::binary);
    if (!in) {
      error = "cannot open page " + file_or_url;
      return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    html = s.str();
  }
  PageParseResult r = parse_page_params(html);
  if (!r.ok) {
    error = file_or_url + ": " + r.error;
    return false;
  }
  out.insert(out.end(), r.params.begin(), r.params.end());
  return true;
}

std::vector<std::string> apply_page_params(ControlProperties& props,
                                           const std::vector<PageParam>& params) {
  std::vector<std::string> failures;
  for (const PageParam& p : params) {
    auto dispid = property_dispid(p.name);
    if (!dispid) {
      failures.push_back("unknown parameter " + p.name +
                         " (expected DVRIP, HTTP_PORT, DVR_UK or HTTP_PAGE)");
      continue;
    }
    PutResult r = props.put(*dispid, platform::Variant::from_string(p.value));
    if (!r.ok) failures.push_back(std::string(property_name(*dispid)) + ": " + r.error);
  }
  return failures;
}

std::string default_systemroot(const std::string& executable_path) {
  size_t slash = executable_path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : executable_path.substr(0, slash);
  return dir + "/../data";
}

platform::LogSink host_log_sink() {
  const char* l = std::getenv("TESSOMAR_LOG");
  if (l && *l && std::strcmp(l, "0") != 0) return platform::log_to_stderr;
  return nullptr;
}

void prepare_host_process() {
  if (!std::getenv("systemroot")) {
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
      exe[n] = 0;
      ::setenv("systemroot", default_systemroot(exe).c_str(), 0);
    }
  }
}

}  // namespace tessomar::shell
