#include "video/vido.h"

#include "platform/bytes.h"
#include "video/viewer.h"

namespace tessomar::video {

uint32_t receiveCredit(const link::ByteRing& videoRing) {
  const uint32_t room = link::ring_room(videoRing.write_pos, videoRing.read_pos, videoRing.size);
  return room > kCreditReserve ? room - kCreditReserve : 0;
}

const std::array<VideoChannel::SubHandlerRow, 2> VideoChannel::kRows = {{
    {kSubTagFrameRecord, &VideoChannel::onFrameRecord, nullptr},
    {kSubTagFeedback, nullptr, &VideoChannel::buildFeedback},
}};

const VideoChannel::SubHandlerRow* VideoChannel::find_row(uint32_t sub_tag) {
  for (const SubHandlerRow& row : kRows) {
    if (row.sub_tag == sub_tag) return &row;
  }
  return nullptr;
}

VideoChannel::VideoChannel(link::Link& link)
    : link_(link),
      receive_buffer_(new uint8_t[kVidoBufferSize]()),
      work_(new uint8_t[kMaxFrameRecordLength]()) {}

void VideoChannel::registerVideoChannel() {
  link_.register_channel(
      kTagVido, [this] { on_message(); },
      [this](const void* request) { send(*static_cast<const VidoRequest*>(request)); },
      std::span<uint8_t>(receive_buffer_.get(), kVidoBufferSize));
  for (int i = 0; i < link::kSlotCount; ++i) {
    states_[i].slot = i;
    states_[i].feedback.words[kFeedbackCredit] = kInitialCredit;
  }
}

void VideoChannel::attach(int slot, Viewer* viewer, channels::SessionState* session,
                          const channels::DeviceIdentity* device) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  attached_[slot] = Attachment{viewer, session, device};
}

void VideoChannel::requestFeedback(uint32_t key) {
  VidoRequest request{key, kSubTagFeedback};
  link_.send_by_tag(kTagVido, &request);
}

void VideoChannel::send(const VidoRequest& request) {
  const int slot = link_.find_slot_by_key(request.key);
  if (slot < 0) return;
  const SubHandlerRow* row = find_row(request.sub_tag);
  if (row == nullptr || row->build == nullptr) return;
  send_.fill(0);
  platform::store_u32le(send_.data() + 4, kTagVido);
  platform::store_u32le(send_.data() + link::kMessageHeaderSize, request.key);
  platform::store_u32le(send_.data() + link::kMessageHeaderSize + 4, request.sub_tag);
  const uint32_t payload_offset = link::kMessageHeaderSize + link::kSubHeaderSize;
  const uint32_t n = (this->*row->build)(
      slot, std::span<uint8_t>(send_.data() + payload_offset, send_.size() - payload_offset));
  link_.finish_and_queue(slot, send_, n);
}

uint32_t VideoChannel::buildFeedback(int slot, std::span<uint8_t> out) {
  if (slot < 0 || slot >= link::kSlotCount || out.size() < kFeedbackBytes) return 0;
  ViewerFeedback& fb = states_[slot].feedback;
  if (const Viewer* v = attached_[slot].viewer)
    fb.words[kFeedbackCredit] = receiveCredit(v->videoRing);
  platform::ByteWriter w(out);
  for (uint32_t word : fb.words) w.u32le(word);
  return kFeedbackBytes;
}

void VideoChannel::on_message() {
  const uint32_t length = link_.last_message_length(kTagVido);
  if (length < link::kSubHeaderSize || length > kVidoBufferSize) return;
  const uint8_t* buffer = receive_buffer_.get();
  const uint32_t key = platform::load_u32le(buffer);
  const uint32_t sub_tag = platform::load_u32le(buffer + 4);
  const int slot = link_.find_slot_by_key(key);
  if (slot < 0) return;
  const SubHandlerRow* row = find_row(sub_tag);
  if (row == nullptr || row->receive == nullptr) return;
  // Only the bytes this message brought; the rest of the buffer is left from earlier ones.
  (this->*row->receive)(
      slot, std::span<const uint8_t>(buffer + link::kSubHeaderSize, length - link::kSubHeaderSize));
}

void VideoChannel::onFrameRecord(int slot, std::span<const uint8_t> record) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  if (states_[slot].slot < 0) return;
  FrameRecordHeader h;
  // Too short to hold its own header: nothing in it can be trusted.
  if (!FrameRecordHeader::parse(record, h)) return;
  ++stats_[slot].records;
  if (Viewer* v = attached_[slot].viewer) v->noteNewest(h.channel, h.seconds, h.frameInSecond);
  if (h.totalLength == 0) {
    ++stats_[slot].empty_records;
    return;
  }
  // A record made for an earlier view request is dropped by the viewer and the audio step
  // anyway; stored, it would take the arrival key that the new request's stream starts
  // again from.
  const channels::SessionState* session = attached_[slot].session;
  if (session != nullptr && h.requestCounter != 0 &&
      h.requestCounter != session->sendSequence) {
    ++stats_[slot].stale;
    return;
  }
  store_record(slot, record, h);
  deliverInOrder(slot);
}

