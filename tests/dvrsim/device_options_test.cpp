// The device options of the simulated DVR.
#include <gtest/gtest.h>

#include "dvrsim/options.h"

namespace tessomar::dvrsim {
namespace {

TEST(DvrsimDeviceOptions, DefaultsAndEveryFlag) {
  Options o;
  std::string error;
  ASSERT_EQ(parse_options({}, o, error), ParseStatus::kRun);
  EXPECT_EQ(o.device.channels, 16u);
  EXPECT_TRUE(o.device.pal);
  EXPECT_EQ(o.device.generation, 2u);
  EXPECT_TRUE(o.device.audio);
  EXPECT_EQ(o.device.model_variant, 0u);
  EXPECT_EQ(o.device.mail_variant, 0u);
  EXPECT_TRUE(o.device.titles);
  EXPECT_EQ(o.device.number_text, "[N] 7104");
  EXPECT_FALSE(o.device.upnp);

  ASSERT_EQ(parse_options({"--channels", "4", "--standard=ntsc", "--generation", "1", "--audio",
                           "off", "--variant", "1", "--mail-variant=1", "--titles", "off",
                           "--number-text", "[N] 6100", "--upnp", "on"},
                          o, error),
            ParseStatus::kRun)
      << error;
  EXPECT_EQ(o.device.channels, 4u);
  EXPECT_FALSE(o.device.pal);
  EXPECT_EQ(o.device.generation, 1u);
  EXPECT_FALSE(o.device.audio);
  EXPECT_EQ(o.device.model_variant, 1u);
  EXPECT_EQ(o.device.mail_variant, 1u);
  EXPECT_FALSE(o.device.titles);
  EXPECT_EQ(o.device.number_text, "[N] 6100");
  EXPECT_TRUE(o.device.upnp);

  for (const char* n : {"8", "16"}) {
    ASSERT_EQ(parse_options({"--channels", n}, o, error), ParseStatus::kRun);
    EXPECT_EQ(o.device.channels, uint32_t(std::stoi(n)));
  }
  ASSERT_EQ(parse_options({"--number-text="}, o, error), ParseStatus::kRun);
  EXPECT_EQ(o.device.number_text, "");
}

TEST(DvrsimDeviceOptions, BadValuesAreRefusedWithTheirName) {
  const std::string too_long(32, 'x');
  const std::vector<std::vector<std::string_view>> cases = {
      {"--channels", "6"},
      {"--channels", "0"},
      {"--channels", "160"},
      {"--standard", "PAL"},
      {"--standard", "secam"},
      {"--generation", "3"},
      {"--generation", "0"},
      {"--audio", "yes"},
      {"--variant", "2"},
      {"--mail-variant", "-1"},
      {"--titles", ""},
      {"--upnp", "1"},
      {"--number-text", too_long},
      {"--upnp"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(std::string(args[0]) + (args.size() > 1 ? " " + std::string(args[1]) : ""));
    Options o;
    std::string error;
    EXPECT_EQ(parse_options(args, o, error), ParseStatus::kError);
    EXPECT_NE(error.find(args[0]), std::string::npos) << error;
    EXPECT_EQ(o.device.channels, 16u);
  }
}

TEST(DvrsimDeviceOptions, UsageNamesTheDeviceOptions) {
  const std::string text = usage_text("tessomar-dvrsim");
  for (const char* flag : {"--channels", "--standard", "--generation", "--audio", "--variant",
                           "--mail-variant", "--titles", "--number-text", "--upnp"}) {
    EXPECT_NE(text.find(flag), std::string::npos) << flag;
  }
}

}  // namespace
}  // namespace tessomar::dvrsim
