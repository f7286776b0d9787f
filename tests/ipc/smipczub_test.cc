#include "ipc/smipczub.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/handle.h"
#include "common/log.h"
#include "ipc/queue_names.h"
#include "support/queue_server.h"
#include "support/test_support.h"

namespace {

using namespace queue_layout;
using testing_support::ChildProcess;
using testing_support::InLog;
using testing_support::LogTail;
using testing_support::WaitForLog;
using testing_support::RecordingServer;
using testing_support::UniqueName;

class TestClient : public SMIPCZUB {
 public:
  void OnItemsReceived(std::vector<const ItemHeader*>&) override {}
};

std::wstring Num(uint64_t n) { return std::to_wstring(n); }
uint64_t ToU64(const std::wstring& s) { return std::wcstoull(s.c_str(), nullptr, 10); }

std::vector<std::wstring> SplitBar(const std::wstring& op) {
  std::vector<std::wstring> parts;
  std::wstringstream in(op);
  std::wstring part;
  while (std::getline(in, part, L'|')) parts.push_back(part);
  return parts;
}

std::string PatternBytes(uint64_t n) {
  std::string bytes(static_cast<size_t>(n), '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return bytes;
}

// A writer process. Arguments: queue name, size, then operations; the exit
// code has bit i set when operation i succeeded.
//   create                      Create as client
//   text|NAME|TEXT|RETRIES      WriteW
//   bytes|NAME|N                Write of N pattern bytes
//   full|NAME                   Write, expecting a refusal for lack of room
//   signal|EVENT  wait|EVENT    set / wait for (30 s) a named event
QV_CHILD_MAIN(queue_writer) {
  if (args.size() < 2) return 255;
  TestClient channel;
  const std::wstring queue = args[0];
  const uint64_t size = ToU64(args[1]);
  int result = 0;
  for (size_t i = 2; i < args.size() && i - 2 < 8; ++i) {
    std::vector<std::wstring> op = SplitBar(args[i]);
    bool ok = false;
    if (op[0] == L"create") {
      ok = channel.Create(kChannelClient, queue, size);
    } else if (op[0] == L"text" && op.size() == 4) {
      ok = channel.WriteW(op[1], op[2], static_cast<uint32_t>(ToU64(op[3])));
    } else if (op[0] == L"bytes" && op.size() == 3) {
      std::string bytes = PatternBytes(ToU64(op[2]));
      ok = channel.Write(op[1], bytes.data(), bytes.size());
    } else if (op[0] == L"full" && op.size() == 2) {
      bool no_room = false;
      ok = !channel.Write(op[1], "x", 1, &no_room) && no_room;
    } else if (op[0] == L"signal" && op.size() == 2) {
      UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, op[1].c_str()));
      ok = event && ::SetEvent(event.get());
    } else if (op[0] == L"wait" && op.size() == 2) {
      UniqueHandle event(::OpenEventW(SYNCHRONIZE, FALSE, op[1].c_str()));
      ok = event && ::WaitForSingleObject(event.get(), 30000) == WAIT_OBJECT_0;
    }
    if (ok) result |= 1 << (i - 2);
  }
  channel.Disconnect();
  return result;
}

// A server process: serves the queue until the stop event is set; the exit
// code is the number of records received (capped), or 250 when Create failed.
QV_CHILD_MAIN(queue_server) {
  if (args.size() < 4) return 255;
  RecordingServer server;
  if (!server.Create(kChannelServer, args[0], ToU64(args[1]))) return 250;
  UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[2].c_str()));
  UniqueHandle stop(::OpenEventW(SYNCHRONIZE, FALSE, args[3].c_str()));
  if (!ready || !stop) return 251;
  ::SetEvent(ready.get());
  ::WaitForSingleObject(stop.get(), 60000);
  server.Disconnect();
  size_t count = server.Count();
  return static_cast<int>(count < 200 ? count : 200);
}

