#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <string>

#include "common/handle.h"
#include "quorvane.h"
#include "support/log_tail.h"
#include "support/test_support.h"

namespace {

// A value of nullptr means the key is absent.
struct LookupCase {
  const wchar_t* value;
  bool bool_default_false;
  bool bool_default_true;
  int32_t int_result;  // GetKeyValueInt with the default 2147483647
  int32_t invoker_pid;
};

const LookupCase kLookupCases[] = {
    {nullptr, false, true, INT_MAX, -1},
    {L"", false, true, INT_MAX, -1},
    {L"0", false, false, 0, 0},
    {L"1", true, true, 1, 1},
    {L"true", true, true, 0, 0},
    {L"TRUE", true, true, 0, 0},
    {L"True", true, true, 0, 0},
    {L" true", true, true, 0, 0},
    {L"truex", true, true, 0, 0},
    {L"t", false, false, 0, 0},
    {L"false", false, false, 0, 0},
    {L"FALSE", false, false, 0, 0},
    {L"yes", false, false, 0, 0},
    {L"2", false, false, 2, 2},
    {L" 1", false, false, 1, 1},
    {L"01", false, false, 1, 1},
    {L"57", false, false, 57, 57},
    {L" 57", false, false, 57, 57},
    {L"57abc", false, false, 57, 57},
    {L"+5", false, false, 5, 5},
    {L"4242", false, false, 4242, 4242},
    {L"-1", false, false, -1, -1},
    {L"2147483647", false, false, INT_MAX, INT_MAX},
    {L"2147483648", false, false, INT_MAX, INT_MIN},
    {L"-2147483648", false, false, INT_MIN, INT_MIN},
    {L"-2147483649", false, false, INT_MIN, INT_MAX},  // -2147483649 mod 2^32
    {L"4294967295", false, false, INT_MAX, -1},
    {L"4294967296", false, false, INT_MAX, -1},
    {L"99999999999999999999", false, false, INT_MAX, -1},
};

TEST(GenericPacketW, TypedLookupsFollowStreamExtraction) {
  for (const LookupCase& c : kLookupCases) {
    const std::wstring shown = c.value ? L"\"" + std::wstring(c.value) + L"\"" : L"(absent)";
    SCOPED_TRACE(testing::Message() << "value " << std::string(shown.begin(), shown.end()));
    GenericPacketW packet;
    if (c.value) {
      packet.SetKeyValue(L"K", c.value);
      packet.SetKeyValue(L"InvokerPID", c.value);
      packet.SetKeyValue(L"HiddenScan", c.value);
    }
    EXPECT_EQ(c.bool_default_false, packet.GetKeyValueBool(std::wstring(L"K"), false));
    EXPECT_EQ(c.bool_default_true, packet.GetKeyValueBool(std::wstring(L"K"), true));
    EXPECT_EQ(c.bool_default_true, packet.GetKeyValueBool(std::string("K"), true));
    EXPECT_EQ(c.bool_default_false, packet.IsHiddenScan());
    EXPECT_EQ(c.int_result, packet.GetKeyValueInt(L"K", INT_MAX));
    EXPECT_EQ(c.invoker_pid, packet.GetInvokerPID());
  }
}

TEST(GenericPacketW, IntLookupDefaultOnlyForAbsentOrEmpty) {
  GenericPacketW packet;
  EXPECT_EQ(7, packet.GetKeyValueInt(L"K", 7));
  packet.SetKeyValue(L"K", L"");
  EXPECT_EQ(7, packet.GetKeyValueInt(L"K", 7));
  packet.SetKeyValue(L"K", L"x");
  EXPECT_EQ(0, packet.GetKeyValueInt(L"K", 7));
}

TEST(GenericPacketW, SettersStoreTheirText) {
  GenericPacketW packet;
  EXPECT_TRUE(packet.SetKeyValue(L"Score", L"1"));
  EXPECT_TRUE(packet.SetKeyValue(L"Score", L"2"));
  EXPECT_TRUE(packet.SetKeyValue(L"score", L"3"));
  EXPECT_TRUE(packet.SetKeyValueInt(L"Int", -1));
  EXPECT_TRUE(packet.SetKeyValueInt(L"IntMin", INT_MIN));
  EXPECT_TRUE(packet.SetKeyValueInt(L"Zero", 0));
  EXPECT_TRUE(packet.SetKeyValueUInt(L"UInt", 4294967295u));
  EXPECT_TRUE(packet.SetKeyValueBool(L"BoolW", true));
  EXPECT_TRUE(packet.SetKeyValueBool(std::string("BoolA"), false));
  packet.SetResult("Pending");
  packet.SetStatus("Running");
  packet.SetPriorityHigh();
  packet.SetInvokerPID(4242);

  const std::map<std::wstring, std::wstring> expected = {
      {L"BoolA", L"false"},  {L"BoolW", L"true"},     {L"Int", L"-1"},
      {L"IntMin", L"-2147483648"}, {L"InvokerPID", L"4242"}, {L"Priority", L"high"},
      {L"Result", L"Pending"}, {L"Score", L"2"},      {L"Status", L"Running"},
      {L"UInt", L"4294967295"}, {L"Zero", L"0"},       {L"score", L"3"},
  };
  EXPECT_EQ(expected, packet.keyvallist);
  EXPECT_EQ(L"2", packet.GetKeyValue(L"Score"));
  EXPECT_EQ(L"", packet.GetKeyValue(L"Missing"));
  EXPECT_EQ(4242, packet.GetInvokerPID());
}

TEST(GenericPacketW, HeaderAndRequestFields) {
  GenericPacketW packet;
  EXPECT_TRUE(packet.type.empty() && packet.subtype.empty() && packet.channelid.empty());
  EXPECT_TRUE(packet.keyvallist.empty());
  packet.SetHeader("ODAVScanner", "MalwareDetectPacket", "");
  EXPECT_EQ(L"ODAVScanner", packet.type);
  EXPECT_EQ(L"MalwareDetectPacket", packet.subtype);
  EXPECT_EQ(L"", packet.channelid);
  packet.SetHeader("", "s\xE9", "{id}");  // ANSI code page 1252
  EXPECT_EQ(L"", packet.type);
  EXPECT_EQ(L"s\u00E9", packet.subtype);
  EXPECT_EQ(L"{id}", packet.channelid);
  EXPECT_EQ(L"", packet.GetScanRequestedBy());
  packet.SetKeyValue(L"ScanRequestedBy", L"RequestedByCommandLineScanner");
  EXPECT_EQ(L"RequestedByCommandLineScanner", packet.GetScanRequestedBy());
}

TEST(GenericPacketW, CreationTimeIsLow32BitsOfNow) {
  GenericPacketW packet;
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  packet.SetCreationTime();
  int64_t after = static_cast<int64_t>(std::time(nullptr));
  int64_t stored = std::stoll(packet.GetKeyValue(L"CreationTime"));
  EXPECT_GE(stored, static_cast<int32_t>(static_cast<uint32_t>(before)));
  EXPECT_LE(stored, static_cast<int32_t>(static_cast<uint32_t>(after)));
}

TEST(GenericPacketW, CopyThroughBaseCarriesAllFields) {
  AVMalwareDetectPacket detect;
  detect.SetHeader("ODAVScanner", "MalwareDetectPacket", "{scan}");
  detect.SetKeyValue(L"MalwareName", L"EICAR");
  detect.SetKeyValueInt(L"Score", 75);
  const GenericPacketW& base = detect;
  GenericPacketW copy(base);
  EXPECT_EQ(detect.type, copy.type);
  EXPECT_EQ(detect.subtype, copy.subtype);
  EXPECT_EQ(detect.channelid, copy.channelid);
  EXPECT_EQ(detect.keyvallist, copy.keyvallist);
  copy.SetKeyValue(L"MalwareName", L"other");  // deep copy
  EXPECT_EQ(L"EICAR", detect.GetKeyValue(L"MalwareName"));
  GenericPacketW* owned = new AVConcludeScanPacket();
  owned->SetKeyValue(L"k", L"v");
  delete owned;  // through the virtual destructor
}

TEST(GenericPacketW, SignalNamedEventSetsAnExistingEventOnly) {
  testing_support::LogTail log;  // opens the log file before handles are counted
  const DWORD handles_before = testing_support::HandleCount();
  const std::wstring name = testing_support::UniqueName(L"Local\\qvtest_named_event");
  {
    GenericPacketW packet;
    EXPECT_FALSE(packet.SignalNamedEvent()) << "no NamedEvent entry";
    packet.SetKeyValue(L"NamedEvent", L"");
    EXPECT_FALSE(packet.SignalNamedEvent()) << "empty NamedEvent";
    EXPECT_EQ(0, log.Count(L"Need to signal named event")) << "nothing logged without a name";
    packet.SetKeyValue(L"NamedEvent", name);
    EXPECT_FALSE(packet.SignalNamedEvent()) << "event does not exist yet";
    EXPECT_EQ(1, log.Count(L"[ALW  ] - GenericPacketW - Need to signal named event:" + name));

    UniqueHandle event(::CreateEventW(nullptr, /*bManualReset=*/TRUE, /*bInitialState=*/FALSE,
                                      name.c_str()));
    ASSERT_TRUE(event.valid());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event.get(), 0));
    EXPECT_TRUE(packet.SignalNamedEvent());
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), ::WaitForSingleObject(event.get(), 0));

    const std::wstring mutex_name = testing_support::UniqueName(L"Local\\qvtest_not_an_event");
    UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, mutex_name.c_str()));
    ASSERT_TRUE(mutex.valid());
    packet.SetKeyValue(L"NamedEvent", mutex_name);
    EXPECT_FALSE(packet.SignalNamedEvent()) << "a mutex of that name";
  }
  EXPECT_EQ(handles_before, testing_support::HandleCount()) << "the event handle is closed";
}

}  // namespace
