#include "dvrsim/titles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dvrsim/data_file.h"
#include "dvrsim/server.h"
#include "platform/bytes.h"

namespace tessomar::dvrsim {

namespace {

using channels::kBlockClass0;
using channels::kBlockEnd;
using channels::kBlockRecord;
using channels::kBlockWholeRecord;

using channels::kSizeClasses;
using channels::kTitlePieceMax;
using channels::kTitleRecordSize;
using channels::TitleSet;

constexpr const char* kFileName = "/titles.vdtt";
constexpr size_t kFileHeaderSize = 16;
constexpr size_t kChunkHeaderSize = 8;
constexpr size_t kPieceHeaderSize = 32;

// Message words after the session key.
constexpr size_t kWordMode = 36;
constexpr size_t kWordType = 40;
constexpr size_t kWordBlock = 44;

constexpr uint32_t kTypeRequest = 0;
constexpr uint32_t kTypeData = 1;
// In a request: 0 the whole record, 1 a piece. In data: 0 a piece, 1 the whole record.
constexpr uint32_t kRequestWhole = 0;
constexpr uint32_t kRequestPiece = 1;
constexpr uint32_t kDataPiece = 0;
constexpr uint32_t kDataWhole = 1;

// The file's and the upload's order of blocks.
constexpr std::array<uint32_t, 5> kBlockOrder = {kBlockRecord, kBlockClass0, kBlockClass0 + 1,
                                                 kBlockClass0 + 2, kBlockClass0 + 3};

// The block of a known id; the title set maps every other id to the record.
std::span<uint8_t> block_of(TitleSet& set, uint32_t id) { return set.block_by_id(id); }
std::span<const uint8_t> block_of(const TitleSet& set, uint32_t id) {
  if (id >= kBlockClass0 && id < kBlockClass0 + kSizeClasses) return set.block(int(id - 1));
  return set.record;
}

void copy_set(const TitleSet& from, TitleSet& to) {
  to.record = from.record;
  for (int c = 0; c < kSizeClasses; ++c) {
    std::copy(from.block(c).begin(), from.block(c).end(), to.block(c).begin());
  }
}

}  // namespace

std::vector<uint8_t> encode_title_file(const TitleSet& set) {
  std::vector<uint8_t> out(kTitleFileSize, 0);
  platform::ByteWriter w(out);
  w.u32le(kTitleFileSize);
  w.text("VDTT");
  w.u32le(kTitleFileVersion);
  w.u32le(kTitleFileChunks);
  for (uint32_t id : kBlockOrder) {
    const std::span<const uint8_t> block = block_of(set, id);
    w.u32le(uint32_t(block.size() + kChunkHeaderSize));
    w.u32le(id);
    w.bytes(block);
  }
  return out;
}

bool decode_title_file(std::span<const uint8_t> file, TitleSet& set, std::string& why) {
  if (file.size() != kTitleFileSize) {
    why = "title file has " + std::to_string(file.size()) + " bytes, not " +
          std::to_string(kTitleFileSize);
    return false;
  }
  platform::ByteReader r(file);
  const uint32_t total = r.u32le();
  const uint32_t magic = r.u32le();
  const uint32_t version = r.u32le();
  const uint32_t count = r.u32le();
  if (total != kTitleFileSize) {
    why = "title file's size field is not 115648";
    return false;
  }
  if (magic != link::make_tag("VDTT") && magic != link::make_tag("vdtt")) {
    why = "not a title file (no VDTT magic)";
    return false;
  }
  if (version != kTitleFileVersion) {
    why = "title file version is not 0x01000003";
    return false;
  }
  if (count != kTitleFileChunks) {
    why = "title file does not hold five chunks";
    return false;
  }
  // Every block once, each chunk exactly its block's size: with the total fixed at 115648
  // the chunks then fill the file exactly.
  std::array<std::span<const uint8_t>, 5> found{};
  size_t pos = kFileHeaderSize;
  for (uint32_t i = 0; i < kTitleFileChunks; ++i) {
    if (file.size() - pos < kChunkHeaderSize) {
      why = "title file ends inside a chunk header";
      return false;
    }
    const uint32_t size = platform::load_u32le(&file[pos]);
    const uint32_t id = platform::load_u32le(&file[pos + 4]);
    const auto slot = std::find(kBlockOrder.begin(), kBlockOrder.end(), id);
    if (slot == kBlockOrder.end()) {
      why = "title file has a chunk of unknown id " + std::to_string(id);
      return false;
    }
    const size_t index = size_t(slot - kBlockOrder.begin());
    const size_t data_size = block_of(set, id).size();
    if (size != data_size + kChunkHeaderSize) {
      why = "title file's chunk " + std::to_string(id) + " has the wrong size";
      return false;
    }
    if (!found[index].empty()) {
      why = "title file holds chunk " + std::to_string(id) + " twice";
      return false;
    }
    if (file.size() - pos - kChunkHeaderSize < data_size) {
      why = "title file ends inside chunk " + std::to_string(id);
      return false;
    }
    found[index] = file.subspan(pos + kChunkHeaderSize, data_size);
    pos += kChunkHeaderSize + data_size;
  }
  for (size_t i = 0; i < found.size(); ++i) {
    const std::span<uint8_t> block = set.block_by_id(kBlockOrder[i]);
    std::copy(found[i].begin(), found[i].end(), block.begin());
  }
  return true;
}

TitlesChannel::TitlesChannel(const platform::Clock& clock) : clock_(clock) {
  for (int c = 0; c < channels::kTitleChannels; ++c) {
    titles_.bitmaps[size_t(c)] = set_.bitmap(0, c).data();
  }
  for (uint32_t id : kBlockOrder) {
    const uint32_t size = uint32_t(block_of(set_, id).size());
    for (uint32_t off = 0; off < size; off += kTitlePieceMax) {
      pieces_.push_back({id, off, std::min(kTitlePieceMax, size - off)});
    }
  }
}

bool TitlesChannel::use_data_dir(const std::string& dir, std::string& error) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  const std::string path = dir + kFileName;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f) {
    std::vector<uint8_t> bytes(kTitleFileSize + 1);
    const size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    bytes.resize(n);
    std::string why;
    if (!decode_title_file(bytes, set_, why)) {
      error = path + ": " + why;
      return false;
    }
  } else if (errno != ENOENT) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

