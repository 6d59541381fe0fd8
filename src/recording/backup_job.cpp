#include "recording/backup_job.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/bytes.h"
#include "platform/devtime.h"
#include "recording/movie_writer.h"
#include "video/frame_record.h"
#include "video/parameter_sets.h"
#include "video/viewer.h"

namespace tessomar::recording {

namespace {

constexpr size_t kTimeOffsetAt = 28;
constexpr size_t kFrameTypeAt = 15;
// Key frames are previewed at most this often: nobody sees more while a backup runs at many
// times real time, and each decode costs what several pictures' copying does.
constexpr uint32_t kPreviewIntervalMs = 100;
constexpr const char* kCaption = "Backup";

bool is_picture(const video::PictureHeader& h) { return h.contentType() == video::kContentVideo; }
bool is_key_picture(const video::PictureHeader& h) {
  return is_picture(h) && ((h.byte15 >> 4) & 3) == 0;
}
uint32_t size_code(const video::PictureHeader& h) {
  return uint32_t(h.heightMbs) << 8 | h.widthMbs;
}

bool parse_header(std::span<const uint8_t> item, video::PictureHeader& h) {
  return video::PictureHeader::parse(item, h);
}

// Creates (or empties) a file; the reason on failure.
bool create_empty(const std::string& path, std::string& why) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    why = std::strerror(errno);
    return false;
  }
  if (std::fclose(f) != 0) {
    why = std::strerror(errno);
    return false;
  }
  return true;
}

// Why writes to an existing file fail, as far as the system tells.
std::string write_failure_reason(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r+b");
  if (f == nullptr) return std::strerror(errno);
  std::fclose(f);
  return "the disk may be full";
}

}  // namespace

bool movie_file_closed(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::array<uint8_t, 8> b{};
  bool ok = std::fseek(f, 40, SEEK_SET) == 0 && std::fread(b.data(), 1, 4, f) == 4;
  if (ok) {
    const uint32_t mdat = platform::load_u32be(b.data());
    ok = mdat >= 8 && std::fseek(f, long(40) + long(mdat), SEEK_SET) == 0 &&
         std::fread(b.data(), 1, 8, f) == 8 && std::memcmp(&b[4], "moov", 4) == 0;
  }
  std::fclose(f);
  return ok;
}

namespace {

// video::Viewer as the job's item source.
class ViewerItems final : public BackupItemSource {
 public:
  explicit ViewerItems(video::Viewer& v) : v_(v) {}
  bool has_frame_buffer() const override { return v_.has_buffers(); }
  std::span<uint8_t> waiting_item() override { return v_.waiting_item(); }
  void drop_waiting_item() override { v_.consume_waiting_frame(); }
  void set_display_time(uint32_t t) override { v_.set_display_time(t); }
  void resync_channel(uint32_t c) override { v_.mark_resync(c); }
  void preview_key_frame(std::span<const uint8_t> unit) override {
    v_.preview_key_frame(unit.data(), uint32_t(unit.size()));
  }

 private:
  video::Viewer& v_;
};

}  // namespace

std::string defaultBackupName(uint32_t channel_number, uint32_t t, uint32_t device_now) {
  const platform::LocalDateTime d = platform::date_from_seconds(t);
  char text[96];
  std::snprintf(text, sizeof text, "ch%02u_%4d%02d%02d_%02d%02d%02d_%09u.mov", channel_number,
                d.year, d.month, d.day, d.hour, d.minute, d.second, device_now);
  return text;
}

int32_t choose_time_offset(const std::array<int32_t, kLeadPictures>& o) {
  const bool believable = std::all_of(o.begin(), o.end(), [](int32_t v) {
    return int64_t(v) <= kMaxTimeOffset && int64_t(v) >= -kMaxTimeOffset;
  });
  if (!believable) return o[0] == o[1] || o[0] == o[2] ? o[2] : 0;
  if (o[0] == o[1] || o[0] == o[2]) return o[0];
  if (o[1] == o[2]) return o[1];
  return o[2];
}

std::string numbered_file_name(std::string_view name, uint32_t n) {
  const size_t dot = name.find(".mov");
  if (dot == std::string_view::npos) return {};
  std::string out(name.substr(0, dot));
  if (n > 0) out += "(" + std::to_string(n) + ")";
  return out + ".mov";
}

BackupJob::BackupJob(const BackupJobServices& s, BackupJobHooks hooks)
    : modes_(s.modes),
      session_(s.session),
      session_key_(s.session_key),
      writer_(s.writer),
      dialogs_(s.dialogs),
      clock_(s.clock),
      logger_(s.logger),
      hooks_(std::move(hooks)),
      lead_buffer_(new uint8_t[kLeadBufferSize]) {}

