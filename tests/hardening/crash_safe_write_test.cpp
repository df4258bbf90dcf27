// The settings file survives whatever happens to a writer: a process killed
// in the middle of the respring guard's writes leaves the complete old file
// or the complete new one, and a write that cannot happen (a read-only
// folder, a full disk, a file-size limit) leaves the old file as it was and
// the library quiet.
#include "tests/hardening/ChildProcess.h"

#include "host/sim/PlistValue.h"
#include "host/sim/SimHost.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>

namespace thrumline::hardening {
namespace {

namespace fs = std::filesystem;
using sim::Event;
using sim::EventKind;
using sim::PlistValue;

#ifdef THRUMLINE_LONG_RUN
constexpr int kKillsPerWriter = 2500;
#else
constexpr int kKillsPerWriter = 150;
#endif

constexpr std::uint64_t kRespringQuiet = 7000000000ULL;

const char* const kNineKeys[] = {"isEnabled",           "isNotRespringing",  "isVibrationsNumber",
                                 "oldMethod",           "firstVibrationNumber", "lastVibrationNumber",
                                 "VibrationDuration",   "vibration1",        "vibration2"};

// The settings as the pane leaves them, plus keys of its own; the padding
// makes a write long enough for kills to land inside it.
PlistValue settingsWith(bool notRespringing, std::size_t padding) {
    return PlistValue::dictionary({
        {"isEnabled", PlistValue::boolean(true)},
        {"isNotRespringing", PlistValue::boolean(notRespringing)},
        {"isVibrationsNumber", PlistValue::boolean(true)},
        {"oldMethod", PlistValue::boolean(false)},
        {"firstVibrationNumber", PlistValue::integer(1)},
        {"lastVibrationNumber", PlistValue::integer(2)},
        {"VibrationDuration", PlistValue::integer(150)},
        {"vibration1", PlistValue::integer(250)},
        {"vibration2", PlistValue::integer(350)},
        {"paneVersion", PlistValue::string("2.1")},
        {"padding", PlistValue::data(std::string(padding, '\x5a'))},
    });
}

// Leftovers of writes cut short: temporary files beside the settings file.
int removeTemporaryFiles(const std::string& folder) {
    int removed = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".plist-", 0) == 0) {
            fs::remove(entry.path());
            ++removed;
        }
    }
    return removed;
}

// What a killed writer shares with the test: set by the child, read after
// the kill.
struct WriterProgress {
    std::atomic<int> started;
    std::atomic<long> writes;
};

class CrashSafeWrites : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::path(device.settingsFile()).parent_path().string();
        childTemp = device.deviceRoot() + "/child-tmp";
        fs::create_directories(childTemp);
        progress = static_cast<WriterProgress*>(::mmap(nullptr, sizeof(WriterProgress),
                                                       PROT_READ | PROT_WRITE,
                                                       MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        ASSERT_NE(progress, MAP_FAILED);
    }
    void TearDown() override { ::munmap(progress, sizeof(WriterProgress)); }

    // Names what is wrong with the file as it stands: the complete old or
    // new version, readable, with every key, is right.
    std::string judge(const std::string& bytes) const {
        if (bytes != versions[0] && bytes != versions[1]) {
            return "neither the old nor the new file (" + std::to_string(bytes.size()) + " bytes)";
        }
        const PlistValue parsed = sim::parsePlist(bytes);
        for (const char* key : kNineKeys) {
            if (parsed.find(key) == nullptr) return std::string("no ") + key;
        }
        return {};
    }

    // Starts `writer` in a child, reads the file over and over for a random
    // moment, kills the child and judges the file. Returns a problem or "".
    std::string killOnce(const std::function<void()>& writer, std::mt19937& random,
                         std::chrono::microseconds window) {
        progress->started = 0;
        progress->writes = 0;
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::setenv("TMPDIR", childTemp.c_str(), 1);  // library copies die with the test folder
            writer();
            ::_exit(0);
        }
        if (pid < 0) return "cannot fork";
        // One kill in eight lands while the process starts and loads.
        const bool duringStart = random() % 8 == 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!duringStart && progress->started == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        const auto killAt = std::chrono::steady_clock::now() +
                            std::chrono::microseconds(random() % (window.count() + 1));
        std::string problem;
        std::string bytes;
        do {
            // A reader in the meantime sees only whole files too.
            if (!sim::readFileBytes(settingsFile(), &bytes)) {
                problem = "the settings file was missing while a writer ran";
            } else if (problem.empty()) {
                const std::string wrong = judge(bytes);
                if (!wrong.empty()) problem = "a reader saw " + wrong;
            }
            ++readsChecked;
        } while (std::chrono::steady_clock::now() < killAt);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) {
            return "the writer ended before it was killed (status " + std::to_string(status) + ")";
        }
        writesAtKill.insert(progress->writes.load());
        if (!sim::readFileBytes(settingsFile(), &bytes)) return "no settings file after a kill";
        const std::string wrong = judge(bytes);
        if (!wrong.empty()) return "after a kill the file is " + wrong;
        killsInsideWrites += removeTemporaryFiles(folder);
        return problem;
    }

    std::string settingsFile() const { return device.settingsFile(); }

    sim::Device device;
    std::string folder;
    std::string childTemp;
    WriterProgress* progress = nullptr;
    std::string versions[2];
    int killsInsideWrites = 0;
    long readsChecked = 0;
    std::set<long> writesAtKill;
};

