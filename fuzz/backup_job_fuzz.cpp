// Feeds arbitrary items (picture headers and payloads as the DVR sends them) through a whole
// control's backup job and movie writer, with the clock, the session's backup state and the
// Save key's stop driven from the input. When the backup is over, every file it reports with
// content must be a closed movie.
//
// Input: records of [op][n] and, for items, n bytes. op & 3: 0 an item (its first 16 bytes
// head it, with the magic, time, length and stream kind made plausible; the rest is the
// payload), 1 clock forward by n x 100 ms, 2 pause (op bit 2) or resume, 3 the Save key's stop.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "control_harness.h"
#include "platform/bytes.h"
#include "recording/backup_job.h"

using namespace tessomar;

namespace {

constexpr uint32_t kWindow = 700000000;

class Items final : public recording::BackupItemSource {
 public:
  bool has_frame_buffer() const override { return true; }
  std::span<uint8_t> waiting_item() override { return waiting; }
  void drop_waiting_item() override { waiting.clear(); }
  void set_display_time(uint32_t) override {}
  void resync_channel(uint32_t) override {}
  void preview_key_frame(std::span<const uint8_t> unit) override {
    if (unit.empty()) __builtin_trap();
  }
  std::vector<uint8_t> waiting;
};

struct Harness {
  fuzzing::ControlHarness c;
  platform::ManualClock& clock = c.clock;
  platform::HeadlessDialogs& dialogs = c.dialogs;
  std::unique_ptr<shell::Control>& control = c.control;
  std::string dir;

  Harness() {
    control->ActiveFormCreate();
    dir = (std::filesystem::temp_directory_path() / "backup_job_fuzz").string();
    std::filesystem::create_directories(dir);
  }
};

Harness& harness() {
  static Harness h;
  return h;
}

void service(recording::BackupJob& job, Items& items, std::deque<std::vector<uint8_t>>& queue) {
  for (int step = 0; step < 100; ++step) {
    if (job.serviceBackup(items) == 1) return;
    if (queue.empty()) return;
    items.waiting = std::move(queue.front());
    queue.pop_front();
    if (job.serviceBackup(items) == 1) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = harness();
  shell::Control& c = *h.control;
  recording::BackupJob& job = c.backup();
  channels::SessionState& session = c.icmd().session(0);
  c.modes().ApplyViewCommand(0, 16, channels::kModeBackup, 1, 0, true);
  c.modes().SetWindowTime(session, kWindow, channels::kWindowStart);
  c.modes().SetWindowTime(session, kWindow + 120, channels::kWindowEnd);
  h.dialogs.script_file_answer(h.dir + "/f.mov");
  if (job.startBackup() != 1) __builtin_trap();

  Items items;
  std::deque<std::vector<uint8_t>> queue;
  service(job, items, queue);  // the watermark is asked for now
  size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t op = data[at];
    const size_t len = std::min<size_t>(data[at + 1], size - at - 2);
    const uint8_t* body = data + at + 2;
    at += 2 + ((op & 3) == 0 ? len : 0);  // only items carry bytes
    switch (op & 3) {
      case 0: {
        // The first 16 bytes head the item, the rest is its payload; the length word covers
        // whole 64-byte units, as the DVR's do.
        const size_t payload = len > 16 ? len - 16 : 0;
        std::vector<uint8_t> item((32 + payload + 63) / 64 * 64, 0);
        for (size_t i = 0; i < std::min<size_t>(len, 16); ++i) item[i] = body[i];
        platform::store_u32le(&item[0], 0x03000000);
        // Times near the window, so that the writer gets past its first checks.
        platform::store_u32le(&item[4], kWindow + (item[4] % 130));
        platform::store_u16le(&item[18], uint16_t(item.size() / 64));
        item[23] = 0x20;  // recorded
        for (size_t i = 0; i < payload; ++i) item[32 + i] = body[16 + i];
        queue.push_back(std::move(item));
        break;
      }
      case 1:
        h.clock.advance_ms(uint32_t(len) * 100);
        break;
      case 2:
        platform::store_u32le(&session.backup[channels::kBackupState], (op & 4) ? 2 : 1);
        break;
      case 3:
        job.setBackupState(3);
        break;
    }
    service(job, items, queue);
  }
  platform::store_u32le(&session.backup[channels::kBackupState], 1);
  job.setBackupState(3);
  for (int i = 0; i < 10 && job.state() != recording::JobState::kIdle; ++i) {
    service(job, items, queue);
  }
  if (job.state() != recording::JobState::kIdle) __builtin_trap();
  for (const std::string& f : job.files()) {
    std::error_code ec;
    if (std::filesystem::file_size(f, ec) > 0 && !ec && !recording::movie_file_closed(f)) {
      __builtin_trap();
    }
  }
  // The files go, the folder stays: removing and making it again is the dearest step here.
  for (const auto& entry : std::filesystem::directory_iterator(h.dir)) {
    std::filesystem::remove_all(entry.path());
  }
  // Nothing kept from one input to the next grows: libFuzzer then sees as many frees as
  // allocations and skips its whole-heap leak scan, which costs far more than the input.
  h.dialogs.clear_file_requests();
  h.dialogs.clear_messages();
  return 0;
}