// Dies holding the queue mutex halfway through a record: takes the mutex,
// writes a record header and part of its payload past usedBytes (counters
// untouched, as a writer killed mid-copy leaves them), says so, and waits to
// be killed.
QV_CHILD_MAIN(queue_mutex_holder) {
  if (args.size() < 3) return 255;
  const std::wstring queue = args[0];
  const uint64_t size = ToU64(args[1]);
  UniqueHandle mutex(
      ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, QueueMutexName(queue).c_str()));
  UniqueHandle mapping(
      ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, QueueObjectName(queue).c_str()));
  if (!mutex || !mapping) return 250;
  UniqueView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
  if (!view) return 251;
  if (::WaitForSingleObject(mutex.get(), 5000) != WAIT_OBJECT_0) return 252;
  uint8_t* region = static_cast<uint8_t*>(view.get());
  QueueHeader header = ReadHeader(region);
  ItemHeader item = MakeItemHeader(L"partial", 200);
  std::memcpy(region + header.usedBytes, &item, sizeof item);
  std::memset(region + header.usedBytes + sizeof item, 'P', 100);
  UniqueHandle holding(::OpenEventW(EVENT_MODIFY_STATE, FALSE, args[2].c_str()));
  if (holding) ::SetEvent(holding.get());
  ::Sleep(60000);
  return 0;
}

std::wstring StressText(uint64_t proc, uint64_t thread, uint64_t seq) {
  std::wstring text = L"p" + Num(proc) + L"t" + Num(thread) + L"#" + Num(seq) + L"#";
  text.append(static_cast<size_t>(7 + seq % 61), static_cast<wchar_t>(L'a' + seq % 26));
  return text;
}

bool ParseStressText(const std::wstring& text, uint64_t& proc, uint64_t& thread, uint64_t& seq) {
  const wchar_t* p = text.c_str();
  wchar_t* end = nullptr;
  if (*p++ != L'p') return false;
  proc = std::wcstoull(p, &end, 10);
  if (end == p || *end != L't') return false;
  p = end + 1;
  thread = std::wcstoull(p, &end, 10);
  if (end == p || *end != L'#') return false;
  p = end + 1;
  seq = std::wcstoull(p, &end, 10);
  return end != p && *end == L'#';
}

// Writer threads of one process; writes the refused records, "thread seq"
// per line, to the result file.
QV_CHILD_MAIN(queue_stress_writer) {
  if (args.size() < 6) return 255;
  const std::wstring queue = args[0];
  const uint64_t size = ToU64(args[1]);
  const uint64_t proc = ToU64(args[2]);
  const uint64_t threads = ToU64(args[3]);
  const uint64_t count = ToU64(args[4]);
  std::vector<std::vector<uint64_t>> refused(threads);
  std::vector<std::thread> workers;
  std::atomic<bool> created{true};
  for (uint64_t t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      TestClient channel;
      if (!channel.Create(kChannelClient, queue, size)) created = false;
      const std::wstring name = L"p" + Num(proc) + L"t" + Num(t);
      for (uint64_t seq = 0; seq < count; ++seq)
        if (!channel.WriteW(name, StressText(proc, t, seq), 0)) refused[t].push_back(seq);
      channel.Disconnect();
    });
  }
  for (auto& w : workers) w.join();
  std::ofstream out(args[5].c_str());
  for (uint64_t t = 0; t < threads; ++t)
    for (uint64_t seq : refused[t]) out << t << ' ' << seq << '\n';
  out.close();
  return created && out ? 0 : 1;
}

// Writes numbered records until killed.
QV_CHILD_MAIN(queue_endless_writer) {
  if (args.size() < 2) return 255;
  TestClient channel;
  channel.Create(kChannelClient, args[0], ToU64(args[1]));
  for (uint64_t seq = 0; seq < 1000000; ++seq) channel.WriteW(L"endless", StressText(9, 0, seq), 0);
  return 0;
}

