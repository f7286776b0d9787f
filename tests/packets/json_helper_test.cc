#include "packets/json_helper.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/log_tail.h"
#include "support/test_support.h"

namespace {

using StringMap = std::map<std::wstring, std::wstring>;
using KeySet = std::map<std::wstring, bool>;

KeySet Keys(std::initializer_list<const wchar_t*> keys) {
  KeySet set;
  for (const wchar_t* k : keys) set[k] = true;
  return set;
}

TEST(GetMapFromList, StringsBecomeKeys) {
  const std::vector<std::pair<std::wstring, KeySet>> cases = {
      {LR"(["exe","dll","exe"])", Keys({L"dll", L"exe"})},
      {LR"( [ "Exe" , "exe" ] )", Keys({L"Exe", L"exe"})},
      {LR"([])", Keys({})},
      {LR"(["a",1,null,true,["b"],{"c":"d"},"e"])", Keys({L"a", L"e"})},
      {LR"(["a\u0000b","c"])", Keys({L"a", L"c"})},
      {LR"(["\u00e9","\ud83d\ude00","C:\\Temp\\"])", Keys({L"\u00E9", L"\U0001F600", L"C:\\Temp\\"})},
      {std::wstring(L"[\"a\"]\0[\"b\"", 10), Keys({L"a"})},
      {LR"({"exe":"dll"})", Keys({})},
      {LR"("exe")", Keys({})},
      {LR"([[[[[[[[[["deep"]]]]]]]]]])", Keys({})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.second, JsonHelper::GetMapFromList(c.first))
        << std::string(c.first.begin(), c.first.end());
  }
}

TEST(GetMapFromList, BadTextGivesAnEmptyMap) {
  const std::vector<std::wstring> cases = {
      L"",
      LR"(["exe","dll")",
      LR"(["exe" "dll"])",
      LR"(["exe",])",
      LR"(['exe'])",
      LR"(["\ud800"])",
      LR"(["a"] ["b"])",
      L"[\"a\x01\"]",
      LR"(["a"] // comment)",
      std::wstring(200000, L'['),
      std::wstring(100000, L'[') + std::wstring(99999, L']'),
  };
  for (const std::wstring& text : cases) {
    EXPECT_TRUE(JsonHelper::GetMapFromList(text).empty()) << std::string(text.begin(), text.begin() + std::min<size_t>(text.size(), 40));
  }
}

TEST(GetMapFromList, ParseErrorIsLoggedWithCodeAndOffset) {
  testing_support::LogTail log;
  EXPECT_TRUE(JsonHelper::GetMapFromList(L"").empty());
  EXPECT_EQ(1, log.Count(L"[ ERROR  ] - JsonHelper::GetMapFromList - Json has parse errros:\r\n"
                         L"Error:0000000000000001\r\nOffSet:0"));
  EXPECT_TRUE(JsonHelper::GetMapFromList(LR"(["exe","dll")").empty());
  // Missing comma or square bracket, at the end of the 12 code units.
  EXPECT_EQ(1, log.Count(LR"(JsonHelper::GetMapFromList - Json has parse errros:["exe","dll")"
                         L"\r\nError:0000000000000007\r\nOffSet:12"));
  // The offset counts UTF-16 code units, a surrogate pair as two.
  EXPECT_TRUE(JsonHelper::GetMapFromList(L"[\"\U0001F600\u00E9\",]").empty());
  EXPECT_EQ(1, log.Count(L"\r\nError:0000000000000003\r\nOffSet:7"));
  EXPECT_EQ(0, log.Count(L"parse errros:[\"ok\"]"));
  JsonHelper::GetMapFromList(L"[\"ok\"]");
  EXPECT_EQ(0, log.Count(L"parse errros:[\"ok\"]"));
}

TEST(GetMapFromList, ParseErrorMessageText) {
  EXPECT_EQ(L"JsonHelper::GetMapFromList - Json has parse errros:\r\nError:0000000000000001\r\nOffSet:0",
            JsonHelper::ListParseErrorMessage(L"", 1, 0));
  EXPECT_EQ(L"JsonHelper::GetMapFromList - Json has parse errros:[\"exe\",\"dll\"\r\nError:"
            L"000000000000000A\r\nOffSet:4294967296",
            JsonHelper::ListParseErrorMessage(L"[\"exe\",\"dll\"", 10, 4294967296ull));
}

class JsonHelperLoad : public ::testing::Test {
 protected:
  std::wstring Write(const std::string& bytes) {
    std::wstring name = L"file" + std::to_wstring(++count_) + L".json";
    EXPECT_TRUE(dir_.WriteFile(name, bytes));
    return dir_.Sub(name);
  }
  testing_support::TempDir dir_;
  int count_ = 0;
};

TEST_F(JsonHelperLoad, DuplicateKeysKeepTheLastValueAndOtherEntriesStay) {
  StringMap map = {{L"keep", L"1"}, {L"b", L"old"}};
  ASSERT_TRUE(JsonHelper::Load(Write(R"({"A":"x","b":"y","A":"z"})"), map, true));
  EXPECT_EQ((StringMap{{L"a", L"z"}, {L"b", L"y"}, {L"keep", L"1"}}), map);

  StringMap cased;
  ASSERT_TRUE(JsonHelper::Load(Write(R"({"JID_Mixed":"Value Kept As Is"})"), cased, false));
  EXPECT_EQ((StringMap{{L"JID_Mixed", L"Value Kept As Is"}}), cased);
}

TEST_F(JsonHelperLoad, TextIsReadAsUtf8) {
  StringMap map;
  ASSERT_TRUE(JsonHelper::Load(
      Write("{\"\xC3\x89t\xC3\xA9\":\"caf\xC3\xA9 \\u00e9 \\ud83d\\ude00 \xF0\x9F\x98\x80 \\\"q\\\"\"}"), map,
      true));
  // Only A-Z are lower-cased.
  EXPECT_EQ((StringMap{{L"\u00C9t\u00E9", L"caf\u00E9 \u00E9 \U0001F600 \U0001F600 \"q\""}}), map);
}

TEST_F(JsonHelperLoad, ByteOrderMarkIsSkipped) {
  StringMap map;
  ASSERT_TRUE(JsonHelper::Load(Write("\xEF\xBB\xBF{\"k\":\"v\"}"), map, true));
  EXPECT_EQ((StringMap{{L"k", L"v"}}), map);
}

TEST_F(JsonHelperLoad, MembersThatAreNotStringsAreSkipped) {
  StringMap map;
  ASSERT_TRUE(JsonHelper::Load(
      Write(R"({"a":"1","n":5,"o":{"x":"y"},"arr":["s"],"t":true,"z":null,"b":"2"})"), map, true));
  EXPECT_EQ((StringMap{{L"a", L"1"}, {L"b", L"2"}}), map);
}

TEST_F(JsonHelperLoad, FailuresLeaveTheMapUnchanged) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty file", ""},
      {"one byte", "{"},
      {"two bytes", "[]"},
      {"only a mark", "\xEF\xBB\xBF"},
      {"array root", R"(["a","b"])"},
      {"string root", R"("a")"},
      {"number root", "5"},
      {"cut short", R"({"a":"b",)"},
      {"trailing text", R"({"a":"b"} {"c":"d"})"},
      {"comment", "{\"a\":\"b\"} // c"},
      {"single quotes", "{'a':'b'}"},
      {"UTF-16 file", std::string("\xFF\xFE{\0}\0", 6)},
      {"deep nesting", std::string(300000, '[')},
      {"NUL in a string", std::string("{\"a\":\"b\0c\"}", 11)},
  };
  for (const auto& c : cases) {
    StringMap map = {{L"keep", L"1"}};
    EXPECT_FALSE(JsonHelper::Load(Write(c.second), map, true)) << c.first;
    EXPECT_EQ((StringMap{{L"keep", L"1"}}), map) << c.first;
  }
}

