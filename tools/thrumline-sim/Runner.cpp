#include "tools/thrumline-sim/Runner.h"

#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <sstream>

#include "tools/thrumline-sim/Render.h"

namespace thrumline::simtool {

namespace fs = std::filesystem;
using scenario::Command;
using scenario::CommandKind;
using sim::EventKind;
using sim::PlistValue;

namespace {

PlistValue toPlist(const scenario::Value& value) {
    switch (value.type) {
        case scenario::Value::Type::Boolean:
            return PlistValue::boolean(value.boolean);
        case scenario::Value::Type::Integer:
            return PlistValue::integer(value.integer);
        case scenario::Value::Type::Real:
            return PlistValue::real(value.real);
        case scenario::Value::Type::String:
            return PlistValue::string(value.string);
    }
    return {};
}

PlistValue toDictionary(const std::vector<scenario::Assignment>& assignments) {
    PlistValue dictionary = PlistValue::dictionary();
    for (const scenario::Assignment& a : assignments) dictionary.set(a.first, toPlist(a.second));
    return dictionary;
}

// The hook group a finished load put in place, judged by the hooks that
// were installed: each group is the only one that hooks one of these.
std::string groupOf(const std::vector<std::string>& hooks) {
    const std::set<std::string> installed(hooks.begin(), hooks.end());
    if (installed.empty()) return "none";
    if (installed.count("CHManager databaseChanged:") != 0) return "iOS10";
    if (installed.count("SpringBoard applicationDidFinishLaunching:") != 0) return "iOS11";
    return "unknown";
}

std::uint64_t parseNumber(const std::string& text) {
    std::uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n;
}

std::string plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

Runner::Runner(const scenario::Scenario& scenario, RunOptions options, RecordSink sink,
               std::ostream& errors)
    : scenario_(scenario), options_(std::move(options)), sink_(std::move(sink)), errors_(errors) {}

Runner::~Runner() {
    // End the process while its device still exists.
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
            afterExpect_ = true;
            Record record;
            record.kind = RecordKind::Expect;
            record.t_ns = device_->mainQueue().now();
            record.line = command.line;
            record.command = command.text;
            try {
                runExpect(command);
                record.flag = true;
            } catch (const StateError& failure) {
                record.flag = false;
                record.message = failure.message;
                expectFailed = true;
                errors_ << errorPrefix(command.line) << "expect failed: " << command.text << ": "
                        << failure.message << "\n";
            }
            emit(std::move(record));
            continue;
        }
        if (afterExpect_) {
            // Counts for the next expects start after this group of expects.
            afterExpect_ = false;
            vibrations_ = 0;
            sounds_ = 0;
        }

        Record record;
        record.kind = RecordKind::Command;
        record.t_ns = device_->mainQueue().now();
        record.line = command.line;
        record.command = command.text;
        emit(std::move(record));
        try {
            if (command.kind == CommandKind::SettingsFile) {
                device_->paneWriteSettingsBytes(settingsFileBytes_[i]);
            } else {
                execute(command);
            }
            // What the main thread would run before the next event.
            device_->mainQueue().runUntilIdle();
            drainEvents();
        } catch (const StateError& error) {
            drainEvents();
            errors_ << errorPrefix(command.line) << error.message << "\n";
            return kExitError;
        } catch (const std::exception& error) {
            drainEvents();
            errors_ << errorPrefix(command.line) << command.text << ": " << error.what() << "\n";
            return kExitError;
        } catch (const sim::HostFailure& failure) {
            drainEvents();
            errors_ << errorPrefix(command.line) << command.text
                    << ": the host failed: " << failure.what << "\n";
            return kExitError;
        }
    }
    return expectFailed ? kExitExpectFailed : kExitDone;
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
    process_ = std::make_unique<sim::Process>(*device_, options);
    startingVersion_ = version_;
    const std::size_t first = device_->events().size();
    process_->start();

    std::vector<std::string> hooks;
    const auto& events = device_->events();
    for (std::size_t i = first; i < events.size(); ++i) {
        if (events[i].kind == EventKind::HookInstalled) hooks.push_back(events[i].name);
    }
    group_ = groupOf(hooks);
    drainEvents();

