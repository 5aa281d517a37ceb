// The main window list's two tips: the hint under the pointer (why the row
// there is listed, or what the list is for) and the tip that follows the
// row the keyboard moves the focus to.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kestrix::win32 {

class ListTips {
 public:
  // Why a row is listed; empty for a row without a reason.
  using RowText = std::function<std::string(std::size_t row)>;

  // The tips of `list`, a child of `owner`, in `font` at `dpi`.
  void Create(HINSTANCE instance, HWND owner, HWND list, HFONT font, int dpi, RowText rowText);
  // A fixed hint for another control of the owner.
  void AddHint(HWND control, std::string_view hint);
  void SetFont(HFONT font, int dpi);
  // Answers the pointer's hint asking for its text (a WM_NOTIFY to the
  // owner); false for any other notification.
  bool AnswerTextRequest(NMHDR& header);
  // The tip just below the row, while the list has the focus.
  void ShowRowTip(int row);
  void HideRowTip();

 private:
  std::wstring ListHint() const;
  static LRESULT CALLBACK ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                   DWORD_PTR self);

  HWND owner_ = nullptr;
  HWND list_ = nullptr;
  HWND tooltip_ = nullptr;
  HWND rowTip_ = nullptr;
  RowText rowText_;
  std::wstring listHint_;  // the text the hint shows now
  int hintRow_ = -1;       // the row under the pointer
};

}  // namespace kestrix::win32
