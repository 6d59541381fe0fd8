// The backup job: copies the recorded video of one channel between the backup window's start
// and end into one or more ".mov" files. It names and creates each file, waits for the DVR's
// watermark answer, settles the DVR's time offset from the first three pictures, feeds the
// movie writer, starts a new file after 30 minutes of samples or when the picture size
// changes, closes each file with its movie atom, previews key frames, and at the end hands
// the paths of the files to the host (open_folders).
//
// Files of one backup: name.mov, name(1).mov, name(2).mov, ... The save dialog is shown for
// the first file only; the later files go to the first file's folder.
//
// A write that fails (disk full, folder gone, read-only) ends the backup: the file is closed
// complete up to the last sample written (or removed when even that fails) and the user is
// told which file and why.
//
// Typical wiring (the control does this):
//   BackupJob job(services, hooks);
//   viewers.hooks().service_backup = [&](video::Viewer& v) { return job.serviceBackup(v); };
//   modes.hooks().set_backup_state = [&](int s) { job.setBackupState(s); };
//   key_form_state.hooks().start_backup = [&] { return job.startBackup(); };
// UI thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "channels/session_modes.h"
#include "channels/session_state.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/log.h"

namespace tessomar::video {
class Viewer;
}

namespace tessomar::recording {

class MovieWriter;

enum class JobState : int {
  kIdle = 0,
  kStartFile = 1,
  kWrite = 2,
  kCloseFile = 3,
  kClosed = 4,
  kAwaitWatermark = 6,
  kCollectLead = 7,
};

// Items kept before the third picture of a file.
constexpr uint32_t kLeadItemCount = 255;
constexpr uint32_t kLeadBufferSize = 4194304;
constexpr uint32_t kLeadPictures = 3;
// Time offsets beyond this magnitude are not believed.
constexpr int64_t kMaxTimeOffset = 65536;
// No item for this long ends the backup.
constexpr uint32_t kSilenceMs = 15000;
// Device seconds the job waits for the DVR's watermark answer.
constexpr uint32_t kWatermarkWaitSeconds = 10;
// Seconds of recording per file; the next file's window starts this much later.
constexpr uint32_t kSplitSeconds = 1800;
constexpr size_t kFileNameSize = 1024;
constexpr const char* kSaveFilter = "QuickTime's File (*.mov)|*.mov|All Files|*.*";
constexpr const char* kSaveExtension = "mov";

// What the job needs of the movie writer; the control's MovieWriter stands behind it
// (movie_writer_port), tests may put a recorder there.
class BackupWriter {
 public:
  virtual ~BackupWriter() = default;
  virtual void set_file(std::string path) = 0;
  virtual void beginMovie(uint32_t window_start, uint32_t window_end) = 0;
  virtual void shiftWindow(int32_t offset) = 0;
  virtual int checkItem(std::span<const uint8_t> items) = 0;
  virtual int appendItems(std::span<uint8_t> items) = 0;
  virtual uint32_t finishMediaData() = 0;
  virtual void writeMovieAtom() = 0;
  virtual void write_mdat_size(uint32_t size) = 0;
  virtual void requestWatermark(uint32_t session_key, uint32_t channel) = 0;
  // The seed word of the watermark record (written by the DVR's answer).
  virtual uint32_t watermark_seed() = 0;
  virtual void clear_watermark_seed() = 0;
  virtual bool write_failed() const = 0;
  virtual uint32_t sampleCount() const = 0;
  virtual void clear_samples() = 0;
  virtual uint32_t window_start() const = 0;
};

// The MovieWriter behind the job's interface.
std::unique_ptr<BackupWriter> movie_writer_port(MovieWriter& writer);

// What the job needs of the viewer that hands it items; video::Viewer stands behind it in
// the control (see serviceBackup(video::Viewer&)).
class BackupItemSource {
 public:
  virtual ~BackupItemSource() = default;
  virtual bool has_frame_buffer() const = 0;
  // The waiting item (a 32-byte picture header and its payload); empty when none.
  virtual std::span<uint8_t> waiting_item() = 0;
  virtual void drop_waiting_item() = 0;
  virtual void set_display_time(uint32_t t) = 0;
  // The next picture of the channel must be a key frame.
  virtual void resync_channel(uint32_t channel) = 0;
  // Decodes a key frame with its parameter sets in front, for the view.
  virtual void preview_key_frame(std::span<const uint8_t> unit) = 0;
};

// The key form, the label and the host, as the job tells them about the backup.
struct BackupJobHooks {
  // A file was chosen: the Save key shows "running" (progress 0, input level 2).
  std::function<void()> key_form_started;
  // No file chosen: the Save key back to idle (progress 100, input level 1).
  std::function<void()> key_form_refused;
  // The backup is over: the Save key's stop as a second press would do it.
  std::function<void()> key_form_finished;
  // `Label1` shows the chosen file's name.
  std::function<void(const std::string& name)> show_file_name;
  // The backup ended; these files were written (in order). The viewer opens their folders,
  // the CLI prints them.
  std::function<void(const std::vector<std::string>& paths)> open_folders;
};

// Why the last backup ended; for hosts that report it.
enum class BackupEnd {
  kNone,        // still running, or never ran
  kComplete,    // the window was copied
  kStopped,     // stopped by the user or a mode switch
  kSilence,     // no item for 15 s
  kLimit,       // the writer's tables were full or an item lay far past the window end
  kWriteError,  // a file could not be created or written
  kBadName,     // the chosen name has no ".mov"
};

struct BackupJobServices {
  channels::SessionModes& modes;
  channels::SessionState& session;  // the first slot's
  std::function<uint32_t()> session_key;
  BackupWriter& writer;
  platform::Dialogs& dialogs;
  const platform::Clock& clock;
  const platform::Logger& logger;
};

class BackupJob {
 public:
  BackupJob(const BackupJobServices& services, BackupJobHooks hooks = {});
  ~BackupJob();
  BackupJob(const BackupJob&) = delete;
  BackupJob& operator=(const BackupJob&) = delete;