bool TitlesChannel::push_file(const std::string& path, std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> bytes(kTitleFileSize + 1);
  const size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  bytes.resize(n);
  TitleSet loaded;
  std::string why;
  if (!decode_title_file(bytes, loaded, why)) {
    error = path + ": " + why;
    return false;
  }
  store(loaded);
  push_ = true;
  return true;
}

void TitlesChannel::store(const TitleSet& set) {
  copy_set(set, set_);
  save();
}

bool TitlesChannel::attach(Simulator& sim) {
  if (!sim.channels().register_handler(
          kVdttTag, [this](ChannelContext& ctx, const ChannelMessage& m) { on_message(ctx, m); })) {
    return false;
  }
  sim_ = &sim;
  sim.add_session_listener([this](SessionEvent e, uint32_t key) {
    if (e == SessionEvent::kOpened) {
      if (push_) send(key, kDataPiece, kTypeData, kBlockRecord, 0, set_.record);
    } else if (e == SessionEvent::kClosed) {
      uploads_.erase(key);
    }
  });
  sim.add_tick_hook([this](uint32_t) { tick(); }, [this] { return !uploads_.empty(); });
  return true;
}

bool TitlesChannel::send(uint32_t key, uint32_t mode, uint32_t type, uint32_t block,
                         uint32_t offset, std::span<const uint8_t> data) {
  // Pieces of a block go out at most 1152 bytes at a time; the whole record in one.
  const size_t limit = mode == kDataWhole && type == kTypeData ? kTitleRecordSize : kTitlePieceMax;
  if (data.size() > limit) data = data.first(limit);
  std::vector<uint8_t> payload(kPieceHeaderSize + data.size(), 0);
  platform::store_u32le(&payload[0], offset);
  platform::store_u32le(&payload[4], uint32_t(data.size()));
  platform::store_u32le(&payload[8], channels::byte_sum(data));
  std::copy(data.begin(), data.end(), payload.begin() + kPieceHeaderSize);
  return sim_->queue_message(key, build_message(kVdttTag, key, {mode, type, block}, payload));
}

