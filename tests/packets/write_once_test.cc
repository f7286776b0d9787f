#include "packets/write_once.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/log.h"
#include "ipc/queue_names.h"
#include "packets/json.h"
#include "support/queue_server.h"
#include "support/test_support.h"

namespace {

using testing_support::ChildProcess;
using testing_support::CountLogLines;
using testing_support::InLog;
using testing_support::LogTail;
using testing_support::WaitForLog;
using testing_support::RecordingServer;
using testing_support::UniqueName;

GenericPacketW DetectionPacket() {
  GenericPacketW packet;
  packet.SetHeader("ODAVScanner", "MalwareDetectPacket", "SCAN-42");
  packet.SetKeyValue(L"MalwareName", L"Eicar \u00e9\u4e2d");
  packet.SetKeyValue(L"Path", L"C:\\dir\\file.exe");
  return packet;
}

std::string RecordBytes(const std::wstring& name, const std::wstring& text) {
  ItemHeader item = queue_layout::MakeItemHeader(name, (text.size() + 1) * 2);
  return std::string(reinterpret_cast<const char*>(&item), sizeof item) +
         std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2);
}

// WriteOnce from another process: queue name, size, item name; exit 1 on success.
QV_CHILD_MAIN(write_once) {
  if (args.size() < 3) return 255;
  return WriteOnce(DetectionPacket(), args[0], std::wcstoull(args[1].c_str(), nullptr, 10), args[2])
             ? 1
             : 0;
}

TEST(WriteOnce, WithoutServerFailsAndLeavesNothingOpen) {
  const std::wstring queue = UniqueName(L"qvwo");
  const GenericPacketW packet = DetectionPacket();
  EXPECT_FALSE(WriteOnce(packet, queue, 20480, L"SCAN-42"));  // the logger opens its file here
  LogTail log;
  const DWORD handles = testing_support::HandleCount();
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(WriteOnce(packet, queue, 20480, L"SCAN-42"));
  EXPECT_EQ(handles, testing_support::HandleCount()) << "no handle or view left open";
  EXPECT_TRUE(WaitForLog(log, LOG_WARN,
                         L"SMIPCZUB::Client could not open file mapping for queue name : " +
                             QueueObjectName(queue) + L" , object (2).\n"));
  EXPECT_EQ(5u, CountLogLines(log, LOG_ERROR,
                              L"GenericPacketW::WriteOnce: Failed to init IPC client : Queue : " +
                                  queue + L"."));
  EXPECT_FALSE(InLog(log, LOG_ERROR, L"GenericPacketW::WriteOnce: Failed to write IPC data")) << "nothing is written after a failed init";
}

TEST(WriteOnce, DeliversOneRecordWithTheJsonTextFromAnotherProcess) {
  const std::wstring queue = UniqueName(L"qvwo");
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, kHighQueueSize));
  const std::wstring long_id = L"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}-extra";
  ChildProcess child;
  ASSERT_TRUE(child.Start(L"write_once", {queue, std::to_wstring(kHighQueueSize), long_id}));
  EXPECT_EQ(1, child.Wait());
  ASSERT_TRUE(server.WaitForCount(1));
  const std::wstring text = GetJDocument(DetectionPacket());
  ASSERT_FALSE(text.empty());
  std::vector<testing_support::ReceivedRecord> records = server.Records();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(long_id.substr(0, 35), records[0].name);
  EXPECT_EQ(text, records[0].text);
  EXPECT_EQ(RecordBytes(long_id, text), records[0].raw);
}

TEST(WriteOnce, FullRegionFailsAtOnceWithTheWriteLine) {
  const std::wstring queue = UniqueName(L"qvwo");
  const uint64_t size = 2048;
  RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, size));
  server.Hold();
  IpcClientGenPacketW filler;
  ASSERT_TRUE(filler.Create(kChannelClient, queue, size));
  ASSERT_TRUE(filler.WriteW(L"stall", L"x", 0));
  ASSERT_TRUE(server.WaitForCount(1));
  const std::wstring text = GetJDocument(DetectionPacket());
  // Leave one byte less than this packet's record needs.
  const uint64_t need = 84 + (text.size() + 1) * 2;
  std::string fill(static_cast<size_t>(size - 2 - 16 - 84 - (need - 1)), 'f');
  ASSERT_TRUE(filler.Write(L"fill", fill.data(), fill.size()));

  LogTail log;
  EXPECT_FALSE(WriteOnce(DetectionPacket(), queue, size, L"SCAN-42"));
  EXPECT_TRUE(WaitForLog(log, LOG_ERROR,
                         L"SMIPCZUB::Write: not enough room to store size " +
                             std::to_wstring((text.size() + 1) * 2)));
  EXPECT_TRUE(InLog(log, LOG_ERROR,
                    L"GenericPacketW::WriteOnce: Failed to write IPC data to Queue :" + queue + L"."));
  EXPECT_FALSE(InLog(log, LOG_WARN, L"SMIPCZUB::WriteW: Out of storage retry attempt")) << "no retry";
  server.Release();
  EXPECT_TRUE(server.WaitForCount(2));
  // Drained: now the same packet fits.
  EXPECT_TRUE(WriteOnce(DetectionPacket(), queue, size, L"SCAN-42"));
  EXPECT_TRUE(server.WaitForCount(3));
  filler.Disconnect();
}

}  // namespace
