#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "ipc/queue_names.h"
#include "ipc/smipczub.h"
#include "support/guarded_region.h"

namespace {

using namespace queue_layout;
using testing_support::GuardedRegion;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

TEST(QueueLayout, RecordFitsChecksCapacityWithoutOverflow) {
  struct Case {
    const char* what;
    uint64_t used, payload, region;
    bool fits;
  };
  const Case cases[] = {
      {"exact fit in an empty region", 16, 4096 - 2 - 84 - 16, 4096, true},
      {"one byte more than the exact fit", 16, 4096 - 2 - 84 - 16 + 1, 4096, false},
      {"exact fit after records", 1000, 4096 - 2 - 84 - 1000, 4096, true},
      {"one byte over after records", 1000, 4096 - 2 - 84 - 1000 + 1, 4096, false},
      {"payload of zero bytes", 16, 0, 4096, false},
      {"payload near 2^64", 16, kMax, 4096, false},
      {"payload 2^64 - 84 (sum wraps)", 16, kMax - 83, 4096, false},
      {"usedBytes near 2^64", kMax, 1, 4096, false},
      {"usedBytes just past the usable end", 4096 - 1, 1, 4096, false},
      {"usedBytes at the usable end", 4096 - 2, 1, 4096, false},
      {"usedBytes below the header", 8, 1, 4096, false},
      {"region smaller than header and tail", 16, 1, 17, false},
      {"region of 2^64 - 1 bytes", 16, 1000, kMax, true},
      {"region of 2^64 - 1 bytes, payload 2^64 - 1", 16, kMax, kMax, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.fits, RecordFits(c.used, c.payload, c.region)) << c.what;
  EXPECT_EQ(4096u - 2 - 84 - 16, FreePayloadBytes(16, 4096));
  EXPECT_EQ(0u, FreePayloadBytes(4096 - 2 - 84, 4096));
  EXPECT_EQ(1u, FreePayloadBytes(4096 - 2 - 85, 4096));
}

TEST(QueueLayout, ItemHeaderBytes) {
  struct Case {
    const char* what;
    std::wstring name;
    std::wstring stored;
  };
  const Case cases[] = {
      {"empty name", L"", L""},
      {"short name", L"scan-1", L"scan-1"},
      {"35 units kept whole", std::wstring(35, L'x'), std::wstring(35, L'x')},
      {"36 units cut to 35", std::wstring(36, L'y'), std::wstring(35, L'y')},
      {"60 units cut to 35", std::wstring(25, L'a') + std::wstring(35, L'b'),
       std::wstring(25, L'a') + std::wstring(10, L'b')},
      {"embedded NUL ends the name", std::wstring(L"ab\0cd", 5), L"ab"},
      {"non-ASCII units", L"\u00e9\u4e2d\U0001F600", L"\u00e9\u4e2d\U0001F600"},
  };
  for (const Case& c : cases) {
    ItemHeader item = MakeItemHeader(c.name, 0x0102030405060708ull);
    unsigned char bytes[84];
    std::memcpy(bytes, &item, sizeof bytes);
    EXPECT_EQ(0xEE, bytes[0]) << c.what;
    EXPECT_EQ(0xFF, bytes[1]) << c.what;
    EXPECT_EQ(0xCD, bytes[2]) << c.what;
    EXPECT_EQ(0xAB, bytes[3]) << c.what;
    for (size_t i = 0; i < 36; ++i) {
      wchar_t expected = i < c.stored.size() ? c.stored[i] : L'\0';
      wchar_t unit = static_cast<wchar_t>(bytes[4 + 2 * i] | (bytes[5 + 2 * i] << 8));
      EXPECT_EQ(expected, unit) << c.what << " unit " << i;
    }
    for (int i = 0; i < 8; ++i) EXPECT_EQ(8 - i, bytes[76 + i]) << c.what;
    EXPECT_EQ(c.stored, ItemName(item)) << c.what;
  }
}

// Appends a record the way a writer would, without any capacity check.
uint64_t PutRecord(uint8_t* region, uint64_t offset, uint32_t flag, uint64_t size,
                   uint64_t payload_bytes, const std::wstring& name = L"item") {
  ItemHeader item = MakeItemHeader(name, size);
  item.flag = flag;
  std::memcpy(region + offset, &item, sizeof item);
  for (uint64_t i = 0; i < payload_bytes; ++i) region[offset + 84 + i] = static_cast<uint8_t>(i);
  return offset + 84 + payload_bytes;
}

TEST(QueueLayout, ParseRecordsRejectsEveryCorruptRegionWithoutReadingPastIt) {
  constexpr uint64_t S = 1024;
  struct Case {
    const char* what;
    ParseResult result;
    size_t records;
    // Builds the region; returns {itemCount, usedBytes}.
    QueueHeader (*build)(uint8_t* region);
  };
  const Case cases[] = {
      {"empty region", ParseResult::kOk, 0, [](uint8_t*) { return kEmptyHeader; }},
      {"two valid records, odd payload", ParseResult::kOk, 2,
       [](uint8_t* r) {
         uint64_t end = PutRecord(r, 16, kItemFlag, 5, 5);
         end = PutRecord(r, end, kItemFlag, 10, 10);
         return QueueHeader{2, end};
       }},
      {"record filling the region to S - 2", ParseResult::kOk, 1,
       [](uint8_t* r) {
         uint64_t end = PutRecord(r, 16, kItemFlag, S - 2 - 16 - 84, S - 2 - 16 - 84);
         return QueueHeader{1, end};
       }},
      {"itemCount 0 with a stray usedBytes", ParseResult::kOk, 0,
       [](uint8_t*) { return QueueHeader{0, kMax}; }},
      {"size 0", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         uint64_t end = PutRecord(r, 16, kItemFlag, 4, 4);
         PutRecord(r, end, kItemFlag, 0, 0);
         return QueueHeader{2, end + 84};
       }},
      {"wrong flag after a valid record", ParseResult::kInvalidFlag, 0,
       [](uint8_t* r) {
         uint64_t end = PutRecord(r, 16, kItemFlag, 4, 4);
         end = PutRecord(r, end, 0xABCDFFEF, 4, 4);
         return QueueHeader{2, end};
       }},
      {"size running past usedBytes", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         uint64_t end = PutRecord(r, 16, kItemFlag, 5, 4);
         return QueueHeader{1, end};
       }},
      {"size running past the region", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         PutRecord(r, 16, kItemFlag, S, 4);
         return QueueHeader{1, S - 2};
       }},
      {"size 2^64 - 1", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         PutRecord(r, 16, kItemFlag, kMax, 4);
         return QueueHeader{1, 16 + 84 + 4};
       }},
      {"itemCount larger than the records present", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         uint64_t end = PutRecord(r, 16, kItemFlag, 4, 4);
         end = PutRecord(r, end, kItemFlag, 4, 4);
         return QueueHeader{3, end};
       }},
      {"itemCount 2^64 - 1", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         uint64_t end = PutRecord(r, 16, kItemFlag, 4, 4);
         return QueueHeader{kMax, end};
       }},
      {"usedBytes beyond the region", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         PutRecord(r, 16, kItemFlag, 4, 4);
         return QueueHeader{1, S + 100};
       }},
      {"usedBytes 2^64 - 1", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         PutRecord(r, 16, kItemFlag, 4, 4);
         return QueueHeader{1, kMax};
       }},
      {"usedBytes in the two spare bytes", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         PutRecord(r, 16, kItemFlag, S - 16 - 84, 4);
         return QueueHeader{1, S};
       }},
      {"usedBytes inside the header", ParseResult::kInvalidSize, 0,
       [](uint8_t*) { return QueueHeader{1, 8}; }},
      {"record header cut by usedBytes", ParseResult::kInvalidSize, 0,
       [](uint8_t* r) {
         PutRecord(r, 16, kItemFlag, 4, 4);
         return QueueHeader{1, 16 + 50};
       }},
  };
  for (const Case& c : cases) {
    GuardedRegion region(S);
    WriteHeader(region.data(), c.build(region.data()));
    std::vector<const ItemHeader*> items{reinterpret_cast<const ItemHeader*>(1)};
    EXPECT_EQ(c.result, ParseRecords(region.data(), region.size(), items)) << c.what;
    EXPECT_EQ(c.records, items.size()) << c.what;
  }
}

