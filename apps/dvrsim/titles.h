// The simulated DVR's channel titles and its side of the VDTT channel.
//
// The DVR keeps one title set (the 1160-byte title record and the four size classes of one-bit
// bitmaps) and draws each channel's class-0 bitmap on its live video. It answers the control:
//   - data of block 16 at offset 0 starts an upload: the DVR asks for every piece of blocks
//     16, 1, 2, 3 and 4 (1152 bytes at most, a few requests in flight, lost ones asked again),
//     takes the set when its title set sum matches, and ends with a request of block id 0;
//   - a request of mode 0 (block 17) gets the whole title record;
//   - a piece request (mode 1) gets that piece of the set; block id 0 ends a pushed download.
// With a push file every new session is sent the set's first piece, and the control then
// asks for the rest. With a data directory the set lives in DIR/titles.vdtt.
//
//   TitlesChannel titles(clock);
//   titles.use_data_dir(dir, error);   // optional
//   video.set_titles(&titles.channel_titles());
//   titles.attach(sim);
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "channels/title_set.h"
#include "dvrsim/channels.h"
#include "dvrsim/scene.h"
#include "link/wire.h"
#include "platform/clock.h"

namespace tessomar::dvrsim {

class Simulator;

constexpr uint32_t kVdttTag = link::make_tag("VDTT");

// The title file: header (total size, "VDTT", version, chunk count) and five chunks
// (size = data + 8, id, data) of blocks 16, 1, 2, 3 and 4.
constexpr uint32_t kTitleFileSize = 115648;
constexpr uint32_t kTitleFileVersion = 0x01000003;
constexpr uint32_t kTitleFileChunks = 5;

std::vector<uint8_t> encode_title_file(const channels::TitleSet& set);
// Takes a title file whole or not at all: exactly 115648 bytes, magic "VDTT" (or "vdtt"), the
// version, five chunks that are each of the five blocks once with its exact size. False with
// a one-line reason otherwise; `set` is unchanged then.
bool decode_title_file(std::span<const uint8_t> file, channels::TitleSet& set, std::string& why);

class TitlesChannel {
 public:
  // Requests of an upload in flight at once.
  static constexpr size_t kUploadWindow = 4;
  // A piece asked for and not answered in this long is asked for again.
  static constexpr uint32_t kRetryMs = 2000;

  // The clock times the piece requests; it must outlive the channel.
  explicit TitlesChannel(const platform::Clock& clock);
  TitlesChannel(const TitlesChannel&) = delete;
  TitlesChannel& operator=(const TitlesChannel&) = delete;

  // Keeps the set in DIR/titles.vdtt from now on: loads the file when it exists (refusing a
  // damaged one). False with the reason.
  bool use_data_dir(const std::string& dir, std::string& error);
  // Takes the set of a title file and pushes it to every session opened from now on. False
  // with the reason (the set is unchanged then).
  bool push_file(const std::string& path, std::string& error);

  // Registers the VDTT handler, a session listener and a tick hook; the channel must outlive
  // the simulator's use of them. False when VDTT already has a handler.
  bool attach(Simulator& sim);

  const channels::TitleSet& set() const { return set_; }
  // Replaces the set (and writes it to the data directory, if any).
  void store(const channels::TitleSet& set);
  // The class-0 bitmaps of the set, for the live pictures.
  const ChannelTitles& channel_titles() const { return titles_; }
  // Uploads taken since start.
  uint32_t uploads_stored() const { return uploads_stored_; }

 private:
  struct Piece {
    uint32_t block, offset, length;
  };
  struct Upload {
    channels::TitleSet staging;
    std::vector<uint8_t> received;   // per piece
    std::vector<uint32_t> asked_at;  // per piece: when last asked for; 0 never
    size_t next = 0;                 // next piece never asked for
    size_t done = 0;
  };

  void on_message(ChannelContext& ctx, const ChannelMessage& m);
  void on_piece(uint32_t key, uint32_t block, uint32_t offset, std::span<const uint8_t> data,
                uint32_t sum);
  void ask(uint32_t key, Upload& u, size_t piece);
  void fill_window(uint32_t key, Upload& u);
  void finish(uint32_t key, Upload& u);
  void tick();
  bool send(uint32_t key, uint32_t mode, uint32_t type, uint32_t block, uint32_t offset,
            std::span<const uint8_t> data);
  void save() const;

  const platform::Clock& clock_;
  Simulator* sim_ = nullptr;
  channels::TitleSet set_;
  ChannelTitles titles_;
  std::vector<Piece> pieces_;
  std::map<uint32_t, std::unique_ptr<Upload>> uploads_;
  bool push_ = false;
  std::string path_;
  uint32_t uploads_stored_ = 0;
};

}  // namespace tessomar::dvrsim
