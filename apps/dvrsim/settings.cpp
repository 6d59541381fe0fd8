#include "dvrsim/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "dvrsim/data_file.h"
#include "dvrsim/server.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

constexpr std::string_view kFileMagic = "TSMSET1\n";
constexpr const char* kFileName = "/settings.bin";
constexpr uint32_t kMaxText = 31;
constexpr uint32_t kMaxHost = 47;
constexpr uint32_t kUpnpOnBit = 1u << 30;
// Status "0" (off), server, port, user, password, secure authentication, sender, three
// receivers, subject, location.
constexpr std::string_view kDefaultMailStrings[12] = {"0", "", "25", "", "", "0",
                                                      "",  "", "",   "", "", ""};

// Sub-header offsets (from the start of the message).
constexpr size_t kOperationAt = 36;
constexpr size_t kRecordAt = 40;
constexpr size_t kModeAt = 44;
constexpr size_t kSequenceAt = 48;

// Where a sub-id's image starts in the store; -1 when unknown.
int image_offset(uint32_t sub_id) {
  int offset = 0;
  for (uint32_t id : {kSetupBitrate, kSetupPppoe, kSetupDdns, kSetupMail, kSetupMailInterval}) {
    if (id == sub_id) return offset;
    offset += setup_data_size(id);
  }
  return -1;
}

std::array<uint8_t, kViewStateSize> initial_live_view() {
  std::array<uint8_t, kViewStateSize> image{};
  platform::ByteWriter w(image);
  w.seek(16);
  w.u32le(704);
  w.u32le(576);
  return image;
}

}  // namespace

int setup_data_size(uint32_t sub_id) {
  switch (sub_id) {
    case kSetupBitrate:
      return 4;
    case kSetupPppoe:
      return 68;
    case kSetupDdns:
      return 116;
    case kSetupMail:
    case kSetupMailInterval:
      return 256;
    default:
      return -1;
  }
}

uint32_t byte_sum(std::span<const uint8_t> data) {
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  return sum;
}

namespace {

// A NUL-terminated text inside its field, of at most `max` characters.
bool field_ok(std::span<const uint8_t> data, size_t at, size_t field, size_t max, const char* name,
              std::string& why) {
  const auto* p = reinterpret_cast<const char*>(data.data() + at);
  const size_t n = strnlen(p, field);
  if (n == field) {
    why = std::string(name) + " is not terminated";
    return false;
  }
  if (n > max) {
    why = std::string(name) + " is longer than " + std::to_string(max) + " characters";
    return false;
  }
  return true;
}

bool mail_ok(std::span<const uint8_t> d, std::string& why) {
  if (d[0] != kMailMarker || (d[1] != kMailKindSettings && d[1] != kMailKindTestMail)) {
    why = "mail image has no marker 20 with kind 9 or 16";
    return false;
  }
  static constexpr const char* kNames[12] = {
      "mail status", "SMTP server", "SMTP port",  "SMTP user",  "SMTP password", "secure flag",
      "sender",      "receiver 1",  "receiver 2", "receiver 3", "subject",       "location"};
  // Strings end by offset 253; the counter and a zero follow.
  size_t at = 2;
  for (int i = 0; i < 12 && at < 254; ++i) {
    const auto* p = reinterpret_cast<const char*>(d.data() + at);
    const size_t n = strnlen(p, 254 - at);
    if (n == 254 - at) {
      why = std::string(kNames[i]) + " runs into the counter";
      return false;
    }
    const std::string_view text(p, n);
    if (n > kMaxText) {
      why = std::string(kNames[i]) + " is longer than 31 characters";
      return false;
    }
    if (i == 0 && text != "0" && text != "1" && text != "2") {
      why = "mail status must be 0, 1 or 2";
      return false;
    }
    if (i == 2 && !text.empty()) {
      uint32_t port = 0;
      bool digits = text.size() <= 5;
      for (char c : text) {
        digits = digits && c >= '0' && c <= '9';
        if (digits) port = port * 10 + uint32_t(c - '0');
      }
      if (!digits || port < 1 || port > 65535) {
        why = "SMTP port '" + std::string(text) + "' is not a port number";
        return false;
      }
    }
    if (i == 5 && !text.empty() && text != "0" && text != "1") {
      why = "secure flag must be 0 or 1";
      return false;
    }
    at += n + 1;
  }
  if (d[255] != 0) {
    why = "mail image's last byte is not zero";
    return false;
  }
  return true;
}

}  // namespace

