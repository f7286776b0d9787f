#include "common/log.h"

// Placeholder until the log file lands: the logger stays silent.
Logger& Logger::Instance() {
  static Logger logger;
  return logger;
}
Logger::Logger() = default;
Logger::~Logger() = default;
void Logger::WriteLine(int, const wchar_t*) {}
void Log(int, const wchar_t*, ...) {}
LogStream::~LogStream() {}
LogStreamA::~LogStreamA() {}
