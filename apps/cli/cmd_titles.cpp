// The Title tab without a window: fetch and print the channel titles, change one and upload
// the set (rendered here, as the viewer does), move title files, and draw the preview.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "commands.h"
#include "platform/png.h"
#include "setup/setup_tabs.h"
#include "setup/title_editor.h"
#include "shell/form_description.h"

namespace tessomar::cli {

namespace {

constexpr const char* kCmd = "titles";

struct TitleOptions {
  int channel = 0;  // 1..16; 0 not given
  std::string text;
  bool has_text = false;
  std::string font;
  std::string size;
  std::string language;
  std::string png;
};

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char ch) { return char(std::tolower(ch)); });
  return s;
}

// A language by index ("3") or name ("russian", "3 Russian").
int language_index(const std::string& text) {
  if (auto n = setup::parse_integer(text)) {
    return *n >= 0 && *n < setup::kLanguageCount ? int(*n) : -1;
  }
  const std::string want = lower(text);
  for (int i = 0; i < setup::kLanguageCount; ++i) {
    std::string item = lower(setup::languages()[size_t(i)].item);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    const std::string name = item.substr(item.find(' ') + 1);
    if (want == item || want == name) return i;
  }
  return -1;
}

// A height percent (10..100) or a size name ("medium", "x-large").
int size_percent(const std::string& text) {
  if (auto n = setup::parse_integer(text)) {
    return *n >= setup::kTextHeightMin && *n <= setup::kTextHeightMax ? int(*n) : -1;
  }
  for (size_t i = 0; i < setup::kFontSizePercents.size(); ++i) {
    if (lower(setup::font_size_texts()[i]) == lower(text)) return setup::kFontSizePercents[i];
  }
  return -1;
}

std::string languages_offered() {
  std::string s;
  for (int i = 0; i < setup::kLanguageCount; ++i) {
    std::string item = setup::languages()[size_t(i)].item;
    while (!item.empty() && item.back() == ' ') item.pop_back();
    s += (i ? ", " : "") + item;
  }
  return s;
}

// Applies --font, --size and --language to the editor; an error text when one is bad.
std::string apply_style(setup::TitleEditor& editor, platform::Form& form, const TitleOptions& o) {
  if (!o.language.empty()) {
    const int l = language_index(o.language);
    if (l < 0) return "unknown --language \"" + o.language + "\" (" + languages_offered() + ")";
    form["ComboBox_Title"].set_item_index(l);
    form["ComboBox_Title"].fire("OnChange");
  }
  if (!o.font.empty()) {
    auto f = platform::parse_font_pattern(o.font);
    if (!f) {
      return "bad --font \"" + o.font +
             "\" (\"Family\" or \"Family:style\", styles bold italic underline strikeout)";
    }
    platform::TextFace probe;
    if (!probe.open(*f)) return "no font matches --font \"" + o.font + "\"";
    if (lower(probe.family()) != lower(f->family)) {
      std::fprintf(stderr, "tessomar-cli titles: no font \"%s\", using \"%s\"\n", f->family.c_str(),
                   probe.family().c_str());
    }
    editor.set_font(*f);
  }
  if (!o.size.empty()) {
    const int p = size_percent(o.size);
    if (p < 0) {
      return "bad --size \"" + o.size + "\" (10-100 or X-Large, Large, Medium, Small, X-Small)";
    }
    form["Edit_TFS"].set_caption(std::to_string(p));
    form["Edit_TFS"].fire("OnChange");
  }
  return {};
}

// Types the text into the channel's edit; the refusal's message when the editor would not
// store it.
std::string type_title(platform::HeadlessDialogs& dialogs, platform::Form& form,
                       setup::TitleEditor& editor, int channel, const std::string& text) {
  dialogs.clear_messages();
  auto& edit = form["LabeledEdit_Title" + std::to_string(channel)];
  edit.set_caption(text);
  if (!editor.store(channel - 1)) {
    if (!dialogs.messages().empty()) return dialogs.messages().back().text;
    return "channel " + std::to_string(channel) + " is not one of the DVR's channels";
  }
  return {};
}