bool validate_setting(uint32_t sub_id, std::span<const uint8_t> d, std::string& why) {
  const int size = setup_data_size(sub_id);
  if (size < 0) {
    why = "unknown setup sub-id " + std::to_string(sub_id);
    return false;
  }
  if (d.size() != size_t(size)) {
    why = "setting " + std::to_string(sub_id) + " is " + std::to_string(d.size()) + " bytes, not " +
          std::to_string(size);
    return false;
  }
  switch (sub_id) {
    case kSetupBitrate:
      if (platform::load_u32le(d.data()) > 9) {
        why = "bitrate must be 0 to 9";
        return false;
      }
      return true;
    case kSetupPppoe:
      if (platform::load_u16le(d.data()) > 1) {
        why = "PPPoE status must be 0 or 1";
        return false;
      }
      return field_ok(d, 4, 32, kMaxText, "PPPoE user name", why) &&
             field_ok(d, 36, 32, kMaxText, "PPPoE password", why);
    case kSetupDdns:
      if (platform::load_u16le(d.data() + 2) > 3) {
        why = "DDNS provider must be 0 to 3";
        return false;
      }
      return field_ok(d, 4, 32, kMaxText, "DDNS user name", why) &&
             field_ok(d, 36, 32, kMaxText, "DDNS password", why) &&
             field_ok(d, 68, 48, kMaxHost, "DDNS host name", why);
    case kSetupMail:
      return mail_ok(d, why);
    case kSetupMailInterval:
      if (platform::load_u16le(d.data()) > 60) {
        why = "mail interval must be 0 to 60 minutes";
        return false;
      }
      return true;
    default:
      return false;
  }
}

bool validate_upnp_word(uint32_t word, std::string& why) {
  const uint32_t port = word & 0xFFFF;
  if ((word & ~(kUpnpOnBit | 0xFFFFu)) != 0) {
    why = "UPnP word has unknown bits set";
    return false;
  }
  if (port == 0) {
    why = "UPnP port must be 1 to 65535";
    return false;
  }
  return true;
}

std::vector<uint8_t> build_setup_record(uint32_t sub_id, std::span<const uint8_t> data) {
  std::vector<uint8_t> out(kSetupHeaderSize + data.size(), 0);
  platform::ByteWriter w(out);
  w.u32le(sub_id);
  w.u32le(static_cast<uint32_t>(out.size()));
  w.u32le(byte_sum(data));
  w.seek(kSetupHeaderSize);
  w.bytes(data.data(), data.size());
  return out;
}

bool parse_setup_record(std::span<const uint8_t> image, uint32_t& sub_id,
                        std::span<const uint8_t>& data) {
  if (image.size() < kSetupHeaderSize) return false;
  platform::ByteReader r(image);
  const uint32_t id = r.u32le();
  const uint32_t total = r.u32le();
  const uint32_t sum = r.u32le();
  const int size = setup_data_size(id);
  if (size < 0) return false;
  const size_t need = kSetupHeaderSize + static_cast<size_t>(size);
  // The length field must cover the data, and the data must really be there.
  if (total < need || image.size() < need) return false;
  const auto d = image.subspan(kSetupHeaderSize, static_cast<size_t>(size));
  if (byte_sum(d) != sum) return false;
  sub_id = id;
  data = d;
  return true;
}

SettingsStore::SettingsStore() {
  platform::ByteWriter bitrate(images_);
  bitrate.seek(size_t(image_offset(kSetupBitrate)));
  bitrate.u32le(kDefaultBitrate);
  // PPPoE off, DDNS disabled and the interval 0 are all-zero images.
  platform::ByteWriter w(std::span<uint8_t>(images_).subspan(size_t(image_offset(kSetupMail)),
                                                             size_t(setup_data_size(kSetupMail))));
  w.u8(kMailMarker);
  w.u8(kMailKindSettings);
  for (std::string_view s : kDefaultMailStrings) {
    w.text(s);
    w.u8(0);
  }
}

std::span<const uint8_t> SettingsStore::get(uint32_t sub_id) const {
  const int offset = image_offset(sub_id);
  if (offset < 0) return {};
  return std::span<const uint8_t>(images_).subspan(size_t(offset), size_t(setup_data_size(sub_id)));
}

bool SettingsStore::put(uint32_t sub_id, std::span<const uint8_t> data, std::string* why) {
  std::string reason;
  if (!validate_setting(sub_id, data, reason)) {
    if (why) *why = reason;
    return false;
  }
  std::copy(data.begin(), data.end(), images_.begin() + image_offset(sub_id));
  save();
  return true;
}