class NamedEvent {
 public:
  NamedEvent() : name_(UniqueName(L"Global\\qvq_evt")) {
    handle_.reset(::CreateEventW(nullptr, /*manual_reset=*/TRUE, /*initial_state=*/FALSE,
                                 name_.c_str()));
  }
  const std::wstring& name() const { return name_; }
  bool Wait(DWORD ms = 30000) const { return ::WaitForSingleObject(handle_.get(), ms) == WAIT_OBJECT_0; }
  void Set() const { ::SetEvent(handle_.get()); }

 private:
  std::wstring name_;
  UniqueHandle handle_;
};

std::string ReadRegion(const std::wstring& queue, uint64_t size) {
  UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, QueueObjectName(queue).c_str()));
  if (!mapping) return "";
  UniqueView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, size));
  if (!view) return "";
  return std::string(static_cast<const char*>(view.get()), static_cast<size_t>(size));
}

uint64_t U64At(const std::string& bytes, size_t offset) {
  uint64_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

std::string RecordBytes(const std::wstring& name, const std::string& payload) {
  ItemHeader item = MakeItemHeader(name, payload.size());
  return std::string(reinterpret_cast<const char*>(&item), sizeof item) + payload;
}

std::string TextBytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
}

int RunWriter(const std::wstring& queue, uint64_t size, const std::vector<std::wstring>& ops) {
  ChildProcess child;
  std::vector<std::wstring> args{queue, Num(size)};
  args.insert(args.end(), ops.begin(), ops.end());
  if (!child.Start(L"queue_writer", args)) return -2;
  return child.Wait();
}

// Holds the server's handler on a first record, so later writes stay in the
// region for the test to look at.
void StallServer(RecordingServer& server, const std::wstring& queue, uint64_t size) {
  server.Hold();
  ASSERT_EQ(3, RunWriter(queue, size, {L"create", L"text|stall|x|0"}));
  ASSERT_TRUE(server.WaitForCount(1));
}

TEST(SMIPCZUB, RegionBytesAfterWritesFromAnotherProcess) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 4096;
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  std::string empty = ReadRegion(queue, size);
  ASSERT_EQ(size, empty.size());
  EXPECT_EQ(0u, U64At(empty, 0));
  EXPECT_EQ(16u, U64At(empty, 8));

  StallServer(server, queue, size);
  const std::wstring long_name = std::wstring(30, L'n') + L"ABCDEFGHIJ";  // 40 units
  const std::wstring name35 = std::wstring(35, L'm');
  const std::wstring text = L"{\"k\":\"h\u00e9llo \u4e2d\"}";
  ASSERT_EQ(7, RunWriter(queue, size,
                         {L"create", L"bytes|" + long_name + L"|5", L"text|" + name35 + L"|" +
                                                                         text + L"|0"}));

  std::string region = ReadRegion(queue, size);
  std::string first = RecordBytes(std::wstring(30, L'n') + L"ABCDE", PatternBytes(5));
  std::string second = RecordBytes(name35, TextBytes(text));
  EXPECT_EQ(2u, U64At(region, 0));
  EXPECT_EQ(16u + first.size() + second.size(), U64At(region, 8));
  EXPECT_EQ(first, region.substr(16, first.size()));
  EXPECT_EQ(second, region.substr(16 + first.size(), second.size()));
  // The odd payload leaves the second record's size field at an odd offset.
  EXPECT_EQ((text.size() + 1) * 2, U64At(region, 16 + first.size() + 76));
  EXPECT_EQ(std::string("\xEE\xFF\xCD\xAB", 4), region.substr(16 + first.size(), 4));

  server.Release();
  ASSERT_TRUE(server.WaitForCount(3));
  std::vector<testing_support::ReceivedRecord> records = server.Records();
  EXPECT_EQ(first, records[1].raw);
  EXPECT_EQ(second, records[2].raw);
  EXPECT_EQ(text, records[2].text);
  EXPECT_EQ(records[1].batch, records[2].batch) << "one wake takes every waiting record";
  std::string drained = ReadRegion(queue, size);
  EXPECT_EQ(0u, U64At(drained, 0));
  EXPECT_EQ(16u, U64At(drained, 8));
}