TEST_F(CrashSafeWrites, KilledRespringGuardLeavesTheOldOrTheNewFile) {
    // The library rewrites the whole dictionary; these are its two versions.
    versions[0] = sim::toXmlPlist(settingsWith(true, 48 * 1024));
    versions[1] = sim::toXmlPlist(settingsWith(false, 48 * 1024));
    device.paneWriteSettings(settingsWith(true, 48 * 1024));
    const std::string root = device.deviceRoot();
    // Launch after launch: each writes isNotRespringing false, then true.
    auto writer = [&] {
        sim::Device child(root);
        sim::Process process(child);
        process.start();
        progress->started = 1;
        for (;;) {
            process.applicationDidFinishLaunching(process.application());
            process.queue().runUntilIdle();
            ++progress->writes;
            process.queue().advanceBy(kRespringQuiet);
            ++progress->writes;
            child.clearEvents();
            process.discardZombies();
        }
    };
    std::mt19937 random(20261206);
    for (int i = 0; i < kKillsPerWriter; ++i) {
        const std::string problem = killOnce(writer, random, std::chrono::microseconds(12000));
        ASSERT_EQ(problem, "") << "kill " << i;
    }
    std::printf("library writer: %d kills, %d inside a write, %zu different write counts, "
                "%ld reads checked\n",
                kKillsPerWriter, killsInsideWrites, writesAtKill.size(), readsChecked);
    // The kills must have hit the writes themselves, and at many points.
    EXPECT_GT(killsInsideWrites, 0);
    EXPECT_GE(writesAtKill.size(), 5u);
}

TEST_F(CrashSafeWrites, KilledAtomicWriterLeavesTheOldOrTheNewFile) {
    const PlistValue older = settingsWith(true, 16 * 1024);
    const PlistValue newer = settingsWith(false, 16 * 1024);
    versions[0] = sim::toXmlPlist(older);
    versions[1] = sim::toXmlPlist(newer);
    ASSERT_TRUE(sim::writePlistFileAtomically(settingsFile(), older));
    const std::string path = settingsFile();
    auto writer = [&] {
        progress->started = 1;
        for (long k = 0;; ++k) {
            sim::writePlistFileAtomically(path, k % 2 == 0 ? newer : older);
            ++progress->writes;
        }
    };
    std::mt19937 random(61220262);
    for (int i = 0; i < kKillsPerWriter; ++i) {
        const std::string problem = killOnce(writer, random, std::chrono::microseconds(4000));
        ASSERT_EQ(problem, "") << "kill " << i;
    }
    std::printf("direct writer: %d kills, %d inside a write, %zu different write counts, "
                "%ld reads checked\n",
                kKillsPerWriter, killsInsideWrites, writesAtKill.size(), readsChecked);
    EXPECT_GT(killsInsideWrites, 0);
    EXPECT_GE(writesAtKill.size(), 5u);
}

