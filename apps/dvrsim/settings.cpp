#include "dvrsim/settings.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "dvrsim/server.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {
namespace {

constexpr uint8_t kMailMarker = 20;
constexpr uint8_t kMailKindSettings = 9;
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

bool SettingsStore::put(uint32_t sub_id, std::span<const uint8_t> data) {
  const int offset = image_offset(sub_id);
  if (offset < 0 || data.size() != size_t(setup_data_size(sub_id))) return false;
  std::copy(data.begin(), data.end(), images_.begin() + offset);
  return true;
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
      store_record(s, op, record_id, m.word(kModeAt), image);
      break;
    default:
      return;
  }
  for (const auto& listener : listeners_) listener(key, op, record_id);
}

void SettingsChannel::store_record(SessionView& s, uint32_t op, uint32_t record_id, uint32_t mode,
                                   std::span<const uint8_t> image) {
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
      store_.put(sub_id, data);
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
