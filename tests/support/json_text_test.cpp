// Outside JSON through the one bounded reader: what passes, what is refused, and why.
#include <gtest/gtest.h>

#include <string>

#include "support/JsonText.h"

namespace {

bool Parses(const std::string& text, JsonText::Comments comments = JsonText::Comments::Refused) {
  Json::Value value;
  std::string errors;
  return JsonText::Parse(text, value, errors, comments);
}

TEST(JsonText, OneDocumentWithPaddingOnly) {
  EXPECT_TRUE(Parses(R"({"a":[1,{"b":"]]]"}]})"));
  EXPECT_TRUE(Parses(std::string("{}\r\n\t ") + std::string(4, '\0')));
  EXPECT_FALSE(Parses("{}{}"));
  EXPECT_FALSE(Parses("{} x"));
  EXPECT_FALSE(Parses(std::string("{}\0x", 4)));
  EXPECT_FALSE(Parses(""));
}

TEST(JsonText, NestingIsBoundedEvenWhenCommentsHideBrackets) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(Parses(nested(JsonText::kMaxDepth)));
  EXPECT_FALSE(Parses(nested(JsonText::kMaxDepth + 1)));
  EXPECT_FALSE(Parses(nested(100000)));
  // Closing brackets inside a comment fool the scan; the reader's own limit still refuses.
  std::string hidden;
  for (int i = 0; i < 5; ++i) hidden += std::string(9, '[') + "/*" + std::string(9, ']') + "*/";
  hidden += std::string(45, ']');
  EXPECT_TRUE(JsonText::NestingWithin(hidden.data(), hidden.size()));
  EXPECT_FALSE(Parses(hidden, JsonText::Comments::Skipped));
  // An escaped quote does not end a string, so the brackets after it stay text.
  EXPECT_TRUE(Parses(R"(["\"[[[[[[[[[[[[[[[["])"));
}

TEST(JsonText, CommentsOnlyWhereAllowedAndKeptWhenAsked) {
  const std::string text = "{\n  // the radio\n  \"a\": 1\n}";
  EXPECT_FALSE(Parses(text));
  Json::Value value;
  std::string errors;
  ASSERT_TRUE(JsonText::Parse(text, value, errors, JsonText::Comments::Kept));
  EXPECT_TRUE(value["a"].hasComment(Json::commentBefore));
  ASSERT_TRUE(JsonText::Parse(text, value, errors, JsonText::Comments::Skipped));
  EXPECT_FALSE(value["a"].hasComment(Json::commentBefore));
}

}  // namespace
