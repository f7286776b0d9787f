// The reporter: takes packets off the scan path and sends them from one
// background thread, high-priority first, over two long-lived client channels.
//
// Threads: scan callbacks call EnqueueLow; the reporter thread runs Flush;
// Start/Stop run on the engine's thread. `lock_` guards the two queues only
// and is never held while a channel is written. `channel_lock_` is held around
// every channel write and around Stop's disconnect, so no write ever uses a
// channel that is being (or has been) disconnected.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>

#include "ipc/smipczub.h"
#include "quorvane.h"

class IpcClientReporter : public SMIPCZUB {
 public:
  void OnItemsReceived(std::vector<const ItemHeader*>& items) override;
};

class ReporterThread {
 public:
  static ReporterThread& Instance();

  // Bounds of Stop's drain of the high queue; tests shorten them.
  struct DrainTiming {
    uint32_t attempts = 20;
    uint32_t attempt_ms = 500;
    uint32_t grace_ms = 750;
    uint32_t thread_wait_ms = 1200;
  };

  // Wake event, settings, both channels, thread. False when already running
  // or when a thread or a channel could not be made.
  bool Start();
  // Drains the high queue (bounded), stops the thread, disconnects both channels.
  void Stop();
  void Stop(const DrainTiming& timing);

  void EnqueueLow(const GenericPacketW& packet);
  // Nothing in the module sends high-priority packets this way; the flush and
  // the drain at Stop serve the queue all the same.
  void EnqueueHigh(const GenericPacketW& packet);
  size_t HighCount();
  size_t LowCount();

  // One pass: send everything queued, high before low.
  void Flush();

  // Called on the reporter thread after each packet's write, before its
  // entries are released; lets tests observe the order of the writes.
  using SendHook = std::function<void(const GenericPacketW& packet, bool high)>;
  void SetSendHookForTesting(SendHook hook) { send_hook_ = std::move(hook); }

  uint32_t flush_interval() const { return flush_interval_; }
  uint32_t flush_count() const { return flush_count_; }
  bool running() const { return running_; }

  ReporterThread(const ReporterThread&) = delete;
  ReporterThread& operator=(const ReporterThread&) = delete;

 private:
  ReporterThread();
  ~ReporterThread();

  static DWORD WINAPI ThreadMain(void* wake_event);
  void Run(HANDLE wake_event);
  void Send(IpcClientReporter& channel, GenericPacketW& packet, bool high);

  uint32_t flush_interval_ = 250;
  uint32_t flush_count_ = 5;
  std::deque<GenericPacketW> high_queue_;  // guarded by lock_
  std::deque<GenericPacketW> low_queue_;   // guarded by lock_
  IpcClientReporter high_channel_;         // written under channel_lock_
  IpcClientReporter low_channel_;          // written under channel_lock_
  CRITICAL_SECTION lock_;
  CRITICAL_SECTION channel_lock_;
  std::atomic<bool> running_{false};
  HANDLE wake_event_ = nullptr;  // Start/Stop thread only
  HANDLE thread_ = nullptr;      // Start/Stop thread only
  SendHook send_hook_;
};