BackupJob::~BackupJob() = default;

uint32_t BackupJob::window_start() const {
  return platform::load_u32le(&session_.backup[channels::kBackupStart]);
}
uint32_t BackupJob::window_end() const {
  return platform::load_u32le(&session_.backup[channels::kBackupEnd]);
}
uint32_t BackupJob::backup_channel() const {
  return platform::load_u32le(&session_.backup[channels::kBackupChannel]);
}
uint32_t BackupJob::device_now() const { return platform::deviceTimeNow(clock_); }

bool BackupJob::session_waits() const {
  return session_.mode != channels::kModeBackup ||
         int32_t(platform::load_u32le(&session_.backup[channels::kBackupState])) !=
             channels::kBackupRunning;
}

bool BackupJob::silent_too_long() const { return clock_.now_ms() - last_activity_ > kSilenceMs; }

void BackupJob::setBackupState(int state) {
  const JobState next = JobState(state);
  // The user's stop between two files of a split (the last one closed, the next not begun):
  // there is no next file, and the backup ends as after a stop within a file.
  if (next == JobState::kCloseFile && state_ == JobState::kClosed && file_number() != 0) {
    file_number() = 0;
    if (end_reason_ == BackupEnd::kNone) end_reason_ = BackupEnd::kStopped;
    if (hooks_.key_form_finished) hooks_.key_form_finished();
    finishBackupFiles();
    return;
  }
  // A stop with no backup running (the key form's handshake may send one) changes nothing.
  if (next == JobState::kCloseFile && (state_ == JobState::kIdle || state_ == JobState::kClosed))
    return;
  // Likewise a stop of a backup that never started (a refused Save dialog).
  if (next == JobState::kClosed && state_ == JobState::kIdle) return;
  if (next == JobState::kCloseFile) {
    // The user's stop: the current file is the last, whatever number it has (also when it
    // is already closing for a split).
    file_number() = 0;
    if (end_reason_ == BackupEnd::kNone) end_reason_ = BackupEnd::kStopped;
  }
  if (next == JobState::kClosed &&
      (state_ == JobState::kWrite || state_ == JobState::kCollectLead)) {
    // A mode switch while a file is open: the file is closed properly, not left without its
    // movie atom.
    file_number() = 0;
    if (end_reason_ == BackupEnd::kNone) end_reason_ = BackupEnd::kStopped;
    state_ = JobState::kCloseFile;
    struct NoItems final : BackupItemSource {
      bool has_frame_buffer() const override { return false; }
      std::span<uint8_t> waiting_item() override { return {}; }
      void drop_waiting_item() override {}
      void set_display_time(uint32_t) override {}
      void resync_channel(uint32_t) override {}
      void preview_key_frame(std::span<const uint8_t>) override {}
    } none;
    close_file(none);
  }
  if (next == JobState::kStartFile) {
    end_reason_ = BackupEnd::kNone;
    last_end_ = BackupEnd::kNone;
    failure_.clear();
    files_.clear();
    restart_offset_ = 0;
  }
  state_ = next;
}

int BackupJob::startBackup() {
  int result = chooseBackupFile();
  if (result == 1) {
    if (hooks_.key_form_started) hooks_.key_form_started();
  } else {
    if (hooks_.key_form_refused) hooks_.key_form_refused();
    files_made_ = 0;
  }
  modes_.StartStopBackup(session_, result, result == 1 ? chosen_name_ : std::string());
  if (result == 1) {
    // StartStopBackup refuses an empty window and too long a name.
    result = int32_t(platform::load_u32le(&session_.backup[channels::kBackupState])) ==
                     channels::kBackupRunning
                 ? 1
                 : 0;
    if (result == 0 && hooks_.key_form_refused) hooks_.key_form_refused();
  }
  return result;
}

