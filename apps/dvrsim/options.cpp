#include "dvrsim/options.h"

#include <arpa/inet.h>

#include <charconv>

#include "dvrsim/session.h"

namespace tessomar::dvrsim {
namespace {

// The authentication text holds 8 hex time digits, two dots, the level digit and the
// password in 31 characters.
constexpr size_t kMaxPasswordLength = 20;
// Identity texts travel in 32-byte fields with their NUL.
constexpr size_t kMaxIdentityText = 31;
// A day covers any time zone or clock difference that the offset stands for.
constexpr uint32_t kMaxTimeOffset = 86400;
// Ten years of recordings are more than any test or demo looks at.
constexpr uint32_t kMaxArchiveDays = 3650;

bool parse_u32(std::string_view text, uint32_t min, uint32_t max, uint32_t& out) {
  uint32_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (v < min || v > max) return false;
  out = v;
  return true;
}

bool parse_listen(std::string_view text, Options& out, std::string& error) {
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    error = "--listen wants HOST:PORT, got '" + std::string(text) + "'";
    return false;
  }
  std::string host(text.substr(0, colon));
  // 127.0.0.1 also listens on ::1, so localhost is both.
  if (host == "localhost") host = "127.0.0.1";
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    in6_addr addr6{};
    if (inet_pton(AF_INET6, host.c_str(), &addr6) != 1) {
      error = "--listen: '[" + host + "]' is not an IPv6 address";
      return false;
    }
  } else if (in_addr addr{}; inet_pton(AF_INET, host.c_str(), &addr) != 1) {
    error =
        "--listen: '" + host + "' is not an IPv4 address, localhost or an IPv6 address in brackets";
    return false;
  }
  uint32_t port = 0;
  if (!parse_u32(text.substr(colon + 1), 0, 65535, port)) {
    error = "--listen: '" + std::string(text.substr(colon + 1)) + "' is not a port (0-65535)";
    return false;
  }
  out.host = host;
  out.port = static_cast<uint16_t>(port);
  return true;
}

// One of two words ("on"/"off", "pal"/"ntsc"); false when the value is neither.
bool parse_choice(std::string_view name, std::string_view value, std::string_view yes,
                  std::string_view no, bool& out, std::string& error) {
  if (value == yes || value == no) {
    out = value == yes;
    return true;
  }
  error = std::string(name) + " must be " + std::string(yes) + " or " + std::string(no) +
          ", got '" + std::string(value) + "'";
  return false;
}

}  // namespace

