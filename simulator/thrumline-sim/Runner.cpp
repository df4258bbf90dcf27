#include "simulator/thrumline-sim/Runner.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include "simulator/thrumline-sim/Format.h"

namespace thrumline::simtool {

namespace fs = std::filesystem;
using scenario::Command;
using scenario::CommandKind;
using sim::EventKind;
using sim::PlistValue;

namespace {

std::string plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

Runner::Runner(const scenario::Scenario& scenario, RunOptions options, EntrySink sink,
               std::ostream& errors)
    : scenario_(scenario), options_(std::move(options)), sink_(std::move(sink)), errors_(errors) {}

Runner::~Runner() {
    // End the process while its device still exists.
    telephony_.detach();
    process_.reset();
}

std::uint64_t Runner::endTime() const { return device_ ? device_->mainQueue().now() : 0; }

std::string Runner::errorPrefix(int line) const {
    return scenario_.fileName + ":" + std::to_string(line) + ": ";
}

// Reads every settings-file before anything runs, so a missing file stops
// the scenario at its line with nothing run.
bool Runner::loadSettingsFiles() {
    settingsFileBytes_.assign(scenario_.commands.size(), std::string());
    for (std::size_t i = 0; i < scenario_.commands.size(); ++i) {
        const Command& command = scenario_.commands[i];
        if (command.kind != CommandKind::SettingsFile) continue;
        fs::path path(command.name);
        if (path.is_relative() && !options_.scenarioDir.empty())
            path = fs::path(options_.scenarioDir) / path;
        std::ifstream in(path, std::ios::binary);
        std::error_code error;
        if (!in || fs::is_directory(path, error)) {
            errors_ << errorPrefix(command.line) << "cannot read settings file " << path.string()
                    << ": expected a readable file\n";
            return false;
        }
        settingsFileBytes_[i].assign(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
    }
    return true;
}

int Runner::run() {
    if (!loadSettingsFiles()) return kExitError;
    try {
        device_ = std::make_unique<sim::Device>(options_.deviceRoot);
        if (options_.haveSettingsBytes) device_->paneWriteSettingsBytes(options_.settingsBytes);
        drainEvents();
    } catch (const std::exception& e) {
        errors_ << "thrumline-sim: cannot prepare the simulated phone: " << e.what() << "\n";
        return kExitError;
    }

    bool expectFailed = false;
    for (std::size_t i = 0; i < scenario_.commands.size(); ++i) {
        const Command& command = scenario_.commands[i];
        if (command.isExpect()) {
            if (!expectCanRun(command)) return kExitError;
            expectFailed = !checkExpect(command) || expectFailed;
        } else if (!runCommand(i)) {
            return kExitError;
        }
    }
    return expectFailed ? kExitExpectFailed : kExitDone;
}

bool Runner::expectCanRun(const Command& command) {
    sim::Telephony::Answers answers;
    if (command.kind != CommandKind::ExpectCall || telephony_.answers(command.name, answers))
        return true;
    emit(CommandRan{device_->mainQueue().now(), command.line, command.text});
    errors_ << errorPrefix(command.line) << command.text << ": no call " << command.name
            << ": expected telephony ring or dial " << command.name << " before it\n";
    return false;
}

bool Runner::checkExpect(const Command& command) {
    afterExpect_ = true;
    ExpectChecked checked{device_->mainQueue().now(), command.line, command.text, true, {}};
    try {
        runExpect(command);
    } catch (const StateError& failure) {
        checked.ok = false;
        checked.problem = failure.message;
        errors_ << errorPrefix(command.line) << "expect failed: " << command.text << ": "
                << failure.message << "\n";
    }
    const bool ok = checked.ok;
    emit(std::move(checked));
    return ok;
}

bool Runner::runCommand(std::size_t index) {
    const Command& command = scenario_.commands[index];
    if (afterExpect_) {
        // Counts for the next expects start after this group of expects.
        afterExpect_ = false;
        vibrations_ = 0;
        sounds_ = 0;
        if (overlapsChecked_) overlaps_ = 0;
        overlapsChecked_ = false;
    }
    emit(CommandRan{device_->mainQueue().now(), command.line, command.text});
    std::string problem;
    const std::uint64_t instructionsBefore = instructions_;
    try {
        if (command.kind == CommandKind::SettingsFile) {
            device_->paneWriteSettingsBytes(settingsFileBytes_[index]);
        } else {
            execute(command);
        }
        // What the main thread would run before the next event.
        device_->mainQueue().runUntilIdle();
        drainEvents();
        if (options_.countInstructions) {
            costs_.push_back({command.line, command.text, instructions_ - instructionsBefore});
        }
        return true;
    } catch (const StateError& error) {
        problem = error.message;
    } catch (const std::exception& error) {
        problem = command.text + ": " + error.what();
    } catch (const sim::HostFailure& failure) {
        problem = command.text + ": the host failed: " + failure.what;
    }
    drainEvents();
    errors_ << errorPrefix(command.line) << problem << "\n";
    return false;
}

sim::Process& Runner::requireProcess(const char* what) {
    if (!process_ || !process_->isRunning()) {
        throw StateError{std::string(what) +
                         " needs a running home-screen process: expected start before it"};
    }
    return *process_;
}

void Runner::startProcess() {
    sim::ProcessOptions options;
    options.coreFoundationVersion = version_;
    options.phoneBinary = options_.phoneBinary;
    options.phoneSlice = options_.phoneSlice;
    options.libraryPath = options_.libraryPath;
    if (options_.countInstructions) options.instructionCounter = &instructions_;
    process_ = std::make_unique<sim::Process>(*device_, options);
    const std::size_t first = device_->events().size();
    process_->start();
    if (!options_.phoneBinary.empty()) phoneSlice_ = process_->phoneSlice();
    telephony_.attach(*process_);

    std::vector<sim::events::HookInstalled> hooks;
    const auto& events = device_->events();
    for (std::size_t i = first; i < events.size(); ++i) {
        if (const auto* hook = events[i].get<sim::events::HookInstalled>()) hooks.push_back(*hook);
    }
    group_ = sim::hookGroupOf(hooks);
    drainEvents();
    emit(LibraryLoaded{device_->mainQueue().now(), process_->number(), group_, std::move(hooks)});
}

void Runner::endProcess() {
    letCallGo();
    telephony_.detach();
    process_->end();
    drainEvents();
    process_.reset();
    calls_.clear();
    group_.clear();
}

void Runner::execute(const Command& command) {
    switch (command.kind) {
        case CommandKind::Cf:
            version_ = command.version;
            break;
        case CommandKind::Start:
            if (process_ && process_->isRunning()) {
                throw StateError{"start: process " + std::to_string(process_->number()) +
                                 " is already running: expected restart or stop before it"};
            }
            startProcess();
            break;
        case CommandKind::Restart:
            requireProcess("restart");
            endProcess();
            startProcess();
            break;
        case CommandKind::Stop:
            requireProcess("stop");
            endProcess();
            break;
        case CommandKind::Settings:
            device_->paneWriteSettings(PlistValue::dictionary(command.assignments));
            break;
        case CommandKind::Set:
            device_->paneSetKeys(PlistValue::dictionary(command.assignments));
            break;
        case CommandKind::Unset:
            device_->paneUnsetKeys(command.keys);
            break;
        case CommandKind::DeleteSettings:
            device_->paneDeleteSettings();
            break;
        case CommandKind::SettingsFile:
            break;  // handled by run(), which holds the bytes
        case CommandKind::Post:
            requireProcess("post");
            device_->panePost(command.name);
            break;
        case CommandKind::Launch: {
            sim::Process& process = requireProcess("launch");
            process.applicationDidFinishLaunching(process.application());
            break;
        }
        case CommandKind::Call:
            placeCall(command);
            break;
        case CommandKind::Telephony:
            changeCalls(command);
            break;
        case CommandKind::History: {
            sim::Process& process = requireProcess("history");
            Object argument = process.newPlainObject();
            if (command.background) {
                process.databaseChangedInBackground(argument);
            } else {
                process.databaseChanged(argument);
            }
            process.releaseObject(argument);
            break;
        }
        case CommandKind::Notifications:
            if (command.notifications == scenario::NotificationsVerb::Hold) {
                device_->holdPosts();
            } else {
                device_->deliverHeldPosts();
            }
            break;
        case CommandKind::Timers:
            device_->mainQueue().setLateTimers(command.lateTimers);
            break;
        case CommandKind::Wait: {
            if (command.nanos > device_->mainQueue().timeLeft()) {
                throw StateError{"wait " + formatDuration(command.nanos) +
                                 " would take the clock past its end: expected a shorter wait"};
            }
            device_->mainQueue().runFor(command.nanos);
            break;
        }
        default:
            break;
    }
}

Object Runner::newCall(sim::Process& process, bool connected, int status) {
    // A dead object never comes back to life, so the dead need no counting.
    calls_.erase(std::remove_if(calls_.begin(), calls_.end(),
                                [&process](Object call) { return !process.isAlive(call); }),
                 calls_.end());
    const Object call = process.newCall(connected, status);
    calls_.push_back(call);
    return call;
}

void Runner::letCallGo() {
    if (call_ != nullptr) process_->releaseObject(call_);
    call_ = nullptr;
}

// A connected call is a new call object (active), which replaces the one in
// progress; the end is the call in progress turning disconnected (it still
// answers isConnected YES, as iOS's calls do), or a new call that never
// connected when none is in progress; nil ends the call in progress too.
void Runner::placeCall(const Command& command) {
    constexpr int kActive = static_cast<int>(sim::Telephony::Status::Active);
    constexpr int kDisconnected = static_cast<int>(sim::Telephony::Status::Disconnected);
    sim::Process& process = requireProcess("call");
    switch (command.call) {
        case scenario::CallState::Connected: {
            const Object call = newCall(process, true, kActive);
            process.setOutgoing(call, command.direction == scenario::CallDirection::Outgoing);
            letCallGo();
            call_ = call;
            telephony_.setActiveCall(call_);
            break;
        }
        case scenario::CallState::Ended:
            if (call_ == nullptr) call_ = newCall(process, false, kDisconnected);
            process.setStatus(call_, kDisconnected);
            telephony_.setActiveCall(call_);
            letCallGo();
            break;
        case scenario::CallState::Nil:
            if (call_ != nullptr) process.setStatus(call_, kDisconnected);
            letCallGo();
            telephony_.setActiveCall(nullptr);
            break;
    }
}

void Runner::changeCalls(const Command& command) {
    requireProcess("telephony");
    try {
        switch (command.telephony) {
            case scenario::TelephonyVerb::Ring:
                telephony_.ring(command.name);
                break;
            case scenario::TelephonyVerb::Dial:
                telephony_.dial(command.name);
                break;
            case scenario::TelephonyVerb::Active:
                telephony_.active(command.name);
                break;
            case scenario::TelephonyVerb::Hold:
                telephony_.hold(command.name);
                break;
            case scenario::TelephonyVerb::End:
                telephony_.end(command.name);
                break;
            case scenario::TelephonyVerb::Refresh:
                telephony_.refresh();
                break;
        }
    } catch (const sim::TelephonyError& error) {
        throw StateError{command.text + ": " + error.what()};
    }
}

void Runner::runExpect(const Command& command) {
    switch (command.kind) {
        case CommandKind::ExpectFile: {
            const PlistValue file = device_->readSettingsFile();
            if (file.type() != PlistValue::Type::Dictionary) {
                throw StateError{"there is no settings file holding a dictionary"};
            }
            std::string problems;
            for (const scenario::Assignment& a : command.assignments) {
                const PlistValue* held = file.find(a.first);
                if (held == nullptr) {
                    problems += (problems.empty() ? "" : "; ") + a.first + " is not in the file";
                } else if (*held != a.second) {
                    problems += (problems.empty() ? "" : "; ") + std::string("the file holds ") +
                                a.first + "=" + held->describe();
                }
            }
            if (!problems.empty()) throw StateError{problems};
            break;
        }
        case CommandKind::ExpectNoFile: {
            std::error_code error;
            if (fs::exists(device_->settingsFile(), error)) {
                const PlistValue file = device_->readSettingsFile();
                throw StateError{"the settings file exists" +
                                 (file.type() == PlistValue::Type::Dictionary
                                      ? ": " + settingsText(file)
                                      : std::string())};
            }
            break;
        }
        case CommandKind::ExpectNoKey: {
            const PlistValue file = device_->readSettingsFile();
            std::string problems;
            for (const std::string& key : command.keys) {
                const PlistValue* held =
                    file.type() == PlistValue::Type::Dictionary ? file.find(key) : nullptr;
                if (held != nullptr) {
                    problems += (problems.empty() ? "" : "; ") + std::string("the file holds ") +
                                key + "=" + held->describe();
                }
            }
            if (!problems.empty()) throw StateError{problems};
            break;
        }
        case CommandKind::ExpectVibrations:
            if (vibrations_ != command.count) {
                throw StateError{"saw " + plural(vibrations_, "vibration", "vibrations")};
            }
            break;
        case CommandKind::ExpectSounds:
            if (sounds_ != command.count)
                throw StateError{"saw " + plural(sounds_, "sound", "sounds")};
            break;
        case CommandKind::ExpectOverlaps:
            overlapsChecked_ = true;
            if (overlaps_ != command.count) {
                throw StateError{"saw " + plural(overlaps_, "overlap", "overlaps")};
            }
            break;
        case CommandKind::ExpectPending: {
            const auto pending = static_cast<std::int64_t>(device_->mainQueue().pending());
            if (pending != command.count) {
                throw StateError{"the main queue holds " +
                                 plural(pending, "pending step", "pending steps")};
            }
            break;
        }
        case CommandKind::ExpectLiveCalls: {
            std::int64_t live = 0;
            for (const Object call : calls_) {
                if (process_->retainCount(call) > 0) ++live;
            }
            if (live != command.count) {
                throw StateError{plural(live, "call object is", "call objects are") + " alive"};
            }
            break;
        }
        case CommandKind::ExpectCall: {
            sim::Telephony::Answers answers;
            telephony_.answers(command.name, answers);
            std::string problems;
            for (const scenario::Assignment& a : command.assignments) {
                const bool isStatus = a.first == "status";
                const PlistValue now = isStatus ? PlistValue::integer(answers.status)
                                                : PlistValue::boolean(answers.isConnected);
                if (now != a.second) {
                    problems += (problems.empty() ? "" : "; ") + command.name + " answers " +
                                a.first + "=" + now.describe();
                }
            }
            if (!problems.empty()) throw StateError{problems};
            break;
        }
        case CommandKind::ExpectGroup:
            if (!process_ || !process_->isRunning()) {
                throw StateError{"no home-screen process is running"};
            }
            if (group_ != command.name)
                throw StateError{"the running process has hook group " + group_};
            break;
        default:
            break;
    }
}

void Runner::drainEvents() {
    for (const sim::Event& event : device_->events()) {
        switch (event.kind()) {
            case EventKind::Vibrate:
                ++vibrations_;
                if (event.get<sim::events::Vibrate>()->overlaps) ++overlaps_;
                break;
            case EventKind::Sound:
                ++sounds_;
                break;
            case EventKind::Fault:
                ++faults_;
                break;
            default:
                break;
        }
        emit(event);
    }
    // Everything is passed on: the log need not grow with the scenario.
    device_->clearEvents();
}

void Runner::emit(Entry entry) { sink_(entry); }

}  // namespace thrumline::simtool