void print_titles(const setup::TitleEditor& editor) {
  for (int ch = 0; ch < channels::kTitleChannels; ++ch) {
    std::printf("ch%d=%s\n", ch + 1, editor.title_text(ch).c_str());
  }
  const platform::FontRequest f = editor.record_font();
  std::string style;
  for (auto [on, name] : {std::pair{f.bold, "bold"},
                          {f.italic, "italic"},
                          {f.underline, "underline"},
                          {f.strikeout, "strikeout"}}) {
    if (on) style += (style.empty() ? "" : " ") + std::string(name);
  }
  std::printf("font=%s\n", f.family.c_str());
  std::printf("style=%s\n", style.empty() ? "regular" : style.c_str());
  std::printf("size=%d\n", editor.text_height());
  std::string lang = setup::languages()[size_t(editor.language())].item;
  while (!lang.empty() && lang.back() == ' ') lang.pop_back();
  std::printf("language=%s\n", lang.c_str());
}

// The Title tab opened on a DVR: identity, the tab's fetch and its answer.
bool open_title_tab(HeadlessHost& host, double timeout_s) {
  std::string why;
  if (!wait_for_identity(host, timeout_s, why)) {
    std::fprintf(stderr, "tessomar-cli titles: %s\n", why.c_str());
    return false;
  }
  shell::Control& control = host.control();
  if (!control.form()["TabSheet6"].visible()) {
    std::fprintf(stderr, "tessomar-cli titles: this DVR has no channel titles\n");
    return false;
  }
  bool refilled = false;
  auto& hooks = control.vdtt().hooks();
  auto previous = hooks.refill_editor;
  hooks.refill_editor = [&refilled, previous](int slot) {
    if (previous) previous(slot);
    if (slot == 0) refilled = true;
  };
  platform::Component& pages = control.form()["PageControl1"];
  pages.set_item_index(setup::kTabTitle);
  pages.fire("OnChange");
  const bool ok = host.loop().run_until([&] { return refilled; }, uint32_t(timeout_s * 1000));
  hooks.refill_editor = previous;
  if (!ok) std::fprintf(stderr, "tessomar-cli titles: no titles from the DVR in time\n");
  return ok;
}

// Renders what changed, presses Apply and follows the upload to its end.
bool upload(HeadlessHost& host, double timeout_s) {
  shell::Control& control = host.control();
  control.titles().render_tick();
  const bool tty = isatty(STDOUT_FILENO) != 0;
  int shown = -1;
  const int watch = control.form().add_observer([&](platform::Component& c, platform::Property p) {
    if (p != platform::Property::Position || c.name() != "ProgressBar_title") return;
    const int percent = c.position();
    if (percent == shown) return;
    shown = percent;
    if (tty) {
      const int filled = percent * 40 / 100;
      std::printf("\rupload [%s%s] %3d%%", std::string(size_t(filled), '#').c_str(),
                  std::string(size_t(40 - filled), ' ').c_str(), percent);
    } else {
      std::printf("upload %d%%\n", percent);
    }
    std::fflush(stdout);
  });
  control.form()["Button_Title1"].fire("OnClick");
  const channels::TitleTransfer& t = control.vdtt().transfer(0);
  const bool done = host.loop().run_until(
      [&] { return t.pendingRequest == 0 && t.uploadBusy == 0 && shown == 100; },
      uint32_t(timeout_s * 1000));
  control.form().remove_observer(watch);
  if (tty && shown >= 0) std::printf("\n");
  if (!done) std::fprintf(stderr, "tessomar-cli titles: the DVR did not take the titles in time\n");
  return done;
}

// The title editor on its own main form, without a control or a DVR.
struct OfflineEditor {
  platform::Logger logger;
  platform::HeadlessDialogs dialogs{logger};
  platform::Form form;
  channels::TitleTransfer transfer;
  setup::TitleEditor editor{form, dialogs, logger, transfer};

  OfflineEditor() {
    auto rows = shell::main_form_description();
    form.build(rows.data(), rows.size());
    editor.prepare();
  }
};

