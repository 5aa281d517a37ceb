// Windows start-up and system files that are deleted only after the user
// has been asked whether to keep them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrix {

class ProtectedList {
 public:
  ProtectedList(Files& files, const CaseFolding& folding) : files_(files), folding_(folding) {}

  // Rebuilds the list from the Windows directory with its trailing "\"
  // (C:\WINDOWS\). A directory of three characters or fewer leaves the list
  // as it was.
  void BuildProtectedList(std::string_view directory);

  // True when the path names one of the files, however it is spelled:
  // Windows accepts many spellings of one file (C:\WINDOWS\.\explorer.exe,
  // C:/WINDOWS/regedit.exe., short names, links), so paths are compared in
  // full and normalised, and then by the identity of the file they name.
  bool IsProtected(std::string_view path) const;

  const std::vector<std::string>& Paths() const { return paths_; }

 private:
  std::string ComparableSpelling(std::string_view path) const;

  Files& files_;
  const CaseFolding& folding_;
  std::vector<std::string> paths_;  // normalised and lower case, in table order
};

}  // namespace kestrix