void VideoChannel::store_record(int slot, std::span<const uint8_t> record,
                                const FrameRecordHeader& h) {
  FrameReorderTable& t = tables_[slot];
  const uint32_t n = h.totalLength;
  ++t.writeIndex;
  ++t.sinceDelivery;
  ReorderEntry& e = t.entries[t.writeIndex % kReorderEntries];
  if (t.pending == 0) t.localKey = 1;
  uint32_t key = h.arrivalKey;
  const channels::DeviceIdentity* device = attached_[slot].device;
  if (device == nullptr || device->generation < 2) {
    // Older DVRs do not number their records: take them in arrival order.
    key = t.lastKey + t.localKey;
    ++t.localKey;
  }
  link::ByteRing& store = link_.slot(slot).stream_ring;
  e = ReorderEntry{key, store.write_pos, n, h.kind, t.written};

  // The store always offers its full room: what it held before is either delivered or
  // tracked by the stamps.
  store.read_pos = store.write_pos;
  // A length the message does not back, or one the viewer could not frame, is lost like a
  // record that does not fit the store.
  const bool well_formed =
      n >= kFrameRecordHeaderSize && n < kMaxFrameRecordLength && n <= record.size();
  if (!well_formed || link::ring_write(record.data(), n, &store) != 0) {
    e.length = 0;  // never deliver an entry whose bytes were not written
    ++t.lastKey;
    ++stats_[slot].lost;
    return;
  }
  t.written += n;
  ++stats_[slot].stored;
  if (t.sinceDelivery >= kReorderEntries) {
    // A gap that never fills: give up on it and restart at this record.
    t.writeIndex = 0;
    t.pending = 0;
    t.lastKey = key - 1;
    ++stats_[slot].restarts;
  }
  ++t.pending;
}

void VideoChannel::deliverInOrder(int slot) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  FrameReorderTable& t = tables_[slot];
  link::ByteRing& store = link_.slot(slot).stream_ring;
  for (uint32_t pass = 0; pass < kReorderEntries && t.pending > 0; ++pass) {
    bool delivered = false;
    for (ReorderEntry& e : t.entries) {
      if (e.length == 0 || e.key != t.lastKey + 1) continue;
      t.sinceDelivery = 0;
      t.lastKey = e.key;
      t.localKey = 1;
      if (t.written - e.stamp < store.size) {
        store.read_pos = e.position;
        move_to_viewer(slot, e);
        ++stats_[slot].delivered;
      } else {
        ++stats_[slot].lost;
      }
      e.length = 0;
      // Entries left behind by a restart can still match; they must not wrap the count.
      if (t.pending > 0) --t.pending;
      delivered = true;
    }
    if (!delivered) break;
  }
}

void VideoChannel::move_to_viewer(int slot, const ReorderEntry& entry) {
  const Attachment& a = attached_[slot];
  if (states_[slot].slot < 0 || a.viewer == nullptr || a.session == nullptr) return;
  Viewer& viewer = *a.viewer;
  const uint32_t n = entry.length;
  const link::ByteRing& video = viewer.videoRing;
  if (n > link::ring_room(video.write_pos, video.read_pos, video.size) &&
      a.session->mode == channels::kModeLive) {
    // A stalled live view skips ahead instead of falling further behind.
    viewer.videoRing.read_pos = 0;
    viewer.videoRing.write_pos = 0;
    ++stats_[slot].live_overflows;
    return;
  }
  if (link::ring_read(&link_.slot(slot).stream_ring, work_.get(), n) != 0) {
    ++stats_[slot].lost;
    return;
  }
  if (entry.kind == kRecordKindAudio) {
    if (!viewer.videoStarted) {
      ++stats_[slot].audio_before_video;
      return;
    }
    if (a.session->mode != channels::kModeBackup && hooks_.audio_present)
      hooks_.audio_present(slot);
    if (viewer.queueAudio(work_.get(), n) == 0) {
      ++stats_[slot].audio_queued;
    } else {
      ++stats_[slot].ring_refused;
    }
    return;
  }
  if (link::ring_write(work_.get(), n, &viewer.videoRing) == 0) {
    ++stats_[slot].video_queued;
  } else {
    ++stats_[slot].ring_refused;
  }
}

void VideoChannel::clear_reorder_table(int slot) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  tables_[slot] = FrameReorderTable{};
}

void VideoChannel::reset_reorder_sequence(int slot) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  tables_[slot].lastKey = 0;
}

}  // namespace tessomar::video
