#include "platform/headless/headless_platform.h"

namespace nimbra {
namespace {

class HeadlessWindow : public PlatformWindow {
 public:
  void setFrame(const Rect&) override {}
  void setNeedsDisplay() override {}
  void orderFrontRegardless() override {}
  void orderOut() override {}
  void setIgnoresMouseEvents(bool) override {}
  bool drawsContent() const override { return false; }
};

}  // namespace

std::unique_ptr<PlatformWindow> HeadlessPlatform::createOverlayWindow(ViewDelegate&) {
  return std::make_unique<HeadlessWindow>();
}

}  // namespace nimbra
