#pragma once

#include "findings/listed_files.h"
#include "platform/platform.h"

namespace kestrix {

// What every detection pass works with: the files it tests, the letter
// case it ignores, the messages it keeps handling, and the list it fills.
struct DetectContext {
  Files& files;
  const CaseFolding& folding;
  MessagePump& pump;
  SuspectList& list;
};

}  // namespace kestrix
