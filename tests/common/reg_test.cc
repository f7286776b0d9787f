#include "common/reg.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/product.h"
#include "support/test_support.h"

namespace {

using testing_support::TempRegKey;

std::vector<BYTE> Bytes(const void* data, size_t size) {
  const auto* p = static_cast<const BYTE*>(data);
  return std::vector<BYTE>(p, p + size);
}

std::string WideToNarrowName(const wchar_t* name) {
  std::string narrow;
  for (const wchar_t* p = name; *p; ++p) narrow += static_cast<char>(*p);
  return narrow;
}

// Stores exactly the given bytes: RegSetValueExW would append a terminator to
// strings that lack one, and hostile content is what these tests need.
bool SetRawValue(HKEY key, const wchar_t* name, DWORD type, const std::vector<BYTE>& data) {
  using NtSetValueKeyFn = LONG(NTAPI*)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
  static auto set_value = reinterpret_cast<NtSetValueKeyFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
  if (!set_value) return false;
  UNICODE_STRING us;
  us.Buffer = const_cast<wchar_t*>(name);
  us.Length = static_cast<USHORT>(wcslen(name) * sizeof(wchar_t));
  us.MaximumLength = us.Length;
  std::vector<BYTE> copy = data;
  return set_value(key, &us, 0, type, copy.empty() ? nullptr : copy.data(),
                   static_cast<ULONG>(copy.size())) == 0;
}

// Type and bytes as stored, read without the wrapper.
bool RawValue(HKEY key, const wchar_t* name, DWORD& type, std::vector<BYTE>& data) {
  DWORD size = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  data.assign(size, 0);
  if (::RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
    return false;
  data.resize(size);
  return true;
}

bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  ::RegCloseKey(key);
  return true;
}

class RegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(reg_.Open(HKEY_LOCAL_MACHINE, temp_.path().c_str(), KEY_ALL_ACCESS));
  }

  void ExpectStored(const wchar_t* name, DWORD type, const std::vector<BYTE>& bytes) {
    DWORD stored_type = 0;
    std::vector<BYTE> stored;
    ASSERT_TRUE(RawValue(reg_.Key(), name, stored_type, stored)) << name;
    EXPECT_EQ(type, stored_type) << name;
    EXPECT_EQ(bytes, stored) << name;
  }

  TempRegKey temp_;
  Reg reg_;
};

TEST_F(RegTest, DwordRoundTripsThroughBothEntriesAndBothSignedness) {
  const struct {
    const wchar_t* name;
    uint32_t value;
    int32_t as_signed;
  } cases[] = {{L"zero", 0, 0},
               {L"one", 1, 1},
               {L"max", 0xFFFFFFFFu, -1},
               {L"high", 0x80000000u, INT32_MIN}};
  for (const auto& c : cases) {
    ASSERT_TRUE(reg_.SetDWORD(std::wstring(c.name), c.value)) << c.name;
    ExpectStored(c.name, REG_DWORD, Bytes(&c.value, 4));
    uint32_t u = 7;
    int32_t s = 7;
    EXPECT_TRUE(reg_.QueryDWORD(c.name, u)) << c.name;
    EXPECT_TRUE(reg_.QueryDWORD(c.name, s)) << c.name;
    EXPECT_EQ(c.value, u) << c.name;
    EXPECT_EQ(c.as_signed, s) << c.name;
    ASSERT_TRUE(reg_.SetDWORD(c.name, c.value + 1)) << c.name;
    EXPECT_TRUE(reg_.QueryDWORD(c.name, u)) << c.name;
    EXPECT_EQ(c.value + 1, u) << c.name;
  }
}

