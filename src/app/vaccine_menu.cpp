#include "app/vaccine_menu.h"

namespace kestrix {

namespace {

// A menu takes "&" as the mark of its access key; a label's own stays one.
std::string MenuText(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    escaped += c;
    if (c == '&') escaped += '&';
  }
  return escaped;
}

// Why not, after "無法保護 E:，" or "無法取消 E: 的保護：".
std::string Reason(bool immunizing, const std::string& drive, const VaccineResult& result) {
  switch (result.status) {
    case VaccineStatus::kNoDrive:
      return "找不到這個磁碟。";
    case VaccineStatus::kCdRom:
      return "這是光碟機，光碟無法更改。";
    case VaccineStatus::kAutorunFile:
      return immunizing ? result.path + " 是檔案，可能是病毒寫入的，請先掃毒並清除。"
                        : result.path + " 是檔案，不是 Kestrix 的資料夾。";
    case VaccineStatus::kForeignFolder:
      return immunizing ? result.path + " 是別的程式建立的資料夾，一樣能擋住病毒，保持原樣。"
                        : result.path + " 不是 Kestrix 建立的資料夾，保持原樣。";
    case VaccineStatus::kNotWritable:
      return drive + " 無法寫入，可能是唯讀或有防寫保護。";
    case VaccineStatus::kMarksNotSet:
      return "無法設定 " + result.path + " 的唯讀、隱藏和系統屬性。";
    case VaccineStatus::kInTheWay:
      return result.path + " 中有不是 Kestrix 放入的檔案，保持原樣。";
    case VaccineStatus::kNoteNotRemoved:
      return "無法刪除 Kestrix 的說明檔，" + result.path + " 保持原樣。";
    case VaccineStatus::kFolderLeft:
      return "已刪除 Kestrix 的說明檔，但資料夾中有不是 Kestrix 放入的檔案，資料夾保留。";
    default:
      return result.note;
  }
}

}  // namespace

std::vector<char> RemovableDrives(Volumes& volumes, bool skipFloppies) {
  std::vector<char> letters;
  for (char letter = skipFloppies ? 'C' : 'A'; letter <= 'Z'; ++letter) {
    if (volumes.QueryDriveType(std::string{letter, ':', '\\'}) != DriveType::kRemovable) continue;
    if (volumes.GetFirstDiskExtent(letter).ExtentLength <= 0) continue;
    letters.push_back(letter);
  }
  return letters;
}

std::vector<VaccineDrive> VaccineDrives(Files& files, Volumes& volumes, bool skipFloppies) {
  std::vector<VaccineDrive> drives;
  for (const char letter : RemovableDrives(volumes, skipFloppies)) {
    std::string caption{letter, ':'};
    if (const std::string label = volumes.VolumeLabel(letter); !label.empty())
      caption += " " + MenuText(label);
    drives.push_back(
        {.letter = letter, .caption = std::move(caption), .immunized = IsImmunized(files, letter)});
  }
  return drives;
}

VaccineBalloon SayVaccineResult(bool immunizing, char letter, const VaccineResult& result) {
  const std::string drive{letter, ':'};
  switch (result.status) {
    case VaccineStatus::kMade:
      return {"已保護 " + drive + "，建立了 " + result.path + " 資料夾，病毒無法再寫入 Autorun.inf。",
              BalloonKind::kInfo};
    case VaccineStatus::kAlready:
      return {drive + " 已經受到保護。", BalloonKind::kInfo};
    case VaccineStatus::kRemoved:
      return {"已取消 " + drive + " 的保護：移除了 Kestrix 建立的 " + result.path + " 資料夾。",
              BalloonKind::kInfo};
    case VaccineStatus::kNotImmunized:
      return {drive + " 沒有受到保護。", BalloonKind::kInfo};
    default:
      break;
  }
  const std::string refused = immunizing ? "無法保護 " + drive + "，" : "無法取消 " + drive + " 的保護：";
  return {refused + Reason(immunizing, drive, result), BalloonKind::kWarning};
}

std::string SayAutoImmunized(const std::vector<char>& letters) {
  std::string drives;
  for (const char letter : letters) drives.append(drives.empty() ? "" : "、").append({letter, ':'});
  return "掃描後已自動保護乾淨的隨身碟 " + drives + "。";
}

}  // namespace kestrix
