// The ICMD channel: view commands and remote settings, both directions, on each connection
// slot. A message names one record (view state or setup record) by id and carries its image;
// the channel copies images between the wire and the slot's SessionState, answers queries,
// relays some sets to the other slot and re-enables setup controls that got no answer.
//
// Sub-header (32 bytes, little-endian): session key, operation, record id, sender's mode,
// sequence number, 12 reserved bytes; the record image follows.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "channels/session_state.h"
#include "link/link.h"
#include "link/wire.h"
#include "platform/dialogs.h"

namespace tessomar::channels {

constexpr uint32_t kTagIcmd = link::make_tag("ICMD");
constexpr uint32_t kIcmdBufferSize = 2048;

// Operations.
constexpr uint32_t kOpQuery = 1;
constexpr uint32_t kOpSet = 2;
constexpr uint32_t kOpReport = 4;

// Record ids.
constexpr uint32_t kRecordLive = 256;
constexpr uint32_t kRecordPlayback = 512;
constexpr uint32_t kRecordBackup = 1024;
constexpr uint32_t kRecordNone = 2048;  // unnamed mode 4, no image
constexpr uint32_t kRecordSetup = 4096;

// Setup sub-ids.
constexpr uint32_t kSetupBitrate = 1;
constexpr uint32_t kSetupPppoe = 2;
constexpr uint32_t kSetupDdns = 4;
constexpr uint32_t kSetupMail = 8;
constexpr uint32_t kSetupMailInterval = 16;

// Setup control groups.
constexpr int kGroupBitrate = 0;
constexpr int kGroupPppoe = 1;
constexpr int kGroupDdns = 2;
constexpr int kGroupMail = 3;

// Setup record image: 72-byte header (sub-id, total length, byte sum of the data, reserved),
// then the setting image.
constexpr uint32_t kSetupHeaderSize = 72;

constexpr int32_t kReenableTicks = 1000;  // a disabled group comes back after this many ticks
constexpr int32_t kGroupIdle = 1001;

// A request as the channel's send reads it from the registry's record.
struct IcmdRequest {
  uint32_t key = 0;
  uint32_t operation = 0;
  uint32_t record_id = 0;
  uint32_t value = 0;  // setup sub-id for record 4096, else 0
};

// Calls out of the channel into other subsystems. Unset hooks do nothing (and the hello
// first word reads as 0, so nothing is relayed).
struct IcmdHooks {
  // First word of the hello last received on a slot (its VASK record).
  std::function<uint32_t(int slot)> hello_first_word;
  // Sending a view state or setup record starts a new video request: drop reordered frames.
  std::function<void(int slot)> clear_reorder_table;
  // A live view state arrived while in Live mode: the key form shows that view.
  std::function<void(int layout, int first_channel, int selected_channel)> show_live_layout;
  // A setup record was stored (or confirmed): the tab shows the local image.
  std::function<void(uint32_t sub_id, const SessionState& state)> refill_tab;
  // The setup controls of a group were enabled or disabled.
  std::function<void(int group, bool enabled)> group_enabled;
};

class IcmdChannel {
 public:
  IcmdChannel(link::Link& link, platform::Dialogs& dialogs);
  IcmdChannel(const IcmdChannel&) = delete;
  IcmdChannel& operator=(const IcmdChannel&) = delete;

  // Start-up: registers "ICMD" with the link and sets both slots' session states to their
  // initial values.
  void register_icmd();

  // Queues one ICMD message on the slot with that key; nothing when no slot has the key.
  void IcmdSend(uint32_t key, uint32_t operation, uint32_t record_id, uint32_t value);

  // Every main-timer tick: counts slot 0's disabled setup groups towards re-enabling.
  void reenable_tick();

  SessionState& session(int slot) { return sessions_[slot]; }
  const SessionState& session(int slot) const { return sessions_[slot]; }

  // A setup group's enable or disable: its counter (slot 0's) becomes 1001 or 0, then the
  // group_enabled hook runs. The bitrate group is always enabled, whatever is asked.
  void enable_group(int group, bool enable);

  IcmdHooks& hooks() { return hooks_; }

 private:
  using Builder = uint32_t (IcmdChannel::*)(std::span<uint8_t> out, SessionState& state,
                                            uint32_t value, uint32_t record_id);
  using Receiver = uint32_t (IcmdChannel::*)(std::span<const uint8_t> image, SessionState& state,
                                             uint32_t operation, int32_t mode, uint32_t record_id);
  using OperationHandler = void (IcmdChannel::*)(int slot, std::span<const uint8_t> sub_header,
                                                 std::span<const uint8_t> image);

  struct OperationRow {
    uint32_t operation;
    OperationHandler handler;
  };
  struct IdRow {
    int in_use;
    uint32_t record_id;
    uint32_t operation_mask;  // operations that carry an image
    uint32_t relay_mask;      // operation bits and record id bits that are relayed
    uint32_t hello_mask;      // tested against the first word of the slot's received hello
    uint32_t min_image;       // shortest image the receive handler accepts
    Builder build;
    Receiver receive;
  };
  struct SubIdRow {
    uint32_t sub_id;
    std::span<uint8_t> (*image)(SessionState&);
    int group;
  };

  static const OperationRow kOperations[3];
  static const IdRow kIds[5];
  static const SubIdRow kSubIds[5];
  static const IdRow* find_id(uint32_t record_id);
  static const SubIdRow* find_sub_id(uint32_t sub_id);

  void on_message();
  void send(const IcmdRequest& request);

  void handle_query(int slot, std::span<const uint8_t> sub_header, std::span<const uint8_t> image);
  void handle_store(int slot, std::span<const uint8_t> sub_header, std::span<const uint8_t> image);
  void relay(int origin, uint32_t record_id, uint32_t result);

  uint32_t build_view(std::span<uint8_t> out, SessionState& state, uint32_t value,
                      uint32_t record_id);
  uint32_t build_setup(std::span<uint8_t> out, SessionState& state, uint32_t value,
                       uint32_t record_id);

  uint32_t receive_live(std::span<const uint8_t> image, SessionState& state, uint32_t operation,
                        int32_t mode, uint32_t record_id);
  uint32_t receive_view(std::span<const uint8_t> image, SessionState& state, uint32_t operation,
                        int32_t mode, uint32_t record_id);
  uint32_t receive_nothing(std::span<const uint8_t> image, SessionState& state, uint32_t operation,
                           int32_t mode, uint32_t record_id);
  uint32_t receive_setup(std::span<const uint8_t> image, SessionState& state, uint32_t operation,
                         int32_t mode, uint32_t record_id);

  void clear_reorder_table(int slot);

  link::Link& link_;
  platform::Dialogs& dialogs_;
  IcmdHooks hooks_;
  std::array<SessionState, link::kSlotCount> sessions_;
  // Shared by both slots and both directions: a receive handler takes what it needs from a
  // received message before it sends.
  std::array<uint8_t, kIcmdBufferSize> buffer_{};
};

}  // namespace tessomar::channels
