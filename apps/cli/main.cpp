// tessomar-cli: the control without a window, every capability as a subcommand.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "shell/control.h"
#include "shell/host.h"

namespace tessomar::cli {

namespace {

struct Command {
  const char* name;
  const char* synopsis;
  int (*run)(const Args&);
};

constexpr Command kCommands[] = {
    {"devtime",
     "devtime SECONDS | devtime --date \"YYYY/MM/DD hh:mm:ss\"\n"
     "      convert between device time (seconds since 2000-01-01) and its text",
     cmd_devtime},
    {"run",
     "run [--page FILE|URL] [--param NAME=VALUE]... [--seconds N]\n"
     "      create the control headless, run its main loop for N seconds (default 5)\n"
     "      and print every change of its status line",
     cmd_run},
    {"info",
     "info --dvr HOST:PORT --uk KEY | --page URL  [--timeout S]\n"
     "      wait for the DVR's identity and print it as key=value lines",
     cmd_info},
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
     cmd_setup},
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
     cmd_titles},
    {"live",
     "live --dvr HOST:PORT --uk KEY [--view CODE[,CODE...]] [--switch-ms MS] [--seconds S]\n"
     "      [--snapshot FILE.png] [--stats] [--from-playback \"YYYY/MM/DD hh:mm:ss\"]\n"
     "      [--audio-wav FILE.wav]\n"
     "      watch live video (view 0-15 one channel, 16-19 four-way pages, 20-21 nine-way,\n"
     "      22 sixteen-way; a list switches through the views, each held --switch-ms,\n"
     "      default 100, the last for --seconds); writes the last picture as a PNG;\n"
     "      --stats adds counts and first_picture_ms after the last switch;\n"
     "      --from-playback plays that time for 2 s first; --audio-wav FILE.wav switches\n"
     "      the speaker on, records what the sound output plays (8 kHz 8-bit mono) and\n"
     "      prints, per second of picture time, where the recording was when it showed",
     cmd_live},
    {"playback",
     "playback --dvr HOST:PORT --uk KEY --channel 1-16 --from \"YYYY/MM/DD hh:mm:ss\"\n"
     "      [--action play|pause|fast|reverse] [--seconds S] [--snapshot FILE.png]\n"
     "      [--switch-after S --then ACTION]   play recordings from a time; prints\n"
     "      the time shown once a second (and when the action changes)",
     cmd_playback},
    {"keyform",
     "keyform --dvr HOST:PORT --uk KEY --png FILE.png [--click X,Y]... [--hold X,Y,MS]...\n"
     "      [--hover X,Y]... [--video-click X,Y]... [--wait S] [--snapshot VIDEO.png]\n"
     "      drive the key form with pointer input in the order given (X,Y in the\n"
     "      320 x 576 key form; --video-click in the 704 x 576 video picture), wait S\n"
     "      seconds (default 1), write the key form as a PNG (and the video picture with\n"
     "      --snapshot) and print the key-form variables that changed (NAME=V, NAME[i]=V)",
     cmd_keyform},
    {"calendar",
     "calendar --dvr HOST:PORT --uk KEY --channel 1-16 --month YYYY/MM [--day DD] [--json]\n"
     "      the recording calendar: the month's six-week grid with the days the DVR holds\n"
     "      recordings for (*), and with --day that day's half hours; --json prints the\n"
     "      same as one JSON object",
     cmd_calendar},
    {"backup",
     "backup --dvr HOST:PORT --uk KEY --channel 1-16 --from \"YYYY/MM/DD hh:mm:ss\"\n"
     "      --to \"YYYY/MM/DD hh:mm:ss\" --out NAME.mov   copy the recording of a channel\n"
     "      between two times into NAME.mov, NAME(1).mov, ... (a new file after 30 minutes\n"
     "      of recording or when the picture size changes); shows progress (percent of the\n"
     "      window, speed as a multiple of real time, files), then file=PATH bytes=N per\n"
     "      file and result=...; exit 0 only when the whole window was copied and every\n"
     "      file was closed complete. Times, the name and the folder are checked first.",
     cmd_backup},
    {"noip",
     "noip --service HOST[:PORT] [--client-id ID --key KEY] [--timeout S] STEP\n"
     "      STEP: check --username U | domains\n"
     "      | create-account --username U --email E --password P --firstname F\n"
     "        --lastname L --postal-code C\n"
     "        [--apply-to-dvr HOST:PORT --uk KEY --host H [--domain D]]\n"
     "      | add-host --user-id ID --user-key K --host H --domain D --ip IP\n"
     "      | info --user-id ID --user-key K\n"
     "      one request to the No-IP service's OEM interface (or tessomar-noipsim),\n"
     "      signed with the control's OEM pair unless --client-id and --key are given;\n"
     "      prints key=value lines; the service's messages go to stderr (exit 1).\n"
     "      With --apply-to-dvr the No-IP wizard runs from the DVR's DDNS tab: check,\n"
     "      create the account, add host H under domain D (default the first offered),\n"
     "      then OK fills the DDNS tab and applies it to the DVR",
     cmd_noip},
    {"serve",
     "serve --dvr HOST:PORT --uk KEY [--rtsp ADDRESS:PORT] [--rtsp-user U --rtsp-password P]\n"
     "      [--max-sessions N] [--linger S]   publish the DVR over RTSP: live/ch1-16,\n"
     "      live/split and playback/chN?start=YYYYMMDDThhmmss (see serve --help)",
     cmd_serve},
};

std::string version_text() {
  return std::string("tessomar-cli ") + "Ver." + (shell::kBuildTag + 2) + " (build tag " +
         shell::kBuildTag + ")";
}

void print_help() {
  std::printf(
      "usage: tessomar-cli COMMAND [OPTIONS]\n"
      "       tessomar-cli --version | --help\n\n"
      "Page parameters (DVRIP, HTTP_PORT, DVR_UK, HTTP_PAGE) come from --param NAME=VALUE\n"
      "options or from the DVR's web page given with --page FILE|http://HOST:PORT/.\n\n"
      "Commands:\n");
  for (const auto& c : kCommands) std::printf("  %s\n", c.synopsis);
  std::printf(
      "\nExit status: 0 done, 1 the operation failed, 2 bad usage or input.\n"
      "Environment: systemroot names the folder with the skin files (default: the data\n"
      "folder beside the executable). TESSOMAR_LOG=1 prints diagnostics on stderr.\n");
}

}  // namespace

int usage_error(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "tessomar-cli %s: %s\n", command.c_str(), message.c_str());
  return kExitUsage;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    print_help();
    return kExitUsage;
  }
  std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    print_help();
    return kExitOk;
  }
  if (first == "--version") {
    std::printf("%s\n", version_text().c_str());
    return kExitOk;
  }
  shell::prepare_host_process();
  Args args(argv + 2, argv + argc);
  for (const auto& c : kCommands) {
    if (first == c.name) return c.run(args);
  }
  std::fprintf(stderr, "tessomar-cli: unknown command \"%s\" (see tessomar-cli --help)\n",
               first.c_str());
  return kExitUsage;
}

}  // namespace tessomar::cli

int main(int argc, char** argv) { return tessomar::cli::main(argc, argv); }
