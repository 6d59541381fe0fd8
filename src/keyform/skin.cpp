#include "keyform/skin.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/bytes.h"

namespace tessomar::keyform {

namespace {

int16_t load_i16(const uint8_t* p) { return static_cast<int16_t>(platform::load_u16le(p)); }

SkinName load_name(const uint8_t* p) {
  SkinName n;
  std::memcpy(n.data(), p, n.size());
  return n;
}

bool letter_present(char c) { return c != '0'; }

}  // namespace

bool is_key_form_name(std::string_view file_name) {
  return file_name == kKeyFormFileName || file_name == kKeyFormLogicalName;
}

std::string_view name_view(const SkinName& name) {
  const auto* end = std::find(name.begin(), name.end(), '\0');
  return {name.data(), static_cast<size_t>(end - name.begin())};
}

SkinName make_skin_name(std::string_view text) {
  SkinName n{};
  std::memcpy(n.data(), text.data(), std::min(text.size(), n.size()));
  return n;
}

SkinFile::SkinFile() : buffer_(kSkinFileBufferSize) {}

bool SkinFile::read(const std::string& path, std::string& reason) {
  forget();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    reason = "cannot open " + path;
    return false;
  }
  long length = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) length = std::ftell(f);
  if (length < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    reason = "cannot read " + path;
    return false;
  }
  if (static_cast<unsigned long>(length) > kSkinFileBufferSize) {
    std::fclose(f);
    reason = path + " is " + std::to_string(length) + " bytes, more than the " +
             std::to_string(kSkinFileBufferSize) + "-byte skin buffer";
    return false;
  }
  size_t got = std::fread(buffer_.data(), 1, static_cast<size_t>(length), f);
  std::fclose(f);
  if (!take(got, reason)) {
    reason = path + ": " + reason;
    return false;
  }
  return true;
}

bool SkinFile::assign(std::span<const uint8_t> bytes, std::string& reason) {
  forget();
  if (bytes.size() > kSkinFileBufferSize) {
    reason = std::to_string(bytes.size()) + " bytes, more than the skin buffer";
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), buffer_.begin());
  return take(bytes.size(), reason);
}

void SkinFile::forget() {
  // A refused file leaves no picture either, not the last one's size over stale bytes.
  size_ = 0;
  width_ = 0;
  rows_ = 0;
  table_.fill(0);
}

bool SkinFile::take(size_t size, std::string& reason) {
  if (size < kSkinHeaderSize) {
    reason = "shorter than the skin header";
    return false;
  }
  const size_t row_bytes = 4 * size_t{platform::load_u16le(buffer_.data() + 2)};
  // Each table row is the start of one picture row; narrower rows would overlap.
  if (row_bytes < kSkinTableRowBytes) {
    reason = "picture rows of " + std::to_string(row_bytes) + " bytes cannot hold the table";
    return false;
  }
  if (kSkinHeaderSize + (kSkinTableRows - 1) * row_bytes + kSkinTableRowBytes > size) {
    reason = "the table rows lie past the end of the file";
    return false;
  }
  for (size_t row = 0; row < kSkinTableRows; ++row) {
    std::memcpy(table_.data() + row * kSkinTableRowBytes,
                buffer_.data() + kSkinHeaderSize + row * row_bytes, kSkinTableRowBytes);
  }
  const int32_t images = image_count();
  const int32_t elements = element_count();
  if (images < 0 || elements < 0 || images > kImageRecordRoom || elements > kElementRecordRoom ||
      images + elements > kNameIndexSize) {
    reason = "table counts " + std::to_string(images) + " images and " + std::to_string(elements) +
             " elements do not fit the table";
    return false;
  }
  width_ = static_cast<int32_t>(row_bytes / 2);
  rows_ = static_cast<int32_t>((size - kSkinHeaderSize) / row_bytes);
  size_ = size;
  return true;
}

uint16_t SkinFile::pixel(int32_t x, int32_t y) const {
  return platform::load_u16le(pixel_bytes(x, y));
}

const uint8_t* SkinFile::pixel_bytes(int32_t x, int32_t y) const {
  const size_t at = kSkinHeaderSize + 2 * (static_cast<size_t>(y) * static_cast<size_t>(width_) +
                                           static_cast<size_t>(x));
  return buffer_.data() + at;
}

int32_t SkinFile::image_count() const { return load_i16(table_.data() + 8); }
int32_t SkinFile::element_count() const { return load_i16(table_.data() + 10); }

