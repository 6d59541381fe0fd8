// The simulated DVR's settings store and its side of the ICMD channel.
//
// The DVR keeps one set of setup records (bitrate, PPPoE, DDNS, e-mail notification, e-mail
// interval) for the whole device and, per session, the session mode and the three view state
// images (live, playback, backup) that the control sets. A setup query is answered with a
// report of the current data; a valid setup set (checked as the firmware would) is stored and
// reported on every open session, so that every control watching the DVR refills its tab; a
// refused one is logged and gets no answer. A test-mail request is answered to its sender only
// and not stored. With a data directory the settings survive a restart. The sequence number of the
// latest ICMD message of each session is kept for the video records, which echo it.
//
//   SettingsChannel settings;
//   settings.attach(sim);
//   ... settings.latest_icmd_sequence(key) ...
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "dvrsim/channels.h"
#include "link/wire.h"

namespace tessomar::dvrsim {

class Simulator;

constexpr uint32_t kIcmdTag = link::make_tag("ICMD");

enum IcmdOperation : uint32_t {
  kIcmdQuery = 1,
  kIcmdSet = 2,
  kIcmdReport = 4,
};

enum IcmdRecord : uint32_t {
  kRecordLiveView = 256,
  kRecordPlayback = 512,
  kRecordBackup = 1024,
  kRecordUnnamed = 2048,  // no image; only carries the mode
  kRecordSetup = 4096,
};

enum SetupSubId : uint32_t {
  kSetupBitrate = 1,
  kSetupPppoe = 2,
  kSetupDdns = 4,
  kSetupMail = 8,
  kSetupMailInterval = 16,
};

constexpr size_t kViewStateSize = 64;
constexpr size_t kSetupHeaderSize = 72;
// Index into the control's bitrate list ("512 Kbps").
constexpr uint32_t kDefaultBitrate = 5;

// Data size of a setup sub-id; -1 when the sub-id is unknown.
int setup_data_size(uint32_t sub_id);

// Unsigned bytes added into a 32-bit sum.
uint32_t byte_sum(std::span<const uint8_t> data);

// A setup record image: the 72-byte header (sub-id, 72 + data size, byte sum of the data)
// followed by the data.
std::vector<uint8_t> build_setup_record(uint32_t sub_id, std::span<const uint8_t> data);

// Checks a received setup record image: a known sub-id, a total length field of at least
// 72 + its data size, that much data actually present and a matching byte sum. On success
// gives the sub-id and its data.
bool parse_setup_record(std::span<const uint8_t> image, uint32_t& sub_id,
                        std::span<const uint8_t>& data);

// Mail image: marker, kind (settings, or settings with a test mail request).
constexpr uint8_t kMailMarker = 20;
constexpr uint8_t kMailKindSettings = 9;
constexpr uint8_t kMailKindTestMail = 16;

// Checks a setting image as the DVR's firmware would before taking it: the size of its
// sub-id, values in range (bitrate 0-9, PPPoE status 0/1, provider 0-3, interval 0-60),
// texts NUL-terminated within their fields and at most 31 characters (47 for the DDNS host),
// the mail image's marker, kind, status "0"-"2", port 1-65535 and secure flag "0"/"1".
// False with a one-line reason otherwise.
bool validate_setting(uint32_t sub_id, std::span<const uint8_t> data, std::string& why);
// The UPnP setting (on bit and port, request bits cleared): port 1-65535, no other bits.
bool validate_upnp_word(uint32_t word, std::string& why);

// The settings file: "TSMSET1\n", the payload's length and byte sum (32-bit little-endian),
// then the five images in sub-id order and the UPnP word.
constexpr size_t kSettingsFileHeaderSize = 16;
constexpr size_t kSettingsPayloadSize = 4 + 68 + 116 + 256 + 256 + 4;

// The device-wide setup images, each of its sub-id's exact size, and the UPnP setting. With
// a data directory every change is written to its settings file at once, atomically.
class SettingsStore {
 public:
  // Sane factory settings: bitrate 5, PPPoE off, DDNS disabled, mail off with port 25,
  // interval 0, UPnP off on port 80.
  SettingsStore();

