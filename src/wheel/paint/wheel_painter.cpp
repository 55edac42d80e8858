#include "wheel/paint/wheel_painter.h"

#include <cmath>
#include <optional>

#include "config/config.h"
#include "wheel/paint/canvas.h"
#include "wheel/paint/large_surface.h"
#include "wheel/paint/ring_scene.h"
#include "wheel/paint/wheel_passes.h"

namespace nimbra {
namespace {

// Views up to this many pixels a side keep caches for the whole view, whatever surface shows
// them; larger ones only for the part their surface can hold.
constexpr double kWholeViewSide = 4096;
// No cache region is larger than this a side (the largest image surface Cairo makes).
constexpr double kMaxRegionSide = 16384;
// The ring is kept as a picture only for regions up to this many pixels.
constexpr double kMaxLayerPixels = 2048.0 * 2048.0;

Box viewPixels(Size bounds, double scale) {
  return {0, 0, bounds.width * scale, bounds.height * scale};
}

// The part of pixel space the caches cover. `target` and `dirty` are only consulted for views
// too large to cover whole.
std::optional<Box> regionFor(const Box& view, const std::optional<Box>& target,
                             const std::optional<Box>& dirty) {
  Box region = roundOut(view);
  if (!isFinite(region) || region.empty()) return std::nullopt;
  if (region.width() <= kWholeViewSide && region.height() <= kWholeViewSide) return region;
  if (!target) return std::nullopt;
  region = intersect(region, roundOut(*target));
  if (dirty && (region.width() > kMaxRegionSide || region.height() > kMaxRegionSide)) {
    region = intersect(region, *dirty);
  }
  region.x1 = std::min(region.x1, region.x0 + kMaxRegionSide);
  region.y1 = std::min(region.y1, region.y0 + kMaxRegionSide);
  if (!isFinite(region) || region.empty()) return std::nullopt;
  return region;
}

// The surface's whole extent in user space, whatever clip the caller has set.
Box targetExtent(cairo_t* cr) {
  cairo_save(cr);
  cairo_reset_clip(cr);
  Box b;
  cairo_clip_extents(cr, &b.x0, &b.y0, &b.x1, &b.y1);
  cairo_restore(cr);
  return b;
}

bool isWholePixelShift(const cairo_matrix_t& m) {
  return m.xx == 1 && m.yy == 1 && m.xy == 0 && m.yx == 0 && m.x0 == std::floor(m.x0) &&
         m.y0 == std::floor(m.y0);
}

int normalisedSelection(int curSeg, std::size_t count) {
  return curSeg >= 0 && static_cast<std::size_t>(curSeg) < count ? curSeg : -1;
}

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// The ring, hub and centre label for one highlighted segment, as they would be painted onto a
// transparent surface.
struct Layer {
  int selected = -1;
  SurfacePtr surface;
};

}  // namespace

struct WheelPainter::Impl {
  // Made with the first scene: where nothing is painted, no font is ever loaded.
  std::unique_ptr<LabelMaker> labels;
  std::unique_ptr<RingScene> scene;
  // One picture of the ring with nothing highlighted, for opening, and one for the latest
  // highlighted segment.
  Layer idle;
  Layer recent;

  RingScene& sceneFor(const std::shared_ptr<const Config>& cfg, Size bounds, double scale,
                      const Box& region) {
    if (!scene || !scene->matches(cfg.get(), bounds, scale, region)) {
      idle = {};
      recent = {};
      scene.reset();  // the old masks go before the new ones are made
      if (!labels) labels = std::make_unique<LabelMaker>();
      scene = std::make_unique<RingScene>(cfg, bounds, scale, region, *labels);
    }
    return *scene;
  }

  cairo_surface_t* layerFor(int selected) {
    Layer& slot = selected < 0 ? idle : recent;
    if (slot.surface && slot.selected == selected) return slot.surface.get();
    const Box& r = scene->region;
    if (selected >= 0 && (recent.surface || idle.surface) && repaintHighlight(selected)) {
      return recent.surface.get();
    }
    if (!slot.surface) {
      slot.surface.reset(createLargeImageSurface(CAIRO_FORMAT_ARGB32, static_cast<int>(r.width()),
                                                 static_cast<int>(r.height())));
      if (cairo_surface_status(slot.surface.get()) != CAIRO_STATUS_SUCCESS) {
        slot = {};
        return nullptr;
      }
    }
    cairo_t* cr = cairo_create(slot.surface.get());
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    cairo_translate(cr, -r.x0, -r.y0);
    paintRingAndHub(cr, *scene, selected);
    cairo_destroy(cr);
    slot.selected = selected;
    return slot.surface.get();
  }