TEST(SMIPCZUB, CapacityBoundaryAndRetriesUntilTheServerDrains) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 4096;
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  StallServer(server, queue, size);

  LogTail log;
  const uint64_t exact = size - 2 - 16 - 84;
  EXPECT_EQ(3, RunWriter(queue, size, {L"create", L"bytes|fits|" + Num(exact)}));
  EXPECT_EQ(3, RunWriter(queue, size, {L"create", L"full|over"}))
      << "one byte more than the room left is refused as not fitting";
  EXPECT_TRUE(WaitForLog(log, LOG_ERROR, L"SMIPCZUB::Write: not enough room to store size 1"));
  EXPECT_FALSE(InLog(log, LOG_WARN, L"SMIPCZUB::WriteW: Out of storage retry attempt")) << "no retry when retries are 0";
  std::string region = ReadRegion(queue, size);
  EXPECT_EQ(1u, U64At(region, 0));
  EXPECT_EQ(size - 2, U64At(region, 8));

  // A refused WriteW with retries succeeds once the server has drained.
  const std::wstring object = QueueObjectName(queue);
  ChildProcess retrier;
  ASSERT_TRUE(retrier.Start(L"queue_writer", {queue, Num(size), L"create", L"text|late|later|200"}));
  EXPECT_TRUE(WaitForLog(log, LOG_WARN,
                         L"SMIPCZUB::WriteW: Out of storage retry attempt #0 for Shared memory " +
                             object));
  server.Release();
  EXPECT_EQ(3, retrier.Wait());
  ASSERT_TRUE(server.WaitForCount(3));
  EXPECT_EQ(L"later", server.Records()[2].text);
  EXPECT_TRUE(WaitForLog(log, LOG_ALW, L"SMIPCZUB::WriteW: Out of storage retry attempt #",
                         L"for Shared memory " + object + L" - Succeeded"));
}

TEST(SMIPCZUB, ClientCreatedBeforeTheServerWritesOnceItExists) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 8192;
  LogTail log;
  NamedEvent create_failed, server_up;
  ChildProcess writer;
  ASSERT_TRUE(writer.Start(L"queue_writer",
                           {queue, Num(size), L"create", L"text|early|lost|0",
                            L"signal|" + create_failed.name(), L"wait|" + server_up.name(),
                            L"text|early|delivered|0"}));
  ASSERT_TRUE(create_failed.Wait());
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  server_up.Set();
  EXPECT_EQ(0x1C, writer.Wait()) << "Create and the first write fail, the later write succeeds";
  ASSERT_TRUE(server.WaitForCount(1));
  EXPECT_EQ(L"delivered", server.Records()[0].text);
  const std::wstring object = QueueObjectName(queue);
  EXPECT_TRUE(WaitForLog(log, LOG_WARN,
                         L"SMIPCZUB::Client could not open file mapping for queue name : " +
                             object + L" , object (2).\n"));
  EXPECT_TRUE(InLog(log, LOG_WARN, L"SMIPCZUB::Write: Shared memory " + object + L" is not ready."));
}

TEST(SMIPCZUB, SecondServerIsRefusedWhileTheFirstRuns) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 8192;
  LogTail log;
  NamedEvent ready, stop;
  ChildProcess first;
  ASSERT_TRUE(first.Start(L"queue_server", {queue, Num(size), ready.name(), stop.name()}));
  ASSERT_TRUE(ready.Wait());

  RecordingServer second;
  EXPECT_FALSE(second.Create(kChannelServer, queue, size));
  EXPECT_TRUE(WaitForLog(log, LOG_FATAL,
                         L"SMIPCZUB::Create: another server is already listening on this event : " +
                             QueueServerMarkerName(queue)));
  second.Disconnect();

  TestClient client;
  EXPECT_TRUE(client.Create(kChannelClient, queue, size));
  EXPECT_TRUE(client.WriteW(L"c", L"to the first server", 0));
  client.Disconnect();
  // Bounded polling until the first server has the record.
  for (int i = 0; i < 500 && U64At(ReadRegion(queue, size), 8) != 16; ++i) ::Sleep(10);
  stop.Set();
  EXPECT_EQ(1, first.Wait());

  RecordingServer after;
  EXPECT_TRUE(after.Create(kChannelServer, queue, size)) << "the marker goes with its server";
}

