#include "commands.h"

#include <cstdio>

#include "shell/host.h"

namespace tessomar::cli {

HeadlessHost::HeadlessHost() = default;

HeadlessHost::~HeadlessHost() {
  timers_.reset();
  control_.reset();
}

bool HeadlessHost::start(const std::vector<shell::PageParam>& params) {
  control_ = std::make_unique<shell::Control>(shell::ControlServices{
      loop_, clock_, environment_, dialogs_, shell::InstanceGuard::process()});
  auto failures = shell::apply_page_params(control_->properties(), params);
  for (const auto& f : failures) std::fprintf(stderr, "tessomar-cli: %s\n", f.c_str());
  if (!failures.empty()) return false;
  control_->ActiveFormCreate();
  timers_ = std::make_unique<platform::FormTimers>(control_->form(), loop_);
  return true;
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
