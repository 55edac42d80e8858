// Take-over at start-up: yield to a healthy helper, end a wedged one, and never act on a
// process that is not a nimbra-wheel helper.
#include <gtest/gtest.h>

#include "app/heartbeat.h"
#include "app/take_over.h"
#include "support/helper_fixture.h"

namespace nimbra::testing {
namespace {

class TakeOver : public HelperTest {
 protected:
  static constexpr std::int32_t kOther = 777;
  TakeOver() {
    process().platform = &fake;
    process().paths.emplace(dir.path());
    fake.probeResults[kOther] = 0;
    fake.helperPids.insert(kOther);
  }
  std::int64_t nowMs() const { return toEpochMs(fake.clock); }
  bool decide(const std::string& record) {
    writeFile(dir.file("pid.txt"), record);
    return takeOverIfNeeded();
  }
  std::string recordAged(std::int64_t ageMs) const {
    return formatHeartbeat(kOther, nowMs() - ageMs);
  }
};

TEST_F(TakeOver, YieldsToAHealthyHelper) {
  EXPECT_FALSE(decide(recordAged(1000)));
  EXPECT_TRUE(logged("healthy helper already running (pid 777) \u2014 exiting"));
  EXPECT_TRUE(fake.terminated.empty());
  EXPECT_FALSE(decide(recordAged(4999)));
  EXPECT_FALSE(decide(recordAged(-60000))) << "a stamp in the future is healthy";
}

TEST_F(TakeOver, TerminatesAWedgedHelperAndCarriesOn) {
  EXPECT_TRUE(decide(recordAged(5000)));
  EXPECT_TRUE(logged("wedged helper pid 777 \u2014 terminating it"));
  EXPECT_EQ(fake.terminated, std::vector<std::int32_t>{kOther});
}

TEST_F(TakeOver, CarriesOnQuietlyWhenNobodyServes) {
  EXPECT_TRUE(decide(""));
  EXPECT_TRUE(decide("garbage"));
  EXPECT_TRUE(decide("777|1|2"));
  EXPECT_TRUE(decide("777"));
  EXPECT_TRUE(decide("777 |" + std::to_string(nowMs())));
  EXPECT_TRUE(decide(formatHeartbeat(4242, nowMs())));   // our own id
  EXPECT_TRUE(decide(formatHeartbeat(31337, nowMs())));  // no such process
  EXPECT_TRUE(fake.terminated.empty());
  EXPECT_FALSE(exists("log.txt"));
  EXPECT_TRUE(exists("pid.txt")) << "the record is left in place";
}

TEST_F(TakeOver, ReadsARecordWithSpaceAndLineEndsAroundIt) {
  EXPECT_FALSE(decide(" \t" + recordAged(10) + "\r\n"));
}

TEST_F(TakeOver, NeverProbesOrSignalsProcessGroupsOrEveryone) {
  for (const char* pid : {"0", "-1", "-777"}) {
    EXPECT_TRUE(decide(std::string(pid) + "|0"));
  }
  EXPECT_TRUE(fake.probed.empty());
  EXPECT_TRUE(fake.terminated.empty());
}

TEST_F(TakeOver, PassesOverAProcessThatIsNotAHelper) {
  fake.helperPids.clear();
  EXPECT_TRUE(decide(recordAged(1000)));
  EXPECT_TRUE(decide(recordAged(100000)));
  EXPECT_TRUE(fake.terminated.empty());
  EXPECT_FALSE(exists("log.txt"));
}

TEST_F(TakeOver, TreatsAnAgeBeyondSixtyFourBitsAsStale) {
  EXPECT_TRUE(decide("777|-9223372036854775808"));
  EXPECT_EQ(fake.terminated.size(), 1u);
}

TEST(Heartbeat, ParsesOnlyWholeRecordsWithinTheirFieldWidths) {
  EXPECT_EQ(parseHeartbeat("12|34"), (HeartbeatRecord{12, 34}));
  EXPECT_EQ(parseHeartbeat("+12|-34"), (HeartbeatRecord{12, -34}));
  EXPECT_EQ(parseHeartbeat("\xC2\x85 12|34\xE2\x80\xA8"), (HeartbeatRecord{12, 34}));
  EXPECT_EQ(parseHeartbeat("2147483648|1"), std::nullopt);
  EXPECT_EQ(parseHeartbeat("1|9223372036854775808"), std::nullopt);
  EXPECT_EQ(parseHeartbeat("1|-9223372036854775808"),
            (HeartbeatRecord{1, std::numeric_limits<std::int64_t>::min()}));
  for (const char* bad : {"|", "1|", "|1", "+|1", "1|+", "1 |2", "1| 2", "1|2x", "1.0|2", "1||2"})
    EXPECT_EQ(parseHeartbeat(bad), std::nullopt) << bad;
}

TEST(Heartbeat, WritesMillisecondsTruncatedTowardZero) {
  EXPECT_EQ(formatHeartbeat(5, toEpochMs(1700000000.9999)), "5|1700000000999");
  EXPECT_EQ(toEpochMs(1e300), std::numeric_limits<std::int64_t>::max());
}

}  // namespace
}  // namespace nimbra::testing
