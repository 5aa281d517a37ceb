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
  explicit ProtectedList(const CaseFolding& folding) : folding_(folding) {}

  // Rebuilds the list from the Windows directory with its trailing "\"
  // (C:\WINDOWS\). A directory of three characters or fewer leaves the list
  // as it was.
  void BuildProtectedList(std::string_view directory);

  // True when the lower-cased path equals an entry; whole strings, no trimming.
  bool IsProtected(std::string_view path) const;

  const std::vector<std::string>& Paths() const { return paths_; }

 private:
  const CaseFolding& folding_;
  std::vector<std::string> paths_;  // lower case, in table order
};

}  // namespace kestrix
