// tessomar-noipsim: a local stand-in for the No-IP service's OEM REST interface. Parses the
// options, binds, prints "listening on HOST:PORT" and serves until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "noipsim/server.h"
#include "noipsim/service.h"

namespace {

constexpr const char* kUsage =
    "usage: tessomar-noipsim [--listen HOST:PORT] [--client-id ID] [--key KEY]\n"
    "  --listen HOST:PORT  IPv4 address and port to serve (default 127.0.0.1:0, port 0 picks one)\n"
    "  --client-id ID      the OEM client id accepted (default the control's)\n"
    "  --key KEY           the OEM client key that signs (default the control's)\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace tessomar::noipsim;
  std::string listen = "127.0.0.1:0";
  ServiceConfig config;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc || (a != "--listen" && a != "--client-id" && a != "--key")) {
      std::fprintf(stderr, "tessomar-noipsim: bad option \"%s\"\n%s", a.c_str(), kUsage);
      return 2;
    }
    const std::string v = argv[++i];
    if (a == "--listen") listen = v;
    if (a == "--client-id") config.client_id = v;
    if (a == "--key") config.client_key = v;
  }
  std::string host;
  int port = 0;
  if (!split_host_port(listen, host, port)) {
    std::fprintf(stderr, "tessomar-noipsim: bad --listen \"%s\" (expected HOST:PORT)\n",
                 listen.c_str());
    return 2;
  }

  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int signal_fd = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd < 0) {
    std::perror("tessomar-noipsim: signalfd");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);

  Service service(config, [] { return int64_t(std::time(nullptr)); });
  Server server(service);
  std::string error;
  if (!server.listen(host, port, error)) {
    std::fprintf(stderr, "tessomar-noipsim: %s\n", error.c_str());
    close(signal_fd);
    return 1;
  }
  std::printf("listening on %s:%d\n", host.c_str(), server.port());
  std::fflush(stdout);
  server.run(signal_fd);
  close(signal_fd);
  return 0;
}
