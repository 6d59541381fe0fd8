// Quick view switches as a user clicks through the keys: the last view shows a picture soon
// after its command, whatever was still on its way for the views before it.
#include <cstdlib>

#include "e2e/e2e_support.h"

namespace tessomar::e2e {
namespace {

struct SwitchCase {
  const char* name;
  std::string views;
  std::string switch_ms;
};

// The value of a "name=value" line of the CLI's output, or -2 when it is missing.
long long value_of(const std::string& out, const std::string& name) {
  size_t at = out.find("\n" + name + "=");
  if (at == std::string::npos) return -2;
  return std::atoll(out.c_str() + at + name.size() + 2);
}

TEST(ViewSwitch, LastViewShowsAPictureWithinHalfASecond) {
  const SwitchCase cases[] = {
      {"automatic split, then one channel", "0", "0"},
      {"split then single at once", "22,3", "0"},
      {"two singles in quick succession", "0,5", "30"},
      {"single, split, single", "3,16,7", "100"},
      {"the same view twice", "4,4", "0"},
      {"through every kind of page", "1,17,20,22,9", "50"},
  };
  Dvr dvr;
  ASSERT_TRUE(dvr.start());
  for (const SwitchCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out, err;
    ASSERT_EQ(run_cli({"live", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--view", c.views,
                       "--switch-ms", c.switch_ms, "--seconds", "1", "--stats"},
                      &out, &err),
              0)
        << out << err;
    const long long first = value_of("\n" + out, "first_picture_ms");
    EXPECT_GE(first, 0) << out;
    EXPECT_LE(first, 500) << out;
  }
}

TEST(ViewSwitch, OneSecondRunsAlwaysShowAPicture) {
  Dvr dvr;
  ASSERT_TRUE(dvr.start());
  for (int run = 0; run < 6; ++run) {
    SCOPED_TRACE(run);
    std::string out, err;
    EXPECT_EQ(run_cli({"live", "--dvr", dvr.address, "--uk", dvr.dvr_uk, "--view",
                       std::to_string(run), "--seconds", "1", "--stats"},
                      &out, &err),
              0)
        << out << err;
    EXPECT_GT(value_of("\n" + out, "presented"), 0) << out;
  }
}

}  // namespace
}  // namespace tessomar::e2e
