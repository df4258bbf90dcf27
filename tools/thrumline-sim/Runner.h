// Replays a parsed scenario on a simulated phone and turns what happened
// (the scenario's commands and the device's event log) into records, in
// order, for the timeline, JSON and SVG writers.
#pragma once

#include "host/sim/SimHost.h"
#include "tools/thrumline-sim/Scenario.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace thrumline::simtool {

enum class RecordKind {
    Command,          // a scenario command began (not expect)
    Expect,           // an expect and its result
    ProcessStart,
    ProcessEnd,
    HookInstalled,
    HookSkipped,
    LibraryLoaded,    // the load finished: which hook group is in place
    Observer,
    SettingsLoad,
    SettingsWrite,    // by the library
    PaneWrite,        // the settings pane changed the file
    Post,
    Delivered,
    HostMethod,
    Vibrate,
    Sound,
    StepScheduled,
    Fault,
    AutoreleasePush,
    AutoreleasePop,
};

struct Record {
    RecordKind kind = RecordKind::Command;
    std::uint64_t t_ns = 0;
    int line = 0;                    // Command, Expect
    std::string command;             // Command, Expect: as written
    bool flag = false;               // Expect: passed; SettingsLoad: found; SettingsWrite: written; Post: by the library
    std::string message;             // Expect: what was found; Fault, PaneWrite: the host's words
    int process = 0;
    std::string name;                // "Class selector", a notification name, a path
    double version = 0;              // ProcessStart
    std::string group;               // LibraryLoaded: "iOS10", "iOS11", "none" or "unknown"
    std::vector<std::string> hooks;  // LibraryLoaded: "Class selector" of each installed hook
    std::uint32_t sound = 0;         // Vibrate, Sound
    sim::PlistValue value;           // Vibrate: the dictionary; SettingsWrite, SettingsLoad: the settings
    std::uint64_t number = 0;        // StepScheduled: due time (ns); ProcessEnd: dropped steps
};

using RecordSink = std::function<void(const Record&)>;

struct RunOptions {
    std::string deviceRoot;        // empty: a fresh temporary folder
    std::string settingsBytes;     // written as the settings file before the scenario, if set
    bool haveSettingsBytes = false;
    std::string scenarioDir;       // settings-file paths are relative to it
};

// Exit codes of a run.
constexpr int kExitDone = 0;
constexpr int kExitExpectFailed = 1;
constexpr int kExitError = 2;

class Runner {
public:
    Runner(const scenario::Scenario& scenario, RunOptions options, RecordSink sink, std::ostream& errors);
    ~Runner();

    // Runs the whole scenario. Errors and failed expects are written to
    // `errors` as FILE:LINE: message. Returns one of the exit codes above.
    int run();

    // Virtual time at the end of the run.
    std::uint64_t endTime() const;
    int faults() const { return faults_; }

private:
    // A command that cannot run in the current state.
    struct StateError {
        std::string message;
    };

    bool loadSettingsFiles();
    void execute(const scenario::Command& command);
    void runExpect(const scenario::Command& command);
    void startProcess();
    void endProcess();
    sim::Process& requireProcess(const char* what);
    void drainEvents();
    void emit(Record record);
    std::string errorPrefix(int line) const;

    const scenario::Scenario& scenario_;
    RunOptions options_;
    RecordSink sink_;
    std::ostream& errors_;
    std::unique_ptr<sim::Device> device_;
    std::unique_ptr<sim::Process> process_;
    std::vector<std::string> settingsFileBytes_;  // by command index
    std::size_t seenEvents_ = 0;
    double version_ = 1443.0;
    double startingVersion_ = 0;
    std::string group_;  // of the running process
    bool afterExpect_ = false;
    std::int64_t vibrations_ = 0;  // since the last group of expects
    std::int64_t sounds_ = 0;
    int faults_ = 0;
};

}  // namespace thrumline::simtool
