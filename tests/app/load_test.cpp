// Atomicity under load: a host polling the helper's files while it opens and fires thousands
// of times, and a host rewriting wheel.cfg in a tight loop while the tick reloads it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/heartbeat.h"
#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

// The whole file, read as a host would; none when it cannot be opened.
std::optional<std::string> slurp(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

// Long, distinct commands, so that a read that caught half of a write would show.
std::string commandFor(int seg, int tool) {
  return "fire-" + std::to_string(seg) + "-" + std::to_string(tool) + "-" +
         std::string(300, static_cast<char>('a' + seg * 3 + tool));
}

std::string pickConfig() {
  std::string cfg = "HOLD|120\nSIZE|100\n";
  for (int s = 0; s < 4; ++s) {
    cfg += "SEG|S" + std::to_string(s) + "|#808080\n";
    for (int t = 0; t < 3; ++t) cfg += "TOOL|T" + std::to_string(t) + "|" + commandFor(s, t) + "\n";
  }
  return cfg;
}

// Collects what a concurrent reader saw that it should never have seen.
struct Sightings {
  std::mutex mutex;
  std::vector<std::string> bad;
  void report(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (bad.size() < 5)
      bad.push_back(what.substr(0, 80) + " (" + std::to_string(what.size()) + " bytes)");
  }
};

class Load : public HelperTest {
 protected:
  Point polar(Point centre, double angle, double distance) const {
    const double r = angle * kPi / 180;
    return {centre.x + distance * std::cos(r), centre.y + distance * std::sin(r)};
  }

  // Hold, move into segment `s`, out onto its tool `t`, release.
  void pick(int s, int t) {
    const Point centre{500, 400};
    press(centre);
    fake.advance(0.12);
    drag(polar(centre, segmentMidAngle(s, 4), 60));
    drag(polar(centre, wheel().geo->arcStart(s) + 36 * t + 18, 150));
    release(polar(centre, wheel().geo->arcStart(s) + 36 * t + 18, 150));
  }
};

TEST_F(Load, AReaderPollingCmdAndPidOnlyEverSeesWholeContents) {
  start(pickConfig().c_str());
  std::set<std::string> allowed{"~open"};
  for (int s = 0; s < 4; ++s)
    for (int t = 0; t < 3; ++t) allowed.insert(commandFor(s, t));

  Sightings sightings;
  std::atomic<bool> done{false};
  std::atomic<long> cmdReads{0};
  std::atomic<long> pidReads{0};
  std::thread reader([&] {
    bool cmdSeen = false;
    bool pidSeen = false;
    while (!done.load()) {
      if (const auto cmd = slurp(dir.file("cmd.txt"))) {
        cmdSeen = true;
        ++cmdReads;
        if (!allowed.count(*cmd)) sightings.report("cmd.txt: " + *cmd);
      } else if (cmdSeen) {
        sightings.report("cmd.txt vanished");
      }
      if (const auto pid = slurp(dir.file("pid.txt"))) {
        pidSeen = true;
        ++pidReads;
        const auto record = parseHeartbeat(*pid);
        if (!record || record->pid != 4242) sightings.report("pid.txt: " + *pid);
      } else if (pidSeen) {
        sightings.report("pid.txt vanished");
      }
    }
  });

  constexpr int kPicks = 3000;
  int wrongPicks = 0;
  for (int i = 0; i < kPicks; ++i) {
    const int s = i % 4;
    const int t = (i / 4) % 3;
    pick(s, t);
    wrongPicks += file("cmd.txt") != commandFor(s, t);
    fake.advance(1.0);  // the tick rewrites pid.txt
  }
  done = true;
  reader.join();

  EXPECT_EQ(wrongPicks, 0) << "each release fires the tool under the pointer";
  EXPECT_EQ(countLogged("fired " + commandFor(3, 2)), kPicks / 12);
  EXPECT_GT(cmdReads.load(), 1000);
  EXPECT_GT(pidReads.load(), 1000);
  for (const auto& b : sightings.bad) ADD_FAILURE() << "torn or missing read: " << b;
}

// Two configurations that share no segment: any mix of the two would show.
const std::string kConfigA = [] {
  std::string cfg = "HOLD|150\nSIZE|100\n";
  for (int s = 0; s < 6; ++s) {
    cfg += "SEG|Alpha" + std::to_string(s) + std::string(80, 'a') + "|#ff0000\n";
    cfg += "TOOL|a|alpha-" + std::string(120, 'x') + "\nTOOL|b|anchor:0,0\n";
  }
  return cfg;
}();
const std::string kConfigB = [] {
  std::string cfg = "SIZE|140\nHOLD|250\n";
  for (int s = 0; s < 3; ++s) {
    cfg += "SEG|Beta" + std::to_string(s) + std::string(150, 'b') + "|#00ff00\n";
    for (int t = 0; t < 4; ++t) cfg += "TOOL|t|beta-" + std::string(100, 'y') + "\n";
  }
  return cfg;
}();

// Writes `text` as the host would: atomically by rename, or in place in small pieces.
void hostWrite(const std::string& path, const std::string& text, bool atomic) {
  const std::string target = atomic ? path + ".host-tmp" : path;
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (std::size_t at = 0; at < text.size(); at += 64) {
    const std::size_t n = std::min<std::size_t>(64, text.size() - at);
    if (::write(fd, text.data() + at, n) < 0) break;
  }
  ::close(fd);
  if (atomic) ::rename(target.c_str(), path.c_str());
}

class ConfigRewrites : public HelperTest {
 protected:
  // Runs `ticks` ticks or more while a host thread rewrites wheel.cfg, alternating A and B; `check`
  // looks at the wheel after every tick.
  void underRewrites(bool atomic, int ticks, const std::function<void(const Config&)>& check) {
    std::atomic<bool> done{false};
    std::atomic<long> writes{0};
    std::thread host([&] {
      for (long i = 0; !done.load(); ++i) {
        hostWrite(dir.file("wheel.cfg"), i % 2 ? kConfigA : kConfigB, atomic);
        ++writes;
      }
    });
    // A tick is much cheaper than the host's write: past `ticks`, it goes on until the host has
    // written often enough for the two to have raced.
    for (int i = 0; i < ticks || (writes.load() <= ticks / 20 && i < 100 * ticks); ++i) {
      fake.advance(1.0);
      ASSERT_TRUE(wheel().cfg);
      EXPECT_EQ(wheel().view->cfg, wheel().cfg);
      EXPECT_EQ(wheel().geo->cfg, wheel().cfg);
      check(*wheel().cfg);
      if (HasFailure()) break;
    }
    done = true;
    host.join();
    EXPECT_GT(writes.load(), ticks / 20) << "the host hardly wrote";
  }
};

TEST_F(ConfigRewrites, WrittenAtomicallyTheWheelIsAlwaysTheOldOrTheNewFileNeverAMix) {
  start(kConfigA.c_str());
  const Config a = Config::parse(kConfigA);
  const Config b = Config::parse(kConfigB);
  std::set<std::size_t> seen;
  underRewrites(true, 2000, [&](const Config& cfg) {
    const bool whole = cfg == a || cfg == b;
    EXPECT_TRUE(whole) << "a mix of " << cfg.segs.size() << " segments";
    seen.insert(cfg.segs.size());
  });
  EXPECT_EQ(seen, (std::set<std::size_t>{3, 6})) << "both files were taken up";
  EXPECT_GE(countLogged("config reloaded: 3 sections, R=140, hold=250ms"), 3);
}

TEST_F(ConfigRewrites, WrittenInPlaceTheWheelIsNeverEmptiedAndSettlesOnTheFinalFile) {
  start(kConfigA.c_str());
  underRewrites(false, 2000, [&](const Config& cfg) {
    EXPECT_FALSE(cfg.segs.empty()) << "a half-written file emptied the wheel";
  });
  // The host's last write, in place too, with a time of its own: the wheel takes it up whole.
  hostWrite(dir.file("wheel.cfg"), kConfigB, false);
  const struct timeval last[2] = {{1'500'000'000, 0}, {1'500'000'000, 0}};
  ::utimes(dir.file("wheel.cfg").c_str(), last);
  fake.advance(1.0);
  EXPECT_EQ(*wheel().cfg, Config::parse(kConfigB));
}

}  // namespace
}  // namespace nimbra::testing