TEST_F(RegTest, StringsRoundTripWideAndNarrow) {
  const std::wstring wide[] = {L"", L"abc", L"C:\\Program Files\\Quillfeather",
                               L"\u00e9\u20ac\u65e5\u672c\U0001F600", std::wstring(5000, L'x')};
  for (const auto& text : wide) {
    ASSERT_TRUE(reg_.SetString(L"wide", text)) << text.size();
    std::vector<BYTE> expected = Bytes(text.c_str(), (text.size() + 1) * 2);
    ExpectStored(L"wide", REG_SZ, expected);
    std::wstring read = L"unchanged";
    EXPECT_TRUE(reg_.QueryString(L"wide", read)) << text.size();
    EXPECT_TRUE(text == read) << text.size();
  }
  // Longer than the first 256-byte read, so the narrow read has to grow.
  const std::string narrow[] = {"", "abc", "caf\xe9", std::string(1000, 'n')};
  for (const auto& text : narrow) {
    ASSERT_TRUE(reg_.SetStringA("narrow", text)) << text.size();
    std::string read = "unchanged";
    EXPECT_TRUE(reg_.QueryStringA("narrow", read)) << text.size();
    EXPECT_EQ(text, read);
    std::wstring as_wide;
    EXPECT_TRUE(reg_.QueryString(L"narrow", as_wide));
    EXPECT_EQ(text.size(), as_wide.size());
  }
}

TEST_F(RegTest, BinaryRoundTripsThroughBothEntries) {
  const std::vector<BYTE> cases[] = {{}, {0}, {1, 2, 3}, std::vector<BYTE>(70000, 0xAB)};
  for (const auto& bytes : cases) {
    ASSERT_TRUE(
        reg_.SetBinary(std::wstring(L"bin"), bytes.data(), static_cast<uint32_t>(bytes.size())))
        << bytes.size();
    ExpectStored(L"bin", REG_BINARY, bytes);
    std::vector<BYTE> read(bytes.size() + 1, 0xEE);
    EXPECT_TRUE(
        reg_.QueryBinary(std::wstring(L"bin"), read.data(), static_cast<uint32_t>(read.size())));
    EXPECT_EQ(bytes, std::vector<BYTE>(read.begin(), read.end() - 1)) << bytes.size();
    EXPECT_EQ(0xEE, read.back()) << "wrote past the value, size " << bytes.size();
    uint32_t size = 0;
    EXPECT_TRUE(reg_.QueryValueSize(L"bin", size));
    EXPECT_EQ(bytes.size(), size);
  }
  ASSERT_TRUE(reg_.SetBinary(L"four", "\x01\x02\x03\x04", 4));
  char small[2];
  EXPECT_FALSE(reg_.QueryBinary(L"four", small, sizeof small)) << "a smaller buffer is no read";
}

