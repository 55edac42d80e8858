// A host application in a few lines: shows a wheel and prints every pick until Ctrl+C, or
// until the helper ends (stop.txt in the work directory).
//
//   nimbra-host-example [DIR [PATH/TO/nimbra-wheel]]
#include <nimbra/host.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>

namespace nh = nimbra::host;

int main(int argc, char** argv) {
  // Ctrl+C interrupts the wait for events instead of ending the program, which then stops the
  // helper (no SA_RESTART).
  struct sigaction interrupt {};
  interrupt.sa_handler = [](int) {};
  sigaction(SIGINT, &interrupt, nullptr);
  sigaction(SIGTERM, &interrupt, nullptr);

  nh::Wheel wheel;
  wheel.hold_ms = 350;
  wheel.segments = {
      {"Edit", "#3a7", {{"Copy", "copy"}, {"Paste plain", "paste|plain"}}},
      {"Place",
       "#ff8800",
       {nh::Tool::anchor("Top left", 0, 0), nh::Tool::anchor("Centre", 0.5, 0.5),
        nh::Tool::anchor("Bottom right", 1, 1)}},
      {"View", "#9c6ade", {{"Zoom in", "zoom +"}, {"Zoom out", "zoom -"}}},
  };
  char folder[] = "/tmp/nimbra-host-XXXXXX";
  const char* dir = argc > 1 ? argv[1] : mkdtemp(folder);
  nh::Options options;
  if (argc > 2) options.helper = argv[2];
  try {
    nh::Helper helper = nh::start(dir, wheel, options);
    std::printf(
        "nimbra-wheel serves %s: hold the right mouse button or press Super+Alt+W, "
        "then pick a tool. Ctrl+C stops.\n",
        dir);
    std::fflush(stdout);
    while (std::optional<nh::Event> event = helper.next_event()) {
      if (event->missed)
        std::printf("(%d earlier writes were replaced before they were read)\n", event->missed);
      if (event->kind == nh::Event::Kind::open) {
        std::printf("wheel opened\n");
      } else {
        std::printf("picked: %s\n", event->command.c_str());
      }
      std::fflush(stdout);
    }
    helper.stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  std::printf("the helper has ended\n");
}