int BackupJob::chooseBackupFile() {
  const uint32_t n = modes_.backup_job().file_counter;
  if (n == 0 && state_ == JobState::kStartFile) return 0;
  if (n > 0) {
    // Later files are named after the first, in its folder, without asking.
    const std::string next = numbered_file_name(proposed_name_, n);
    if (next.empty()) return 0;
    proposed_name_ = next;
    return 1;
  }
  proposed_name_ = defaultBackupName(backup_channel() + 1, window_start(), device_now());
  platform::FileDialogRequest request;
  request.filter = kSaveFilter;
  request.default_name = proposed_name_;
  std::optional<std::string> chosen = dialogs_.save_file(request);
  if (!chosen || chosen->empty()) return 0;
  std::filesystem::path path(*chosen);
  // The dialog's default extension: a name typed without one gets ".mov".
  if (!path.has_extension()) path += std::string(".") + kSaveExtension;
  const std::string text = path.string();
  if (text.find(".mov") == std::string::npos) {
    dialogs_.message_box(
        "A backup is written to a QuickTime file: the name must end in .mov (\"" + text + "\").",
        kCaption);
    logger_.warning("backup refused: no .mov in \"" + text + "\"");
    return 0;
  }
  if (text.size() >= kFileNameSize) {
    dialogs_.message_box("The file name is too long (at most 1023 characters).", kCaption);
    return 0;
  }
  chosen_name_ = text;
  first_folder_ = path.parent_path().string();
  if (hooks_.show_file_name) hooks_.show_file_name(path.filename().string());
  return 1;
}

void BackupJob::finishBackupFiles() {
  if (file_number() != 0) return;
  if (hooks_.open_folders) hooks_.open_folders(files_);
  files_made_ = 0;
}

void BackupJob::stop(BackupEnd why) {
  file_number() = 0;
  state_ = JobState::kCloseFile;
  if (end_reason_ == BackupEnd::kNone) end_reason_ = why;
}

void BackupJob::write_error(const std::string& path, const std::string& what) {
  failure_ = "could not " + what + " \"" + path + "\"";
  logger_.error("backup: " + failure_);
  write_failed_ = true;
  stop(BackupEnd::kWriteError);
}

int BackupJob::serviceBackup(video::Viewer& viewer) {
  ViewerItems items(viewer);
  return serviceBackup(items);
}

int BackupJob::serviceBackup(BackupItemSource& viewer) {
  switch (state_) {
    case JobState::kIdle:
      // Nothing to write to: items are consumed so that the stream is not held.
      if (!viewer.waiting_item().empty()) viewer.drop_waiting_item();
      return 0;
    case JobState::kStartFile:
      return start_file(viewer);
    case JobState::kAwaitWatermark:
    case JobState::kCollectLead:
    case JobState::kWrite:
      if (session_waits()) {
        // Paused: the waiting item is held (the DVR holds the rest), and the silence does not
        // count.
        last_activity_ = clock_.now_ms();
        return viewer.waiting_item().empty() ? 0 : 1;
      }
      if (state_ == JobState::kAwaitWatermark) return await_watermark(viewer);
      if (state_ == JobState::kCollectLead) return collect_lead(viewer);
      return write_item(viewer);
    case JobState::kCloseFile:
      return close_file(viewer);
    case JobState::kClosed:
      return closed(viewer);
  }
  return 0;
}

int BackupJob::start_file(BackupItemSource&) {
  writer_.clear_watermark_seed();
  writer_.requestWatermark(session_key_ ? session_key_() : 0, backup_channel());
  watermark_deadline_ = device_now() + kWatermarkWaitSeconds;
  write_failed_ = false;
  state_ = JobState::kAwaitWatermark;
  return 0;
}

int BackupJob::await_watermark(BackupItemSource& viewer) {
  if (writer_.watermark_seed() == 0 && device_now() < watermark_deadline_) {
    // Items wait with the watermark: none of the window is lost.
    return viewer.waiting_item().empty() ? 0 : 1;
  }
  const std::string name(modes_.backup_job().file_name.data());
  const uint32_t n = file_number();
  current_file_ = numbered_file_name(name, n);
  if (current_file_.empty()) {
    failure_ = "the file name \"" + name + "\" does not end in .mov";
    dialogs_.message_box("Backup stopped: " + failure_ + ".", kCaption);
    stop(BackupEnd::kBadName);
    return 1;
  }
  std::string why;
  if (!create_empty(current_file_, why)) {
    write_error(current_file_, "create");
    failure_ += " (" + why + ")";
    dialogs_.message_box("Backup stopped: " + failure_ + ".", kCaption);
    return 1;
  }
  last_activity_ = clock_.now_ms();
  uint32_t start = window_start();
  if (restart_offset_ != 0) {
    start += restart_offset_;
  } else if (n > 0) {
    start += kSplitSeconds * n - 1;
  }
  writer_.set_file(current_file_);
  writer_.beginMovie(start, window_end());
  lead_count_ = 0;
  lead_bytes_ = 0;
  lead_pictures_ = 0;
  size_codes_ = 0;
  state_ = JobState::kCollectLead;
  if (n == 0) {
    // The viewer flushed everything when the backup started: what waits now is the window's
    // first item and goes into the file.
    viewer.set_display_time(start);
    return viewer.waiting_item().empty() ? 0 : collect_lead(viewer);
  }
  return 1;
}