// Corrupt regions as a hostile process could leave them.
struct CorruptCase {
  const char* what;
  const wchar_t* line;
  QueueHeader (*build)(uint8_t* region, uint64_t size);
};

uint64_t Put(uint8_t* region, uint64_t offset, uint32_t flag, uint64_t size, uint64_t bytes) {
  ItemHeader item = MakeItemHeader(L"bad", size);
  item.flag = flag;
  std::memcpy(region + offset, &item, sizeof item);
  std::memset(region + offset + sizeof item, 'c', static_cast<size_t>(bytes));
  return offset + sizeof item + bytes;
}

const CorruptCase kCorruptCases[] = {
    {"size 0", L"SMIPCZUB::GetItemProperties: Invalid Item Size.",
     [](uint8_t* r, uint64_t) {
       uint64_t end = Put(r, 16, kItemFlag, 6, 6);
       Put(r, end, kItemFlag, 0, 0);
       return QueueHeader{2, end + 84};
     }},
    {"wrong flag", L"SMIPCZUB::GetItemProperties: Invalid Item Flag.",
     [](uint8_t* r, uint64_t) {
       uint64_t end = Put(r, 16, kItemFlag, 6, 6);
       end = Put(r, end, 0x12345678, 6, 6);
       return QueueHeader{2, end};
     }},
    {"size running past usedBytes", L"SMIPCZUB::GetItemProperties: Invalid Item Size.",
     [](uint8_t* r, uint64_t size) {
       uint64_t end = Put(r, 16, kItemFlag, 6, 6);
       end = Put(r, end, kItemFlag, size, 6);
       return QueueHeader{2, end};
     }},
    {"itemCount larger than the records present",
     L"SMIPCZUB::GetItemProperties: Invalid Item Size.",
     [](uint8_t* r, uint64_t) {
       uint64_t end = Put(r, 16, kItemFlag, 6, 6);
       return QueueHeader{~uint64_t{0}, end};
     }},
    {"usedBytes beyond the region", L"SMIPCZUB::GetItemProperties: Invalid Item Size.",
     [](uint8_t* r, uint64_t) {
       Put(r, 16, kItemFlag, 6, 6);
       return QueueHeader{1, ~uint64_t{0}};
     }},
};

// Writes corrupt case N into the live region, then signals the server.
QV_CHILD_MAIN(queue_corrupter) {
  if (args.size() < 3) return 255;
  const uint64_t size = ToU64(args[1]);
  const size_t index = static_cast<size_t>(ToU64(args[2]));
  if (index >= sizeof kCorruptCases / sizeof kCorruptCases[0]) return 254;
  UniqueHandle mutex(
      ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, QueueMutexName(args[0]).c_str()));
  UniqueHandle mapping(
      ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, QueueObjectName(args[0]).c_str()));
  if (!mutex || !mapping) return 250;
  UniqueView view(::MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
  if (!view || ::WaitForSingleObject(mutex.get(), 5000) != WAIT_OBJECT_0) return 251;
  uint8_t* region = static_cast<uint8_t*>(view.get());
  WriteHeader(region, kCorruptCases[index].build(region, size));
  ::ReleaseMutex(mutex.get());
  UniqueHandle signal(
      ::OpenEventW(EVENT_MODIFY_STATE, FALSE, QueueDataSignalName(args[0]).c_str()));
  return signal && ::SetEvent(signal.get()) ? 0 : 252;
}