TEST_F(RegTest, MultiStringsRoundTripAndEmptyListIsFourZeroBytes) {
  const struct {
    const char* label;
    std::vector<std::wstring> values;
    std::vector<BYTE> stored;
  } cases[] = {
      {"empty list", {}, {0, 0, 0, 0}},
      {"one", {L"a"}, {'a', 0, 0, 0, 0, 0}},
      {"two", {L"a", L"bc"}, {'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}},
      {"wide", {L"\u00e9\u65e5", L"x y"}, {}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(reg_.SetMultiString(L"multi", c.values)) << c.label;
    if (!c.stored.empty()) ExpectStored(L"multi", REG_MULTI_SZ, c.stored);
    std::vector<std::wstring> read = {L"stale"};
    EXPECT_TRUE(reg_.QueryMultiString(L"multi", read)) << c.label;
    EXPECT_EQ(c.values, read) << c.label;
  }
}

TEST_F(RegTest, ScrambledBinaryRoundTripsAndReportsStoredSizeOnMismatch) {
  std::vector<BYTE> data(70);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
  ASSERT_TRUE(reg_.SetScrambledBinary(L"secret", data.data(), 70));

  std::vector<BYTE> expected = data;
  ScrambleBytes(expected.data(), expected.size(), product::kScrambleKey);
  EXPECT_NE(data, expected);
  ExpectStored(L"secret", REG_BINARY, expected);

  const struct {
    uint32_t size;
    bool ok;
  } cases[] = {{70, true}, {69, false}, {71, false}, {0, false}, {1000, false}};
  for (const auto& c : cases) {
    std::vector<BYTE> read(1000, 0xEE);
    uint32_t size = c.size;
    EXPECT_EQ(c.ok, reg_.QueryScrambledBinary(L"secret", read.data(), size)) << c.size;
    EXPECT_EQ(70u, size) << "size argument " << c.size;
    if (c.ok) {
      EXPECT_EQ(data, std::vector<BYTE>(read.begin(), read.begin() + 70));
      EXPECT_EQ(0xEE, read[70]);
    } else {
      EXPECT_EQ(std::vector<BYTE>(1000, 0xEE), read) << "buffer touched, size " << c.size;
    }
  }

  uint32_t size = 5;
  BYTE buffer[8];
  EXPECT_FALSE(reg_.QueryScrambledBinary(L"missing", buffer, size));
  EXPECT_EQ(0u, size);
  ASSERT_TRUE(reg_.SetBinary(L"empty", "", 0));
  size = 5;
  EXPECT_FALSE(reg_.QueryScrambledBinary(L"empty", buffer, size));
  EXPECT_EQ(0u, size);
  EXPECT_FALSE(reg_.SetScrambledBinary(L"nothing", data.data(), 0));
  EXPECT_FALSE(reg_.QueryValueSize(L"nothing", size)) << "a zero-size scrambled value was stored";
}

TEST(ScrambleBytes, XorsWithTheKeyRotatedByPositionAndIsItsOwnInverse) {
  const uint32_t key = 0x5A3C96E1u;
  std::vector<BYTE> zeros(70, 0);
  ScrambleBytes(zeros.data(), zeros.size(), key);
  const uint64_t doubled = (static_cast<uint64_t>(key) << 32) | key;
  for (size_t i = 0; i < zeros.size(); ++i)
    EXPECT_EQ(static_cast<BYTE>(doubled >> (i % 32)), zeros[i]) << "byte " << i;
  EXPECT_EQ(0xE1, zeros[0]);
  EXPECT_EQ(0x96, zeros[8]);
  EXPECT_EQ(zeros[0], zeros[32]);
  ScrambleBytes(zeros.data(), zeros.size(), key);
  EXPECT_EQ(std::vector<BYTE>(70, 0), zeros);
}

// Whatever the registry holds, reads stay inside the value, the text is
// terminated and the out-arguments of a failed read keep their preset.
TEST_F(RegTest, HostileValuesAreReadSafely) {
  const struct {
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> bytes;
    bool string_ok;
    std::wstring text;
    bool dword_ok;
    uint32_t dword;
  } cases[] = {
      {L"sz0", REG_SZ, {}, false, L"", false, 0},
      {L"sz1", REG_SZ, {'A'}, false, L"", false, 0},
      {L"sz2 terminator only", REG_SZ, {0, 0}, true, L"", false, 0},
      {L"sz3 half character", REG_SZ, {'A', 0, 'B'}, true, L"A", false, 0},
      {L"sz3 no zero byte", REG_SZ, {'A', 'B', 'C'}, true, L"\x4241", false, 0},
      {L"sz4 no terminator", REG_SZ, {'A', 0, 'B', 0}, true, L"AB", false, 0},
      {L"sz embedded terminator", REG_SZ, {'A', 0, 0, 0, 'B', 0}, true, L"A", false, 0},
      {L"expand", REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0}, true, L"%X%", false, 0},
      {L"dword", REG_DWORD, {1, 2, 3, 4}, false, L"", true, 0x04030201u},
      {L"binary4", REG_BINARY, {1, 0, 0, 0}, false, L"", true, 1},
      {L"binary2", REG_BINARY, {1, 0}, false, L"", false, 0},
      {L"dword short", REG_DWORD, {9}, false, L"", false, 0},
      {L"qword", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, false, L"", false, 0},
      {L"text of four bytes", REG_SZ, {'1', 0, 0, 0}, true, L"1", false, 0},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetRawValue(reg_.Key(), c.name, c.type, c.bytes)) << c.name;
    ExpectStored(c.name, c.type, c.bytes);
    std::wstring text = L"preset";
    EXPECT_EQ(c.string_ok, reg_.QueryString(c.name, text)) << c.name;
    EXPECT_EQ(c.string_ok ? c.text : L"preset", text) << c.name;
    uint32_t dword = 77;
    EXPECT_EQ(c.dword_ok, reg_.QueryDWORD(c.name, dword)) << c.name;
    EXPECT_EQ(c.dword_ok ? c.dword : 77u, dword) << c.name;
    std::string narrow = "preset";
    bool narrow_ok = reg_.QueryStringA(WideToNarrowName(c.name).c_str(), narrow);
    if (c.type != REG_SZ && c.type != REG_EXPAND_SZ) {
      EXPECT_FALSE(narrow_ok) << c.name;
    }
    if (narrow_ok) {
      EXPECT_LE(narrow.size(), c.bytes.size()) << c.name;
    } else {
      EXPECT_EQ("preset", narrow) << c.name;
    }
  }
}

TEST_F(RegTest, HostileMultiStringsAreReadSafely) {
  const struct {
    const char* label;
    std::vector<BYTE> bytes;
    bool ok;
    std::vector<std::wstring> values;
  } cases[] = {
      {"0 bytes", {}, false, {L"preset"}},
      {"1 byte", {'a'}, false, {L"preset"}},
      {"2 zero bytes", {0, 0}, true, {}},
      {"no terminator", {'a', 0, 'b', 0}, true, {L"ab"}},
      {"odd size", {'a', 0, 0, 0, 'b'}, true, {L"a"}},
      {"empty piece ends the list", {'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0}, true, {L"a"}},
      {"leading empty piece", {0, 0, 'b', 0, 0, 0}, true, {}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetRawValue(reg_.Key(), L"multi", REG_MULTI_SZ, c.bytes)) << c.label;
    std::vector<std::wstring> values = {L"preset"};
    EXPECT_EQ(c.ok, reg_.QueryMultiString(L"multi", values)) << c.label;
    EXPECT_EQ(c.values, values) << c.label;
  }
}

TEST_F(RegTest, HugeUnterminatedStringIsReadWhole) {
  std::vector<BYTE> bytes(1 << 20);
  for (size_t i = 0; i < bytes.size(); i += 2) {
    bytes[i] = 'q';
    bytes[i + 1] = 0;
  }
  bytes.push_back('r');  // odd size: the half character is dropped
  ASSERT_TRUE(SetRawValue(reg_.Key(), L"huge", REG_SZ, bytes));
  std::wstring text;
  ASSERT_TRUE(reg_.QueryString(L"huge", text));
  EXPECT_TRUE(std::wstring(1 << 19, L'q') == text) << text.size();
  std::vector<std::wstring> multi;
  ASSERT_TRUE(SetRawValue(reg_.Key(), L"hugemulti", REG_MULTI_SZ, bytes));
  ASSERT_TRUE(reg_.QueryMultiString(L"hugemulti", multi));
  ASSERT_EQ(1u, multi.size());
  EXPECT_TRUE(text == multi[0]);
}

TEST(RegReaders, FallBackWhenKeyOrValueIsMissingOrUnreadable) {
  TempRegKey temp;
  {
    Reg reg;
    ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, temp.path().c_str(), KEY_ALL_ACCESS));
    ASSERT_TRUE(reg.SetDWORD(L"number", 42));
    ASSERT_TRUE(reg.SetString(L"text", L"hello"));
    ASSERT_TRUE(reg.SetBinary(L"short", "\x01", 1));
  }
  const std::wstring missing_key = temp.path() + L"\\absent";
  const struct {
    std::wstring path;
    const wchar_t* name;
    uint32_t dword;
    std::wstring text;
  } cases[] = {
      {temp.path(), L"number", 42, L""}, {temp.path(), L"text", 5, L"hello"},
      {temp.path(), L"short", 5, L""},   {temp.path(), L"absent", 5, L""},
      {missing_key, L"number", 5, L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.dword, ReadRegDWORD(c.path.c_str(), c.name, 5)) << c.name;
    EXPECT_EQ(c.text, ReadRegString(c.path.c_str(), c.name)) << c.name;
  }
}

// A closed key handle is invalid, unless the next open was given the same value.
bool Closed(HKEY old, HKEY current) {
  if (old == current) return true;
  DWORD values = 0;
  return ::RegQueryInfoKeyW(old, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                            nullptr, nullptr, nullptr, nullptr) == ERROR_INVALID_HANDLE;
}

TEST(RegLifecycle, ReopeningClosesTheFirstKeyAndFailureLeavesItClosed) {
  TempRegKey first, second;
  HKEY last = nullptr;
  {
    Reg reg;
    EXPECT_FALSE(reg.IsOpen());
    EXPECT_EQ(nullptr, reg.Key());
    ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, first.path().c_str(), KEY_READ));
    HKEY first_key = reg.Key();
    ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, second.path().c_str(), KEY_ALL_ACCESS));
    EXPECT_TRUE(Closed(first_key, reg.Key())) << "first key still open";
    ASSERT_TRUE(reg.SetDWORD(L"marker", 1));
    EXPECT_EQ(1u, ReadRegDWORD(second.path().c_str(), L"marker", 0));
    EXPECT_EQ(0u, ReadRegDWORD(first.path().c_str(), L"marker", 0));

    HKEY second_key = reg.Key();
    ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, (first.path() + L"\\made").c_str(), KEY_ALL_ACCESS));
    EXPECT_TRUE(Closed(second_key, reg.Key())) << "Create kept the previous key";
    EXPECT_TRUE(KeyExists(first.path() + L"\\made"));

    HKEY made_key = reg.Key();
    EXPECT_FALSE(reg.Open(HKEY_LOCAL_MACHINE, (first.path() + L"\\absent").c_str(), KEY_READ));
    EXPECT_FALSE(reg.IsOpen());
    EXPECT_EQ(nullptr, reg.Key());
    EXPECT_TRUE(Closed(made_key, nullptr)) << "failed Open kept the previous key";
    uint32_t error = 0;
    reg.GetLastError(&error);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), error);
    reg.GetLastError(nullptr);

    uint32_t value = 9;
    std::wstring text = L"keep";
    EXPECT_FALSE(reg.QueryDWORD(L"marker", value));
    EXPECT_FALSE(reg.QueryString(L"marker", text));
    EXPECT_FALSE(reg.SetDWORD(L"marker", 2));
    EXPECT_EQ(9u, value);
    EXPECT_EQ(L"keep", text);

    ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, first.path().c_str(), KEY_READ));
    HKEY closed_key = reg.Key();
    reg.Close();
    reg.Close();
    EXPECT_FALSE(reg.IsOpen());
    EXPECT_TRUE(Closed(closed_key, nullptr));
    ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, first.path().c_str(), KEY_READ));
    last = reg.Key();
  }
  EXPECT_TRUE(Closed(last, nullptr)) << "destructor left the key open";
}

