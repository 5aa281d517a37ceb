#include "remedy/list_actions.h"

#include "platform/common/format_text.h"
#include "remedy/removal.h"

namespace kestrix {

void passitClick(SuspectList& list, Balloons& balloons, const std::string& applicationTitle) {
  int ignored = 0;
  for (std::size_t i = list.Count(); i-- > 0;) {
    if (!list.Entry(i).selected) continue;
    list.Delete(i);
    ++ignored;
  }
  if (ignored > 0) {
    balloons.ShowBalloon(applicationTitle, FormatText("您忽略了 %d 個病毒,要刪除,請重新掃毒.", ignored),
                         BalloonKind::kError, kBalloonSeconds);
  }
}

void thisattrClick(const SuspectList& list, Shell& shell) {
  for (const SuspectEntry& entry : list.Entries()) {
    if (entry.selected) {
      shell.ShowProperties(entry.path);
      return;
    }
  }
}

}  // namespace kestrix
