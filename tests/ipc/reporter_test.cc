#include "ipc/reporter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/product.h"
#include "ipc/queue_names.h"
#include "common/ex_common.h"
#include "support/log_tail.h"
#include "support/queue_server.h"
#include "support/test_support.h"

namespace {

using testing_support::ChildProcess;
using testing_support::LogTail;
using testing_support::RecordingServer;
using testing_support::RegValueOverride;

// The product service's end: serves both queues and appends every record to
// a file, one line each: queue letter, tab, item name, tab, JSON text.
QV_CHILD_MAIN(reporter_queue_server) {
  const std::wstring& out_path = args.at(0);
  const std::wstring& stop_name = args.at(1);
  const std::wstring& ready_name = args.at(2);
  RecordingServer high, low;
  if (!high.Create(kChannelServer, kHighQueueName, kHighQueueSize)) return 2;
  if (!low.Create(kChannelServer, kLowQueueName, kLowQueueSize)) return 3;
  HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, stop_name.c_str());
  HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, ready_name.c_str());
  if (ready) ::SetEvent(ready);
  FILE* out = _wfopen(out_path.c_str(), L"ab");
  if (!out) return 4;
  size_t written_high = 0, written_low = 0;
  auto drain = [&](RecordingServer& server, size_t& written, char letter) {
    std::vector<testing_support::ReceivedRecord> records = server.Records();
    for (; written < records.size(); ++written) {
      const auto& r = records[written];
      std::string line(1, letter);
      line += '\t';
      line += ExCommon::WideToAnsi(r.name);
      line += '\t';
      int n = ::WideCharToMultiByte(CP_UTF8, 0, r.text.data(), static_cast<int>(r.text.size()),
                                    nullptr, 0, nullptr, nullptr);
      std::string utf8(n, '\0');
      ::WideCharToMultiByte(CP_UTF8, 0, r.text.data(), static_cast<int>(r.text.size()), &utf8[0],
                            n, nullptr, nullptr);
      line += utf8;
      line += '\n';
      std::fwrite(line.data(), 1, line.size(), out);
    }
    std::fflush(out);
  };
  while (::WaitForSingleObject(stop, 5) == WAIT_TIMEOUT) {
    drain(high, written_high, 'H');
    drain(low, written_low, 'L');
  }
  drain(high, written_high, 'H');
  drain(low, written_low, 'L');
  std::fclose(out);
  ::CloseHandle(stop);
  if (ready) ::CloseHandle(ready);
  return 0;
}

struct Record {
  char queue;
  std::string name;
  std::string json;
};

class ServiceProcess {
 public:
  ServiceProcess()
      : dir_(),
        out_(dir_.Sub(L"records.txt")),
        stop_name_(testing_support::UniqueName(L"Local\\qv_reporter_stop")) {
    std::wstring ready_name = testing_support::UniqueName(L"Local\\qv_reporter_ready");
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
    started_ = child_.Start(L"reporter_queue_server", {out_, stop_name_, ready_name});
    HANDLE waits[2] = {ready, child_.process()};
    started_ = started_ && ::WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    ::CloseHandle(ready);
  }
  ~ServiceProcess() { Shutdown(); }

  bool started() const { return started_; }

  void Shutdown() {
    if (!child_.process()) return;
    HANDLE stop = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, stop_name_.c_str());
    if (stop) {
      ::SetEvent(stop);
      ::CloseHandle(stop);
    }
    child_.Wait(30000);
  }

  std::vector<Record> Records() const {
    std::string bytes;
    testing_support::ReadWholeFile(out_, bytes);
    std::vector<Record> records;
    size_t at = 0;
    while (at < bytes.size()) {
      size_t end = bytes.find('\n', at);
      if (end == std::string::npos) break;  // a line still being written
      std::string line = bytes.substr(at, end - at);
      at = end + 1;
      size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
      if (tab1 != 1 || tab2 == std::string::npos) continue;
      records.push_back({line[0], line.substr(2, tab2 - 2), line.substr(tab2 + 1)});
    }
    return records;
  }

  // Bounded polling for at least `count` records.
  std::vector<Record> WaitForRecords(size_t count, DWORD timeout_ms = 10000) const {
    ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
    std::vector<Record> records = Records();
    while (records.size() < count && ::GetTickCount64() < deadline) {
      ::Sleep(10);
      records = Records();
    }
    return records;
  }

 private:
  testing_support::TempDir dir_;
  std::wstring out_;
  std::wstring stop_name_;
  ChildProcess child_;
  bool started_ = false;
};

GenericPacketW Progress(const std::wstring& channel, int n) {
  GenericPacketW packet;
  packet.type = L"ODAVScanner";
  packet.subtype = L"ScannedItemPacket";
  packet.channelid = channel;
  packet.keyvallist[L"Seq"] = std::to_wstring(n);
  return packet;
}

