#include "app/window_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrix {
namespace {

TEST(PlaceMainWindow, LaysTheControlsOutFromTheClientAreaAtEveryScale) {
  struct Case {
    int dpi, clientWidth, clientHeight;
    Place virusList, skipVirus, currentVirus;
    std::array<int, 3> columns;
  };
  const Case cases[] = {
      // As designed: the places the window has always had at 96 pixels per inch.
      {96, 422, 335, {1, 60, 420, 213}, {328, 286, 80, 25}, {76, 16, 186, 13}, {55, 283, 55}},
      // Grown by 200 both ways: half the growth goes to the progress line.
      {96, 622, 535, {1, 60, 620, 413}, {528, 486, 80, 25}, {76, 16, 286, 13}, {55, 483, 55}},
      // 150%: edges scaled and rounded half away from zero.
      {144, 633, 503, {2, 90, 630, 320}, {492, 429, 120, 38}, {114, 24, 279, 20}, {83, 425, 83}},
      {144, 933, 803, {2, 90, 930, 620}, {792, 729, 120, 38}, {114, 24, 429, 20}, {83, 725, 83}},
      // 200%: every design pixel is two.
      {192, 844, 670, {2, 120, 840, 426}, {656, 572, 160, 50}, {152, 32, 372, 26}, {110, 566, 110}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.dpi) + " dpi, " + std::to_string(c.clientWidth) + "x" +
                 std::to_string(c.clientHeight));
    const MainWindowPlaces places = PlaceMainWindow(c.clientWidth, c.clientHeight, c.dpi);
    EXPECT_EQ(places.virusList, c.virusList);
    EXPECT_EQ(places.skipVirus, c.skipVirus);
    EXPECT_EQ(places.currentVirus, c.currentVirus);
    EXPECT_EQ(places.columnWidths, c.columns);
  }
}

TEST(PlaceMainWindow, NothingPassesTheClientAreaOfTheDesignedSizeAtAnyScale) {
  for (int dpi : {96, 120, 144, 168, 192, 240}) {
    for (int extra : {0, 1, 37}) {
      const int width = ScaleForDpi(kDesignClientWidth, dpi) + extra;
      const int height = ScaleForDpi(kDesignClientHeight, dpi) + extra;
      const MainWindowPlaces p = PlaceMainWindow(width, height, dpi);
      for (const Place& place :
           {p.topBanner, p.kestrixIcon, p.label1, p.currentVirus, p.label3, p.totalProgress, p.foundVirus,
            p.totalNumber, p.virusList, p.bottomBanner, p.autokillv, p.killVirus, p.skipVirus}) {
        SCOPED_TRACE(std::to_string(dpi) + " dpi, +" + std::to_string(extra) + ": " +
                     std::to_string(place.left) + "," + std::to_string(place.top));
        EXPECT_GE(place.left, 0);
        EXPECT_GE(place.top, 0);
        EXPECT_LE(place.left + place.width, width);
        EXPECT_LE(place.top + place.height, height);
      }
      EXPECT_LE(p.virusList.top + p.virusList.height, p.bottomBanner.top)
          << dpi << " dpi: the list covers the buttons";
    }
  }
}

bool Overlap(const Place& a, const Place& b) {
  return a.left < b.left + b.width && b.left < a.left + a.width && a.top < b.top + b.height &&
         b.top < a.top + a.height;
}

TEST(PlaceMainWindow, NothingOverlapsAtTheMinimumSizeAndSomethingDoesBelowIt) {
  for (int dpi : {96, 120, 144, 168, 192}) {
    for (int less : {0, 1}) {
      SCOPED_TRACE(std::to_string(dpi) + " dpi, " + std::to_string(less) + " pixel narrower");
      const ClientSize minimum = MinimumMainClient(dpi);
      const MainWindowPlaces p =
          PlaceMainWindow(minimum.width - less * dpi / kDesignDpi, minimum.height, dpi);
      // The banners frame the others; the captions left of the progress
      // line and the count's own caption overlap their values by design.
      const std::vector<Place> controls{p.kestrixIcon, p.currentVirus, p.totalProgress, p.totalNumber,
                                        p.virusList,   p.autokillv,    p.killVirus,     p.skipVirus};
      bool overlapping = Overlap(p.virusList, p.topBanner) || Overlap(p.virusList, p.bottomBanner);
      for (std::size_t i = 0; i < controls.size(); ++i) {
        for (std::size_t j = i + 1; j < controls.size(); ++j)
          overlapping |= Overlap(controls[i], controls[j]);
      }
      EXPECT_EQ(overlapping, less == 1);
      EXPECT_GE(p.virusList.height, ScaleForDpi(72, dpi) - 1);
    }
  }
}

TEST(PlaceOptionsDialog, ScalesTheDesignAndStaysInsideTheClientArea) {
  struct Case {
    int dpi;
    Place flatButton1, statusBar;
    int statusPart0;
  };
  const Case cases[] = {
      {96, {184, 172, 82, 25}, {0, 208, 274, 22}, 60},
      {144, {276, 258, 123, 38}, {0, 312, 411, 33}, 90},
      {192, {368, 344, 164, 50}, {0, 416, 548, 44}, 120},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.dpi) + " dpi");
    const OptionsPlaces p = PlaceOptionsDialog(c.dpi);
    EXPECT_EQ(p.flatButton1, c.flatButton1);
    EXPECT_EQ(p.statusBar, c.statusBar);
    EXPECT_EQ(p.statusPart0, c.statusPart0);
    const int width = ScaleForDpi(kOptionsClientWidth, c.dpi);
    const int height = ScaleForDpi(kOptionsClientHeight, c.dpi);
    for (const Place& place : {p.image1, p.groupBox1, p.staticText1, p.groupBox2, p.autokill, p.autostart,
                               p.skipFloopy, p.autoimmunize, p.flatButton1, p.statusBar}) {
      EXPECT_LE(place.left + place.width, width);
      EXPECT_LE(place.top + place.height, height);
    }
  }
}

}  // namespace
}  // namespace kestrix