bool SettingsStore::set_upnp_word(uint32_t word, std::string* why) {
  std::string reason;
  if (!validate_upnp_word(word, reason)) {
    if (why) *why = reason;
    return false;
  }
  upnp_word_ = word;
  save();
  return true;
}

std::vector<uint8_t> SettingsStore::encode() const {
  std::vector<uint8_t> out(kSettingsFileHeaderSize + kSettingsPayloadSize, 0);
  std::copy(kFileMagic.begin(), kFileMagic.end(), out.begin());
  auto payload = std::span<uint8_t>(out).subspan(kSettingsFileHeaderSize);
  std::copy(images_.begin(), images_.end(), payload.begin());
  platform::store_u32le(&payload[images_.size()], upnp_word_);
  platform::store_u32le(&out[8], uint32_t(kSettingsPayloadSize));
  platform::store_u32le(&out[12], byte_sum(payload));
  return out;
}

bool SettingsStore::decode(std::span<const uint8_t> file, std::string& why) {
  if (file.size() < kSettingsFileHeaderSize ||
      !std::equal(kFileMagic.begin(), kFileMagic.end(), file.begin())) {
    why = "not a settings file";
    return false;
  }
  if (platform::load_u32le(&file[8]) != kSettingsPayloadSize ||
      file.size() != kSettingsFileHeaderSize + kSettingsPayloadSize) {
    why = "settings file has the wrong length";
    return false;
  }
  const auto payload = file.subspan(kSettingsFileHeaderSize);
  if (platform::load_u32le(&file[12]) != byte_sum(payload)) {
    why = "settings file's byte sum does not match";
    return false;
  }
  for (uint32_t id : {kSetupBitrate, kSetupPppoe, kSetupDdns, kSetupMail, kSetupMailInterval}) {
    const auto image = payload.subspan(size_t(image_offset(id)), size_t(setup_data_size(id)));
    if (!validate_setting(id, image, why)) return false;
  }
  const uint32_t word = platform::load_u32le(&payload[images_.size()]);
  if (!validate_upnp_word(word, why)) return false;
  std::copy(payload.begin(), payload.begin() + ptrdiff_t(images_.size()), images_.begin());
  upnp_word_ = word;
  return true;
}

bool SettingsStore::use_data_dir(const std::string& dir, std::string& error) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  const std::string path = dir + kFileName;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f) {
    std::vector<uint8_t> bytes(kSettingsFileHeaderSize + kSettingsPayloadSize + 1);
    const size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    bytes.resize(n);
    std::string why;
    if (!decode(bytes, why)) {
      error = path + ": " + why;
      return false;
    }
  } else if (errno != ENOENT) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  save();
  return true;
}

void SettingsStore::save() const {
  if (path_.empty()) return;
  write_file_atomically(path_, encode());
}

bool SettingsChannel::attach(Simulator& sim) {
  if (!sim.channels().register_handler(
          kIcmdTag, [this](ChannelContext& ctx, const ChannelMessage& m) { on_message(ctx, m); })) {
    return false;
  }
  sim_ = &sim;
  sim.add_session_listener([this](SessionEvent e, uint32_t key) {
    if (e == SessionEvent::kOpened) {
      sessions_[key].live = initial_live_view();
    } else {
      sessions_.erase(key);
    }
  });
  return true;
}

void SettingsChannel::add_message_listener(
    std::function<void(uint32_t key, uint32_t op, uint32_t record_id)> listener) {
  listeners_.push_back(std::move(listener));
}

uint32_t SettingsChannel::latest_icmd_sequence(uint32_t key) const {
  const SessionView* s = session(key);
  return s ? s->latest_sequence : 0;
}

const SessionView* SettingsChannel::session(uint32_t key) const {
  auto it = sessions_.find(key);
  return it == sessions_.end() ? nullptr : &it->second;
}

bool SettingsChannel::send_report(uint32_t key, uint32_t record_id, uint32_t sub_id) {
  auto it = sessions_.find(key);
  if (sim_ == nullptr || it == sessions_.end()) return false;
  SessionView& s = it->second;
  std::vector<uint8_t> setup;
  std::span<const uint8_t> image;
  switch (record_id) {
    case kRecordLiveView:
      image = s.live;
      break;
    case kRecordPlayback:
      image = s.playback;
      break;
    case kRecordBackup:
      image = s.backup;
      break;
    case kRecordSetup:
      setup = build_setup_record(sub_id, store_.get(sub_id));
      image = setup;
      break;
    default:
      break;  // no image
  }
  const auto message =
      build_message(kIcmdTag, key, {kIcmdReport, record_id, s.mode, ++s.send_sequence}, image);
  return sim_->queue_message(key, message);
}