TEST_F(JsonHelperLoad, LogsEachOutcome) {
  testing_support::LogTail log;
  StringMap map;
  const std::wstring good = Write(R"({"a":"b"})");
  const std::wstring bad = Write(R"({"a":)");
  EXPECT_TRUE(JsonHelper::Load(good, map, true));
  EXPECT_FALSE(JsonHelper::Load(bad, map, true));
  EXPECT_FALSE(JsonHelper::Load(dir_.Sub(L"missing.json"), map, true));
  EXPECT_EQ(1, log.Count(L"[ALW  ] - JsonHelper Load - File " + good + L"\r\n"));
  EXPECT_EQ(1, log.Count(L"[ALW  ] - JsonHelper Load - Loading File " + good + L" Succeeded."));
  EXPECT_EQ(1, log.Count(L"[ ERROR  ] - JsonHelper Load- - failed to parse the file " + bad));
  EXPECT_EQ(1, log.Count(L"[ ERROR  ] - JsonHelper Load - failed to open file " +
                         dir_.Sub(L"missing.json") + L". Error=2"));
  EXPECT_EQ(0, log.Count(L"Loading File " + bad));
}

TEST_F(JsonHelperLoad, MissingFileOrFolderFails) {
  StringMap map = {{L"keep", L"1"}};
  EXPECT_FALSE(JsonHelper::Load(dir_.Sub(L"missing.json"), map, true));
  EXPECT_FALSE(JsonHelper::Load(dir_.path(), map, true));
  EXPECT_FALSE(JsonHelper::Load(L"", map, true));
  EXPECT_EQ((StringMap{{L"keep", L"1"}}), map);
}

TEST_F(JsonHelperLoad, LargeFileIsReadWhole) {
  std::string text = "{";
  for (int i = 0; i < 20000; ++i) text += "\"k" + std::to_string(i) + "\":\"" + std::string(40, 'v') + "\",";
  text += "\"last\":\"end\"}";
  StringMap map;
  ASSERT_TRUE(JsonHelper::Load(Write(text), map, true));
  EXPECT_EQ(20001u, map.size());
  EXPECT_EQ(L"end", map[L"last"]);
}

}  // namespace