TEST(RegDelete, SubKeyTreeIsDeletedDepthFirst) {
  TempRegKey temp;
  const std::wstring tree = temp.path() + L"\\tree";
  for (const wchar_t* sub : {L"", L"\\a", L"\\a\\b", L"\\a\\b\\c", L"\\d"}) {
    Reg reg;
    ASSERT_TRUE(reg.Create(HKEY_LOCAL_MACHINE, (tree + sub).c_str(), KEY_ALL_ACCESS)) << sub;
    ASSERT_TRUE(reg.SetDWORD(L"v1", 1));
    ASSERT_TRUE(reg.SetString(L"v2", L"x"));
  }
  Reg reg;
  ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, temp.path().c_str(), KEY_ALL_ACCESS));
  EXPECT_TRUE(reg.DeleteSubKey(L"tree"));
  EXPECT_FALSE(KeyExists(tree));
  EXPECT_FALSE(reg.DeleteSubKey(L"tree")) << "deleting a missing key succeeded";
  EXPECT_FALSE(reg.DeleteSubKey(L"")) << "an empty name would delete the key itself";
}

TEST(RegDelete, DeleteContentsEmptiesTheKeyButKeepsIt) {
  TempRegKey temp;
  Reg reg;
  ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, temp.path().c_str(), KEY_ALL_ACCESS));
  EXPECT_FALSE(reg.DeleteContents()) << "nothing to delete";
  ASSERT_TRUE(reg.SetDWORD(L"v", 1));
  ASSERT_TRUE(reg.SetMultiString(L"m", {L"a"}));
  {
    Reg sub;
    ASSERT_TRUE(sub.Create(HKEY_LOCAL_MACHINE, (temp.path() + L"\\s\\t").c_str(), KEY_ALL_ACCESS));
    ASSERT_TRUE(sub.SetDWORD(L"w", 2));
  }
  EXPECT_TRUE(reg.DeleteContents());
  std::vector<std::wstring> names;
  EXPECT_FALSE(reg.EnumValueNames(names));
  EXPECT_FALSE(reg.EnumSubKeys(names));
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(KeyExists(temp.path()));
}

