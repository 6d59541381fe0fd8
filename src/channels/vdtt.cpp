#include "channels/vdtt.h"

#include <algorithm>
#include <span>

#include "platform/bytes.h"

namespace tessomar::channels {

namespace {
// Sub-header words.
constexpr size_t kSubKey = 0;
constexpr size_t kSubMode = 4;
constexpr size_t kSubType = 8;
constexpr size_t kSubBlock = 12;
// Piece header words.
constexpr size_t kPieceOffset = 0;
constexpr size_t kPieceLength = 4;
constexpr size_t kPieceSum = 8;

// Data modes (a request's modes are kVdttModeWhole / kVdttModePiece).
constexpr uint32_t kDataPiece = 0;
constexpr uint32_t kDataWhole = 1;

constexpr size_t kHeaders = link::kMessageHeaderSize + link::kSubHeaderSize;

// The block a pushed download asks for after `id` is complete.
uint32_t next_block(uint32_t id) {
  switch (id) {
    case kBlockRecord:
      return kBlockClass0;
    case kBlockClass0:
    case kBlockClass0 + 1:
    case kBlockClass0 + 2:
      return id + 1;
    default:
      return kBlockEnd;
  }
}

bool known_piece_block(uint32_t id) {
  return id == kBlockRecord || (id >= kBlockClass0 && id < kBlockClass0 + kSizeClasses);
}

// The part of [offset, offset + length) that lies inside a block of `size` bytes.
uint32_t clipped_length(uint32_t offset, uint32_t length, size_t size) {
  if (offset >= size) return 0;
  return uint32_t(std::min<size_t>(length, size - offset));
}
}  // namespace

VdttChannel::VdttChannel(link::Link& link)
    : link_(link), buffer_(std::make_unique<std::array<uint8_t, kVdttBufferSize>>()) {
  for (auto& t : transfers_) t = std::make_unique<TitleTransfer>();
}

void VdttChannel::register_vdtt() {
  link_.register_channel(
      kTagVdtt, [this] { on_message(); }, [this](const link::ChannelRequest& r) { send(r); },
      *buffer_);
  for (int s = 0; s < link::kSlotCount; ++s) {
    TitleTransfer& t = *transfers_[size_t(s)];
    t.pendingRequest = kTitleNoRequest;
    t.previewClass = 1;
    t.uploadBusy = 0;
    t.bytesSent = 0;
    t.bytesTotal = 0;
    t.previewChannel = 0;
    t.dirty = {};
    t.inkBoxes = {};
    t.slot = s;
  }
}

// The request words: op = type, arg = mode, value = block id, data = offset and length.
void VdttChannel::VdttSend(uint32_t key, uint32_t mode, uint32_t type, uint32_t block_id,
                           uint32_t offset, uint32_t length) {
  std::array<uint8_t, 8> piece{};
  platform::store_u32le(&piece[0], offset);
  platform::store_u32le(&piece[4], length);
  link::ChannelRequest request(key, type, mode, block_id);
  request.data = piece;
  link_.send_by_tag(kTagVdtt, request);
}

void VdttChannel::send(const link::ChannelRequest& request) {
  const int slot = link_.find_slot_by_key(request.key);
  if (slot < 0) return;
  TitleTransfer& t = *transfers_[size_t(slot)];
  const uint32_t type = request.op;
  const uint32_t mode = request.arg;
  const uint32_t block_id = request.value;
  uint32_t offset = 0;
  uint32_t length = 0;
  if (request.data.size() >= 8) {
    offset = platform::load_u32le(&request.data[0]);
    length = platform::load_u32le(&request.data[4]);
  }

  std::span<uint8_t> buf(*buffer_);
  platform::ByteWriter w(buf.first(kHeaders));
  w.zeros(4);  // total length, written on queueing
  w.u32le(kTagVdtt);
  w.zeros(link::kMessageHeaderSize - 8);
  w.u32le(request.key);
  w.u32le(mode);
  w.u32le(type);
  w.u32le(block_id);
  w.zeros(link::kSubHeaderSize - 16);

  std::span<uint8_t> piece_header = buf.subspan(kHeaders, kPieceHeaderSize);
  std::fill(piece_header.begin(), piece_header.end(), uint8_t(0));
  std::span<uint8_t> piece_data = buf.subspan(kHeaders + kPieceHeaderSize);
  platform::ByteWriter ph(piece_header);
  uint32_t data_length = 0;

  if (type == kVdttRequest) {
    ph.u32le(offset);
    ph.u32le(length);
  } else if (type == kVdttData && mode == kDataWhole) {
    ph.u32le(0);
    ph.u32le(kTitleRecordSize);
    ph.u32le(byte_sum(t.set.record));
    std::copy(t.set.record.begin(), t.set.record.end(), piece_data.begin());
    data_length = kTitleRecordSize;
  } else if (type == kVdttData && mode == kDataPiece) {
    // Pieces are at most 1152 bytes: a longer message would not fit one batch of the send
    // queue and would be refused there.
    const std::span<const uint8_t> block = t.set.block_by_id(block_id);
    const uint32_t n = clipped_length(offset, std::min(length, kTitlePieceMax), block.size());
    if (n != 0) {
      const std::span<const uint8_t> bytes = block.subspan(offset, n);
      ph.u32le(offset);
      ph.u32le(n);
      ph.u32le(byte_sum(bytes));
      std::copy(bytes.begin(), bytes.end(), piece_data.begin());
      data_length = n;
      t.bytesSent += int32_t(n);
    }
  }
  // Any other type or mode goes out with a zero piece header.
  link_.finish_and_queue(slot, buf, kPieceHeaderSize + data_length);
}

void VdttChannel::on_message() {
  const std::span<const uint8_t> buf(*buffer_);
  const uint32_t length = std::min<uint32_t>(link_.last_message_length(kTagVdtt), kVdttBufferSize);
  if (length < link::kSubHeaderSize + kPieceHeaderSize) return;
  const std::span<const uint8_t> message = buf.first(length);
  const uint32_t key = platform::load_u32le(&message[kSubKey]);
  const uint32_t mode = platform::load_u32le(&message[kSubMode]);
  const uint32_t type = platform::load_u32le(&message[kSubType]);
  const uint32_t block_id = platform::load_u32le(&message[kSubBlock]);
  const int slot = link_.find_slot_by_key(key);
  if (slot < 0) return;

  const std::span<const uint8_t> body = message.subspan(link::kSubHeaderSize);
  const uint32_t offset = platform::load_u32le(&body[kPieceOffset]);
  const uint32_t piece_length = platform::load_u32le(&body[kPieceLength]);
  const uint32_t sum = platform::load_u32le(&body[kPieceSum]);
  TitleTransfer& t = *transfers_[size_t(slot)];

  if (type == kVdttRequest) {
    if (mode == kVdttModeWhole) {
      VdttSend(key, kDataWhole, kVdttData, kBlockWholeRecord, 0, 0);
    } else if (mode == kVdttModePiece && block_id != kBlockEnd) {
      VdttSend(key, kDataPiece, kVdttData, block_id, offset, piece_length);
    } else if (mode == kVdttModePiece) {
      if (hooks_.titles_enabled) hooks_.titles_enabled(true);
      t.uploadBusy = 0;
      t.bytesSent = t.bytesTotal;
    }
    return;
  }
  if (type != kVdttData) return;

  // The piece bytes must all have arrived; a declared length beyond them drops the message.
  const size_t arrived = body.size() - kPieceHeaderSize;
  if (piece_length > arrived) return;
  const std::span<const uint8_t> data = body.subspan(kPieceHeaderSize, piece_length);

  if (mode == kDataWhole) {
    if (byte_sum(data) != sum) return;
    const size_t n = std::min<size_t>(data.size(), kTitleRecordSize);
    std::copy_n(data.begin(), n, t.set.record.begin());
    if (hooks_.refill_editor) hooks_.refill_editor(slot);
    t.dirty.fill(1);
    return;
  }
  if (mode != kDataPiece) return;

  // A pushed piece. Block ids other than 1-4 and 16 land in the title record like 16; what
  // comes after them is not known, so the download ends there.
  const std::span<uint8_t> block = t.set.block_by_id(block_id);
  const uint32_t n = clipped_length(offset, piece_length, block.size());
  if (n != 0 && byte_sum(data.first(n)) == sum) {
    std::copy_n(data.begin(), n, block.begin() + offset);
  }
  uint32_t next_id = block_id;
  uint32_t next_offset = 0;
  uint32_t next_length = kTitlePieceMax;
  if (!known_piece_block(block_id)) {
    next_id = kBlockEnd;
  } else if (offset >= block.size() || block.size() - offset <= n) {
    next_id = next_block(block_id);
  } else {
    next_offset = offset + n;
    next_length = uint32_t(std::min<size_t>(kTitlePieceMax, block.size() - next_offset));
  }
  if (next_id == kBlockEnd && block_id == kBlockClass0 + kSizeClasses - 1 &&
      hooks_.pushed_set_stored) {
    hooks_.pushed_set_stored(slot);
  }
  VdttSend(key, kVdttModePiece, kVdttRequest, next_id, next_offset, next_length);
}

void VdttChannel::tick() {
  TitleTransfer& t = *transfers_[0];
  if (t.pendingRequest == kTitleNoRequest) return;
  const uint32_t key = link_.slot(0).session_key;
  // Without a session nothing could go out; the request waits for one.
  if (key == 0) return;
  if (t.pendingRequest == kTitleFetch) {
    VdttSend(key, kVdttModeWhole, kVdttRequest, kBlockWholeRecord, 0, kTitlePieceMax);
  } else if (t.pendingRequest == kTitleUpload) {
    VdttSend(key, kDataPiece, kVdttData, kBlockRecord, 0, kTitlePieceMax);
  }
  t.pendingRequest = kTitleNoRequest;
}

void VdttChannel::progress_tick() {
  const TitleTransfer& t = *transfers_[0];
  if (t.bytesTotal == 0 || !hooks_.progress) return;
  if (!hooks_.title_tab_shown || !hooks_.title_tab_shown()) return;
  // A DVR that asks for pieces again can push the count past the total; the bar stops at 100.
  const int64_t percent = int64_t(std::max(t.bytesSent, 0)) * 100 / t.bytesTotal;
  hooks_.progress(int(std::min<int64_t>(percent, 100)));
}

void VdttChannel::title_fetch() {
  TitleTransfer& t = *transfers_[0];
  if (t.uploadBusy != 0) return;
  if (hooks_.clear_title_edits) hooks_.clear_title_edits();
  t.pendingRequest = kTitleFetch;
}

void VdttChannel::title_apply() {
  TitleTransfer& t = *transfers_[0];
  t.pendingRequest = kTitleUpload;
  t.uploadBusy = 1;
  t.bytesSent = 0;
  t.bytesTotal = int32_t(kTitleSetSize);
  platform::store_u32le(&t.set.record[kRecordSetSum], 0);
  platform::store_u32le(&t.set.record[kRecordSetSum], title_set_sum(t.set));
  if (hooks_.titles_enabled) hooks_.titles_enabled(false);
}

}  // namespace tessomar::channels
