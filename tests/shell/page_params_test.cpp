#include "shell/page_params.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessomar::shell {
namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

Params flatten(const PageParseResult& r) {
  Params out;
  for (const PageParam& p : r.params) out.emplace_back(p.name, p.value);
  return out;
}

struct GoodPage {
  const char* what;
  const char* html;
  Params expected;
};

const GoodPage kGoodPages[] = {
    {"double quotes",
     R"(<html><body><object classid="clsid:1" width=704 height=576>
          <param name="DVRIP" value="192.168.1.20">
          <param name="HTTP_PORT" value="8080">
        </object></body></html>)",
     {{"DVRIP", "192.168.1.20"}, {"HTTP_PORT", "8080"}}},
    {"single quotes, no quotes, upper case, self-closing",
     "<OBJECT ID=ctl><PARAM NAME='DVR_UK' VALUE='a b'/><PARAM NAME=HTTP_PORT VALUE=80>"
     "<Param Name=HTTP_PAGE Value=2 /></OBJECT>",
     {{"DVR_UK", "a b"}, {"HTTP_PORT", "80"}, {"HTTP_PAGE", "2"}}},
    {"unquoted value touching the self-closing slash",
     "<object><param name=DVRIP value=10.0.0.1/></object>",
     {{"DVRIP", "10.0.0.1"}}},
    {"whitespace and newlines inside tags",
     "<object\n  classid='x'\n>\n<param\n\tname = \"DVRIP\"\r\n  value\n=\n'h'\n>\n</object\n>",
     {{"DVRIP", "h"}}},
    {"comments are skipped, even with tags in them",
     "<!-- <object><param name=X value=1></object> --><object><!-- <param name=Y value=2> -->"
     "<param name=Z value=3><!----></object>",
     {{"Z", "3"}}},
    {"entities in values",
     "<object><param name=DVR_UK value=\"a&amp;b&lt;c&gt;d&quot;e&#39;f&#65;&#x42;&apos;\">"
     "<param name=N value='&unknown; & &amp &#0; &#xZZ;'></object>",
     {{"DVR_UK", "a&b<c>d\"e'fAB'"}, {"N", "&unknown; & &amp &#0; &#xZZ;"}}},
    {"non-ASCII numeric reference is UTF-8",
     "<object><param name=T value='&#233;&#x20AC;'></object>",
     {{"T", "\xC3\xA9\xE2\x82\xAC"}}},
    {"only the first object; params outside objects ignored",
     "<param name=OUT value=0><object id=a><param name=DVRIP value=first></object>"
     "<param name=OUT2 value=0><object id=b><param name=DVRIP value=second></object>",
     {{"DVRIP", "first"}}},
    {"params of a nested object belong to it",
     "<object><param name=A value=1><object type=x><param name=INNER value=2></object>"
     "<param name=B value=3></object>",
     {{"A", "1"}, {"B", "3"}}},
    {"no </object>: params run to the end of the document",
     "<object><param name=A value=1>\n<p>text</p><param name=B value=2>",
     {{"A", "1"}, {"B", "2"}}},
    {"duplicates kept in order, missing value is empty, first duplicate attribute wins",
     "<object><param name=DVRIP value=a><param name=DVRIP value=b><param name=HTTP_PAGE>"
     "<param name=X name=Y value=1 value=2></object>",
     {{"DVRIP", "a"}, {"DVRIP", "b"}, {"HTTP_PAGE", ""}, {"X", "1"}}},
    {"quotes keep > and other markup characters",
     "<object><param name=\"A\" value=\"x>y</object><param name=Q value=1>\"></object>",
     {{"A", "x>y</object><param name=Q value=1>"}}},
    {"script bodies, doctype and lone < are not markup",
     "<!DOCTYPE html><script>var s = \"<object><param name=S value=1></object>\";"
     "if (a<b) {}</script><p>1 < 2</p><object><param name=P value=2></object>",
     {{"P", "2"}}},
    {"attributes packed without spaces",
     "<object><param name=\"A\"value=\"1\"></object>",
     {{"A", "1"}}},
};