TEST_F(RegTest, EnumeratesNamesStringsAndIntegers) {
  ASSERT_TRUE(reg_.SetDWORD(L"d_max", 0xFFFFFFFFu));
  ASSERT_TRUE(reg_.SetDWORD(L"d_seven", 7));
  ASSERT_TRUE(reg_.SetString(L"s_neg", L"-12"));
  ASSERT_TRUE(reg_.SetString(L"s_word", L"abc"));
  ASSERT_TRUE(reg_.SetString(L"s_long", std::wstring(200, L'z')));  // 402 bytes: skipped
  ASSERT_TRUE(reg_.SetBinary(L"b", "\x01\x02", 2));
  ASSERT_TRUE(SetRawValue(reg_.Key(), L"s_odd", REG_SZ, {'4', 0, '2'}));
  for (const wchar_t* key : {L"k1", L"k2_longer_name"}) {
    Reg sub;
    ASSERT_TRUE(sub.Create(reg_.Key(), key, KEY_ALL_ACCESS));
  }

  std::vector<std::wstring> names;
  EXPECT_TRUE(reg_.EnumValueNames(names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::wstring>{L"b", L"d_max", L"d_seven", L"s_long", L"s_neg", L"s_odd",
                                       L"s_word"}),
            names);

  std::vector<std::pair<std::wstring, std::wstring>> texts;
  EXPECT_TRUE(reg_.EnumStringValues(texts));
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ((std::vector<std::pair<std::wstring, std::wstring>>{{L"d_max", L"4294967295"},
                                                                {L"d_seven", L"7"},
                                                                {L"s_neg", L"-12"},
                                                                {L"s_odd", L"4"},
                                                                {L"s_word", L"abc"}}),
            texts);

  std::vector<std::pair<std::wstring, int32_t>> numbers;
  EXPECT_TRUE(reg_.EnumIntValues(numbers));
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ((std::vector<std::pair<std::wstring, int32_t>>{
                {L"d_max", -1}, {L"d_seven", 7}, {L"s_neg", -12}, {L"s_odd", 4}}),
            numbers);

  std::vector<std::wstring> keys;
  EXPECT_TRUE(reg_.EnumSubKeys(keys));
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ((std::vector<std::wstring>{L"k1", L"k2_longer_name"}), keys);
}

