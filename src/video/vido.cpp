#include "video/vido.h"

#include "platform/bytes.h"
#include "video/viewer.h"

namespace tessomar::video {

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
      [this](const link::ChannelRequest& r) {
        send(VidoRequest{r.key, r.op});
      },
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
  link_.send_by_tag(kTagVido, {key, kSubTagFeedback});
}

void VideoChannel::send(const VidoRequest& request) {
  const int slot = link_.find_slot_by_key(request.key);
  if (slot < 0) return;
  const SubHandlerRow* row = find_row(request.sub_tag);
  if (row == nullptr || row->build == nullptr) return;
  send_.fill(0);
  platform::ByteWriter header(send_);
  header.skip(4);  // total length, written on queueing
  header.u32le(kTagVido);
  header.seek(link::kMessageHeaderSize);
  header.u32le(request.key);
  header.u32le(request.sub_tag);
  const uint32_t payload_offset = link::kMessageHeaderSize + link::kSubHeaderSize;
  const uint32_t n = (this->*row->build)(
      slot, std::span<uint8_t>(send_.data() + payload_offset, send_.size() - payload_offset));
  link_.finish_and_queue(slot, send_, n);
}

uint32_t VideoChannel::buildFeedback(int slot, std::span<uint8_t> out) {
  if (slot < 0 || slot >= link::kSlotCount || out.size() < kFeedbackBytes) return 0;
  ViewerFeedback& fb = states_[slot].feedback;
  if (const Viewer* v = attached_[slot].viewer)
    fb.words[kFeedbackCredit] = receive_credit(v->videoRing());
  platform::ByteWriter w(out);
  for (uint32_t word : fb.words) w.u32le(word);
  return kFeedbackBytes;
}

void VideoChannel::on_message() {
  const uint32_t length = link_.last_message_length(kTagVido);
  if (length < link::kSubHeaderSize || length > kVidoBufferSize) return;
  const uint8_t* buffer = receive_buffer_.get();
  platform::ByteReader sub_header(std::span<const uint8_t>(buffer, link::kSubHeaderSize));
  const uint32_t key = sub_header.u32le();
  const uint32_t sub_tag = sub_header.u32le();
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
  if (Viewer* v = attached_[slot].viewer) v->note_newest(h.channel, h.seconds, h.frameInSecond);
  if (h.totalLength == 0) {
    ++stats_[slot].empty_records;
    return;
  }
  // A record made for an earlier view request is dropped by the viewer and the audio step
  // anyway; stored, it would take the arrival key that the new request's stream starts
  // again from.
  const channels::SessionState* session = attached_[slot].session;
  if (session != nullptr && h.requestCounter != 0 && h.requestCounter != session->sendSequence) {
    ++stats_[slot].stale;
    return;
  }
  store_record(slot, record, h);
  deliverInOrder(slot);
}

void VideoChannel::store_record(int slot, std::span<const uint8_t> record,
                                const FrameRecordHeader& h) {
  const uint32_t n = h.totalLength;
  const channels::DeviceIdentity* device = attached_[slot].device;
  link::ByteRing& store = link_.slot(slot).stream_ring;
  ReorderRecord r;
  r.arrival_key = h.arrivalKey;
  // Older DVRs do not number their records: take them in arrival order.
  r.numbered = device != nullptr && device->generation >= 2;
  r.position = store.write_pos;
  r.length = n;
  r.kind = h.kind;
  // The store always offers its full room: what it held before is either delivered or
  // tracked by the table's stamps.
  store.read_pos = store.write_pos;
  // A length the message does not back, or one the viewer could not frame, is lost like a
  // record that does not fit the store.
  const bool well_formed =
      n >= kFrameRecordHeaderSize && n < kMaxFrameRecordLength && n <= record.size();
  r.written = well_formed && link::ring_write(record.data(), n, &store) == 0;
  switch (tables_[slot].insert(r)) {
    case ReorderStore::Lost:
      ++stats_[slot].lost;
      break;
    case ReorderStore::Restarted:
      ++stats_[slot].stored;
      ++stats_[slot].restarts;
      break;
    case ReorderStore::Stored:
      ++stats_[slot].stored;
      break;
  }
}

void VideoChannel::deliverInOrder(int slot) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  link::ByteRing& store = link_.slot(slot).stream_ring;
  for (const ReorderReady& ready : tables_[slot].take_ready(store.size)) {
    if (ready.overwritten) {
      ++stats_[slot].lost;
      continue;
    }
    store.read_pos = ready.entry.position;
    move_to_viewer(slot, ready.entry);
    ++stats_[slot].delivered;
  }
}

void VideoChannel::skip_stale_gap(int slot, uint32_t now) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  FrameReorderTable& table = tables_[slot];
  GapHold& hold = holds_[slot];
  if (table.pending() == 0) {
    hold.on = false;
    return;
  }
  if (!hold.on || table.lastKey() != hold.last_key) {
    hold = {true, table.lastKey(), now};
    return;
  }
  if (now - hold.since < kGapWait) return;
  hold.on = false;
  if (!table.skip_gap()) return;
  ++stats_[slot].gaps_skipped;
  deliverInOrder(slot);
}

void VideoChannel::move_to_viewer(int slot, const ReorderEntry& entry) {
  const Attachment& a = attached_[slot];
  if (states_[slot].slot < 0 || a.viewer == nullptr || a.session == nullptr) return;
  Viewer& viewer = *a.viewer;
  const uint32_t n = entry.length;
  const link::ByteRing& video = viewer.videoRing();
  if (n > link::ring_room(video.write_pos, video.read_pos, video.size) &&
      a.session->mode == channels::kModeLive) {
    // A stalled live view skips ahead instead of falling further behind.
    viewer.empty_video_ring();
    ++stats_[slot].live_overflows;
    return;
  }
  if (link::ring_read(&link_.slot(slot).stream_ring, work_.get(), n) != 0) {
    ++stats_[slot].lost;
    return;
  }
  if (entry.kind == kRecordKindAudio) {
    if (!viewer.videoStarted()) {
      ++stats_[slot].audio_before_video;
      return;
    }
    if (a.session->mode != channels::kModeBackup && hooks_.audio_present)
      hooks_.audio_present(slot);
    if (viewer.queue_audio(work_.get(), n) == 0) {
      ++stats_[slot].audio_queued;
    } else {
      ++stats_[slot].ring_refused;
    }
    return;
  }
  if (viewer.queue_video(work_.get(), n) == 0) {
    ++stats_[slot].video_queued;
  } else {
    ++stats_[slot].ring_refused;
  }
}

void VideoChannel::clear_reorder_table(int slot) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  tables_[slot].clear();
  holds_[slot].on = false;
}

void VideoChannel::reset_reorder_sequence(int slot) {
  if (slot < 0 || slot >= link::kSlotCount) return;
  tables_[slot].reset_sequence();
  holds_[slot].on = false;
}

}  // namespace tessomar::video