std::string Seq(const Record& r) {
  size_t at = r.json.find("\"key\":\"Seq\",\"value\":\"");
  if (at == std::string::npos) return "";
  at += 21;
  return r.json.substr(at, r.json.find('"', at) - at);
}

ReporterThread::DrainTiming FastDrain() {
  ReporterThread::DrainTiming timing;
  timing.attempt_ms = 20;
  timing.grace_ms = 10;
  return timing;
}

class ReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    interval_.Remove();
    count_.Remove();
  }
  void TearDown() override { ReporterThread::Instance().Stop(FastDrain()); }

  RegValueOverride interval_{product::kAntiVirusKey, L"ReportFlushIntervalMS"};
  RegValueOverride count_{product::kAntiVirusKey, L"ReportFlushCount"};
};

TEST_F(ReporterTest, KeepsTheNewestLowPacketsAndSendsThemInOrderAtTheNextWake) {
  ServiceProcess service;
  ASSERT_TRUE(service.started());
  ReporterThread& reporter = ReporterThread::Instance();
  ASSERT_TRUE(reporter.Start());
  for (int i = 0; i < 10; ++i) reporter.EnqueueLow(Progress(L"scan-1", i));
  std::vector<Record> records = service.WaitForRecords(5);
  ::Sleep(600);  // more than two flush intervals: nothing else may follow
  records = service.Records();
  ASSERT_EQ(5u, records.size());
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ('L', records[i].queue);
    EXPECT_EQ("scan-1", records[i].name);
    EXPECT_EQ(std::to_string(5 + i), Seq(records[i])) << "record " << i;
  }
}

TEST_F(ReporterTest, StartLineShowsTheSettingsInUse) {
  struct Case {
    bool set;
    DWORD interval, count;
    const wchar_t* line;
  } cases[] = {
      {false, 0, 0, L"Report Flush interval = 250, Report Flush Percent = 5"},
      {true, 40, 3, L"Report Flush interval = 40, Report Flush Percent = 3"},
      {true, 0, 0, L"Report Flush interval = 0, Report Flush Percent = 1"},
      {true, 0xFFFFFFFF, 7, L"Report Flush interval = 60000, Report Flush Percent = 7"},
  };
  for (const Case& c : cases) {
    if (c.set) {
      interval_.SetDword(c.interval);
      count_.SetDword(c.count);
    }
    LogTail log;
    ReporterThread::Instance().Start();
    EXPECT_TRUE(log.Has(c.line)) << testing::PrintToString(std::wstring(c.line));
    ReporterThread::Instance().Stop(FastDrain());
  }
}

TEST_F(ReporterTest, ZeroIntervalPassesAgainAtOnceAndZeroCountKeepsTheNewest) {
  interval_.SetDword(0);
  count_.SetDword(0);
  ServiceProcess service;
  ASSERT_TRUE(service.started());
  ReporterThread& reporter = ReporterThread::Instance();
  ASSERT_TRUE(reporter.Start());
  for (int round = 0; round < 20; ++round) {
    reporter.EnqueueLow(Progress(L"fast", round));
    EXPECT_LE(reporter.LowCount(), 1u);
    ::Sleep(20);
  }
  std::vector<Record> records = service.WaitForRecords(10, 5000);
  EXPECT_GE(records.size(), 10u) << "a zero interval must not wait between passes";
}

TEST_F(ReporterTest, HighPacketsGoOutAfterTheCurrentLowPacket) {
  count_.SetDword(20);
  interval_.SetDword(60000);
  ServiceProcess service;
  ASSERT_TRUE(service.started());
  ReporterThread& reporter = ReporterThread::Instance();
  ASSERT_TRUE(reporter.Start());
  std::vector<std::wstring> order;  // reporter thread only, read after Stop
  int low_sent = 0;
  reporter.SetSendHookForTesting([&](const GenericPacketW& packet, bool high) {
    order.push_back(std::wstring(high ? L"H" : L"L") + packet.keyvallist.at(L"Seq"));
    if (!high && ++low_sent == 3)
      for (int i = 0; i < 2; ++i) reporter.EnqueueHigh(Progress(L"high", 100 + i));
  });
  for (int i = 0; i < 10; ++i) reporter.EnqueueLow(Progress(L"low", i));
  reporter.EnqueueHigh(Progress(L"high", 99));
  std::vector<Record> records;
  ReporterThread::DrainTiming timing = FastDrain();
  timing.grace_ms = 2000;  // the pass that drains the high queue also sends the low ones
  reporter.Stop(timing);  // wakes the thread: one pass serves everything
  reporter.SetSendHookForTesting(nullptr);
  std::vector<std::wstring> expected = {L"H99", L"L0",   L"L1", L"L2", L"H100", L"H101",
                                        L"L3",  L"L4",   L"L5", L"L6", L"L7",   L"L8", L"L9"};
  EXPECT_EQ(expected, order);
  records = service.WaitForRecords(13);
  ASSERT_EQ(13u, records.size());
  size_t low = 0, high = 0;
  for (const Record& r : records) {
    if (r.queue == 'L') EXPECT_EQ(std::to_string(low++), Seq(r)) << "low packets keep their order";
    else ++high;
  }
  EXPECT_EQ(10u, low);
  EXPECT_EQ(3u, high);
}

