#include "wheel/paint/wheel_passes.h"

#include "wheel/paint/wheel_style.h"

namespace nimbra {

void paintRingAndHub(cairo_t* cr, RingScene& scene, int selected) {
  for (std::size_t i = 0; i < scene.segments.size(); ++i) {
    SegmentPieces& piece = scene.segments[i];
    const bool isSelected = static_cast<int>(i) == selected;
    Color fill = kOtherSegmentFill;
    if (isSelected) {
      fill = scene.cfg->segs[i].color;
      fill.alpha = kSelectedSegmentAlpha;
    }
    scene.paintShadow(cr, piece.fill, kShadowAlpha * fill.alpha);
    scene.paint(cr, piece.fill, fill);

    scene.paintShadow(cr, piece.separator, kShadowAlpha * kSeparatorColor.alpha);
    scene.paint(cr, piece.separator, kSeparatorColor);

    LabelPiece& label = piece.labels[isSelected ? kSelected : kOther];
    const Color& ink = isSelected ? kSelectedSegmentLabel : kOtherSegmentLabel;
    scene.paintShadow(cr, label, kShadowAlpha * ink.alpha);
    scene.paint(cr, label, ink);
  }
  scene.paint(cr, scene.hubFill, kHubFill);
  scene.paint(cr, scene.hubOutline, kHubOutline);
  scene.paint(cr, scene.centreLabel, kCentreLabelColor);
}

void paintTools(cairo_t* cr, RingScene& scene, int curSeg, int curTool) {
  if (curSeg < 0 || static_cast<std::size_t>(curSeg) >= scene.segments.size()) return;
  const Seg& seg = scene.cfg->segs[curSeg];
  if (seg.tools.empty()) return;
  ToolPieces& tools = scene.tools(static_cast<std::size_t>(curSeg));
  if (tools.grid) {
    // No names in the grid: the selected tool's box in the segment's colour, the rest dark.
    for (std::size_t cell = 0; cell < tools.cells.size(); ++cell) {
      const int t = (*tools.grid)[cell];
      scene.paint(cr, tools.cells[cell], t >= 0 && t == curTool ? seg.color : kOtherCellFill);
    }
    return;
  }
  // Each label right after its own cell, so a later cell covers an earlier label.
  for (std::size_t k = 0; k < tools.cells.size(); ++k) {
    const bool selected = static_cast<int>(k) == curTool;
    scene.paint(cr, tools.cells[k], selected ? seg.color : kOtherCellFill);
    scene.paint(cr, tools.labels[k][selected ? kSelected : kOther],
                selected ? kSelectedToolLabel : kOtherToolLabel);
  }
}

}  // namespace nimbra
