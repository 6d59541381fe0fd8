// Pointer input over the key form: hit testing, the click rules, release and press-and-hold.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "keyform/skin_engine.h"

namespace tessomar::keyform {

namespace {

constexpr int16_t kKindSliderArea = 8002;
constexpr int16_t kKindModeKey = 8003;
constexpr std::string_view kSkinSuffix = ".YUV2";
// Repeat services spent waiting before the first repetition.
constexpr int32_t kRepeatWait = 9;

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

int64_t ceil_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if (a % b != 0 && ((a > 0) == (b > 0))) ++q;
  return q;
}

}  // namespace

HitResult SkinEngine::hit_test(int x, int y) const {
  HitResult none;
  none.first = 0;
  none.end = slots_in_use_;
  const int32_t end = std::min(slots_in_use_, kElementSlotCount);
  for (int32_t s = end - 1; s >= 0; --s) {
    const ElementSlot& slot = slots_[static_cast<size_t>(s)];
    if (slot.visible == 0 || slot.parent_visible == 0) continue;
    if (slot.grid_columns <= 0 && slot.arrangement == 0) continue;
    if (slot.repeat == 0 || slot.level == 0) continue;
    const int64_t cw = slot.cell_width;
    const int64_t ch = slot.cell_height;
    if (slot.arrangement == 0 || slot.kind == kKindSliderArea) {
      // A slot without suffix letters is never hit; the cells beneath it still are.
      if (slot.source_letters[0] == '0') continue;
      const int64_t gc = std::min<int64_t>(slot.repeat, slot.grid_columns);
      if (gc < 1) continue;
      const int64_t gr = ceil_div(int64_t{slot.repeat} + slot.grid_extra, gc);
      const int64_t hw = (slot.gap_x * (gc - 1) + cw * gc) >> 1;
      const int64_t hh = (slot.gap_y * (gr - 1) + ch * gr) >> 1;
      int64_t left = slot.base_x + slot.offset_x - hw;
      int64_t top = slot.base_y + slot.offset_y - hh;
      if (slot.kind == kKindSliderArea) {
        // The hit area follows its slider's thumb.
        const int32_t param = slot.parameter;
        if (param < 1 || param >= kModeRecordCount) continue;
        const int64_t thumb = ctx_.mode_records[static_cast<size_t>(param)][0];
        if (slot.gap_x >= 1) {
          left = thumb - hw;
        } else if (slot.gap_y >= 1) {
          top = thumb - hh;
        }
      }
      int64_t found = 0;
      for (int64_t r = 0; r < gr && found == 0; ++r) {
        const int64_t cell_top = (ch + slot.gap_y) * r + top;
        if (y < cell_top || y > cell_top + ch) continue;
        for (int64_t c = 0; c < gc; ++c) {
          const int64_t cell_left = (cw + slot.gap_x) * c + left;
          if (x >= cell_left && x <= cell_left + cw) {
            found = r * gc + c + 1;
            break;
          }
        }
      }
      if (found == 0) continue;
      int64_t n = found;
      if (slot.kind == kKindModeKey) n += ctx_.vars.a_num;
      // A hidden or disabled key still ends the search: it shadows what lies beneath.
      if (slot.source_letters[0] == 'A' && slot.source.get(static_cast<int32_t>(n - 1)) == -1)
        return none;
      if (slot.level < ctx_.input_level) return none;
      return {s, static_cast<int32_t>(n), 0, slots_in_use_};
    }
    // Circle positions, numbered from 0.
    if (slot.repeat < 0) continue;
    for (int32_t k = 0; k < slot.repeat; ++k) {
      int64_t cx = 0;
      int64_t cy = 0;
      circle_position(slot, k, cx, cy);
      if (std::abs(x - cx) <= (cw >> 1) && std::abs(y - cy) <= (ch >> 1)) {
        return {s, k, 0, slots_in_use_};
      }
    }
  }
  return none;
}