ImageRecord SkinFile::image(int32_t i) const {
  const uint8_t* p = table_.data() + kImageRecordOffset + kImageRecordSize * static_cast<size_t>(i);
  ImageRecord r;
  r.name = load_name(p);
  r.cell_width = load_i16(p + 16);
  r.cell_height = load_i16(p + 18);
  r.strip_x = load_i16(p + 20);
  r.strip_y = load_i16(p + 22);
  r.strip_columns = load_i16(p + 24);
  r.strip_rows = load_i16(p + 26);
  r.step = load_i16(p + 28);
  r.kind = load_i16(p + 30);
  r.parameter = load_i16(p + 32);
  r.level = load_i16(p + 34);
  return r;
}

ElementRecord SkinFile::element(int32_t j) const {
  const uint8_t* p =
      table_.data() + kElementRecordOffset + kElementRecordSize * static_cast<size_t>(j);
  ElementRecord r;
  r.name = load_name(p);
  r.image = load_name(p + 16);
  r.parent = load_name(p + 32);
  r.offset_x = load_i16(p + 48);
  r.offset_y = load_i16(p + 50);
  r.repeat = load_i16(p + 52);
  r.arrangement = load_i16(p + 56);
  r.radius = load_i16(p + 58);
  r.gap_x = load_i16(p + 60);
  r.gap_y = load_i16(p + 62);
  r.grid_columns = static_cast<int8_t>(p[64]);
  r.grid_extra = static_cast<int8_t>(p[65]);
  r.start_value = load_i16(p + 66);
  r.source = load_name(p + 68);
  r.target = load_name(p + 84);
  return r;
}

int16_t SkinFile::position_count() const {
  int16_t count = 0;
  for (int j = 0; j < kPositionCountRecords; ++j) {
    const uint8_t* p = table_.data() + kElementRecordOffset + kElementRecordSize * size_t(j);
    count = std::max(count, load_i16(p + 52));
  }
  return count;
}

namespace {

enum class EntryKind { Image, Element };

struct NameEntry {
  SkinName name{};
  EntryKind kind = EntryKind::Image;
  int32_t index = 0;
};

void fill_slot(ElementSlot& slot, const ElementRecord& e, const ImageRecord& img, int32_t image,
               int32_t parent, const ElementSlot* parent_slot, int32_t first,
               KeyFormVariables& vars) {
  slot.source_name = e.source;
  slot.target_name = e.target;
  slot.source_letters = binding_suffix(name_view(e.source)).letters;
  slot.target_letters = binding_suffix(name_view(e.target)).letters;
  const char s1 = slot.source_letters[0];
  slot.source = (s1 == 'S' || s1 == 'A') ? lookup_binding(vars, name_view(e.source)) : Binding();
  slot.target = letter_present(slot.target_letters[0]) && letter_present(slot.target_letters[1])
                    ? lookup_binding(vars, name_view(e.target))
                    : Binding();
  slot.cell_width = img.cell_width;
  slot.cell_height = img.cell_height;
  slot.strip_x = img.strip_x;
  slot.strip_y = img.strip_y;
  slot.strip_columns = img.strip_columns;
  slot.strip_rows = img.strip_rows;
  slot.step = img.step;
  slot.kind = img.kind;
  slot.parameter = img.parameter;
  slot.level = img.level;
  slot.image_index = image;
  slot.parent = parent;
  slot.skin_first = first;
  if (parent >= 0) {
    // A parent slot past the table's end stands for an empty, hidden parent.
    static constexpr ElementSlot kNoParent{};
    const ElementSlot& p = parent_slot != nullptr ? *parent_slot : kNoParent;
    slot.base_x = p.centre_x;
    slot.base_y = p.centre_y;
    slot.parent_offset_x = p.offset_x;
    slot.parent_offset_y = p.offset_y;
    slot.offset_x = e.offset_x;
    slot.offset_y = e.offset_y;
    slot.parent_repeat = p.repeat;
    slot.parent_visible = p.visible;
  } else {
    slot.base_x = static_cast<int16_t>(img.cell_width >> 1);
    slot.base_y = static_cast<int16_t>(img.cell_height >> 1);
    slot.parent_offset_x = slot.parent_offset_y = 0;
    slot.offset_x = slot.offset_y = 0;
    slot.parent_repeat = 1;
    slot.parent_visible = 1;
  }
  slot.centre_x = static_cast<int16_t>(slot.base_x + slot.offset_x);
  slot.centre_y = static_cast<int16_t>(slot.base_y + slot.offset_y);
  slot.repeat = e.repeat;
  slot.arrangement = e.arrangement;
  slot.radius = e.radius;
  slot.gap_x = e.gap_x;
  slot.gap_y = e.gap_y;
  slot.grid_columns = e.grid_columns;
  slot.grid_extra = e.grid_extra;
  slot.start_value = e.start_value;
  slot.visible = 1;
}

}  // namespace

