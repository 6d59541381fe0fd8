#include "shell/properties.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tessomar::shell {
namespace {

using platform::Variant;

TEST(ControlProperties, GetBeforePutIsEmptyAndPutsCount) {
  ControlProperties p;
  EXPECT_TRUE(p.get(kDispidDVRIP).empty());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(p.put(kDispidDVRIP, Variant::from_string("10.0.0.1")).ok);
  EXPECT_EQ(p.property_put_count(), 3);
  EXPECT_EQ(p.dvrip_text(), "10.0.0.1");
  Variant copy = p.get(kDispidDVRIP);
  EXPECT_EQ(*copy.string_value(), "10.0.0.1");
}

TEST(ControlProperties, HttpPageConversion) {
  struct Case {
    const char* text;
    bool ok;
    int32_t number;
  } cases[] = {
      {"2", true, 2},           {" 7", true, 7},
      {"-3", true, -3},         {"$1F", true, 31},
      {"0x10", true, 16},       {"x2", false, 0},
      {"", false, 0},           {"2 ", false, 0},
      {"1.5", false, 0},        {"2147483647", true, 2147483647},
      {"2147483648", false, 0}, {"-2147483648", true, INT32_MIN},
  };
  for (const auto& c : cases) {
    ControlProperties p;
    ASSERT_TRUE(p.put(kDispidHTTP_PAGE, Variant::from_string("5")).ok);
    PutResult r = p.put(kDispidHTTP_PAGE, Variant::from_string(c.text));
    EXPECT_EQ(r.ok, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(p.http_page_number(), c.number) << c.text;
      EXPECT_EQ(p.property_put_count(), 2);
    } else {
      // The text copy keeps the new text; the number, the stored value and the count do not.
      EXPECT_EQ(r.error, "'" + std::string(c.text) + "' is not a valid integer value");
      EXPECT_EQ(p.http_page_text(), c.text);
      EXPECT_EQ(p.http_page_number(), 5);
      EXPECT_EQ(*p.get(kDispidHTTP_PAGE).string_value(), "5");
      EXPECT_EQ(p.property_put_count(), 1);
    }
  }
}

TEST(ControlProperties, PortUsesTheCLibraryConversion) {
  EXPECT_EQ(c_decimal_value("8080"), 8080);
  EXPECT_EQ(c_decimal_value("  +80x"), 80);
  EXPECT_EQ(c_decimal_value("http"), 0);
}

TEST(ControlProperties, DispatchTables) {
  EXPECT_EQ(property_dispid("dvr_uk"), kDispidDVR_UK);
  EXPECT_FALSE(property_dispid("Visible").has_value());
  int read_only = 0;
  for (const auto& e : kStockProperties) read_only += e.read_only;
  EXPECT_EQ(read_only, 3);                // Active, AlignDisabled, VisibleDockClientCount
  EXPECT_EQ(kStockEvents[6].dispid, 11);  // OnKeyPress
}

TEST(PropertyMap, SaveLoadRoundTripKeepsOrderAndValues) {
  ControlProperties p;
  p.put(kDispidDVRIP, Variant::from_string("dvr.example"));
  p.put(kDispidHTTP_PORT, Variant::from_string("8080"));
  p.put(kDispidDVR_UK, Variant::from_string("65A1B2C3.7.1\\2\n3"));
  p.put(kDispidHTTP_PAGE, Variant::from_string("2"));
  PropertyBag bag;
  save_property_map(p, Extent{704, 576}, bag);
  std::ostringstream out;
  bag.save(out);
  std::string text = out.str();
  EXPECT_EQ(text.substr(0, text.find("DVRIP")), "_cx=i:704\n_cy=i:576\n");
  EXPECT_LT(text.find("DVRIP"), text.find("HTTP_PORT"));
  EXPECT_LT(text.find("DVR_UK"), text.find("HTTP_PAGE"));

  PropertyBag loaded;
  std::istringstream in(text);
  std::string error;
  ASSERT_TRUE(loaded.load(in, error)) << error;
  ControlProperties q;
  Extent e;
  EXPECT_TRUE(load_property_map(q, e, loaded).empty());
  EXPECT_EQ(e.cx, 704u);
  EXPECT_EQ(e.cy, 576u);
  for (const auto& entry : kControlProperties) EXPECT_EQ(q.get(entry.dispid), p.get(entry.dispid));
  EXPECT_EQ(q.http_page_number(), 2);
  EXPECT_EQ(q.property_put_count(), 4);
}

TEST(PropertyMap, UnsetPropertiesLoadWithoutCountingAsPuts) {
  ControlProperties p;
  p.put(kDispidDVRIP, Variant::from_string("a"));
  PropertyBag bag;
  save_property_map(p, Extent{}, bag);
  ControlProperties q;
  Extent e;
  load_property_map(q, e, bag);
  EXPECT_EQ(q.property_put_count(), 1);
  EXPECT_TRUE(q.get(kDispidDVR_UK).empty());
}

TEST(PropertyMap, MalformedStreamsAreRefusedWithTheLine) {
  for (const char* text : {"DVRIP\n", "_cx=i:12\nDVRIP=x:1\n", "A=s:bad\\q\n", "_cx=i:zz\n"}) {
    PropertyBag bag;
    bag.write("keep", Variant::from_int(1));
    std::istringstream in(text);
    std::string error;
    EXPECT_FALSE(bag.load(in, error)) << text;
    EXPECT_NE(error.find("line"), std::string::npos);
    EXPECT_TRUE(bag.read("keep").has_value());  // a failed load changes nothing
  }
}

}  // namespace
}  // namespace tessomar::shell