void TitlesChannel::on_message(ChannelContext& ctx, const ChannelMessage& m) {
  const uint32_t key = ctx.session_key();
  const std::span<const uint8_t> payload = m.payload();
  if (m.session_key() != key || payload.size() < kPieceHeaderSize) return;
  const uint32_t mode = m.word(kWordMode);
  const uint32_t type = m.word(kWordType);
  const uint32_t block = m.word(kWordBlock);
  const uint32_t offset = platform::load_u32le(&payload[0]);
  const uint32_t length = platform::load_u32le(&payload[4]);
  const uint32_t sum = platform::load_u32le(&payload[8]);

  if (type == kTypeRequest && mode == kRequestWhole) {
    send(key, kDataWhole, kTypeData, kBlockWholeRecord, 0, set_.record);
  } else if (type == kTypeRequest && mode == kRequestPiece) {
    if (block == kBlockEnd) {
      sim_->log("titles: pushed set taken by session " + std::to_string(key));
      return;
    }
    // The piece clipped to its block; an offset beyond it gets an empty piece.
    const std::span<const uint8_t> b = block_of(set_, block);
    const uint32_t start = std::min<uint32_t>(offset, uint32_t(b.size()));
    const uint32_t n = std::min<uint32_t>({length, uint32_t(b.size()) - start, kTitlePieceMax});
    send(key, kDataPiece, kTypeData, block, n == 0 ? 0 : start, b.subspan(start, n));
  } else if (type == kTypeData && mode == kDataPiece) {
    const size_t arrived = payload.size() - kPieceHeaderSize;
    if (length > arrived) {
      sim_->log("titles: piece longer than its message dropped");
      return;
    }
    if (block == kBlockRecord && offset == 0) {
      // The first piece of the record starts an upload (again, if one was running).
      auto& u = uploads_[key];
      u = std::make_unique<Upload>();
      u->received.assign(pieces_.size(), 0);
      u->asked_at.assign(pieces_.size(), 0);
      u->next = 1;  // the first piece is the one that arrived
      sim_->log("titles: upload started by session " + std::to_string(key));
    }
    on_piece(key, block, offset, payload.subspan(kPieceHeaderSize, length), sum);
  }
  // Whole-record data is never asked for by the DVR; other types and modes are dropped.
}

void TitlesChannel::on_piece(uint32_t key, uint32_t block, uint32_t offset,
                             std::span<const uint8_t> data, uint32_t sum) {
  const auto found = uploads_.find(key);
  if (found == uploads_.end()) return;
  Upload& u = *found->second;
  size_t index = pieces_.size();
  for (size_t i = 0; i < pieces_.size(); ++i) {
    if (pieces_[i].block == block && pieces_[i].offset == offset) index = i;
  }
  if (index == pieces_.size() || u.received[index]) return;
  const Piece& p = pieces_[index];
  if (data.size() != p.length || channels::byte_sum(data) != sum) {
    // A damaged piece is asked for again.
    ask(key, u, index);
    return;
  }
  const std::span<uint8_t> target = u.staging.block_by_id(block).subspan(offset, p.length);
  std::copy(data.begin(), data.end(), target.begin());
  u.received[index] = 1;
  ++u.done;
  if (u.done == pieces_.size()) {
    finish(key, u);
    uploads_.erase(key);
    return;
  }
  fill_window(key, u);
}

void TitlesChannel::ask(uint32_t key, Upload& u, size_t piece) {
  const Piece& p = pieces_[piece];
  // A request's piece header carries the length asked for, with no bytes after it.
  std::vector<uint8_t> payload(kPieceHeaderSize, 0);
  platform::store_u32le(&payload[0], p.offset);
  platform::store_u32le(&payload[4], p.length);
  sim_->queue_message(
      key, build_message(kVdttTag, key, {kRequestPiece, kTypeRequest, p.block}, payload));
  u.asked_at[piece] = clock_.now_ms();
}

void TitlesChannel::fill_window(uint32_t key, Upload& u) {
  size_t in_flight = 0;
  for (size_t i = 0; i < u.next; ++i) in_flight += u.received[i] ? 0 : 1;
  while (in_flight < kUploadWindow && u.next < pieces_.size()) {
    ask(key, u, u.next++);
    ++in_flight;
  }
}

void TitlesChannel::finish(uint32_t key, Upload& u) {
  const uint32_t expected = platform::load_u32le(&u.staging.record[channels::kRecordSetSum]);
  if (channels::title_set_sum(u.staging) == expected) {
    store(u.staging);
    ++uploads_stored_;
    sim_->log("titles: set stored from session " + std::to_string(key));
  } else {
    sim_->log("titles: uploaded set refused: its title set sum does not match");
  }
  // Either way the upload is over for the control.
  std::vector<uint8_t> payload(kPieceHeaderSize, 0);
  sim_->queue_message(
      key, build_message(kVdttTag, key, {kRequestPiece, kTypeRequest, kBlockEnd}, payload));
}

void TitlesChannel::tick() {
  const uint32_t now_ms = clock_.now_ms();
  for (auto& [key, u] : uploads_) {
    for (size_t i = 0; i < u->next; ++i) {
      if (!u->received[i] && now_ms - u->asked_at[i] >= kRetryMs) {
        ask(key, *u, i);
      }
    }
    fill_window(key, *u);
  }
}

void TitlesChannel::save() const {
  if (path_.empty()) return;
  write_file_atomically(path_, encode_title_file(set_));
}

}  // namespace tessomar::dvrsim
