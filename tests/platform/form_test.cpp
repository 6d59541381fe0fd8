#include "platform/form.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tessomar::platform {
namespace {

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const ComponentSpec kSpecs[] = {
        {"Panel1", ComponentKind::Panel, "", {0, 0, 200, 100}},
        {"Edit1", ComponentKind::Edit, "Panel1", {4, 4, 80, 20}, "abc", true, false},
        {"ComboBox1", ComponentKind::ComboBox, "Panel1", {4, 30, 80, 20}},
    };
    form.build(kSpecs, std::size(kSpecs));
    observer =
        form.add_observer([this](Component& c, Property p) { seen.emplace_back(c.name(), p); });
  }

  Form form;
  int observer = 0;
  std::vector<std::pair<std::string, Property>> seen;
};

TEST_F(FormTest, BuildKeepsOrderParentsAndInitialStateWithoutNotifying) {
  ASSERT_EQ(form.components().size(), 3u);
  EXPECT_EQ(form.components()[1]->name(), "Edit1");
  const Component& edit = form["Edit1"];
  EXPECT_EQ(edit.kind(), ComponentKind::Edit);
  EXPECT_EQ(edit.parent(), "Panel1");
  EXPECT_EQ(edit.caption(), "abc");
  EXPECT_FALSE(edit.enabled());
  EXPECT_EQ(edit.geometry(), (Geometry{4, 4, 80, 20}));
  EXPECT_EQ(form.find("Nope"), nullptr);
  EXPECT_TRUE(seen.empty());
}

// Each row changes one property to `a`, again to `a`, then to `b`.
struct PropertyCase {
  const char* label;
  Property property;
  std::function<void(Component&, bool second)> set;
};

TEST_F(FormTest, ObserversSeeEachChangeOnceAndRepeatsNotNotify) {
  const PropertyCase cases[] = {
      {"caption", Property::Caption, [](Component& c, bool s) { c.set_caption(s ? "y" : "x"); }},
      {"enabled", Property::Enabled, [](Component& c, bool s) { c.set_enabled(s); }},
      {"visible", Property::Visible, [](Component& c, bool s) { c.set_visible(s); }},
      {"items", Property::Items,
       [](Component& c, bool s) {
         c.set_items(s ? std::vector<std::string>{"a", "b"} : std::vector<std::string>{"a"});
       }},
      {"item index", Property::ItemIndex,
       [](Component& c, bool s) { c.set_item_index(s ? 1 : 0); }},
      {"checked", Property::Checked, [](Component& c, bool s) { c.set_checked(!s); }},
      {"tag", Property::Tag, [](Component& c, bool s) { c.set_tag(s ? -7 : 7); }},
      {"geometry", Property::Geometry,
       [](Component& c, bool s) {
         c.set_geometry({1, 2, 3, s ? 5 : 4});
       }},
      {"max length", Property::MaxLength,
       [](Component& c, bool s) { c.set_max_length(s ? 8 : 16); }},
      {"password char", Property::PasswordChar,
       [](Component& c, bool s) { c.set_password_char(s ? '*' : '#'); }},
      {"position", Property::Position, [](Component& c, bool s) { c.set_position(s ? 3 : 50); }},
      {"range", Property::Range, [](Component& c, bool s) { c.set_range(0, s ? 10 : 255); }},
      {"interval", Property::Interval,
       [](Component& c, bool s) { c.set_interval_ms(s ? 5 : 250); }},
  };
  Component& c = form["ComboBox1"];
  for (const auto& k : cases) {
    SCOPED_TRACE(k.label);
    seen.clear();
    k.set(c, false);
    k.set(c, false);
    k.set(c, true);
    k.set(c, true);
    const std::pair<std::string, Property> change{"ComboBox1", k.property};
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, Property>>{change, change}));
  }
}

TEST_F(FormTest, PictureChangesAlwaysNotify) {
  Component& c = form["Panel1"];
  c.picture().resize(2, 2);
  c.picture_changed();
  c.picture_changed();
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(FormTest, RemovedObserversSeeNothing) {
  form.remove_observer(observer);
  form["Edit1"].set_caption("new");
  EXPECT_TRUE(seen.empty());
}

TEST_F(FormTest, ObserverMayRemoveItselfWhileBeingNotified) {
  int once_calls = 0;
  int once = 0;
  once = form.add_observer([&](Component&, Property) {
    ++once_calls;
    form.remove_observer(once);
  });
  int later_calls = 0;
  form.add_observer([&](Component&, Property) { ++later_calls; });
  form["Edit1"].set_caption("1");
  form["Edit1"].set_caption("2");
  EXPECT_EQ(once_calls, 1);
  EXPECT_EQ(later_calls, 2);  // observers after the removed one are still served
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(FormTest, FireRunsTheNamedHandlerWithItsArguments) {
  Component& b = form["Panel1"];
  EXPECT_FALSE(b.fire("OnClick"));
  EXPECT_FALSE(b.has_handler("OnClick"));

  std::vector<std::string> calls;
  b.on("OnMouseDown", [&](Event& e) {
    calls.push_back("down " + std::to_string(e.x) + "," + std::to_string(e.y));
    e.key = 13;  // handlers may answer through the arguments
  });
  b.on("OnClick", [&](Event&) { calls.push_back("click"); });
  Event e;
  e.x = 3;
  e.y = 9;
  EXPECT_TRUE(b.fire("OnMouseDown", e));
  EXPECT_EQ(e.key, 13);
  EXPECT_TRUE(b.fire("OnClick"));
  EXPECT_EQ(calls, (std::vector<std::string>{"down 3,9", "click"}));
}

TEST_F(FormTest, HandlerMayReplaceItselfWhileRunning) {
  Component& b = form["Panel1"];
  std::string captured = "still alive";
  int first = 0, second = 0;
  b.on("OnClick", [&, captured](Event&) {
    ++first;
    b.on("OnClick", [&](Event&) { ++second; });
    EXPECT_EQ(captured, "still alive");  // own captures survive the replacement
  });
  b.fire("OnClick");
  b.fire("OnClick");
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

TEST(FormDeathTest, DuplicateAndMissingNamesAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Form f;
        f.add({"Label1", ComponentKind::Label, "", {}});
        f.add({"Label1", ComponentKind::Button, "", {}});
      },
      "duplicate component Label1");
  EXPECT_DEATH(
      {
        Form f;
        f["Label9"].set_caption("x");
      },
      "no component named Label9");
}

}  // namespace
}  // namespace tessomar::platform
