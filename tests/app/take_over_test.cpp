// Take-over at start-up: the helper holding the work directory's lock is the one serving it;
// yield to it when healthy, end it when wedged, and never act on a record alone.
#include <gtest/gtest.h>

#include "app/heartbeat.h"
#include "app/take_over.h"
#include "support/helper_fixture.h"

namespace nimbra::testing {
namespace {

using State = WorkDirLock::State;

class TakeOver : public HelperTest {
 protected:
  static constexpr std::int32_t kHolder = 777;
  TakeOver() {
    process().platform = &fake;
    process().paths.emplace(dir.path());
    fake.lock = {State::kHeld, kHolder};
  }
  std::string recordAged(std::int64_t ageMs, std::int32_t pid = kHolder) const {
    return formatHeartbeat(pid, toEpochMs(fake.clock) - ageMs);
  }
  bool decide(const std::string& record) {
    writeFile(dir.file("pid.txt"), record);
    return takeOverIfNeeded();
  }
  // Writes `record` into pid.txt `seconds` from now, as a helper's tick would.
  void recordLater(double seconds, std::function<std::string()> record) {
    fake.scheduleOnce(seconds, [this, record] { writeFile(dir.file("pid.txt"), record()); });
  }
  const std::string healthy = "healthy helper already running (pid 777) \u2014 exiting";
  const std::string wedged = "wedged helper pid 777 \u2014 terminating it";
};

// Without a lock to be had, a fresh record of a live process is yielded to; nothing else is.
TEST_F(TakeOver, CarriesOnWithTheLockAndWithoutOneYieldsOnlyToAFreshRecordOfALiveProcess) {
  for (const State state : {State::kAcquired, State::kUnavailable}) {
    fake.lock = {state, 0};
    for (const auto& record : {recordAged(10, 555), recordAged(60000), std::string("garbage")})
      EXPECT_TRUE(decide(record)) << record;
  }
  EXPECT_FALSE(exists("log.txt"));
  fake.live = {kHolder};
  EXPECT_TRUE(decide(recordAged(6000)));
  EXPECT_FALSE(decide(recordAged(10)));
  fake.lock = {State::kAcquired, 0};
  EXPECT_TRUE(decide(recordAged(10)));
  EXPECT_EQ(logMessages(), std::vector<std::string>{healthy});
  EXPECT_EQ(fake.lockFile, dir.file("helper.lock"));
  EXPECT_TRUE(fake.terminated.empty());
}

TEST_F(TakeOver, YieldsAtOnceToAFreshHolderAndEndsAStaleOneThenTakesTheLockOnceItIsGone) {
  for (const auto& record :
       {recordAged(1000), recordAged(4999), " \t" + recordAged(-60000) + "\r\n"})
    EXPECT_FALSE(decide(record)) << record;
  EXPECT_EQ(countLogged(healthy), 3);
  EXPECT_TRUE(fake.terminated.empty());
  EXPECT_TRUE(decide(recordAged(5000)));
  EXPECT_TRUE(decide("777|-9223372036854775808")) << "an age beyond 64 bits is stale";
  EXPECT_EQ(countLogged(wedged), 2);
  EXPECT_EQ(fake.terminated, (std::vector<std::int32_t>{kHolder, kHolder}));
  EXPECT_TRUE(fake.lockTakenWhenFree);
  EXPECT_TRUE(fake.lockWaits.empty());
}

// Records that do not name the holder: it has not written its first heartbeat, or is stopping
// and removed it, or the record is someone else's. The newcomer waits for the lock at least
// 1.5 s, and until the holder has run 2.5 s; a holder still without a record is stuck.
TEST_F(TakeOver, WithoutTheHoldersRecordWaitsForTheLockAndEndsAHolderThatNeverWritesOne) {
  for (const char* record :
       {"", "garbage", "777|1|2", "777 |1", "888|1", "4242|1", "0|1", "-1|1"}) {
    SCOPED_TRACE(record);
    ::unlink(dir.file("log.txt").c_str());
    fake.lockFreedAt = fake.clock + 0.65;
    const double start = fake.clock;
    EXPECT_TRUE(decide(record));
    EXPECT_NEAR(fake.clock - start, 0.65, 1e-6);
    EXPECT_FALSE(exists("log.txt"));
    fake.lock = {State::kHeld, kHolder};  // the lock came free: now it stays held
    fake.lockWaits.clear();
    fake.startedAt[kHolder] = fake.clock - 0.35;  // started a moment ago
    EXPECT_TRUE(decide(record));
    EXPECT_EQ(fake.lockWaits, std::vector<double>(22, 0.1)) << "waits without spinning";
    EXPECT_EQ(logMessages(), std::vector<std::string>{wedged});
  }
  EXPECT_EQ(fake.terminated, std::vector<std::int32_t>(8, kHolder));
  EXPECT_TRUE(fake.lockTakenWhenFree);
}

// The holder's first record may appear during the wait, and the lock may pass to another.
TEST_F(TakeOver, DecidesByTheRecordOfWhoeverHoldsTheLockAtTheEndOfTheWait) {
  const double start = fake.clock;
  recordLater(0.95, [&] { return recordAged(0); });
  EXPECT_FALSE(decide(""));
  EXPECT_NEAR(fake.clock - start, 1.0, 1e-6);
  recordLater(0.3, [&] { return recordAged(6000); });
  EXPECT_TRUE(decide(""));
  EXPECT_EQ(logMessages(), (std::vector<std::string>{healthy, wedged}));

  fake.lock = {State::kHeld, 0};  // the system does not say who holds it: it is never signalled
  EXPECT_TRUE(decide(recordAged(0)));
  fake.live = {kHolder};  // but a fresh record of a live process is yielded to
  EXPECT_FALSE(decide(recordAged(0)));
  EXPECT_EQ(countLogged(healthy), 2);
  fake.scheduleOnce(0.5, [&] { fake.lock.holder = 999; });
  recordLater(0.8, [&] { return recordAged(9000, 999); });
  EXPECT_TRUE(decide(recordAged(0)));
  EXPECT_TRUE(logged("wedged helper pid 999 \u2014 terminating it"));
  EXPECT_EQ(fake.terminated, (std::vector<std::int32_t>{kHolder, 999}));
}

}  // namespace
}  // namespace nimbra::testing
