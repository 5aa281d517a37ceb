#include "app/window_layout.h"

namespace kestrix {

MainLayout FormResizeLayout(int width, int height) {
  const int half = (width - 427) / 2;  // truncates toward zero: -3 gives -1
  const int top = width - 10;
  return {
      .topBannerWidth = top,
      .virusListWidth = top,
      .fileColumnWidth = width - 147,
      .bottomBannerWidth = top,
      .killVirusLeft = width - 192,
      .skipVirusLeft = width - 103,
      .kestrixIconLeft = width - 51,
      .currentVirusWidth = half + 185,
      .totalProgressWidth = half + 185,
      .foundVirusLeft = half + 275,
      .totalNumberLeft = half + 322,
      .bottomBannerTop = height - 89,
      .virusListHeight = height - 149,
  };
}

int ScaleForDpi(int designPixels, int dpi) {
  const long long scaled = static_cast<long long>(designPixels) * dpi;
  const long long half = kDesignDpi / 2;
  return static_cast<int>(scaled >= 0 ? (scaled + half) / kDesignDpi : (scaled - half) / kDesignDpi);
}

Place ScalePlace(const Place& designed, int dpi) {
  const int left = ScaleForDpi(designed.left, dpi);
  const int top = ScaleForDpi(designed.top, dpi);
  return {left, top, ScaleForDpi(designed.left + designed.width, dpi) - left,
          ScaleForDpi(designed.top + designed.height, dpi) - top};
}

ClientSize MinimumMainClient(int dpi) {
  // The count ends at half + 364 and the icon starts at width - 50, in the
  // resize rule's outer design pixels: they meet at a width of 401.
  constexpr int kOuterWidth = 401;
  constexpr int kListRows = 72;  // the header and three rows
  constexpr int kOuterHeight = 149 + kListRows;
  // Rounded up, so that the design size PlaceMainWindow rounds down to is
  // never smaller.
  const auto scale = [dpi](int design) { return (design * dpi + kDesignDpi - 1) / kDesignDpi; };
  return {scale(kOuterWidth - kDesignFrameWidth), scale(kOuterHeight - kDesignFrameHeight)};
}

MainWindowPlaces PlaceMainWindow(int clientWidth, int clientHeight, int dpi) {
  // In whole design pixels, rounded down, so that nothing passes the
  // client area's right or bottom edge once scaled back.
  const int designWidth = clientWidth * kDesignDpi / dpi;
  const int designHeight = clientHeight * kDesignDpi / dpi;
  const MainLayout layout =
      FormResizeLayout(designWidth + kDesignFrameWidth, designHeight + kDesignFrameHeight);
  // The group boxes sit at x 1, and the controls they frame are placed
  // relative to them.
  const int bottom = layout.bottomBannerTop;
  const auto at = [dpi](int left, int top, int width, int height) {
    return ScalePlace({left, top, width, height}, dpi);
  };
  return {
      .topBanner = at(1, 0, layout.topBannerWidth, 57),
      .kestrixIcon = at(1 + layout.kestrixIconLeft, 14, 32, 33),
      .label1 = at(17, 16, 60, 13),
      .currentVirus = at(76, 16, layout.currentVirusWidth, 13),
      .label3 = at(17, 36, 60, 13),
      .totalProgress = at(76, 35, layout.totalProgressWidth, 16),
      .foundVirus = at(1 + layout.foundVirusLeft, 36, 55, 13),
      .totalNumber = at(1 + layout.totalNumberLeft, 36, 41, 13),
      .virusList = at(1, 60, layout.virusListWidth, layout.virusListHeight),
      .bottomBanner = at(1, bottom, layout.bottomBannerWidth, 45),
      .autokillv = at(15, bottom + 18, 114, 15),
      .killVirus = at(1 + layout.killVirusLeft, bottom + 13, 88, 25),
      .skipVirus = at(1 + layout.skipVirusLeft, bottom + 13, 80, 25),
      .columnWidths = {ScaleForDpi(55, dpi), ScaleForDpi(layout.fileColumnWidth, dpi), ScaleForDpi(55, dpi)},
  };
}

OptionsPlaces PlaceOptionsDialog(int dpi, bool notice) {
  // Controls inside a group box are placed relative to it: GroupBox1 at
  // 104, 0 and GroupBox2 at 104, 44. What lies below the first three boxes
  // moves down by the vaccine's box.
  constexpr int grown = kOptionsVaccineHeight;
  const auto at = [dpi](int left, int top, int width, int height) {
    return ScalePlace({left, top, width, height}, dpi);
  };
  return {
      .image1 = at(0, 0, 100, 175),
      .groupBox1 = at(104, 0, 169, 51),
      .staticText1 = at(104 + 8, 13, 153, 26),
      .groupBox2 = at(104, 44, 169, 132 + grown),
      .autokill = at(104 + 19, 44 + 16, 114, 15),
      .autostart = at(104 + 19, 44 + 38, 89, 15),
      .skipFloopy = at(104 + 19, 44 + 60, 118, 15),
      .autoimmunize = at(104 + 19, 44 + 81, 146, grown - 2),
      .flatButton1 = at(104 + 80, 44 + 100 + grown, 82, 25),
      .statusBar = at(0, 180 + grown + (notice ? kOptionsNoticeHeight : 0), kOptionsClientWidth, 22),
      .notice = notice ? at(8, 181 + grown, kOptionsClientWidth - 16, 15) : Place{},
      .statusPart0 = ScaleForDpi(60, dpi),
  };
}

}  // namespace kestrix
