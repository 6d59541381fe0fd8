// The control object TTessomarX: its form, start-up sequence, 10 ms main tick and unload
// query. A Control is one self-contained context; hosts create one per process.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/audio_output.h"
#include "channels/icmd.h"
#include "channels/ictl.h"
#include "channels/pbba.h"
#include "channels/session_modes.h"
#include "channels/vask.h"
#include "channels/vdtt.h"
#include "ddns/noip_client.h"
#include "ddns/noip_service.h"
#include "ddns/noip_wizard.h"
#include "keyform/key_form.h"
#include "link/link.h"
#include "platform/clock.h"
#include "platform/dialogs.h"
#include "platform/environment.h"
#include "platform/event_loop.h"
#include "platform/form.h"
#include "platform/log.h"
#include "platform/socket.h"
#include "platform/sound.h"
#include "recording/backup_job.h"
#include "recording/movie_writer.h"
#include "setup/setup_tabs.h"
#include "setup/title_editor.h"
#include "shell/properties.h"
#include "shell/session_watchdog.h"
#include "video/convert.h"
#include "video/decoder.h"
#include "video/vido.h"
#include "video/viewer.h"

namespace tessomar::shell {

// Names the skin and main-form files; its tail from the third character is the version.
constexpr const char* kBuildTag = "02030202";

// Counts control start-ups; a second start-up ends the process with exit status 1, also
// after the first control was destroyed.
class InstanceGuard {
 public:
  using ExitProcess = std::function<void(int status)>;
  explicit InstanceGuard(ExitProcess exit_process);

  void enter();
  int32_t instance_count() const { return instance_count_; }

  // The guard of this process, which really ends it.
  static InstanceGuard& process();

 private:
  ExitProcess exit_process_;
  int32_t instance_count_ = 0;
};

// What the host lends the control.
struct ControlServices {
  platform::EventLoop& loop;
  const platform::Clock& clock;
  const platform::Environment& environment;
  platform::Dialogs& dialogs;
  InstanceGuard& instance_guard;
  // Diagnostics of the control and everything it owns.
  const platform::Logger& logger;
  // Makes the sound device whenever the audio output starts, on the audio thread; unset: a
  // silent device paced by `clock` (platform::null_sound_factory). platform::wav_capture_factory
  // records to a file. The audio thread reads `clock` through the device, so a host whose
  // clock moves on another thread needs a thread-safe one (SystemClock).
  platform::SoundDeviceFactory sound_devices = nullptr;
  // False for a host that does not paint the video view after every picture (the command
  // line): the view is then written around the processor's cache.
  bool view_painted = true;
};

// Times each group of the main tick ran; kept for the host's diagnostics and tests.
struct TickGroupRuns {
  uint32_t every_1s = 0;
  uint32_t every_300ms = 0;
  uint32_t every_33ms = 0;
};

// Services of the main tick that later subsystems plug in: title bitmaps, upload progress and
// playback-control values (300 ms), key repeat and key-form overlays (33 ms), idle speaker
// icons (after the viewers). Unset ones do nothing.
struct TickHooks {
  std::function<void()> every_300ms;
  std::function<void()> every_33ms;
  std::function<void()> after_viewers;
};

// What a host may watch: link events as text and the device identity when it arrives.
struct HostObserver {
  std::function<void(std::string_view event)> event;
  std::function<void(int slot, const channels::DeviceIdentity&)> identity;
  // A setup record of this sub-id arrived and was accepted.
  std::function<void(uint32_t sub_id)> setup_received;
};

class Control {
 public:
  explicit Control(const ControlServices& services);
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // The form's creation event: start-up, then Timer1 on.
  void ActiveFormCreate();
  void control_startup();
  // The main tick, the handler of Timer1's OnTimer.
  void Timer1Timer();
  // Milliseconds since start-up x 100, modulo 2^32 (one unit is 10 microseconds).
  uint32_t tick_clock() const;
  // The host's unload query: stops audio output (the audio thread ends), then answers whether
  // the module may unload.
  bool unload_query(bool holds_objects_or_locks);

  platform::Form& form() { return form_; }
  const platform::Form& form() const { return form_; }
  ControlProperties& properties() { return properties_; }
  const ControlProperties& properties() const { return properties_; }
  const ControlServices& services() const { return services_; }
  Extent& extent() { return extent_; }

