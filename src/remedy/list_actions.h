// The suspect list's own menu commands: ignoring entries and opening a
// listed file's properties.
#pragma once

#include <string>

#include "findings/listed_files.h"
#include "platform/platform.h"

namespace kestrix {

// Drops the selected entries (the files stay on disk) and says how many in
// a balloon; an ignored file comes back with the next sweep.
void passitClick(SuspectList& list, Balloons& balloons, const std::string& applicationTitle);

// Opens the properties sheet of the first selected entry's file.
void thisattrClick(const SuspectList& list, Shell& shell);

}  // namespace kestrix
