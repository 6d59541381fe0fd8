// tessomar: the desktop viewer. The control's form in a window, hosted the way the DVR's
// web page used to host it: page parameters from the page or the command line.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTabWidget>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "demo_simulator.h"
#include "platform/environment.h"
#include "platform/log.h"
#include "shell/control.h"
#include "shell/host.h"
#include "viewer_host.h"
#include "viewer_window.h"

namespace tessomar::viewer {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kSimulatorStartMs = 10000;

struct Options {
  std::string page;  // URL or file of the DVR's web page
  std::vector<shell::PageParam> direct;
  bool demo = false;
  std::string screenshot;
  double quit_after_s = 0;                  // 0: run until the window is closed
  std::vector<std::pair<int, int>> clicks;  // key-form points, clicked after start-up
  int setup_tab = -1;                       // the setup page's tab chosen after the clicks
};

constexpr int kFirstClickMs = 1500;
constexpr int kClickGapMs = 400;

void print_help() {
  std::printf(
      "usage: tessomar --dvr HOST:PORT --uk KEY [--page-number N]\n"
      "       tessomar URL|FILE        the DVR's web page (http://HOST:PORT/) or a saved copy\n"
      "       tessomar --demo          start tessomar-dvrsim on a free loopback port and\n"
      "                                connect to it\n"
      "       tessomar --help | --version\n\n"
      "Options:\n"
      "  --param NAME=VALUE     put one page parameter (DVRIP, HTTP_PORT, DVR_UK, HTTP_PAGE);\n"
      "                         given after the page, so it overrides the page's value\n"
      "  --screenshot FILE      save a PNG of the window before quitting (see --quit-after;\n"
      "                         default 3 s)\n"
      "  --quit-after SECONDS   close the window after that many seconds\n"
      "  --click X,Y            click the key form at X,Y (320 x 576 points) 1.5 s after\n"
      "                         the DVR's identity arrived; repeat for more clicks, 0.4 s\n"
      "                         apart (for demonstrations and screenshots)\n"
      "  --setup-tab N          after the clicks, choose tab N (0 System ... 6 UPnP) of the\n"
      "                         setup pages, as a click on the tab would (with --click 277,66,\n"
      "                         the key form's Setup tab)\n\n"
      "Environment: systemroot names the folder with the skin files (default: the data\n"
      "folder beside the executable). TESSOMAR_LOG=1 prints diagnostics on stderr.\n"
      "QT_QPA_PLATFORM chooses Qt's display backend (e.g. offscreen).\n");
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "tessomar: %s (see tessomar --help)\n", message.c_str());
  return kExitUsage;
}

bool parse_options(int argc, char** argv, Options& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--demo") {
      o.demo = true;
    } else if (a == "--dvr" || a == "--uk" || a == "--page-number" || a == "--param" ||
               a == "--screenshot" || a == "--quit-after" || a == "--click" || a == "--setup-tab") {
      if (!has_value) {
        error = a + " needs a value";
        return false;
      }
      const std::string v = argv[++i];
      if (a == "--dvr") {
        size_t colon = v.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == v.size()) {
          error = "--dvr takes HOST:PORT, not \"" + v + "\"";
          return false;
        }
        o.direct.push_back({"DVRIP", v.substr(0, colon)});
        o.direct.push_back({"HTTP_PORT", v.substr(colon + 1)});
      } else if (a == "--uk") {
        o.direct.push_back({"DVR_UK", v});
      } else if (a == "--page-number") {
        o.direct.push_back({"HTTP_PAGE", v});
      } else if (a == "--param") {
        shell::PageParam p;
        if (!shell::parse_param_option(v, p, error)) return false;
        if (!shell::is_control_property(p.name)) {
          error =
              "unknown parameter " + p.name + " (expected DVRIP, HTTP_PORT, DVR_UK or HTTP_PAGE)";
          return false;
        }
        o.direct.push_back(std::move(p));
      } else if (a == "--screenshot") {
        o.screenshot = v;
      } else if (a == "--click") {
        int x = -1, y = -1;
        char tail = 0;
        if (std::sscanf(v.c_str(), "%d,%d%c", &x, &y, &tail) != 2 || x < 0 || x >= 320 || y < 0 ||
            y >= 576) {
          error = "bad --click \"" + v + "\" (X,Y inside the 320 x 576 key form)";
          return false;
        }
        o.clicks.emplace_back(x, y);
      } else if (a == "--setup-tab") {
        if (v.size() != 1 || v[0] < '0' || v[0] > '6') {
          error = "bad --setup-tab \"" + v + "\" (0 to 6)";
          return false;
        }
        o.setup_tab = v[0] - '0';
      } else {
        char* end = nullptr;
        o.quit_after_s = std::strtod(v.c_str(), &end);
        if (!end || *end || !(o.quit_after_s > 0) || o.quit_after_s > 86400) {
          error = "bad --quit-after value \"" + v + "\"";
          return false;
        }
      }
    } else if (a.rfind("-", 0) == 0) {
      error = "unknown option " + a;
      return false;
    } else if (o.page.empty()) {
      o.page = a;
    } else {
      error = "more than one page given (\"" + o.page + "\" and \"" + a + "\")";
      return false;
    }
  }
  if (!o.demo && o.page.empty() && o.direct.empty()) {
    error = "no DVR given: use --dvr HOST:PORT --uk KEY, a page URL or file, or --demo";
    return false;
  }
  if (o.demo && !o.page.empty()) {
    error = "--demo runs its own DVR; a page cannot be given with it";
    return false;
  }
  if (!o.screenshot.empty() && o.quit_after_s == 0) o.quit_after_s = 3;
  return true;
}

