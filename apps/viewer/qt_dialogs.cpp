#include "qt_dialogs.h"

#include <QFileDialog>
#include <QFont>
#include <QFontDialog>
#include <QMessageBox>
#include <QStringList>

namespace tessomar::viewer {

namespace {

QString start_path(const platform::FileDialogRequest& r) {
  QString dir = QString::fromStdString(r.initial_dir);
  QString name = QString::fromStdString(r.default_name);
  if (dir.isEmpty()) return name;
  if (name.isEmpty()) return dir;
  return dir + (dir.endsWith('/') ? "" : "/") + name;
}

}  // namespace

QString qt_file_filter(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    QString patterns = i + 1 < parts.size() ? parts[i + 1].trimmed() : QString();
    patterns.replace(';', ' ');
    if (description.isEmpty() && patterns.isEmpty()) continue;
    if (patterns.isEmpty() || description.contains('(')) {
      out << (description.isEmpty() ? patterns : description);
    } else {
      out << description + " (" + patterns + ")";
    }
  }
  return out.join(";;");
}

void QtDialogs::message_box(const std::string& text, const std::string& caption) {
  QMessageBox::information(parent_, QString::fromStdString(caption), QString::fromStdString(text));
}

std::optional<std::string> QtDialogs::open_file(const platform::FileDialogRequest& request) {
  const QString path =
      QFileDialog::getOpenFileName(parent_, QString::fromStdString(request.title),
                                   start_path(request), qt_file_filter(request.filter));
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

std::optional<std::string> QtDialogs::save_file(const platform::FileDialogRequest& request) {
  QFileDialog dialog(parent_, QString::fromStdString(request.title), start_path(request),
                     qt_file_filter(request.filter));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  // The first filter's extension is added to a name typed without one ("*.mov" -> "mov").
  const QStringList parts = QString::fromStdString(request.filter).split('|');
  if (parts.size() > 1 && parts[1].startsWith("*.") && parts[1].indexOf('*', 1) < 0) {
    dialog.setDefaultSuffix(parts[1].mid(2));
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  const QString path = dialog.selectedFiles().first();
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

std::optional<platform::FontChoice> QtDialogs::choose_font(const platform::FontChoice& initial) {
  QFont font(QString::fromStdString(initial.family));
  if (initial.size > 0) font.setPointSize(initial.size);
  font.setBold(initial.bold);
  font.setItalic(initial.italic);
  font.setUnderline(initial.underline);
  font.setStrikeOut(initial.strikeout);
  bool ok = false;
  const QFont chosen = QFontDialog::getFont(&ok, font, parent_);
  if (!ok) return std::nullopt;
  platform::FontChoice out;
  out.family = chosen.family().toStdString();
  out.size = chosen.pointSize();
  out.bold = chosen.bold();
  out.italic = chosen.italic();
  out.underline = chosen.underline();
  out.strikeout = chosen.strikeOut();
  return out;
}

}  // namespace tessomar::viewer
