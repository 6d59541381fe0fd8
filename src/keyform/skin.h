// Skin image files: the ".YUV2" layout (a 16-bit YUYV picture that carries its own layout table),
// the image and element records of that table, their resolution into element slots, and the
// conversion of a finished 16-bit composite into a 32-bit bitmap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "keyform/variables.h"
#include "platform/bitmap.h"

namespace tessomar::keyform {

inline constexpr size_t kSkinFileBufferSize = 2'097'152;
inline constexpr size_t kSkinHeaderSize = 16;
inline constexpr int kSkinTableRows = 22;
inline constexpr size_t kSkinTableRowBytes = 1024;
inline constexpr size_t kSkinTableSize = kSkinTableRows * kSkinTableRowBytes;
inline constexpr size_t kImageRecordOffset = 100;
inline constexpr size_t kImageRecordSize = 100;
inline constexpr size_t kElementRecordOffset = 6500;
inline constexpr size_t kElementRecordSize = 164;
inline constexpr int kImageRecordRoom = 64;
inline constexpr int kElementRecordRoom = 97;
inline constexpr int kNameIndexSize = 160;
// Repeat values scanned for a skin's position count.
inline constexpr int kPositionCountRecords = 96;
inline constexpr int kElementSlotCount = 144;
inline constexpr int kSkinRegistrySize = 3;
inline constexpr uint16_t kTransparentPixel = 0xFFFF;

inline constexpr std::string_view kKeyFormFileName = "TessomarKeyForm_02030202.YUV2";
// The name pointer input gives the key form.
inline constexpr std::string_view kKeyFormLogicalName = "IE_KeyForm.YUV2";
inline constexpr std::string_view kRootParentName = "#Vout";

bool is_key_form_name(std::string_view file_name);

// A 16-character name field; NUL-terminated unless all 16 characters are used.
using SkinName = std::array<char, 16>;
std::string_view name_view(const SkinName& name);
SkinName make_skin_name(std::string_view text);

struct ImageRecord {
  SkinName name{};
  int16_t cell_width = 0;
  int16_t cell_height = 0;
  int16_t strip_x = 0;
  int16_t strip_y = 0;
  int16_t strip_columns = 0;  // 0: elements of this image are never drawn
  int16_t strip_rows = 0;
  int16_t step = 0;
  int16_t kind = 0;
  int16_t parameter = 0;
  int16_t level = 0;  // 0: not clickable
};

struct ElementRecord {
  SkinName name{};
  SkinName image{};
  SkinName parent{};
  int16_t offset_x = 0;
  int16_t offset_y = 0;
  int16_t repeat = 0;
  int16_t arrangement = 0;  // 0 grid, 1 circle
  int16_t radius = 0;
  int16_t gap_x = 0;
  int16_t gap_y = 0;
  int8_t grid_columns = 0;
  int8_t grid_extra = 0;
  int16_t start_value = 0;
  SkinName source{};
  SkinName target{};
};

// One resolved element, with everything layout, drawing and hit testing need.
struct ElementSlot {
  SkinName source_name{};
  SkinName target_name{};
  std::array<char, 3> source_letters{'0', '0', '0'};
  std::array<char, 3> target_letters{'0', '0', '0'};
  Binding source;  // none unless looked up
  Binding target;
  int16_t cell_width = 0;
  int16_t cell_height = 0;
  int16_t strip_x = 0;
  int16_t strip_y = 0;
  int16_t strip_columns = 0;
  int16_t strip_rows = 0;
  int16_t step = 0;
  int16_t kind = 0;
  int16_t parameter = 0;
  int16_t level = 0;
  int32_t image_index = 0;
  int32_t parent = -1;  // the parent's element-record index, -1 for a root
  int16_t base_x = 0;
  int16_t base_y = 0;
  int16_t parent_offset_x = 0;
  int16_t parent_offset_y = 0;
  int16_t offset_x = 0;
  int16_t offset_y = 0;
  int16_t centre_x = 0;
  int16_t centre_y = 0;
  int16_t repeat = 0;
  int16_t parent_repeat = 0;
  int16_t arrangement = 0;
  int16_t radius = 0;
  int16_t gap_x = 0;
  int16_t gap_y = 0;
  int16_t start_value = 0;
  int8_t grid_columns = 0;
  int8_t grid_extra = 0;
  int16_t visible = 0;
  int16_t parent_visible = 0;
  // The first slot of the skin this slot belongs to: parents are found at skin_first + parent.
  int32_t skin_first = 0;

  bool is_root() const { return parent < 0; }
  // Absolute slot index of the parent, -1 for a root.
  int32_t parent_slot() const { return parent < 0 ? -1 : skin_first + parent; }
};

// The shared file buffer with the skin read into it, and the table copied out of its picture.
class SkinFile {
 public:
  SkinFile();

  // Reads `path` whole into the buffer and copies the table out. False with `reason` set when
  // the file cannot be opened, does not fit the buffer or its table does not fit the file; the
  // buffer then holds no skin.
  bool read(const std::string& path, std::string& reason);
  // The same from bytes already in memory.
  bool assign(std::span<const uint8_t> bytes, std::string& reason);

  bool loaded() const { return size_ != 0; }
  int32_t width() const { return width_; }
  // Rows the file holds whole; pixels below them are not part of the picture.
  int32_t rows() const { return rows_; }
  bool holds(int64_t x, int64_t y) const { return x >= 0 && x < width_ && y >= 0 && y < rows_; }
  // Pixel (x, y) of a held position (callers check holds()).
  uint16_t pixel(int32_t x, int32_t y) const;
  // The stored bytes of row y from column x on (little-endian pixels; callers check holds()).
  const uint8_t* pixel_bytes(int32_t x, int32_t y) const;

  const std::array<uint8_t, kSkinTableSize>& table() const { return table_; }
  int32_t image_count() const;
  int32_t element_count() const;
  ImageRecord image(int32_t i) const;
  ElementRecord element(int32_t j) const;
  // The largest repeat of the first 96 element-record areas, or 0.
  int16_t position_count() const;

 private:
  void forget();
  bool take(size_t size, std::string& reason);

  std::vector<uint8_t> buffer_;
  size_t size_ = 0;
  int32_t width_ = 0;
  int32_t rows_ = 0;
  std::array<uint8_t, kSkinTableSize> table_{};
};

// Resolves the table of `file` into slots[first + j] for element record j. Returns the number of
// elements resolved.
int32_t resolve_skin_table(const SkinFile& file, KeyFormVariables& vars,
                           std::span<ElementSlot, kElementSlotCount> slots, int32_t first);

// The composite-to-bitmap conversion with the whitening levels. The composite holds rows `width`
// pixels apart; pairs are read as 32-bit words at (y * width + x) >> 1.
void show_composite(int height, int width, std::span<const uint16_t> composite,
                    platform::Bitmap& out);

}  // namespace tessomar::keyform
