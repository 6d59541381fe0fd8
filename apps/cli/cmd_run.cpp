#include <cstdio>
#include <cstdlib>

#include "commands.h"

namespace tessomar::cli {

int cmd_run(const Args& in) {
  Args args = in;
  // The same connection options as every other command; run waits for nothing, so the
  // time-out has no meaning here (main refuses it).
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("run", error);
  double seconds = 5;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--seconds" && i + 1 < args.size()) {
      char* end = nullptr;
      seconds = std::strtod(args[i + 1].c_str(), &end);
      if (!end || *end || seconds < 0 || seconds > 86400) {
        return usage_error("run", "bad --seconds value \"" + args[i + 1] + "\"");
      }
      ++i;
    } else {
      return option_error("run", "unknown option " + args[i]);
    }
  }

  HeadlessHost host;
  // Every change of the status line is printed as it happens.
  if (!host.start(opts.params)) return kExitUsage;
  auto& form = host.control().form();
  std::printf("status: %s\n", form["Label_time"].caption().c_str());
  std::fflush(stdout);
  form.add_observer([](platform::Component& c, platform::Property p) {
    if (c.name() == "Label_time" && p == platform::Property::Caption) {
      std::printf("status: %s\n", c.caption().c_str());
      std::fflush(stdout);
    }
  });
  host.control().observer().event = [](std::string_view e) {
    std::printf("%.*s\n", int(e.size()), e.data());
    std::fflush(stdout);
  };
  std::printf("version: %s\n", form["Label_Version"].caption().c_str());
  std::fflush(stdout);
  host.loop().run_for(uint32_t(seconds * 1000));
  return kExitOk;
}

}  // namespace tessomar::cli
