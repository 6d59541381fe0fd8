// The QuickTime movie writer of a backup: one ".mov" file at a time, from its 48-byte start
// through the media samples (H.264 pictures with filler pictures for gaps, one text sample
// per second with the date and time, 8-bit audio chunks), the 4096-byte diagnostic trailer,
// and the movie atom with the sealed watermark record behind it.
//
// Every write goes to an explicit offset of the current file: the writer keeps its own
// position and each write opens the file, writes there and closes it again, so nothing stays
// open between items. A write that fails is remembered (write_failed()); the backup job then
// ends the backup instead of reporting success over lost data.
//
// Typical use by the backup job, per file:
//   writer.beginMovie(start, end);           // after creating the empty file
//   writer.shiftWindow(offset);              // the DVR's time offset, once
//   while (items) { if (writer.checkItem(item) ...) ...; writer.appendItems(item); }
//   if (writer.sampleCount() > 0) {
//     uint32_t size = writer.finishMediaData();
//     writer.writeMovieAtom();
//     writer.write_mdat_size(size);
//   }
// UI thread only.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "channels/ictl.h"

namespace tessomar::recording {

// Limits of the sample tables; an item that would pass one ends the file.
constexpr uint32_t kMaxVideoSamples = 65536;
constexpr uint32_t kMaxKeyFrames = 4096;
constexpr uint32_t kMaxAudioChunks = 32768;
constexpr uint32_t kMaxChunkRunBytes = 131072;  // 12 bytes per run
constexpr uint32_t kMaxTextSamples = 8192;

constexpr uint32_t kFileStartSize = 48;
constexpr uint32_t kMediaDataStart = 40;  // offset of the mdat size field
constexpr uint32_t kTrailerSize = 4096;
constexpr uint32_t kTextSampleSize = 58;
constexpr uint32_t kFillerSize = 32;
constexpr uint32_t kBlockSize = 64;  // the 00 00 00 02 block behind every picture
constexpr uint32_t kAudioRate = 8000;
// An audio block this far (in samples) ahead of the audio written is preceded by fill.
constexpr uint32_t kMinAudioFill = 800;
// Pictures more than this many seconds past the window end end the file.
constexpr uint32_t kWindowEndSlack = 5;
constexpr uint32_t kMaxFileSeconds = 1800;  // a file holds at most 30 minutes of samples

// checkItem results.
constexpr int kItemRefused = -1;  // a limit was reached: close the file and end the backup
constexpr int kItemFits = 0;
constexpr int kItemSplit = 1;  // the file holds 30 minutes: a new file at the next key frame

// Codes of the diagnostic record.
constexpr uint32_t kDiagKeyFramesFull = 5;
constexpr uint32_t kDiagSamplesFull = 6;
constexpr uint32_t kDiagTextFull = 7;
constexpr uint32_t kDiagPastWindowEnd = 9;
constexpr uint32_t kDiagFieldFactorA = 11;  // 11..14: factor a, b, c or d differs

// The 48-byte diagnostic record at the start of every file's trailer; process-wide, never
// reset. Little-endian: "pqrs", code, value, limit, 28 zero bytes, "tuvw".
struct DiagnosticRecord {
  uint32_t code = 0;
  uint32_t value = 0;
  uint32_t limit = 0;
  std::array<uint8_t, 48> bytes() const;
};

// Watermark record offsets (little-endian words in the "Vask_Watermark_Var_W" buffer).
constexpr size_t kWatermarkChecksum = 0;
constexpr size_t kWatermarkSeedCopy = 4;
constexpr size_t kWatermarkPictureBytes = 8;  // bytes 8..11 from the first key frame
constexpr size_t kWatermarkSeed = 36;         // written by the DVR's answer
constexpr size_t kWatermarkSealedChecksum = 136;
constexpr size_t kWatermarkSealedSeed = 144;
constexpr size_t kWatermarkSum = 156;

// The modulus and exponent that seal the checksum and seed bytes.
struct WatermarkParameters {
  uint32_t modulus = 0;   // product of two three-digit primes; 0 disables the sealing
  uint32_t exponent = 0;  // one digit, coprime with (p - 1)(q - 1)
};
// enc(x) = x^e mod n, computed by repeated multiplication from 1; 0 when n is 0.
uint16_t watermark_encode(uint8_t x, const WatermarkParameters& p);
// Seals a 160-byte record in place: encoded checksum and seed bytes, words 0 and 1 cleared,
// the 39 words rotated left by one bit, their sum at offset 156.
void seal_watermark(std::span<uint8_t, channels::kWatermarkVarsSize> record,
                    const WatermarkParameters& p);

// The twelve filler pictures by picture size; sizes not listed take the 40 x 30 row.
std::array<uint8_t, kFillerSize> filler_picture(int width_mbs, int height_mbs);
// Bytes 5 and 6 of a predicted picture with frame number i (0..15): 0x9A01 + 32 i, big-endian.
std::array<uint8_t, 2> frame_number_bytes(uint32_t i);
// The 58-byte text sample of device time t: "YYYY/MM/DD hh:mm:ss   " twice.
std::array<uint8_t, kTextSampleSize> text_sample(uint32_t t);

// Writes at explicit offsets of a named file; each call opens, writes and closes.
// Returns false when the file could not be opened or the bytes not all written.
bool write_at(const std::string& path, uint64_t offset, std::span<const uint8_t> bytes);
// The pieces back to back from offset, with one open.
bool write_at(const std::string& path, uint64_t offset,
              std::span<const std::span<const uint8_t>> pieces);

// Items in a buffer: the count the first header names (byte 15, bits 0 to 3, plus one),
// clipped to the items whose 32-byte headers lie inside the buffer; 0 without a header.
uint32_t item_count(std::span<const uint8_t> items);

class MovieWriter {
 public:
  // `ictl` carries the watermark request and holds the record the DVR fills in.
  explicit MovieWriter(channels::IctlChannel& ictl);
  ~MovieWriter();
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;