TEST(SMIPCZUB, CorruptRegionsDropTheBatchAndTheQueueRecovers) {
  const uint64_t size = 4096;
  for (size_t i = 0; i < sizeof kCorruptCases / sizeof kCorruptCases[0]; ++i) {
    const CorruptCase& c = kCorruptCases[i];
    const std::wstring queue = UniqueName(L"qvq");
    RecordingServer server;
    ASSERT_TRUE(server.Create(kChannelServer, queue, size)) << c.what;
    LogTail log;
    ChildProcess corrupter;
    ASSERT_TRUE(corrupter.Start(L"queue_corrupter", {queue, Num(size), Num(i)}));
    EXPECT_EQ(0, corrupter.Wait()) << c.what;
    EXPECT_TRUE(WaitForLog(log, LOG_ERROR, L"SMIPCZUB::Read: NULL Item Property.")) << c.what;
    EXPECT_TRUE(InLog(log, LOG_ERROR, c.line)) << c.what;
    // Bounded polling until the server has emptied the region.
    std::string region;
    for (int n = 0; n < 500; ++n) {
      region = ReadRegion(queue, size);
      if (U64At(region, 0) == 0) break;
      ::Sleep(10);
    }
    EXPECT_EQ(0u, U64At(region, 0)) << c.what;
    EXPECT_EQ(16u, U64At(region, 8)) << c.what;
    EXPECT_EQ(0u, server.Count()) << c.what << ": valid records before the bad one are dropped too";

    EXPECT_EQ(3, RunWriter(queue, size, {L"create", L"text|next|fine|0"})) << c.what;
    ASSERT_TRUE(server.WaitForCount(1)) << c.what;
    EXPECT_EQ(L"fine", server.Records()[0].text) << c.what;
    EXPECT_EQ(1u, server.Count()) << c.what;
  }
}

TEST(SMIPCZUB, WriterKilledHoldingTheMutexLeavesNoPartialRecord) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 8192;
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  EXPECT_EQ(3, RunWriter(queue, size, {L"create", L"text|before|one|0"}));
  ASSERT_TRUE(server.WaitForCount(1));

  NamedEvent holding;
  ChildProcess holder;
  ASSERT_TRUE(holder.Start(L"queue_mutex_holder", {queue, Num(size), holding.name()}));
  ASSERT_TRUE(holding.Wait());
  holder.Kill();

  EXPECT_EQ(3, RunWriter(queue, size, {L"create", L"text|after|two|0"}))
      << "the next writer acquires the abandoned mutex";
  ASSERT_TRUE(server.WaitForCount(2));
  std::vector<testing_support::ReceivedRecord> records = server.Records();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(L"one", records[0].text);
  EXPECT_EQ(L"after", records[1].name);
  EXPECT_EQ(L"two", records[1].text);
  EXPECT_EQ(RecordBytes(L"after", TextBytes(L"two")), records[1].raw);
}

TEST(SMIPCZUB, WriterKilledMidStreamLeavesOnlyIntactRecords) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 65536;
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  ChildProcess writer;
  ASSERT_TRUE(writer.Start(L"queue_endless_writer", {queue, Num(size)}));
  ASSERT_TRUE(server.WaitForCount(300));
  writer.Kill();
  EXPECT_EQ(3, RunWriter(queue, size, {L"create", L"text|after|last|0"}));
  std::vector<testing_support::ReceivedRecord> records;
  for (int i = 0; i < 3000; ++i) {
    records = server.Records();
    if (!records.empty() && records.back().name == L"after") break;
    ::Sleep(10);
  }
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(L"last", records.back().text);
  uint64_t next = 0;
  for (size_t i = 0; i + 1 < records.size(); ++i) {
    uint64_t proc = 0, thread = 0, seq = 0;
    ASSERT_EQ(L"endless", records[i].name) << "record " << i;
    ASSERT_TRUE(ParseStressText(records[i].text, proc, thread, seq)) << "record " << i;
    ASSERT_EQ(StressText(9, 0, seq), records[i].text) << "record " << i;
    ASSERT_GE(seq, next) << "record " << i;
    next = seq + 1;
  }
}

