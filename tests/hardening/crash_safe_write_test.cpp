// The settings file survives whatever happens to a writer: a process killed
// in the middle of a write leaves the complete old file or the complete new
// one, and a write that cannot happen (a read-only folder, a full disk)
// leaves the old file as it was and the library quiet.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "simulator/home-screen/Files.h"
#include "simulator/home-screen/PlistValue.h"
#include "simulator/home-screen/Process.h"
#include "simulator/home-screen/PropertyList.h"

namespace thrumline::hardening {
namespace {

namespace fs = std::filesystem;
using sim::EventKind;
using sim::PlistValue;
using Clock = std::chrono::steady_clock;

#ifdef THRUMLINE_LONG_RUN
constexpr int kKills = 2500;
#else
constexpr int kKills = 150;
#endif
constexpr std::uint64_t kRespringQuiet = 7 * sim::kNanosPerSecond;

// The settings as the pane leaves them; the padding, a key of the pane's
// own, makes a write long enough for kills to land inside it.
PlistValue settingsWith(bool notRespringing, std::size_t padding) {
    const auto yes = PlistValue::boolean(true);
    const auto number = &PlistValue::integer;
    return sim::settingsWithEveryKey({{"isEnabled", yes},
                                      {"isNotRespringing", PlistValue::boolean(notRespringing)},
                                      {"isVibrationsNumber", yes},
                                      {"firstVibrationNumber", number(1)},
                                      {"lastVibrationNumber", number(2)},
                                      {"VibrationDuration", number(150)},
                                      {"vibration1", number(250)},
                                      {"vibration2", number(350)},
                                      {"padding", PlistValue::data(std::string(padding, 'Z'))}});
}

// Removes the temporary files beside the settings file, what writes cut
// short leave, and counts them.
int removeTemporaryFiles(const std::string& folder) {
    int removed = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".plist-", 0) == 0) removed += fs::remove(entry);
    }
    return removed;
}

// Shared with a forked child: written by it, read once it is gone.
struct Shared {
    std::atomic<int> started;
    std::atomic<long> writes;
    char report[1024];
};

