// Loads arbitrary bytes as a key-form skin, registers it, redraws it and drives the pointer
// over it. Byte 0 picks the form of the input:
// - even: the rest is the whole skin file as it would lie on disk;
// - odd: a compact skin: image count and element count (2 bytes each, little-endian), then
//   the interpreted 36 bytes of each image record and 100 bytes of each element record
//   (repeats above 48 taken as 48), a 512 x 64 picture filled from a pattern, and the
//   remaining bytes as a pointer script.
// Script steps are 5 bytes: operation, x, y (signed 16-bit each, little-endian).
// Nothing may read or write outside the engine's buffers; the composite must match the
// background slot's size after every redraw.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "keyform/skin_engine.h"
#include "platform/form.h"
#include "platform/log.h"

using namespace tessomar;
using namespace tessomar::keyform;

namespace {

constexpr int kPictureWidth = 512;
constexpr int kPictureRows = 64;
constexpr size_t kImageBytes = 36;
constexpr size_t kElementBytes = 100;
constexpr size_t kStepBytes = 5;
constexpr size_t kMaxSteps = 64;
constexpr uint16_t kMaxRepeat = 48;
// Redraws a script may ask for; more only repeat the same composing (the costly part).
constexpr int kMaxScriptRedraws = 4;

const std::string& skin_folder() {
  static const std::string folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "skin-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) __builtin_trap();
    return pattern;
  }();
  return folder;
}

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

int16_t take16(std::span<const uint8_t>& in) {
  uint16_t v = 0;
  if (in.size() >= 2) {
    v = static_cast<uint16_t>(in[0] | in[1] << 8);
    in = in.subspan(2);
  } else {
    in = {};
  }
  return static_cast<int16_t>(v);
}

// The compact form laid out as a file; `in` is left at the script.
std::vector<uint8_t> compact_skin(std::span<const uint8_t>& in) {
  const int16_t images = take16(in);
  const int16_t elements = take16(in);
  std::vector<uint8_t> table(kSkinTableSize, 0);
  put16(table, 8, static_cast<uint16_t>(images));
  put16(table, 10, static_cast<uint16_t>(elements));
  auto copy_records = [&](int count, int room, size_t offset, size_t record, size_t bytes) {
    for (int i = 0; i < std::clamp(count, 0, room) && !in.empty(); ++i) {
      const size_t n = std::min(bytes, in.size());
      std::memcpy(table.data() + offset + record * static_cast<size_t>(i), in.data(), n);
      in = in.subspan(n);
    }
  };
  copy_records(images, kImageRecordRoom, kImageRecordOffset, kImageRecordSize, kImageBytes);
  copy_records(elements, kElementRecordRoom, kElementRecordOffset, kElementRecordSize,
               kElementBytes);
  // Every position redraws every element, the background whole: repeats in the thousands made
  // single inputs take a tenth of a second. Here they stay small; whole files keep any value.
  for (int i = 0; i < kElementRecordRoom; ++i) {
    const size_t at = kElementRecordOffset + kElementRecordSize * static_cast<size_t>(i) + 52;
    const int16_t repeat = static_cast<int16_t>(table[at] | table[at + 1] << 8);
    if (repeat > kMaxRepeat) put16(table, at, kMaxRepeat);
  }

  // The picture does not depend on the input: made once, copied per input.
  static const std::vector<uint8_t> picture = [] {
    std::vector<uint8_t> p(kSkinHeaderSize + 2 * kPictureWidth * kPictureRows, 0);
    put16(p, 2, kPictureWidth / 2);
    for (int y = 0; y < kPictureRows; ++y) {
      for (int x = 0; x < kPictureWidth; ++x) {
        const unsigned v = static_cast<unsigned>(x * 37 + y * 101);
        const uint16_t px = (v % 13) == 0 ? kTransparentPixel : static_cast<uint16_t>(v * 257);
        put16(p, kSkinHeaderSize + 2 * static_cast<size_t>(y * kPictureWidth + x), px);
      }
    }
    return p;
  }();
  std::vector<uint8_t> file = picture;
  for (size_t row = 0; row < kSkinTableRows; ++row) {
    std::memcpy(file.data() + kSkinHeaderSize + row * 2 * kPictureWidth,
                table.data() + row * kSkinTableRowBytes, kSkinTableRowBytes);
  }
  return file;
}

