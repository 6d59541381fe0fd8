#include <cstdio>

#include "commands.h"

namespace tessomar::cli {

int cmd_info(const Args& in) {
  Args args = in;
  DvrOptions opts;
  std::string error;
  if (!take_dvr_options(args, opts, error)) return usage_error("info", error);
  if (!args.empty()) return option_error("info", "unexpected \"" + args[0] + "\"");
  if (opts.params.size() < 3) {
    return usage_error("info", "give the DVR with --dvr HOST:PORT --uk KEY or --page URL");
  }
  HeadlessHost host;
  if (!host.start(opts.params)) return kExitUsage;
  if (!wait_for_identity(host, opts.timeout_s, error)) {
    std::fprintf(stderr, "tessomar-cli info: %s\n", error.c_str());
    return kExitFailed;
  }
  const channels::DeviceIdentity& id = host.control().vask().record(0).device;
  std::printf(
      "channels=%u\nmodel_variant=%u\ntitle_support=%u\nos=%s\nserial=%s\nboard=%s\n"
      "number=%s\nvideo_standard=%s\ngeneration=%u\naudio=%s\nmail_variant=%u\n",
      id.channel_count, id.model_variant, id.title_support, id.os.c_str(), id.serial.c_str(),
      id.board.c_str(), id.number.c_str(), id.video_standard ? "pal" : "ntsc", id.generation,
      id.audio == 2 ? "off" : "on", id.mail_variant);
  return kExitOk;
}

}  // namespace tessomar::cli
