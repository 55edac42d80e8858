// Everything about the wheel that does not change with the selection, made once per
// configuration, view size, scale and visible region: the shapes of the ring, the hub and
// every segment's tools, the labels in both weights, and for each of them its coverage mask
// and, in the ring, its shadow.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "config/config.h"
#include "platform/platform.h"
#include "wheel/geometry.h"
#include "wheel/paint/alpha_mask.h"
#include "wheel/paint/box.h"
#include "wheel/paint/box_blur.h"
#include "wheel/paint/polygon.h"
#include "wheel/paint/text_label.h"

namespace nimbra {

// Where the wheel sits in pixel space (points times the scale, origin at the view's corner).
struct WheelFrame {
  double scale = 1;  // pixels per point
  Vec2 centre;
  double radius = 0;  // R
  double inner = 0;   // the hub's radius
  std::size_t count = 0;
  double segmentWidth = 360;  // degrees

  bool usable() const;
  // The point at distance `r` pixels from the centre, at `degrees`.
  Vec2 at(double r, double degrees) const;
};

WheelFrame frameFor(const Config& cfg, Size bounds, double scale);

// A label with its line box centred on its anchor.
struct PlacedLabel {
  std::unique_ptr<TextLabel> text;
  double left = 0;
  double top = 0;

  Box inkBox() const;
  void paint(cairo_t* cr) const;  // in the current source
};

PlacedLabel placeLabel(std::unique_ptr<TextLabel> text, Vec2 anchor);

// A mask made on first use and kept while the scene's budget allows; past it, made for each
// paint and dropped after, so the pixels never depend on what was kept.
struct CachedMask {
  bool made = false;
  bool over = false;
  std::unique_ptr<AlphaMask> mask;
};

struct ShapePiece {
  Polygon shape;
  CachedMask coverage;
  CachedMask shadow;
};

struct LabelPiece {
  PlacedLabel label;
  CachedMask coverage;
  CachedMask shadow;
};

// Index into a pair of labels: the weight each selection state uses.
enum LabelState { kOther = 0, kSelected = 1 };

struct SegmentPieces {
  ShapePiece fill;
  ShapePiece separator;
  std::array<LabelPiece, 2> labels;
};

// A segment's tools as the wheel shows them: nine anchor cells (grid order), or one cell and
// a pair of labels per tool on the arc.
struct ToolPieces {
  std::optional<AnchorGrid> grid;
  std::vector<ShapePiece> cells;
  std::vector<std::array<LabelPiece, 2>> labels;
};

// The kept masks stop growing here; further ones are made per paint.
inline constexpr std::size_t kMaskBudgetBytes = std::size_t{64} << 20;
// No single mask is made larger than this many pixels.
inline constexpr double kMaxMaskPixels = 64.0 * 1024 * 1024;
// Regions larger than this paint shapes and text straight onto the surface, not through masks.
inline constexpr double kMaxMaskedRegionPixels = 2048.0 * 2048.0;

class RingScene {
 public:
  // `region` is the part of pixel space that can be painted, in whole pixels.
  RingScene(std::shared_ptr<const Config> cfg, Size bounds, double scale, const Box& region,
            LabelMaker& labels);

  bool matches(const Config* cfg, Size bounds, double scale, const Box& region) const;

  const std::shared_ptr<const Config> cfg;
  const Size bounds;
  const WheelFrame frame;
  const Box region;
  const Box visible;  // the region plus what can still blur or bleed into it
  const BoxBlurPlan blur;
  const bool masked;  // whether shapes and text go through coverage masks

  std::vector<SegmentPieces> segments;
  ShapePiece hubFill;
  ShapePiece hubOutline;
  LabelPiece centreLabel;

  void paint(cairo_t* cr, ShapePiece& piece, const Color& color);
  void paint(cairo_t* cr, LabelPiece& piece, const Color& color);
  // Black at `alpha` through the piece's blurred coverage.
  void paintShadow(cairo_t* cr, ShapePiece& piece, double alpha);
  void paintShadow(cairo_t* cr, LabelPiece& piece, double alpha);

  // Segment `seg`'s tools, made on first use.
  ToolPieces& tools(std::size_t seg);

  // Makes every mask the budget allows, and every segment's tools.
  void makeMasks();
  std::size_t maskBytes() const { return maskBytes_; }

  // Everywhere the painting of segment `seg` differs between highlighted and not: its fill,
  // its label in both weights, and their shadows. None while one of those masks is not kept.
  std::optional<std::vector<Box>> highlightArea(std::size_t seg) const;

 private:
  const AlphaMask* mask(CachedMask& slot, bool blurred, const Box& bounds, const CoverageFn& paint,
                        std::unique_ptr<AlphaMask>& scratch);
  const AlphaMask* coverage(ShapePiece& piece, std::unique_ptr<AlphaMask>& scratch);
  const AlphaMask* coverage(LabelPiece& piece, std::unique_ptr<AlphaMask>& scratch);
  ToolPieces makeTools(std::size_t seg);

  const Geometry geo_;
  LabelMaker& labels_;
  std::size_t maskBytes_ = 0;
  std::vector<std::optional<ToolPieces>> tools_;
};

}  // namespace nimbra
