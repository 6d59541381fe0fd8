// The key form's state: the variables that skin elements show and clicks change (addressed by
// binding name), and the values that drawing, pointer input, the calendar and the state update
// share. One KeyFormContext per control; user-interface thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>

namespace tessomar::keyform {

// One binding variable: a 32-bit value or an array of them. A read outside the variable gives 0
// and a write outside it is dropped, so no skin can reach past a variable.
class Binding {
 public:
  Binding() = default;
  Binding(int32_t* data, int32_t size) : data_(data), size_(size) {}

  bool exists() const { return data_ != nullptr; }
  int32_t size() const { return size_; }
  int32_t get(int32_t i = 0) const { return i >= 0 && i < size_ ? data_[i] : 0; }
  void set(int32_t i, int32_t v) {
    if (i >= 0 && i < size_) data_[i] = v;
  }
  void set(int32_t v) { set(0, v); }
  bool operator==(const Binding& o) const { return data_ == o.data_ && size_ == o.size_; }

 private:
  int32_t* data_ = nullptr;
  int32_t size_ = 0;
};

// The binding variables, one field per row of the binding table (names in the comments).
struct KeyFormVariables {
  std::array<int32_t, 4> ie_page{};      // "IE_Page#ADN": Live, Playback, Backup, Setup tabs
  int32_t ie_page2 = 0;                  // "IE_Page2#SD": the page
  int32_t ie_page3 = 0;                  // "IE_Page3#SD"
  int32_t ie_m_ch = 0;                   // "IE_M_CH#SD": the DVR's channel count
  int32_t ie_doing = 0;                  // "IE_DOING#SD": current view code
  std::array<int32_t, 16> ie_ch_keys{};  // "IE_CH#ADN"
  std::array<int32_t, 8> ie_ch2_keys{};  // "IE_CH2#ADN"
  int32_t ie_ch = 0;                     // "IE_CH#SD"
  int32_t ie_ch2 = 0;                    // "IE_CH2#SD"
  int32_t ie_logo = 0;                   // "IE_Logo#SD"
  int32_t ie_pb_ps = 0;                  // "IE_PB_PS#SD"
  int32_t ie_pb_ps2 = 0;                 // "IE_PB_PS2#SD"
  std::array<int32_t, 4> ie_pb_bt_en{};  // "IE_PB_BT_En#ADN"
  int32_t ie_set_t = 0;                  // "IE_SET_T#SD"
  int32_t ie_month_t = 0;                // "IE_Month_T#SD"
  int32_t ie_ok = 0;                     // "IE_OK#SD"
  int32_t ie_cl = 0;                     // "IE_CL#SD"
  int32_t ie_st = 0;                     // "IE_ST#SD"
  int32_t ie_st2 = 0;                    // "IE_ST2#SD"
  int32_t ie_percentage = 0;             // "IE_percentage#SD"
  int32_t mon_p_n_t = 0;                 // "Mon_P_N_T#SD": playback time
  int32_t mon_b_f_t = 0;                 // "Mon_B_F_T#SD": backup window start
  int32_t mon_b_t_t = 0;                 // "Mon_B_T_T#SD": backup window end
  std::array<int32_t, 48> ie_data{};     // "IE_Data#ADN": day-view half hours
  int32_t ie_st3 = 0;                    // "IE_ST3#SD"
  int32_t dm_cmd = 0;                    // "Dm_Cmd#SD"
  int32_t dm_pre = 0;                    // "Dm_Pre#SD"
  int32_t dm_ch = 0;                     // "Dm_Ch#SD": the view code last sent
  std::array<int32_t, 100> dm_sch{};     // "Dm_SCh#AD"
  std::array<int32_t, 100> dm_spre{};    // "Dm_SPre#ADN" and "Dm_SPre#AD"
  int32_t mod = 0;                       // "MOD#SDZ" and "MOD#SD"
  int32_t mod2 = 0;                      // "MOD2#SD"
  int32_t mod3 = 0;                      // "MOD3#SD"
  int32_t mod4 = 0;                      // "MOD4#SD"
  int32_t cent_x = 0;                    // "Cent_X#SDX"
  int32_t cent_y = 0;                    // "Cent_Y#SDY"
  int32_t a_pan = 0;                     // "A_Pan#SD"
  int32_t a_see = 0;                     // "A_See#SD"
  std::array<int32_t, 2> sd_mouse{};     // "SD_Mouse#SD": pointer x, y
  int32_t sd_bar = 0;                    // "SD_Bar#SD": the slider being set
  std::array<int32_t, 5> sd_io{};        // "SD_IO1#SDC" to "SD_IO5#SDC"
  int32_t a_num = 0;                     // "A_Num#SD"
  std::array<int32_t, 42> mon_day{};     // "Mon_Day#AD"
  std::array<int32_t, 42> mon_data{};    // "Mon_Data#AD"
  int32_t mon_y = 0;                     // "Mon_Y#SD"
  int32_t mon_m = 0;                     // "Mon_M#SD"
  int32_t mon_h = 0;                     // "Mon_h#SD"
  int32_t mon_m2 = 0;                    // "Mon_m2#SD"
  int32_t mon_s = 0;                     // "Mon_s#SD"
  int32_t mon_time = 0;                  // "Mon_Time#SD"
  int32_t mon_add = 0;                   // "Mon_Add#SD"
  int32_t mon_sub = 0;                   // "Mon_Sub#SD"
  int32_t mon_hhmmss = 0;                // "Mon_HHMMSS#SD"
  std::array<int32_t, 2> mon_pos{};      // "Mon_POS#AD"
  int32_t mon_hms_c = 0;                 // "Mon_HMS_C#SD"
  int32_t day_change = 0;                // "Day_change#SD"
  int32_t mon_cmd = 0;                   // "Mon_Cmd#SD"
  int32_t motion_c = 0;                  // "Motion_C#SD"
  int32_t schedule_c = 0;                // "Schedule_C#SD"
  std::array<int32_t, 256> alarm_en{};   // "Alarm_En#ADN"
  int32_t alarm_en_pos = 0;              // "Alarm_En_Pos#SD"
  std::array<int32_t, 40> almo_en{};     // "AlmO_En#AD"
  std::array<int32_t, 16> ch{};          // "CH#ADN"
  std::array<int32_t, 16> record{};      // "Record#ADN"
  int32_t ch_idx = 0;                    // "CH_Idx#SD"
  int32_t sys_state = 0;                 // "Sys_State#SDC"
  // "Key_Split#SD" to "SPD_Mode#SD", then "IO_Split#SDC" to "Key_Code#SD", in table order:
  // plain storage that skins share among themselves.
  std::array<int32_t, 15> key_scalars{};
  std::array<int32_t, 18> io_scalars{};
  // Where every name outside the table reads and writes.
  int32_t spare = 0;
};

// The variable of the first binding-table row named `name`, or the spare variable.
Binding lookup_binding(KeyFormVariables& vars, std::string_view name);

// Every row of the binding table in search order, shared rows once per name.
void for_each_binding(KeyFormVariables& vars,
                      const std::function<void(std::string_view name, Binding)>& visit);

// The two or three letters after a binding name's last '#' ('0' where absent).
struct BindingSuffix {
  std::array<char, 3> letters{'0', '0', '0'};
};
BindingSuffix binding_suffix(std::string_view name);

// The constant of a source whose first suffix letter is 'C': the decimal digits in front of
// the two-letter suffix, units first from the fourth-last character back to the first.
int32_t binding_constant(std::string_view name);

// Pair 0 of the mode records: the input mode and the redraw flag.
constexpr int32_t kInputIdle = 0;
constexpr int32_t kInputTimeSlider = 3;
constexpr int32_t kInputDateChooser = 4;
constexpr int32_t kInputStepHeld = 9999;
constexpr int32_t kRedrawNext = 1;
constexpr int32_t kRedrawSliders = 99;
// Pair P for P >= 1: slider P's thumb position and value. Parameters outside the records name
// no slider.
constexpr int kModeRecordCount = 16;

// Hover record and hit-test result.
struct HitResult {
  int32_t slot = -1;  // absolute slot index, -1 none
  int32_t cell = -1;  // grid cells from 1, circle cells from 0, -1 none
  int32_t first = 0;
  int32_t end = 0;
};

// The remembered values and view bytes of the state update.
struct ViewBytes {
  int8_t view = 0;
  int32_t page = 0;
  int32_t action = 0;
};

// Everything the key form's parts share.
struct KeyFormContext {
  KeyFormVariables vars;
  std::array<std::array<int32_t, 2>, kModeRecordCount> mode_records{};
  int32_t& input_mode() { return mode_records[0][0]; }
  int32_t& redraw_flag() { return mode_records[0][1]; }

  bool popup = false;       // a calendar step key, the time slider or the date chooser is active
  int32_t input_level = 1;  // only keys of at least this level respond
  bool button_down = false;

  HitResult hover;
  // The hover at the last redraw; (-2, -2) asks for the next one.
  int32_t last_drawn_slot = -2;
  int32_t last_drawn_cell = -2;
  void force_redraw() { last_drawn_slot = last_drawn_cell = -2; }

  ViewBytes view_bytes;
  int32_t last_page = 0;
  int32_t saved_live_view = 16;
  int32_t saved_playback_view = 0;
};

}  // namespace tessomar::keyform
