// The per-slot session state: the session mode, the three view state images and the setup
// images that the ICMD channel copies between the wire and the setup tabs. One record exists
// per connection slot, owned by the ICMD channel. UI thread only.
#pragma once

#include <array>
#include <cstdint>

#include "platform/bytes.h"

namespace tessomar::channels {

// Session modes, as carried in the ICMD sub-header.
constexpr int32_t kModeLive = 0;
constexpr int32_t kModePlayback = 1;
constexpr int32_t kModeBackup = 2;
constexpr int32_t kModeSetup = 3;
constexpr int32_t kModeNone = 4;  // exists in the protocol; no user action selects it

constexpr uint32_t kViewImageSize = 64;

// Live view state image (record 256).
constexpr uint32_t kLiveLayout = 0;        // 0 single, 1 four-way, 2 nine-way, 3 sixteen-way
constexpr uint32_t kLiveFirstChannel = 4;  // first channel of the split page
constexpr uint32_t kLiveSelectedChannel = 8;
constexpr uint32_t kLiveChannelMask = 12;  // bit c and bit 31 when channel c was selected
constexpr uint32_t kLiveWidth = 16;
constexpr uint32_t kLiveHeight = 20;

// Playback state image (record 512).
constexpr uint32_t kPlaybackChannel = 8;
constexpr uint32_t kPlaybackState = 12;
constexpr uint32_t kPlaybackDirection = 16;
constexpr uint32_t kPlaybackStart = 20;

// Backup state image (record 1024).
constexpr uint32_t kBackupChannel = 8;
constexpr uint32_t kBackupState = 12;  // 0 idle, 1 running, 2 finishing
constexpr uint32_t kBackupStart = 16;
constexpr uint32_t kBackupEnd = 20;

// Setting image sizes (setup sub-ids 1, 2, 4, 8, 16).
constexpr uint32_t kBitrateSize = 4;
constexpr uint32_t kPppoeSize = 68;
constexpr uint32_t kDdnsSize = 116;
constexpr uint32_t kMailSize = 256;
constexpr uint32_t kMailIntervalSize = 256;

constexpr int kSetupGroupCount = 4;
constexpr int kDdnsProviderPositions = 8;

struct SessionState {
  int32_t mode = kModeLive;
  uint32_t sendSequence = 0;  // incremented before each ICMD send; the first carries 1
  std::array<uint8_t, kViewImageSize> live{};
  std::array<uint8_t, kViewImageSize> playback{};
  std::array<uint8_t, kViewImageSize> backup{};
  // Per setup group (bitrate, PPPoE, DDNS, mail): ticks since the group was disabled;
  // 1001 means idle. Only slot 0's counters are ticked and used by the setup groups.
  std::array<int32_t, kSetupGroupCount> reenableCounters{};
  uint32_t pendingSetup = 0;  // setup sub-ids sent with a set and not yet seen come back
  std::array<int32_t, kDdnsProviderPositions> ddnsProviderMap{};
  std::array<uint8_t, kBitrateSize> bitrate{};
  std::array<uint8_t, kPppoeSize> pppoe{};
  std::array<uint8_t, kDdnsSize> ddns{};
  std::array<uint8_t, kMailSize> mail{};
  std::array<uint8_t, kMailIntervalSize> mailInterval{};
  int slot = 0;  // index of the connection slot that owns this record
};

// Start-up values: all zero except bitrate 9 ("Intranet") and the live view's 704 x 576.
inline void init_session_state(SessionState& s, int slot) {
  s = SessionState{};
  s.slot = slot;
  platform::ByteWriter(s.bitrate).u32le(9);
  platform::ByteWriter live(s.live);
  live.seek(kLiveWidth);
  live.u32le(704);
  live.seek(kLiveHeight);
  live.u32le(576);
}

}  // namespace tessomar::channels
