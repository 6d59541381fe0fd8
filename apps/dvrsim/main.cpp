// tessomar-dvrsim: the simulated DVR. Parses the options, binds, prints the two start lines
// and serves until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "dvrsim/identity.h"
#include "dvrsim/named_slots.h"
#include "dvrsim/options.h"
#include "dvrsim/recording_search.h"
#include "dvrsim/server.h"
#include "dvrsim/settings.h"
#include "dvrsim/titles.h"
#include "dvrsim/video_channel.h"
#include "platform/clock.h"

int main(int argc, char** argv) {
  using namespace tessomar::dvrsim;
  const std::string_view program = argc > 0 ? argv[0] : "tessomar-dvrsim";
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  Options options;
  std::string error;
  switch (parse_options(args, options, error)) {
    case ParseStatus::kHelp:
      std::fputs(usage_text(program).c_str(), stdout);
      return 0;
    case ParseStatus::kError:
      std::fprintf(stderr, "tessomar-dvrsim: %s\nTry '%s --help' for the options.\n", error.c_str(),
                   std::string(program).c_str());
      return 2;
    case ParseStatus::kRun:
      break;
  }

  // Signals arrive through a descriptor so that the loop stays single-threaded and
  // handler-free.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &stop_signals, nullptr) != 0) {
    std::perror("tessomar-dvrsim: sigprocmask");
    return 1;
  }
  const int signal_fd = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("tessomar-dvrsim: signalfd");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);

  // One clock for the protocol and the pictures' device time.
  tessomar::platform::SystemClock clock;
  Simulator sim(options, clock);
  // The DVR's channels; their handlers run only inside poll_once, so they may go before sim.
  IdentityChannel identity(options.device);
  SettingsChannel settings;
  NamedSlotsChannel named_slots(options.device);
  VideoChannel video(options.device, clock, settings);
  if (!options.data_dir.empty() && !settings.store().use_data_dir(options.data_dir, error)) {
    std::fprintf(stderr, "tessomar-dvrsim: %s\n", error.c_str());
    close(signal_fd);
    return 1;
  }
  TitlesChannel titles(clock);
  if (!options.data_dir.empty() && !titles.use_data_dir(options.data_dir, error)) {
    std::fprintf(stderr, "tessomar-dvrsim: %s\n", error.c_str());
    close(signal_fd);
    return 1;
  }
  if (!options.push_titles.empty() && !titles.push_file(options.push_titles, error)) {
    std::fprintf(stderr, "tessomar-dvrsim: %s\n", error.c_str());
    close(signal_fd);
    return 1;
  }
  video.set_titles(&titles.channel_titles());
  named_slots.use_store(&settings.store());
  identity.attach(sim);
  settings.attach(sim);
  named_slots.attach(sim);
  video.attach(sim);
  titles.attach(sim);
  RecordingSearchChannel search(video.archive());
  search.attach(sim);
  if (options.log_view_sets) {
    settings.add_message_listener([&settings](uint32_t key, uint32_t op, uint32_t record_id) {
      const SessionView* view = settings.session(key);
      if (op != kIcmdSet || view == nullptr) return;
      const std::string line = describe_view_state(*view, record_id);
      if (line.empty()) return;
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    });
  }
  if (!sim.bind(&error)) {
    std::fprintf(stderr, "tessomar-dvrsim: %s\n", error.c_str());
    close(signal_fd);
    return 1;
  }
  sim.set_wake_fd(signal_fd);
  std::printf("listening on %s\n", sim.address().c_str());
  std::fflush(stdout);
  std::printf("DVR_UK=%s\n", sim.dvr_uk().c_str());
  std::fflush(stdout);

  for (;;) {
    sim.poll_once(1000);
    signalfd_siginfo info{};
    if (read(signal_fd, &info, sizeof info) == ssize_t(sizeof info)) {
      std::fprintf(stderr, "stopping on signal %u\n", info.ssi_signo);
      break;
    }
  }
  sim.stop();
  std::printf("counters: %s\n", sim.counters_text().c_str());
  std::fflush(stdout);
  close(signal_fd);
  return 0;
}
