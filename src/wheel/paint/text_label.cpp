#include "wheel/paint/text_label.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace nimbra {
namespace {

constexpr const char* kFontFamilies = "Inter,Cantarell,sans-serif";
// Layouts are made at no more than this size (Pango sizes are integers in 1/1024 units).
constexpr double kMaxLayoutPixels = 1024;
// Longer names are cut: shaping costs grow with length, and such a line outruns any screen.
constexpr std::size_t kMaxTextBytes = 16384;

// Pango takes valid UTF-8 only; stray bytes and NULs would be dropped or shown as boxes.
std::string printable(std::string_view text) {
  std::size_t cut = text.size();
  if (cut > kMaxTextBytes) {
    cut = kMaxTextBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  }
  std::string s(text.substr(0, cut));
  s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
  if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) return s;
  gchar* valid = g_utf8_make_valid(s.data(), static_cast<gssize>(s.size()));
  std::string out(valid);
  g_free(valid);
  return out;
}

}  // namespace

TextLabel::TextLabel(PangoLayout* layout, double scaleUp) : layout_(layout), scaleUp_(scaleUp) {
  PangoRectangle inkRect;
  PangoRectangle logical;
  pango_layout_get_extents(layout_, &inkRect, &logical);
  width_ = static_cast<double>(logical.width) / PANGO_SCALE * scaleUp_;
  height_ = static_cast<double>(logical.height) / PANGO_SCALE * scaleUp_;
  if (inkRect.width > 0 && inkRect.height > 0) {
    double k = scaleUp_ / PANGO_SCALE;
    ink_ = {inkRect.x * k, inkRect.y * k, (inkRect.x + inkRect.width) * k,
            (inkRect.y + inkRect.height) * k};
  }
}

TextLabel::~TextLabel() {
  g_object_unref(layout_);
}

void TextLabel::paint(cairo_t* cr, double left, double top) const {
  if (ink_.empty()) return;
  cairo_save(cr);
  cairo_translate(cr, left, top);
  if (scaleUp_ != 1) cairo_scale(cr, scaleUp_, scaleUp_);
  cairo_move_to(cr, 0, 0);
  pango_cairo_show_layout(cr, layout_);
  cairo_restore(cr);
}

LabelMaker::LabelMaker() {
  context_ = pango_font_map_create_context(pango_cairo_font_map_get_default());
  // Fixed options, so that labels look the same on every surface and in every shadow mask.
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  pango_cairo_context_set_font_options(context_, options);
  cairo_font_options_destroy(options);
}

LabelMaker::~LabelMaker() {
  g_object_unref(context_);
}

namespace {

PangoFontDescription* fontFor(double layoutPx, FontWeight weight) {
  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family_static(font, kFontFamilies);
  pango_font_description_set_weight(
      font, weight == FontWeight::kSemibold ? PANGO_WEIGHT_SEMIBOLD : PANGO_WEIGHT_MEDIUM);
  pango_font_description_set_absolute_size(font, layoutPx * PANGO_SCALE);
  return font;
}

}  // namespace

std::unique_ptr<TextLabel> LabelMaker::make(std::string_view text, double sizePx,
                                            FontWeight weight) {
  if (!(sizePx > 0) || !(sizePx <= kMaxLabelPixels)) return nullptr;
  double layoutPx = std::min(sizePx, kMaxLayoutPixels);
  PangoFontDescription* font = fontFor(layoutPx, weight);
  PangoLayout* layout = pango_layout_new(context_);
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);
  pango_layout_set_single_paragraph_mode(layout, TRUE);
  pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
  std::string s = printable(text);
  pango_layout_set_text(layout, s.data(), static_cast<int>(s.size()));
  const std::pair<double, FontWeight> key{layoutPx, weight};
  if (std::find(pending_.begin(), pending_.end(), key) == pending_.end()) pending_.push_back(key);
  return std::make_unique<TextLabel>(layout, sizePx / layoutPx);
}

void LabelMaker::finishFontLoading() {
  PangoFontMap* map = pango_context_get_font_map(context_);
  for (const auto& [layoutPx, weight] : pending_) {
    PangoFontDescription* font = fontFor(layoutPx, weight);
    // The second font of a fontset comes from the sorted list: asking for it waits until the
    // list is made. The fontset is the one the labels used, from Pango's cache.
    PangoFontset* fonts =
        pango_font_map_load_fontset(map, context_, font, pango_context_get_language(context_));
    pango_font_description_free(font);
    if (!fonts) continue;
    int seen = 0;
    pango_fontset_foreach(
        fonts,
        [](PangoFontset*, PangoFont*, gpointer n) -> gboolean {
          return ++*static_cast<int*>(n) >= 2;
        },
        &seen);
    g_object_unref(fonts);
  }
  pending_.clear();
}

void startLoadingFonts() {
  pango_cairo_font_map_get_default();
}

}  // namespace nimbra