TEST_F(RegTest, RawNameListingsReportTheirSizeThenFill) {
  ASSERT_TRUE(reg_.SetDWORD(L"ab", 1));
  ASSERT_TRUE(reg_.SetDWORD(L"c", 2));
  {
    Reg sub;
    ASSERT_TRUE(sub.Create(reg_.Key(), L"xyz", KEY_ALL_ACCESS));
  }
  uint32_t size = 0;
  EXPECT_TRUE(reg_.QueryValueNames(nullptr, size));
  EXPECT_EQ(6u, size);  // "ab\0c\0\0"
  std::vector<wchar_t> small(size - 1, L'#');
  uint32_t small_size = static_cast<uint32_t>(small.size());
  EXPECT_FALSE(reg_.QueryValueNames(small.data(), small_size));
  EXPECT_EQ(6u, small_size);
  EXPECT_EQ(std::vector<wchar_t>(size - 1, L'#'), small);
  std::vector<wchar_t> buffer(size, L'#');
  EXPECT_TRUE(reg_.QueryValueNames(buffer.data(), size));
  EXPECT_EQ(std::wstring(L"ab\0c\0\0", 6), std::wstring(buffer.data(), buffer.size()));

  size = 0;
  EXPECT_TRUE(reg_.QuerySubKeyNames(nullptr, size));
  EXPECT_EQ(5u, size);
  std::vector<wchar_t> keys(size, L'#');
  EXPECT_TRUE(reg_.QuerySubKeyNames(keys.data(), size));
  EXPECT_EQ(std::wstring(L"xyz\0\0", 5), std::wstring(keys.data(), keys.size()));
}