TEST(SMIPCZUB, ManyWritersEveryAcceptedRecordArrivesOnceInOrder) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 65536;
  const uint64_t procs = 2, threads = 4, count = 5000;
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  testing_support::TempDir dir;
  std::vector<std::unique_ptr<ChildProcess>> writers;
  for (uint64_t p = 0; p < procs; ++p) {
    writers.push_back(std::make_unique<ChildProcess>());
    ASSERT_TRUE(writers.back()->Start(
        L"queue_stress_writer",
        {queue, Num(size), Num(p), Num(threads), Num(count), dir.Sub(L"refused" + Num(p))}));
  }
  // Stall the server three times until writers report a full region, so
  // refusals happen under contention too.
  for (size_t stall = 1; stall <= 3; ++stall) {
    if (!server.WaitForCount(stall * 5000, 120000)) break;
    LogTail log;
    server.Hold();
    EXPECT_TRUE(WaitForLog(log, LOG_ERROR, L"SMIPCZUB::Write: not enough room to store size"));
    server.Release();
  }
  for (auto& w : writers) EXPECT_EQ(0, w->Wait(600000));

  std::set<std::pair<uint64_t, uint64_t>> refused;  // (writer, seq)
  for (uint64_t p = 0; p < procs; ++p) {
    std::ifstream in(dir.Sub(L"refused" + Num(p)).c_str());
    uint64_t t, seq;
    while (in >> t >> seq) refused.insert({p * threads + t, seq});
  }
  const size_t expected = procs * threads * count - refused.size();
  EXPECT_LT(0u, refused.size()) << "the stalls made writers refuse records";
  EXPECT_TRUE(server.WaitForCount(expected, 60000));
  std::vector<testing_support::ReceivedRecord> records = server.Records();
  EXPECT_EQ(expected, records.size());

  std::map<uint64_t, uint64_t> next;  // writer -> lowest seq it may still deliver
  std::set<std::pair<uint64_t, uint64_t>> seen;
  size_t bad = 0;
  for (const auto& r : records) {
    uint64_t proc = 0, thread = 0, seq = 0;
    if (!ParseStressText(r.text, proc, thread, seq) || r.text != StressText(proc, thread, seq) ||
        r.name != L"p" + Num(proc) + L"t" + Num(thread)) {
      if (++bad < 5) ADD_FAILURE() << "damaged record: " << testing::PrintToString(r.text);
      continue;
    }
    const uint64_t writer = proc * threads + thread;
    EXPECT_GE(seq, next[writer]) << "writer " << writer << " out of order or repeated at " << seq;
    next[writer] = seq + 1;
    EXPECT_TRUE(seen.insert({writer, seq}).second) << "delivered twice: " << writer << "/" << seq;
    EXPECT_EQ(0u, refused.count({writer, seq})) << "refused but delivered: " << writer << "/" << seq;
  }
  EXPECT_EQ(0u, bad);
  EXPECT_EQ(procs * threads * count, seen.size() + refused.size())
      << "every record was either delivered or reported refused";
}

TEST(SMIPCZUB, WriteOverlappingDisconnectNeverUsesAClosedChannel) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 65536;
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  for (int round = 0; round < 20; ++round) {
    TestClient client;
    ASSERT_TRUE(client.Create(kChannelClient, queue, size));
    std::atomic<int> written{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t)
      writers.emplace_back([&] {
        while (!done) {
          if (client.WriteW(L"race", L"payload", 0)) ++written;
          else break;
        }
      });
    for (int spin = 0; spin < 100000 && written < 3; ++spin) ::Sleep(0);
    client.Disconnect();
    done = true;
    for (auto& w : writers) w.join();
    EXPECT_FALSE(client.created());
    EXPECT_FALSE(client.WriteW(L"race", L"after", 0)) << "round " << round;
  }
}

