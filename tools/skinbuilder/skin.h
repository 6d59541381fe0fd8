// The key-form skin being built: image and element plans from the description, the layout
// check that mirrors how the key form places every cell, the packing of the sprite strips into
// the picture, and the file writer (YUYV picture with the skin table in rows 0-21).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "art.h"
#include "description.h"

namespace skinbuilder {

// How the key form copies an image's cells, which fixes where they lie in the picture.
enum class DrawFamily { Background, Sprite, Number, Text, Slider, Bar, None };

struct ImagePlan {
  std::string name;
  int cw = 0, ch = 0, cols = 1, rows = 1, step = 0, kind = 7999, param = 0, level = 0;
  std::string art;
  std::string alias;   // shares the strip of this image
  bool guard = false;  // one more transparent strip row: the value may reach row == rows
  int digits = 0;      // numbers: the most digits shown
  const Statement* attrs = nullptr;

  DrawFamily family = DrawFamily::Sprite;
  int sx = 0, sy = 0;
  int dest_parity = -1;  // parity of the composite x where cells land; -1 never drawn
  bool drawn = false;
};

struct ElementPlan {
  std::string name, image, parent, source, target;
  int off_x = 0, off_y = 0, repeat = 1, arrangement = 0, radius = 0, gap_x = 0, gap_y = 0;
  int grid_columns = 0, grid_extra = 0, start = 0;
  int image_index = -1, parent_index = -1;
  int line = 0;
};

struct SkinPlan {
  int picture_width = 1024;
  std::vector<ImagePlan> images;
  std::vector<ElementPlan> elements;
  Palette palette;
  std::vector<Statement> statements;
  std::string main_form_art;  // attributes for the main-form bitmap
  const Statement* main_form = nullptr;
};

// Reads the statements into plans and resolves names and placements.
bool build_plan(std::vector<Statement> statements, SkinPlan& plan, std::string& error);

// Lays every element out for every position as the key form does and records where each image's
// cells land; refuses cells outside the composite and images whose cells would land at mixed
// pixel parities (their chroma would swap).
bool check_layout(SkinPlan& plan, std::string& error);

// Places the strips in the picture; returns the picture height.
bool pack_strips(SkinPlan& plan, int& height, std::string& error);

// Paints every strip and writes the skin file bytes.
bool render_skin(SkinPlan& plan, int height, Fonts& fonts, std::vector<uint8_t>& file,
                 std::string& error);

constexpr int kCompositeWidth = 320;
constexpr int kCompositeHeight = 576;
constexpr int kTableRows = 22;
constexpr int kTableBytesPerRow = 1024;
constexpr size_t kFileLimit = 2097152;
constexpr int kMaxImages = 64;
constexpr int kMaxElements = 97;
constexpr int kMaxNames = 160;
constexpr int kMaxSlots = 144;

}  // namespace skinbuilder