  // The image of a sub-id; empty when unknown.
  std::span<const uint8_t> get(uint32_t sub_id) const;
  // Replaces an image; false for an unknown sub-id, a size that is not the sub-id's or an
  // image the DVR would refuse (`why` says which, when given).
  bool put(uint32_t sub_id, std::span<const uint8_t> data, std::string* why = nullptr);

  uint32_t upnp_word() const { return upnp_word_; }
  bool set_upnp_word(uint32_t word, std::string* why = nullptr);

  // Keeps the settings in DIR/settings.bin from now on: loads the file when it exists
  // (refusing a damaged one), else writes the current settings there. False with the reason.
  bool use_data_dir(const std::string& dir, std::string& error);
  const std::string& file_path() const { return path_; }

  // The settings file's bytes, and their reading (false with the reason; the store is
  // unchanged then).
  std::vector<uint8_t> encode() const;
  bool decode(std::span<const uint8_t> file, std::string& why);

 private:
  // Writes the file through a temporary one and a rename, so a crash leaves the old or the
  // new file, never a torn one. Failures are reported on stderr; the values stay in memory.
  void save() const;

  // The five images back to back, in sub-id order.
  std::array<uint8_t, 4 + 68 + 116 + 256 + 256> images_{};
  uint32_t upnp_word_ = 80;
  std::string path_;
};

// What the DVR knows of one session.
struct SessionView {
  uint32_t mode = 0;  // 0 Live, 1 Playback, 2 Backup, 3 Setup, 4 unnamed
  std::array<uint8_t, kViewStateSize> live{};
  std::array<uint8_t, kViewStateSize> playback{};
  std::array<uint8_t, kViewStateSize> backup{};
  uint32_t latest_sequence = 0;  // of the latest ICMD message received; 0 before any
  uint32_t send_sequence = 0;    // ICMD messages sent; the first carries 1
};

// One line describing a session's view state of a record (live, playback or backup), as the
// simulator prints it for --log-view-sets; empty for other records.
std::string describe_view_state(const SessionView& view, uint32_t record_id);

class SettingsChannel {
 public:
  SettingsChannel() = default;
  SettingsChannel(const SettingsChannel&) = delete;
  SettingsChannel& operator=(const SettingsChannel&) = delete;

  // Registers the ICMD handler and a session listener; the channel must outlive the
  // simulator's use of them. False when ICMD already has a handler.
  bool attach(Simulator& sim);

  // Called after each received query, set or report has been handled, with the session key,
  // the operation and the record id; session(key) then holds the adopted mode and images.
  // For producers whose output follows the view (live video).
  void add_message_listener(
      std::function<void(uint32_t key, uint32_t op, uint32_t record_id)> listener);

  // Sequence number of the latest ICMD message received on a session; 0 before any or for
  // an unknown session.
  uint32_t latest_icmd_sequence(uint32_t key) const;
  // The session's mode and view states; nullptr for an unknown session.
  const SessionView* session(uint32_t key) const;
  const SettingsStore& store() const { return store_; }
  SettingsStore& store() { return store_; }
  // Test mails the DVR was asked to send.
  uint32_t test_mails() const { return test_mails_; }

  // Queues a report of a record on a session (for 4096: of the given sub-id, with the current
  // data; an unknown sub-id gets a bare header). False for an unknown session or when the
  // simulator refused the message.
  bool send_report(uint32_t key, uint32_t record_id, uint32_t sub_id = 0);

 private:
  void on_message(ChannelContext& ctx, const ChannelMessage& m);
  void store_record(uint32_t key, SessionView& s, uint32_t op, uint32_t record_id, uint32_t mode,
                    std::span<const uint8_t> image);

  Simulator* sim_ = nullptr;
  SettingsStore store_;
  uint32_t test_mails_ = 0;
  std::map<uint32_t, SessionView> sessions_;
  std::vector<std::function<void(uint32_t, uint32_t, uint32_t)>> listeners_;
};

}  // namespace tessomar::dvrsim
