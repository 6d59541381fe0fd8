#include "keyform/variables.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tessomar::keyform {
namespace {

TEST(KeyFormVariables, SharedRowsNameOneVariable) {
  KeyFormVariables v;
  lookup_binding(v, "MOD#SDZ").set(7);
  EXPECT_EQ(lookup_binding(v, "MOD#SD").get(), 7);
  lookup_binding(v, "Dm_SPre#AD").set(99, 5);
  EXPECT_EQ(lookup_binding(v, "Dm_SPre#ADN").get(99), 5);
  lookup_binding(v, "SD_Mouse#SD").set(1, 300);
  EXPECT_EQ(v.sd_mouse[1], 300);
  lookup_binding(v, "Key_Code#SD").set(3);
  EXPECT_EQ(v.io_scalars[17], 3);
}

TEST(KeyFormVariables, UnknownNamesShareTheSpare) {
  KeyFormVariables v;
  lookup_binding(v, "IE_ch#SD").set(4);  // names compare exactly
  EXPECT_EQ(v.ie_ch, 0);
  EXPECT_EQ(lookup_binding(v, "16#CD").get(), 4);
  EXPECT_EQ(lookup_binding(v, "").get(), 4);
}

TEST(KeyFormVariables, AccessOutsideAVariableIsInert) {
  KeyFormVariables v;
  Binding keys = lookup_binding(v, "IE_CH2#ADN");
  ASSERT_EQ(keys.size(), 8);
  keys.set(8, 1);
  keys.set(-1, 1);
  EXPECT_EQ(keys.get(8), 0);
  EXPECT_EQ(keys.get(-1), 0);
  EXPECT_EQ(v.ie_m_ch, 0);  // the field after the arrays is untouched
  EXPECT_EQ(v.ie_ch, 0);
}

TEST(KeyFormVariables, EveryRowIsVisitedOnceInOrder) {
  KeyFormVariables v;
  std::set<std::string> names;
  std::string first;
  for_each_binding(v, [&](std::string_view name, Binding b) {
    if (first.empty()) first = std::string(name);
    EXPECT_TRUE(names.insert(std::string(name)).second) << name;
    EXPECT_EQ(lookup_binding(v, name), b) << name;
  });
  EXPECT_EQ(first, "IE_Page#ADN");
  EXPECT_EQ(names.size(), 105u);
}

struct SuffixCase {
  const char* name;
  const char* letters;
  int32_t constant;
};

TEST(KeyFormVariables, SuffixLettersAndConstants) {
  const SuffixCase cases[] = {
      {"IE_CH#ADN", "ADN", 0}, {"Key_Split#SD", "SD0", 0}, {"MOD#SDZ", "SDZ", 0},
      {"16#CD", "CD0", 16},    {"98#CD", "CD0", 98},       {"1#CD", "CD0", 1},
      {"IE_CH", "000", 0},     {"#A", "000", 0},           {"123456#CD", "CD0", 123456},
  };
  for (const auto& c : cases) {
    BindingSuffix s = binding_suffix(c.name);
    EXPECT_EQ(std::string(s.letters.begin(), s.letters.end()), c.letters) << c.name;
    if (c.constant != 0) {
      EXPECT_EQ(binding_constant(c.name), c.constant) << c.name;
    }
  }
}

}  // namespace
}  // namespace tessomar::keyform
