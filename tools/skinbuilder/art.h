// The artwork of the key form: one painter per art style named in the description. A painter
// draws one region of an image (a cell, the hover highlight, the bar window, the background)
// into a canvas of that region's size; pixels it leaves at alpha 0 stay transparent.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "canvas.h"
#include "description.h"

namespace skinbuilder {

class Palette {
 public:
  void set(const std::string& name, Rgba colour) { colours_[name] = colour; }
  bool has(const std::string& name) const { return colours_.count(name) != 0; }
  // A palette name or a literal "#rrggbb"; magenta for an unknown name, which is remembered
  // for unknown_names().
  Rgba get(const std::string& name) const;
  bool check(const std::string& name) const;
  const std::set<std::string>& unknown_names() const { return unknown_; }

 private:
  std::map<std::string, Rgba> colours_;
  mutable std::set<std::string> unknown_;
};

// DejaVu Sans at the sizes the art asks for, opened once each.
class Fonts {
 public:
  bool init(std::string& error);
  const Font& get(int pixel_size, bool bold);

 private:
  std::string regular_path_, bold_path_;
  std::map<std::pair<int, bool>, std::unique_ptr<Font>> cache_;
};

enum class RegionKind { Background, Cell, Highlight, BarWindow, MainForm };

struct ArtRequest {
  const std::string& style;
  const Statement& attrs;
  const Palette& palette;
  Fonts& fonts;
  int cw, ch, cols, rows, step;
};

// Paints one region; col/row name the cell. False with a reason for an unknown style or a
// bad attribute.
bool paint_region(const ArtRequest& request, RegionKind kind, int col, int row, Canvas& canvas,
                  std::string& error);

// The main form's background picture (the whole form, behind the video and the key form).
bool paint_main_form(const Statement& attrs, const Palette& palette, Fonts& fonts, Canvas& canvas,
                     std::string& error);

// The colour that partially covered pixels of the image are blended onto.
Rgba backdrop_of(const ArtRequest& request);

}  // namespace skinbuilder
