#include "keyform/key_form.h"

namespace tessomar::keyform {

std::string key_form_file_name(std::string_view build_tag) {
  return "TessomarKeyForm_" + std::string(build_tag) + ".YUV2";
}

KeyForm::KeyForm(const KeyFormServices& services)
    : form_(services.form),
      logger_(services.logger),
      link_(services.link),
      modes_(services.modes),
      engine_(ctx_, services.logger),
      calendar_(ctx_, services.modes, services.icmd, services.clock),
      state_(ctx_, services.modes, services.icmd, calendar_, services.logger),
      pointer_(ctx_, state_, services.form, services.icmd) {
  pointer_.hooks().tick_clock = services.tick_clock;
  pointer_.hooks().identity_audio = services.identity_audio;
  wire();
}

void KeyForm::wire() {
  SkinEngineHooks& e = engine_.hooks();
  e.after_key_form_click = [this] {
    state_.update(false);
    calendar_.refresh();
  };
  e.release_handling = [this] { calendar_.release_handling(); };
  e.refresh_machine_keys = [this] { state_.refresh_machine_keys(); };

  state_.hooks().redraw = [this](bool force) { redraw(force); };
  pointer_.hooks().redraw = [this](bool force) { redraw(force); };

  channels::SessionModesHooks& m = modes_.hooks();
  show_session_window(m, ctx_);
  m.clear_speaker_hover = [this] { pointer_.clear_hover(); };
  m.hide_speaker_icons = [this] { pointer_.hide_icons(); };
}

void KeyForm::initialise() {
  ctx_.force_redraw();
  engine_.clear_registry();
  state_.initialise();
}

bool KeyForm::register_key_form(std::string folder, std::string_view build_tag) {
  const std::string file = key_form_file_name(build_tag);
  engine_.set_skin_folder(folder);
  if (!engine_.register_skin(file, kKeyFormKeyA, kKeyFormKeyB, kKeyFormKind)) {
    // The engine logged why; the control runs on without keys.
    logger_.info("key form: " + file + " not registered; the key form stays empty");
    return false;
  }
  return true;
}

void KeyForm::service_33ms() {
  engine_.repeat_step();
  redraw(ctx_.button_down);
}

void KeyForm::device_identity(int32_t channel_count, int32_t logo, int32_t start_page) {
  state_.device_identity(link_.slot(0).credential_a, channel_count, logo, start_page);
}

void KeyForm::redraw(bool force) { engine_.redraw(force, form_["Image1"]); }

}  // namespace tessomar::keyform
