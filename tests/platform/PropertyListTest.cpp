#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace platform {
namespace {

Value everyKind() {
  Dictionary nested{{"inner", Value::array({1, "two", 3.5})}};
  return Value(Dictionary{
      {"yes", true},
      {"no", false},
      {"zero", 0},
      {"one", 1},
      {"negative", -42},
      {"int64min", std::numeric_limits<long long>::min()},
      {"int64max", std::numeric_limits<long long>::max()},
      {"uint64max", std::numeric_limits<unsigned long long>::max()},
      {"pi", 3.141592653589793},
      {"tiny", 5e-324},
      {"text", "h\xC3\xA9llo <&> \"quoted\""},
      {"empty", ""},
      {"bytes", Value::data(std::string_view("\x00\x01\xFF<>", 5))},
      {"noBytes", Value::data(Value::Data{})},
      {"when", Value::date(1700000000.0)},
      {"list", Value::array({true, 2, "three", Value::array({}), Value(Dictionary{})})},
      {"nested", Value(nested)},
  });
}

// Equality across number kinds would hide a boolean turning into 1: compare kinds too.
void expectSameKinds(const Value& a, const Value& b, const std::string& path = "root") {
  ASSERT_EQ(a.kind(), b.kind()) << path;
  if (a.isArray()) {
    ASSERT_EQ(a.array()->size(), b.array()->size()) << path;
    for (std::size_t i = 0; i < a.array()->size(); ++i)
      expectSameKinds((*a.array())[i], (*b.array())[i], path + "[" + std::to_string(i) + "]");
  } else if (a.isDictionary()) {
    ASSERT_EQ(a.dictionary()->size(), b.dictionary()->size()) << path;
    for (const auto& [key, value] : *a.dictionary()) {
      const Value* other = b.dictionary()->findKey(key);
      ASSERT_NE(other, nullptr) << path << "." << key.stringOr();
      expectSameKinds(value, *other, path + "." + key.stringOr());
    }
  }
}

class PropertyListFormats : public ::testing::TestWithParam<PropertyListFormat> {};

TEST_P(PropertyListFormats, EveryKindRoundTripsWithItsKind) {
  Value original = everyKind();
  std::string error;
  auto bytes = PropertyList::dataWithPropertyList(original, GetParam(), &error);
  ASSERT_TRUE(bytes) << error;
  auto decoded = PropertyList::propertyListWithData(*bytes, &error);
  ASSERT_TRUE(decoded) << error;
  EXPECT_EQ(*decoded, original);
  expectSameKinds(original, *decoded);
  EXPECT_EQ(*decoded->dictionary()->get("uint64max").uint64Value(), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(*decoded->dictionary()->get("int64min").int64Value(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(decoded->dictionary()->stringKeys(), original.dictionary()->stringKeys());
}

TEST_P(PropertyListFormats, ValuesWithoutAPropertyListFormAreRefused) {
  struct Case {
    const char* name;
    Value value;
  };
  for (const Case& c : {Case{"null", Value(Dictionary{{"k", Value()}})},
                        Case{"url", Value::url("https://example.invalid/")},
                        Case{"nul in string", Value(std::string("a\0b", 3))},
                        Case{"invalid utf-8", Value("\xFF\xFE")},
                        Case{"non-string key", Value(Dictionary{{Value(1), "one"}})},
                        Case{"date out of range", Value::date(1e12)},
                        Case{"infinite date", Value::date(std::numeric_limits<double>::infinity())}}) {
    std::string error;
    EXPECT_FALSE(PropertyList::dataWithPropertyList(c.value, GetParam(), &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_FALSE(PropertyList::isRepresentable(c.value)) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, PropertyListFormats,
                         ::testing::Values(PropertyListFormat::XML, PropertyListFormat::Binary));

TEST(PropertyListTest, DatesKeepMicrosecondsInBinaryAndSecondsInXML) {
  const double when = 1700000000.25;
  auto binary = PropertyList::propertyListWithData(
      *PropertyList::dataWithPropertyList(Value::date(when), PropertyListFormat::Binary));
  ASSERT_TRUE(binary);
  EXPECT_DOUBLE_EQ(binary->dateValue()->secondsSince1970, when);
  auto xml = PropertyList::propertyListWithData(
      *PropertyList::dataWithPropertyList(Value::date(when), PropertyListFormat::XML));
  ASSERT_TRUE(xml);
  EXPECT_NEAR(xml->dateValue()->secondsSince1970, when, 1.0);
  // Before 2001 (negative offsets from the format's epoch) too.
  auto old = PropertyList::propertyListWithData(
      *PropertyList::dataWithPropertyList(Value::date(86400.5), PropertyListFormat::Binary));
  ASSERT_TRUE(old);
  EXPECT_DOUBLE_EQ(old->dateValue()->secondsSince1970, 86400.5);
  // Within a second of the epoch, on either side.
  for (double offset : {-0.75, -0.25, 0.25, 0.75}) {
    auto near = PropertyList::propertyListWithData(
        *PropertyList::dataWithPropertyList(Value::date(978307200.0 + offset), PropertyListFormat::Binary));
    ASSERT_TRUE(near);
    EXPECT_DOUBLE_EQ(near->dateValue()->secondsSince1970, 978307200.0 + offset);
  }
}

TEST(PropertyListTest, MalformedInputGivesAnErrorNotACrash) {
  std::string good = *PropertyList::dataWithPropertyList(everyKind(), PropertyListFormat::Binary);
  std::string goodXML = *PropertyList::dataWithPropertyList(everyKind(), PropertyListFormat::XML);
  const std::string cases[] = {
      "",
      "garbage",
      "bplist00",
      good.substr(0, good.size() / 2),
      good.substr(0, good.size() - 1),
      goodXML.substr(0, goodXML.size() / 2),
      "<plist version=\"1.0\"><dict><key>a</key></plist>",
  };
  for (const std::string& input : cases) {
    std::string error;
    EXPECT_FALSE(PropertyList::propertyListWithData(input, &error)) << input.size();
    EXPECT_FALSE(error.empty());
  }
  // Flipping bytes one at a time never crashes (results may parse or not).
  for (std::size_t i = 8; i < good.size(); ++i) {
    std::string mutated = good;
    mutated[i] = static_cast<char>(mutated[i] ^ 0xFF);
    (void)PropertyList::propertyListWithData(mutated);
  }
  SUCCEED();
}

std::string nestedXML(std::size_t depth, std::string_view open = "<array>", std::string_view close = "</array>") {
  std::string s = "<plist version=\"1.0\">";
  for (std::size_t i = 0; i < depth; ++i) s += open;
  for (std::size_t i = 0; i < depth; ++i) s += close;
  return s + "</plist>";
}

TEST(PropertyListTest, NestingIsBoundedForXMLInput) {
  EXPECT_TRUE(PropertyList::propertyListWithData(nestedXML(PropertyList::kMaxDepth)));
  std::string error;
  EXPECT_FALSE(PropertyList::propertyListWithData(nestedXML(PropertyList::kMaxDepth + 1), &error));
  EXPECT_NE(error.find("deeper"), std::string::npos) << error;
  // Deep enough to overflow a recursive parser's stack.
  EXPECT_FALSE(PropertyList::propertyListWithData(nestedXML(200000)));
  // Closing tags hidden in comments cannot make real nesting look shallow.
  std::string sneaky = "<plist version=\"1.0\">";
  for (int i = 0; i < 2000; ++i) sneaky += "<array><!-- </array> -->";
  EXPECT_FALSE(PropertyList::propertyListWithData(sneaky + "</plist>"));
  EXPECT_FALSE(PropertyList::propertyListWithData("<!DOCTYPE plist [ <!ENTITY x \"y\"> ]><plist><true/></plist>"));
}

// Markup that hides an end tag from a reader that is not the parser's: the parser still
// nests one level per repetition, deep enough to overflow its stack unless refused first.
TEST(PropertyListTest, NestingCannotHideBehindMarkupTheParserReadsDifferently) {
  struct Case {
    const char* name;
    std::string_view unit;
  };
  for (const Case& c : {Case{"processing instruction ending at ?>", "<array><?a></array>?>"},
                        Case{"quoted > in an attribute", "<array a=\"></array>\">"},
                        Case{"single-quoted > in an attribute", "<array a='></array>'>"},
                        Case{"comment holding >", "<array><!-- > </array> -->"},
                        Case{"quoted > in a document type", "<!DOCTYPE x \"></array>\"><array>"}}) {
    std::string hostile = "<plist version=\"1.0\">";
    for (int i = 0; i < 190000; ++i) hostile += c.unit;
    std::string error;
    EXPECT_FALSE(PropertyList::propertyListWithData(hostile, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
  // The same constructs where they are harmless still read.
  const char* benign =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"a>b\">\n"
      "<plist version='1.0'><!-- a > b --><dict><key>k</key><array ><?pi > ?><string>x&gt;y</string></array></dict>"
      "</plist>";
  auto value = PropertyList::propertyListWithData(benign);
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, Value(Dictionary{{"k", Value::array({"x>y"})}}));
}

// A binary list by hand: objects are given as raw bytes; refs are one byte wide,
// offsets two.
std::string binaryList(const std::vector<std::string>& objects, std::uint8_t top = 0) {
  std::string out = "bplist00";
  std::vector<std::size_t> offsets;
  for (const std::string& o : objects) {
    offsets.push_back(out.size());
    out += o;
  }
  std::size_t tableOffset = out.size();
  for (std::size_t off : offsets) {
    out.push_back(static_cast<char>(off >> 8));
    out.push_back(static_cast<char>(off & 0xFF));
  }
  std::string trailer(32, '\0');
  trailer[6] = 2;  // offset size
  trailer[7] = 1;  // ref size
  trailer[15] = static_cast<char>(objects.size());
  trailer[23] = static_cast<char>(top);
  trailer[30] = static_cast<char>(tableOffset >> 8);
  trailer[31] = static_cast<char>(tableOffset & 0xFF);
  return out + trailer;
}

TEST(PropertyListTest, HandBuiltBinaryListsAreReadAndHostileGraphsRefused) {
  // [true, 5]
  auto ok = PropertyList::propertyListWithData(binaryList({std::string("\xA2\x01\x02", 3), "\x09", "\x10\x05"}));
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, Value::array({true, 5}));
  EXPECT_TRUE(ok->array()->at(0).isBool());

  std::string error;
  // An array that contains itself.
  EXPECT_FALSE(PropertyList::propertyListWithData(binaryList({std::string("\xA1\x00", 2)}), &error));
  EXPECT_NE(error.find("cycle"), std::string::npos) << error;
  // A reference past the last object.
  EXPECT_FALSE(PropertyList::propertyListWithData(binaryList({std::string("\xA1\x07", 2)})));
  // Each array holds its successor twice: 40 levels describe 2^40 values in a few bytes.
  std::vector<std::string> bomb;
  for (int i = 0; i < 40; ++i) {
    bomb.push_back(std::string("\xA2", 1) + static_cast<char>(i + 1) + static_cast<char>(i + 1));
  }
  bomb.push_back("\x09");
  error.clear();
  EXPECT_FALSE(PropertyList::propertyListWithData(binaryList(bomb), &error));
  EXPECT_NE(error.find("too many"), std::string::npos) << error;
  // A chain deeper than the bound.
  std::vector<std::string> chain;
  for (int i = 0; i < 200; ++i) chain.push_back(std::string("\xA1", 1) + static_cast<char>(i + 1));
  chain.push_back("\x09");
  EXPECT_FALSE(PropertyList::propertyListWithData(binaryList(chain)));
}

TEST(PropertyListTest, SerializingTooDeepAValueFails) {
  Value deep = Value::array({1});
  for (std::size_t i = 0; i < PropertyList::kMaxDepth + 5; ++i) deep = Value::array({deep});
  std::string error;
  EXPECT_FALSE(PropertyList::dataWithPropertyList(deep, PropertyListFormat::Binary, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace platform
