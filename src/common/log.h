// Process-wide UTF-16 log file, one per host executable.
//
// Any thread may log at any time. Formats follow the Windows wide printf
// family: "%s" takes a wide string, "%d" a 32-bit integer. Logging never
// fails its caller: a line that cannot be written is dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>

enum LogLevel : int {
  LOG_NONE = 0,
  LOG_DEBUG = 1,
  LOG_INFO = 2,
  LOG_WARN = 3,
  LOG_ERROR = 4,
  LOG_FATAL = 5,
  LOG_ALW = 6,
};

class Logger {
 public:
  // Constructed on first use; lives until process exit.
  static Logger& Instance();

  // Messages below this level are dropped. Stream call sites test it first.
  int Threshold() const { return threshold_.load(std::memory_order_relaxed); }
  bool IsOpen() const { return open_.load(std::memory_order_relaxed); }
  const std::wstring& FilePath() const { return path_; }
  // Rotation size in bytes and whether full files are archived (fixed once open).
  uint64_t SizeLimit() const;
  bool ArchivingEnabled() const;

  // Writes one finished message as one line; used by Log and the streams.
  void WriteLine(int level, const wchar_t* text);

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

 private:
  Logger();
  ~Logger();
  void EnsureOpen();
  void OpenFile();
  void ApplyRegistrySettings();
  void WriteBanner();
  void RotateLocked();

  friend class LoggerAccess;  // tests

  // Read without the lock; they change only when opening, rotating and at exit.
  std::atomic<bool> open_{false};
  std::atomic<int> threshold_{0};
  std::wstring path_;
  struct State;
  State* state_ = nullptr;
};

// printf-style; written when the file is open and 0 < level >= threshold.
void Log(int level, const wchar_t* format, ...);

// True when a message at `level` would pass the threshold; guards every
// LogStream / LogStreamA, which do not test it themselves.
inline bool LogEnabled(int level) { return Logger::Instance().Threshold() <= level; }

// Collects wide text; writes it as one message when destroyed.
class LogStream {
 public:
  explicit LogStream(int level) : level_(level) {}
  ~LogStream();
  template <typename T>
  LogStream& operator<<(const T& value) {
    stream_ << value;
    return *this;
  }

 private:
  int level_;
  std::wostringstream stream_;
};

// Collects narrow text in the ANSI code page; written as one wide message.
class LogStreamA {
 public:
  explicit LogStreamA(int level) : level_(level) {}
  ~LogStreamA();
  template <typename T>
  LogStreamA& operator<<(const T& value) {
    stream_ << value;
    return *this;
  }

 private:
  int level_;
  std::ostringstream stream_;
};
