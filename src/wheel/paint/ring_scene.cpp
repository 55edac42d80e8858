#include "wheel/paint/ring_scene.h"

#include <cmath>

#include "wheel/paint/wheel_style.h"

namespace nimbra {
namespace {

CoverageFn fillOf(const Polygon& shape) {
  return [&shape](cairo_t* cr) {
    tracePolygon(cr, shape);
    cairo_fill(cr);
  };
}

CoverageFn textOf(const PlacedLabel& label) {
  return [&label](cairo_t* cr) { label.paint(cr); };
}

LabelPiece labelPiece(std::unique_ptr<TextLabel> text, Vec2 anchor) {
  LabelPiece piece;
  piece.label = placeLabel(std::move(text), anchor);
  return piece;
}

}  // namespace

bool WheelFrame::usable() const {
  return std::isfinite(scale) && scale > 0 && std::isfinite(centre.x) && std::isfinite(centre.y) &&
         std::isfinite(radius) && radius > 0 && std::isfinite(inner);
}

Vec2 WheelFrame::at(double r, double degrees) const {
  double t = degrees * kPi / 180;
  return {centre.x + r * std::cos(t), centre.y + r * std::sin(t)};
}

WheelFrame frameFor(const Config& cfg, Size bounds, double scale) {
  WheelFrame f;
  f.scale = scale;
  f.centre = {bounds.width * 0.5 * scale, bounds.height * 0.5 * scale};
  f.radius = cfg.radius * scale;
  f.inner = kInnerRadiusFactor * cfg.radius * scale;
  f.count = cfg.segs.size();
  f.segmentWidth = 360.0 / static_cast<double>(std::max<std::size_t>(f.count, 1));
  return f;
}

Box PlacedLabel::inkBox() const {
  if (!text || text->ink().empty()) return {};
  const Box& ink = text->ink();
  return expand(Box{left + ink.x0, top + ink.y0, left + ink.x1, top + ink.y1}, 1);
}

void PlacedLabel::paint(cairo_t* cr) const {
  if (text) text->paint(cr, left, top);
}

PlacedLabel placeLabel(std::unique_ptr<TextLabel> text, Vec2 anchor) {
  PlacedLabel placed;
  if (text) {
    placed.left = anchor.x - text->width() * 0.5;
    placed.top = anchor.y - text->height() * 0.5;
  }
  placed.text = std::move(text);
  return placed;
}

RingScene::RingScene(std::shared_ptr<const Config> config, Size viewBounds, double scale,
                     const Box& paintable, LabelMaker& labels)
    : cfg(std::move(config)),
      bounds(viewBounds),
      frame(frameFor(*cfg, viewBounds, scale)),
      region(paintable),
      visible(expand(paintable, planGaussian(kShadowSigmaPoints * scale).reach() + 2)),
      blur(planGaussian(kShadowSigmaPoints * scale)),
      masked(paintable.width() * paintable.height() <= kMaxMaskedRegionPixels),
      geo_(cfg),
      labels_(labels),
      tools_(cfg->segs.size()) {
  const WheelFrame& f = frame;
  const double w = f.segmentWidth;
  const double line = kLineWidthPoints * f.scale;
  const double labelRadius = (f.radius + f.inner) * 0.5;
  const double labelPx = segmentLabelPoints(cfg->radius) * f.scale;
  segments.resize(cfg->segs.size());
  for (std::size_t i = 0; i < segments.size(); ++i) {
    SegmentPieces& piece = segments[i];
    const double a0 = w * static_cast<double>(i) + (-w * 0.5 - 90);
    const double a1 = a0 + w;
    piece.fill.shape = annularSector(f.centre, f.radius, f.inner, a0, a1, visible);
    piece.separator.shape = band(f.at(f.inner, a0), f.at(f.radius, a0), line, visible);
    const Vec2 anchor = f.at(labelRadius, a0 + w * 0.5);
    const std::string& name = cfg->segs[i].name;
    piece.labels[kOther] = labelPiece(labels_.make(name, labelPx, FontWeight::kMedium), anchor);
    piece.labels[kSelected] =
        labelPiece(labels_.make(name, labelPx, FontWeight::kSemibold), anchor);
  }
  hubFill.shape = disc(f.centre, f.inner, visible);
  hubOutline.shape =
      annularSector(f.centre, f.inner + line / 2, f.inner - line / 2, 0, 360, visible);
  centreLabel = labelPiece(labels_.make(kCentreLabelText, centreLabelPoints(cfg->radius) * f.scale,
                                        FontWeight::kSemibold),
                           f.centre);
}

bool RingScene::matches(const Config* config, Size viewBounds, double scale,
                        const Box& paintable) const {
  return cfg.get() == config && bounds == viewBounds && frame.scale == scale &&
         frame.radius == config->radius * scale && region == paintable;
}

const AlphaMask* RingScene::mask(CachedMask& slot, bool blurred, const Box& elementBounds,
                                 const CoverageFn& paint, std::unique_ptr<AlphaMask>& scratch) {
  if (slot.made && !slot.over) return slot.mask.get();
  auto made = blurred ? buildShadowMask(elementBounds, region, blur, kMaxMaskPixels, paint)
                      : buildCoverageMask(elementBounds, region, kMaxMaskPixels, paint);
  if (!slot.made) {
    slot.made = true;
    const std::size_t bytes = made ? made->bytes() : 0;
    if (maskBytes_ + bytes <= kMaskBudgetBytes) {
      maskBytes_ += bytes;
      slot.mask = std::move(made);
      return slot.mask.get();
    }
    slot.over = true;
  }
  scratch = std::move(made);
  return scratch.get();
}

const AlphaMask* RingScene::coverage(ShapePiece& piece, std::unique_ptr<AlphaMask>& scratch) {
  return mask(piece.coverage, false, piece.shape.bounds(), fillOf(piece.shape), scratch);
}

const AlphaMask* RingScene::coverage(LabelPiece& piece, std::unique_ptr<AlphaMask>& scratch) {
  return mask(piece.coverage, false, piece.label.inkBox(), textOf(piece.label), scratch);
}

void RingScene::paint(cairo_t* cr, ShapePiece& piece, const Color& color) {
  if (piece.shape.empty()) return;
  if (masked) {
    std::unique_ptr<AlphaMask> scratch;
    if (const AlphaMask* m = coverage(piece, scratch)) m->paint(cr, color);
    return;
  }
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
  tracePolygon(cr, piece.shape);
  cairo_fill(cr);
}

void RingScene::paint(cairo_t* cr, LabelPiece& piece, const Color& color) {
  if (!intersects(piece.label.inkBox(), visible)) return;
  if (masked) {
    std::unique_ptr<AlphaMask> scratch;
    if (const AlphaMask* m = coverage(piece, scratch)) m->paint(cr, color);
    return;
  }
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
  piece.label.paint(cr);
}

void RingScene::paintShadow(cairo_t* cr, ShapePiece& piece, double alpha) {
  std::unique_ptr<AlphaMask> scratch;
  const AlphaMask* m = mask(piece.shadow, true, piece.shape.bounds(), fillOf(piece.shape), scratch);
  if (m) m->paint(cr, {0, 0, 0, alpha});
}

void RingScene::paintShadow(cairo_t* cr, LabelPiece& piece, double alpha) {
  std::unique_ptr<AlphaMask> scratch;
  const AlphaMask* m = mask(piece.shadow, true, piece.label.inkBox(), textOf(piece.label), scratch);
  if (m) m->paint(cr, {0, 0, 0, alpha});
}

ToolPieces RingScene::makeTools(std::size_t seg) {
  ToolPieces out;
  const Seg& s = cfg->segs[seg];
  if (s.tools.empty()) return out;
  const WheelFrame& f = frame;
  const int index = static_cast<int>(seg);
  out.grid = geo_.segAnchor(index);
  if (out.grid) {
    const double n = static_cast<double>(std::max<std::size_t>(f.count, 1));
    const double c = (360 / n) * (index + 0.5) + (-90 - (360 / n) * 0.5);
    const Vec2 g = f.at(f.radius * kAnchorGridDistanceFactor, c);
    const double side = kAnchorGridSideFactor * f.radius;
    const double pitch = side / 3;
    const double gap = pitch * 0.1;
    const double box = pitch - gap;
    const double inset = gap * 0.5;
    const double x0 = g.x - side * 0.5;
    const double y0 = g.y - side * 0.5;
    out.cells.resize(9);
    for (int r = 0; r < 3; ++r) {
      for (int q = 0; q < 3; ++q) {
        const double left = x0 + q * pitch + inset;
        const double top = y0 + r * pitch + inset;
        out.cells[3 * r + q].shape =
            roundedRect({left, top, left + box, top + box}, kAnchorCornerPoints * f.scale, visible);
      }
    }
    return out;
  }
  const double s0 = geo_.arcStart(index);
  const double step = kToolStepDegrees;
  const double px = toolLabelPoints(cfg->radius) * f.scale;
  out.cells.resize(s.tools.size());
  out.labels.resize(s.tools.size());
  for (std::size_t k = 0; k < s.tools.size(); ++k) {
    const double kk = static_cast<double>(k);
    out.cells[k].shape =
        annularSector(f.centre, kToolCellOuterFactor * f.radius, kToolCellInnerFactor * f.radius,
                      s0 + step * kk + kToolCellInsetDegrees,
                      s0 + step * kk + step - kToolCellInsetDegrees, visible);
    const Vec2 anchor = f.at(kToolLabelFactor * f.radius, s0 + (kk + 0.5) * step);
    const std::string& name = s.tools[k].name;
    out.labels[k][kOther] = labelPiece(labels_.make(name, px, FontWeight::kMedium), anchor);
    out.labels[k][kSelected] = labelPiece(labels_.make(name, px, FontWeight::kSemibold), anchor);
  }
  return out;
}

ToolPieces& RingScene::tools(std::size_t seg) {
  if (!tools_[seg]) tools_[seg] = makeTools(seg);
  return *tools_[seg];
}

void RingScene::makeMasks() {
  std::unique_ptr<AlphaMask> scratch;
  auto shape = [&](ShapePiece& piece, bool shadow) {
    if (masked) coverage(piece, scratch);
    if (shadow) mask(piece.shadow, true, piece.shape.bounds(), fillOf(piece.shape), scratch);
  };
  auto label = [&](LabelPiece& piece, bool shadow) {
    if (masked) coverage(piece, scratch);
    if (shadow) mask(piece.shadow, true, piece.label.inkBox(), textOf(piece.label), scratch);
  };
  for (SegmentPieces& piece : segments) {
    shape(piece.fill, true);
    shape(piece.separator, true);
    label(piece.labels[kOther], true);
    label(piece.labels[kSelected], true);
  }
  shape(hubFill, false);
  shape(hubOutline, false);
  label(centreLabel, false);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    ToolPieces& t = tools(i);
    for (ShapePiece& cell : t.cells) shape(cell, false);
    for (auto& pair : t.labels) {
      label(pair[kOther], false);
      label(pair[kSelected], false);
    }
  }
}

std::optional<std::vector<Box>> RingScene::highlightArea(std::size_t seg) const {
  const SegmentPieces& piece = segments[seg];
  std::vector<Box> area;
  for (const CachedMask* slot :
       {&piece.fill.shadow, &piece.labels[kOther].shadow, &piece.labels[kSelected].shadow}) {
    if (!slot->made || slot->over) return std::nullopt;
    if (slot->mask) area.push_back(slot->mask->extent());
  }
  area.push_back(roundOut(expand(piece.fill.shape.bounds(), 1)));
  area.push_back(roundOut(piece.labels[kOther].label.inkBox()));
  area.push_back(roundOut(piece.labels[kSelected].label.inkBox()));
  return area;
}

}  // namespace nimbra
