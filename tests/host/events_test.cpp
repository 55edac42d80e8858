// Every write of cmd.txt reaches the host: one event per write at a human pace, and writes
// replaced before they could be read are counted, never dropped silently.
#include <chrono>
#include <fstream>
#include <thread>

#include "host/host_fixture.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

// How long this thread has been ready to run but waiting for a CPU, as the scheduler counts.
std::chrono::nanoseconds runQueueWait() {
  std::ifstream in("/proc/thread-self/schedstat");
  long long running = 0, waiting = 0;
  in >> running >> waiting;
  return std::chrono::nanoseconds(waiting);
}

TEST_F(HostTest, NoWriteIsLostAcrossAThousandWritesFiveMillisecondsApart) {
  host::Helper helper = start();
  constexpr int kWrites = 1000;
  std::thread writer([&] {
    for (int i = 0; i < kWrites; ++i) {
      writeCmdLikeTheHelper("pick " + std::to_string(i));
      std::this_thread::sleep_for(5ms);  // at least 5 ms apart, the pace under test
    }
  });
  // A reader kept off the CPU for half the gap by a busy machine may miss a write however it
  // is built; any other miss is the library's.
  int last = -1, events = 0, missed = 0, missedStarved = 0;
  auto waited = runQueueWait();
  while (last < kWrites - 1) {
    const std::optional<host::Event> event = helper.next_event(10s);
    const auto stall = runQueueWait() - waited;
    waited += stall;
    if (!event) break;
    const int i = std::stoi(event->command.substr(5));
    ASSERT_GT(i, last) << event->command;
    ASSERT_EQ(event->command, "pick " + std::to_string(i));
    missed += event->missed;
    if (stall >= 2500us) missedStarved += event->missed;
    ++events;
    last = i;
  }
  writer.join();
  EXPECT_EQ(last, kWrites - 1) << "the last write was never delivered";
  EXPECT_EQ(events + missed, kWrites) << "the counts do not add up";
  EXPECT_EQ(missed - missedStarved, 0) << "writes missed while the reader could run";
  EXPECT_TRUE(helper.stop());
}

TEST_F(HostTest, ABurstFasterThanReadingIsReportedAsMissed) {
  host::Helper helper = start();
  for (int i = 0; i < 50; ++i) writeCmdLikeTheHelper("burst " + std::to_string(i));
  std::optional<host::Event> event = helper.next_event(10s);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, host::Event::Kind::pick);
  EXPECT_EQ(event->command, "burst 49");
  EXPECT_EQ(event->missed, 49);
  writeCmdLikeTheHelper("~open");
  event = helper.next_event(10s);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, host::Event::Kind::open);
  EXPECT_EQ(event->missed, 0);
  EXPECT_TRUE(helper.stop());
}

}  // namespace
}  // namespace nimbra::testing
