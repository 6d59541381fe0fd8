// Message boxes and file/font dialogs. The headless service records every message box and
// answers dialogs from a script; the desktop viewer shows real ones.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/log.h"

namespace tessomar::platform {

struct MessageBoxRecord {
  std::string text;
  std::string caption;
  bool operator==(const MessageBoxRecord&) const = default;
};

struct FileDialogRequest {
  std::string title;
  std::string filter;  // e.g. "Movie files (*.mov)|*.mov"
  std::string initial_dir;
  std::string default_name;
};

struct FontChoice {
  std::string family;
  int size = 0;
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool strikeout = false;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  virtual void message_box(const std::string& text, const std::string& caption) = 0;
  // The chosen path, or nothing when the user cancelled.
  virtual std::optional<std::string> open_file(const FileDialogRequest& request) = 0;
  virtual std::optional<std::string> save_file(const FileDialogRequest& request) = 0;
  virtual std::optional<FontChoice> choose_font(const FontChoice& initial) = 0;
};

// Records message boxes (and logs them as information); file and font dialogs take the next
// scripted answer (cancel when the script is empty).
class HeadlessDialogs final : public Dialogs {
 public:
  explicit HeadlessDialogs(const Logger& logger) : logger_(logger) {}

  void message_box(const std::string& text, const std::string& caption) override;
  std::optional<std::string> open_file(const FileDialogRequest& request) override;
  std::optional<std::string> save_file(const FileDialogRequest& request) override;
  std::optional<FontChoice> choose_font(const FontChoice& initial) override;

  const std::vector<MessageBoxRecord>& messages() const { return messages_; }
  void clear_messages() { messages_.clear(); }
  // Answers for the next dialogs, in order; std::nullopt answers "cancel".
  void script_file_answer(std::optional<std::string> path) {
    file_answers_.push_back(std::move(path));
  }
  void script_font_answer(std::optional<FontChoice> f) { font_answers_.push_back(std::move(f)); }
  const std::vector<FileDialogRequest>& file_requests() const { return file_requests_; }
  // A long-lived instance (a fuzz run) forgets the requests it has answered.
  void clear_file_requests() { file_requests_.clear(); }

 private:
  std::optional<std::string> next_file_answer(const FileDialogRequest& request);

  const Logger& logger_;
  std::vector<MessageBoxRecord> messages_;
  std::deque<std::optional<std::string>> file_answers_;
  std::deque<std::optional<FontChoice>> font_answers_;
  std::vector<FileDialogRequest> file_requests_;
};

}  // namespace tessomar::platform
