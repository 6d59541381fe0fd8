#include "channels/ictl.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/bytes.h"

namespace tessomar::channels {

namespace {
// Sub-header words.
constexpr size_t kSubKey = 0;
constexpr size_t kSubType = 8;
constexpr size_t kSubNotify = 12;
// Write header of a named write.
constexpr size_t kBodyLength = 0;
constexpr size_t kBodyName = 4;

constexpr size_t kNameMax = kSlotNameSize - 1;

std::array<char, kSlotNameSize> make_name(std::string_view name) {
  std::array<char, kSlotNameSize> out{};
  name = name.substr(0, kNameMax);
  std::copy(name.begin(), name.end(), out.begin());
  return out;
}

std::string_view name_view(const std::array<char, kSlotNameSize>& name) {
  return std::string_view(name.data(), strnlen(name.data(), name.size()));
}
}  // namespace

const std::array<IctlChannel::Row, 2> IctlChannel::kRows = {{
    {kIctlNamedWrite, &IctlChannel::on_named_write, &IctlChannel::build_named_write},
    {kIctlIgnored, &IctlChannel::on_ignored, &IctlChannel::build_empty},
}};

IctlChannel::IctlChannel(link::Link& link, platform::Form& form, platform::Dialogs& dialogs)
    : link_(link),
      form_(form),
      dialogs_(dialogs),
      buffer_(std::make_unique<std::array<uint8_t, kIctlBufferSize>>()) {}

const IctlChannel::Row* IctlChannel::find_row(uint32_t type) {
  for (const Row& r : kRows) {
    if (r.type == type) return &r;
  }
  return nullptr;
}

void IctlChannel::register_ictl() {
  link_.register_channel(
      kIctlTag, [this] { on_message(); },
      [this](const link::ChannelRequest& r) {
        send(IctlRequest{r.key, r.op, r.arg, make_name(r.name), r.data});
      },
      *buffer_);
  slots_ = {};
}

void IctlChannel::declare_slots() {
  SlotRegister("Vask_Watermark_Var_R", buffers_.watermark_request, nullptr);
  SlotRegister("Vask_Watermark_Var_W", buffers_.watermark_vars, nullptr);
  SlotRegister("Vask_Upnp_C_Data_W", buffers_.upnp_word, nullptr);
  SlotRegister("Vask_Upnp_C_Data_R", buffers_.upnp_word, [this](uint32_t key) {
    if (hooks_.upnp_display) hooks_.upnp_display(key);
  });
  SlotRegister("Vask_Mach_Type_Data_W", buffers_.machine_type, nullptr);
  SlotRegister("Vask_Mach_Type_Data_R", buffers_.machine_type,
               [this](uint32_t key) { machine_type_read(key); });
  SlotRegister("Vask_ACK_R", buffers_.ack_word, [this](uint32_t key) { ack_read(key); });
}

int IctlChannel::SlotRegister(std::string_view name, std::span<uint8_t> buffer,
                              std::function<void(uint32_t key)> notify) {
  for (int i = 0; i < kNamedSlotCount; ++i) {
    NamedDataSlot& e = slots_[i];
    if (e.in_use) continue;
    e.in_use = 1;
    e.name = make_name(name);
    e.buffer = buffer;
    e.notify = std::move(notify);
    return i;
  }
  return -1;
}

void IctlChannel::SlotWrite(uint32_t key, std::string_view name, std::span<const uint8_t> data,
                            int notify) {
  link::ChannelRequest request(key, kIctlNamedWrite, uint32_t(notify));
  request.name = name;
  request.data = data;
  link_.send_by_tag(kIctlTag, request);
}

void IctlChannel::send(const IctlRequest& req) {
  int slot = link_.find_slot_by_key(req.key);
  if (slot < 0) return;

  std::span<uint8_t> buf(*buffer_);
  constexpr size_t kHeaders = link::kMessageHeaderSize + link::kSubHeaderSize;
  // A write that cannot fit the buffer is dropped rather than sent cut short.
  if (req.type == kIctlNamedWrite && kWriteHeaderSize + req.data.size() > buf.size() - kHeaders) {
    return;
  }
  platform::ByteWriter w(buf.first(kHeaders));
  w.zeros(4);  // total length, written on queueing
  w.u32le(kIctlTag);
  w.zeros(link::kMessageHeaderSize - 8);
  w.u32le(req.key);
  w.u32le(0);
  w.u32le(req.type);
  w.u32le(req.notify);
  w.zeros(link::kSubHeaderSize - 16);

  uint32_t payload = 0;
  if (const Row* row = find_row(req.type); row && row->build) {
    payload = row->build(req, buf.subspan(kHeaders));
  }
  link_.finish_and_queue(slot, buf, payload);
}

uint32_t IctlChannel::build_named_write(const IctlRequest& request, std::span<uint8_t> out) {
  const size_t total = kWriteHeaderSize + request.data.size();
  if (total > out.size()) return 0;
  platform::ByteWriter w(out.first(total));
  w.zeros(kWriteHeaderSize);
  w.seek(kBodyLength);
  w.u32le(uint32_t(total));
  w.seek(kBodyName);
  w.text(name_view(request.name));
  w.seek(kWriteHeaderSize);
  if (!request.data.empty()) w.bytes(request.data.data(), request.data.size());
  return uint32_t(total);
}

void IctlChannel::on_message() {
  const std::span<const uint8_t> buf(*buffer_);
  uint32_t length = std::min<uint32_t>(link_.last_message_length(kIctlTag), kIctlBufferSize);
  if (length < link::kSubHeaderSize) return;
  // The key is not looked up here: it is only handed on to the notification.
  platform::ByteReader r(buf.first(length));
  r.seek(kSubKey);
  const uint32_t key = r.u32le();
  r.seek(kSubType);
  const uint32_t type = r.u32le();
  const uint32_t notify = r.u32le();  // kSubNotify follows the type
  const Row* row = find_row(type);
  if (!row || !row->receive) return;
  (this->*row->receive)(key, notify,
                        buf.subspan(link::kSubHeaderSize, length - link::kSubHeaderSize));
}

void IctlChannel::on_named_write(uint32_t key, uint32_t notify, std::span<const uint8_t> body) {
  if (body.size() < kWriteHeaderSize) return;
  platform::ByteReader r(body);
  r.seek(kBodyLength);
  const uint32_t body_length = r.u32le();
  // The declared length must cover the write header and stay within what arrived.
  if (body_length < kWriteHeaderSize || body_length > body.size()) return;
  const size_t data_size = body_length - kWriteHeaderSize;
  const char* name_bytes = reinterpret_cast<const char*>(body.data() + kBodyName);
  std::string_view name(name_bytes, strnlen(name_bytes, kSlotNameSize));

  for (NamedDataSlot& e : slots_) {
    if (!e.in_use || name_view(e.name) != name) continue;
    // An entry of size 0 has no buffer of its own: it takes only empty writes.
    if (!e.buffer.empty() && e.buffer.size() != data_size) return;
    if (data_size != 0) {
      if (e.buffer.empty()) return;
      std::copy_n(body.begin() + kWriteHeaderSize, data_size, e.buffer.begin());
    }
    if (notify == 1 && e.notify) e.notify(key);
    return;
  }
}

void IctlChannel::machine_type_read(uint32_t) {
  platform::ByteReader r(buffers_.machine_type);
  r.seek(8);
  if (r.u32le() == 1) form_["TabSheet7"].set_visible(true);
}

void IctlChannel::ack_read(uint32_t) {
  if (platform::ByteReader(buffers_.ack_word).u32le() == 1) {
    dialogs_.message_box("Setup Successful.", "Setup Information");
  }
  platform::ByteWriter(buffers_.ack_word).u32le(0);
}

}  // namespace tessomar::channels
