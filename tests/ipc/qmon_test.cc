#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "common/handle.h"
#include "ipc/queue_names.h"
#include "ipc/smipczub.h"
#include "support/queue_server.h"
#include "support/test_support.h"

namespace {

using testing_support::UniqueName;

class Client : public SMIPCZUB {
 public:
  void OnItemsReceived(std::vector<const ItemHeader*>&) override {}
};

std::wstring Qmon(const std::wstring& args) {
  return L"\"" + testing_support::ExecutableDir() + L"\\qmon.exe\" " + args;
}

// Runs qmon in the background; Join gives its exit code and output.
class QmonRun {
 public:
  explicit QmonRun(const std::wstring& args)
      : thread_([this, args] { code_ = testing_support::RunCommand(Qmon(args), &output_, 60000); }) {}
  ~QmonRun() {
    if (thread_.joinable()) thread_.join();
  }
  int Join() {
    thread_.join();
    return code_;
  }
  const std::string& output() const { return output_; }

 private:
  int code_ = -1;
  std::string output_;
  std::thread thread_;
};

bool WaitForServer(const std::wstring& queue) {
  for (int i = 0; i < 3000; ++i) {
    // The marker comes before the mapping: wait for both.
    UniqueHandle marker(::OpenEventW(SYNCHRONIZE, FALSE, QueueServerMarkerName(queue).c_str()));
    UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, QueueObjectName(queue).c_str()));
    if (marker && mapping) return true;
    ::Sleep(10);
  }
  return false;
}

// A server that has just appeared may not have drained or finished setting
// up yet on a loaded machine: bounded retries for any failure.
bool WriteWhenReady(SMIPCZUB& client, const std::wstring& name, const std::wstring& text) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (client.WriteW(name, text, 0)) return true;
    ::Sleep(50);
  }
  return false;
}

const wchar_t kDetection[] =
    L"{\"type\":\"ODAVScanner\",\"subtype\":\"MalwareDetectPacket\",\"channelid\":\"S-1\","
    L"\"keyvallist\":[{\"key\":\"Path\",\"value\":\"C:\\\\x\\\\\u00e9\u4e2d.exe\"}]}";
const wchar_t kProgress[] =
    L"{\"type\":\"ODAVScanner\",\"subtype\":\"ScannedItemPacket\",\"channelid\":\"S-1\","
    L"\"keyvallist\":[]}";

TEST(Qmon, PrintsEachRecordAndCountsPerQueueAndSubtype) {
  const std::wstring high = UniqueName(L"qvqm");
  const std::wstring low = UniqueName(L"qvqm");
  QmonRun run(L"--queue " + high + L":20480 --queue " + low + L":65536 --count 4 --duration 60");
  ASSERT_TRUE(WaitForServer(high));
  ASSERT_TRUE(WaitForServer(low));
  Client to_high, to_low;
  ASSERT_TRUE(to_high.Create(kChannelClient, high, 20480));
  ASSERT_TRUE(to_low.Create(kChannelClient, low, 65536));
  EXPECT_TRUE(WriteWhenReady(to_high, L"S-1", kDetection));
  EXPECT_TRUE(WriteWhenReady(to_high, L"S-1", kDetection));
  EXPECT_TRUE(WriteWhenReady(to_low, L"S-1", kProgress));
  EXPECT_TRUE(WriteWhenReady(to_low, L"raw", L"not json\r\nat all"));
  EXPECT_EQ(0, run.Join());
  const std::string& out = run.output();
  std::string h(high.begin(), high.end()), l(low.begin(), low.end());
  // Item name, size in bytes (UTF-16 with its NUL), and the JSON text on one line, as UTF-8.
  std::string detection_line = " " + h + " item=S-1 size=" +
                               std::to_string((std::wstring(kDetection).size() + 1) * 2) +
                               " {\"type\":\"ODAVScanner\",\"subtype\":\"MalwareDetectPacket\"";
  EXPECT_NE(std::string::npos, out.find(detection_line)) << out;
  EXPECT_NE(std::string::npos, out.find("C:\\\\x\\\\\xC3\xA9\xE4\xB8\xAD.exe\"}]}\n")) << out;
  EXPECT_NE(std::string::npos, out.find(" " + l + " item=raw size=34 not json\\u000D\\u000Aat all\n"))
      << out;
  EXPECT_NE(std::string::npos, out.find(h + ": 2 records\n  MalwareDetectPacket: 2\n")) << out;
  EXPECT_NE(std::string::npos,
            out.find(l + ": 2 records\n  (not JSON): 1\n  ScannedItemPacket: 1\n"))
      << out;
  EXPECT_NE(std::string::npos, out.find("all queues: 4 records\n")) << out;
  to_high.Disconnect();
  to_low.Disconnect();
}