    Record loaded;
    loaded.kind = RecordKind::LibraryLoaded;
    loaded.t_ns = device_->mainQueue().now();
    loaded.process = process_->number();
    loaded.group = group_;
    loaded.hooks = std::move(hooks);
    emit(std::move(loaded));
}

void Runner::endProcess() {
    process_->end();
    drainEvents();
    process_.reset();
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
            device_->paneWriteSettings(toDictionary(command.assignments));
            break;
        case CommandKind::Set:
            device_->paneSetKeys(toDictionary(command.assignments));
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
        case CommandKind::Call: {
            sim::Process& process = requireProcess("call");
            Object call = nullptr;
            if (command.call != scenario::CallState::Nil) {
                call = process.newCall(command.call == scenario::CallState::Connected);
            }
            process.setActiveCall(call);
            if (call != nullptr) process.releaseObject(call);
            break;
        }
        case CommandKind::History: {
            sim::Process& process = requireProcess("history");
            Object argument = process.newPlainObject();
            process.databaseChanged(argument);
            process.releaseObject(argument);
            break;
        }
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
                } else if (*held != toPlist(a.second)) {
                    problems += (problems.empty() ? "" : "; ") + std::string("the file holds ") +
                                a.first + "=" + settingText(*held);
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
                                key + "=" + settingText(*held);
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
        case CommandKind::ExpectPending: {
            const auto pending = static_cast<std::int64_t>(device_->mainQueue().pending());
            if (pending != command.count) {
                throw StateError{"the main queue holds " +
                                 plural(pending, "pending step", "pending steps")};
            }
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
    const auto& events = device_->events();
    while (seenEvents_ < events.size()) {
        const sim::Event& event = events[seenEvents_++];
        Record record;
        record.t_ns = event.t_ns;
        record.process = event.process;
        record.name = event.name;
        record.flag = event.flag;
        record.sound = event.sound;
        record.value = event.value;
        record.message = event.detail;
        switch (event.kind) {
            case EventKind::ProcessStarted:
                record.kind = RecordKind::ProcessStart;
                record.version = startingVersion_;
                break;
            case EventKind::ProcessEnded:
                record.kind = RecordKind::ProcessEnd;
                record.number = parseNumber(event.detail);
                break;
            case EventKind::HookInstalled:
                record.kind = RecordKind::HookInstalled;
                break;
            case EventKind::HookSkipped:
                record.kind = RecordKind::HookSkipped;
                break;
            case EventKind::ObserverRegistered:
                record.kind = RecordKind::Observer;
                break;
            case EventKind::AutoreleasePush:
                record.kind = RecordKind::AutoreleasePush;
                break;
            case EventKind::AutoreleasePop:
                record.kind = RecordKind::AutoreleasePop;
                break;
            case EventKind::SettingsRead:
                record.kind = RecordKind::SettingsLoad;
                break;
            case EventKind::SettingsWritten:
                record.kind = RecordKind::SettingsWrite;
                break;
            case EventKind::NotificationPosted:
                record.kind = RecordKind::Post;
                break;
            case EventKind::NotificationDelivered:
                record.kind = RecordKind::Delivered;
                break;
            case EventKind::HostMethodRan:
                record.kind = RecordKind::HostMethod;
                break;
            case EventKind::Vibrate:
                record.kind = RecordKind::Vibrate;
                ++vibrations_;
                break;
            case EventKind::Sound:
                record.kind = RecordKind::Sound;
                ++sounds_;
                break;
            case EventKind::StepScheduled:
                record.kind = RecordKind::StepScheduled;
                record.number = parseNumber(event.detail);
                break;
            case EventKind::PaneWroteSettings:
                record.kind = RecordKind::PaneWrite;
                break;
            case EventKind::Fault:
                record.kind = RecordKind::Fault;
                ++faults_;
                break;
        }
        emit(std::move(record));
    }
    // Everything is passed on: the log need not grow with the scenario.
    device_->clearEvents();
    seenEvents_ = 0;
}

void Runner::emit(Record record) { sink_(record); }

}  // namespace thrumline::simtool
