// Single-line labels laid out with Pango once and painted many times.
#pragma once

#include <cairo.h>

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "wheel/paint/box.h"

typedef struct _PangoContext PangoContext;
typedef struct _PangoLayout PangoLayout;

namespace nimbra {

enum class FontWeight { kMedium, kSemibold };

// A laid-out line of text. Sizes are in pixels, measured from the top-left corner of the line
// box; paint() puts that corner at the given point in the current source colour.
class TextLabel {
 public:
  TextLabel(PangoLayout* layout, double scaleUp);
  ~TextLabel();
  TextLabel(const TextLabel&) = delete;
  TextLabel& operator=(const TextLabel&) = delete;

  double width() const { return width_; }
  double height() const { return height_; }
  // Where ink falls, relative to the line box's top-left corner; empty for blank text.
  const Box& ink() const { return ink_; }

  void paint(cairo_t* cr, double left, double top) const;

 private:
  PangoLayout* layout_;
  double scaleUp_;  // glyphs larger than layouts are made at are drawn scaled
  double width_ = 0;
  double height_ = 0;
  Box ink_;
};

// Makes labels in the interface font: "Inter", then "Cantarell", then whatever fontconfig
// gives for sans-serif, so a missing font only changes the face.
class LabelMaker {
 public:
  LabelMaker();
  ~LabelMaker();
  LabelMaker(const LabelMaker&) = delete;
  LabelMaker& operator=(const LabelMaker&) = delete;

  // `sizePx` is the font size in device pixels; none when it is not a usable size.
  std::unique_ptr<TextLabel> make(std::string_view text, double sizePx, FontWeight weight);

  // Waits for the font work that Pango goes on with in threads of its own after a new font is
  // first used (the sorted list of fallback fonts), so that none is left running.
  void finishFontLoading();

 private:
  PangoContext* context_;
  // Font sizes and weights whose fallback lists may still be in the making.
  std::vector<std::pair<double, FontWeight>> pending_;
};

// Creates the font map, so that fontconfig reads its configuration and caches in Pango's
// thread while the rest of start-up goes on; the first label waits for the end of it.
void startLoadingFonts();

// Labels larger than this many pixels are not painted: one glyph would outgrow any screen.
inline constexpr double kMaxLabelPixels = 65536;

}  // namespace nimbra