  BackupJobHooks& hooks() { return hooks_; }

  // One step with the viewer's waiting item; 1 ends the viewer's tick.
  int serviceBackup(BackupItemSource& viewer);
  int serviceBackup(video::Viewer& viewer);
  void setBackupState(int state);
  // The Save key's start; 1 when a backup started.
  int startBackup();
  // 1 when a file name was chosen.
  int chooseBackupFile();
  // After a file is closed: the host gets the files once the last is closed.
  void finishBackupFiles();

  JobState state() const { return state_; }
  uint32_t fileNumber() const { return modes_.backup_job().file_counter; }
  const std::string& currentFileName() const { return current_file_; }
  const std::string& proposedName() const { return proposed_name_; }
  int32_t timeOffset() const { return time_offset_; }
  uint32_t restartOffset() const { return restart_offset_; }
  uint32_t filesMade() const { return files_made_; }
  // Files closed in the current (or last) backup, complete ones only.
  const std::vector<std::string>& files() const { return files_; }
  BackupEnd last_end() const { return last_end_; }
  // The reason shown to the user when the last backup failed; empty otherwise.
  const std::string& failure() const { return failure_; }

 private:
  struct LeadItem {
    uint32_t offset = 0;
    uint32_t length = 0;
  };

  uint32_t& file_number() { return modes_.backup_job().file_counter; }
  bool session_waits() const;
  uint32_t window_start() const;
  uint32_t window_end() const;
  uint32_t backup_channel() const;
  uint32_t device_now() const;
  int start_file(BackupItemSource& viewer);
  int await_watermark(BackupItemSource& viewer);
  // The waiting item once the silence and frame-buffer checks pass; empty when this step
  // ends here, with the step's result in `result`.
  std::span<uint8_t> take_item(BackupItemSource& viewer, int& result);
  int collect_lead(BackupItemSource& viewer);
  enum class LeadFlush { kDone, kStopped };
  // The lead items into the file; kStopped when the file ended on the way.
  LeadFlush flush_lead(bool closing);
  int write_item(BackupItemSource& viewer);
  int close_file(BackupItemSource& viewer);
  int closed(BackupItemSource& viewer);
  void preview(BackupItemSource& viewer, std::span<uint8_t> item);
  // The end of the backup: the current file is closed next.
  void stop(BackupEnd why);
  // A create or write failed: tell the user and end the backup.
  void write_error(const std::string& path, const std::string& what);
  bool silent_too_long() const;
  // Split at a key frame; true when the item ended the file.
  bool split_at(std::span<const uint8_t> item, int r);

  channels::SessionModes& modes_;
  channels::SessionState& session_;
  std::function<uint32_t()> session_key_;
  BackupWriter& writer_;
  platform::Dialogs& dialogs_;
  const platform::Clock& clock_;
  const platform::Logger& logger_;
  BackupJobHooks hooks_;

  JobState state_ = JobState::kIdle;
  uint32_t last_activity_ = 0;
  std::string current_file_;
  uint32_t restart_offset_ = 0;
  uint32_t files_made_ = 0;
  int32_t time_offset_ = 0;
  std::unique_ptr<uint8_t[]> lead_buffer_;  // kLeadBufferSize, allocated once
  std::array<LeadItem, kLeadItemCount> lead_items_{};
  uint32_t lead_count_ = 0;
  uint32_t lead_bytes_ = 0;
  std::array<int32_t, kLeadPictures> lead_offsets_{};
  uint32_t lead_pictures_ = 0;
  uint32_t size_codes_ = 0;  // height << 8 | width in macroblocks; 0 until the first picture
  uint32_t watermark_deadline_ = 0;
  std::string chosen_name_;  // what the save dialog returned for the first file
  std::string proposed_name_;
  std::string first_folder_;
  std::vector<std::string> files_;
  BackupEnd end_reason_ = BackupEnd::kNone;  // why the running backup is ending
  BackupEnd last_end_ = BackupEnd::kNone;
  std::string failure_;
  bool write_failed_ = false;  // the current file lost a write
  bool previewed_ = false;
  uint32_t last_preview_ms_ = 0;
};

// The proposed name: "ch" + channel (2 digits), "_YYYYMMDD_hhmmss_", the device time now (at
// least 9 digits), ".mov".
std::string defaultBackupName(uint32_t channel_number, uint32_t t, uint32_t device_now);

// The time offset of a file from the offsets of its first three pictures.
int32_t choose_time_offset(const std::array<int32_t, kLeadPictures>& offsets);

// Whether a file is a closed movie: its mdat size at offset 40 and the moov atom right
// behind the media data.
bool movie_file_closed(const std::string& path);

// "name.mov" -> "name(n).mov"; empty when there is no ".mov".
std::string numbered_file_name(std::string_view name, uint32_t n);

}  // namespace tessomar::recording
