#include "channels/vask.h"

#include <algorithm>
#include <string_view>

#include "platform/bytes.h"

namespace tessomar::channels {

namespace {
constexpr uint32_t kRowReceive = 1;
constexpr uint32_t kRowBuild = 2;

// Identity payload layout.
constexpr size_t kTextSize = 32;
constexpr size_t kOsText = 12;
constexpr size_t kSerialText = 44;
constexpr size_t kBoardText = 76;
constexpr size_t kNumberText = 108;
constexpr size_t kVideoStandard = 140;
constexpr size_t kGeneration = 148;
constexpr size_t kAudio = 224;
constexpr size_t kMailVariant = 228;
constexpr size_t kTexts[] = {kOsText, kSerialText, kBoardText, kNumberText};

std::string read_text(const std::array<uint8_t, kVaskPayloadSize>& p, size_t at) {
  size_t n = 0;
  while (n < kTextSize - 1 && p[at + n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p.data() + at), n);
}

// Copies at most 256 bytes of a received payload; what the peer left out reads as zero.
void copy_payload(std::array<uint8_t, kVaskPayloadSize>& to, std::span<const uint8_t> from) {
  size_t n = std::min(from.size(), to.size());
  std::copy_n(from.begin(), n, to.begin());
  std::fill(to.begin() + n, to.end(), 0);
}

void write_text(platform::ByteWriter& w, size_t at, std::string_view text) {
  w.seek(at);
  w.text(text.substr(0, kTextSize - 1));
}
}  // namespace

DeviceIdentity DeviceIdentity::parse(std::span<const uint8_t> identity) {
  std::array<uint8_t, kVaskPayloadSize> p{};
  copy_payload(p, identity);
  DeviceIdentity d;
  platform::ByteReader r(p);
  d.channel_count = r.u32le();
  d.model_variant = r.u32le();
  d.title_support = r.u32le();
  d.os = read_text(p, kOsText);
  d.serial = read_text(p, kSerialText);
  d.board = read_text(p, kBoardText);
  d.number = read_text(p, kNumberText);
  auto word_at = [&r](size_t offset) {
    r.seek(offset);
    return r.u32le();
  };
  d.video_standard = word_at(kVideoStandard);
  d.generation = word_at(kGeneration);
  d.audio = word_at(kAudio);
  d.mail_variant = word_at(kMailVariant);
  return d;
}

bool DeviceIdentity::paced_by_stream_interval() const {
  return number.find("[N] 6") != std::string::npos;
}

const std::array<VaskChannel::Row, 3> VaskChannel::kRows = {{
    {kRowReceive | kRowBuild, kVaskHello, &VaskChannel::on_hello, &VaskChannel::build_hello},
    {kRowReceive | kRowBuild, kVaskIdentity, &VaskChannel::on_identity,
     &VaskChannel::build_identity},
    {kRowReceive, kVaskRefusal, &VaskChannel::on_refusal, nullptr},
}};

VaskChannel::VaskChannel(link::Link& link, platform::Form& form) : link_(link), form_(form) {}

const VaskChannel::Row* VaskChannel::find_row(uint32_t sub_type) {
  for (const Row& r : kRows) {
    if (r.sub_type == sub_type) return &r;
  }
  return nullptr;
}

void VaskChannel::register_vask() {
  link_.register_channel(
      kVaskTag, [this] { on_message(); },
      [this](const link::ChannelRequest& r) {
        send(VaskRequest{r.key, r.op});
      },
      buffer_);
  for (int i = 0; i < link::kSlotCount; ++i) records_[i].slot = i;
}

void VaskChannel::send_vask(uint32_t key, uint32_t sub_type) {
  link_.send_by_tag(kVaskTag, {key, sub_type});
}

uint32_t VaskChannel::hello_first_word(int slot) const {
  return platform::ByteReader(records_[slot].hello).u32le();
}

void VaskChannel::clear_hello_first_word(int slot) {
  platform::ByteWriter(records_[slot].hello).u32le(0);
}

void VaskChannel::send(const VaskRequest& req) {
  int slot = link_.find_slot_by_key(req.key);
  if (slot < 0) return;

  std::span<uint8_t> buf(buffer_);
  platform::ByteWriter w(buf.first(link::kMessageHeaderSize + link::kSubHeaderSize));
  w.zeros(4);  // total length, written on queueing
  w.u32le(kVaskTag);
  w.zeros(link::kMessageHeaderSize - 8);
  w.u32le(req.key);
  w.u32le(req.sub_type);
  w.zeros(link::kSubHeaderSize - 8);

  uint32_t payload = 0;
  const Row* row = find_row(req.sub_type);
  if (row && (row->flags & kRowBuild) && row->build) {
    payload = row->build(buf.subspan(link::kMessageHeaderSize + link::kSubHeaderSize));
  }
  link_.finish_and_queue(slot, buf, payload);
}

void VaskChannel::on_message() {
  uint32_t length = std::min<uint32_t>(link_.last_message_length(kVaskTag), kVaskBufferSize);
  if (length < link::kSubHeaderSize) return;  // no sub-header: nothing to act on
  platform::ByteReader r(std::span<const uint8_t>(buffer_).first(length));
  const uint32_t key = r.u32le();
  const uint32_t sub_type = r.u32le();
  int slot = link_.find_slot_by_key(key);
  if (slot < 0) return;
  const Row* row = find_row(sub_type);
  if (!row || !(row->flags & kRowReceive) || !row->receive) return;
  std::span<const uint8_t> payload(buffer_.data() + link::kSubHeaderSize,
                                   length - link::kSubHeaderSize);
  (this->*row->receive)(key, payload, records_[slot]);
}

void VaskChannel::on_hello(uint32_t key, std::span<const uint8_t> payload, VaskRecord& record) {
  // The answer is built in the buffer the hello still sits in: keep it first.
  copy_payload(record.hello, payload);
  send_vask(key, kVaskIdentity);
}

void VaskChannel::on_identity(uint32_t key, std::span<const uint8_t> payload, VaskRecord& record) {
  copy_payload(record.identity, payload);
  for (size_t at : kTexts) record.identity[at + kTextSize - 1] = 0;
  record.device = DeviceIdentity::parse(record.identity);
  const DeviceIdentity& d = record.device;

  const int slot_index = record.slot;
  link::ConnectionSlot& slot = link_.slot(slot_index);
  slot.live = 1;
  if (hooks_.reset_reorder_sequence) hooks_.reset_reorder_sequence(slot_index);

  // The second connection is opened once per session: a socket still connecting counts as
  // open too, or a repeated identity would restart it and drop what it already holds.
  if (d.generation > 1 && slot.socket_state[1] != link::kSocketActive && !slot.host.empty()) {
    link_.connect_socket(slot_index, slot.host, slot.port, 1);
  }

  if (hooks_.identity_received) hooks_.identity_received(slot_index, d);
  form_["Label_System1"].set_caption(d.os);
  form_["Label_System2"].set_caption(d.serial);
  form_["Label_System3"].set_caption(d.board);
  form_["Label_System4"].set_caption(d.number);
  form_["TabSheet6"].set_visible(d.title_support != 0);
  form_["TabSheet7"].set_visible(false);

  if (hooks_.write_machine_type) hooks_.write_machine_type(key);
}

void VaskChannel::on_refusal(uint32_t, std::span<const uint8_t>, VaskRecord& record) {
  const int slot_index = record.slot;
  link_.drop_session(slot_index, {});  // the refused hook tells the host why
  if (hooks_.refused) hooks_.refused(slot_index);
}

uint32_t VaskChannel::build_hello(std::span<uint8_t> out) {
  if (out.size() < kVaskPayloadSize) return 0;
  platform::ByteWriter w(out.first(kVaskPayloadSize));
  w.zeros(kVaskPayloadSize);
  w.seek(0);
  w.u32le(1);
  w.u32le(1);
  w.u8(0);
  w.u8(1);
  w.u16le(0x0811);
  w.u16le(0x1234);
  w.u16le(0);
  return kVaskPayloadSize;
}

uint32_t VaskChannel::build_identity(std::span<uint8_t> out) {
  if (out.size() < kVaskPayloadSize) return 0;
  platform::ByteWriter w(out.first(kVaskPayloadSize));
  w.zeros(kVaskPayloadSize);
  w.seek(0);
  w.u32le(16);  // channel count
  w.u32le(0);   // model variant
  w.u32le(1);   // title support
  write_text(w, kOsText, "[OS] 2.9.2_138ED");
  write_text(w, kSerialText, "[SN] 1234567890");
  write_text(w, kBoardText, "[B] REV:1.9");
  write_text(w, kNumberText, "[N] 7104");
  return kVaskPayloadSize;
}

}  // namespace tessomar::channels
