// Command-line options of the simulated DVR.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessomar::dvrsim {

// Deliberate misbehaviour for tests of the control's error paths. 0 / false = off.
struct Faults {
  uint32_t close_after = 0;     // close a connection once this many replies were sent on it
  bool split = false;           // write replies in random chunks of 1..50 bytes
  uint32_t delay_ms = 0;        // hold every reply back this long
  uint32_t bad_status_nth = 0;  // the Nth reply on each connection gets a 500 status line
  uint32_t bad_magic_nth = 0;   // the Nth reply on each connection gets a wrong frame magic
  // Video records (VIDO frame records): about one in N, picked at random from `seed`.
  uint32_t reorder_one_in = 0;   // held back and sent after the next record of the session
  uint32_t drop_one_in = 0;      // never sent, its arrival key left as a gap
  uint32_t oversize_one_in = 0;  // padded beyond what the control's video channel takes
  // Channel messages of any kind: about one in N goes out with a wrong checksum.
  uint32_t bad_checksum_one_in = 0;
  // Once this many replies were sent in all, nothing more is written (connections are still
  // accepted and read) for stall_ms, 0 = for ever; the held replies then go out.
  uint32_t stall_after = 0;
  uint32_t stall_ms = 0;
  // Each session is forgotten this many ms after it was opened while its connections stay
  // open, as after a restart of the DVR's software behind connections that survive it.
  uint32_t forget_sessions_ms = 0;
  // A poll or data frame naming an unknown key opens a new session and is answered with its
  // key (type 1), as the control itself answers such a frame; off: an empty type 4 reply.
  bool rekey = false;
  uint32_t seed = 1;  // chunk sizes of `split` and the picks of the one-in-N faults
};

// Picture size of the live video: full D1 (704 x 576 PAL, 704 x 480 NTSC), CIF (352 x 288)
// or one field of D1 (704 x 288 PAL, 704 x 240 NTSC, marked interlaced).
enum class Resolution { kFull, kCif, kHalf };

// What the simulated device reports about itself and which features it offers.
struct DeviceOptions {
  uint32_t channels = 16;                // 4, 8 or 16
  bool pal = true;                       // false: NTSC
  uint32_t generation = 2;               // 2 takes a second connection per session
  bool audio = true;                     // false: the identity says the DVR sends no audio
  uint32_t model_variant = 0;            // 0 or 1
  uint32_t mail_variant = 0;             // 0 or 1
  bool titles = true;                    // channel title support
  std::string number_text = "[N] 7104";  // at most 31 characters
  bool upnp = false;                     // UPnP available (machine-type data)
  Resolution resolution = Resolution::kFull;
  uint32_t time_offset = 0;    // seconds the control adds to picture times for display
  uint32_t archive_days = 14;  // days of recordings behind now (see archive.h), 1 to 3650
  // Pictures per second kept in the archive (1 to the frame rate); 0 keeps every frame.
  // Fewer make long playbacks and backups cheap to stream.
  uint32_t archive_fps = 0;
  // Seconds into a backup window after which the backup's pictures change size (full to
  // cif, anything else to full); 0 never.
  uint32_t resolution_change_at = 0;
  // Playback and backup repeat each channel's first encoded second (throughput runs).
  bool repeat_archive_second = false;
};

struct Options {
  std::string host = "127.0.0.1";  // IPv4 or IPv6 address, without brackets
  uint16_t port = 8080;            // 0 = any free port
  int user_level = 9;              // 7, 8 or 9
  std::string password = "1234";
  uint32_t poll_idle_ms = 1000;  // an empty poll is answered after this long
  uint32_t max_sessions = 0;     // sessions with connections at once; 0: the table's limit
  bool log_view_sets = false;    // print each view-state set a control sends
  std::string data_dir;          // where the settings are kept; empty: in memory only
  std::string push_titles;       // title file pushed to every new session; empty: none
  DeviceOptions device;
  Faults faults;
};

enum class ParseStatus { kRun, kHelp, kError };

// Parses argv[1..]; on kError `error` holds a one-line reason.
ParseStatus parse_options(const std::vector<std::string_view>& args, Options& out,
                          std::string& error);

std::string usage_text(std::string_view program);

}  // namespace tessomar::dvrsim
