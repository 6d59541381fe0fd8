// tessomar-cli: the control without a window, every capability as a subcommand.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "commands.h"
#include "shell/control.h"
#include "shell/host.h"

namespace tessomar::cli {

namespace {

// Which of the shared connection options a command takes.
enum class DvrLink {
  kNone,     // no DVR
  kConnect,  // --dvr --uk --page-number --page --param
  kWait,     // and --timeout: the command waits for the DVR
};

// One subcommand: its usage (after "tessomar-cli "), the connection options it shares, and
// its own options, space separated: those that take a value and bare flags. Every option a
// command reads is listed here, so help, unknown options and missing values are handled the
// same way for all of them before the command runs.
struct Command {
  const char* name;
  const char* synopsis;
  DvrLink dvr;
  std::string_view value_options;
  std::string_view flag_options;
  int (*run)(const Args&);
};

constexpr Command kCommands[] = {
    {"devtime",
     "devtime SECONDS | devtime --date \"YYYY/MM/DD hh:mm:ss\"\n"
     "      convert between device time (seconds since 2000-01-01) and its text",
     DvrLink::kNone, "--date", "", cmd_devtime},
    {"run",
     "run [--dvr HOST:PORT --uk KEY | --page FILE|URL] [--param NAME=VALUE]... [--seconds N]\n"
     "      create the control headless, run its main loop for N seconds (default 5)\n"
     "      and print every change of its status line",
     DvrLink::kConnect, "--seconds", "", cmd_run},
    {"info",
     "info --dvr HOST:PORT --uk KEY | --page URL  [--timeout S]\n"
     "      wait for the DVR's identity and print it as key=value lines",
     DvrLink::kWait, "", "", cmd_info},
    {"setup",
     "setup --dvr HOST:PORT --uk KEY [--show-passwords] get TAB\n"
     "      | set TAB KEY=VALUE...  | set bitrate 0-9 | set interval 0-60\n"
     "      | link home|account [provider=NAME]   [--timeout S]\n"
     "      the setup pages: TAB is system, bitrate, pppoe, ddns, mail or upnp; get prints\n"
     "      the tab as the DVR fills it (KEY=VALUE lines), set changes the keys given and\n"
     "      applies the tab (\"Setup Successful.\" when the DVR confirmed). Keys: bitrate\n"
     "      bitrate=0-9; pppoe status user password; ddns provider=disable|dyndns|noip|maker\n"
     "      user password host; mail status=off|on|default server port user password\n"
     "      secure=0|1 sender receiver1-3 subject location interval=0-60; upnp status port.\n"
     "      link home|account [provider=NAME] prints the DDNS provider page the tab's link opens",
     DvrLink::kWait, "", "--show-passwords", cmd_setup},
    {"titles",
     "titles --dvr HOST:PORT --uk KEY get | set --channel N --text T [--font F]\n"
     "      [--size S] [--language L] | load FILE | save FILE   [--timeout S]\n"
     "      | titles load FILE | titles preview --text T --png FILE [--font F] [--size S]\n"
     "      the channel titles of the Title tab: get prints the sixteen titles and the font\n"
     "      settings; set renders channel N's title and uploads the set (with a progress\n"
     "      bar); load uploads a title file's set; save fetches the set into a title file;\n"
     "      without a DVR load prints a title file and preview draws the Title tab's preview.\n"
     "      F is a fontconfig family with styles (\"DejaVu Sans:bold italic\"), S a height\n"
     "      in percent (10-100) or X-Large, Large, Medium, Small, X-Small, L a language\n"
     "      index 0-18 or name (English, Russian, Korean, ...)",
     DvrLink::kWait, "--channel --text --font --size --language --png", "", cmd_titles},
    {"live",
     "live --dvr HOST:PORT --uk KEY [--view CODE[,CODE...]] [--switch-ms MS] [--seconds S]\n"
     "      [--snapshot FILE.png] [--stats] [--from-playback \"YYYY/MM/DD hh:mm:ss\"]\n"
     "      [--audio-wav FILE.wav] [--dump-video FILE.h264]\n"
     "      watch live video (view 0-15 one channel, 16-19 four-way pages, 20-21 nine-way,\n"
     "      22 sixteen-way; a list switches through the views, each held --switch-ms,\n"
     "      default 100, the last for --seconds); writes the last picture as a PNG;\n"
     "      --stats adds counts, first_picture_ms after the last switch,\n"
     "      launch_to_first_picture_ms from the process's start (to 10 ms), the line\n"
     "      'figures drawn=N worst_gap_ms=MS peak_rss_kb=KB slot_resets=N' (worst wait\n"
     "      between two pictures shown) and a 'gap from_mono_ms=A to_mono_ms=B' line per\n"
     "      gap of 0.5 s or more (CLOCK_MONOTONIC ms; -1: still open at the end);\n"
     "      --from-playback plays that time for 2 s first; --audio-wav FILE.wav switches\n"
     "      the speaker on, records what the sound output plays (8 kHz 8-bit mono) and\n"
     "      prints, per second of picture time, where the recording was when it showed;\n"
     "      --dump-video writes every access unit decoded as an H.264 byte stream",
     DvrLink::kWait,
     "--view --switch-ms --seconds --snapshot --from-playback --audio-wav --dump-video", "--stats",
     cmd_live},
    {"playback",
     "playback --dvr HOST:PORT --uk KEY --channel 1-16 --from \"YYYY/MM/DD hh:mm:ss\"\n"
     "      [--action play|pause|fast|reverse] [--seconds S] [--snapshot FILE.png]\n"
     "      [--switch-after S --then ACTION]   play recordings from a time; prints\n"
     "      the time shown once a second (and when the action changes)",
     DvrLink::kWait, "--channel --from --action --seconds --snapshot --switch-after --then", "",
     cmd_playback},
    {"keyform",
     "keyform --dvr HOST:PORT --uk KEY --png FILE.png [--click X,Y]... [--hold X,Y,MS]...\n"
     "      [--hover X,Y]... [--video-click X,Y]... [--wait S] [--snapshot VIDEO.png]\n"
     "      drive the key form with pointer input in the order given (X,Y in the\n"
     "      320 x 576 key form; --video-click in the 704 x 576 video picture), wait S\n"
     "      seconds (default 1), write the key form as a PNG (and the video picture with\n"
     "      --snapshot) and print the key-form variables that changed (NAME=V, NAME[i]=V)",
     DvrLink::kWait, "--png --click --hold --hover --video-click --wait --snapshot", "",
     cmd_keyform},
    {"calendar",
     "calendar --dvr HOST:PORT --uk KEY --channel 1-16 --month YYYY/MM [--day DD] [--json]\n"
     "      the recording calendar: the month's six-week grid with the days the DVR holds\n"
     "      recordings for (*), and with --day that day's half hours; --json prints the\n"
     "      same as one JSON object",
     DvrLink::kWait, "--channel --month --day", "--json", cmd_calendar},
    {"backup",
     "backup --dvr HOST:PORT --uk KEY --channel 1-16 --from \"YYYY/MM/DD hh:mm:ss\"\n"
     "      --to \"YYYY/MM/DD hh:mm:ss\" --out NAME.mov   copy the recording of a channel\n"
     "      between two times into NAME.mov, NAME(1).mov, ... (a new file after 30 minutes\n"
     "      of recording or when the picture size changes); shows progress (percent of the\n"
     "      window, speed as a multiple of real time, files), then file=PATH bytes=N per\n"
     "      file and result=...; exit 0 only when the whole window was copied and every\n"
     "      file was closed complete. Times, the name and the folder are checked first.",
     DvrLink::kWait, "--channel --from --to --out", "", cmd_backup},
    {"noip",
     "noip --service HOST[:PORT] [--client-id ID --key KEY] [--timeout S] STEP\n"
     "      STEP: check --username U | domains\n"
     "      | create-account --username U --email E --password P --firstname F\n"
     "        --lastname L --postal-code C\n"
     "        [--dvr HOST:PORT --uk KEY --host H [--domain D]]\n"
     "      | add-host --user-id ID --user-key K --host H --domain D --ip IP\n"
     "      | info --user-id ID --user-key K\n"
     "      one request to the No-IP service's OEM interface (or tessomar-noipsim),\n"
     "      signed with the control's OEM pair unless --client-id and --key are given;\n"
     "      prints key=value lines; the service's messages go to stderr (exit 1).\n"
     "      With --dvr (or --apply-to-dvr) the No-IP wizard runs from the DVR's DDNS tab: check,\n"
     "      create the account, add host H under domain D (default the first offered),\n"
     "      then OK fills the DDNS tab and applies it to the DVR",
     DvrLink::kNone,
     "--service --client-id --key --timeout --apply-to-dvr --dvr --uk --username --email "
     "--password --firstname --lastname --postal-code --user-id --user-key --host --domain --ip",
     "", cmd_noip},
    {"serve",
     "serve --dvr HOST:PORT --uk KEY [--rtsp ADDRESS:PORT] [--rtsp-user U --rtsp-password P]\n"
     "      [--max-sessions N] [--linger S] [--picture-timeout S] [--trace FILE]\n"
     "      publish the DVR over RTSP (default 0.0.0.0:8554; port 0 takes a free one):\n"
     "      rtsp://HOST:PORT/live/ch1 ... /live/ch16 one camera live, /live/split the DVR's\n"
     "      sixteen-way view, /playback/chN?start=YYYYMMDDThhmmss recordings from that time\n"
     "      (a PLAY clock range moves it). H.264 as the DVR sends it (nothing decoded);\n"
     "      cameras 1 and 2 add their 8 kHz sound as PCMU. Each stream opens its own DVR\n"
     "      session on its first client and closes it --linger seconds (default 3) after the\n"
     "      last one left; at most --max-sessions (default 4) at once, beyond that (or when\n"
     "      the DVR refuses, or sends no key frame within --picture-timeout seconds, default\n"
     "      20) a stream answers 503 with the reason logged. --rtsp-user and\n"
     "      --rtsp-password make clients authenticate (digest); --trace FILE writes a line\n"
     "      per access unit sent. SIGINT/SIGTERM stop it",
     DvrLink::kWait,
     "--rtsp --rtsp-user --rtsp-password --max-sessions --linger --picture-timeout --trace --view "
     "--playback-from "
     "--record-fd",
     "--worker", cmd_serve},
};

std::string version_text() {
  return std::string("tessomar-cli ") + "Ver." + (shell::kBuildTag + 2) + " (build tag " +
         shell::kBuildTag + ")";
}

constexpr const char* kConnectHelp =
    "Connection: --dvr HOST:PORT --uk KEY [--page-number N], or the page parameters from\n"
    "  --page FILE|URL (the DVR's web page) and --param NAME=VALUE (DVRIP, HTTP_PORT, DVR_UK,\n"
    "  HTTP_PAGE; options after the page override it).\n";
constexpr const char* kTimeoutHelp =
    "  --timeout S: seconds to wait for each answer of the DVR (default 10).\n";

void print_help() {
  std::printf(
      "usage: tessomar-cli COMMAND [OPTIONS]     (COMMAND --help: that command's own help)\n"
      "       tessomar-cli --version | --help\n\n"
      "Commands:\n");
  for (const auto& c : kCommands) std::printf("  %s\n", c.synopsis);
  std::printf("\n%s%s", kConnectHelp, kTimeoutHelp);
  // Which commands take them, from the table, wrapped as the rest of the help.
  int column = std::printf("  Taken by");
  const char* separator = " ";
  for (const auto& c : kCommands) {
    if (c.dvr == DvrLink::kNone) continue;
    const char* note = c.dvr == DvrLink::kConnect ? " (no --timeout)" : "";
    if (column + int(std::strlen(c.name) + std::strlen(note)) + 2 > 88) {
      std::printf("%s\n ", separator[0] == ',' ? "," : "");
      column = 1;
      separator = " ";
    }
    column += std::printf("%s%s%s", separator, c.name, note);
    separator = ", ";
  }
  std::printf(".\n  noip create-account takes --dvr and --uk.\n");
  std::printf(
      "\nExit status: 0 done, 1 the operation failed, 2 bad usage or input.\n"
      "Environment: systemroot names the folder with the skin files (default: the data\n"
      "folder beside the executable). TESSOMAR_LOG=1 prints diagnostics on stderr.\n");
}

void print_command_help(const Command& c) {
  std::printf("usage: tessomar-cli %s\n", c.synopsis);
  if (c.dvr != DvrLink::kNone) {
    std::printf("\n%s", kConnectHelp);
    if (c.dvr == DvrLink::kWait) std::printf("%s", kTimeoutHelp);
  }
  std::printf("\nExit status: 0 done, 1 the operation failed, 2 bad usage or input.\n");
}

bool listed(std::string_view list, std::string_view option) {
  while (!list.empty()) {
    const size_t space = list.find(' ');
    if (list.substr(0, space) == option) return true;
    if (space == std::string_view::npos) break;
    list.remove_prefix(space + 1);
  }
  return false;
}

enum class OptionCheck { kOk, kHelp, kRefused };

// Walks the arguments as the command will read them: a value option swallows the next
// argument (so "--text -h" is a title, not a help request). Anything else starting with '-'
// must be a flag the command knows.
OptionCheck check_options(const Command& c, const Args& args, std::string& error) {
  constexpr std::string_view kConnectValues = "--dvr --uk --page-number --page --param";
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") return OptionCheck::kHelp;
    if (a.size() < 2 || a[0] != '-') continue;
    const bool value = listed(c.value_options, a) ||
                       (c.dvr != DvrLink::kNone && listed(kConnectValues, a)) ||
                       (c.dvr == DvrLink::kWait && a == "--timeout");
    if (value) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return OptionCheck::kRefused;
      }
      ++i;
    } else if (!listed(c.flag_options, a)) {
      error = "unknown option " + a;
      return OptionCheck::kRefused;
    }
  }
  return OptionCheck::kOk;
}