class CrashSafeWrites : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(shared, MAP_FAILED); }
    void TearDown() override { ::munmap(shared, sizeof(Shared)); }

    // The two versions of the file a writer switches between; the old one
    // in place.
    void useVersions(std::size_t padding) {
        for (int i = 0; i < 2; ++i) {
            values[i] = settingsWith(i == 0, padding);
            versions[i] = sim::toXmlPlist(values[i]);
        }
        ASSERT_TRUE(sim::writeFileAtomically(file(), versions[0]));
    }
    std::string file() const { return device.settingsFile(); }
    std::string folder() const { return fs::path(file()).parent_path().string(); }

    // What is wrong with the file as it stands, or "": the complete old or
    // new version, readable, with every key, is right.
    std::string judge() const {
        std::string bytes;
        if (!sim::readFileBytes(file(), &bytes)) return "missing";
        const bool whole = bytes == versions[0] || bytes == versions[1];
        if (!whole) return "torn, " + std::to_string(bytes.size()) + " bytes";
        const PlistValue parsed = sim::parsePlist(bytes);
        for (const auto& entry : values[0].entries()) {
            if (parsed.find(entry.first) == nullptr) return "without " + entry.first;
        }
        return {};
    }

    // A child running `body`, with its library copies in the device folder;
    // an exception ends it too.
    pid_t forkChild(const std::function<void()>& body) {
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid != 0) return pid;
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::setenv("TMPDIR", device.deviceRoot().c_str(), 1);
        [&]() noexcept { body(); }();
        ::_exit(0);
    }

    // Starts `writer` in a child, reads the file over and over for a random
    // moment, kills the child and judges the file. Returns a problem or "".
    std::string killOnce(const std::function<void()>& writer, std::mt19937& random, long window) {
        shared->started = 0;
        shared->writes = 0;
        const pid_t pid = forkChild(writer);
        if (pid < 0) return "cannot fork";
        // One kill in eight lands while the process starts and loads.
        const bool duringStart = random() % 8 == 0;
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (!duringStart && shared->started == 0 && Clock::now() < deadline) {
            std::this_thread::yield();
        }
        const auto killAt = Clock::now() + std::chrono::microseconds(random() % (window + 1));
        std::string seen;  // a reader in the meantime sees only whole files too
        do {
            if (seen.empty()) seen = judge();
            ++reads;
        } while (Clock::now() < killAt);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) return "the writer ended itself";
        writeCounts.insert(shared->writes);
        const std::string after = judge();
        if (!after.empty()) return "after a kill the file is " + after;
        killsInsideWrites += removeTemporaryFiles(folder());
        return seen.empty() ? "" : "a reader found the file " + seen;
    }

    // The kills have hit the writes themselves, at many points.
    bool covered() const { return killsInsideWrites > 0 && writeCounts.size() >= 5; }

    // Kills `writer` again and again, each time within `window` us of
    // writing; returns the first problem. A busy machine runs the writer
    // slower, so a fixed number of kills may land at too few points: it
    // keeps killing, in windows up to four times as wide, until they have
    // covered the writes, within a generous bound.
    std::string killRepeatedly(const char* name, const std::function<void()>& writer, long window) {
        std::mt19937 random(20261206);
        constexpr int kMaxKills = 20 * kKills;
        int kills = 0;
        for (; kills < kMaxKills && (kills < kKills || !covered()); ++kills) {
            const long widened = window * std::min(1 + kills / kKills, 4);
            const std::string problem = killOnce(writer, random, widened);
            if (!problem.empty()) return problem + " (kill " + std::to_string(kills) + ")";
        }
        std::printf("%s: %d kills, %d inside a write, %zu different write counts, %ld reads\n",
                    name, kills, killsInsideWrites, writeCounts.size(), reads);
        EXPECT_TRUE(covered()) << "after " << kills << " kills only " << killsInsideWrites
                               << " inside a write and " << writeCounts.size()
                               << " different write counts";
        return {};
    }

    // Writes the two versions in turn, for ever: atomically, or in place as
    // a careless writer would.
    std::function<void()> alternately(bool atomic) {
        return [this, atomic] {
            shared->started = 1;
            for (int k = 1;; k ^= 1, ++shared->writes) {
                if (atomic) {
                    sim::writePlistFileAtomically(file(), values[k]);
                } else {
                    std::ofstream(file(), std::ios::binary) << versions[k];
                }
            }
        };
    }

    // In a child, the home screen launches while the settings folder is a
    // small file system of the child's own, with the old file on it, made
    // read-only or filled to the last block. Both respring-guard writes
    // fail; the old file, the process and the values come through, with no
    // fault and nothing left behind.
    void expectQuietFailure(bool readOnly) {
        useVersions(64);
        std::snprintf(shared->report, sizeof shared->report, "the child ended early");
        const pid_t pid = forkChild([&] {
            sim::Device child(device.deviceRoot());
            sim::Process process(child);
            process.start();  // before the mount: the start writes a library copy
            const std::string dir = folder();
            std::string did;
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0 ||
                !sim::writeFileAtomically(file(), versions[0])) {
                did = "SKIP: cannot mount a file system here";
            } else if (readOnly) {
                ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
            } else {
                std::ofstream filler(dir + "/filler", std::ios::binary);
                while (filler << std::string(512, 'x') << std::flush) {
                }
            }
            child.clearEvents();
            process.applicationDidFinishLaunching(process.application());
            process.device().mainQueue().runUntilIdle();
            process.device().mainQueue().runFor(kRespringQuiet);
            child.panePost(THRUMLINE_VIB3_PREVIEW_NOTIFICATION);
            process.device().mainQueue().runUntilIdle();
            for (const sim::Event& e : child.events()) {
                using sim::events::NotificationPosted;
                if (const auto* w = e.get<sim::events::SettingsWritten>()) {
                    did += w->ok ? "wrote, " : "failed, ";
                }
                const auto* post = e.get<NotificationPosted>();
                if (post != nullptr && post->by == NotificationPosted::By::Library) {
                    did += "posted, ";
                }
                if (const auto* f = e.get<sim::events::Fault>())
                    did += "FAULT " + f->problem + ", ";
                if (const auto* v = e.get<sim::events::Vibrate>()) did += v->request.describe();
            }
            std::string now;
            sim::readFileBytes(file(), &now);
            if (now != versions[0]) did += "; the old file changed";
            if (removeTemporaryFiles(dir) != 0) did += "; a temporary file was left";
            std::snprintf(shared->report, sizeof shared->report, "%s", did.c_str());
        });
        int status = -1;
        ASSERT_TRUE(pid > 0 && ::waitpid(pid, &status, 0) == pid) << status;
        if (std::string(shared->report).rfind("SKIP:", 0) == 0) GTEST_SKIP() << shared->report;
        // The values still come from the old file: two pulses of vibration1
        // with VibrationDuration between them.
        EXPECT_STREQ(shared->report,
                     "failed, posted, failed, posted, "
                     "{Intensity = 1; VibePattern = (true, 250, false, 150, true, 250)}");
    }

    sim::Device device;
    Shared* shared = static_cast<Shared*>(
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    PlistValue values[2];
    std::string versions[2];
    int killsInsideWrites = 0;
    long reads = 0;
    std::set<long> writeCounts;
};

TEST_F(CrashSafeWrites, KilledRespringGuardLeavesTheOldOrTheNewFile) {
    useVersions(48 * 1024);
    // Launch after launch, each writing isNotRespringing false, then true.
    EXPECT_EQ(killRepeatedly(
                  "library writer",
                  [this] {
                      sim::Device child(device.deviceRoot());
                      sim::Process process(child);
                      process.start();
                      shared->started = 1;
                      for (;; child.clearEvents(), process.discardZombies()) {
                          process.applicationDidFinishLaunching(process.application());
                          process.device().mainQueue().runUntilIdle();
                          ++shared->writes;
                          process.device().mainQueue().runFor(kRespringQuiet);
                          ++shared->writes;
                      }
                  },
                  12000),
              "");
}

TEST_F(CrashSafeWrites, KilledAtomicWriterLeavesTheOldOrTheNewFile) {
    useVersions(16 * 1024);
    EXPECT_EQ(killRepeatedly("direct writer", alternately(true), 4000), "");
}

// The check itself: a writer that rewrites the file in place is caught.
TEST_F(CrashSafeWrites, AWriterThatIsNotAtomicIsCaught) {
    useVersions(16 * 1024);
    EXPECT_NE(killRepeatedly("in-place writer", alternately(false), 4000), "");
}

// Mounting needs root; without it, these two say so and are skipped.
TEST_F(CrashSafeWrites, ReadOnlyFolderKeepsTheOldFileAndTheLibraryQuiet) {
    expectQuietFailure(true);
}

TEST_F(CrashSafeWrites, FullDiskKeepsTheOldFileAndTheLibraryQuiet) { expectQuietFailure(false); }

}  // namespace
}  // namespace thrumline::hardening