std::span<uint8_t> BackupJob::take_item(BackupItemSource& viewer, int& result) {
  result = 0;
  if (silent_too_long()) {
    stop(BackupEnd::kSilence);
    result = 1;
    return {};
  }
  std::span<uint8_t> item = viewer.waiting_item();
  if (item.empty()) return {};
  if (!viewer.has_frame_buffer()) {
    stop(BackupEnd::kStopped);
    result = 1;
    return {};
  }
  last_activity_ = clock_.now_ms();
  return item;
}

int BackupJob::collect_lead(BackupItemSource& viewer) {
  int result = 0;
  std::span<uint8_t> item = take_item(viewer, result);
  if (item.empty()) return result;
  video::PictureHeader h;
  const bool parsed = parse_header(item, h);
  if (lead_pictures_ < kLeadPictures) {
    // A full lead list has no further room: the item is dropped.
    if (lead_count_ < kLeadItemCount && item.size() <= kLeadBufferSize - lead_bytes_) {
      std::copy(item.begin(), item.end(), lead_buffer_.get() + lead_bytes_);
      lead_items_[lead_count_++] = {lead_bytes_, uint32_t(item.size())};
      lead_bytes_ += uint32_t(item.size());
      if (parsed && is_picture(h)) lead_offsets_[lead_pictures_++] = int32_t(h.timeOffset);
    }
    viewer.drop_waiting_item();
    return 1;
  }

  state_ = JobState::kWrite;
  if (flush_lead(false) != LeadFlush::kDone) return 1;
  // The item waiting now is the first the writer takes directly.
  return write_item(viewer);
}

BackupJob::LeadFlush BackupJob::flush_lead(bool closing) {
  // Fewer than three pictures (a file closing early): the last one counts for the missing.
  for (uint32_t i = lead_pictures_; i < kLeadPictures; ++i)
    lead_offsets_[i] = lead_pictures_ > 0 ? lead_offsets_[lead_pictures_ - 1] : 0;
  time_offset_ = choose_time_offset(lead_offsets_);
  writer_.shiftWindow(time_offset_);
  const uint32_t count = lead_count_;
  lead_count_ = 0;
  for (uint32_t i = 0; i < count; ++i) {
    std::span<uint8_t> lead(lead_buffer_.get() + lead_items_[i].offset, lead_items_[i].length);
    if (lead.size() >= video::kPictureHeaderSize)
      platform::store_u32le(&lead[kTimeOffsetAt], uint32_t(time_offset_));
    const int r = writer_.checkItem(lead);
    video::PictureHeader lh;
    const bool ok = parse_header(lead, lh);
    if (ok && is_picture(lh) && size_codes_ == 0) size_codes_ = size_code(lh);
    if (r == kItemRefused) {
      if (!closing) stop(BackupEnd::kLimit);
      return LeadFlush::kStopped;
    }
    if (r == kItemSplit && ok && is_key_picture(lh)) {
      if (closing) return LeadFlush::kStopped;
      ++file_number();
      ++files_made_;
      state_ = JobState::kCloseFile;
      return LeadFlush::kStopped;
    }
    const int appended = writer_.appendItems(lead);
    if (writer_.write_failed()) {
      if (!closing) write_error(current_file_, "write");
      return LeadFlush::kStopped;
    }
    if (appended == 0) {
      if (!closing) stop(BackupEnd::kComplete);
      return LeadFlush::kStopped;
    }
  }
  return LeadFlush::kDone;
}