  // The file every write goes to (the backup job's current file name).
  void set_file(std::string path) { path_ = std::move(path); }
  const std::string& file() const { return path_; }

  // A new file covering [start, end] of device time; the rest is set by its first key frame.
  void beginMovie(uint32_t window_start, uint32_t window_end);
  // The window moves back by the DVR's time offset.
  void shiftWindow(int32_t offset);
  // Whether the item buffer (one or more items) may go into this file: kItemRefused,
  // kItemFits or kItemSplit.
  int checkItem(std::span<const uint8_t> items);
  // Writes the items (pictures, audio blocks); 0 when the window is complete, -1 after an
  // invalid item, another non-zero value otherwise. Payloads are changed in place (length
  // word and frame-number bytes), hence the mutable span.
  int appendItems(std::span<uint8_t> items);
  // The trailer; returns the mdat size (from offset 40 to the trailer's end).
  uint32_t finishMediaData();
  // The moov atom, the sealed watermark record and the padding to 512, at the position.
  void writeMovieAtom();
  // The mdat size at offset 40.
  void write_mdat_size(uint32_t size);
  // Asks the DVR for the watermark variables of a channel (nothing is sent for key 0).
  void requestWatermark(uint32_t session_key, uint32_t channel);
  // Start-up: the sealing parameters.
  void setWatermarkParameters();
  const WatermarkParameters& watermark_parameters() const;

  // A write to the current file failed since beginMovie.
  bool write_failed() const { return write_failed_; }
  uint32_t sampleCount() const;
  void clear_samples();  // the job's "sample count = 0" after closing a file
  uint32_t position() const;
  uint32_t window_start() const;
  uint32_t window_end() const;
  uint32_t fps() const;
  const DiagnosticRecord& diagnostics() const;
  // The watermark record buffer (the ICTL slot's).
  std::span<uint8_t, channels::kWatermarkVarsSize> watermark();

  // The writer's state and tables, for the movie atom and tests (recording/movie_state.h).
  struct State;
  const State& state() const { return *state_; }

 private:
  channels::IctlChannel& ictl_;
  std::string path_;
  bool write_failed_ = false;
  std::unique_ptr<State> state_;  // fixed tables sized for the limits, allocated once
  std::unique_ptr<std::array<uint8_t, 1u << 20>> scratch_;  // audio samples, the movie atom

  struct Item;
  int append_item(std::span<uint8_t> item, bool& wrote_first_sample);
  bool start_file(const Item& item);
  bool write_text_samples(const Item& item);
  bool fill_gap(const Item& item, std::span<uint8_t> payload);
  bool accept_audio(const Item& item);
  void append_audio(const Item& item, std::span<const uint8_t> item_bytes);
  void append_video(const Item& item, std::span<uint8_t> item_bytes, bool& wrote_first_sample);
  bool add_chunk(uint32_t samples);
  void write(uint64_t offset, std::span<const std::span<const uint8_t>> pieces);
  void write(uint64_t offset, std::span<const uint8_t> bytes);
};

}  // namespace tessomar::recording
