#include "packets/json.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/encodings.h>
#include <windows.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/log_tail.h"

namespace {

std::string Narrow(const std::wstring& text) {  // for failure messages only
  std::string out;
  for (wchar_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char buf[12];
      snprintf(buf, sizeof buf, "<%04X>", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out;
}

std::wstring Doc(const std::wstring& entries) {
  return LR"({"type":"","subtype":"","channelid":"","keyvallist":[)" + entries + L"]}";
}

std::wstring Entry(const std::wstring& key, const std::wstring& value) {
  return LR"({"key":")" + key + LR"(","value":")" + value + LR"("})";
}

GenericPacketW WithValue(const std::wstring& value) {
  GenericPacketW packet;
  packet.SetKeyValue(L"k", value);
  return packet;
}

TEST(GetJDocument, EmptyPacket) {
  EXPECT_EQ(Doc(L""), GetJDocument(GenericPacketW()));
}

TEST(GetJDocument, ProgressPacketExample) {
  GenericPacketW packet;
  packet.SetHeader("ODAVScanner", "ScannedItemPacket", "");
  packet.SetStatus("Running");
  packet.SetResult("Pending");
  packet.SetKeyValue(L"Priority", L"low");
  EXPECT_EQ(
      LR"({"type":"ODAVScanner","subtype":"ScannedItemPacket","channelid":"","keyvallist":[)"
      LR"({"key":"Priority","value":"low"},{"key":"Result","value":"Pending"},)"
      LR"({"key":"Status","value":"Running"}]})",
      GetJDocument(packet));
}

TEST(GetJDocument, KeysInCodeUnitOrderAndValuesAsStrings) {
  GenericPacketW packet;
  packet.SetKeyValue(L"score", L"s");
  packet.SetKeyValueInt(L"Score", -1);
  packet.SetKeyValue(L"MalwareName", L"m");
  packet.SetKeyValue(L"AdditionalInfo", L"a");
  packet.SetKeyValue(L"_u", L"u");
  packet.SetKeyValue(L"a", L"");
  packet.SetKeyValue(L"Z", L"z");
  packet.SetKeyValueBool(L"B", true);
  EXPECT_EQ(Doc(Entry(L"AdditionalInfo", L"a") + L"," + Entry(L"B", L"true") + L"," +
                Entry(L"MalwareName", L"m") + L"," + Entry(L"Score", L"-1") + L"," +
                Entry(L"Z", L"z") + L"," + Entry(L"_u", L"u") + L"," + Entry(L"a", L"") + L"," +
                Entry(L"score", L"s")),
            GetJDocument(packet));
}

struct GoldenCase {
  const char* name;
  std::wstring value;
  std::wstring written;
};

TEST(GetJDocument, GoldenEscapesAndEncodings) {
  const GoldenCase cases[] = {
      {"quote and backslash", L"a\"b\\c", LR"(a\"b\\c)"},
      {"named controls", L"\b\t\n\f\r", LR"(\b\t\n\f\r)"},
      {"other controls", L"\x01\x0B\x0E\x1B\x1F", LR"(\u0001\u000B\u000E\u001B\u001F)"},
      {"embedded U+0000", std::wstring(L"a\0b", 3), LR"(a\u0000b)"},
      {"solidus and DEL", L"C:/dir/file\x7F", L"C:/dir/file\x7F"},
      {"accent and pair", L"\u00E9\U0001F600\U0010FFFF\uFFFF", L"\u00E9\U0001F600\U0010FFFF\uFFFF"},
      {"lone high at end", L"ab\xD800", L"ab\uFFFD"},
      {"lone high then text", L"\xDBFFx", L"\uFFFDx"},
      {"lone low", L"x\xDC00y", L"x\uFFFDy"},
      {"reversed pair", L"\xDC00\xD800", L"\uFFFD\uFFFD"},
      {"high, then pair", L"\xD800\xD83D\xDE00", L"\uFFFD\U0001F600"},
      {"only a high", L"\xD800", L"\uFFFD"},
      {"empty", L"", L""},
  };
  for (const GoldenCase& c : cases) {
    EXPECT_EQ(Doc(Entry(L"k", c.written)), GetJDocument(WithValue(c.value))) << c.name;
  }
  // The same rules apply to keys and to the header.
  GenericPacketW packet;
  packet.type = L"t\"\xD800";
  packet.subtype = std::wstring(L"\0", 1);
  packet.channelid = L"\xDFFF";
  packet.SetKeyValue(L"\xDC00\t", L"v");
  EXPECT_EQ(LR"({"type":"t\")" L"\uFFFD" LR"(","subtype":"\u0000","channelid":")" L"\uFFFD"
            LR"(","keyvallist":[{"key":")" L"\uFFFD" LR"(\t","value":"v"}]})",
            GetJDocument(packet));
}

// What a lone surrogate must become: U+FFFD, a pair kept.
std::wstring Repaired(const std::wstring& text) {
  std::wstring out = text;
  for (size_t i = 0; i < out.size(); ++i) {
    wchar_t c = out[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < out.size() && out[i + 1] >= 0xDC00 &&
        out[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out[i] = 0xFFFD;
    }
  }
  return out;
}

using WDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;
using WValue = rapidjson::GenericValue<rapidjson::UTF16<wchar_t>>;

std::wstring StringOf(const WValue& value) {
  return std::wstring(value.GetString(), value.GetStringLength());
}

// Parses `text` strictly (encoding validated, exactly one root) and checks
// that it carries the packet's strings, repaired.
::testing::AssertionResult RoundTrips(const GenericPacketW& packet, const std::wstring& text) {
  if (text.find(L'\0') != std::wstring::npos)
    return ::testing::AssertionFailure() << "raw NUL in " << Narrow(text);
  WDocument doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(text.c_str());
  if (doc.HasParseError())
    return ::testing::AssertionFailure() << "parse error " << doc.GetParseError() << " at "
                                         << doc.GetErrorOffset() << " in " << Narrow(text);
  // The UTF-8 form that was built must be valid too.
  int bytes = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (text.size() && bytes <= 0) return ::testing::AssertionFailure() << "not convertible to UTF-8";
  if (!doc.IsObject() || doc.MemberCount() != 4)
    return ::testing::AssertionFailure() << "root is not a four-member object";
  const wchar_t* names[] = {L"type", L"subtype", L"channelid", L"keyvallist"};
  const std::wstring* fields[] = {&packet.type, &packet.subtype, &packet.channelid};
  auto member = doc.MemberBegin();
  for (int i = 0; i < 4; ++i, ++member) {
    if (StringOf(member->name) != names[i])
      return ::testing::AssertionFailure() << "member " << i << " misnamed";
    if (i < 3 && (!member->value.IsString() || StringOf(member->value) != Repaired(*fields[i])))
      return ::testing::AssertionFailure() << "member " << i << " differs";
  }
  const WValue& list = doc[L"keyvallist"];
  if (!list.IsArray() || list.Size() != packet.keyvallist.size())
    return ::testing::AssertionFailure() << "keyvallist size differs";
  rapidjson::SizeType i = 0;
  for (const auto& entry : packet.keyvallist) {
    const WValue& item = list[i++];
    if (!item.IsObject() || item.MemberCount() != 2)
      return ::testing::AssertionFailure() << "entry " << i << " is not a pair";
    auto key = item.MemberBegin();
    auto value = key + 1;
    if (StringOf(key->name) != L"key" || StringOf(value->name) != L"value" ||
        !key->value.IsString() || !value->value.IsString())
      return ::testing::AssertionFailure() << "entry " << i << " malformed";
    if (StringOf(key->value) != Repaired(entry.first) ||
        StringOf(value->value) != Repaired(entry.second))
      return ::testing::AssertionFailure() << "entry " << i << " differs: " << Narrow(entry.first);
  }
  return ::testing::AssertionSuccess();
}

TEST(GetJDocument, HostileValuesGiveStrictJsonThatRoundTrips) {
  std::wstring all_controls;
  for (wchar_t c = 0; c < 0x20; ++c) all_controls += c;
  const std::vector<std::pair<const char*, std::wstring>> values = {
      {"empty", L""},
      {"all controls", all_controls},
      {"quotes", L"\"\"\"\\\\\\\"\\"},
      {"literal escapes", LR"(\u0000\uD800\n)"},
      {"markup", L"</script><!--"},
      {"lone high at end", L"path\xD800"},
      {"lone low first", L"\xDC00path"},
      {"many lone", std::wstring(100, static_cast<wchar_t>(0xDBFF))},
      {"pairs and lone", L"\U0001F600\xD800\U0001F600\xDFFF"},
      {"lone after 40 plain", std::wstring(40, L'a') + L"\xD800" + std::wstring(40, L'b')},
      {"noncharacters", L"\uFFFE\uFFFF\uFDD0"},
      {"max code point", L"\U0010FFFF"},
      {"NULs", std::wstring(5, L'\0')},
      {"long path", L"C:\\" + std::wstring(5000, L'\u00E9') + L"\\file.exe"},
      {"long ascii", std::wstring(70000, L'x')},
      {"BOM", L"\uFEFFtext"},
  };
  for (const auto& v : values) {
    GenericPacketW packet;
    packet.type = v.second;
    packet.SetKeyValue(v.second, v.second);
    packet.SetKeyValue(L"plain", v.second);
    EXPECT_TRUE(RoundTrips(packet, GetJDocument(packet))) << v.first;
  }
}

TEST(GetJDocument, RandomPacketsGiveStrictJsonThatRoundTrips) {
  std::mt19937 random(20261210);
  // Mostly plain text, with controls, escapes, non-ASCII and surrogates of
  // both kinds mixed in so that pairs and lone halves both occur.
  auto unit = [&]() -> wchar_t {
    switch (random() % 8) {
      case 0: return static_cast<wchar_t>(random() % 0x20);
      case 1: return static_cast<wchar_t>(0xD800 + random() % 0x800);
      case 2: return static_cast<wchar_t>(0x80 + random() % 0xD780);
      case 3: return static_cast<wchar_t>(0xE000 + random() % 0x2000);
      case 4: return L"\"\\/"[random() % 3];
      default: return static_cast<wchar_t>(0x20 + random() % 0x5F);
    }
  };
  auto text = [&]() {
    std::wstring s(random() % 40, L' ');
    for (wchar_t& c : s) c = unit();
    return s;
  };
  for (int round = 0; round < 500; ++round) {
    GenericPacketW packet;
    packet.type = text();
    packet.subtype = text();
    packet.channelid = text();
    for (int n = static_cast<int>(random() % 12); n > 0; --n) packet.SetKeyValue(text(), text());
    ASSERT_TRUE(RoundTrips(packet, GetJDocument(packet))) << "round " << round;
  }
}

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::wstring utf16;
};

TEST(Utf8ToUtf16, DecodesValidText) {
  const Utf8Case cases[] = {
      {"empty", "", L""},
      {"ascii", "plain text", L"plain text"},
      {"two bytes", "\xC3\xA9", L"\u00E9"},
      {"three bytes", "\xE2\x82\xAC\xEF\xBF\xBD", L"\u20AC\uFFFD"},
      {"four bytes", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", L"\U0001F600\U0010FFFF"},
      {"ascii runs around", "abcdefghij\xC3\xA9klmnopqrstu\xF0\x9F\x98\x80vwxyz0123",
       L"abcdefghij\u00E9klmnopqrstu\U0001F600vwxyz0123"},
      {"stops at NUL", std::string("ab\0cd", 5), L"ab"},
      {"stops at NUL in a long run", std::string(20, 'a') + std::string("\0bbbb", 5),
       std::wstring(20, L'a')},
      {"nothing after NUL is read", std::string(20, 'a') + std::string("\0\xFF", 2),
       std::wstring(20, L'a')},
      {"long text", std::string(10000, 'x') + "\xC3\xA9", std::wstring(10000, L'x') + L"\u00E9"},
      {"limits", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80",
       L"\x7F\u0080\u07FF\u0800\uD7FF\uE000\U00010000"},
  };
  for (const Utf8Case& c : cases) EXPECT_EQ(c.utf16, Utf8ToUtf16(c.utf8)) << c.name;
}

std::wstring Ansi(const std::string& text) {
  int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

TEST(Utf8ToUtf16, InvalidTextIsReadInTheAnsiCodePage) {
  const std::pair<const char*, std::string> cases[] = {
      {"lone continuation", "a\x80" "b"},
      {"overlong two", "\xC0\xAF"},
      {"overlong three", "\xE0\x80\xAF"},
      {"overlong four", "\xF0\x80\x80\xAF"},
      {"surrogate", "\xED\xA0\x80"},
      {"above U+10FFFF", "\xF4\x90\x80\x80"},
      {"F5", "\xF5\x80\x80\x80"},
      {"cut two", "abcdefgh\xC3"},
      {"cut three", "\xE2\x82"},
      {"cut four", "\xF0\x9F\x98"},
      {"latin-1 text", "caf\xE9 cr\xE8me"},
      {"bad after a long ascii run", std::string(64, 'a') + "\xFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(Ansi(c.second), Utf8ToUtf16(c.second)) << c.first;
}

TEST(Utf8ToUtf16, InvalidTextIsLoggedWhole) {
  testing_support::LogTail log;
  Utf8ToUtf16("caf\xE9 au lait");
  Utf8ToUtf16("caf\xC3\xA9 au lait");
  EXPECT_EQ(1, log.Count(L"[ ERROR  ] - Utf8ToUtf16 Error: caf\u00E9 au lait"));
  EXPECT_EQ(0, log.Count(L"Utf8ToUtf16 Error: caf\u00C3"));
}

}  // namespace
