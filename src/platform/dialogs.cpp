#include "platform/dialogs.h"

namespace tessomar::platform {

void HeadlessDialogs::message_box(const std::string& text, const std::string& caption) {
  messages_.push_back({text, caption});
  logger_.info("message box [" + caption + "] " + text);
}

std::optional<std::string> HeadlessDialogs::next_file_answer(const FileDialogRequest& request) {
  file_requests_.push_back(request);
  if (file_answers_.empty()) return std::nullopt;
  auto a = std::move(file_answers_.front());
  file_answers_.pop_front();
  return a;
}

std::optional<std::string> HeadlessDialogs::open_file(const FileDialogRequest& request) {
  return next_file_answer(request);
}

std::optional<std::string> HeadlessDialogs::save_file(const FileDialogRequest& request) {
  return next_file_answer(request);
}

std::optional<FontChoice> HeadlessDialogs::choose_font(const FontChoice&) {
  if (font_answers_.empty()) return std::nullopt;
  auto a = std::move(font_answers_.front());
  font_answers_.pop_front();
  return a;
}

}  // namespace tessomar::platform