int preview(const TitleOptions& o) {
  if (!o.has_text || o.png.empty()) return usage_error(kCmd, "preview needs --text T --png FILE");
  OfflineEditor offline;
  platform::HeadlessDialogs& dialogs = offline.dialogs;
  platform::Form& form = offline.form;
  setup::TitleEditor& editor = offline.editor;
  editor.set_channel_count(channels::kTitleChannels);
  if (auto e = apply_style(editor, form, o); !e.empty()) return usage_error(kCmd, e);
  if (auto e = type_title(dialogs, form, editor, 1, o.text); !e.empty()) {
    return usage_error(kCmd, e);
  }
  editor.render_tick();
  std::string error;
  if (!platform::write_png(form["Image_Title1"].picture(), o.png, error)) {
    std::fprintf(stderr, "tessomar-cli titles: %s\n", error.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

// A title file read on its own: its titles printed, or why it was refused.
int show_file(const std::string& path) {
  OfflineEditor offline;
  platform::HeadlessDialogs& dialogs = offline.dialogs;
  setup::TitleEditor& editor = offline.editor;
  if (!editor.load_file(path)) {
    std::fprintf(stderr, "tessomar-cli titles: %s\n",
                 dialogs.messages().empty() ? (path + ": cannot be read").c_str()
                                            : dialogs.messages().back().text.c_str());
    return kExitUsage;
  }
  print_titles(editor);
  return kExitOk;
}

}  // namespace

int cmd_titles(const Args& in) {
  Args args = in;
  DvrOptions dvr;
  std::string error;
  if (!take_dvr_options(args, dvr, error)) return usage_error(kCmd, error);
  TitleOptions o;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    if (a == "--channel" && has_value) {
      auto n = setup::parse_integer(args[++i]);
      if (!n || *n < 1 || *n > channels::kTitleChannels) {
        return usage_error(kCmd, "bad --channel \"" + args[i] + "\" (1-16)");
      }
      o.channel = int(*n);
    } else if (a == "--text" && has_value) {
      o.text = args[++i];
      o.has_text = true;
    } else if (a == "--font" && has_value) {
      o.font = args[++i];
    } else if (a == "--size" && has_value) {
      o.size = args[++i];
    } else if (a == "--language" && has_value) {
      o.language = args[++i];
    } else if (a == "--png" && has_value) {
      o.png = args[++i];
    } else if (a.rfind("--", 0) == 0) {
      return option_error(kCmd, "unknown option " + a);
    } else {
      words.push_back(a);
    }
  }
  if (words.empty()) return usage_error(kCmd, "give get, set, load FILE, save FILE or preview");
  const std::string action = words[0];
  const bool file_action = action == "load" || action == "save";
  if (words.size() != (file_action ? 2u : 1u)) {
    return usage_error(kCmd,
                       file_action ? action + " takes one FILE" : "unexpected " + words.back());
  }
  if (action == "preview") return preview(o);
  const bool have_dvr = dvr.params.size() >= 3;
  if (action == "load" && !have_dvr) return show_file(words[1]);
  if (action != "get" && action != "set" && !file_action) {
    return usage_error(kCmd, "unknown action \"" + action + "\"");
  }
  if (!have_dvr) return usage_error(kCmd, action + " needs the DVR: --dvr HOST:PORT --uk KEY");
  if (action == "set" && (o.channel == 0 || !o.has_text)) {
    return usage_error(kCmd, "set needs --channel N and --text T");
  }

  HeadlessHost host;
  if (!host.start(dvr.params)) return kExitUsage;
  if (!open_title_tab(host, dvr.timeout_s)) return kExitFailed;
  shell::Control& control = host.control();
  setup::TitleEditor& editor = control.titles();

  if (action == "get") {
    print_titles(editor);
    return kExitOk;
  }
  if (action == "save") {
    editor.render_tick();  // the fetched texts drawn into the set's bitmaps
    if (!editor.save_file(words[1])) {
      std::fprintf(stderr, "tessomar-cli titles: cannot write %s\n", words[1].c_str());
      return kExitFailed;
    }
    return kExitOk;
  }
  if (action == "load") {
    host.dialogs().clear_messages();
    if (!editor.load_file(words[1])) {
      const auto& m = host.dialogs().messages();
      std::fprintf(stderr, "tessomar-cli titles: %s\n",
                   m.empty() ? (words[1] + ": cannot be read").c_str() : m.back().text.c_str());
      return kExitUsage;
    }
  } else {
    if (auto e = apply_style(editor, control.form(), o); !e.empty()) return usage_error(kCmd, e);
    if (uint32_t(o.channel) > editor.channel_count()) {
      return usage_error(kCmd, "the DVR has " + std::to_string(editor.channel_count()) +
                                   " channels, not " + std::to_string(o.channel));
    }
    if (auto e = type_title(host.dialogs(), control.form(), editor, o.channel, o.text);
        !e.empty()) {
      return usage_error(kCmd, e);
    }
  }
  return upload(host, dvr.timeout_s) ? kExitOk : kExitFailed;
}

}  // namespace tessomar::cli