std::string usage_text(std::string_view program) {
  std::string s = "usage: " + std::string(program) + " [options]\n";
  s += "Simulated DVR: answers the control's ULCM frames on an HTTP port.\n"
       "\n"
       "  --listen HOST:PORT        address to listen on (default 127.0.0.1:8080; port 0 picks a\n"
       "                            free port). HOST is an IPv4 address, localhost or an IPv6\n"
       "                            address in brackets ([::1], [::]). 127.0.0.1 and localhost\n"
       "                            listen on [::1] too, with the same port, when it is free;\n"
       "                            [::] takes IPv4 clients as well.\n"
       "  --user-level 7|8|9        user level the control must present (default 9)\n"
       "  --password DIGITS         password the control must present, up to 20 digits\n"
       "                            (default 1234)\n"
       "  --poll-idle-ms MS         answer a poll with nothing to send after MS ms (default 1000)\n"
       "  --max-sessions N          serve at most N sessions with connections at once (1-64,\n"
       "                            default no limit but the table's 64); a further session's\n"
       "                            hello gets a refusal, logged as 'refused: session limit'\n"
       "  --log-view-sets           print a line on stdout for every view state a control sets:\n"
       "                            'view set: live layout=L first=F channel=C' (layout 0 one\n"
       "                            channel, 1 four-way, 2 nine-way, 3 sixteen-way), 'view set:\n"
       "                            playback channel=C state=S direction=D' or 'view set:\n"
       "                            backup channel=C state=S'\n"
       "  --data-dir DIR            keep the settings (setup pages and UPnP) in DIR/settings.bin\n"
       "                            and the channel titles in DIR/titles.vdtt, created when\n"
       "                            missing; they survive a restart (default: in memory only,\n"
       "                            factory settings and no titles at every start)\n"
       "  --push-titles FILE        take the channel titles of a title file (as the Title tab\n"
       "                            saves them) and push them to every new session\n"
       "\n"
       "Device:\n"
       "  --channels 4|8|16         number of cameras (default 16)\n"
       "  --standard pal|ntsc       video standard: 25 or 30 frames per second (default pal)\n"
       "  --generation 1|2          protocol generation; 2 takes a second connection per\n"
       "                            session (default 2)\n"
       "  --audio on|off            whether the DVR sends audio (default on). Cameras 1 and 2\n"
       "                            (channels 0 and 1) have sound, sent with the single view\n"
       "                            of that camera: live, playback at normal speed and backup\n"
       "                            (not split views or scans). Blocks of 0.1 s, 8000\n"
       "                            samples/s, 16-bit signed mono, stamped with the time and\n"
       "                            frame of the picture shown as the block starts. The sound\n"
       "                            is a sine tone, 440 Hz on channel 0 and 660 Hz on channel\n"
       "                            1; the mark is a 50 ms silence starting at each whole\n"
       "                            second of the picture time, that is with the picture whose\n"
       "                            burnt-in time has just turned to a new second (frame 0).\n"
       "                            Live sound begins at the first whole second after the view\n"
       "                            is set. off: no audio records, and the identity says so.\n"
       "  --variant 0|1             model variant (default 0)\n"
       "  --mail-variant 0|1        mail variant; 1 has no mail interval (default 0)\n"
       "  --titles on|off           channel title support (default on)\n"
       "  --number-text TEXT        number text of the identity, up to 31 characters\n"
       "                            (default \"[N] 7104\")\n"
       "  --upnp on|off             whether the DVR offers UPnP (default off)\n"
       "  --resolution full|cif|half\n"
       "                            live picture size: full 704x576 (PAL) or 704x480 (NTSC),\n"
       "                            cif 352x288, half 704x288 or 704x240 interlaced\n"
       "                            (default full)\n"
       "  --time-offset SECONDS     time offset sent with every picture, 0 to 86400\n"
       "                            (default 0)\n"
       "  --archive-days N          days of recordings for playback and backup, ending now,\n"
       "                            1 to 3650 (default 14). Every camera is recorded all the\n"
       "                            time except: no camera from 02:00:00 to 04:59:59 on\n"
       "                            Saturdays and Sundays, and camera c (1-16) not from\n"
       "                            (5+c):30:00 to (5+c):59:59 on any day (camera 1 at 06:30,\n"
       "                            camera 16 at 21:30). Times and weekdays are the DVR's, as\n"
       "                            in the pictures and the key form's calendar (its weeks\n"
       "                            begin on Sundays; 2000 has no 29 February).\n"
       "  --archive-fps N           pictures per second kept in the archive, 1 to the frame\n"
       "                            rate (default: every frame). Playback and backup send\n"
       "                            frames 0, k, 2k, ... of each second (k = frame rate / N),\n"
       "                            and sound only with those pictures; long backups then\n"
       "                            stream quickly (the control fills the missing frames)\n"
       "  --resolution-change-at SECONDS\n"
       "                            a backup's pictures change size SECONDS into its window\n"
       "                            (full becomes cif, cif or half becomes full), starting\n"
       "                            with a key frame (default 0: never)\n"
       "  --repeat-archive-second   for throughput runs: playback and backup encode each\n"
       "                            camera's first second once and send it again for every\n"
       "                            later second (headers carry the right times, the pictures\n"
       "                            show the first second's)\n"
       "\n"
       "Faults:\n"
       "  --fault-close-after N     close each connection after sending N replies on it\n"
       "  --fault-split             write replies in random chunks of 1..50 bytes\n"
       "  --fault-delay-ms MS       delay every reply by MS ms\n"
       "  --fault-bad-status N      the Nth reply on each connection has status 500\n"
       "  --fault-bad-magic N       the Nth reply on each connection has a wrong frame magic\n"
       "  --fault-reorder N         about one video record in N is held back and sent after the\n"
       "                            next one of its session\n"
       "  --fault-drop-records N    about one video record in N is never sent (a gap in the\n"
       "                            arrival keys)\n"
       "  --fault-oversize N        about one video record in N is padded to 280000 bytes,\n"
       "                            more than the control's video channel takes\n"
       "  --fault-bad-checksum N    about one channel message in N (any channel) has a wrong\n"
       "                            checksum\n"
       "  --fault-stall-after N     after N replies in all, write nothing more (connections are\n"
       "                            still accepted and read) for --fault-stall-ms, then send\n"
       "                            what was held\n"
       "  --fault-stall-ms MS       length of the stall; 0 (default) stalls for ever\n"
       "  --fault-forget-sessions MS\n"
       "                            forget each session MS ms after it was opened but keep its\n"
       "                            connections, as a DVR whose software restarted behind them\n"
       "  --fault-rekey             answer a poll or data frame naming an unknown key with a\n"
       "                            new session's key (type 1), as the control answers such a\n"
       "                            frame, instead of an empty type 4 reply\n"
       "  --fault-seed N            seed for the chunk sizes of --fault-split and the picks of\n"
       "                            the one-in-N faults (default 1)\n"
       "  --help                    show this text\n"
       "\n"
       "On start it prints 'listening on HOST:PORT' and 'DVR_UK=<text>' (the key text a control\n"
       "uses to log in). SIGINT or SIGTERM stops it with exit status 0, after the line\n"
       "'counters: video_records_sent=N replies_sent=N ...' (what it sent and the faults it\n"
       "applied).\n";
  return s;
}

