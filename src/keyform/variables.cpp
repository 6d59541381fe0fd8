#include "keyform/variables.h"

#include <cstddef>
#include <functional>

namespace tessomar::keyform {

namespace {

struct Row {
  const char* name;
  int32_t* data;
  int32_t size;
};

template <size_t N>
Row array_row(const char* name, std::array<int32_t, N>& a) {
  return {name, a.data(), static_cast<int32_t>(N)};
}
Row scalar_row(const char* name, int32_t& v) { return {name, &v, 1}; }

constexpr const char* kKeyNames[15] = {
    "Key_Split#SD", "Key_Seq#SD",    "Key_FW#SD",      "Key_PB#SD",      "Key_FF#SD",
    "Key_List#SD",  "Key_Delete#SD", "Key_OSD#SD",     "Key_SPreset#SD", "Key_GPreset#SD",
    "Key_Help#SD",  "Key_Freeze#SD", "Key_Capture#SD", "Key_F5#SD",      "SPD_Mode#SD",
};
constexpr const char* kIoNames[18] = {
    "IO_Split#SDC",    "IO_Seq#SDC",  "IO_Menu#SDC",   "IO_FW#SDC",      "IO_PB#SDC",
    "IO_FF#SDC",       "IO_List#SDC", "IO_Delete#SDC", "IO_OSD#SDC",     "IO_SPreset#SDC",
    "IO_GPreset#SDC",  "IO_Help#SDC", "IO_Freeze#SDC", "IO_Capture#SDC", "IO_F5#SDC",
    "IO_SPD_Mode#SDC", "Key_Tag#SD",  "Key_Code#SD",
};

// Visits the table's rows in search order until `visit` returns true.
template <typename Visit>
void visit_rows(KeyFormVariables& v, Visit&& visit) {
  const Row rows[] = {
      array_row("IE_Page#ADN", v.ie_page),
      scalar_row("IE_Page2#SD", v.ie_page2),
      scalar_row("IE_Page3#SD", v.ie_page3),
      scalar_row("IE_M_CH#SD", v.ie_m_ch),
      scalar_row("IE_DOING#SD", v.ie_doing),
      array_row("IE_CH#ADN", v.ie_ch_keys),
      array_row("IE_CH2#ADN", v.ie_ch2_keys),
      scalar_row("IE_CH#SD", v.ie_ch),
      scalar_row("IE_CH2#SD", v.ie_ch2),
      scalar_row("IE_Logo#SD", v.ie_logo),
      scalar_row("IE_PB_PS#SD", v.ie_pb_ps),
      scalar_row("IE_PB_PS2#SD", v.ie_pb_ps2),
      array_row("IE_PB_BT_En#ADN", v.ie_pb_bt_en),
      scalar_row("IE_SET_T#SD", v.ie_set_t),
      scalar_row("IE_Month_T#SD", v.ie_month_t),
      scalar_row("IE_OK#SD", v.ie_ok),
      scalar_row("IE_CL#SD", v.ie_cl),
      scalar_row("IE_ST#SD", v.ie_st),
      scalar_row("IE_ST2#SD", v.ie_st2),
      scalar_row("IE_percentage#SD", v.ie_percentage),
      scalar_row("Mon_P_N_T#SD", v.mon_p_n_t),
      scalar_row("Mon_B_F_T#SD", v.mon_b_f_t),
      scalar_row("Mon_B_T_T#SD", v.mon_b_t_t),
      array_row("IE_Data#ADN", v.ie_data),
      scalar_row("IE_ST3#SD", v.ie_st3),
      scalar_row("Dm_Cmd#SD", v.dm_cmd),
      scalar_row("Dm_Pre#SD", v.dm_pre),
      scalar_row("Dm_Ch#SD", v.dm_ch),
      array_row("Dm_SCh#AD", v.dm_sch),
      array_row("Dm_SPre#ADN", v.dm_spre),
      array_row("Dm_SPre#AD", v.dm_spre),
      scalar_row("MOD#SDZ", v.mod),
      scalar_row("MOD#SD", v.mod),
      scalar_row("MOD2#SD", v.mod2),
      scalar_row("MOD3#SD", v.mod3),
      scalar_row("MOD4#SD", v.mod4),
      scalar_row("Cent_X#SDX", v.cent_x),
      scalar_row("Cent_Y#SDY", v.cent_y),
      scalar_row("A_Pan#SD", v.a_pan),
      scalar_row("A_See#SD", v.a_see),
      array_row("SD_Mouse#SD", v.sd_mouse),
      scalar_row("SD_Bar#SD", v.sd_bar),
      scalar_row("SD_IO1#SDC", v.sd_io[0]),
      scalar_row("SD_IO2#SDC", v.sd_io[1]),
      scalar_row("SD_IO3#SDC", v.sd_io[2]),
      scalar_row("SD_IO4#SDC", v.sd_io[3]),
      scalar_row("SD_IO5#SDC", v.sd_io[4]),
      scalar_row("A_Num#SD", v.a_num),
      array_row("Mon_Day#AD", v.mon_day),
      array_row("Mon_Data#AD", v.mon_data),
      scalar_row("Mon_Y#SD", v.mon_y),
      scalar_row("Mon_M#SD", v.mon_m),
      scalar_row("Mon_h#SD", v.mon_h),
      scalar_row("Mon_m2#SD", v.mon_m2),
      scalar_row("Mon_s#SD", v.mon_s),
      scalar_row("Mon_Time#SD", v.mon_time),
      scalar_row("Mon_Add#SD", v.mon_add),
      scalar_row("Mon_Sub#SD", v.mon_sub),
      scalar_row("Mon_HHMMSS#SD", v.mon_hhmmss),
      array_row("Mon_POS#AD", v.mon_pos),
      scalar_row("Mon_HMS_C#SD", v.mon_hms_c),
      scalar_row("Day_change#SD", v.day_change),
      scalar_row("Mon_Cmd#SD", v.mon_cmd),
      scalar_row("Motion_C#SD", v.motion_c),
      scalar_row("Schedule_C#SD", v.schedule_c),
      array_row("Alarm_En#ADN", v.alarm_en),
      scalar_row("Alarm_En_Pos#SD", v.alarm_en_pos),
      array_row("AlmO_En#AD", v.almo_en),
      array_row("CH#ADN", v.ch),
      array_row("Record#ADN", v.record),
      scalar_row("CH_Idx#SD", v.ch_idx),
      scalar_row("Sys_State#SDC", v.sys_state),
  };
  for (const Row& r : rows) {
    if (visit(r.name, Binding(r.data, r.size))) return;
  }
  for (size_t i = 0; i < std::size(kKeyNames); ++i) {
    if (visit(kKeyNames[i], Binding(&v.key_scalars[i], 1))) return;
  }
  for (size_t i = 0; i < std::size(kIoNames); ++i) {
    if (visit(kIoNames[i], Binding(&v.io_scalars[i], 1))) return;
  }
}

}  // namespace

Binding lookup_binding(KeyFormVariables& vars, std::string_view name) {
  Binding found(&vars.spare, 1);
  visit_rows(vars, [&](std::string_view row, Binding b) {
    if (row != name) return false;
    found = b;
    return true;
  });
  return found;
}

void for_each_binding(KeyFormVariables& vars,
                      const std::function<void(std::string_view, Binding)>& visit) {
  visit_rows(vars, [&](std::string_view row, Binding b) {
    visit(row, b);
    return false;
  });
}

BindingSuffix binding_suffix(std::string_view name) {
  BindingSuffix s;
  size_t n = name.size();
  size_t count = 0;
  if (n >= 3 && name[n - 3] == '#') {
    count = 2;
  } else if (n >= 4 && name[n - 4] == '#') {
    count = 3;
  }
  for (size_t i = 0; i < count; ++i) s.letters[i] = name[n - count + i];
  return s;
}

int32_t binding_constant(std::string_view name) {
  // Units at the fourth-last character, tens before it, back to the first character.
  if (name.size() < 4) return 0;
  int64_t value = 0;
  int64_t scale = 1;
  for (size_t i = name.size() - 3; i-- > 0;) {
    int digit = name[i] - '0';
    value += digit * scale;
    if (scale > 100000000) break;  // ten digits already fill the value
    scale *= 10;
  }
  return static_cast<int32_t>(value);
}

}  // namespace tessomar::keyform
