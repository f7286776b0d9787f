// The scan's exclusion filter: extensions, private extensions, folders and
// files from the request packet. Set up once before the worker's thread
// starts, then only read by that thread, so it has no lock of its own.
//
// Entries are kept exactly as given; every lookup uses the path lower-cased
// A-Z only, so an entry with upper-case letters never matches.
#pragma once

#include <map>
#include <string>

class ScanExclusions {
 public:
  using KeyMap = std::map<std::wstring, bool>;

  // Copies the owner name (the prefix of every log line) and the four maps.
  bool Init(const std::wstring& owner, const KeyMap& extensions, const KeyMap& directories,
            const KeyMap& files, const KeyMap& private_extensions);

  bool FileExcluded(const std::wstring& path) const;
  bool FolderExluded(const std::wstring& path) const;
  // `lower` is already lower-cased.
  bool IsUnderExcludedDirectory(const std::wstring& lower) const;

  // The extension the filter tests for `lower`: what follows the last dot of
  // the file name; empty when there is none or it is 255 characters or more.
  static std::wstring ExtensionOf(const std::wstring& lower);

  const std::wstring& owner() const { return owner_; }
  // No list has an entry: nothing can be excluded.
  bool empty() const {
    return extensions_.empty() && directories_.empty() && files_.empty() &&
           private_extensions_.empty();
  }

 private:
  std::wstring owner_;
  KeyMap extensions_;
  KeyMap directories_;
  KeyMap files_;
  KeyMap private_extensions_;
  KeyMap drive_index_;
};
