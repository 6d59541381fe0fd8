#include "keyform/skin_engine.h"

#include <algorithm>

namespace tessomar::keyform {

SkinEngine::SkinEngine(KeyFormContext& ctx, const platform::Logger& logger)
    : ctx_(ctx),
      logger_(&logger),
      // One spare pixel: a pair read at the end of an odd-sized composite stays inside.
      composite_(kCompositePixels + 2, kTransparentPixel),
      cell_buffer_(kCellBufferPixels, kTransparentPixel) {}

void SkinEngine::clear_registry() {
  for (SkinEntry& e : registry_) e = SkinEntry{};
  registered_ = 0;
  slots_in_use_ = 0;
}

void SkinEngine::reset() {
  clear_registry();
  slots_.fill(ElementSlot{});
  std::string reason;
  file_.assign({}, reason);
  // Only what the last drawings can have touched goes back to white (the cell buffer is
  // written before every use).
  const size_t drawn = static_cast<size_t>(std::max(composite_width_, 0)) *
                       static_cast<size_t>(std::max(composite_height_, 0));
  std::fill_n(composite_.begin(), std::min(drawn + 2, composite_.size()), kTransparentPixel);
  composite_width_ = 0;
  composite_height_ = 0;
  key_form_row_width_ = 0;
  lift_ = 0;
  zoom_requested_ = false;
  zoom_x0_ = zoom_y0_ = zoom_x1_ = zoom_y1_ = 0;
  press_ = HitResult{};
  press_x_ = press_y_ = 0;
  current_skin_name_.clear();
  repeat_state_ = RepeatState::Idle;
  repeat_counter_ = 0;
}

bool SkinEngine::register_skin(std::string_view file_name, int32_t key_a, int32_t key_b,
                               int32_t kind) {
  std::string reason;
  if (!file_.read(folder_ + "/" + std::string(file_name), reason)) {
    logger_->warning("skin not registered: " + reason);
    return false;
  }
  const int32_t first = slots_in_use_;
  const int32_t resolved = resolve_skin_table(file_, ctx_.vars, slots_, first);
  const int32_t positions = file_.position_count();
  for (int32_t i = 0; i < registered_; ++i) {
    const SkinEntry& e = registry_[static_cast<size_t>(i)];
    if (e.key_a == key_a && e.key_b == key_b) {
      logger_->warning("skin " + std::string(file_name) +
                       " not registered: its key pair is registered already");
      return false;
    }
  }
  if (registered_ >= kSkinRegistrySize) {
    logger_->warning("skin " + std::string(file_name) + " not registered: the registry is full");
    return false;
  }
  SkinEntry& e = registry_[static_cast<size_t>(registered_)];
  e.key_a = key_a;
  e.key_b = key_b;
  e.kind = kind;
  e.file_name = std::string(file_name.substr(0, kRegistryNameSize));
  e.path = folder_ + "/" + e.file_name;
  e.first_slot = first;
  e.slot_count = resolved;
  e.position_count = positions;
  slots_in_use_ += resolved;
  ++registered_;
  if (resolved < file_.element_count()) {
    logger_->info("skin " + std::string(file_name) + ": " +
                  std::to_string(file_.element_count() - resolved) +
                  " elements left out (unmatched name or no slot left)");
  }
  return true;
}

const SkinEntry* SkinEngine::find_skin(std::string_view file_name) const {
  for (int32_t i = 0; i < registered_; ++i) {
    const SkinEntry& e = registry_[static_cast<size_t>(i)];
    if (e.file_name == file_name || (is_key_form_name(file_name) && is_key_form_name(e.file_name)))
      return &e;
  }
  return nullptr;
}

bool SkinEngine::reload_skin(const SkinEntry& entry) {
  std::string reason;
  if (file_.read(entry.path, reason)) return true;
  logger_->warning("key form not redrawn: " + reason);
  return false;
}

bool SkinEngine::redraw_due(bool force) const {
  const HitResult& h = ctx_.hover;
  const int32_t ls = ctx_.last_drawn_slot;
  const int32_t lc = ctx_.last_drawn_cell;
  if (force || ctx_.redraw_flag() == kRedrawNext) return true;
  if (ls == -2 && lc == -2) return true;
  const bool hover_none = h.slot == -1 && h.cell == -1;
  if (ls != -1 && lc != -1 && hover_none) return true;
  if (!hover_none && slots_in_use_ > 0 && (ls != h.slot || ls == -1 || lc != h.cell || lc == -1))
    return true;
  return false;
}

void SkinEngine::redraw(bool force, platform::Component& image1) {
  if (!redraw_due(force)) return;
  ctx_.last_drawn_slot = ctx_.hover.slot;
  ctx_.last_drawn_cell = ctx_.hover.cell;
  for (int32_t i = kSkinRegistrySize - 1; i >= 0; --i) {
    const SkinEntry& entry = registry_[static_cast<size_t>(i)];
    if (entry.key_a < 0) continue;
    if (!reload_skin(entry)) return;
    if (hooks_.refresh_machine_keys) hooks_.refresh_machine_keys();
    if (entry.slot_count <= 0 || entry.first_slot >= kElementSlotCount) continue;
    const ElementSlot& background = slots_[static_cast<size_t>(entry.first_slot)];
    const int32_t w = background.cell_width;
    const int32_t h = background.cell_height;
    if (w <= 0 || h <= 0 || static_cast<size_t>(w) * static_cast<size_t>(h) > kCompositePixels) {
      logger_->warning("skin " + entry.file_name + ": a " + std::to_string(w) + " x " +
                       std::to_string(h) + " key form cannot be drawn");
      continue;
    }
    compose(entry, 0);
    if (is_key_form_name(entry.file_name)) key_form_row_width_ = w;
    show_composite(h, w, composite(), image1.picture());
    platform::Geometry g = image1.geometry();
    g.width = w;
    g.height = h;
    image1.set_geometry(g);
    image1.picture_changed();
  }
}

}  // namespace tessomar::keyform