TEST_F(RegTest, DeleteValueAndSizeOfMissingValue) {
  ASSERT_TRUE(reg_.SetString(L"v", L"abc"));
  uint32_t size = 0;
  EXPECT_TRUE(reg_.QueryValueSize(L"v", size));
  EXPECT_EQ(8u, size);
  EXPECT_TRUE(reg_.DeleteValue(L"v"));
  EXPECT_FALSE(reg_.DeleteValue(L"v"));
  size = 3;
  EXPECT_FALSE(reg_.QueryValueSize(L"v", size));
  EXPECT_EQ(3u, size);
}

// The operation table: the std::wstring entries reach the const wchar_t* ones.
class CountingReg : public Reg {
 public:
  bool SetBinary(const wchar_t* name, const void* data, uint32_t size) override {
    ++binary_writes;
    return Reg::SetBinary(name, data, size);
  }
  using Reg::SetBinary;
  bool SetDWORD(const wchar_t* name, uint32_t value) override {
    ++dword_writes;
    return Reg::SetDWORD(name, value);
  }
  using Reg::SetDWORD;
  bool QueryBinary(const wchar_t* name, void* buffer, uint32_t size) override {
    ++binary_reads;
    return Reg::QueryBinary(name, buffer, size);
  }
  using Reg::QueryBinary;
  int binary_writes = 0, dword_writes = 0, binary_reads = 0;
};

TEST(RegTable, StringOverloadsAndScrambledValuesGoThroughTheTable) {
  TempRegKey temp;
  CountingReg reg;
  ASSERT_TRUE(reg.Open(HKEY_LOCAL_MACHINE, temp.path().c_str(), KEY_ALL_ACCESS));
  RegBase& base = reg;
  ASSERT_TRUE(base.SetBinary(std::wstring(L"b"), "x", 1));
  ASSERT_TRUE(base.SetDWORD(std::wstring(L"d"), 3));
  char byte = 0;
  ASSERT_TRUE(base.QueryBinary(std::wstring(L"b"), &byte, 1));
  ASSERT_TRUE(base.SetScrambledBinary(L"s", "abc", 3));
  char out[3];
  uint32_t size = 3;
  ASSERT_TRUE(base.QueryScrambledBinary(L"s", out, size));
  EXPECT_EQ(2, reg.binary_writes);
  EXPECT_EQ(1, reg.dword_writes);
  EXPECT_EQ(2, reg.binary_reads);
  EXPECT_EQ('x', byte);
  EXPECT_EQ(std::string("abc"), std::string(out, 3));
}

}  // namespace