int BackupJob::write_item(BackupItemSource& viewer) {
  int result = 0;
  std::span<uint8_t> item = take_item(viewer, result);
  if (item.empty()) return result;
  if (item.size() >= video::kPictureHeaderSize)
    platform::store_u32le(&item[kTimeOffsetAt], uint32_t(time_offset_));
  video::PictureHeader h;
  const bool parsed = parse_header(item, h);
  int r = writer_.checkItem(item);
  if (r == kItemRefused) {
    stop(BackupEnd::kLimit);
    return 1;
  }
  if (r == kItemFits && parsed && is_picture(h) && size_codes_ != 0 &&
      size_code(h) != size_codes_) {
    r = 2;
  }
  if (r == kItemSplit || r == 2) {
    if (parsed && is_key_picture(h)) {
      ++file_number();
      ++files_made_;
      state_ = JobState::kCloseFile;
      if (r == 2) restart_offset_ += h.time - writer_.window_start() + 1;
      return 1;
    }
    // A predicted picture cannot open the next file: it is passed over.
    viewer.drop_waiting_item();
    return 0;
  }
  std::array<uint8_t, 4> payload_start{};
  const bool key = parsed && is_key_picture(h);
  if (key && item.size() >= video::kPictureHeaderSize + 4) {
    std::copy_n(item.begin() + video::kPictureHeaderSize, 4, payload_start.begin());
  }
  const int appended = writer_.appendItems(item);
  if (writer_.write_failed()) {
    viewer.drop_waiting_item();
    write_error(current_file_, "write");
    return 1;
  }
  if (key && item.size() >= video::kPictureHeaderSize + 4) {
    // The writer rewrote the payload's length word for the file; the decoder takes the
    // original.
    std::copy(payload_start.begin(), payload_start.end(), item.begin() + video::kPictureHeaderSize);
    preview(viewer, item);
  }
  viewer.drop_waiting_item();
  if (appended == 0) {
    stop(BackupEnd::kComplete);
    return 1;
  }
  return 0;
}

void BackupJob::preview(BackupItemSource& viewer, std::span<uint8_t> item) {
  const uint32_t now = clock_.now_ms();
  if (previewed_ && now - last_preview_ms_ < kPreviewIntervalMs) return;
  video::PictureHeader h;
  if (!parse_header(item, h)) return;
  std::array<uint8_t, video::kMaxParameterSetBytes> sets{};
  const int n =
      video::buildParameterSets(h.widthMbs, h.heightMbs, video::kDecoderForm, sets.data());
  if (n <= 0 || uint32_t(n) > video::kPictureHeaderSize) return;
  // The sets go into the end of the header, right in front of the payload.
  uint8_t* at = item.data() + video::kPictureHeaderSize - n;
  std::copy_n(sets.begin(), n, at);
  viewer.preview_key_frame(
      std::span<const uint8_t>(at, item.size() - video::kPictureHeaderSize + uint32_t(n)));
  previewed_ = true;
  last_preview_ms_ = now;
}

int BackupJob::close_file(BackupItemSource& viewer) {
  if (!viewer.waiting_item().empty()) viewer.drop_waiting_item();
  // A file that ends before its third picture still gets what came.
  if (lead_pictures_ > 0 && lead_count_ > 0 && !write_failed_) flush_lead(true);
  lead_count_ = 0;
  const uint32_t samples = writer_.sampleCount();
  if (samples > 0) {
    const uint32_t size = writer_.finishMediaData();
    writer_.writeMovieAtom();
    writer_.write_mdat_size(size);
    if (write_failed_ || writer_.write_failed()) {
      const std::string reason = write_failure_reason(current_file_);
      if (failure_.empty()) failure_ = "could not write \"" + current_file_ + "\"";
      failure_ += " (" + reason + ")";
      if (movie_file_closed(current_file_)) {
        files_.push_back(current_file_);
        dialogs_.message_box("Backup stopped: " + failure_ +
                                 ". The file holds the video written before the failure.",
                             kCaption);
      } else {
        std::remove(current_file_.c_str());
        dialogs_.message_box(
            "Backup stopped: " + failure_ + ". The file could not be finished and was removed.",
            kCaption);
      }
      logger_.error("backup: " + failure_);
      file_number() = 0;
      if (end_reason_ == BackupEnd::kNone) end_reason_ = BackupEnd::kWriteError;
    } else {
      files_.push_back(current_file_);
    }
  } else if (!current_file_.empty() && !write_failed_) {
    // No key frame reached this file: it stays empty.
    files_.push_back(current_file_);
  }
  writer_.clear_samples();
  current_file_.clear();
  if (file_number() == 0 && hooks_.key_form_finished) hooks_.key_form_finished();
  state_ = JobState::kClosed;
  if (file_number() == 0) finishBackupFiles();
  return 1;
}

int BackupJob::closed(BackupItemSource& viewer) {
  if (file_number() == 0) {
    last_end_ = end_reason_ == BackupEnd::kNone ? BackupEnd::kStopped : end_reason_;
    modes_.StartStopBackup(session_, 0, {});
    state_ = JobState::kIdle;
    return 0;
  }
  state_ = JobState::kStartFile;
  viewer.resync_channel(backup_channel());
  if (!viewer.waiting_item().empty()) viewer.drop_waiting_item();
  return 1;
}

}  // namespace tessomar::recording