const Command* find_command(std::string_view name) {
  for (const auto& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace

int usage_error(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "tessomar-cli %s: %s\n", command.c_str(), message.c_str());
  return kExitUsage;
}

int option_error(const std::string& command, const std::string& message) {
  return usage_error(command, message + " (see tessomar-cli " + command + " --help)");
}

int main(int argc, char** argv) {
  if (argc < 2) {
    print_help();
    return kExitUsage;
  }
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    // "help COMMAND" is the command's own help.
    if (argc >= 3 && first == "help") {
      if (const Command* c = find_command(argv[2])) {
        print_command_help(*c);
        return kExitOk;
      }
    }
    print_help();
    return kExitOk;
  }
  if (first == "--version") {
    std::printf("%s\n", version_text().c_str());
    return kExitOk;
  }
  const Command* command = find_command(first);
  if (command == nullptr) {
    std::fprintf(stderr, "tessomar-cli: unknown command \"%s\" (see tessomar-cli --help)\n",
                 first.c_str());
    return kExitUsage;
  }
  Args args(argv + 2, argv + argc);
  std::string error;
  switch (check_options(*command, args, error)) {
    case OptionCheck::kHelp:
      print_command_help(*command);
      return kExitOk;
    case OptionCheck::kRefused:
      return option_error(command->name, error);
    case OptionCheck::kOk:
      break;
  }
  shell::prepare_host_process();
  return command->run(args);
}

}  // namespace tessomar::cli

int main(int argc, char** argv) { return tessomar::cli::main(argc, argv); }
