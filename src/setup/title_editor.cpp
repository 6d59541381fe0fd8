#include "setup/title_editor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/bytes.h"
#include "setup/setup_tabs.h"

namespace tessomar::setup {

namespace {

using channels::kSizeClassTable;
using channels::kTitleChannels;
using channels::kTitleTextSize;

constexpr std::array<Language, kLanguageCount> kLanguages = {{
    {"0 English", 1},    {"1 Traditional Chinese", 1},
    {"2 Spanish", 162},  {"3 Russian", 204},
    {"4 Italian", 162},  {"5 Simplified Chinese  ", 134},
    {"6 Japanese", 128}, {"7 German", 162},
    {"8 French", 1},     {"9 Dutch", 162},
    {"10 Czech", 1},     {"11 Polish", 238},
    {"12 Hebrew", 177},  {"13 Thai", 222},
    {"14 Danish", 162},  {"15 Finnish", 162},
    {"16 Swedish", 162}, {"17 Vitnamese article", 163},
    {"18 Korean", 129},
}};

constexpr std::array<const char*, 5> kFontSizeTexts = {"X-Large", "Large", "Medium", "Small",
                                                       "X-Small"};
constexpr int kMediumIndex = 2;
constexpr int kMeasurePoints = 72;
constexpr int kMinPoints = 8;
constexpr int kMaxPoints = 72;

// Title file chunk ids in file order with their blocks.
constexpr std::array<uint32_t, 5> kChunkIds = {channels::kBlockRecord, 1, 2, 3, 4};

uint32_t block_size(uint32_t id) {
  if (id == channels::kBlockRecord) return channels::kTitleRecordSize;
  if (id >= 1 && id <= 4) return kSizeClassTable[id - 1].block_size;
  return 0;
}

int32_t read_i32(std::span<const uint8_t> b, size_t at) {
  return int32_t(platform::load_u32le(b.data() + at));
}
void write_i32(std::span<uint8_t> b, size_t at, int32_t v) {
  platform::store_u32le(b.data() + at, uint32_t(v));
}

// Rounds towards minus infinity, as the position halving does.
int floor_half(int v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

const char* charset_code_page(uint8_t charset) {
  switch (charset) {
    case 128:
      return "CP932";
    case 129:
      return "CP949";
    case 134:
      return "CP936";
    case 136:
      return "CP950";
    case 161:
      return "CP1253";
    case 162:
      return "CP1254";
    case 163:
      return "CP1258";
    case 177:
      return "CP1255";
    case 178:
      return "CP1256";
    case 186:
      return "CP1257";
    case 204:
      return "CP1251";
    case 222:
      return "CP874";
    case 238:
      return "CP1250";
    default:
      return "CP1252";
  }
}

// The ink box of black text on white: top and left from the first inked pixel of each row
// going down, height and right from the last going up (row 0 and column 0 not looked at
// there). Rows without ink keep the box centred.
void find_ink(const platform::Bitmap& picture, InkBox& ink) {
  const int w = picture.width();
  const int h = picture.height();
  int left = w / 2;
  bool found = false;
  for (int y = 0; y < h; ++y) {
    auto row = picture.row(y);
    for (int x = 0; x < w; ++x) {
      if (row[size_t(x)] != kWhite) {
        if (!found) ink.top = y;
        found = true;
        left = std::min(left, x);
        break;
      }
    }
  }
  int right = w / 2;
  bool bottom_found = false;
  for (int y = h - 1; y >= 1; --y) {
    auto row = picture.row(y);
    for (int x = w - 1; x >= 1; --x) {
      if (row[size_t(x)] != kWhite) {
        if (!bottom_found) ink.height = y - ink.top;
        bottom_found = true;
        right = std::max(right, x);
        break;
      }
    }
  }
  ink.left = left;
  ink.width = right - left;
}

// Every pixel that is not white sets its bit, least significant first, rows width / 8 bytes.
void pack_title_bits(const platform::Bitmap& picture, std::span<uint8_t> bits) {
  const size_t stride = size_t(picture.width()) / 8;
  for (int row = 0; row < picture.height(); ++row) {
    auto px = picture.row(row);
    for (int col = 0; col < picture.width(); ++col) {
      if (px[size_t(col)] != kWhite) {
        bits[size_t(row) * stride + size_t(col) / 8] |= uint8_t(1u << (col % 8));
      }
    }
  }
}

}  // namespace

const std::array<Language, kLanguageCount>& languages() { return kLanguages; }
const std::array<const char*, 5>& font_size_texts() { return kFontSizeTexts; }

const char* language_code_page(int32_t language) {
  if (language < 0 || language >= kLanguageCount) language = 0;
  const uint8_t charset = kLanguages[size_t(language)].charset;
  if (charset == 1) {
    if (language == 1) return "CP950";
    if (language == 10) return "CP1250";
    return "CP1252";
  }
  return charset_code_page(charset);
}

TitleSize title_size(int32_t percent, int bitmap_height, int h72) {
  if (percent < kTextHeightMin || percent > kTextHeightMax) percent = kDefaultTextHeight;
  TitleSize s;
  s.target = percent * bitmap_height / 100;
  s.points = h72 != 0 ? kMeasurePoints * s.target / h72 : kMeasurePoints;
  s.points = std::clamp(s.points, kMinPoints, kMaxPoints);
  return s;
}

// ---- Title files ----

TitleFileLoad load_title_file(std::span<const uint8_t> file, channels::TitleSet& set) {
  TitleFileLoad out;
  auto refuse = [&](std::string why) {
    out.refused = true;
    out.reason = std::move(why);
    return out;
  };
  if (file.size() < kTitleFileHeader) return refuse("the file is too short for a title file");
  const uint32_t total = platform::load_u32le(file.data());
  const bool magic =
      std::memcmp(file.data() + 4, "VDTT", 4) == 0 || std::memcmp(file.data() + 4, "vdtt", 4) == 0;
  if (!magic) return refuse("the file is not a title file");
  if (platform::load_u32le(file.data() + 8) != kTitleFileVersion) {
    return refuse("the title file has another version");
  }
  if (total > file.size()) return refuse("the title file is truncated");
  const uint32_t count = platform::load_u32le(file.data() + 12);

  // First pass: find the chunks to store, refusing the whole file when one is cut short.
  struct Found {
    uint32_t id;
    size_t at;
  };
  std::array<Found, 8> found{};
  size_t found_count = 0;
  size_t pos = kTitleFileHeader;
  uint64_t chunk_bytes = 0;
  for (uint32_t n = 0; n < count && chunk_bytes < total && found_count < found.size(); ++n) {
    if (file.size() - pos < 8) return refuse("the title file is truncated");
    const uint32_t size = platform::load_u32le(file.data() + pos);
    const uint32_t id = platform::load_u32le(file.data() + pos + 4);
    const uint32_t expected = block_size(id);
    if (expected == 0 || size != expected + 8) break;  // ends the load
    if (file.size() - pos - 8 < expected) return refuse("the title file is truncated");
    found[found_count++] = {id, pos + 8};
    pos += 8 + expected;
    chunk_bytes += 8 + uint64_t(expected);
  }
  for (size_t i = 0; i < found_count; ++i) {
    auto dst = set.block_by_id(found[i].id);
    std::copy_n(file.data() + found[i].at, dst.size(), dst.data());
  }
  out.chunks = int(found_count);
  return out;
}

std::vector<uint8_t> save_title_file(const channels::TitleSet& set) {
  std::vector<uint8_t> out(kTitleFileSize);
  platform::store_u32le(out.data(), kTitleFileSize);
  std::memcpy(out.data() + 4, "VDTT", 4);
  platform::store_u32le(out.data() + 8, kTitleFileVersion);
  platform::store_u32le(out.data() + 12, uint32_t(kChunkIds.size()));
  size_t pos = kTitleFileHeader;
  for (uint32_t id : kChunkIds) {
    std::span<const uint8_t> data = id == channels::kBlockRecord
                                        ? std::span<const uint8_t>(set.record)
                                        : set.block(int(id - 1));
    platform::store_u32le(out.data() + pos, uint32_t(data.size()) + 8);
    platform::store_u32le(out.data() + pos + 4, id);
    std::copy(data.begin(), data.end(), out.begin() + ptrdiff_t(pos + 8));
    pos += 8 + data.size();
  }
  return out;
}

// ---- The editor ----

TitleEditor::TitleEditor(platform::Form& form, platform::Dialogs& dialogs,
                         const platform::Logger& logger, channels::TitleTransfer& transfer)
    : form_(form), dialogs_(dialogs), logger_(logger), transfer_(transfer) {}

std::string TitleEditor::edit_name(int channel) {
  return "LabeledEdit_Title" + std::to_string(channel + 1);
}

void TitleEditor::prepare() {
  std::vector<std::string> langs;
  for (const Language& l : kLanguages) langs.emplace_back(l.item);
  c("ComboBox_Title").set_items(std::move(langs));
  c("ComboBox_Title").set_item_index(0);
  c("ComboBox_TFS").set_items({kFontSizeTexts.begin(), kFontSizeTexts.end()});
  c("ProgressBar_title").set_range(0, 100);

  // The preview: its control's size, navy.
  const platform::Geometry& g = c("Image_Title1").geometry();
  c("Image_Title1").picture().resize(g.width, g.height);
  c("Image_Title1").picture().fill(kNavy);
  c("Image_Title1").picture_changed();

  // The font dialog's default font into the record, size 60 %.
  auto& rec = transfer_.set.record;
  std::fill(rec.begin() + channels::kRecordFontName, rec.begin() + channels::kRecordFontName + 64,
            uint8_t(0));
  std::memcpy(rec.data() + channels::kRecordFontName, kDefaultFontFamily,
              std::strlen(kDefaultFontFamily));
  rec[channels::kRecordFontCharset] = kLanguages[0].charset;
  rec[channels::kRecordFontStyle] = 0;
  write_i32(rec, channels::kRecordTextHeight, kDefaultTextHeight);
  apply_fonts();

  c("ScrollBar_TFS").set_range(kTextHeightMin, kTextHeightMax);
  c("ScrollBar_TFS").set_position(kDefaultTextHeight);
  c("Edit_TFS").set_caption(std::to_string(kDefaultTextHeight));
  c("ComboBox_TFS").set_item_index(kMediumIndex);
  c("ComboBox_TFS").set_caption(kFontSizeTexts[kMediumIndex]);

  for (int ch = 0; ch < kTitleChannels; ++ch) {
    platform::Component& e = c(edit_name(ch));
    e.set_tag(ch);
    e.set_max_length(int(channels::kTitleTextMax));
    e.on("OnChange", [this, ch](platform::Event&) { store(ch); });
    e.on("OnClick", [this, ch](platform::Event&) { store(ch); });
  }
  c("Button_TOption").on("OnClick", [this](platform::Event&) { font_option(); });
  c("ComboBox_TFS").on("OnChange", [this](platform::Event&) { font_size_selected(); });
  c("ScrollBar_TFS").on("OnChange", [this](platform::Event&) { font_size_scrolled(); });
  c("Edit_TFS").on("OnChange", [this](platform::Event&) { font_size_edited(); });
  c("ComboBox_Title").on("OnChange", [this](platform::Event&) {
    select_language(c("ComboBox_Title").item_index());
  });
  c("Button_TLoad").on("OnClick", [this](platform::Event&) { load_file(); });
  c("Button_TSave").on("OnClick", [this](platform::Event&) { save_file(); });
}

void TitleEditor::set_channel_count(uint32_t count) {
  channel_count_ = count;
  for (int ch = 0; ch < kTitleChannels; ++ch) c(edit_name(ch)).set_visible(uint32_t(ch) < count);
}

bool TitleEditor::store(int channel) {
  if (channel_count_ == 0 || channel < 0 || uint32_t(channel) >= channel_count_ ||
      channel >= kTitleChannels) {
    return false;
  }
  const std::string& typed = c(edit_name(channel)).caption();
  const int32_t lang = language();
  auto encoded = platform::utf8_to_code_page(typed, language_code_page(lang));
  if (!encoded) {
    const char* item = kLanguages[size_t(lang >= 0 && lang < kLanguageCount ? lang : 0)].item;
    dialogs_.message_box("The title of CH" + std::to_string(channel + 1) +
                             " has characters that the language \"" + item +
                             "\" cannot show; it was not stored.",
                         "Title");
    return false;
  }
  if (encoded->size() > channels::kTitleTextMax) {
    // Keep whole characters: cut the typed text until its encoding fits.
    std::u32string chars = platform::utf8_to_utf32(typed);
    logger_.warning("title of CH" + std::to_string(channel + 1) + " cut to 60 bytes");
    while (!chars.empty() && encoded->size() > channels::kTitleTextMax) {
      chars.pop_back();
      std::string utf8;
      for (char32_t cp : chars) {
        if (cp < 0x80) {
          utf8 += char(cp);
        } else if (cp < 0x800) {
          utf8 += char(0xC0 | (cp >> 6));
          utf8 += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
          utf8 += char(0xE0 | (cp >> 12));
          utf8 += char(0x80 | ((cp >> 6) & 0x3F));
          utf8 += char(0x80 | (cp & 0x3F));
        } else {
          utf8 += char(0xF0 | (cp >> 18));
          utf8 += char(0x80 | ((cp >> 12) & 0x3F));
          utf8 += char(0x80 | ((cp >> 6) & 0x3F));
          utf8 += char(0x80 | (cp & 0x3F));
        }
      }
      encoded = platform::utf8_to_code_page(utf8, language_code_page(lang));
      if (!encoded) return false;
    }
  }
  auto field =
      std::span(transfer_.set.record)
          .subspan(channels::kRecordTitles + size_t(channel) * kTitleTextSize, kTitleTextSize);
  std::fill(field.begin(), field.end(), uint8_t(0));
  std::copy(encoded->begin(), encoded->end(), field.begin());
  transfer_.previewChannel = channel;
  transfer_.dirty[size_t(channel)] = 1;
  return true;
}

platform::FontRequest TitleEditor::record_font() const {
  const auto& rec = transfer_.set.record;
  platform::FontRequest f;
  const auto* name = reinterpret_cast<const char*>(rec.data() + channels::kRecordFontName);
  f.family.assign(name, strnlen(name, 63));
  const uint8_t style = rec[channels::kRecordFontStyle];
  f.bold = (style & channels::kStyleBold) != 0;
  f.italic = (style & channels::kStyleItalic) != 0;
  f.underline = (style & channels::kStyleUnderline) != 0;
  f.strikeout = (style & channels::kStyleStrikeout) != 0;
  return f;
}

void TitleEditor::apply_fonts() {
  platform::FontRequest f = record_font();
  if (f.family.empty()) f.family = kDefaultFontFamily;
  if (!face_.open(f)) {
    logger_.warning("no font matches \"" + platform::font_pattern(f) + "\"");
    if (!face_.is_open()) face_.open(platform::FontRequest{kDefaultFontFamily});
  }
}

bool TitleEditor::set_font(const platform::FontRequest& font) {
  if (font.family.empty()) return false;
  auto& rec = transfer_.set.record;
  // Fonts here carry no character set: the language's goes with them.
  const int32_t lang = language();
  rec[channels::kRecordFontCharset] =
      kLanguages[size_t(lang >= 0 && lang < kLanguageCount ? lang : 0)].charset;
  std::fill(rec.begin() + channels::kRecordFontName, rec.begin() + channels::kRecordFontName + 64,
            uint8_t(0));
  std::memcpy(rec.data() + channels::kRecordFontName, font.family.data(),
              std::min<size_t>(font.family.size(), 63));
  uint8_t style = 0;
  if (font.bold) style |= channels::kStyleBold;
  if (font.italic) style |= channels::kStyleItalic;
  if (font.underline) style |= channels::kStyleUnderline;
  if (font.strikeout) style |= channels::kStyleStrikeout;
  rec[channels::kRecordFontStyle] = style;
  apply_fonts();
  mark_all_dirty();
  return true;
}

void TitleEditor::font_option() {
  const platform::FontRequest cur = record_font();
  platform::FontChoice initial;
  initial.family = cur.family;
  initial.bold = cur.bold;
  initial.italic = cur.italic;
  initial.underline = cur.underline;
  initial.strikeout = cur.strikeout;
  auto chosen = dialogs_.choose_font(initial);
  if (!chosen) return;
  set_font(platform::FontRequest{chosen->family, chosen->bold, chosen->italic, chosen->underline,
                                 chosen->strikeout});
}

void TitleEditor::store_text_height(int32_t percent) {
  if (percent < kTextHeightMin || percent > kTextHeightMax) percent = kDefaultTextHeight;
  write_i32(transfer_.set.record, channels::kRecordTextHeight, percent);
  // The size list names the percent when it is one of its entries.
  const auto named = std::find(kFontSizePercents.begin(), kFontSizePercents.end(), percent);
  const int index = named == kFontSizePercents.end() ? -1 : int(named - kFontSizePercents.begin());
  c("ComboBox_TFS").set_item_index(index);
  c("ComboBox_TFS").set_caption(index < 0 ? "" : kFontSizeTexts[size_t(index)]);
  mark_all_dirty();
}

void TitleEditor::font_size_selected() {
  platform::Component& combo = c("ComboBox_TFS");
  int i = combo.item_index();
  if (i < 0 || i >= int(kFontSizePercents.size())) {
    i = kMediumIndex;
    combo.set_item_index(i);
  }
  c("Edit_TFS").set_caption(std::to_string(kFontSizePercents[size_t(i)]));
  font_size_edited();
}

void TitleEditor::font_size_scrolled() {
  c("Edit_TFS").set_caption(std::to_string(c("ScrollBar_TFS").position()));
  font_size_edited();
}

void TitleEditor::font_size_edited() {
  const std::string& t = c("Edit_TFS").caption();
  if (t.empty()) return;
  auto v = parse_integer(t);
  if (!v || *v < INT32_MIN || *v > INT32_MAX) {
    dialogs_.message_box("'" + t + "' is not a valid integer value", "Error");
    return;
  }
  store_text_height(int32_t(*v));
}

void TitleEditor::select_language(int index) {
  if (index < 0 || index >= kLanguageCount) index = 0;
  c("ComboBox_Title").set_item_index(index);
  c("ComboBox_Title").set_caption(kLanguages[size_t(index)].item);
  write_i32(transfer_.set.record, channels::kRecordLanguage, index);
}

int32_t TitleEditor::language() const {
  const int32_t l = read_i32(transfer_.set.record, channels::kRecordLanguage);
  return l >= 0 && l < kLanguageCount ? l : 0;
}

int32_t TitleEditor::text_height() const {
  return read_i32(transfer_.set.record, channels::kRecordTextHeight);
}

void TitleEditor::refill() {
  auto& rec = transfer_.set.record;
  int32_t lang = read_i32(rec, channels::kRecordLanguage);
  if (lang < 0 || lang >= kLanguageCount) lang = 0;
  // A record without a font name (a DVR that never had titles) takes the default font, so
  // that what is uploaded names the font it was drawn with.
  if (rec[channels::kRecordFontName] == 0) {
    std::memcpy(rec.data() + channels::kRecordFontName, kDefaultFontFamily,
                std::strlen(kDefaultFontFamily));
  }
  apply_fonts();
  // A percent outside the bar's range counts as 60, as everywhere else.
  int32_t percent = read_i32(rec, channels::kRecordTextHeight);
  if (percent < kTextHeightMin || percent > kTextHeightMax) percent = kDefaultTextHeight;
  c("ScrollBar_TFS").set_position(percent);
  font_size_scrolled();
  select_language(lang);
  for (int ch = 0; ch < kTitleChannels; ++ch) {
    rec[channels::kRecordTitles + size_t(ch) * kTitleTextSize + kTitleTextSize - 1] = 0;
    c(edit_name(ch)).set_caption(title_text(ch));
  }
}

void TitleEditor::show_titles() {
  select_language(language());
  apply_fonts();
  auto& rec = transfer_.set.record;
  for (int ch = 0; ch < kTitleChannels; ++ch) {
    rec[channels::kRecordTitles + size_t(ch) * kTitleTextSize + kTitleTextSize - 1] = 0;
    c(edit_name(ch)).set_caption(title_text(ch));
  }
}

std::string TitleEditor::title_text(int channel) const {
  const auto* p = reinterpret_cast<const char*>(
      transfer_.set.record.data() + channels::kRecordTitles + size_t(channel) * kTitleTextSize);
  return platform::code_page_to_utf8(std::string_view(p, strnlen(p, kTitleTextSize - 1)),
                                     language_code_page(language()));
}

std::u32string TitleEditor::record_text(int channel) const {
  return platform::utf8_to_utf32(title_text(channel));
}

void TitleEditor::mark_all_dirty() { transfer_.dirty.fill(1); }

void TitleEditor::clear_edits() {
  for (int ch = 0; ch < kTitleChannels; ++ch) c(edit_name(ch)).set_caption("");
}

void TitleEditor::set_controls_enabled(bool enabled) {
  for (const char* n : {"Button_Title1", "Button_TLoad", "Button_TSave", "Button_TOption",
                        "ComboBox_TFS", "Edit_TFS", "ScrollBar_TFS", "ComboBox_Title"}) {
    c(n).set_enabled(enabled);
  }
  for (int ch = 0; ch < kTitleChannels; ++ch) c(edit_name(ch)).set_enabled(enabled);
}

void TitleEditor::show_progress(int percent) {
  c("ProgressBar_title").set_position(std::clamp(percent, 0, 100));
}

uint32_t TitleEditor::set_sum() const { return channels::title_set_sum(transfer_.set); }

InkBox TitleEditor::ink_box(int channel, int size_class) const {
  const auto& b = transfer_.inkBoxes[size_t(channel)][size_t(size_class)];
  return {b[0], b[1], b[2], b[3]};
}

void TitleEditor::render_tick() {
  if (channel_count_ == 0) return;
  for (int ch = kTitleChannels - 1; ch >= 0; --ch) {
    if (!transfer_.dirty[size_t(ch)]) continue;
    for (int k = 0; k < channels::kSizeClasses; ++k) render(ch, k);
    transfer_.dirty[size_t(ch)] = 0;
  }
}

void TitleEditor::render(int channel, int size_class) {
  const channels::SizeClass& sc = kSizeClassTable[size_t(size_class)];
  const int W = sc.width;
  const int H = sc.height;
  const std::u32string text = record_text(channel);
  const bool previewed =
      size_class == transfer_.previewClass && channel == transfer_.previewChannel;
  platform::Component& preview = c("Image_Title1");
  platform::Bitmap& pic = preview.picture();
  auto fill_preview = [&] {
    for (int y = 0; y < std::min(H, pic.height()); ++y) {
      auto row = pic.row(y);
      std::fill(row.begin(), row.begin() + std::min(W, pic.width()), kNavy);
    }
  };
  auto bits = transfer_.set.bitmap(size_class, channel);
  std::fill(bits.begin(), bits.end(), uint8_t(0));
  if (text.empty()) {
    if (previewed) {
      fill_preview();
      preview.picture_changed();
    }
    return;
  }

  // Measure at 72 points, then the size that gives the target height.
  // The height at 72 points is the face's, whatever the text: no glyph needs loading for it.
  face_.set_points(kMeasurePoints);
  const int h72 = face_.line_height();
  const int32_t percent = text_height();
  if (percent < kTextHeightMin || percent > kTextHeightMax) {
    write_i32(transfer_.set.record, channels::kRecordTextHeight, kDefaultTextHeight);
  }
  const int points = title_size(percent, H, h72).points;

  // Ink box on the measuring picture.
  face_.set_points(points);
  const platform::TextExtent e = face_.measure(text);
  const int w = e.width;
  const int h = e.height;
  InkBox ink;
  ink.height = h;
  if (w > 0 && h > 0) {
    measure_.resize(w, h);
    measure_.fill(kWhite);
    face_.draw(measure_, 0, 0, text, kBlack);
    find_ink(measure_, ink);
  }
  transfer_.inkBoxes[size_t(channel)][size_t(size_class)] = {ink.width, ink.height, ink.left,
                                                             ink.top};

  const int x = ink.width > W ? 0 : floor_half(W - ink.width) - ink.left;
  const int y = floor_half(H - ink.height) - ink.top;

  if (previewed) {
    fill_preview();
    face_.draw(pic, x, y, text, kWhite);
    outline_preview(std::min(W, pic.width()), std::min(H, pic.height()));
    preview.picture_changed();
  }

  bitmap_.resize(W, H);
  bitmap_.fill(kWhite);
  face_.draw(bitmap_, x, y, text, kBlack);
  pack_title_bits(bitmap_, bits);
}

// Each pixel is compared with its left and upper neighbours as they were before the pass;
// of a differing pair the one that is not white (the field side) turns black.
void TitleEditor::outline_preview(int width, int height) {
  platform::Bitmap& pic = c("Image_Title1").picture();
  outline_row_above_.resize(size_t(width));
  outline_row_.resize(size_t(width));
  for (int y = 0; y < height; ++y) {
    auto row = pic.row(y);
    std::copy_n(row.begin(), width, outline_row_.begin());
    for (int x = 0; x < width; ++x) {
      const uint32_t cur = outline_row_[size_t(x)];
      if (x > 0) {
        const uint32_t left = outline_row_[size_t(x) - 1];
        if (cur != left) {
          if (cur != kWhite) {
            row[size_t(x)] = kBlack;
          } else {
            row[size_t(x) - 1] = kBlack;
          }
        }
      }
      if (y > 0) {
        const uint32_t above = outline_row_above_[size_t(x)];
        if (cur != above) {
          if (cur != kWhite) {
            row[size_t(x)] = kBlack;
          } else {
            pic.row(y - 1)[size_t(x)] = kBlack;
          }
        }
      }
    }
    outline_row_above_.swap(outline_row_);
  }
}

// ---- Files ----

void TitleEditor::load_file() {
  auto path =
      dialogs_.open_file({"Load File", "Title files (*.vdtt)|*.vdtt|All files (*)|*", "", ""});
  if (path) load_file(*path);
}

void TitleEditor::save_file() {
  auto path = dialogs_.save_file(
      {"Save File", "Title files (*.vdtt)|*.vdtt|All files (*)|*", "", "titles.vdtt"});
  if (path) save_file(*path);
}

bool TitleEditor::load_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    logger_.info("title file " + path + " does not open");
    return false;
  }
  std::vector<uint8_t> bytes;
  bytes.resize(kTitleFileMaxRead + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  bytes.resize(size_t(in.gcount()));
  TitleFileLoad r;
  if (bytes.size() > kTitleFileMaxRead) {
    r.refused = true;
    r.reason = "the file is too large for a title file";
  } else {
    r = load_title_file(bytes, transfer_.set);
  }
  if (r.refused) {
    dialogs_.message_box(path + ": " + r.reason + "; nothing was loaded.", "Load File");
    return false;
  }
  refill();
  mark_all_dirty();
  return true;
}

bool TitleEditor::save_file(const std::string& path) {
  const std::vector<uint8_t> bytes = save_title_file(transfer_.set);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    logger_.info("title file " + path + " cannot be created");
    return false;
  }
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

}  // namespace tessomar::setup