// The check itself: a writer that rewrites the file in place is caught.
TEST_F(CrashSafeWrites, AWriterThatIsNotAtomicIsCaught) {
    versions[0] = sim::toXmlPlist(settingsWith(true, 16 * 1024));
    versions[1] = sim::toXmlPlist(settingsWith(false, 16 * 1024));
    ASSERT_TRUE(sim::writeFileAtomically(settingsFile(), versions[0]));
    const std::string path = settingsFile();
    auto writer = [&] {
        progress->started = 1;
        for (long k = 0;; ++k) {
            std::FILE* file = std::fopen(path.c_str(), "wb");
            std::fwrite(versions[k % 2].data(), 1, versions[k % 2].size(), file);
            std::fclose(file);
            ++progress->writes;
        }
    };
    std::mt19937 random(7);
    std::string problem;
    for (int i = 0; i < kKillsPerWriter && problem.empty(); ++i) {
        problem = killOnce(writer, random, std::chrono::microseconds(4000));
    }
    EXPECT_NE(problem, "");
}

// --- Writes that cannot happen ------------------------------------------

// The home screen launches while the settings folder cannot take the new
// file. Both respring-guard writes fail; the old file, the process and the
// values must come through unharmed, with no fault and nothing left behind.
std::string launchWhileWritesFail(const std::string& root, const std::function<std::string()>& breakWrites) {
    sim::Device device(root);
    const std::string settings = device.settingsFile();
    const std::string folder = fs::path(settings).parent_path().string();
    sim::Process process(device);
    process.start();
    // Broken only now: loading the library writes a copy of it.
    const std::string refused = breakWrites();
    if (!refused.empty()) return refused;
    std::string before;
    if (!sim::readFileBytes(settings, &before)) return "no settings file to begin with";

    const std::size_t mark = device.events().size();
    process.applicationDidFinishLaunching(process.application());
    process.queue().runUntilIdle();
    process.queue().advanceBy(kRespringQuiet);
    device.panePost("com.brindle.thrumline.vib3Preview");
    process.queue().runUntilIdle();

    int writes = 0, failedWrites = 0, libraryPosts = 0;
    PlistValue lastVibration;
    for (std::size_t i = mark; i < device.events().size(); ++i) {
        const Event& e = device.events()[i];
        if (e.kind == EventKind::SettingsWritten) {
            ++writes;
            failedWrites += e.flag ? 0 : 1;
        }
        if (e.kind == EventKind::NotificationPosted && e.flag) ++libraryPosts;
        if (e.kind == EventKind::Vibrate) lastVibration = e.value;
    }
    std::string after;
    if (writes != 2 || failedWrites != 2) {
        return "expected two failed writes, saw " + std::to_string(writes) + " writes, " +
               std::to_string(failedWrites) + " failed";
    }
    if (libraryPosts != 2) return "the change notification was not posted after each write";
    if (process.faults() != 0) return "the library broke a platform rule";
    if (!sim::readFileBytes(settings, &after) || after != before) return "the old file changed";
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".plist-", 0) == 0) {
            return "left behind: " + entry.path().string();
        }
    }
    // The values still come from the old file: two pulses of vibration1 = 250
    // with VibrationDuration = 150 between them.
    const PlistValue* pattern = lastVibration.find("VibePattern");
    const std::string expected = "(true, 250, false, 150, true, 250)";
    if (pattern == nullptr || pattern->describe() != expected) {
        return "the preview played " + lastVibration.describe() + ", expected " + expected;
    }
    process.end();
    return {};
}

// A child of its own for mounts: they vanish with it.
std::string privateMounts() {
    if (::unshare(CLONE_NEWNS) != 0) return std::string("SKIP: no mount namespace: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("SKIP: cannot make mounts private: ") + std::strerror(errno);
    }
    return {};
}