  // Turns the kept picture of another highlight into the one for `selected` by repainting
  // only where the two differ: the old and the new highlighted segment with their shadows.
  // Every other pixel sees the same paint operations either way.
  bool repaintHighlight(int selected) {
    const int before = recent.surface ? recent.selected : idle.selected;
    std::vector<Box> area;
    for (int seg : {before, selected}) {
      if (seg < 0) continue;
      auto part = scene->highlightArea(static_cast<std::size_t>(seg));
      if (!part) return false;
      area.insert(area.end(), part->begin(), part->end());
    }
    const Box& r = scene->region;
    if (!recent.surface) {
      recent.surface.reset(createLargeImageSurface(CAIRO_FORMAT_ARGB32, static_cast<int>(r.width()),
                                                   static_cast<int>(r.height())));
      if (cairo_surface_status(recent.surface.get()) != CAIRO_STATUS_SUCCESS) {
        recent = {};
        return false;
      }
      cairo_t* copy = cairo_create(recent.surface.get());
      cairo_set_operator(copy, CAIRO_OPERATOR_SOURCE);
      cairo_set_source_surface(copy, idle.surface.get(), 0, 0);
      cairo_paint(copy);
      cairo_destroy(copy);
    }
    cairo_t* cr = cairo_create(recent.surface.get());
    cairo_translate(cr, -r.x0, -r.y0);
    for (const Box& b : area) {
      Box clipped = intersect(b, r);
      if (!clipped.empty()) {
        cairo_rectangle(cr, clipped.x0, clipped.y0, clipped.width(), clipped.height());
      }
    }
    cairo_clip(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    paintRingAndHub(cr, *scene, selected);
    cairo_destroy(cr);
    recent.selected = selected;
    return true;
  }

  void drop() {
    idle = {};
    recent = {};
    scene.reset();
  }
};

WheelPainter::WheelPainter() : impl_(std::make_unique<Impl>()) {}
WheelPainter::~WheelPainter() = default;

void WheelPainter::prepare(const PaintInputs& in) {
  if (!in.cfg || in.cfg->segs.empty()) {
    impl_->drop();
    return;
  }
  if (!frameFor(*in.cfg, in.bounds, in.scale).usable()) return;
  auto region = regionFor(viewPixels(in.bounds, in.scale), std::nullopt, std::nullopt);
  // A view too large to cache whole: paint() builds for the part its surface shows.
  if (!region) return;
  RingScene& scene = impl_->sceneFor(in.cfg, in.bounds, in.scale, *region);
  scene.makeMasks();
  if (region->width() * region->height() <= kMaxLayerPixels) impl_->layerFor(-1);
  impl_->labels->finishFontLoading();
}

void WheelPainter::paint(Canvas& canvas, const PaintInputs& in, const Rect& dirty) {
  // An empty configuration paints nothing at all, not even the background.
  if (!in.cfg || in.cfg->segs.empty() || !canvas.cr) return;
  cairo_t* cr = canvas.cr;
  const double scale = canvas.scale;
  if (!(scale > 0) || !std::isfinite(scale)) return;

  const Box view = viewPixels(in.bounds, scale);
  const Box target = targetExtent(cr);
  Box dirtyPx = roundOut(Box{dirty.origin.x * scale, dirty.origin.y * scale,
                             (dirty.origin.x + dirty.size.width) * scale,
                             (dirty.origin.y + dirty.size.height) * scale});
  if (!isFinite(dirtyPx)) dirtyPx = roundOut(view);
  dirtyPx = intersect(intersect(dirtyPx, roundOut(view)), roundOut(target));
  if (!isFinite(dirtyPx) || dirtyPx.empty()) return;

  cairo_save(cr);
  cairo_rectangle(cr, dirtyPx.x0, dirtyPx.y0, dirtyPx.width(), dirtyPx.height());
  cairo_clip(cr);

  const WheelFrame frame = frameFor(*in.cfg, in.bounds, scale);
  auto region = regionFor(view, target, dirtyPx);
  if (!frame.usable() || !region) {
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_restore(cr);
    return;
  }
  RingScene& scene = impl_->sceneFor(in.cfg, in.bounds, scale, *region);
  const int selected = normalisedSelection(in.curSeg, scene.segments.size());

  cairo_matrix_t m;
  cairo_get_matrix(cr, &m);
  cairo_surface_t* layer = nullptr;
  if (isWholePixelShift(m) && region->width() * region->height() <= kMaxLayerPixels) {
    layer = impl_->layerFor(selected);
  }
  if (layer) {
    // The kept picture replaces clearing and repainting the ring: same pixels, one copy.
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, layer, region->x0, region->y0);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  } else {
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    paintRingAndHub(cr, scene, selected);
  }

  paintTools(cr, scene, in.curSeg, in.curTool);
  cairo_restore(cr);
}

}  // namespace nimbra
