#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "shell/host.h"

namespace tessomar::cli {

HeadlessHost::HeadlessHost() : logger_(shell::host_log_sink()) {}

HeadlessHost::~HeadlessHost() {
  timers_.reset();
  control_.reset();
}

bool HeadlessHost::start(const std::vector<shell::PageParam>& params) {
  control_ = std::make_unique<shell::Control>(
      shell::ControlServices{loop_, clock_, environment_, dialogs_, shell::InstanceGuard::process(),
                             logger_, sound_devices_, /*view_painted=*/false});
  auto failures = shell::apply_page_params(control_->properties(), params);
  for (const auto& f : failures) std::fprintf(stderr, "tessomar-cli: %s\n", f.c_str());
  if (!failures.empty()) return false;
  control_->ActiveFormCreate();
  timers_ = std::make_unique<platform::FormTimers>(control_->form(), loop_);
  return true;
}

bool parse_int_list(const std::string& text, std::vector<int32_t>& out) {
  out.clear();
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string one = text.substr(start, comma == std::string::npos ? comma : comma - start);
    int32_t v = 0;
    if (!shell::text_to_int32(one, v)) return false;
    out.push_back(v);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool take_dvr_options(Args& args, DvrOptions& out, std::string& error) {
  std::vector<shell::PageParam> direct;
  Args rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "--dvr" || a == "--uk" || a == "--page-number" || a == "--timeout") {
      if (!has_value) {
        error = a + " needs a value";
        return false;
      }
      const std::string& v = args[++i];
      if (a == "--dvr") {
        size_t colon = v.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == v.size()) {
          error = "--dvr takes HOST:PORT, not \"" + v + "\"";
          return false;
        }
        direct.push_back({"DVRIP", v.substr(0, colon)});
        direct.push_back({"HTTP_PORT", v.substr(colon + 1)});
      } else if (a == "--uk") {
        direct.push_back({"DVR_UK", v});
      } else if (a == "--page-number") {
        direct.push_back({"HTTP_PAGE", v});
      } else {
        char* end = nullptr;
        out.timeout_s = std::strtod(v.c_str(), &end);
        if (!end || *end || out.timeout_s <= 0 || out.timeout_s > 3600) {
          error = "bad --timeout value \"" + v + "\"";
          return false;
        }
      }
    } else {
      rest.push_back(a);
    }
  }
  if (!take_page_options(rest, out.params, error)) return false;
  out.params.insert(out.params.end(), direct.begin(), direct.end());
  args = std::move(rest);
  return true;
}

bool wait_for_identity(HeadlessHost& host, double timeout_s, std::string& why) {
  bool identified = false, refused = false;
  std::string unresolved;
  auto& observer = host.control().observer();
  // Both watchers are taken down before returning: a later identity (a new session after a
  // lost one) must not write into this finished call's locals.
  auto previous_identity = observer.identity;
  observer.identity = [&](int slot, const channels::DeviceIdentity&) {
    if (slot == 0) identified = true;
  };
  auto previous = observer.event;
  observer.event = [&, previous](std::string_view e) {
    if (e.rfind("refused", 0) == 0) refused = true;
    // A DVR name that does not resolve will not start resolving while we wait.
    if (e.rfind("cannot resolve ", 0) == 0) unresolved = std::string(e);
    if (previous) previous(e);
  };
  host.loop().run_until([&] { return identified || refused || !unresolved.empty(); },
                        uint32_t(timeout_s * 1000));
  observer.event = previous;
  observer.identity = previous_identity;
  if (identified) return true;
  if (refused) {
    why = "the DVR refused the login (check --uk / DVR_UK)";
  } else if (!unresolved.empty()) {
    why = unresolved;
  } else {
    why = "no identity from the DVR within " + std::to_string(int(timeout_s)) + " s";
  }
  return false;
}

bool take_page_options(Args& args, std::vector<shell::PageParam>& params, std::string& error) {
  std::vector<shell::PageParam> from_options;
  std::string page;
  Args rest;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--param" || a == "--page") {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      const std::string& v = args[++i];
      if (a == "--page") {
        page = v;
        continue;
      }
      shell::PageParam p;
      if (!shell::parse_param_option(v, p, error)) return false;
      if (!shell::is_control_property(p.name)) {
        error = "unknown parameter " + p.name + " (expected DVRIP, HTTP_PORT, DVR_UK or HTTP_PAGE)";
        return false;
      }
      from_options.push_back(std::move(p));
    } else {
      rest.push_back(a);
    }
  }
  if (!page.empty() && !shell::read_page_params(page, params, error)) return false;
  params.insert(params.end(), from_options.begin(), from_options.end());
  args = std::move(rest);
  return true;
}

}  // namespace tessomar::cli