class WriteFailures : public ::testing::Test {
protected:
    void SetUp() override {
        device.paneWriteSettings(settingsWith(true, 64));
        folder = fs::path(device.settingsFile()).parent_path().string();
        ASSERT_TRUE(sim::readFileBytes(device.settingsFile(), &original));
        ::setenv("TMPDIR", device.deviceRoot().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("TMPDIR"); }

    void expectQuietFailure(const std::function<std::string()>& breakWrites) {
        const std::string root = device.deviceRoot();
        const ChildOutcome outcome =
            runInChild([&] { return launchWhileWritesFail(root, breakWrites); });
        if (outcome.report.rfind("SKIP:", 0) == 0) GTEST_SKIP() << outcome.report;
        ASSERT_TRUE(outcome.exited) << "the child died of signal " << outcome.signal;
        EXPECT_EQ(outcome.report, "");
        std::string now;
        ASSERT_TRUE(sim::readFileBytes(device.settingsFile(), &now));
        EXPECT_EQ(now, original);
    }

    sim::Device device;
    std::string folder;
    std::string original;
};

TEST_F(WriteFailures, ReadOnlyFolderKeepsTheOldFile) {
    // A read-only bind mount of the settings folder: the file system itself
    // refuses (root ignores permission bits, not a read-only mount).
    const std::string dir = folder;
    expectQuietFailure([dir]() -> std::string {
        std::string refused = privateMounts();
        if (!refused.empty()) return refused;
        if (::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            return std::string("SKIP: cannot mount read-only: ") + std::strerror(errno);
        }
        return {};
    });
}

TEST_F(WriteFailures, FolderOfAnotherUserKeepsTheOldFile) {
    // As on the phone, where the home screen runs as a user of its own: the
    // process gives up root for nobody, who may read the folder but not
    // write it. (A test not run as root has that already: the folder is
    // made read-only for it.)
    const std::string dir = folder;
    const std::string root = device.deviceRoot();
    expectQuietFailure([dir, root]() -> std::string {
        if (::geteuid() != 0) {
            return ::chmod(dir.c_str(), 0555) == 0 ? std::string() : std::string("SKIP: chmod failed");
        }
        ::chmod(root.c_str(), 0755);  // mkdtemp made it private to root
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return "SKIP: cannot become nobody";
        return {};
    });
    ::chmod(folder.c_str(), 0755);
}

TEST_F(WriteFailures, FullDiskKeepsTheOldFile) {
    // A small file system mounted on the settings folder, filled to the last
    // block after the old file is in place.
    const std::string dir = folder;
    const std::string old = original;
    expectQuietFailure([dir, old]() -> std::string {
        std::string refused = privateMounts();
        if (!refused.empty()) return refused;
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
            return std::string("SKIP: cannot mount a small tmpfs: ") + std::strerror(errno);
        }
        if (!sim::writeFileAtomically(dir + "/com.brindle.thrumline.plist", old)) {
            return "cannot put the old file on the small file system";
        }
        std::FILE* filler = std::fopen((dir + "/filler").c_str(), "wb");
        if (filler == nullptr) return "cannot create the filler";
        const std::string block(512, 'x');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
               std::fflush(filler) == 0) {
        }
        std::fclose(filler);
        std::FILE* probe = std::fopen((dir + "/probe").c_str(), "wb");
        const bool full = probe == nullptr || std::fputc('x', probe) == EOF || std::fflush(probe) != 0;
        if (probe != nullptr) std::fclose(probe);
        ::unlink((dir + "/probe").c_str());
        return full ? std::string() : std::string("the small file system is not full");
    });
}

TEST_F(WriteFailures, FileSizeLimitKeepsTheOldFile) {
    // The write stops part way (EFBIG) as on a disk that fills during it.
    const std::size_t half = original.size() / 2;
    expectQuietFailure([half]() -> std::string {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{half, half};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return "SKIP: cannot limit the file size";
        return {};
    });
}

}  // namespace
}  // namespace thrumline::hardening
