// The Title tab: sixteen channel titles typed in the DVR's code page, rendered with a chosen
// font into one-bit bitmaps at four sizes, a preview of the title edited last (white text,
// black outline, navy field), the font size and language controls, and title files on disk.
// It fills slot 0's title set, which the VDTT channel uploads. UI thread only.
//
//   TitleEditor editor(form, dialogs, logger, vdtt.transfer(0));
//   editor.prepare();               // handlers, default font, size 60 %
//   editor.set_channel_count(8);    // from the device identity
//   editor.render_tick();           // every 0.3 s: dirty channels rendered
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "channels/title_set.h"
#include "channels/vdtt.h"
#include "platform/bitmap.h"
#include "platform/dialogs.h"
#include "platform/form.h"
#include "platform/log.h"
#include "platform/text.h"

namespace tessomar::setup {

constexpr int kLanguageCount = 19;
constexpr int kPreviewClass = 1;
constexpr int32_t kDefaultTextHeight = 60;
constexpr int32_t kTextHeightMin = 10;
constexpr int32_t kTextHeightMax = 100;
constexpr uint32_t kNavy = 0x000080;
constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kBlack = 0x000000;
constexpr const char* kDefaultFontFamily = "DejaVu Sans";

struct Language {
  const char* item;
  uint8_t charset;  // Windows character set number
};
const std::array<Language, kLanguageCount>& languages();
// ComboBox_TFS item index to height percent.
constexpr std::array<int32_t, 5> kFontSizePercents = {80, 70, 60, 50, 40};
const std::array<const char*, 5>& font_size_texts();

// The iconv code page that stores a language's titles. The "default" character set means
// the DVR's own code page: Big5 for Traditional Chinese, Central European for Czech, Western
// otherwise. Indices outside the table count as 0.
const char* language_code_page(int32_t language);

// Title files: a 16-byte header (total size, "VDTT", version, chunk count) and five chunks
// (size = data + 8, id, data) holding the title set's blocks 16, 1, 2, 3, 4.
constexpr uint32_t kTitleFileSize = 115648;
constexpr uint32_t kTitleFileVersion = 0x01000003;
constexpr uint32_t kTitleFileHeader = 16;
constexpr uint32_t kTitleFileMaxRead = 1u << 20;

struct TitleFileLoad {
  bool refused = false;
  std::string reason;  // why it was refused
  int chunks = 0;      // chunks stored into the set
};
// Stores the file's chunks into the set. A file that is short, has another magic or version,
// declares a total size beyond its bytes or has a chunk cut short is refused and nothing is
// stored; a chunk of an unknown id or an unexpected size ends the load, the chunks before it
// stay stored.
TitleFileLoad load_title_file(std::span<const uint8_t> file, channels::TitleSet& set);
std::vector<uint8_t> save_title_file(const channels::TitleSet& set);

// The text's target height in pixels for a bitmap height and a height percent (outside
// 10..100 taken as 60), and the font size in points that gives it when the text is h72
// pixels high at 72 points (8 to 72).
struct TitleSize {
  int target = 0;
  int points = 0;
};
TitleSize title_size(int32_t percent, int bitmap_height, int h72);

// Per channel and size class, as kept in TitleTransfer::inkBoxes.
struct InkBox {
  int32_t width = 0;
  int32_t height = 0;
  int32_t left = 0;
  int32_t top = 0;
};

class TitleEditor {
 public:
  TitleEditor(platform::Form& form, platform::Dialogs& dialogs, const platform::Logger& logger,
              channels::TitleTransfer& transfer);
  TitleEditor(const TitleEditor&) = delete;
  TitleEditor& operator=(const TitleEditor&) = delete;

  // Editor preparation: lists, handlers, the default font into the record, size 60 %.
  void prepare();
  // The device's channel count: the first that many title edits are shown.
  void set_channel_count(uint32_t count);
  uint32_t channel_count() const { return channel_count_; }

  // Store handler of a title edit (edit n is channel n - 1). False when the text was not
  // stored (channel hidden or text the code page cannot hold).
  bool store(int channel);
  // Font Option through the dialogs; set_font applies a choice directly.
  void font_option();
  bool set_font(const platform::FontRequest& font);
  platform::FontRequest record_font() const;
  // The font size controls' change handlers.
  void font_size_selected();
  void font_size_scrolled();
  void font_size_edited();
  // A ComboBox_Title pick: the language of the typed texts.
  void select_language(int index);
  // The editor shows the title record (after a fetch or a load).
  void refill();
  // The titles and language of the record shown as they are, bitmaps kept (a set the DVR
  // pushed brings its own).
  void show_titles();
  // Every 0.3 s: renders the dirty channels at the four classes.
  void render_tick();
  void render(int channel, int size_class);
  void mark_all_dirty();
  // The title edits emptied before a fetch.
  void clear_edits();
  // The title controls as one group.
  void set_controls_enabled(bool enabled);
  // The upload's progress in percent.
  void show_progress(int percent);

  // Load File / Save File through the dialogs, or with a path. A refused file shows why.
  void load_file();
  void save_file();
  bool load_file(const std::string& path);
  bool save_file(const std::string& path);

  // The title set sum of slot 0's set.
  uint32_t set_sum() const;
  // A channel's title as UTF-8.
  std::string title_text(int channel) const;
  int32_t language() const;
  int32_t text_height() const;
  InkBox ink_box(int channel, int size_class) const;

 private:
  platform::Component& c(std::string_view name) { return form_[name]; }
  static std::string edit_name(int channel);
  void apply_fonts();
  void outline_preview(int width, int height);
  void store_text_height(int32_t percent);
  std::u32string record_text(int channel) const;

  platform::Form& form_;
  platform::Dialogs& dialogs_;
  const platform::Logger& logger_;
  channels::TitleTransfer& transfer_;
  uint32_t channel_count_ = 0;
  // The preview's and the off-screen pictures' font; one face, sized per use.
  platform::TextFace face_;
  platform::Bitmap measure_;
  platform::Bitmap bitmap_;
  std::vector<uint32_t> outline_row_above_;
  std::vector<uint32_t> outline_row_;
};

}  // namespace tessomar::setup
