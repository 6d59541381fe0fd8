// The VDTT channel: moves the channel title set between the control and the DVR. The control
// fetches the title record when the Title tab opens, uploads the whole set on Apply (the DVR
// asks for each piece, at most 1152 bytes, and ends with block id 0), and stores a set the DVR
// pushes piece by piece, asking for each next piece itself.
//
// Message: common header, 32-byte sub-header (session key, mode, type 0 request / 1 data,
// block id, 16 reserved bytes), 32-byte piece header (offset, length, byte sum, 20 zero bytes),
// then for data the piece bytes. Little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "channels/title_set.h"
#include "link/link.h"

namespace tessomar::channels {

constexpr uint32_t kTagVdtt = link::make_tag("VDTT");
constexpr uint32_t kVdttBufferSize = 131072;
constexpr uint32_t kPieceHeaderSize = 32;

constexpr uint32_t kVdttRequest = 0;
constexpr uint32_t kVdttData = 1;
// Modes: a request of mode 0 asks for the whole record, mode 1 for a piece; data of mode 0 is
// a piece, mode 1 the whole record.
constexpr uint32_t kVdttModeWhole = 0;  // in a request
constexpr uint32_t kVdttModePiece = 1;  // in a request

// pendingRequest values.
constexpr int32_t kTitleNoRequest = 0;
constexpr int32_t kTitleFetch = 1;
constexpr int32_t kTitleUpload = 2;

// Per connection slot: the transfer state and the title set it moves.
struct TitleTransfer {
  int32_t pendingRequest = 0;
  int32_t previewClass = 1;
  int32_t uploadBusy = 0;
  int32_t bytesSent = 0;
  int32_t bytesTotal = 0;
  int32_t previewChannel = 0;
  std::array<int32_t, kTitleChannels> dirty{};
  // Per channel and size class: ink width, ink height, left and top of the rendered text.
  std::array<std::array<std::array<int32_t, 4>, kSizeClasses>, kTitleChannels> inkBoxes{};
  TitleSet set;
  int slot = 0;
};

// Calls into the title editor and the setup page. Unset hooks do nothing.
struct VdttHooks {
  // A whole title record arrived on the slot: the editor shows it.
  std::function<void(int slot)> refill_editor;
  // The title controls as one group.
  std::function<void(bool enabled)> titles_enabled;
  // The Title tab's title edits are cleared before a fetch.
  std::function<void()> clear_title_edits;
  // Whether the Title tab is the page control's current tab (for the progress bar).
  std::function<bool()> title_tab_shown;
  // The upload's progress in percent (0..100), while the Title tab is shown.
  std::function<void(int percent)> progress;
  // A download the DVR pushed has stored its last block (the set is complete on the slot).
  std::function<void(int slot)> pushed_set_stored;
};

class VdttChannel {
 public:
  explicit VdttChannel(link::Link& link);
  VdttChannel(const VdttChannel&) = delete;
  VdttChannel& operator=(const VdttChannel&) = delete;

  // Start-up: registers "VDTT" and resets both slots' transfer records.
  void register_vdtt();

  void VdttSend(uint32_t key, uint32_t mode, uint32_t type, uint32_t block_id, uint32_t offset,
                uint32_t length);

  // Every main-loop tick: slot 0's pending fetch or upload start goes out.
  void tick();
  // Every 0.3 s: the upload's progress while the Title tab is shown.
  void progress_tick();
  // The Title tab was refreshed: fetch the title record unless an upload runs.
  void title_fetch();
  // The Title tab's Apply: start uploading slot 0's set.
  void title_apply();

  TitleTransfer& transfer(int slot) { return *transfers_[size_t(slot)]; }
  const TitleTransfer& transfer(int slot) const { return *transfers_[size_t(slot)]; }
  VdttHooks& hooks() { return hooks_; }

 private:
  void on_message();
  void send(const link::ChannelRequest& request);

  link::Link& link_;
  VdttHooks hooks_;
  std::array<std::unique_ptr<TitleTransfer>, link::kSlotCount> transfers_;
  std::unique_ptr<std::array<uint8_t, kVdttBufferSize>> buffer_;
};

}  // namespace tessomar::channels
