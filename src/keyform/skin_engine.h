// The key form's skin engine: the skin registry, the composing of every registered skin into
// `Image1`, and the pointer input that hit-tests the drawn elements and applies their click
// rules. The state update, the calendar and the machine-dependent keys plug in through hooks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "keyform/skin.h"
#include "keyform/variables.h"
#include "platform/form.h"
#include "platform/log.h"

namespace tessomar::keyform {

struct SkinEngineHooks {
  std::function<void()> after_key_form_click;  // state update (quiet 0), then calendar refresh
  std::function<void()> release_handling;      // the calendar's release handling
  std::function<void()> refresh_machine_keys;  // the machine-dependent key refresh
};

// One registry entry; an empty entry has first key -1.
struct SkinEntry {
  int32_t key_a = -1;
  int32_t key_b = -1;
  int32_t kind = 0;
  std::string file_name;  // at most 40 characters
  std::string path;       // the file in the skin folder, read again before every redraw
  int32_t first_slot = 0;
  int32_t slot_count = 0;
  int32_t position_count = 0;
};

// Press-and-hold repetition of a key.
enum class RepeatState { Idle, Pressed, Waiting, Repeating };

// The cell buffer holds one cell between copies; the zoom bubble magnifies from it.
inline constexpr size_t kCellBufferPixels = 98'304;
// Room for a composite as large as any picture the file buffer can hold.
inline constexpr size_t kCompositePixels = kSkinFileBufferSize / 2;
inline constexpr size_t kSkinNameSize = 64;
inline constexpr size_t kRegistryNameSize = 40;
inline constexpr int32_t kSliderThumbNotSet = 0;

// Centre of circle position k of a slot laid out round its base and offset (16.16 tables of
// 256 steps per turn; position 0 to the right, advancing counter-clockwise).
void circle_position(const ElementSlot& slot, int32_t k, int64_t& x, int64_t& y);

class SkinEngine {
 public:
  SkinEngine(KeyFormContext& ctx, const platform::Logger& logger);

  SkinEngineHooks& hooks() { return hooks_; }
  void set_skin_folder(std::string folder) { folder_ = std::move(folder); }
  void clear_registry();
  // Back to a new engine's state: nothing registered or drawn, no key held, no skin read. The
  // folder, the hooks and the buffers are kept, so nothing is allocated again.
  void reset();

  // Reads, resolves and enters a skin into the registry; false (with a logged reason) when
  // nothing was registered.
  bool register_skin(std::string_view file_name, int32_t key_a, int32_t key_b, int32_t kind);

  // The redraw decision and the redraw of every registered skin into `image1`.
  void redraw(bool force, platform::Component& image1);

  void Image1MouseDown(int x, int y);
  void Image1MouseMove(int x, int y);
  void Image1MouseUp(int x, int y);
  // Press-and-hold repetition, once per key-form service.
  void repeat_step();

  HitResult hit_test(int x, int y) const;
  // A click and a release at (x, y) on behalf of the skin `skin_name`: nothing unless the name
  // carries ".YUV2" from its first '.'.
  void click(int x, int y, std::string_view skin_name);
  void release(int x, int y, std::string_view skin_name);
  // The click rule of one slot for cell n.
  void apply_click_rule(int32_t slot, int32_t cell);

  int32_t slots_in_use() const { return slots_in_use_; }
  const ElementSlot& slot(int32_t i) const { return slots_[static_cast<size_t>(i)]; }
  int32_t registered_skins() const { return registered_; }
  const SkinEntry& registry_entry(int32_t i) const { return registry_[static_cast<size_t>(i)]; }
  // The registry entry named `file_name` (the key form's logical name finds the key form).
  const SkinEntry* find_skin(std::string_view file_name) const;

  // The last composite drawn: rows composite_width() pixels apart, rounded up to whole pairs.
  int32_t composite_width() const { return composite_width_; }
  int32_t composite_height() const { return composite_height_; }
  std::span<const uint16_t> composite() const {
    const size_t pixels =
        static_cast<size_t>(composite_width_) * static_cast<size_t>(composite_height_);
    return {composite_.data(), (pixels + 1) & ~size_t{1}};
  }
  uint16_t composite_pixel(int32_t x, int32_t y) const {
    return composite_[static_cast<size_t>(y) * static_cast<size_t>(composite_width_) +
                      static_cast<size_t>(x)];
  }
  // The row width of the key form's composite at its last redraw.
  int32_t key_form_row_width() const { return key_form_row_width_; }
  RepeatState repeat_state() const { return repeat_state_; }

 private:
  // Drawing.
  bool redraw_due(bool force) const;
  bool reload_skin(const SkinEntry& entry);
  void compose(const SkinEntry& entry, int32_t number_offset);
  void draw_position(std::string_view skin_name, int32_t first, int32_t s, int32_t p, int32_t o);
  void draw_background(const ElementSlot& slot);
  void layout(ElementSlot& slot, int32_t p);
  void draw_sprite(std::string_view skin_name, int32_t s, ElementSlot& slot, int32_t p, int32_t o);
  void draw_number(ElementSlot& slot, int32_t p, int32_t o);
  void draw_circle(int32_t s, ElementSlot& slot, int32_t p);
  void draw_slider(ElementSlot& slot);
  void draw_bar(const ElementSlot& slot);
  void draw_text(const ElementSlot& slot, int32_t p);
  void draw_zoom_bubble();
  // Lays the w x h block at (sx, sy) of the skin picture over the composite at (dx, dy),
  // clipped to both; transparent pixels are skipped unless `opaque`.
  void copy_block(int64_t sx, int64_t sy, int64_t w, int64_t h, int64_t dx, int64_t dy,
                  bool opaque);
  // The cell copy: a CW x CH block centred at (x, y).
  void copy_cell(const ElementSlot& slot, int64_t sx, int64_t sy, int64_t x, int64_t y);
  const ElementSlot* parent_of(const ElementSlot& slot) const;

  // Pointer input.
  bool click_allowed(std::string_view skin_name);

  KeyFormContext& ctx_;
  const platform::Logger* logger_;
  SkinEngineHooks hooks_;
  std::string folder_;

  SkinFile file_;
  std::array<SkinEntry, kSkinRegistrySize> registry_{};
  int32_t registered_ = 0;
  std::array<ElementSlot, kElementSlotCount> slots_{};
  int32_t slots_in_use_ = 0;

  std::vector<uint16_t> composite_;
  int32_t composite_width_ = 0;
  int32_t composite_height_ = 0;
  int32_t key_form_row_width_ = 0;
  std::vector<uint16_t> cell_buffer_;
  int32_t lift_ = 0;
  bool zoom_requested_ = false;
  int32_t zoom_x0_ = 0;
  int32_t zoom_y0_ = 0;
  int32_t zoom_x1_ = 0;
  int32_t zoom_y1_ = 0;

  HitResult press_;
  int press_x_ = 0;
  int press_y_ = 0;
  std::string current_skin_name_;
  RepeatState repeat_state_ = RepeatState::Idle;
  int32_t repeat_counter_ = 0;
};

}  // namespace tessomar::keyform