// The process's stop signals arrive on the loop, so that Ctrl-C closes the window the same
// way the user would (and the demo's simulator is stopped).
int block_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (::sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

int run(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      print_help();
      return kExitOk;
    }
    if (a == "--version") {
      std::printf("tessomar Ver.%s (build tag %s)\n", shell::kBuildTag + 2, shell::kBuildTag);
      return kExitOk;
    }
  }
  Options options;
  std::string error;
  if (!parse_options(argc, argv, options, error)) return usage_error(error);

  shell::prepare_host_process();

  // Page first, then the simulator's or the command line's values, which override it.
  std::vector<shell::PageParam> params;
  if (!options.page.empty() && !shell::read_page_params(options.page, params, error)) {
    std::fprintf(stderr, "tessomar: %s\n", error.c_str());
    return kExitFailed;
  }
  // Blocked before any thread or child exists, so that every thread inherits the mask.
  const int signal_fd = block_stop_signals();
  DemoSimulator simulator;
  if (options.demo) {
    if (!simulator.start(sibling_executable("tessomar-dvrsim"), kSimulatorStartMs, error)) {
      std::fprintf(stderr, "tessomar: demo: %s\n", error.c_str());
      return kExitFailed;
    }
    std::fprintf(stderr, "tessomar: demo: simulated DVR on %s:%s\n", simulator.host().c_str(),
                 simulator.port().c_str());
    params.push_back({"DVRIP", simulator.host()});
    params.push_back({"HTTP_PORT", simulator.port()});
    params.push_back({"DVR_UK", simulator.dvr_uk()});
  }
  params.insert(params.end(), options.direct.begin(), options.direct.end());

  int qt_argc = 1;
  QApplication app(qt_argc, argv);
  QApplication::setApplicationName("tessomar");

  platform::SystemEnvironment environment;
  const platform::Logger logger(shell::host_log_sink());
  ViewerHost host(environment, shell::InstanceGuard::process(), logger);
  ViewerWindow* window = nullptr;
  host.on_event = [&window](std::string_view e) {
    std::fprintf(stderr, "tessomar: %.*s\n", int(e.size()), e.data());
    if (window) window->show_event_text(e);
  };
  std::vector<std::string> failures;
  if (!host.start(params, failures)) {
    for (const auto& f : failures) std::fprintf(stderr, "tessomar: %s\n", f.c_str());
    return kExitUsage;
  }
  const auto& props = host.control().properties();
  ViewerWindow main_window(host.binder().root(), props.dvrip_text() + ":" + props.http_port_text());
  window = &main_window;
  host.dialogs().set_parent(&main_window);

  if (simulator.stdout_fd() >= 0) {
    const int fd = simulator.stdout_fd();
    host.loop().watch(fd, true, false, [&host, &simulator, fd](bool, bool) {
      // Nothing to read on a readable pipe: the simulator closed it.
      if (simulator.drain().empty()) host.loop().unwatch(fd);
    });
  }
  if (signal_fd >= 0) {
    host.loop().watch(signal_fd, true, false, [&main_window, signal_fd](bool, bool) {
      signalfd_siginfo info{};
      while (::read(signal_fd, &info, sizeof info) == ssize_t(sizeof info)) {
      }
      main_window.close();
    });
  }

  // Scripted clicks go through the key form's widget as a user's would, once the DVR's
  // identity has shown the keys.
  auto click_all = [&host, &main_window, &options] {
    for (size_t i = 0; i < options.clicks.size(); ++i) {
      const QPointF at(options.clicks[i].first, options.clicks[i].second);
      QTimer::singleShot(kFirstClickMs + int(i) * kClickGapMs, &main_window, [&host, at] {
        QWidget* image = host.binder().widget("Image1");
        if (!image) return;
        const QPointF global = image->mapToGlobal(at);
        QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(image, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(image, &release);
      });
    }
    if (options.setup_tab >= 0) {
      const int after = kFirstClickMs + int(options.clicks.size()) * kClickGapMs;
      QTimer::singleShot(after, &main_window, [&host, tab = options.setup_tab] {
        auto* pages = qobject_cast<QTabWidget*>(host.binder().widget("PageControl1"));
        if (pages && pages->isVisible()) pages->setCurrentIndex(tab);
      });
    }
  };
  bool clicks_started = options.clicks.empty() && options.setup_tab < 0;
  host.on_event = [&window, &clicks_started, click_all](std::string_view e) {
    std::fprintf(stderr, "tessomar: %.*s\n", int(e.size()), e.data());
    if (window) window->show_event_text(e);
    if (!clicks_started && e.starts_with("identity received")) {
      clicks_started = true;
      click_all();
    }
  };

  int status = kExitOk;
  if (options.quit_after_s > 0) {
    QTimer::singleShot(int(options.quit_after_s * 1000), &main_window, [&] {
      if (!options.screenshot.empty()) {
        if (main_window.save_screenshot(options.screenshot)) {
          std::fprintf(stderr, "tessomar: screenshot saved to %s\n", options.screenshot.c_str());
        } else {
          std::fprintf(stderr, "tessomar: could not save the screenshot to %s\n",
                       options.screenshot.c_str());
          status = kExitFailed;
        }
      }
      main_window.close();
    });
  }

  main_window.show();
  app.exec();

  // Closing: the unload query, then the control and its widgets, then the simulator.
  if (signal_fd >= 0) host.loop().unwatch(signal_fd);
  if (simulator.stdout_fd() >= 0) host.loop().unwatch(simulator.stdout_fd());
  window = nullptr;
  host.shutdown();
  simulator.stop();
  if (signal_fd >= 0) ::close(signal_fd);
  return status;
}

}  // namespace

}  // namespace tessomar::viewer

int main(int argc, char** argv) { return tessomar::viewer::run(argc, argv); }