ParseStatus parse_options(const std::vector<std::string_view>& args, Options& out,
                          std::string& error) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    std::string_view value;
    bool has_inline = false;
    if (name.starts_with("--")) {
      size_t eq = name.find('=');
      if (eq != std::string_view::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
        has_inline = true;
      }
    }
    if (name == "--help" || name == "-h") return ParseStatus::kHelp;
    if (name == "--log-view-sets") {
      if (has_inline) {
        error = "--log-view-sets takes no value";
        return ParseStatus::kError;
      }
      o.log_view_sets = true;
      continue;
    }
    if (name == "--repeat-archive-second") {
      if (has_inline) {
        error = "--repeat-archive-second takes no value";
        return ParseStatus::kError;
      }
      o.device.repeat_archive_second = true;
      continue;
    }
    if (name == "--fault-split") {
      if (has_inline) {
        error = "--fault-split takes no value";
        return ParseStatus::kError;
      }
      o.faults.split = true;
      continue;
    }
    if (name == "--fault-rekey") {
      if (has_inline) {
        error = "--fault-rekey takes no value";
        return ParseStatus::kError;
      }
      o.faults.rekey = true;
      continue;
    }
    const bool takes_value =
        name == "--listen" || name == "--user-level" || name == "--password" ||
        name == "--poll-idle-ms" || name == "--max-sessions" || name == "--fault-close-after" ||
        name == "--fault-delay-ms" || name == "--fault-bad-status" || name == "--fault-bad-magic" ||
        name == "--fault-seed" || name == "--fault-reorder" || name == "--fault-drop-records" ||
        name == "--fault-oversize" || name == "--fault-bad-checksum" ||
        name == "--fault-stall-after" || name == "--fault-stall-ms" ||
        name == "--fault-forget-sessions" || name == "--channels" || name == "--standard" ||
        name == "--generation" || name == "--audio" || name == "--variant" ||
        name == "--mail-variant" || name == "--titles" || name == "--number-text" ||
        name == "--upnp" || name == "--resolution" || name == "--time-offset" ||
        name == "--archive-days" || name == "--data-dir" || name == "--push-titles" ||
        name == "--archive-fps" || name == "--resolution-change-at";
    if (!takes_value) {
      error = "unknown option '" + std::string(args[i]) + "'";
      return ParseStatus::kError;
    }
    if (!has_inline) {
      if (i + 1 >= args.size()) {
        error = std::string(name) + " needs a value";
        return ParseStatus::kError;
      }
      value = args[++i];
    }
    auto number = [&](uint32_t min, uint32_t max, uint32_t& dst) {
      if (parse_u32(value, min, max, dst)) return true;
      error = std::string(name) + ": '" + std::string(value) + "' is not a number from " +
              std::to_string(min) + " to " + std::to_string(max);
      return false;
    };
    bool ok = true;
    if (name == "--listen") {
      ok = parse_listen(value, o, error);
    } else if (name == "--user-level") {
      if (value == "7" || value == "8" || value == "9") {
        o.user_level = value[0] - '0';
      } else {
        error = "--user-level must be 7, 8 or 9, got '" + std::string(value) + "'";
        ok = false;
      }
    } else if (name == "--password") {
      bool digits = !value.empty() && value.size() <= kMaxPasswordLength;
      for (char c : value) digits = digits && c >= '0' && c <= '9';
      if (digits) {
        o.password = std::string(value);
      } else {
        error = "--password must be 1 to 20 decimal digits";
        ok = false;
      }
    } else if (name == "--poll-idle-ms") {
      ok = number(1, 600000, o.poll_idle_ms);
    } else if (name == "--max-sessions") {
      ok = number(1, uint32_t(SessionTable::kMaxSessions), o.max_sessions);
    } else if (name == "--fault-close-after") {
      ok = number(1, UINT32_MAX, o.faults.close_after);
    } else if (name == "--fault-delay-ms") {
      ok = number(0, 600000, o.faults.delay_ms);
    } else if (name == "--fault-bad-status") {
      ok = number(1, UINT32_MAX, o.faults.bad_status_nth);
    } else if (name == "--fault-bad-magic") {
      ok = number(1, UINT32_MAX, o.faults.bad_magic_nth);
    } else if (name == "--fault-reorder") {
      ok = number(1, UINT32_MAX, o.faults.reorder_one_in);
    } else if (name == "--fault-drop-records") {
      ok = number(1, UINT32_MAX, o.faults.drop_one_in);
    } else if (name == "--fault-oversize") {
      ok = number(1, UINT32_MAX, o.faults.oversize_one_in);
    } else if (name == "--fault-bad-checksum") {
      ok = number(1, UINT32_MAX, o.faults.bad_checksum_one_in);
    } else if (name == "--fault-stall-after") {
      ok = number(1, UINT32_MAX, o.faults.stall_after);
    } else if (name == "--fault-stall-ms") {
      ok = number(0, 600000, o.faults.stall_ms);
    } else if (name == "--fault-forget-sessions") {
      ok = number(100, 600000, o.faults.forget_sessions_ms);
    } else if (name == "--fault-seed") {
      ok = number(0, UINT32_MAX, o.faults.seed);
    } else if (name == "--channels") {
      if (value == "4" || value == "8" || value == "16") {
        o.device.channels = value == "16" ? 16 : uint32_t(value[0] - '0');
      } else {
        error = "--channels must be 4, 8 or 16, got '" + std::string(value) + "'";
        ok = false;
      }
    } else if (name == "--standard") {
      ok = parse_choice(name, value, "pal", "ntsc", o.device.pal, error);
    } else if (name == "--generation") {
      ok = number(1, 2, o.device.generation);
    } else if (name == "--audio") {
      ok = parse_choice(name, value, "on", "off", o.device.audio, error);
    } else if (name == "--variant") {
      ok = number(0, 1, o.device.model_variant);
    } else if (name == "--mail-variant") {
      ok = number(0, 1, o.device.mail_variant);
    } else if (name == "--titles") {
      ok = parse_choice(name, value, "on", "off", o.device.titles, error);
    } else if (name == "--upnp") {
      ok = parse_choice(name, value, "on", "off", o.device.upnp, error);
    } else if (name == "--resolution") {
      if (value == "full") {
        o.device.resolution = Resolution::kFull;
      } else if (value == "cif") {
        o.device.resolution = Resolution::kCif;
      } else if (value == "half") {
        o.device.resolution = Resolution::kHalf;
      } else {
        error = "--resolution must be full, cif or half, got '" + std::string(value) + "'";
        ok = false;
      }
    } else if (name == "--time-offset") {
      ok = number(0, kMaxTimeOffset, o.device.time_offset);
    } else if (name == "--archive-days") {
      ok = number(1, kMaxArchiveDays, o.device.archive_days);
    } else if (name == "--data-dir") {
      if (value.empty()) {
        error = "--data-dir needs a directory";
        ok = false;
      } else {
        o.data_dir = std::string(value);
      }
    } else if (name == "--push-titles") {
      if (value.empty()) {
        error = "--push-titles needs a title file";
        ok = false;
      } else {
        o.push_titles = std::string(value);
      }
    } else if (name == "--archive-fps") {
      ok = number(1, 30, o.device.archive_fps);
    } else if (name == "--resolution-change-at") {
      ok = number(1, 86400 * kMaxArchiveDays, o.device.resolution_change_at);
    } else if (name == "--number-text") {
      if (value.size() <= kMaxIdentityText && value.find('\0') == std::string_view::npos) {
        o.device.number_text = std::string(value);
      } else {
        error = "--number-text must be at most 31 characters";
        ok = false;
      }
    }
    if (!ok) return ParseStatus::kError;
  }
  out = o;
  return ParseStatus::kRun;
}

}  // namespace tessomar::dvrsim