TEST_F(ReporterTest, StopDrainsTheHighQueueAndHonoursItsBound) {
  ReporterThread& reporter = ReporterThread::Instance();
  {
    // Empty high queue: no drain lines at all.
    LogTail log;
    reporter.Start();
    reporter.Stop(FastDrain());
    EXPECT_FALSE(log.Has(L"high items in queue"));
    EXPECT_FALSE(log.Has(L"no more high priority items"));
  }
  {
    // A live service: the wake signals drain the queue, then the grace period.
    ServiceProcess service;
    ASSERT_TRUE(service.started());
    interval_.SetDword(60000);  // only Stop's wake signals make the thread pass
    reporter.Start();
    for (int i = 0; i < 3; ++i) reporter.EnqueueHigh(Progress(L"high", i));
    LogTail log;
    reporter.Stop(FastDrain());
    EXPECT_TRUE(log.Has(L"ReporterThread::Stopped when there are 3 high items in queue.."));
    EXPECT_TRUE(log.Has(L"ReporterThread::Stop : no more high priority items , attempts = "));
    EXPECT_EQ(3u, service.WaitForRecords(3).size());
  }
  {
    // Nobody drains (no thread): exactly the bounded number of attempts.
    for (int i = 0; i < 2; ++i) reporter.EnqueueHigh(Progress(L"stuck", i));
    LogTail log;
    ULONGLONG started = ::GetTickCount64();
    reporter.Stop(FastDrain());
    EXPECT_TRUE(log.Has(L"ReporterThread::Stopped when there are 2 high items in queue.."));
    EXPECT_FALSE(log.Has(L"no more high priority items"));
    EXPECT_LT(::GetTickCount64() - started, 5000u);
    EXPECT_EQ(2u, reporter.HighCount());
    // Leave the queue empty for the next test.
    ServiceProcess service;
    reporter.Start();
    reporter.Stop(FastDrain());
    EXPECT_EQ(0u, reporter.HighCount());
  }
}

TEST_F(ReporterTest, RestartsAndRefusesASecondStart) {
  ServiceProcess service;
  ASSERT_TRUE(service.started());
  ReporterThread& reporter = ReporterThread::Instance();
  DWORD handles = testing_support::HandleCount();
  for (int cycle = 0; cycle < 3; ++cycle) {
    ASSERT_TRUE(reporter.Start());
    EXPECT_FALSE(reporter.Start()) << "a second Start must not start a second thread";
    reporter.EnqueueLow(Progress(L"cycle", cycle));
    EXPECT_EQ(static_cast<size_t>(cycle + 1), service.WaitForRecords(cycle + 1).size());
    reporter.Stop(FastDrain());
    EXPECT_FALSE(reporter.running());
  }
  EXPECT_LE(testing_support::HandleCount(), handles + 2);
}

TEST_F(ReporterTest, StopWhileThreadsEnqueueNeverWritesAfterDisconnect) {
  interval_.SetDword(0);
  ServiceProcess service;
  ASSERT_TRUE(service.started());
  ReporterThread& reporter = ReporterThread::Instance();
  for (int cycle = 0; cycle < 50; ++cycle) {
    ASSERT_TRUE(reporter.Start());
    std::atomic<bool> go{true};
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
      producers.emplace_back([&, t] {
        for (int i = 0; go; ++i) reporter.EnqueueLow(Progress(L"stress" + std::to_wstring(t), i));
      });
    }
    ::Sleep(5);
    reporter.Stop(FastDrain());
    // Records written before the disconnect may take a while to arrive on a
    // loaded machine: settled once the count holds still for 200 ms.
    size_t settled = service.Records().size();
    for (int quiet = 0, waited = 0; quiet < 200 && waited < 10000; waited += 20) {
      ::Sleep(20);
      size_t now = service.Records().size();
      quiet = now == settled ? quiet + 20 : 0;
      settled = now;
    }
    ::Sleep(100);  // the producers go on enqueueing meanwhile
    EXPECT_EQ(settled, service.Records().size()) << "a record was written after Stop, cycle "
                                                 << cycle;
    go = false;
    for (auto& p : producers) p.join();
  }
}

}  // namespace
