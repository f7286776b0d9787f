// Throughput of GetJDocument for a detection packet, side by side with a
// bare RapidJSON writer loop over the same packet that writes the same text.
// Usage: bench_jdocument.exe [seconds per round, default 0.25] [rounds, default 21]
// Rounds alternate between the two so that both see the same machine load;
// the ratio is the median of the ratios of adjacent rounds.
#include <windows.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "packets/json.h"
#include "quorvane.h"

namespace {

GenericPacketW DetectionPacket() {
  GenericPacketW p;
  p.SetHeader("ODAVScanner", "MalwareDetectPacket", "");
  p.channelid = L"3F2504E0-4F89-11D3-9A0C-0305E82C3301";
  p.SetCreationTime();
  p.SetPriorityHigh();
  p.SetKeyValue(L"AccessingAccount", L"DESKTOP-7Q2M4LK\\Am\u00E9lie");
  p.SetKeyValue(L"AccessingAssest", L"C:\\Program Files\\Common Files\\Microsoft Shared\\ClickToRun\\OfficeClickToRun.exe");
  p.SetKeyValue(L"AdditionalInfo",
                L"Heuristic match on packed section .text (entropy 7.91); imports VirtualAllocEx, "
                L"WriteProcessMemory, CreateRemoteThread; dropped by C:\\Users\\Am\u00E9lie\\AppData\\"
                L"Local\\Temp\\7zS4A1B\\setup_helper.exe during extraction");
  p.SetKeyValueInt(L"DetectionAction", 1);
  p.SetKeyValue(L"DetectionID", L"8E1C2D6A-77B0-4B9E-9F10-2C4D5E6F7A8B");
  p.SetKeyValueBool(L"FileValidationFailed", false);
  p.SetKeyValueInt(L"InfectionDataType", 3);
  p.SetKeyValue(L"InnerObjectPath",
                L"payload/bin/x64/Release/net48/runtimes/win-x64/native/libcrypto-helper-3-x64.dll"
                L"/.rsrc/RCDATA/101");
  p.SetInvokerPID(4242);
  p.SetKeyValue(L"ItemPath",
                L"C:\\Users\\Am\u00E9lie\\Downloads\\Installers\\2026-12\\Quarterly Reports Toolkit "
                L"(Finance Edition)\\setup\\QuarterlyReportsToolkit_FinanceEdition_v4.18.2203.5_x64.zip");
  p.SetKeyValueInt(L"ItemType", 1);
  p.SetKeyValue(L"LoggedAccounts", L"DESKTOP-7Q2M4LK\\Am\u00E9lie;DESKTOP-7Q2M4LK\\Administrator");
  p.SetKeyValueBool(L"MailDataFile", false);
  p.SetKeyValue(L"MalwareCategory", L"Trojan");
  p.SetKeyValueInt(L"MalwareCategoryId", 0);
  p.SetKeyValue(L"MalwareName", L"Trojan.GenericKD.71234567");
  p.SetKeyValueInt(L"MalwareStatus", 4);
  p.SetKeyValueInt(L"MalwareThreatLevel", 4);
  p.SetKeyValue(L"MalwareURL", L"https://downloads.example-mirror.net/pub/tools/finance/quarterly/2026/QRT_setup_x64.zip?ref=mail");
  p.SetKeyValueInt(L"MalwaresDetected", 1);
  p.SetKeyValueBool(L"ManualCleanupRequired", false);
  p.SetKeyValue(L"ObjectFinalPath",
                L"C:\\ProgramData\\QuillfeatherZub\\StoredData\\Quarantine\\2026\\12\\10\\"
                L"8E1C2D6A-77B0-4B9E-9F10-2C4D5E6F7A8B\\QuarterlyReportsToolkit_FinanceEdition_"
                L"v4.18.2203.5_x64.zip.qvq");
  p.SetKeyValueInt(L"OrigMalwareStatus", 4);
  p.SetKeyValueBool(L"Quarantined", true);
  p.SetKeyValue(L"QurantineID", L"{D3C1B2A4-0F9E-4C8D-B7A6-958473625140}");
  p.SetKeyValueBool(L"RebootRequired", false);
  p.SetKeyValueInt(L"ScanMode", 2);
  p.SetKeyValueInt(L"Score", 87);
  p.SetKeyValueUInt(L"SigVerDetection", 2212100915u);
  p.SetKeyValueBool(L"WinAppFile", false);
  p.SetKeyValueBool(L"HiddenFile", true);
  p.SetKeyValueBool(L"HiddenProcess", true);
  return p;
}

// What a caller would write without this system's wrapper: the writer over a
// string buffer, straight from the packet's strings.
size_t BareWriter(const GenericPacketW& p, std::string* text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF16<wchar_t>, rapidjson::UTF8<>> w(buffer);
  auto str = [&w](const std::wstring& s) { w.String(s.data(), static_cast<rapidjson::SizeType>(s.size())); };
  w.StartObject();
  w.Key(L"type", 4);
  str(p.type);
  w.Key(L"subtype", 7);
  str(p.subtype);
  w.Key(L"channelid", 9);
  str(p.channelid);
  w.Key(L"keyvallist", 10);
  w.StartArray();
  for (const auto& e : p.keyvallist) {
    w.StartObject();
    w.Key(L"key", 3);
    str(e.first);
    w.Key(L"value", 5);
    str(e.second);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  if (text) text->assign(buffer.GetString(), buffer.GetSize());
  return buffer.GetSize();
}

double Now() {
  LARGE_INTEGER c, f;
  ::QueryPerformanceCounter(&c);
  ::QueryPerformanceFrequency(&f);
  return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// Packets per second over about `seconds`.
template <typename F>
double Rate(F&& one, double seconds) {
  size_t sink = 0, n = 0;
  double start = Now(), elapsed = 0;
  do {
    for (int i = 0; i < 256; ++i) sink += one();
    n += 256;
    elapsed = Now() - start;
  } while (elapsed < seconds);
  if (sink == 1) std::printf(" ");
  return static_cast<double>(n) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 0.25;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 21;
  if (seconds <= 0) seconds = 0.25;
  if (rounds <= 0) rounds = 21;

  const GenericPacketW packet = DetectionPacket();
  std::string utf8;
  BareWriter(packet, &utf8);
  const std::wstring text = GetJDocument(packet);
  if (text.empty() || text != Utf8ToUtf16(utf8)) {
    std::printf("the two texts differ\n");
    return 1;
  }
  size_t path_chars = packet.GetKeyValue(L"ItemPath").size();
  std::printf("packet: %zu entries, ItemPath %zu characters, text %zu UTF-8 bytes / %zu UTF-16 units\n",
              packet.keyvallist.size(), path_chars, utf8.size(), text.size());

  std::vector<double> ours, bare, ratios;
  for (int r = 0; r < rounds; ++r) {
    bare.push_back(Rate([&] { return BareWriter(packet, nullptr); }, seconds));
    ours.push_back(Rate([&] { return GetJDocument(packet).size(); }, seconds));
    ratios.push_back(ours.back() / bare.back());
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double o = median(ours), b = median(bare);
  const double mb = static_cast<double>(utf8.size()) / 1e6;  // MB of UTF-8 text
  std::printf("GetJDocument : %10.0f packets/s %8.1f MB/s (median of %d rounds)\n", o, o * mb, rounds);
  std::printf("bare Writer  : %10.0f packets/s %8.1f MB/s\n", b, b * mb);
  std::printf("ratio        : %.2f (median of adjacent-round ratios; min %.2f, max %.2f)\n",
              median(ratios), *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()));
  // For scripts/bench.sh: figure, value, baseline, baseline value, ratio.
  std::printf("BENCH\tGetJDocument packets/s\t%.0f\tbare RapidJSON Writer packets/s\t%.0f\t%.2f\n", o, b,
              median(ratios));
  std::printf("BENCH\tGetJDocument MB/s\t%.1f\tbare RapidJSON Writer MB/s\t%.1f\t%.2f\n", o * mb,
              b * mb, median(ratios));
  return 0;
}
