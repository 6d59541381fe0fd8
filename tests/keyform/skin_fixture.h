// Small handmade ".YUV2" skins for the key-form tests: images and elements described as rows,
// a picture painted rectangle by rectangle, and the file laid out in memory or in a temporary
// folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "keyform/skin_engine.h"
#include "platform/form.h"
#include "support/log_capture.h"

namespace tessomar::testsupport {

struct FixtureImage {
  std::string name{};
  int16_t cell_width = 0;
  int16_t cell_height = 0;
  int16_t strip_x = 0;
  int16_t strip_y = 0;
  int16_t strip_columns = 1;
  int16_t strip_rows = 1;
  int16_t step = 0;
  int16_t kind = 0;
  int16_t parameter = 0;
  int16_t level = 0;
};

struct FixtureElement {
  std::string name{};
  std::string image{};
  std::string parent{};
  int16_t offset_x = 0;
  int16_t offset_y = 0;
  int16_t repeat = 1;
  int16_t arrangement = 0;
  int16_t radius = 0;
  int16_t gap_x = 0;
  int16_t gap_y = 0;
  int8_t grid_columns = 0;
  int8_t grid_extra = 0;
  int16_t start_value = 0;
  std::string source{};
  std::string target{};
};

class SkinFixture {
 public:
  // A picture `width` pixels wide and `rows` rows high, every pixel transparent.
  explicit SkinFixture(int width = 512, int rows = 128);

  SkinFixture& image(FixtureImage img);
  SkinFixture& element(FixtureElement e);
  // Paints a rectangle of the picture (rows 0-21 carry the table and are overwritten by it).
  SkinFixture& fill(int x, int y, int w, int h, uint16_t value);
  // Counts written into the table header in place of the real ones.
  SkinFixture& counts(int16_t images, int16_t elements);

  std::vector<uint8_t> bytes() const;
  // Writes the file into `folder` and returns its path.
  std::filesystem::path write(const std::filesystem::path& folder, const std::string& name) const;

  int width() const { return width_; }

 private:
  int width_;
  int rows_;
  std::vector<uint16_t> pixels_;
  std::vector<FixtureImage> images_;
  std::vector<FixtureElement> elements_;
  bool counts_set_ = false;
  int16_t image_count_ = 0;
  int16_t element_count_ = 0;
};

// A folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The background most tests build on: image "bg", a 64 x 48 block at (0, 24) painted
// kBackground, and the root element "root" showing it.
inline constexpr uint16_t kBackground = 0x1111;
SkinFixture base_skin();

// Fills cell (c, r) of a strip with `first_value` + r * columns + c.
void paint_strip(SkinFixture& skin, int strip_x, int strip_y, int cell_width, int cell_height,
                 int columns, int rows, uint16_t first_value);

// An engine on a fresh key-form context, with a temporary skin folder and an `Image1`.
struct EngineHarness {
  EngineHarness();
  // Writes `skin` as `name` and registers it with key pair (0, 3).
  bool load(const SkinFixture& skin,
            const std::string& name = std::string(keyform::kKeyFormFileName));
  void redraw(bool force = true) { engine.redraw(force, image1); }
  uint16_t at(int x, int y) const { return engine.composite_pixel(x, y); }

  LogCapture log;
  keyform::KeyFormContext ctx;
  keyform::SkinEngine engine{ctx, log.logger()};
  TempFolder folder;
  platform::Form form;
  platform::Component& image1;
};

}  // namespace tessomar::testsupport