TEST(SMIPCZUB, TwoChannelsOfOneProcessShareTheQueueInWriteOrder) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 8192;
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  TestClient reporter, one_shot;
  ASSERT_TRUE(reporter.Create(kChannelClient, queue, size));
  ASSERT_TRUE(one_shot.Create(kChannelClient, queue, size));
  std::vector<std::wstring> sent;
  for (int i = 0; i < 6; ++i) {
    TestClient& channel = i % 2 ? one_shot : reporter;
    sent.push_back(L"record " + std::to_wstring(i));
    ASSERT_TRUE(channel.WriteW(i % 2 ? L"once" : L"reporter", sent.back(), 0));
  }
  ASSERT_TRUE(server.WaitForCount(6));
  std::vector<testing_support::ReceivedRecord> records = server.Records();
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i], records[i].text) << "record " << i;
    EXPECT_EQ(i % 2 ? L"once" : L"reporter", records[i].name) << "record " << i;
  }
}

TEST(SMIPCZUB, LifecycleEdges) {
  const std::wstring queue = UniqueName(L"qvq");
  const uint64_t size = 8192;
  LogTail log;
  {
    TestClient never;
    EXPECT_TRUE(never.Disconnect()) << "never created";
    EXPECT_FALSE(never.WriteW(L"x", L"y", 0));
  }
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  EXPECT_FALSE(server.Create(kChannelServer, queue, size)) << "already created";
  EXPECT_TRUE(server.created());
  EXPECT_TRUE(WaitForLog(log, LOG_WARN, L"SMIPCZUB::Create: Channel clready created , allocated new object."));

  TestClient client;
  ASSERT_TRUE(client.Create(kChannelClient, queue, size));
  EXPECT_FALSE(client.Create(kChannelClient, queue, size));
  EXPECT_TRUE(client.WriteW(L"empty", L"", 0));
  EXPECT_FALSE(client.Write(L"null", nullptr, 4));
  EXPECT_TRUE(WaitForLog(log, LOG_ERROR, L"SMIPCZUB::Write: invalid data input."));
  ASSERT_TRUE(server.WaitForCount(1));
  EXPECT_EQ(RecordBytes(L"empty", std::string(2, '\0')), server.Records()[0].raw)
      << "an empty text is a 2-byte payload";

  TestClient wrong_type;
  EXPECT_FALSE(wrong_type.Create(7, queue, size));
  EXPECT_TRUE(WaitForLog(log, LOG_ERROR, L"SMIPCZUB::Create: Invalid Type (7).\n"));
  EXPECT_TRUE(WaitForLog(log, LOG_WARN,
                         L"SMIPCZUB::Client could not open file mapping for queue name : " +
                             QueueObjectName(queue)));

  TestClient bigger;
  EXPECT_FALSE(bigger.Create(kChannelClient, queue, size * 16)) << "a size beyond the mapping";
  EXPECT_TRUE(WaitForLog(log, LOG_ERROR,
                         L"Could not map view of file , Queue name : " + QueueObjectName(queue)));
  EXPECT_FALSE(bigger.WriteW(L"x", L"y", 0));

  TestClient tiny;
  EXPECT_FALSE(tiny.Create(kChannelClient, queue, 17));
  EXPECT_FALSE(tiny.WriteW(L"x", L"y", 0));
  EXPECT_TRUE(WaitForLog(log, LOG_ERROR, L"SMIPCZUB::Could not AcquireLock , err = 6"));
  EXPECT_TRUE(InLog(log, LOG_ERROR, L"SMIPCZUB::Write: Cannot lock Shared memory..."));

  DWORD handles = testing_support::HandleCount();
  for (int i = 0; i < 10; ++i) {
    RecordingServer cycle;
    const std::wstring name = UniqueName(L"qvq");
    ASSERT_TRUE(cycle.Create(kChannelServer, name, size));
    TestClient writer;
    ASSERT_TRUE(writer.Create(kChannelClient, name, size));
    EXPECT_TRUE(writer.WriteW(L"n", L"t", 0));
    EXPECT_TRUE(cycle.WaitForCount(1));
    writer.Disconnect();
    cycle.Disconnect();
  }
  EXPECT_EQ(handles, testing_support::HandleCount()) << "no handle grows per create/disconnect";
  server.Disconnect();
  EXPECT_TRUE(WaitForLog(log, LOG_ALW, L"SMIPCZUB::Write: threadListener terminated.\n"));
}

}  // namespace
