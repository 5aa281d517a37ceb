// Where the windows' controls go, in client pixels, for any client size and
// any number of pixels per inch. The windows were drawn at 96 pixels per
// inch in a frame whose outer size the resize rule still speaks of; the
// controls are laid out from the client area, so a thicker frame (Windows
// 10 and 11 count invisible resize borders in the outer size) cuts nothing
// off, and every design pixel grows with the display's scale.
#pragma once

#include <array>

namespace kestrix {

inline constexpr int kDesignDpi = 96;

// The main window's client area as designed: the outer 430 x 362 less the
// borders and caption of the frame it was drawn in.
inline constexpr int kDesignFrameWidth = 8;
inline constexpr int kDesignFrameHeight = 27;
inline constexpr int kDesignClientWidth = 430 - kDesignFrameWidth;
inline constexpr int kDesignClientHeight = 362 - kDesignFrameHeight;

// The options dialog's client area as designed, grown by the two lines of
// the automatic vaccine's box below the first three.
inline constexpr int kOptionsVaccineHeight = 28;
inline constexpr int kOptionsClientWidth = 274;
inline constexpr int kOptionsClientHeight = 202 + kOptionsVaccineHeight;
// The line that says the greyed options are managed, shown above the status
// bar only when some are: the dialog grows by its height.
inline constexpr int kOptionsNoticeHeight = 18;

// A control's rectangle in its window's client area.
struct Place {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;

  bool operator==(const Place&) const = default;
};

// Design pixels at this many pixels per inch, rounded half away from zero
// (as MulDiv rounds).
int ScaleForDpi(int designPixels, int dpi);

// A design rectangle at this many pixels per inch. Its edges are scaled,
// not its size, so that controls that meet at design still meet.
Place ScalePlace(const Place& designed, int dpi);

// Positions and sizes that follow the window's size.
struct MainLayout {
  int topBannerWidth;
  int virusListWidth;
  int fileColumnWidth;
  int bottomBannerWidth;
  int killVirusLeft;
  int skipVirusLeft;
  int kestrixIconLeft;
  int currentVirusWidth;
  int totalProgressWidth;
  int foundVirusLeft;
  int totalNumberLeft;
  int bottomBannerTop;
  int virusListHeight;

  bool operator==(const MainLayout&) const = default;
};

// The layout for an outer window size (frame included; 430 x 362 as
// designed). No lower bound: a tiny window gives negative sizes, which the
// controls take as zero.
MainLayout FormResizeLayout(int width, int height);

// The main window's controls, in the order of their window's tab stops.
struct MainWindowPlaces {
  Place topBanner;
  Place kestrixIcon;
  Place label1;
  Place currentVirus;
  Place label3;
  Place totalProgress;
  Place foundVirus;
  Place totalNumber;
  Place virusList;
  Place bottomBanner;
  Place autokillv;
  Place killVirus;
  Place skipVirus;
  std::array<int, 3> columnWidths{};

  bool operator==(const MainWindowPlaces&) const = default;
};

// The smallest client area of the main window at this many pixels per inch:
// the count of found files stays left of the icon, and the list keeps its
// header and three rows above the buttons. Below it the controls overlap.
struct ClientSize {
  int width = 0;
  int height = 0;
};
ClientSize MinimumMainClient(int dpi);

// The main window laid out for its client area: the resize rule applied to
// the outer size the design frame would have around this client area in
// design pixels, then scaled.
MainWindowPlaces PlaceMainWindow(int clientWidth, int clientHeight, int dpi);

// The options dialog's fixed controls at this many pixels per inch.
struct OptionsPlaces {
  Place image1;
  Place groupBox1;
  Place staticText1;
  Place groupBox2;
  Place autokill;
  Place autostart;
  Place skipFloopy;
  Place autoimmunize;
  Place flatButton1;
  Place statusBar;
  Place notice;  // empty without the notice
  // The right edge of the status bar's first part.
  int statusPart0 = 0;

  bool operator==(const OptionsPlaces&) const = default;
};
OptionsPlaces PlaceOptionsDialog(int dpi, bool notice = false);

}  // namespace kestrix