TEST(Qmon, PrettyPrintsOnRequestAndStopsAfterTheDuration) {
  const std::wstring queue = UniqueName(L"qvqm");
  // Long enough that a slow start of qmon under load cannot end it before the write.
  QmonRun run(L"--queue " + queue + L":8192 --pretty --duration 8");
  ASSERT_TRUE(WaitForServer(queue));
  Client client;
  ASSERT_TRUE(client.Create(kChannelClient, queue, 8192));
  EXPECT_TRUE(WriteWhenReady(client, L"S-2", kProgress));
  EXPECT_EQ(0, run.Join());
  EXPECT_NE(std::string::npos,
            run.output().find("\n{\n  \"type\": \"ODAVScanner\",\n  \"subtype\": \"ScannedItemPacket\","))
      << run.output();
  EXPECT_NE(std::string::npos, run.output().find("all queues: 1 records\n")) << run.output();
}

TEST(Qmon, HostilePayloadsArePrintedAsReceived) {
  const std::wstring queue = UniqueName(L"qvqm");
  const uint64_t size = 1048576;
  QmonRun run(L"--queue " + queue + L":" + std::to_wstring(size) + L" --pretty --count 3 --duration 60");
  ASSERT_TRUE(WaitForServer(queue));
  Client client;
  ASSERT_TRUE(client.Create(kChannelClient, queue, size));
  const std::wstring deep = std::wstring(100000, L'[') + std::wstring(100000, L']');
  EXPECT_TRUE(WriteWhenReady(client, L"deep", deep));
  EXPECT_TRUE(WriteWhenReady(client, L"open", std::wstring(200000, L'{')));
  EXPECT_TRUE(WriteWhenReady(client, L"subtype", L"{\"subtype\":[1,2]}"));
  EXPECT_EQ(0, run.Join()) << "deep nesting neither crashes the parse nor the printing";
  const std::string& out = run.output();
  EXPECT_NE(std::string::npos, out.find(" item=deep size=400002 [[[[")) << out.substr(0, 300);
  EXPECT_NE(std::string::npos, out.find("  (no subtype): 2\n")) << out.substr(out.size() - 300);
  EXPECT_NE(std::string::npos, out.find("  (not JSON): 1\n")) << out.substr(out.size() - 300);
}

TEST(Qmon, RefusesToStartWhenAnotherServerListens) {
  const std::wstring queue = UniqueName(L"qvqm");
  testing_support::RecordingServer server;
  ASSERT_TRUE(server.Create(kChannelServer, queue, 8192));
  std::string out;
  EXPECT_EQ(2, testing_support::RunCommand(Qmon(L"--queue " + queue + L":8192 --duration 5"), &out));
  EXPECT_NE(std::string::npos,
            out.find("qmon: another server already listens on queue " +
                     std::string(queue.begin(), queue.end()) + "; stop it first.\n"))
      << out;
  EXPECT_EQ(1, testing_support::RunCommand(Qmon(L"--queue"), &out));
}

}  // namespace
