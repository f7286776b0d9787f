// Moves the prefix's installed compressor aside for a scope, so that
// archiving has no compressor to start.
#pragma once

#include <windows.h>

#include <string>

#include "common/log_placement.h"

namespace testing_support {

class CompressorAway {
 public:
  CompressorAway() {
    std::wstring quoted = logplace::CompressorPath();
    path_ = quoted.substr(1, quoted.size() - 2);
    moved_ = ::MoveFileExW(path_.c_str(), (path_ + L".away").c_str(), 0) != 0;
  }
  ~CompressorAway() {
    if (moved_) ::MoveFileExW((path_ + L".away").c_str(), path_.c_str(), 0);
  }
  bool moved() const { return moved_; }

 private:
  std::wstring path_;
  bool moved_ = false;
};

}  // namespace testing_support