int32_t resolve_skin_table(const SkinFile& file, KeyFormVariables& vars,
                           std::span<ElementSlot, kElementSlotCount> slots, int32_t first) {
  const int32_t images = file.image_count();
  const int32_t elements = file.element_count();
  std::array<NameEntry, kNameIndexSize> index{};
  int32_t entries = 0;
  for (int32_t i = 0; i < images && entries < kNameIndexSize; ++i) {
    index[static_cast<size_t>(entries++)] = {file.image(i).name, EntryKind::Image, i};
  }
  for (int32_t j = 0; j < elements && entries < kNameIndexSize; ++j) {
    index[static_cast<size_t>(entries++)] = {file.element(j).name, EntryKind::Element, j};
  }

  int32_t resolved = 0;
  for (int32_t j = 0; j < elements; ++j) {
    const ElementRecord e = file.element(j);
    const std::string_view image_name = name_view(e.image);
    const std::string_view parent_name = name_view(e.parent);
    const bool root = parent_name == kRootParentName;
    int matches = 0;
    int32_t image = -1;
    int32_t parent = -1;
    bool parent_found = false;
    for (int32_t k = 0; k < entries; ++k) {
      const NameEntry& entry = index[static_cast<size_t>(k)];
      const std::string_view entry_name = name_view(entry.name);
      if (entry.kind == EntryKind::Image) {
        if (!image_name.empty() && image_name == entry_name) {
          ++matches;
          image = entry.index;
        }
      } else if (!parent_name.empty() && parent_name == entry_name) {
        ++matches;
        parent = entry.index;
        parent_found = true;
      }
      // A root ends the scan after the first entry: only the first image can serve it.
      if (root) {
        ++matches;
        parent = -1;
        parent_found = true;
        break;
      }
    }
    const int32_t at = first + j;
    // Two matches of one kind reach 2 as well; both an image and a parent must be there.
    if (matches != 2 || image < 0 || !parent_found || at >= kElementSlotCount) continue;
    const int32_t parent_at = parent >= 0 ? first + parent : -1;
    const ElementSlot* parent_slot = parent_at >= 0 && parent_at < kElementSlotCount
                                         ? &slots[static_cast<size_t>(parent_at)]
                                         : nullptr;
    fill_slot(slots[static_cast<size_t>(at)], e, file.image(image), image, parent, parent_slot,
              first, vars);
    ++resolved;
  }
  return resolved;
}

void show_composite(int height, int width, std::span<const uint16_t> composite,
                    platform::Bitmap& out) {
  out.resize(width, height);
  if (width <= 0 || height <= 0) return;
  auto px = [&](size_t i) -> uint32_t { return i < composite.size() ? composite[i] : 0xFFFFu; };
  for (int y = 0; y < height; ++y) {
    auto line = out.row(y);
    for (int x = 0; x < width; ++x) {
      const size_t word =
          (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) >> 1;
      uint32_t first = px(2 * word);
      uint32_t second = px(2 * word + 1);
      const int d = first == kTransparentPixel ? 100 : 25 * static_cast<int>((first >> 8) & 3);
      if (first == kTransparentPixel) first = 0x8080;
      if (second == kTransparentPixel) second = 0x8080;
      const int luma = static_cast<int>((x & 1) == 0 ? first & 0xFF : second & 0xFF);
      const int u = static_cast<int>(first >> 8);
      const int v = static_cast<int>(second >> 8);
      const int r = luma + ((292 * v) >> 8) - 146;
      const int g = luma - ((149 * v + 101 * u) >> 8) + 125;
      const int b = luma + ((516 * u) >> 8) - 258;
      auto whiten = [d](int c) {
        return static_cast<uint32_t>(std::clamp(((100 - d) * c + 255 * d) / 100, 0, 255));
      };
      line[static_cast<size_t>(x)] = whiten(r) << 16 | whiten(g) << 8 | whiten(b);
    }
  }
}

}  // namespace tessomar::keyform
