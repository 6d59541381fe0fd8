#include "shell/control.h"

#include <cstdio>
#include <cstdlib>

#include "platform/bmp.h"
#include "shell/form_description.h"

namespace tessomar::shell {

namespace {
constexpr uint32_t kOneSecond = 100000;  // tick units
constexpr uint32_t k300ms = 30000;
constexpr uint32_t k33ms = 3300;
constexpr size_t kSystemRootMax = 127;
constexpr size_t kSkinFolderMax = 127;  // the folder text is 128 bytes with its NUL
}  // namespace

InstanceGuard::InstanceGuard(ExitProcess exit_process) : exit_process_(std::move(exit_process)) {}

void InstanceGuard::enter() {
  if (instance_count_ != 0) {
    exit_process_(1);
    return;
  }
  ++instance_count_;
}

InstanceGuard& InstanceGuard::process() {
  static InstanceGuard guard([](int status) {
    std::fflush(nullptr);
    std::_Exit(status);
  });
  return guard;
}

Control::Control(const ControlServices& services)
    : services_(services),
      link_(form_, services.clock, services.logger, [this] { return tick_clock(); }),
      vask_(link_, form_),
      icmd_(link_, services.dialogs),
      ictl_(link_, form_, services.dialogs),
      pbba_(link_, icmd_),
      vdtt_(link_),
      modes_(icmd_, link_, form_),
      decoders_(services.clock, services.logger),
      vido_(link_),
      viewers_(services.clock, link_),
      key_form_(keyform::KeyFormServices{form_, services.clock, services.logger, link_, icmd_,
                                         modes_, [this] { return tick_clock(); },
                                         [this] { return vask_.record(0).device.audio; }}),
      audio_(viewers_, &key_form_.video_pointer().speaker_on(),
             services.sound_devices ? services.sound_devices
                                    : platform::null_sound_factory(services.clock),
             services.logger),
      setup_(form_, link_, icmd_, ictl_, services.dialogs, services.logger),
      writer_(ictl_),
      writer_port_(recording::movie_writer_port(writer_)),
      backup_({modes_, icmd_.session(0), [this] { return link_.slot(0).session_key; },
               *writer_port_, services.dialogs, services.clock, services.logger}),
      titles_(form_, services.dialogs, services.logger, vdtt_.transfer(0)) {
  if (auto service = services.environment.get(ddns::kNoipServiceVariable)) {
    std::string why;
    if (!ddns::parse_noip_service(*service, noip_config_, why)) {
      services.logger.warning(std::string(ddns::kNoipServiceVariable) + ": " + why +
                              ", the wizard uses " + noip_config_.host);
    }
  }
  auto rows = main_form_description();
  form_.build(rows.data(), rows.size());
  form_["Timer1"].on("OnTimer", [this](platform::Event&) { Timer1Timer(); });
  link_.hooks().connection_params = [this] {
    return link::ConnectionParams{properties_.property_put_count(), properties_.dvrip_text(),
                                  properties_.http_port_text(), properties_.dvr_uk_text()};
  };
  link_.hooks().send_hello = [this](uint32_t key) { vask_.send_vask(key, channels::kVaskHello); };
  link_.hooks().session_opened = [this](int slot) { vask_.clear_hello_first_word(slot); };
  link_.hooks().feedback_wanted = [this](int slot) {
    return icmd_.session(slot).mode != channels::kModeNone;
  };
  vask_.hooks().write_machine_type = [this](uint32_t key) {
    ictl_.SlotWrite(key, "Vask_Mach_Type_Data_W", ictl_.buffers().machine_type, 1);
  };
  icmd_.hooks().hello_first_word = [this](int slot) { return vask_.hello_first_word(slot); };
  link_.hooks().event = [this](std::string_view e) { host_event(e); };
  vask_.hooks().identity_received = [this](int slot, const channels::DeviceIdentity& id) {
    if (slot == 0) {
      viewers_.set_fast_live_pacing(id.paced_by_stream_interval());
      const link::ConnectionSlot& s = link_.slot(0);
      setup_.prepare(id, s.host, s.port > 0 ? std::to_string(s.port) : std::string());
      if (view_chosen_) {
        modes_.resume_view(0);
      } else {
        // The start page and the key form choose the first view; without channels there is
        // none to choose yet.
        key_form_.device_identity(int32_t(id.channel_count), int32_t(id.model_variant),
                                  properties_.http_page_number());
        view_chosen_ = id.channel_count != 0;
      }
    }
    host_event("identity received: " + std::to_string(id.channel_count) + " channels");
    if (observer_.identity) observer_.identity(slot, id);
  };
  vask_.hooks().refused = [this](int) { host_event("refused by the DVR (check DVR_UK)"); };
  wire_video();
  wire_key_form();
  wire_audio();
  wire_setup();
  wire_backup();
  wire_titles();
}

void Control::wire_setup() {
  setup_.startup();
  icmd_.hooks().refill_tab = [this](uint32_t sub_id, const channels::SessionState& state) {
    setup_.refill(sub_id, state);
    if (observer_.setup_received) observer_.setup_received(sub_id);
  };
  icmd_.hooks().group_enabled = [this](int group, bool on) { setup_.set_group_enabled(group, on); };
  ictl_.hooks().upnp_display = [this](uint32_t) { setup_.upnp_display(); };
  setup_.hooks().open_noip_wizard = [this] { open_noip_wizard(); };
}

void Control::set_noip_config(ddns::NoipConfig config) {
  noip_wizard_.reset();
  noip_client_.reset();
  noip_config_ = std::move(config);
}

ddns::NoipWizard& Control::noip_wizard() {
  if (!noip_wizard_) {
    const platform::Clock& clock = services_.clock;
    noip_client_ = std::make_unique<ddns::NoipClient>(
        services_.dialogs, services_.logger, noip_config_, [&clock] { return clock.unix_now(); });
    noip_wizard_ = std::make_unique<ddns::NoipWizard>(*noip_client_, services_.loop,
                                                      services_.dialogs, services_.logger);
    ddns::NoipWizardHooks& h = noip_wizard_->hooks();
    // Read at the click: hosts set the page opener after start-up.
    h.open_page = [this](std::string_view address) {
      if (setup_.hooks().open_page) {
        setup_.hooks().open_page(address);
      } else {
        services_.logger.info("noip: page " + std::string(address));
      }
    };
    h.dvr_address = [this] { return link_.slot(0).host; };
    h.finish = [this](std::string_view user, std::string_view password, std::string_view host) {
      noip_finish(user, password, host);
    };
  }
  return *noip_wizard_;
}

void Control::open_noip_wizard() {
  noip_wizard().show();
  host_event("noip wizard opened");
}

void Control::noip_finish(std::string_view user, std::string_view password, std::string_view host) {
  form_["LabeledEdit_ddns2"].set_caption(user);
  form_["LabeledEdit_ddns3"].set_caption(password);
  form_["LabeledEdit_ddns4"].set_caption(host);
  setup_.apply(setup::kTabDdns);
  host_event("noip wizard finished: " + std::string(host));
}

void Control::wire_titles() {
  auto& sh = setup_.hooks();
  sh.title_apply = [this] { vdtt_.title_apply(); };
  sh.title_refresh = [this] { vdtt_.title_fetch(); };
  sh.title_channels = [this](uint32_t count) { titles_.set_channel_count(count); };
  auto& vh = vdtt_.hooks();
  vh.refill_editor = [this](int slot) {
    if (slot == 0) titles_.refill();
  };
  vh.pushed_set_stored = [this](int slot) {
    if (slot == 0) titles_.show_titles();
  };
  vh.titles_enabled = [this](bool on) { titles_.set_controls_enabled(on); };
  vh.clear_title_edits = [this] { titles_.clear_edits(); };
  vh.title_tab_shown = [this] { return form_["PageControl1"].item_index() == setup::kTabTitle; };
  vh.progress = [this](int percent) { titles_.show_progress(percent); };
}

void Control::wire_video() {
  link_.hooks().request_feedback = [this](int s) {
    vido_.requestFeedback(link_.slot(s).session_key);
  };
  link_.hooks().bind_viewer = [this](int s) {
    viewers_.bind_outputs(s, &form_["Image_video"], &form_["Label_time"]);
  };
  icmd_.hooks().clear_reorder_table = [this](int s) { vido_.clear_reorder_table(s); };
  vask_.hooks().reset_reorder_sequence = [this](int s) { vido_.reset_reorder_sequence(s); };
  decoders_.set_picture_sink(
      [this](int i, const video::DecodedPicture& p) { viewers_.present_decoded(i, p); });
  viewers_.set_decoder(video::decoder_port(decoders_));
  converter_.set_write_around_cache(!services_.view_painted);
  viewers_.set_converter(&converter_);
  viewers_.hooks().clear_reorder_table = [this](int s) { vido_.clear_reorder_table(s); };

  auto& mh = modes_.hooks();
  mh.viewer_time = [this](int s) { return viewers_.viewer(s).displayTime(); };
  mh.set_viewer_time = [this](int s, uint32_t t) { viewers_.viewer(s).set_display_time(t); };
  mh.flush_viewer = [this](int s, uint32_t n) { viewers_.viewer(s).flushViewer(n); };
  mh.clear_reorder_table = [this](int s) { vido_.clear_reorder_table(s); };
}

void Control::wire_key_form() {
  auto pointer = [this](const char* component, const char* event, auto handler) {
    form_[component].on(event, [handler](platform::Event& e) { handler(e.x, e.y); });
  };
  pointer("Image1", "OnMouseDown", [this](int x, int y) { key_form_.Image1MouseDown(x, y); });
  pointer("Image1", "OnMouseMove", [this](int x, int y) { key_form_.Image1MouseMove(x, y); });
  pointer("Image1", "OnMouseUp", [this](int x, int y) { key_form_.Image1MouseUp(x, y); });
  form_["Image1"].on("OnMouseLeave", [this](platform::Event&) { key_form_.pointer_left(); });
  keyform::VideoPointer& video = key_form_.video_pointer();
  pointer("Image_Trumpet_BG", "OnMouseDown",
          [&video](int x, int y) { video.Image_Trumpet_BGMouseDown(x, y); });
  pointer("Image_Trumpet_BG", "OnMouseMove",
          [&video](int x, int y) { video.Image_Trumpet_BGMouseMove(x, y); });
  pointer("Image_Trumpet_Off", "OnMouseMove",
          [&video](int, int) { video.Image_Trumpet_OffMouseMove(); });
  pointer("Image_Trumpet_On", "OnMouseMove",
          [&video](int, int) { video.Image_Trumpet_OnMouseMove(); });
  pointer("Image_Trumpet_Off", "OnClick", [&video](int, int) { video.Image_Trumpet_OffClick(); });
  pointer("Image_Trumpet_On", "OnClick", [&video](int, int) { video.Image_Trumpet_OnClick(); });

  icmd_.hooks().show_live_layout = [this](int layout, int first, int selected) {
    key_form_.show_live_layout(layout, first, selected);
  };
  vido_.hooks().audio_present = [&video](int) { video.set_audio_present(true); };

  // The recording calendar asks the DVR about what it shows and marks what it was told.
  keyform::MonthCalendar& calendar = key_form_.calendar();
  channels::PbbaCalendar& pc = pbba_.calendar();
  pc.shown_time = [&calendar](uint32_t index) {
    return index == channels::kRangeMonthView ? calendar.month_view_time()
                                              : calendar.day_view_time();
  };
  pc.store_flags = [&calendar](uint32_t index, std::span<const int32_t> flags) {
    if (index == channels::kRangeMonthView) {
      std::copy(flags.begin(), flags.end(), calendar.month_view_flags().begin());
    } else {
      std::copy(flags.begin(), flags.end(), calendar.day_view_flags().begin());
    }
  };
  pc.redraw = [this, &calendar] {
    calendar.rebuild_grid(keyform::as_time(key_form_.variables().mon_time));
    key_form_.context().force_redraw();
  };
}

void Control::wire_audio() {
  auto& mh = modes_.hooks();
  mh.clear_audio_channel = [this] { audio_.clearAudioChannel(); };
  // A view command ends with the icons; by then the new mode, channel and send sequence are
  // in place, and the audio thread should judge the next record by them.
  mh.hide_speaker_icons = [this, hide = std::move(mh.hide_speaker_icons)] {
    if (hide) hide();
    publish_audio_view();
  };
  viewers_.hooks().audio_step = [this](video::Viewer& v) { return audio_.audioStep(v); };
  audio_.hooks().backup_writer = [this](video::Viewer& v) {
    if (viewers_.hooks().service_backup) return viewers_.hooks().service_backup(v);
    v.release_waiting_frame();
    return 0;
  };
}

void Control::wire_backup() {
  // The first slot's viewer drives the one backup job.
  viewers_.hooks().service_backup = [this](video::Viewer& v) {
    if (v.slot_index() != 0) {
      v.consume_waiting_frame();
      return 0;
    }
    return backup_.serviceBackup(v);
  };
  modes_.hooks().set_backup_state = [this](int state) { backup_.setBackupState(state); };
  keyform::KeyFormState& state = key_form_.state();
  state.hooks().start_backup = [this] {
    // Only from idle or finished; a running backup is stopped by the Save key instead.
    if (key_form_.variables().ie_st2 % 2 != 0) return 0;
    return backup_.startBackup();
  };
  recording::BackupJobHooks& h = backup_.hooks();
  h.key_form_started = [this] {
    // The Save key's own state update marks the backup running once the start returns 1;
    // running it from inside the start as well would read the pressed key a second time and
    // stop the backup it is starting.
    keyform::KeyFormVariables& v = key_form_.variables();
    v.ie_percentage = 0;
    v.ie_st2 = keyform::kSaveRunning;
    key_form_.context().input_level = keyform::kInputLevelBackup;
  };
  h.key_form_refused = [this] { key_form_.state().backup_refused(); };
  h.key_form_finished = [this] {
    keyform::KeyFormVariables& v = key_form_.variables();
    v.ie_st = 1;
    v.ie_st2 = keyform::kSaveRunning;
    key_form_.state().update(false);
  };
  h.show_file_name = [this](const std::string& name) { form_["Label1"].set_caption(name); };
}

void Control::publish_audio_view() {
  const channels::SessionState& s = icmd_.session(0);
  const channels::DeviceIdentity& device = vask_.record(0).device;
  audio::AudioViewState v;
  v.session = started_;
  v.mode = s.mode;
  v.sendSequence = s.sendSequence;
  v.liveSelected = platform::load_u32le(&s.live[channels::kLiveSelectedChannel]);
  v.liveLayout = platform::load_u32le(&s.live[channels::kLiveLayout]);
  v.playbackChannel = platform::load_u32le(&s.playback[channels::kPlaybackChannel]);
  v.backupChannel = platform::load_u32le(&s.backup[channels::kBackupChannel]);
  v.identityAudio = device.audio;
  v.fps = device.video_standard != 0 ? 25 : 30;
  audio_.publish_view(v);
}

Control::~Control() {
  audio_.terminate_thread();
  // Sockets go first: closing them reports to the link, which must still be there.
  for (auto& slot : sockets_) {
    for (auto& s : slot) {
      if (s) s->on_disconnect = nullptr;
      s.reset();
    }
  }
}

void Control::ActiveFormCreate() {
  control_startup();
  form_["Timer1"].set_enabled(true);
  key_form_.video_pointer().reset();
  publish_audio_view();
  audio_.create_thread_suspended();
  audio_.resume_thread();
}

// The start-up sequence, in order. Each subsystem adds its step at its place here.
void Control::control_startup() {
  using Step = bool (Control::*)();
  static constexpr Step kSteps[] = {
      &Control::step_instance_guard,    &Control::step_sockets,
      &Control::step_video_picture,     &Control::step_decoders,
      &Control::step_connecting_label,  &Control::step_transport_and_channels,
      &Control::step_decoder_buffer,    &Control::step_key_form,
      &Control::step_system_folder,     &Control::step_key_form_skin,
      &Control::step_main_form_picture, &Control::step_version_label,
      &Control::step_clock_base,        &Control::step_recording,
  };
  for (Step step : kSteps) {
    if (!(this->*step)()) {
      startup_failed_ = true;
      return;
    }
  }
  started_ = true;
}

bool Control::step_instance_guard() {
  services_.instance_guard.enter();
  return true;
}

bool Control::step_sockets() {
  for (int slot = 0; slot < 2; ++slot) {
    for (int s = 0; s < 2; ++s) {
      sockets_[slot][s] = services_.loop.create_socket(services_.logger);
      // Bit 0 names the slot, the rest the socket index.
      sockets_[slot][s]->set_tag(s * 2 + slot);
    }
  }
  link_.attach_sockets({{{sockets_[0][0].get(), sockets_[0][1].get()},
                         {sockets_[1][0].get(), sockets_[1][1].get()}}});
  return true;
}

bool Control::step_video_picture() {
  video::setupVideoView(form_["Image_video"]);
  return true;
}

bool Control::step_decoders() {
  for (int i = 0; i < 2; ++i) {
    if (decoders_.openDecoder(i) != 0) {
      form_["Label_time"].set_caption("Decode_File Err");
      return false;
    }
  }
  return true;
}

bool Control::step_decoder_buffer() {
  decoders_.allocateDecoderBuffer();
  return true;
}

bool Control::step_key_form() {
  key_form_.initialise();
  return true;
}

bool Control::step_key_form_skin() {
  // A missing skin leaves the key form empty; the control runs on without it.
  key_form_.register_key_form(skin_folder_, kBuildTag);
  return true;
}

bool Control::step_connecting_label() {
  form_["Label_time"].set_caption("Connecting ...");
  return true;
}

// Transport first, then the channels in their registration order.
bool Control::step_transport_and_channels() {
  link_.init_slots();
  vask_.register_vask();
  icmd_.register_icmd();
  vido_.registerVideoChannel();
  // Records flow one way: the channel fills the viewer's rings, the viewer fills the
  // channel's feedback block.
  for (int s = 0; s < video::kViewerCount; ++s) {
    const channels::DeviceIdentity* device = &vask_.record(s).device;
    vido_.attach(s, &viewers_.viewer(s), &icmd_.session(s), device);
    viewers_.bind(s, &icmd_.session(s), device, &vido_.state(s).feedback);
  }
  vdtt_.register_vdtt();
  titles_.prepare();
  ictl_.register_ictl();
  ictl_.declare_slots();
  pbba_.register_pbba();
  return true;
}

bool Control::step_system_folder() {
  std::string root = services_.environment.get("systemroot").value_or("");
  if (root.size() > kSystemRootMax) root.resize(kSystemRootMax);
  std::string wow = root + "/SysWOW64";
  skin_folder_ = platform::path_opens_for_reading(wow) ? wow : root + "/system32";
  if (skin_folder_.size() > kSkinFolderMax) skin_folder_.resize(kSkinFolderMax);
  return true;
}

bool Control::step_main_form_picture() {
  std::string path = skin_folder_ + "/TessomarMainForm_" + kBuildTag + ".bmp";
  if (!platform::path_opens_for_reading(path)) return true;
  platform::Bitmap picture;
  std::string error;
  if (!platform::load_bmp(path, picture, error)) {
    // An unreadable picture leaves the built-in background, as a missing one does.
    services_.logger.warning("main-form picture: " + error);
    return true;
  }
  platform::Component& background = form_["Image3"];
  background.picture() = std::move(picture);
  background.picture_changed();
  return true;
}

bool Control::step_version_label() {
  form_["Label_Version"].set_caption(std::string("Ver.") + (kBuildTag + 2));
  return true;
}

bool Control::step_clock_base() {
  clock_base_ = services_.clock.now_ms();
  return true;
}

bool Control::step_recording() {
  writer_.setWatermarkParameters();
  return true;
}

uint32_t Control::tick_clock() const {
  uint32_t ms = services_.clock.now_ms() - clock_base_;
  return ms * 100u;
}

bool Control::group_due(uint32_t& last, uint32_t threshold) {
  uint32_t now = tick_clock();
  if (now - last > threshold) {
    last = now;
    return true;
  }
  return false;
}

// The main tick. Each subsystem adds its service at its place here.
void Control::Timer1Timer() {
  platform::Component& timer = form_["Timer1"];
  timer.set_enabled(false);

  // A failed start-up built none of the tables the services below touch.
  if (started_) {
    publish_audio_view();
    // Receive: at most one reply per connected socket.
    for (int slot = 0; slot < link::kSlotCount; ++slot) {
      for (int s = 0; s < link::kSocketsPerSlot; ++s) {
        if (link_.socket_connected(slot, s)) link_.take_reply(slot, s);
      }
      vido_.deliverInOrder(slot);
      vido_.skip_stale_gap(slot, tick_clock());
    }
    icmd_.reenable_tick();
    vdtt_.tick();

    if (group_due(last_1s_, kOneSecond)) {
      ++group_runs_.every_1s;
      modes_.backup_progress(icmd_.session(0));
    }
    if (group_due(last_300ms_, k300ms)) {
      ++group_runs_.every_300ms;
      pbba_.calendar_poll();
      titles_.render_tick();
      vdtt_.progress_tick();
      if (tick_hooks_.every_300ms) tick_hooks_.every_300ms();
    }
    if (group_due(last_33ms_, k33ms)) {
      ++group_runs_.every_33ms;
      key_form_.service_33ms();
      if (tick_hooks_.every_33ms) tick_hooks_.every_33ms();
    }
    // Link service: reconnect lost sockets of slot 0, keep a request in flight.
    for (int s = 0; s < link::kSocketsPerSlot; ++s) {
      if (link_.slot(0).socket_state[s] == link::kSocketLost) link_.start_connection(0, s);
    }
    link_.request_pump(0);
    watch_session();
    publish_audio_view();
    viewers_.serviceViewers();
    key_form_.speaker_service();
    if (tick_hooks_.after_viewers) tick_hooks_.after_viewers();
  }

  timer.set_enabled(true);
}

void Control::watch_session() {
  const link::ConnectionSlot& s = link_.slot(0);
  SessionWatchdog::Reading r;
  r.session_key = s.session_key;
  r.established = s.link_state == link::kEstablished;
  r.identified = s.live == 1;
  // A DVR that forgot the session answers every poll with nothing: a live view or a
  // running backup sees its pictures stop, a backup would end after its 15 s of silence.
  const bool backing_up = icmd_.session(0).mode == channels::kModeBackup &&
                          backup_.state() != recording::JobState::kIdle;
  r.expects_pictures = backing_up || (view_chosen_ && icmd_.session(0).mode == channels::kModeLive);
  if (backing_up) r.picture_wait = SessionWatchdog::kBackupPictureWait;
  r.pictures = vido_.stats(0).delivered;
  switch (watchdog_.check(r, tick_clock())) {
    case SessionWatchdog::Verdict::kNoIdentity:
      link_.drop_session(0, "no identity from the DVR, reconnecting");
      break;
    case SessionWatchdog::Verdict::kPicturesStopped:
      link_.drop_session(0, "no pictures from the DVR, reconnecting");
      break;
    case SessionWatchdog::Verdict::kHealthy:
      break;
  }
}

bool Control::unload_query(bool holds_objects_or_locks) {
  // Audio output stops on every query, whatever the answer.
  audio_.terminate_thread();
  audio_.stopSoundOutput();
  return !holds_objects_or_locks;
}

}  // namespace tessomar::shell