TEST(QueueLayout, ParseRecordsHandsOutRecordsInWriteOrder) {
  GuardedRegion region(512);
  uint8_t* r = region.data();
  std::wstring first = L"first";
  std::wstring second = std::wstring(L"\u00e9t\u00e9");
  uint64_t end = PutRecord(r, 16, kItemFlag, 3, 3, L"a");
  ItemHeader item = MakeItemHeader(L"b", (second.size() + 1) * 2);
  std::memcpy(r + end, &item, 84);
  std::memcpy(r + end + 84, second.c_str(), (second.size() + 1) * 2);
  end += 84 + (second.size() + 1) * 2;
  WriteHeader(r, QueueHeader{2, end});
  std::vector<const ItemHeader*> items;
  ASSERT_EQ(ParseResult::kOk, ParseRecords(r, region.size(), items));
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(reinterpret_cast<const ItemHeader*>(r + 16), items[0]);
  EXPECT_EQ(L"a", ItemName(*items[0]));
  EXPECT_EQ(3u, uint64_t{items[0]->size});
  EXPECT_EQ(L"b", ItemName(*items[1]));
  EXPECT_EQ(second, ItemText(items[1]));
  EXPECT_EQ(r + 16 + 84 + 3 + 84, ItemPayload(items[1]));
}

TEST(QueueNames, ObjectNamesFollowTheScheme) {
  EXPECT_STREQ(L"CntrlCtrShrMemHighQueue", kHighQueueName);
  EXPECT_EQ(20480u, kHighQueueSize);
  EXPECT_STREQ(L"CntrlCtrShrMemLowQueue", kLowQueueName);
  EXPECT_EQ(1048576u, kLowQueueSize);
  EXPECT_EQ(L"Global\\CntrlCtrShrMemLowQueue", QueueObjectName(kLowQueueName));
  EXPECT_EQ(L"Global\\Mutex_CntrlCtrShrMemLowQueue", QueueMutexName(kLowQueueName));
  EXPECT_EQ(L"Global\\Event_CntrlCtrShrMemLowQueue", QueueDataSignalName(kLowQueueName));
  EXPECT_EQ(L"Global\\Event_CntrlCtrShrMemLowQueue_SrvRun", QueueServerMarkerName(kLowQueueName));
}

}  // namespace
