// Skin files: layout, resolution into element slots, the registry, refusals and the composite
// conversion.
#include "keyform/skin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "keyform/skin_engine.h"
#include "keyform/skin_fixture.h"

namespace tessomar::keyform {
namespace {

using testsupport::base_skin;
using testsupport::EngineHarness;
using testsupport::SkinFixture;

TEST(SkinFile, RegistersTheKeyFormAndResolvesItsElements) {
  EngineHarness h;
  SkinFixture skin = base_skin();
  skin.image({.name = "key",
              .cell_width = 8,
              .cell_height = 6,
              .strip_x = 16,
              .strip_y = 80,
              .strip_columns = 4,
              .strip_rows = 2,
              .step = 2,
              .kind = 8010,
              .parameter = 7,
              .level = 1});
  skin.element({.name = "mid", .image = "key", .parent = "root", .offset_x = 10, .offset_y = -4});
  skin.element({.name = "leaf",
                .image = "key",
                .parent = "mid",
                .offset_x = 3,
                .offset_y = 2,
                .repeat = 5,
                .arrangement = 0,
                .radius = 9,
                .gap_x = 2,
                .gap_y = 1,
                .grid_columns = 4,
                .grid_extra = 1,
                .start_value = 6,
                .source = "IE_CH#ADN",
                .target = "IE_CH#SD"});
  ASSERT_TRUE(h.load(skin));
  EXPECT_EQ(h.engine.slots_in_use(), 3);
  ASSERT_EQ(h.engine.registered_skins(), 1);
  const SkinEntry& e = h.engine.registry_entry(0);
  EXPECT_EQ(e.key_a, 0);
  EXPECT_EQ(e.key_b, 3);
  EXPECT_EQ(e.file_name, kKeyFormFileName);
  EXPECT_EQ(e.first_slot, 0);
  EXPECT_EQ(e.slot_count, 3);
  EXPECT_EQ(e.position_count, 5);

  const ElementSlot& root = h.engine.slot(0);
  EXPECT_EQ(root.parent, -1);
  EXPECT_EQ(root.centre_x, 32);
  EXPECT_EQ(root.centre_y, 24);
  EXPECT_EQ(root.parent_repeat, 1);
  const ElementSlot& mid = h.engine.slot(1);
  EXPECT_EQ(mid.parent, 0);
  EXPECT_EQ(mid.centre_x, 42);
  EXPECT_EQ(mid.centre_y, 20);
  const ElementSlot& leaf = h.engine.slot(2);
  EXPECT_EQ(leaf.image_index, 1);
  EXPECT_EQ(leaf.parent, 1);
  EXPECT_EQ(leaf.base_x, 42);
  EXPECT_EQ(leaf.base_y, 20);
  EXPECT_EQ(leaf.parent_offset_x, 10);
  EXPECT_EQ(leaf.parent_offset_y, -4);
  EXPECT_EQ(leaf.centre_x, 45);
  EXPECT_EQ(leaf.centre_y, 22);
  EXPECT_EQ(leaf.cell_width, 8);
  EXPECT_EQ(leaf.cell_height, 6);
  EXPECT_EQ(leaf.strip_x, 16);
  EXPECT_EQ(leaf.strip_y, 80);
  EXPECT_EQ(leaf.strip_columns, 4);
  EXPECT_EQ(leaf.strip_rows, 2);
  EXPECT_EQ(leaf.step, 2);
  EXPECT_EQ(leaf.kind, 8010);
  EXPECT_EQ(leaf.parameter, 7);
  EXPECT_EQ(leaf.level, 1);
  EXPECT_EQ(leaf.repeat, 5);
  EXPECT_EQ(leaf.radius, 9);
  EXPECT_EQ(leaf.gap_x, 2);
  EXPECT_EQ(leaf.gap_y, 1);
  EXPECT_EQ(leaf.grid_columns, 4);
  EXPECT_EQ(leaf.grid_extra, 1);
  EXPECT_EQ(leaf.start_value, 6);
  EXPECT_EQ(leaf.visible, 1);
  EXPECT_EQ(leaf.parent_repeat, 1);
  EXPECT_EQ(leaf.source, lookup_binding(h.ctx.vars, "IE_CH#ADN"));
  EXPECT_EQ(leaf.target, lookup_binding(h.ctx.vars, "IE_CH#SD"));
  EXPECT_EQ(leaf.source_letters, (std::array<char, 3>{'A', 'D', 'N'}));
  EXPECT_EQ(leaf.target_letters, (std::array<char, 3>{'S', 'D', '0'}));
}

// Which elements a table resolves: the slot count of the registry entry and, per element
// record, whether its slot was filled.
struct ResolveCase {
  const char* what;
  std::vector<testsupport::FixtureImage> images;
  std::vector<testsupport::FixtureElement> elements;
  int32_t slot_count;
  std::vector<bool> filled;
};

class SkinResolve : public testing::TestWithParam<ResolveCase> {};

TEST_P(SkinResolve, FillsExactlyTheMatchedElements) {
  const ResolveCase& c = GetParam();
  SkinFixture skin;
  for (const auto& i : c.images) skin.image(i);
  for (const auto& e : c.elements) skin.element(e);
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  EXPECT_EQ(h.engine.registry_entry(0).slot_count, c.slot_count);
  EXPECT_EQ(h.engine.slots_in_use(), c.slot_count);
  for (size_t j = 0; j < c.filled.size(); ++j) {
    // A filled slot is visible; an untouched one keeps its zeroed state.
    EXPECT_EQ(h.engine.slot(static_cast<int32_t>(j)).visible == 1, c.filled[j]) << "record " << j;
  }
}

const testsupport::FixtureImage kBg{.name = "bg", .cell_width = 64, .cell_height = 48};
const testsupport::FixtureImage kKey{.name = "key", .cell_width = 8, .cell_height = 8};

INSTANTIATE_TEST_SUITE_P(
    Rules, SkinResolve,
    testing::Values(
        ResolveCase{"root and child",
                    {kBg, kKey},
                    {{.name = "root", .image = "bg", .parent = "#Vout"},
                     {.name = "k", .image = "key", .parent = "root"}},
                    2,
                    {true, true}},
        // The root's scan ends after the first index entry: only the first image serves it.
        ResolveCase{"root on the second image",
                    {kBg, kKey},
                    {{.name = "root", .image = "key", .parent = "#Vout"},
                     {.name = "k", .image = "key", .parent = "root"}},
                    1,
                    {false, true}},
        ResolveCase{"two images of one name",
                    {kBg, kKey, kKey},
                    {{.name = "root", .image = "bg", .parent = "#Vout"},
                     {.name = "k", .image = "key", .parent = "root"}},
                    1,
                    {true, false}},
        ResolveCase{"two parents of one name",
                    {kBg, kKey},
                    {{.name = "root", .image = "bg", .parent = "#Vout"},
                     {.name = "p", .image = "key", .parent = "root"},
                     {.name = "p", .image = "key", .parent = "root"},
                     {.name = "k", .image = "key", .parent = "p"}},
                    3,
                    {true, true, true, false}},
        ResolveCase{"sixteen-character names",
                    {kBg, {.name = "ABCDEFGHIJKLMNOP", .cell_width = 8, .cell_height = 8}},
                    {{.name = "root", .image = "bg", .parent = "#Vout"},
                     {.name = "PARENT0123456789", .image = "ABCDEFGHIJKLMNOP", .parent = "root"},
                     {.name = "k", .image = "ABCDEFGHIJKLMNOP", .parent = "PARENT0123456789"}},
                    3,
                    {true, true, true}},
        // Slots follow record positions while the count covers only resolved ones: every
        // unresolved element costs the range its last slot.
        ResolveCase{"unmatched image in the middle",
                    {kBg, kKey},
                    {{.name = "root", .image = "bg", .parent = "#Vout"},
                     {.name = "a", .image = "nope", .parent = "root"},
                     {.name = "b", .image = "key", .parent = "root"}},
                    2,
                    {true, false, true}},
        ResolveCase{"unmatched parent",
                    {kBg, kKey},
                    {{.name = "root", .image = "bg", .parent = "#Vout"},
                     {.name = "a", .image = "key", .parent = "nobody"}},
                    1,
                    {true, false}},
        ResolveCase{"empty image name",
                    {kBg, {.name = "", .cell_width = 8}},
                    {{.name = "root", .image = "bg", .parent = "#Vout"},
                     {.name = "a", .image = "", .parent = "root"}},
                    1,
                    {true, false}}),
    [](const testing::TestParamInfo<ResolveCase>& param_info) {
      std::string n = param_info.param.what;
      for (char& ch : n) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

TEST(SkinFile, SlotsEndAtTheTableLimit) {
  // 97 + 97 elements: the second skin gets only the 47 slots left.
  auto big = [](const char* image) {
    SkinFixture skin;
    skin.image({.name = image, .cell_width = 64, .cell_height = 48});
    skin.element({.name = "root", .image = image, .parent = "#Vout"});
    for (int j = 1; j < 97; ++j) {
      skin.element({.name = "e" + std::to_string(j), .image = image, .parent = "root"});
    }
    return skin;
  };
  EngineHarness h;
  big("a").write(h.folder.path(), "A.YUV2");
  big("b").write(h.folder.path(), "B.YUV2");
  ASSERT_TRUE(h.engine.register_skin("A.YUV2", 0, 3, 0));
  ASSERT_TRUE(h.engine.register_skin("B.YUV2", 1, 1, 0));
  EXPECT_EQ(h.engine.registry_entry(1).first_slot, 97);
  EXPECT_EQ(h.engine.registry_entry(1).slot_count, 47);
  EXPECT_EQ(h.engine.slots_in_use(), kElementSlotCount);
  EXPECT_EQ(h.engine.slot(143).skin_first, 97);
}

TEST(SkinFile, ASecondRegistrationOfOneKeyPairKeepsTheFirst) {
  EngineHarness h;
  base_skin().write(h.folder.path(), "First.YUV2");
  base_skin().write(h.folder.path(), "Second.YUV2");
  ASSERT_TRUE(h.engine.register_skin("First.YUV2", 0, 3, 0));
  EXPECT_FALSE(h.engine.register_skin("Second.YUV2", 0, 3, 7));
  EXPECT_EQ(h.engine.registered_skins(), 1);
  EXPECT_EQ(h.engine.registry_entry(0).file_name, "First.YUV2");
  EXPECT_EQ(h.engine.slots_in_use(), 1);
  EXPECT_TRUE(h.log.has(platform::LogLevel::Warning, "key pair"));
  // Another key pair takes the next entry.
  EXPECT_TRUE(h.engine.register_skin("Second.YUV2", 1, 3, 7));
  EXPECT_EQ(h.engine.registry_entry(1).first_slot, 1);
  EXPECT_EQ(h.engine.registry_entry(1).kind, 7);
}

TEST(SkinFile, BindingSuffixesDecideWhatIsLookedUp) {
  SkinFixture skin = base_skin();
  skin.image({.name = "key", .cell_width = 8, .cell_height = 8});
  const std::pair<const char*, const char*> bindings[] = {
      {"98#CD", "Cent_X#SDX"},  // a constant is never looked up; a three-letter target is
      {"plain", "IE_CH"},       // no suffix: nothing looked up
      {"Nope#SD", "Nope#AD"},   // outside the table: the spare variable
      {"MOD#SDZ", "x#S"},       // one letter after '#' is no suffix
  };
  for (size_t i = 0; i < std::size(bindings); ++i) {
    skin.element({.name = "k" + std::to_string(i),
                  .image = "key",
                  .parent = "root",
                  .source = bindings[i].first,
                  .target = bindings[i].second});
  }
  EngineHarness h;
  ASSERT_TRUE(h.load(skin));
  KeyFormVariables& v = h.ctx.vars;
  const ElementSlot& constant = h.engine.slot(1);
  EXPECT_EQ(constant.source_letters, (std::array<char, 3>{'C', 'D', '0'}));
  EXPECT_FALSE(constant.source.exists());
  EXPECT_EQ(constant.target_letters, (std::array<char, 3>{'S', 'D', 'X'}));
  EXPECT_EQ(constant.target, Binding(&v.cent_x, 1));
  EXPECT_EQ(binding_constant(name_view(constant.source_name)), 98);

  const ElementSlot& plain = h.engine.slot(2);
  EXPECT_EQ(plain.source_letters, (std::array<char, 3>{'0', '0', '0'}));
  EXPECT_FALSE(plain.source.exists());
  EXPECT_FALSE(plain.target.exists());

  const ElementSlot& spare = h.engine.slot(3);
  EXPECT_EQ(spare.source, Binding(&v.spare, 1));
  EXPECT_EQ(spare.target, Binding(&v.spare, 1));

  const ElementSlot& shared = h.engine.slot(4);
  EXPECT_EQ(shared.source, Binding(&v.mod, 1));
  EXPECT_EQ(shared.source_letters, (std::array<char, 3>{'S', 'D', 'Z'}));
  EXPECT_FALSE(shared.target.exists());
}

TEST(SkinFile, ConstantsReadTheDigitsBeforeTheSuffix) {
  EXPECT_EQ(binding_constant("98#CD"), 98);
  EXPECT_EQ(binding_constant("255#CD"), 255);
  EXPECT_EQ(binding_constant("0#CS"), 0);
  EXPECT_EQ(binding_constant("1234567#CA"), 1234567);
}

// Files the loader must refuse, each with a logged reason and an empty key form.
struct RefusedFile {
  const char* what;
  std::vector<uint8_t> bytes;
  const char* reason;
};

std::vector<RefusedFile> refused_files() {
  std::vector<RefusedFile> out;
  out.push_back({"too large", std::vector<uint8_t>(kSkinFileBufferSize + 1, 0), "skin buffer"});
  out.push_back({"no header", {1, 2, 3}, "header"});
  std::vector<uint8_t> narrow = SkinFixture(256, 128).bytes();
  out.push_back({"rows narrower than the table", narrow, "cannot hold the table"});
  std::vector<uint8_t> short_file = base_skin().bytes();
  short_file.resize(16 + 21 * 1024 + 1000);
  out.push_back({"table past the end", short_file, "past the end"});
  out.push_back({"65 images", SkinFixture(base_skin()).counts(65, 1).bytes(), "counts"});
  out.push_back({"98 elements", SkinFixture(base_skin()).counts(1, 98).bytes(), "counts"});
  out.push_back({"161 names", SkinFixture(base_skin()).counts(64, 97).bytes(), "counts"});
  out.push_back({"negative count", SkinFixture(base_skin()).counts(-1, 1).bytes(), "counts"});
  return out;
}

TEST(SkinFile, RefusesFilesWhoseTableDoesNotFit) {
  for (const RefusedFile& f : refused_files()) {
    SCOPED_TRACE(f.what);
    EngineHarness h;
    {
      std::ofstream out(h.folder.path() / "Bad.YUV2", std::ios::binary);
      out.write(reinterpret_cast<const char*>(f.bytes.data()),
                static_cast<std::streamsize>(f.bytes.size()));
    }
    EXPECT_FALSE(h.engine.register_skin("Bad.YUV2", 0, 3, 0));
    EXPECT_TRUE(h.log.has(platform::LogLevel::Warning, f.reason));
    EXPECT_EQ(h.engine.slots_in_use(), 0);
    EXPECT_EQ(h.engine.registered_skins(), 0);
    h.redraw();
    EXPECT_TRUE(h.image1.picture().empty());
    h.engine.Image1MouseDown(5, 5);
    h.engine.Image1MouseUp(5, 5);
  }
}

TEST(SkinFile, ARefusedFileLeavesNoPicture) {
  SkinFile file;
  std::string reason;
  ASSERT_TRUE(file.assign(base_skin().bytes(), reason));
  EXPECT_TRUE(file.holds(10, 30));
  EXPECT_EQ(file.element_count(), 1);
  const std::vector<uint8_t> too_short(8, 0);
  EXPECT_FALSE(file.assign(too_short, reason));
  EXPECT_FALSE(file.loaded());
  EXPECT_EQ(file.width(), 0);
  EXPECT_EQ(file.rows(), 0);
  EXPECT_FALSE(file.holds(10, 30));
  EXPECT_EQ(file.element_count(), 0);
}

TEST(SkinEngineReset, TheNextSkinDrawsAsOnANewEngine) {
  SkinFixture small;
  small.image({.name = "bg", .cell_width = 32, .cell_height = 16, .strip_x = 0, .strip_y = 24});
  small.element({.name = "root", .image = "bg", .parent = "#Vout"});
  small.fill(0, 24, 16, 16, 0x2222);

  EngineHarness fresh;
  ASSERT_TRUE(fresh.load(small));
  fresh.redraw();

  // Drawn and pressed with a larger skin first, then reset.
  EngineHarness used;
  SkinFixture big = base_skin();
  big.image({.name = "key", .cell_width = 8, .cell_height = 8, .strip_x = 16, .strip_y = 80});
  big.element(
      {.name = "key", .image = "key", .parent = "root", .source = "1#CD", .target = "MOD#SD"});
  ASSERT_TRUE(used.load(big));
  used.redraw();
  used.engine.Image1MouseDown(32, 24);
  used.engine.reset();
  EXPECT_EQ(used.engine.registered_skins(), 0);
  EXPECT_EQ(used.engine.slots_in_use(), 0);
  EXPECT_EQ(used.engine.composite_width(), 0);
  EXPECT_EQ(used.engine.composite_height(), 0);
  EXPECT_EQ(used.engine.repeat_state(), RepeatState::Idle);

  used.ctx = KeyFormContext{};
  ASSERT_TRUE(used.load(small));
  used.redraw();
  EXPECT_EQ(used.engine.slots_in_use(), fresh.engine.slots_in_use());
  EXPECT_EQ(used.engine.registry_entry(0).first_slot, 0);
  ASSERT_EQ(used.engine.composite_width(), 32);
  ASSERT_EQ(used.engine.composite_height(), 16);
  const auto a = used.engine.composite();
  const auto b = fresh.engine.composite();
  EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin(), b.end()));
  EXPECT_EQ(used.at(3, 3), 0x2222);
  EXPECT_EQ(used.at(20, 3), kTransparentPixel);
}

TEST(SkinFile, AMissingFileRegistersNothing) {
  EngineHarness h;
  EXPECT_FALSE(h.engine.register_skin("Missing.YUV2", 0, 3, 0));
  EXPECT_TRUE(h.log.has(platform::LogLevel::Warning, "cannot open"));
  EXPECT_EQ(h.engine.registered_skins(), 0);
}

TEST(SkinFile, EveryRedrawReadsTheFileAgain) {
  EngineHarness h;
  ASSERT_TRUE(h.load(base_skin()));
  h.redraw();
  EXPECT_EQ(h.at(5, 5), testsupport::kBackground);
  SkinFixture changed = base_skin();
  changed.fill(0, 24, 64, 48, 0x2222);
  changed.write(h.folder.path(), std::string(kKeyFormFileName));
  h.redraw();
  EXPECT_EQ(h.at(5, 5), 0x2222);

  // A file that went away ends the redraw and leaves the picture as it was.
  std::filesystem::remove(h.folder.path() / std::string(kKeyFormFileName));
  const uint32_t before = h.image1.picture().pixel(5, 5);
  h.redraw();
  EXPECT_EQ(h.image1.picture().pixel(5, 5), before);
  EXPECT_TRUE(h.log.has(platform::LogLevel::Warning, "not redrawn"));
}

TEST(SkinFile, RedrawShowsTheCompositeInImage1) {
  EngineHarness h;
  ASSERT_TRUE(h.load(base_skin()));
  int pictures = 0;
  h.form.add_observer([&](platform::Component& c, platform::Property p) {
    if (c.name() == "Image1" && p == platform::Property::Picture) ++pictures;
  });
  h.redraw();
  EXPECT_EQ(pictures, 1);
  EXPECT_EQ(h.image1.picture().width(), 64);
  EXPECT_EQ(h.image1.picture().height(), 48);
  EXPECT_EQ(h.image1.geometry().width, 64);
  EXPECT_EQ(h.image1.geometry().height, 48);
  EXPECT_EQ(h.engine.key_form_row_width(), 64);
  std::vector<uint16_t> expect(64 * 48, testsupport::kBackground);
  platform::Bitmap direct;
  show_composite(48, 64, expect, direct);
  EXPECT_EQ(h.image1.picture().pixel(63, 47), direct.pixel(63, 47));
}

// One pair of composite pixels and the two bitmap pixels it gives.
struct PairCase {
  const char* what;
  uint16_t first;
  uint16_t second;
  uint32_t even;
  uint32_t odd;
};

TEST(ShowComposite, WhitensPairsByTheirLevel) {
  const PairCase cases[] = {
      // Y 100 with neutral chroma is grey 100.
      {"neutral", 0x8064, 0x8064, 0x646464, 0x646464},
      // U ending in bits 11: 75 % toward white. R' 100, G' 99, B' 106.
      {"level 3", 0x8364, 0x8064, 0xD8D8D9, 0xD8D8D9},
      // U ending in bits 01: 25 %. R' 100 -> 138, G' 100 -> 138, B' 102 -> 140.
      {"level 1", 0x8164, 0x8064, 0x8A8A8C, 0x8A8A8C},
      // A transparent first pixel whitens the whole pair, whatever the second holds.
      {"transparent first", 0xFFFF, 0x2000, 0xFFFFFF, 0xFFFFFF},
      // A transparent second pixel becomes Y 128 with neutral V; the pair keeps its level.
      {"transparent second", 0x8064, 0xFFFF, 0x646464, 0x808080},
      // Channels clamp after the conversion: Y 255 with V 255 overflows red (R' 399).
      {"clamped", 0x80FF, 0xFFFE, 0xFFB6FF, 0xFFB5FE},
  };
  for (const PairCase& c : cases) {
    SCOPED_TRACE(c.what);
    const uint16_t composite[] = {c.first, c.second};
    platform::Bitmap out;
    show_composite(1, 2, composite, out);
    ASSERT_EQ(out.width(), 2);
    ASSERT_EQ(out.height(), 1);
    EXPECT_EQ(out.pixel(0, 0), c.even);
    EXPECT_EQ(out.pixel(1, 0), c.odd);
  }
}

TEST(ShowComposite, PairsRunAcrossRowsOfOddWidth) {
  // Width 3: the pair word of (0, 1) is word 1, holding pixels 2 and 3.
  const uint16_t composite[] = {0x8010, 0x8010, 0x8020, 0x8030, 0x8040, 0x8050};
  platform::Bitmap out;
  show_composite(2, 3, composite, out);
  // (0, 1): even x, word (3 >> 1) = 1, so Y is the first pixel of that pair: 0x20.
  EXPECT_EQ(out.pixel(0, 1) & 0xFF0000, 0x200000u);
  // (1, 1): odd x, word 2, Y of its second pixel: 0x50.
  EXPECT_EQ(out.pixel(1, 1) & 0xFF0000, 0x500000u);
}

}  // namespace
}  // namespace tessomar::keyform
