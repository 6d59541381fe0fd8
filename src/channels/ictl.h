// The ICTL channel and its named data slots: small named blocks kept in step with the DVR.
// Writing a slot sends its name and bytes; when the DVR writes a slot its bytes land in the
// slot's buffer and, when it asks for it, the slot's notification runs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "link/link.h"
#include "platform/dialogs.h"
#include "platform/form.h"

namespace tessomar::channels {

constexpr uint32_t kIctlTag = link::make_tag("ICTL");
constexpr size_t kIctlBufferSize = 65536;
constexpr int kNamedSlotCount = 40;
constexpr size_t kSlotNameSize = 128;  // with its NUL
constexpr size_t kWriteHeaderSize = 256;
constexpr size_t kMachineTypeSize = 960;
constexpr size_t kWatermarkVarsSize = 160;

enum IctlType : uint32_t { kIctlNamedWrite = 0, kIctlIgnored = 1 };

// Buffers of the seven slots registered at start-up; the movie writer and the setup pages
// read and fill them here.
struct NamedDataBuffers {
  std::array<uint8_t, kMachineTypeSize> machine_type{};      // "Vask_Mach_Type_Data_W" and "_R"
  std::array<uint8_t, 4> upnp_word{};                        // "Vask_Upnp_C_Data_W" and "_R"
  std::array<uint8_t, 4> watermark_request{};                // "Vask_Watermark_Var_R"
  std::array<uint8_t, kWatermarkVarsSize> watermark_vars{};  // "Vask_Watermark_Var_W"
  std::array<uint8_t, 4> ack_word{};                         // "Vask_ACK_R"
};

struct NamedDataSlot {
  int in_use = 0;
  std::array<char, kSlotNameSize> name{};
  std::span<uint8_t> buffer;  // its size is the slot's size; empty accepts only empty writes
  std::function<void(uint32_t key)> notify;
};

struct IctlHooks {
  // The DVR wrote the UPnP word: refresh the UPnP page.
  std::function<void(uint32_t key)> upnp_display;
};

// Send request: the first word is the session key. `name` is NUL-terminated.
struct IctlRequest {
  uint32_t key = 0;
  uint32_t type = kIctlNamedWrite;
  uint32_t notify = 0;
  std::array<char, kSlotNameSize> name{};
  std::span<const uint8_t> data;
};

class IctlChannel {
 public:
  IctlChannel(link::Link& link, platform::Form& form, platform::Dialogs& dialogs);
  IctlChannel(const IctlChannel&) = delete;
  IctlChannel& operator=(const IctlChannel&) = delete;

  IctlHooks& hooks() { return hooks_; }
  NamedDataBuffers& buffers() { return buffers_; }
  const NamedDataBuffers& buffers() const { return buffers_; }

  // Start-up: registers the channel and clears the slot table.
  void register_ictl();
  // Start-up, after register_ictl(): the seven slots the control uses.
  void declare_slots();

  // Takes the first free entry and returns its index; -1 when all 40 are used. Names are
  // cut at 127 characters.
  int SlotRegister(std::string_view name, std::span<uint8_t> buffer,
                   std::function<void(uint32_t key)> notify);
  // Sends a named write of the bytes; dropped when no slot has the key or the message
  // cannot be queued.
  void SlotWrite(uint32_t key, std::string_view name, std::span<const uint8_t> data, int notify);

  const std::array<NamedDataSlot, kNamedSlotCount>& slots() const { return slots_; }

 private:
  using Receive = void (IctlChannel::*)(uint32_t key, uint32_t notify,
                                        std::span<const uint8_t> body);
  using Build = uint32_t (*)(const IctlRequest& request, std::span<uint8_t> out);
  struct Row {
    uint32_t type;
    Receive receive;
    Build build;
  };
  static const std::array<Row, 2> kRows;
  static const Row* find_row(uint32_t type);

  void on_message();
  void send(const IctlRequest& req);

  void on_named_write(uint32_t key, uint32_t notify, std::span<const uint8_t> body);
  void on_ignored(uint32_t, uint32_t, std::span<const uint8_t>) {}
  static uint32_t build_named_write(const IctlRequest& request, std::span<uint8_t> out);
  static uint32_t build_empty(const IctlRequest&, std::span<uint8_t>) { return 0; }

  // Notifications of the registered slots.
  void machine_type_read(uint32_t key);
  void ack_read(uint32_t key);

  link::Link& link_;
  platform::Form& form_;
  platform::Dialogs& dialogs_;
  IctlHooks hooks_;
  NamedDataBuffers buffers_;
  std::array<NamedDataSlot, kNamedSlotCount> slots_;
  // Allocated once with the channel; shared by sending and receiving.
  std::unique_ptr<std::array<uint8_t, kIctlBufferSize>> buffer_;
};

}  // namespace tessomar::channels
