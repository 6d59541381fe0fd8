#include "viewer_host.h"

#include <QDesktopServices>
#include <QPalette>
#include <QUrl>
#include <filesystem>
#include <optional>
#include <set>

#include "qt_sound.h"
#include "shell/host.h"

namespace tessomar::viewer {

ViewerHost::ViewerHost(const platform::Environment& environment, shell::InstanceGuard& guard,
                       const platform::Logger& logger)
    : environment_(environment), guard_(guard), logger_(logger) {}

ViewerHost::~ViewerHost() { shutdown(); }

bool ViewerHost::start(const std::vector<shell::PageParam>& params,
                       std::vector<std::string>& failures) {
  control_ = std::make_unique<shell::Control>(shell::ControlServices{
      loop_, clock_, environment_, dialogs_, guard_, logger_, qt_sound_factory(logger_)});
  failures = shell::apply_page_params(control_->properties(), params);
  if (!failures.empty()) {
    control_.reset();
    return false;
  }
  control_->observer().event = [this](std::string_view e) {
    if (on_event) on_event(e);
  };
  // The DDNS page's links open in the system's web browser.
  control_->setup().hooks().open_page = [](std::string_view address) {
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(address.data(), qsizetype(address.size()))));
  };
  // The No-IP wizard gets its window the first time the DDNS tab opens it.
  control_->setup().hooks().open_noip_wizard = [this] {
    control_->open_noip_wizard();
    if (!noip_dialog_) noip_dialog_ = std::make_unique<NoipDialog>(control_->noip_wizard());
  };
  // A finished backup opens the folders its files went to.
  control_->backup().hooks().open_folders = [](const std::vector<std::string>& paths) {
    std::set<std::string> folders;
    for (const std::string& p : paths) folders.insert(std::filesystem::path(p).parent_path());
    for (const std::string& f : folders) {
      QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(f)));
    }
  };
  binder_ = std::make_unique<FormBinder>(control_->form());
  control_->ActiveFormCreate();
  // The start-up loaded the main-form picture: the icons and labels on it follow its colours.
  fit_to_main_form_picture();
  draw_speaker_icons(control_->form());
  timers_ = std::make_unique<platform::FormTimers>(control_->form(), loop_);
  return true;
}

namespace {

// The main-form picture's colour under a component's centre, when the picture covers it.
std::optional<QColor> picture_colour_under(const platform::Form& form,
                                           const platform::Component& c) {
  const platform::Bitmap& picture = form["Image3"].picture();
  const platform::Geometry& g = c.geometry();
  const int x = g.left + g.width / 2;
  const int y = g.top + g.height / 2;
  if (x < 0 || y < 0 || x >= picture.width() || y >= picture.height()) return std::nullopt;
  return QColor::fromRgb(picture.pixel(x, y) | 0xFF000000u);
}

}  // namespace

void ViewerHost::fit_to_main_form_picture() {
  platform::Form& form = control_->form();
  const QColor window = binder_->root()->palette().color(QPalette::Window);
  draw_connection_icons(form, picture_colour_under(form, form["Image_Conn"]).value_or(window));
  // Labels straight on the form take a light text colour over a dark picture.
  for (const auto& c : form.components()) {
    if (c->kind() != platform::ComponentKind::Label || c->parent() != "TTessomarX") continue;
    const std::optional<QColor> under = picture_colour_under(form, *c);
    QWidget* w = binder_->widget(c->name());
    if (!under || !w || under->lightness() >= 128) continue;
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, QColor(0xD8, 0xDD, 0xE3));
    w->setPalette(p);
  }
}

void ViewerHost::shutdown() {
  if (!control_) return;
  control_->unload_query(false);
  // Timers and widgets refer to the control's form: they go first.
  timers_.reset();
  noip_dialog_.reset();
  binder_.reset();
  control_.reset();
}

}  // namespace tessomar::viewer
