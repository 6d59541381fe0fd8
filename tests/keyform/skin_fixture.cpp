#include "keyform/skin_fixture.h"

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace tessomar::testsupport {

namespace {

void put16(std::vector<uint8_t>& b, size_t at, int v) {
  b[at] = static_cast<uint8_t>(v & 0xFF);
  b[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

void put_name(std::vector<uint8_t>& b, size_t at, const std::string& name) {
  std::memcpy(b.data() + at, name.data(), std::min<size_t>(name.size(), 16));
}

constexpr size_t kTableSize = 22 * 1024;

}  // namespace

SkinFixture::SkinFixture(int width, int rows)
    : width_(width), rows_(rows), pixels_(static_cast<size_t>(width) * rows, 0xFFFF) {}

SkinFixture& SkinFixture::image(FixtureImage img) {
  images_.push_back(std::move(img));
  return *this;
}

SkinFixture& SkinFixture::element(FixtureElement e) {
  elements_.push_back(std::move(e));
  return *this;
}

SkinFixture& SkinFixture::fill(int x, int y, int w, int h, uint16_t value) {
  for (int yy = std::max(0, y); yy < std::min(rows_, y + h); ++yy) {
    for (int xx = std::max(0, x); xx < std::min(width_, x + w); ++xx) {
      pixels_[static_cast<size_t>(yy) * width_ + xx] = value;
    }
  }
  return *this;
}

SkinFixture& SkinFixture::counts(int16_t images, int16_t elements) {
  counts_set_ = true;
  image_count_ = images;
  element_count_ = elements;
  return *this;
}

std::vector<uint8_t> SkinFixture::bytes() const {
  std::vector<uint8_t> table(kTableSize, 0);
  put16(table, 8, counts_set_ ? image_count_ : static_cast<int>(images_.size()));
  put16(table, 10, counts_set_ ? element_count_ : static_cast<int>(elements_.size()));
  for (size_t i = 0; i < images_.size() && i < 64; ++i) {
    const FixtureImage& img = images_[i];
    const size_t at = 100 + 100 * i;
    put_name(table, at, img.name);
    const int16_t fields[] = {img.cell_width,    img.cell_height, img.strip_x, img.strip_y,
                              img.strip_columns, img.strip_rows,  img.step,    img.kind,
                              img.parameter,     img.level};
    for (size_t f = 0; f < std::size(fields); ++f) put16(table, at + 16 + 2 * f, fields[f]);
  }
  for (size_t j = 0; j < elements_.size() && j < 97; ++j) {
    const FixtureElement& e = elements_[j];
    const size_t at = 6500 + 164 * j;
    put_name(table, at, e.name);
    put_name(table, at + 16, e.image);
    put_name(table, at + 32, e.parent);
    put16(table, at + 48, e.offset_x);
    put16(table, at + 50, e.offset_y);
    put16(table, at + 52, e.repeat);
    put16(table, at + 56, e.arrangement);
    put16(table, at + 58, e.radius);
    put16(table, at + 60, e.gap_x);
    put16(table, at + 62, e.gap_y);
    table[at + 64] = static_cast<uint8_t>(e.grid_columns);
    table[at + 65] = static_cast<uint8_t>(e.grid_extra);
    put16(table, at + 66, e.start_value);
    put_name(table, at + 68, e.source);
    put_name(table, at + 84, e.target);
  }

  std::vector<uint8_t> out(16 + pixels_.size() * 2, 0);
  put16(out, 2, width_ / 2);
  for (size_t i = 0; i < pixels_.size(); ++i) put16(out, 16 + 2 * i, pixels_[i]);
  const size_t row_bytes = static_cast<size_t>(width_) * 2;
  for (size_t row = 0; row < 22; ++row) {
    const size_t at = 16 + row * row_bytes;
    const size_t n = std::min<size_t>(1024, out.size() > at ? out.size() - at : 0);
    std::memcpy(out.data() + at, table.data() + row * 1024, n);
  }
  return out;
}

std::filesystem::path SkinFixture::write(const std::filesystem::path& folder,
                                         const std::string& name) const {
  const std::filesystem::path path = folder / name;
  const std::vector<uint8_t> b = bytes();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
  return path;
}

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "skin-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

SkinFixture base_skin() {
  SkinFixture skin;
  skin.image({.name = "bg", .cell_width = 64, .cell_height = 48, .strip_x = 0, .strip_y = 24});
  skin.element({.name = "root", .image = "bg", .parent = "#Vout"});
  skin.fill(0, 24, 64, 48, kBackground);
  return skin;
}

void paint_strip(SkinFixture& skin, int strip_x, int strip_y, int cell_width, int cell_height,
                 int columns, int rows, uint16_t first_value) {
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      skin.fill(strip_x + cell_width * c, strip_y + cell_height * r, cell_width, cell_height,
                static_cast<uint16_t>(first_value + r * columns + c));
    }
  }
}

EngineHarness::EngineHarness()
    : image1(form.add({"Image1", platform::ComponentKind::Image, "", {0, 0, 10, 10}})) {
  engine.set_skin_folder(folder.path().string());
  engine.clear_registry();
}

bool EngineHarness::load(const SkinFixture& skin, const std::string& name) {
  skin.write(folder.path(), name);
  return engine.register_skin(name, 0, 3, 0);
}

}  // namespace tessomar::testsupport
