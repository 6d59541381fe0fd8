// Loads arbitrary bytes as a title file, as Load File does, into the Title tab, then shows and
// renders what was loaded. A refused file must leave the set as it was; a loaded one must save
// back to the same record and blocks; the texts, font name and language of the record are
// outside input for the rendering (the first channel's, the one the preview shows).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "platform/dialogs.h"
#include "platform/form.h"
#include "platform/log.h"
#include "setup/title_editor.h"
#include "shell/form_description.h"

using namespace tessomar;

namespace {

// The set's record and blocks one after another, into `out` (its room kept between inputs).
void copy_all(const channels::TitleSet& set, std::vector<uint8_t>& out) {
  out.assign(set.record.begin(), set.record.end());
  for (int k = 0; k < channels::kSizeClasses; ++k) {
    auto b = set.block(k);
    out.insert(out.end(), b.begin(), b.end());
  }
}

bool same_sets(const channels::TitleSet& a, const channels::TitleSet& b) {
  if (a.record != b.record) return false;
  for (int k = 0; k < channels::kSizeClasses; ++k) {
    auto x = a.block(k);
    auto y = b.block(k);
    if (std::memcmp(x.data(), y.data(), x.size()) != 0) return false;
  }
  return true;
}

bool same_as(const channels::TitleSet& set, const std::vector<uint8_t>& bytes) {
  size_t at = set.record.size();
  if (bytes.size() < at || std::memcmp(bytes.data(), set.record.data(), at) != 0) return false;
  for (int k = 0; k < channels::kSizeClasses; ++k) {
    auto b = set.block(k);
    if (bytes.size() < at + b.size() || std::memcmp(bytes.data() + at, b.data(), b.size()) != 0)
      return false;
    at += b.size();
  }
  return at == bytes.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static platform::Logger logger;
  static platform::HeadlessDialogs dialogs(logger);
  static platform::Form form;
  static channels::TitleTransfer transfer;
  static setup::TitleEditor* editor = [] {
    auto rows = shell::main_form_description();
    form.build(rows.data(), rows.size());
    auto* e = new setup::TitleEditor(form, dialogs, logger, transfer);
    e->prepare();
    e->set_channel_count(channels::kTitleChannels);
    return e;
  }();
  dialogs.clear_messages();

  // Buffers for the run, not per input: each input otherwise allocated and copied the
  // 115 KB set several times over.
  static std::vector<uint8_t> before;
  static channels::TitleSet again;
  copy_all(transfer.set, before);
  const setup::TitleFileLoad r = setup::load_title_file(std::span(data, size), transfer.set);
  if (r.refused) {
    if (!same_as(transfer.set, before) || r.reason.empty()) abort();
    return 0;
  }
  if (r.chunks < 0 || r.chunks > 5) abort();

  // What was loaded saves back unchanged.
  const std::vector<uint8_t> saved = setup::save_title_file(transfer.set);
  // All five chunks load, so nothing of the last input's `again` is left.
  const setup::TitleFileLoad r2 = setup::load_title_file(saved, again);
  if (r2.refused || r2.chunks != 5 || !same_sets(again, transfer.set)) abort();

  // Shown and rendered as after Load File; only the first channel (the previewed one): the
  // others run the same code on another text, at the cost of a whole glyph run each.
  editor->refill();
  for (int ch = 1; ch < channels::kTitleChannels; ++ch) transfer.dirty[size_t(ch)] = 0;
  editor->render_tick();
  return 0;
}