void check_composite(const SkinEngine& engine, const platform::Component& image1) {
  const int32_t w = engine.composite_width();
  const int32_t h = engine.composite_height();
  if (w < 0 || h < 0) __builtin_trap();
  if (!image1.picture().empty() &&
      (image1.picture().width() != w || image1.picture().height() != h))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::span<const uint8_t> in(data + 1, size - 1);
  std::vector<uint8_t> file;
  std::span<const uint8_t> script;
  if ((data[0] & 1) == 0) {
    file.assign(in.begin(), in.end());
    script = in.last(std::min(in.size(), kMaxSteps * kStepBytes));
  } else {
    file = compact_skin(in);
    script = in;
  }
  const std::string name(kKeyFormFileName);
  {
    std::FILE* f = std::fopen((skin_folder() + "/" + name).c_str(), "wb");
    if (f == nullptr) __builtin_trap();
    if (!file.empty() && std::fwrite(file.data(), 1, file.size(), f) != file.size())
      __builtin_trap();
    std::fclose(f);
  }

  // One engine for the run, reset to a new one's state per input: building one allocates and
  // fills megabytes, far more than most inputs cost.
  static platform::Logger quiet;
  static KeyFormContext ctx;
  static SkinEngine engine(ctx, quiet);
  ctx = KeyFormContext{};
  engine.reset();
  engine.set_skin_folder(skin_folder());
  const bool registered = engine.register_skin(name, 0, 3, 0);
  if (registered != (engine.registered_skins() == 1)) __builtin_trap();
  if (engine.slots_in_use() > kElementSlotCount) __builtin_trap();

  platform::Form form;
  platform::Component& image1 = form.add({"Image1", platform::ComponentKind::Image, "", {}});
  engine.redraw(true, image1);
  check_composite(engine, image1);

  int redraws = 0;
  for (size_t step = 0; step + kStepBytes <= script.size() && step / kStepBytes < kMaxSteps;
       step += kStepBytes) {
    const uint8_t op = script[step];
    const int x = static_cast<int16_t>(script[step + 1] | script[step + 2] << 8);
    const int y = static_cast<int16_t>(script[step + 3] | script[step + 4] << 8);
    switch (op % 10) {
      case 0:
        engine.Image1MouseDown(x, y);
        break;
      case 1:
        engine.Image1MouseMove(x, y);
        break;
      case 2:
        engine.Image1MouseUp(x, y);
        break;
      case 3:
        engine.repeat_step();
        break;
      case 4:
        if (redraws++ >= kMaxScriptRedraws) break;
        engine.redraw((op & 0x10) != 0, image1);
        check_composite(engine, image1);
        break;
      case 5: {
        static constexpr int32_t kModes[] = {kInputIdle, kInputTimeSlider, kInputDateChooser,
                                             kInputStepHeld};
        ctx.input_mode() = kModes[static_cast<size_t>(x & 3)];
        ctx.popup = (y & 1) != 0;
        break;
      }
      case 6:
        ctx.hover = {x, y, 0, engine.slots_in_use()};
        break;
      case 7: {
        // A few of the values drawing and hit testing read.
        int32_t* targets[] = {
            &ctx.vars.mod,        &ctx.vars.ie_page2,      &ctx.vars.sd_bar,
            &ctx.vars.a_num,      &ctx.vars.ie_month_t,    &ctx.redraw_flag(),
            &ctx.input_level,     &ctx.vars.ie_m_ch,       &ctx.vars.ie_ch_keys[0],
            &ctx.vars.mon_day[0], &ctx.mode_records[1][0], &ctx.mode_records[1][1]};
        *targets[static_cast<size_t>(x & 0x7FFF) % std::size(targets)] = y;
        break;
      }
      case 8:
        engine.click(x, y, (op & 0x10) != 0 ? "Other.YUV2" : "IE_KeyForm.YUV2");
        break;
      default:
        engine.apply_click_rule(x % (kElementSlotCount + 2), y);
        break;
    }
  }
  engine.redraw(true, image1);
  check_composite(engine, image1);
  return 0;
}