  const std::string& skin_folder() const { return skin_folder_; }
  bool started() const { return started_; }
  bool startup_failed() const { return startup_failed_; }
  const TickGroupRuns& tick_group_runs() const { return group_runs_; }
  platform::ClientSocket& socket(int slot, int socket) { return *sockets_[slot][socket]; }
  link::Link& link() { return link_; }
  HostObserver& observer() { return observer_; }
  TickHooks& tick_hooks() { return tick_hooks_; }
  channels::VaskChannel& vask() { return vask_; }
  channels::IcmdChannel& icmd() { return icmd_; }
  channels::IctlChannel& ictl() { return ictl_; }
  channels::PbbaChannel& pbba() { return pbba_; }
  channels::VdttChannel& vdtt() { return vdtt_; }
  channels::SessionModes& modes() { return modes_; }
  video::DecoderSlots& decoders() { return decoders_; }
  video::VideoChannel& vido() { return vido_; }
  video::Viewers& viewers() { return viewers_; }
  keyform::KeyForm& key_form() { return key_form_; }
  audio::AudioOutput& audio() { return audio_; }
  setup::SetupTabs& setup() { return setup_; }
  recording::MovieWriter& movie_writer() { return writer_; }
  // Hosts set backup().hooks().open_folders to learn which files a backup wrote.
  recording::BackupJob& backup() { return backup_; }
  setup::TitleEditor& titles() { return titles_; }

  // Where the No-IP wizard's requests go; a later change starts a fresh wizard.
  void set_noip_config(ddns::NoipConfig config);
  const ddns::NoipConfig& noip_config() const { return noip_config_; }
  // The No-IP account wizard, created on first use and kept with its contents.
  ddns::NoipWizard& noip_wizard();
  // The DDNS tab's Create Account with No-IP chosen.
  void open_noip_wizard();

 private:
  // Start-up steps; each returns false to end the start-up early.
  bool step_instance_guard();
  bool step_sockets();
  bool step_video_picture();
  bool step_decoders();
  bool step_decoder_buffer();
  bool step_key_form();
  bool step_key_form_skin();
  bool step_connecting_label();
  bool step_transport_and_channels();
  bool step_system_folder();
  bool step_main_form_picture();
  bool step_version_label();
  bool step_clock_base();
  bool step_recording();

  // Interval test against a group's stamp: true (and the stamp moved) when more than
  // `threshold` tick units passed since it last ran.
  bool group_due(uint32_t& last, uint32_t threshold);
  void wire_video();
  void wire_key_form();
  void wire_audio();
  void wire_setup();
  void wire_backup();
  void wire_titles();
  // The wizard's OK: the new account into the DDNS tab, which is applied at once.
  void noip_finish(std::string_view user, std::string_view password, std::string_view host);
  // Slot 0's session and device values as the audio output reads them.
  void publish_audio_view();
  // Drops the own session when its identity or its live pictures stay away too long.
  void watch_session();

  void host_event(std::string_view text) {
    if (observer_.event) observer_.event(text);
  }

  ControlServices services_;
  HostObserver observer_;
  TickHooks tick_hooks_;
  platform::Form form_;
  ControlProperties properties_;
  Extent extent_;

  std::array<std::array<std::unique_ptr<platform::ClientSocket>, 2>, 2> sockets_;
  link::Link link_;
  channels::VaskChannel vask_;
  channels::IcmdChannel icmd_;
  channels::IctlChannel ictl_;
  channels::PbbaChannel pbba_;
  channels::VdttChannel vdtt_;
  channels::SessionModes modes_;
  video::DecoderSlots decoders_;
  video::ViewConverter converter_;
  video::VideoChannel vido_;
  video::Viewers viewers_;
  keyform::KeyForm key_form_;
  audio::AudioOutput audio_;  // after the viewers and the key form: its thread reads them
  setup::SetupTabs setup_;
  recording::MovieWriter writer_;
  std::unique_ptr<recording::BackupWriter> writer_port_;
  recording::BackupJob backup_;
  setup::TitleEditor titles_;  // slot 0's title set, kept by vdtt_
  std::string skin_folder_;
  uint32_t clock_base_ = 0;
  uint32_t last_1s_ = 0;
  uint32_t last_300ms_ = 0;
  uint32_t last_33ms_ = 0;
  TickGroupRuns group_runs_;
  SessionWatchdog watchdog_;
  // The key form took slot 0's first identity and chose the first view: a later identity
  // comes from a new session after a lost one and resumes the user's view.
  bool view_chosen_ = false;
  bool started_ = false;
  bool startup_failed_ = false;
  ddns::NoipConfig noip_config_;
  // Last: the wizard's form and timer go before everything it calls into.
  std::unique_ptr<ddns::NoipClient> noip_client_;
  std::unique_ptr<ddns::NoipWizard> noip_wizard_;
};

}  // namespace tessomar::shell