TEST(PageParamsTest, GoodPages) {
  for (const GoodPage& page : kGoodPages) {
    const PageParseResult r = parse_page_params(page.html);
    EXPECT_TRUE(r.ok) << page.what << ": " << r.error;
    EXPECT_TRUE(r.error.empty()) << page.what;
    EXPECT_EQ(flatten(r), page.expected) << page.what;
  }
}

struct BadPage {
  const char* what;
  const char* html;
  std::vector<const char*> message_parts;
};

const BadPage kBadPages[] = {
    {"empty document", "", {"no <object>"}},
    {"params without an object", "<html>\n<param name=DVRIP value=1>\n</html>", {"no <object>"}},
    {"object only inside a comment",
     "<!-- <object><param name=A value=1></object> -->",
     {"no <object>"}},
    {"object without params",
     "<p>\n</p>\n<object id=x>\n<embed src=y></object>",
     {"<object>", "line 3", "no <param>"}},
    {"self-closing object", "<object data=x />", {"no <param>", "line 1"}},
    {"param without name",
     "<object>\n<param name=A value=1>\n\n<param value=2></object>",
     {"<param>", "line 4", "no name"}},
    {"param with an empty name", "<object><param name=\"\" value=2></object>", {"no name"}},
    {"unterminated param tag",
     "<object>\n<param name=A value=1\n",
     {"unterminated", "<param>", "line 2"}},
    {"unterminated object tag",
     "<html>\n<object classid=x",
     {"unterminated", "<object>", "line 2"}},
    {"unterminated double quote",
     "<object>\n<param name=A\n value=\"1>\n</object>\n",
     {"unterminated", "quote", "<param>", "line 3"}},
    {"unterminated single quote",
     "<object><param name='A value=1></object>",
     {"unterminated", "quote", "line 1"}},
    {"unterminated comment",
     "<object>\n\n<!-- <param name=A value=1></object>",
     {"unterminated", "comment", "line 3"}},
};

TEST(PageParamsTest, MalformedPagesAreRefusedWithAReason) {
  for (const BadPage& page : kBadPages) {
    const PageParseResult r = parse_page_params(page.html);
    EXPECT_FALSE(r.ok) << page.what;
    for (const char* part : page.message_parts) {
      EXPECT_NE(r.error.find(part), std::string::npos)
          << page.what << ": '" << r.error << "' lacks '" << part << "'";
    }
  }
}

TEST(PageParamsTest, TroubleAfterTheFirstObjectDoesNotMatter) {
  const PageParseResult r =
      parse_page_params("<object><param name=A value=1></object><param value=x><p title=\"oops");
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(flatten(r), (Params{{"A", "1"}}));
}

TEST(PageParamsTest, ParamOption) {
  struct Case {
    const char* text;
    bool ok;
    const char* name;
    const char* value;
  };
  const Case cases[] = {
      {"DVRIP=10.0.0.5", true, "DVRIP", "10.0.0.5"},
      {"DVR_UK=a=b==", true, "DVR_UK", "a=b=="},
      {"HTTP_PAGE=", true, "HTTP_PAGE", ""},
      {"=value", false, "", ""},
      {"DVRIP", false, "", ""},
      {"", false, "", ""},
  };
  for (const Case& c : cases) {
    PageParam p{"old", "old"};
    std::string error;
    EXPECT_EQ(parse_param_option(c.text, p, error), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(p.name, c.name);
      EXPECT_EQ(p.value, c.value);
    } else {
      EXPECT_FALSE(error.empty()) << c.text;
    }
  }
}

TEST(PageParamsTest, ControlPropertyNames) {
  struct Case {
    const char* name;
    const char* canonical;  // empty: not a control property
  };
  const Case cases[] = {
      {"DVRIP", "DVRIP"},   {"dvrip", "DVRIP"},         {"Http_Port", "HTTP_PORT"},
      {"dvr_uk", "DVR_UK"}, {"http_page", "HTTP_PAGE"}, {"DVRIP ", ""},
      {"DVR", ""},          {"HTTP-PORT", ""},          {"", ""},
      {"HTTP_PAGES", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_control_property(c.name), *c.canonical != '\0') << c.name;
    EXPECT_EQ(canonical_property_name(c.name), c.canonical) << c.name;
  }
}

}  // namespace
}  // namespace tessomar::shell
