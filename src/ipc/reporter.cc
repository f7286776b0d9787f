#include "ipc/reporter.h"

#include <utility>
#include <vector>

#include "common/handle.h"
#include "common/log.h"
#include "common/product.h"
#include "common/reg.h"
#include "ipc/queue_names.h"
#include "packets/json.h"

namespace {

// An interval this long is a misconfiguration, not a wish never to report;
// INFINITE in particular would stop the timed wakes altogether.
constexpr uint32_t kMaxFlushIntervalMs = 60000;
// Likewise a bound in the billions: the low queue would keep every packet of
// up to a minute of scanning (tens of megabytes) between two passes.
constexpr uint32_t kMaxFlushCount = 4096;

}  // namespace

void IpcClientReporter::OnItemsReceived(std::vector<const ItemHeader*>&) {}

ReporterThread& ReporterThread::Instance() {
  static ReporterThread reporter;
  return reporter;
}

ReporterThread::ReporterThread() {
  ::InitializeCriticalSection(&lock_);
  ::InitializeCriticalSection(&channel_lock_);
}

ReporterThread::~ReporterThread() {
  if (thread_) ::CloseHandle(thread_);
  if (wake_event_) ::CloseHandle(wake_event_);
  ::DeleteCriticalSection(&channel_lock_);
  ::DeleteCriticalSection(&lock_);
}

bool ReporterThread::Start() {
  if (thread_) {
    // A thread given up on by an earlier Stop must be gone before a new one starts.
    if (::WaitForSingleObject(thread_, 0) != WAIT_OBJECT_0) {
      Log(LOG_WARN, L"ReporterThread::Start : reporter thread is still running, start refused.");
      return false;
    }
    ::CloseHandle(thread_);
    thread_ = nullptr;
  }

  wake_event_ = ::CreateEventW(nullptr, /*manual_reset=*/FALSE, /*initial_state=*/FALSE, nullptr);

  flush_interval_ = ReadRegDWORD(product::kAntiVirusKey, L"ReportFlushIntervalMS", 250);
  if (flush_interval_ > kMaxFlushIntervalMs) flush_interval_ = kMaxFlushIntervalMs;
  flush_count_ = ReadRegDWORD(product::kAntiVirusKey, L"ReportFlushCount", 5);
  if (flush_count_ > kMaxFlushCount) flush_count_ = kMaxFlushCount;
  // The low queue keeps the newest packets; with no room at all it would
  // keep none, so 0 means room for the newest one.
  if (flush_count_ == 0) flush_count_ = 1;
  Log(LOG_ALW, L"Report Flush interval = %d, Report Flush Percent = %d", flush_interval_,
      flush_count_);

  bool channels;
  {
    CsLock channel_guard(channel_lock_);
    bool high = high_channel_.Create(kChannelClient, kHighQueueName, kHighQueueSize);
    bool low = low_channel_.Create(kChannelClient, kLowQueueName, kLowQueueSize);
    channels = high && low;
  }

  // The thread waits on its own handle of the event, so Stop may close its
  // handle while the thread is still on its way out.
  HANDLE thread_event = nullptr;
  if (wake_event_) {
    ::DuplicateHandle(::GetCurrentProcess(), wake_event_, ::GetCurrentProcess(), &thread_event,
                      0, FALSE, DUPLICATE_SAME_ACCESS);
  }
  running_ = true;
  thread_ = ::CreateThread(nullptr, 0, &ReporterThread::ThreadMain, thread_event, 0, nullptr);
  if (!thread_) {
    running_ = false;
    if (thread_event) ::CloseHandle(thread_event);
    return false;
  }
  return channels;
}

void ReporterThread::Stop() { Stop(DrainTiming()); }

void ReporterThread::Stop(const DrainTiming& timing) {
  size_t pending = HighCount();
  if (pending != 0) {
    Log(LOG_WARN, L"ReporterThread::Stopped when there are %d high items in queue..",
        static_cast<int>(pending));
    for (uint32_t attempt = 0; attempt < timing.attempts; ++attempt) {
      if (HighCount() == 0) {
        Log(LOG_WARN, L"ReporterThread::Stop : no more high priority items , attempts = %d",
            static_cast<int>(attempt));
        ::Sleep(timing.grace_ms);
        break;
      }
      if (wake_event_) ::SetEvent(wake_event_);
      ::Sleep(timing.attempt_ms);
    }
  }

  running_ = false;
  {
    // Waits for a write in progress; later writes see running_ clear.
    CsLock channel_guard(channel_lock_);
    high_channel_.Disconnect();
    low_channel_.Disconnect();
  }
  if (wake_event_) {
    ::SetEvent(wake_event_);
    ::CloseHandle(wake_event_);
    wake_event_ = nullptr;
  }
  if (thread_ && ::WaitForSingleObject(thread_, timing.thread_wait_ms) == WAIT_OBJECT_0) {
    ::CloseHandle(thread_);
    thread_ = nullptr;
  }
}

void ReporterThread::EnqueueLow(const GenericPacketW& packet) {
  CsLock guard(lock_);
  while (!low_queue_.empty() && low_queue_.size() >= flush_count_) low_queue_.pop_front();
  low_queue_.emplace_back(packet);
}

void ReporterThread::EnqueueHigh(const GenericPacketW& packet) {
  CsLock guard(lock_);
  high_queue_.emplace_back(packet);
}

size_t ReporterThread::HighCount() {
  CsLock guard(lock_);
  return high_queue_.size();
}

size_t ReporterThread::LowCount() {
  CsLock guard(lock_);
  return low_queue_.size();
}

DWORD WINAPI ReporterThread::ThreadMain(void* wake_event) {
  UniqueHandle event(static_cast<HANDLE>(wake_event));
  Instance().Run(event.get());
  return 0;
}

void ReporterThread::Run(HANDLE wake_event) {
  while (running_) {
    if (wake_event) {
      ::WaitForSingleObject(wake_event, flush_interval_);
    } else {
      ::Sleep(flush_interval_);
    }
    if (!running_) break;
    Flush();
  }
}

void ReporterThread::Send(IpcClientReporter& channel, GenericPacketW& packet, bool high) {
  std::wstring text = GetJDocument(packet);
  if (!text.empty()) {
    CsLock channel_guard(channel_lock_);
    if (running_) channel.WriteW(packet.channelid, std::move(text), 0);
  }
  if (send_hook_) send_hook_(packet, high);
  std::map<std::wstring, std::wstring>().swap(packet.keyvallist);
}

void ReporterThread::Flush() {
  std::deque<GenericPacketW> high;
  std::deque<GenericPacketW> low;
  {
    CsLock guard(lock_);
    high.swap(high_queue_);
    low.swap(low_queue_);
  }

  for (;;) {
    for (auto& packet : high) {
      if (!running_) return;
      Send(high_channel_, packet, /*high=*/true);
    }
    high.clear();
    while (!low.empty()) {
      if (!running_) return;
      Send(low_channel_, low.front(), /*high=*/false);
      low.pop_front();
      CsLock guard(lock_);
      if (!high_queue_.empty()) {
        high.swap(high_queue_);
        break;
      }
    }
    if (high.empty()) return;
  }
}
