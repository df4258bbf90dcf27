// Replays a parsed scenario on a simulated phone and passes on what happened
// (the scenario's commands and the device's events), in order, to the
// timeline, JSON and SVG writers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "simulator/home-screen/Process.h"
#include "simulator/home-screen/Telephony.h"
#include "simulator/thrumline-sim/Scenario.h"
#include "simulator/thrumline-sim/Timeline.h"

namespace thrumline::simtool {

struct RunOptions {
    std::string deviceRoot;     // empty: a fresh temporary folder
    std::string settingsBytes;  // written as the settings file before the scenario, if set
    bool haveSettingsBytes = false;
    std::string scenarioDir;         // settings-file paths are relative to it
    std::string phoneBinary;         // run the phone's Thrumline.dylib under emulation instead
    std::string phoneSlice;          // its slice; empty: arm64e when it has one
    std::string libraryPath;         // the Linux library to load; empty: the one built with it
    bool countInstructions = false;  // phone binary: the instructions of each command
};

// The instructions the phone binary's own code ran for one command
// (and what fell due while it ran).
struct CommandCost {
    int line = 0;
    std::string text;
    std::uint64_t instructions = 0;
};

// Exit codes of a run.
constexpr int kExitDone = 0;
constexpr int kExitExpectFailed = 1;
constexpr int kExitError = 2;

class Runner {
public:
    Runner(const scenario::Scenario& scenario, RunOptions options, EntrySink sink,
           std::ostream& errors);
    ~Runner();

    // Runs the whole scenario. Errors and failed expects are written to
    // `errors` as FILE:LINE: message. Returns one of the exit codes above.
    int run();

    // Virtual time at the end of the run.
    std::uint64_t endTime() const;
    int faults() const { return faults_; }
    const std::vector<CommandCost>& costs() const { return costs_; }
    // The phone binary's slice that ran; empty when none did.
    const std::string& phoneSlice() const { return phoneSlice_; }

private:
    // A command that cannot run in the current state.
    struct StateError {
        std::string message;
    };

    bool loadSettingsFiles();
    void execute(const scenario::Command& command);
    // False (reported as a scenario error) for an expect that names what
    // does not exist: a call no telephony line made.
    bool expectCanRun(const scenario::Command& command);
    // Runs one expect and shows its result; false when it failed.
    bool checkExpect(const scenario::Command& command);
    // Runs one command and what falls due; false (reported) on an error.
    bool runCommand(std::size_t index);
    void runExpect(const scenario::Command& command);
    void startProcess();
    void endProcess();
    sim::Process& requireProcess(const char* what);
    void placeCall(const scenario::Command& command);
    void changeCalls(const scenario::Command& command);
    // The host lets go of the call in progress, if any.
    void letCallGo();
    // A new call object in the running process, counted by live-calls.
    Object newCall(sim::Process& process, bool connected, int status);
    void drainEvents();
    void emit(Entry entry);
    std::string errorPrefix(int line) const;

    const scenario::Scenario& scenario_;
    RunOptions options_;
    EntrySink sink_;
    std::ostream& errors_;
    std::unique_ptr<sim::Device> device_;
    std::unique_ptr<sim::Process> process_;
    // The phone's calls and the running process's telephony manager.
    sim::Telephony telephony_;
    std::vector<std::string> settingsFileBytes_;  // by command index
    double version_ = sim::ProcessOptions().coreFoundationVersion;
    std::string group_;  // of the running process
    // The call in progress, one reference held as the host holds it: the
    // same object connects and ends. None between calls.
    Object call_ = nullptr;
    // Every call object made in the running process that may still be alive
    // (the dead are dropped as new calls come).
    std::vector<Object> calls_;
    bool afterExpect_ = false;
    std::int64_t vibrations_ = 0;  // since the last group of expects
    std::int64_t sounds_ = 0;
    // Overlap marks since the group of expects that last checked them.
    std::int64_t overlaps_ = 0;
    bool overlapsChecked_ = false;
    int faults_ = 0;
    std::uint64_t instructions_ = 0;
    std::vector<CommandCost> costs_;
    std::string phoneSlice_;
};

}  // namespace thrumline::simtool