std::string describe_view_state(const SessionView& view, uint32_t record_id) {
  auto word = [](const std::array<uint8_t, kViewStateSize>& image, size_t at) {
    platform::ByteReader r(image);
    r.seek(at);
    return std::to_string(static_cast<int32_t>(r.u32le()));
  };
  switch (record_id) {
    case kRecordLiveView:
      return "view set: live layout=" + word(view.live, 0) + " first=" + word(view.live, 4) +
             " channel=" + word(view.live, 8);
    case kRecordPlayback:
      return "view set: playback channel=" + word(view.playback, 8) +
             " state=" + word(view.playback, 12) + " direction=" + word(view.playback, 16);
    case kRecordBackup:
      return "view set: backup channel=" + word(view.backup, 8) + " state=" + word(view.backup, 12);
    default:
      return {};
  }
}

void SettingsChannel::on_message(ChannelContext& ctx, const ChannelMessage& m) {
  const uint32_t key = ctx.session_key();
  // Only the frame's own session, whose credentials the transport checked, is served.
  if (m.bytes.size() < link::kMessageHeaderSize + link::kSubHeaderSize || m.session_key() != key) {
    return;
  }
  // Sessions opened before attach() are learnt on their first message.
  auto [it, added] = sessions_.try_emplace(key);
  if (added) it->second.live = initial_live_view();
  SessionView& s = it->second;
  s.latest_sequence = m.word(kSequenceAt);

  const uint32_t op = m.word(kOperationAt);
  const uint32_t record_id = m.word(kRecordAt);
  const auto image = m.payload();
  switch (op) {
    case kIcmdQuery: {
      const uint32_t sub_id = record_id == kRecordSetup ? platform::ByteReader(image).u32le() : 0;
      send_report(key, record_id, sub_id);
      break;
    }
    case kIcmdSet:
    case kIcmdReport:
      store_record(key, s, op, record_id, m.word(kModeAt), image);
      break;
    default:
      return;
  }
  for (const auto& listener : listeners_) listener(key, op, record_id);
}

void SettingsChannel::store_record(uint32_t key, SessionView& s, uint32_t op, uint32_t record_id,
                                   uint32_t mode, std::span<const uint8_t> image) {
  std::array<uint8_t, kViewStateSize>* view = nullptr;
  switch (record_id) {
    case kRecordLiveView:
      view = &s.live;
      break;
    case kRecordPlayback:
      view = &s.playback;
      break;
    case kRecordBackup:
      view = &s.backup;
      break;
    case kRecordUnnamed:
      break;
    case kRecordSetup: {
      uint32_t sub_id = 0;
      std::span<const uint8_t> data;
      if (!parse_setup_record(image, sub_id, data)) return;  // an invalid set is ignored
      // A test mail request is carried out, not kept: only its sender hears back.
      if (sub_id == kSetupMail && data[1] == kMailKindTestMail) {
        std::string why;
        if (!validate_setting(sub_id, data, why)) {
          if (sim_) sim_->log("refused test mail: " + why);
          return;
        }
        if (op == kIcmdSet) s.mode = mode;
        ++test_mails_;
        if (sim_) sim_->log("test mail " + std::to_string(test_mails_) + " sent");
        if (op != kIcmdSet || sim_ == nullptr) return;
        const auto record = build_setup_record(sub_id, data);
        sim_->queue_message(
            key, build_message(kIcmdTag, key,
                               {kIcmdReport, kRecordSetup, s.mode, ++s.send_sequence}, record));
        return;
      }
      std::string why;
      if (!store_.put(sub_id, data, &why)) {
        if (sim_) sim_->log("refused setup " + std::to_string(sub_id) + ": " + why);
        return;
      }
      if (op == kIcmdSet) s.mode = mode;
      // A report is only stored: answering it would let two peers echo each other.
      if (op != kIcmdSet) return;
      // Every session, the sender's included, learns the new value.
      for (const auto& entry : sessions_) send_report(entry.first, kRecordSetup, sub_id);
      return;
    }
    default:
      return;  // unknown record ids are dropped
  }
  if (view != nullptr) {
    if (image.size() < kViewStateSize) return;  // too short to be a view state
    std::copy(image.begin(), image.begin() + kViewStateSize, view->begin());
  }
  if (op == kIcmdSet) s.mode = mode;
}

}  // namespace tessomar::dvrsim
