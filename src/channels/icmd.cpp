#include "channels/icmd.h"

#include "platform/bytes.h"

namespace tessomar::channels {

namespace {

std::array<uint8_t, kViewImageSize>& view_image(SessionState& s, uint32_t record_id) {
  if (record_id == kRecordPlayback) return s.playback;
  if (record_id == kRecordBackup) return s.backup;
  return s.live;
}

uint32_t byte_sum(std::span<const uint8_t> data) {
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  return sum;
}

int32_t image_int(const std::array<uint8_t, kViewImageSize>& image, uint32_t offset) {
  platform::ByteReader r(image);
  r.seek(offset);
  return int32_t(r.u32le());
}

}  // namespace

const IcmdChannel::OperationRow IcmdChannel::kOperations[3] = {
    {kOpQuery, &IcmdChannel::handle_query},
    {kOpSet, &IcmdChannel::handle_store},
    {kOpReport, &IcmdChannel::handle_store},
};

// Only a set of 256 or 4096 meets its relay mask; 512 and 1024 share 258 but lack the id bit.
const IcmdChannel::IdRow IcmdChannel::kIds[5] = {
    {1, kRecordLive, kOpSet | kOpReport, kOpSet | kRecordLive, 1, kViewImageSize,
     &IcmdChannel::build_view, &IcmdChannel::receive_live},
    {1, kRecordPlayback, kOpSet | kOpReport, kOpSet | kRecordLive, 1, kViewImageSize,
     &IcmdChannel::build_view, &IcmdChannel::receive_view},
    {1, kRecordBackup, kOpSet | kOpReport, kOpSet | kRecordLive, 1, kViewImageSize,
     &IcmdChannel::build_view, &IcmdChannel::receive_view},
    {1, kRecordNone, 0, 0, 0, 0, nullptr, &IcmdChannel::receive_nothing},
    // The setup handler checks its own header and lengths.
    {1, kRecordSetup, kOpQuery | kOpSet | kOpReport, kOpSet | kRecordSetup, 3, 0,
     &IcmdChannel::build_setup, &IcmdChannel::receive_setup},
};

const IcmdChannel::SubIdRow IcmdChannel::kSubIds[5] = {
    {kSetupBitrate, [](SessionState& s) { return std::span<uint8_t>(s.bitrate); }, kGroupBitrate},
    {kSetupPppoe, [](SessionState& s) { return std::span<uint8_t>(s.pppoe); }, kGroupPppoe},
    {kSetupDdns, [](SessionState& s) { return std::span<uint8_t>(s.ddns); }, kGroupDdns},
    {kSetupMail, [](SessionState& s) { return std::span<uint8_t>(s.mail); }, kGroupMail},
    {kSetupMailInterval, [](SessionState& s) { return std::span<uint8_t>(s.mailInterval); },
     kGroupMail},
};

const IcmdChannel::IdRow* IcmdChannel::find_id(uint32_t record_id) {
  for (const IdRow& row : kIds) {
    if (row.in_use && row.record_id == record_id) return &row;
  }
  return nullptr;
}

const IcmdChannel::SubIdRow* IcmdChannel::find_sub_id(uint32_t sub_id) {
  for (const SubIdRow& row : kSubIds) {
    if (row.sub_id == sub_id) return &row;
  }
  return nullptr;
}

IcmdChannel::IcmdChannel(link::Link& link, platform::Dialogs& dialogs)
    : link_(link), dialogs_(dialogs) {
  for (int i = 0; i < link::kSlotCount; ++i) init_session_state(sessions_[i], i);
}

void IcmdChannel::register_icmd() {
  for (int i = 0; i < link::kSlotCount; ++i) init_session_state(sessions_[i], i);
  link_.register_channel(
      kTagIcmd, [this] { on_message(); },
      [this](const link::ChannelRequest& r) {
        send(IcmdRequest{r.key, r.op, r.arg, r.value});
      },
      buffer_);
}

void IcmdChannel::IcmdSend(uint32_t key, uint32_t operation, uint32_t record_id, uint32_t value) {
  link_.send_by_tag(kTagIcmd, {key, operation, record_id, value});
}

void IcmdChannel::send(const IcmdRequest& request) {
  int slot = link_.find_slot_by_key(request.key);
  if (slot < 0) return;
  SessionState& state = sessions_[slot];
  ++state.sendSequence;

  platform::ByteWriter w(buffer_);
  w.u32le(0);  // total length and checksum are written by finish_and_queue
  w.u32le(kTagIcmd);
  w.u32le(0);
  w.zeros(20);
  w.u32le(request.key);
  w.u32le(request.operation);
  w.u32le(request.record_id);
  w.u32le(uint32_t(state.mode));
  w.u32le(state.sendSequence);
  w.zeros(12);

  uint32_t n = 0;
  const IdRow* row = find_id(request.record_id);
  if (row && row->build && request.operation != 0 &&
      (row->operation_mask & request.operation) == request.operation) {
    auto image_area =
        std::span<uint8_t>(buffer_).subspan(link::kMessageHeaderSize + link::kSubHeaderSize);
    n = (this->*row->build)(image_area, state, request.value, request.record_id);
  }
  link_.finish_and_queue(slot, buffer_, n);
}

void IcmdChannel::on_message() {
  // Only what arrived is read; the rest of the buffer may hold an older message.
  uint32_t length = link_.last_message_length(kTagIcmd);
  if (length < link::kSubHeaderSize || length > buffer_.size()) return;
  std::span<const uint8_t> body(buffer_.data(), length);
  platform::ByteReader r(body);
  uint32_t key = r.u32le();
  uint32_t operation = r.u32le();
  int slot = link_.find_slot_by_key(key);
  if (slot < 0) return;
  for (const OperationRow& row : kOperations) {
    if (row.operation == operation) {
      (this->*row.handler)(slot, body.first(link::kSubHeaderSize),
                           body.subspan(link::kSubHeaderSize));
      return;
    }
  }
}

void IcmdChannel::handle_query(int, std::span<const uint8_t> sub_header,
                               std::span<const uint8_t> image) {
  platform::ByteReader h(sub_header);
  uint32_t key = h.u32le();
  h.skip(4);
  uint32_t record_id = h.u32le();
  uint32_t value = 0;
  if (record_id == kRecordSetup) {
    platform::ByteReader i(image);
    value = i.u32le();  // stays 0 when the query carried no sub-id
  }
  IcmdSend(key, kOpReport, record_id, value);
}

void IcmdChannel::handle_store(int slot, std::span<const uint8_t> sub_header,
                               std::span<const uint8_t> image) {
  platform::ByteReader h(sub_header);
  h.skip(4);
  uint32_t operation = h.u32le();
  uint32_t record_id = h.u32le();
  int32_t mode = int32_t(h.u32le());
  const IdRow* row = find_id(record_id);
  if (!row) return;
  // A view state shorter than its record is malformed: nothing of it is taken.
  if (image.size() < row->min_image) return;

  uint32_t result = (this->*row->receive)(image, sessions_[slot], operation, mode, record_id);

  uint32_t hello = hooks_.hello_first_word ? hooks_.hello_first_word(slot) : 0;
  if ((row->relay_mask & operation) && (row->relay_mask & record_id) && (row->hello_mask & hello)) {
    relay(slot, record_id, result);
  }
}

// Each report carries the target slot's own image; everything needed was taken from the
// received message before the first send overwrites the buffer.
void IcmdChannel::relay(int origin, uint32_t record_id, uint32_t result) {
  for (int i = 0; i < link::kSlotCount; ++i) {
    const link::ConnectionSlot& s = link_.slot(i);
    if (s.live != 1) continue;
    if (i == origin && record_id != kRecordSetup) continue;
    if (record_id == kRecordLive) {
      uint32_t hello = hooks_.hello_first_word ? hooks_.hello_first_word(i) : 0;
      if (hello != 1) continue;
    }
    IcmdSend(s.session_key, kOpReport, record_id, result);
  }
}

uint32_t IcmdChannel::build_view(std::span<uint8_t> out, SessionState& state, uint32_t,
                                 uint32_t record_id) {
  const auto& image = view_image(state, record_id);
  platform::ByteWriter w(out);
  w.bytes(image.data(), image.size());
  clear_reorder_table(state.slot);
  return kViewImageSize;
}

uint32_t IcmdChannel::build_setup(std::span<uint8_t> out, SessionState& state, uint32_t sub_id,
                                  uint32_t) {
  std::span<uint8_t> data;
  if (const SubIdRow* sub = find_sub_id(sub_id)) {
    // The tab stays greyed until the answer arrives or its counter runs out.
    enable_group(sub->group, false);
    data = sub->image(state);
  }
  uint32_t size = uint32_t(data.size());
  platform::ByteWriter w(out);
  w.u32le(sub_id);
  w.u32le(kSetupHeaderSize + size);
  w.u32le(size > 0 ? byte_sum(data) : 0);
  w.zeros(kSetupHeaderSize - 12);
  w.bytes(data.data(), size);
  clear_reorder_table(state.slot);
  return kSetupHeaderSize + size;
}

uint32_t IcmdChannel::receive_live(std::span<const uint8_t> image, SessionState& state,
                                   uint32_t operation, int32_t mode, uint32_t) {
  platform::ByteReader r(image);
  r.bytes(state.live.data(), state.live.size());
  if (operation != kOpReport) state.mode = mode;
  if (state.mode == kModeLive && hooks_.show_live_layout) {
    hooks_.show_live_layout(image_int(state.live, kLiveLayout),
                            image_int(state.live, kLiveFirstChannel),
                            image_int(state.live, kLiveSelectedChannel));
  }
  return 0;
}

uint32_t IcmdChannel::receive_view(std::span<const uint8_t> image, SessionState& state,
                                   uint32_t operation, int32_t mode, uint32_t record_id) {
  auto& local = view_image(state, record_id);
  platform::ByteReader r(image);
  r.bytes(local.data(), local.size());
  if (operation != kOpReport) state.mode = mode;
  return 0;
}

uint32_t IcmdChannel::receive_nothing(std::span<const uint8_t>, SessionState&, uint32_t, int32_t,
                                      uint32_t) {
  return 0;
}

uint32_t IcmdChannel::receive_setup(std::span<const uint8_t> image, SessionState& state,
                                    uint32_t operation, int32_t mode, uint32_t) {
  platform::ByteReader r(image);
  uint32_t sub_id = r.u32le();
  uint32_t total_length = r.u32le();
  uint32_t checksum = r.u32le();
  const SubIdRow* sub = find_sub_id(sub_id);
  std::span<uint8_t> local = sub ? sub->image(state) : std::span<uint8_t>();
  uint32_t size = uint32_t(local.size());

  // Too short for its sub-id, by its own length field or by what actually arrived.
  if (kSetupHeaderSize + size > total_length) return sub_id;
  if (kSetupHeaderSize + size > image.size()) return sub_id;
  std::span<const uint8_t> data = image.subspan(kSetupHeaderSize, size);
  if ((size > 0 ? byte_sum(data) : 0) != checksum) return sub_id;

  if (size > 0) {
    if (state.pendingSetup & sub_id) {
      // Our own set came back: the tab keeps what the user entered.
      dialogs_.message_box("Setup Successful.", "Setup Information");
    } else {
      for (uint32_t i = 0; i < size; ++i) local[i] = data[i];
    }
  }
  if (operation != kOpReport) state.mode = mode;
  if (sub) {
    if (hooks_.refill_tab) hooks_.refill_tab(sub_id, state);
    enable_group(sub->group, true);
  }
  state.pendingSetup &= ~sub_id;
  return sub_id;
}

void IcmdChannel::enable_group(int group, bool enable) {
  if (group < 0 || group >= kSetupGroupCount) return;
  bool on = enable || group == kGroupBitrate;  // bitrate controls are never disabled
  sessions_[0].reenableCounters[group] = on ? kGroupIdle : 0;
  if (hooks_.group_enabled) hooks_.group_enabled(group, on);
}

void IcmdChannel::reenable_tick() {
  for (int g = 0; g < kSetupGroupCount; ++g) {
    int32_t& counter = sessions_[0].reenableCounters[g];
    if (counter < kReenableTicks) ++counter;
    if (counter == kReenableTicks) enable_group(g, true);
  }
}

void IcmdChannel::clear_reorder_table(int slot) {
  if (hooks_.clear_reorder_table) hooks_.clear_reorder_table(slot);
}

}  // namespace tessomar::channels