void SkinEngine::apply_click_rule(int32_t s, int32_t n) {
  if (s < 0 || s >= kElementSlotCount) return;
  ElementSlot& slot = slots_[static_cast<size_t>(s)];
  Binding& a = slot.source;
  Binding& b = slot.target;
  const char s1 = upper(slot.source_letters[0]);
  const char s3 = upper(slot.source_letters[2]);
  const char t1 = upper(slot.target_letters[0]);
  const char t3 = upper(slot.target_letters[2]);
  const int32_t i = n - 1;
  if (s1 == 'C') {
    const int64_t k = binding_constant(name_view(slot.source_name));
    if (t1 == 'S') {
      b.set(static_cast<int32_t>(k + n - 1));
    } else if (t1 == 'A') {
      b.set(i, static_cast<int32_t>(k));
    }
  } else if (s1 == 'S') {
    if (t1 == 'S') {
      b.set(a.get());
      if (s3 == 'Z') a.set(0);
    } else if (t1 == 'A') {
      b.set(i, a.get());
    }
  } else if (s1 == 'A') {
    if (t1 == 'A') {
      b.set(i, a.get(i));
    } else if (t1 == 'S') {
      b.set(s3 == 'N' ? i : a.get(i));
    }
  }
  if (t3 == 'X') b.set(slot.parent_offset_x + 640);
  if (t3 == 'Y') b.set(slot.parent_offset_y + 512);
}

bool SkinEngine::click_allowed(std::string_view skin_name) {
  if (slots_in_use_ <= 0) return false;
  const size_t dot = skin_name.find('.');
  if (dot == std::string_view::npos || !skin_name.substr(dot).starts_with(kSkinSuffix)) {
    return false;
  }
  current_skin_name_.assign(skin_name.substr(0, kSkinNameSize - 1));
  return true;
}

void SkinEngine::click(int x, int y, std::string_view skin_name) {
  const std::string name(skin_name);
  if (!click_allowed(name)) return;
  const HitResult hit = hit_test(x, y);
  if (hit.slot >= 0) {
    ctx_.vars.dm_ch = ctx_.view_bytes.view;
    ctx_.last_page = ctx_.vars.ie_page2;
    apply_click_rule(hit.slot, hit.cell);
    // Children take the click with their parent's cell.
    for (int32_t s = hit.first; s < hit.end && s < kElementSlotCount; ++s) {
      if (slots_[static_cast<size_t>(s)].parent_slot() == hit.slot) {
        apply_click_rule(s, hit.cell);
      }
    }
    if (is_key_form_name(name) && hooks_.after_key_form_click) hooks_.after_key_form_click();
  }
  ctx_.last_drawn_slot = 0;
  ctx_.last_drawn_cell = 0;
}

void SkinEngine::release(int x, int y, std::string_view skin_name) {
  const std::string name(skin_name);
  if (!click_allowed(name)) return;
  const HitResult hit = hit_test(x, y);
  bool target_positive = false;
  if (hit.slot >= 0) {
    const Binding& b = slots_[static_cast<size_t>(hit.slot)].target;
    target_positive = b.exists() && b.get() > 0;
  }
  if (hit.slot < 0 || target_positive || ctx_.popup) {
    if (hooks_.release_handling) hooks_.release_handling();
    ctx_.popup = false;
    ctx_.force_redraw();
    if (ctx_.input_mode() != kInputIdle && hooks_.release_handling) hooks_.release_handling();
  }
}

void SkinEngine::Image1MouseDown(int x, int y) {
  ctx_.button_down = true;
  if (ctx_.popup) return;
  press_ = hit_test(x, y);
  press_x_ = x;
  press_y_ = y;
  current_skin_name_.clear();
  click(x, y, kKeyFormLogicalName);
  if (ctx_.input_mode() != kInputIdle) repeat_state_ = RepeatState::Pressed;
}

void SkinEngine::Image1MouseMove(int x, int y) {
  ctx_.hover = hit_test(x, y);
  const int32_t mode = ctx_.input_mode();
  if (ctx_.button_down && (ctx_.hover.slot == press_.slot || ctx_.hover.slot == -1) &&
      repeat_state_ == RepeatState::Pressed && mode != kInputIdle && mode != kInputStepHeld) {
    click(x, y, current_skin_name_);
  }
}

void SkinEngine::Image1MouseUp(int x, int y) {
  ctx_.button_down = false;
  release(x, y, current_skin_name_);
  repeat_state_ = RepeatState::Idle;
}

void SkinEngine::repeat_step() {
  if (repeat_state_ == RepeatState::Idle || ctx_.input_mode() != kInputStepHeld) return;
  switch (repeat_state_) {
    case RepeatState::Pressed:
      repeat_state_ = RepeatState::Waiting;
      repeat_counter_ = 0;
      break;
    case RepeatState::Waiting:
      if (++repeat_counter_ > kRepeatWait) repeat_state_ = RepeatState::Repeating;
      break;
    case RepeatState::Repeating:
      click(press_x_, press_y_, current_skin_name_);
      break;
    case RepeatState::Idle:
      break;
  }
}

}  // namespace tessomar::keyform
