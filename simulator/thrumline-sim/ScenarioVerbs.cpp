#include "simulator/thrumline-sim/ScenarioVerbs.h"

#include "simulator/home-screen/Event.h"
#include "simulator/thrumline-sim/ScenarioWords.h"
#include "tweak/hooks/HookGroups.h"

namespace thrumline::scenario {

namespace {

const char* placeholder(Shape shape) {
    static const char* const kPlaceholders[] = {"",
                                                "VERSION",
                                                "N",
                                                "KEY=VALUE ...",
                                                "KEY ...",
                                                "PATH",
                                                "NAME",
                                                "[outgoing|incoming]",
                                                "NAME",
                                                "DURATION",
                                                "N",
                                                "NAME",
                                                "NAME [status=N] [isConnected=true|false]"};
    return kPlaceholders[static_cast<int>(shape)];
}

// The verbs (for an empty `verb`) or the forms of `verb` as "a, b or c";
// with `arguments`, each form followed by its first placeholder word.
std::string listed(const std::string& verb, bool arguments) {
    std::vector<std::string> items;
    for (const Verb& v : verbs()) {
        const std::string arg = placeholder(v.shape);
        if (verb.empty() && (items.empty() || items.back() != v.verb)) {
            items.push_back(v.verb);
        } else if (verb == v.verb) {
            items.push_back(v.form + (arguments && !arg.empty() ? " " + arg.substr(0, arg.find(' '))
                                                                : std::string()));
        }
    }
    return listOf(items);
}

// Each line after the first starts with `indent`.
std::string indented(const std::string& text, const std::string& indent) {
    std::string out;
    for (char c : text) out += c == '\n' ? "\n" + indent : std::string(1, c);
    return out + "\n";
}

}  // namespace

const std::vector<Verb>& verbs() {
    using K = CommandKind;
    const char* const callForms = "connected [outgoing|incoming], ended or nil";
    const char* const callName = "a call NAME (letters, digits and _)";
    static const std::string groups = listOf(sim::hookGroupNames());
    static const std::string groupNeeds = "one of " + groups;
    static const std::string groupHelp = "the running process hooked " + groups;
    static const std::string versionNeeds =
        "a CoreFoundation version such as " + sim::formatReal(kLowestVersion_iOS11);
    static const std::string versionHelp =
        "CoreFoundation version of processes started from\nnow on (default " +
        sim::formatReal(kLowestVersion_iOS11) + "; ios 7 to 18 are aliases)";
    static const std::vector<Verb> table = {
        {"cf", "", K::Cf, Shape::Version, versionNeeds.c_str(), nullptr},
        {"ios", "", K::Cf, Shape::IosMajor, "an iOS major version such as 10 or 11",
         versionHelp.c_str()},
        {"start", "", K::Start, Shape::None, nullptr, nullptr},
        {"restart", "", K::Restart, Shape::None, nullptr, nullptr},
        {"stop", "", K::Stop, Shape::None, nullptr,
         "start, restart or end the home-screen process"},
        {"settings", "", K::Settings, Shape::Assignments, nullptr,
         "the pane replaces the settings file with these keys"},
        {"set", "", K::Set, Shape::Assignments, "at least one KEY=VALUE",
         "the pane changes single keys, keeping the rest"},
        {"unset", "", K::Unset, Shape::Keys, "at least one KEY", "the pane removes keys"},
        {"delete-settings", "", K::DeleteSettings, Shape::None, nullptr,
         "the pane removes the settings file"},
        {"settings-file", "", K::SettingsFile, Shape::Path, "a PATH (relative to the scenario)",
         "the file at PATH (relative to the scenario),\n"
         "byte for byte, becomes the settings file",
         0,
         "Values: true, false, integers, reals with a point, \"strings\".\n"
         "The pane does not post; use post prefschanged."},
        {"post", "", K::Post, Shape::Notification,
         "a notification NAME such as prefschanged or vib1Preview",
         "the pane posts a notification: prefschanged,\n"
         "vib1Preview .. vib4Preview, or a full name"},
        {"launch", "", K::Launch, Shape::None, nullptr,
         "-[SpringBoard applicationDidFinishLaunching:]"},
        {"call", "connected", K::Call, Shape::Direction, "outgoing or incoming after connected",
         "-[SBTelephonyManager setActiveCall:] with a new\n"
         "connected call, placed by the user (outgoing) or\n"
         "answered (incoming, also when left unsaid); it\n"
         "replaces the call in progress",
         static_cast<int>(CallState::Connected)},
        {"call", "ended", K::Call, Shape::None, callForms, nullptr,
         static_cast<int>(CallState::Ended)},
        {"call", "nil", K::Call, Shape::None, callForms,
         "the call in progress ends: the same call object,\n"
         "no longer connected, is announced, or nil is\n"
         "(call ended with no call in progress: a new call\n"
         "that never connected)",
         static_cast<int>(CallState::Nil)},
        {"history", "background", K::History, Shape::None, nullptr, nullptr, 1},
        {"history", "", K::History, Shape::None, nullptr,
         "-[CHManager databaseChanged:]; background: sent\n"
         "on a background queue, where the library may only\n"
         "hand work to the main queue (anything else it asks\n"
         "of the platform there is a FAULT)"},
        {"telephony", "ring", K::Telephony, Shape::CallName, callName,
         "an incoming call NAME rings (not announced)", static_cast<int>(TelephonyVerb::Ring)},
        {"telephony", "dial", K::Telephony, Shape::CallName, callName,
         "you dial NAME; not announced until answered", static_cast<int>(TelephonyVerb::Dial)},
        {"telephony", "active", K::Telephony, Shape::CallName, callName,
         "NAME is active: answered, answered by the other\n"
         "side, or back from hold; each line is one status\n"
         "event, and the home screen announces NAME each time",
         static_cast<int>(TelephonyVerb::Active)},
        {"telephony", "hold", K::Telephony, Shape::CallName, callName,
         "the active call NAME goes on hold: if it was the\n"
         "announced call, the first other active call is\n"
         "announced instead, or nil",
         static_cast<int>(TelephonyVerb::Hold)},
        {"telephony", "end", K::Telephony, Shape::CallName, callName,
         "NAME hangs up: announced as for hold, then gone", static_cast<int>(TelephonyVerb::End)},
        {"telephony", "refresh", K::Telephony, Shape::None, nullptr,
         "the home screen re-reads its calls, as after it\n"
         "boots: nil, then the first active call",
         static_cast<int>(TelephonyVerb::Refresh),
         "The home screen's telephony manager announces through the hooked\n"
         "-[SBTelephonyManager setActiveCall:], as the real one does; the timeline\n"
         "shows each announcement (\"telephony manager: setActiveCall: NAME\").\n"
         "NAME: letters, digits and _. Calls belong to the phone: after restart\n"
         "they go on, unannounced until a refresh or a status event. The\n"
         "manager's active call is whatever setActiveCall: got last, call lines\n"
         "included."},
        {"notifications", "hold", K::Notifications, Shape::None, nullptr,
         "Darwin notifications posted from now on (the\n"
         "pane's and the library's) wait undelivered ...",
         static_cast<int>(NotificationsVerb::Hold)},
        {"notifications", "deliver", K::Notifications, Shape::None, nullptr,
         "... until deliver hands each, in order, to the\n"
         "process running then (none: they are lost);\n"
         "delivery is immediate again",
         static_cast<int>(NotificationsVerb::Deliver)},
        {"timers", "late", K::Timers, Shape::None, nullptr, nullptr, 1},
        {"timers", "exact", K::Timers, Shape::None, nullptr,
         "late: from now on a step queued for later runs a\n"
         "twentieth of its wait after its due time (at\n"
         "least 1 ms), as the phone's timers may; exact\n"
         "(the default): each runs at its due time",
         0},
        {"wait", "", K::Wait, Shape::Duration, "a DURATION such as 250ms, 7s, 2m or 1h",
         "move the clock on (250ms, 7s, 2m, 1h; a bare\n"
         "number is milliseconds), running what falls due"},
        {"expect", "file", K::ExpectFile, Shape::Assignments, "KEY=VALUE",
         "the settings file holds these values"},
        {"expect", "no-file", K::ExpectNoFile, Shape::None, nullptr, "there is no settings file"},
        {"expect", "no-key", K::ExpectNoKey, Shape::Keys, "at least one KEY",
         "the settings file lacks these keys"},
        {"expect", "vibrations", K::ExpectVibrations, Shape::Count, "a count of vibrations",
         "N vibration requests (sound 4095) ..."},
        {"expect", "sounds", K::ExpectSounds, Shape::Count, "a count of sounds",
         "... or N sound requests since the previous group\n"
         "of expect lines (or the start)"},
        {"expect", "overlaps", K::ExpectOverlaps, Shape::Count, "a count of overlaps",
         "N pattern requests that started while an earlier\n"
         "pattern still played, since the previous expect\n"
         "overlaps (or the start)"},
        {"expect", "pending", K::ExpectPending, Shape::Count, "a count of pending steps",
         "N steps wait on the main queue"},
        {"expect", "group", K::ExpectGroup, Shape::HookGroup, groupNeeds.c_str(),
         groupHelp.c_str()},
        {"expect", "live-calls", K::ExpectLiveCalls, Shape::Count, "a count of live calls",
         "N of the call objects made by call lines are still\n"
         "alive in the running process (held by the tool,\n"
         "the home screen or the library; 0 when no process\n"
         "runs)"},
        {"expect", "call", K::ExpectCall, Shape::CallAnswers,
         "a call NAME and status=N, isConnected=true|false or both",
         "the telephony call NAME, in progress or ended,\n"
         "answers status N (1 active, 2 held, 3 dialling,\n"
         "4 ringing, 5 disconnecting, 6 disconnected) and\n"
         "isConnected (YES once it has connected, also after\n"
         "it ended)"},
    };
    return table;
}

std::string Verb::words() const { return *form != '\0' ? std::string(verb) + " " + form : verb; }

std::string Verb::usage() const {
    return *placeholder(shape) != '\0' ? words() + " " + placeholder(shape) : words();
}

const Verb& findVerb(const std::vector<std::string>& words) {
    const std::string& verb = words[0];
    bool known = false;
    for (const Verb& v : verbs()) {
        if (verb != v.verb) continue;
        if (*v.form == '\0' || (words.size() > 1 && words[1] == v.form)) return v;
        known = true;
    }
    if (!known) throw Failure{"unknown command " + quote(verb) + ": expected " + listed("", false)};
    // Each verb with forms words its refusal in its own way.
    const std::string got = words.size() > 1 ? quote(words[1]) : "";
    if (verb == "expect") {
        if (got.empty()) throw Failure{"expect needs a check: " + listed(verb, true)};
        throw Failure{"unknown check " + got + " after expect: expected " + listed(verb, false)};
    }
    if (verb == "telephony" || verb == "notifications") {
        throw Failure{"expected " + listed(verb, false) + " after " + verb +
                      (got.empty() ? "" : ", got " + got)};
    }
    if (got.empty()) throw Failure{verb + " needs " + listed(verb, true)};
    if (words.size() > 2) {
        throw Failure{"unexpected " + quote(words[2]) + " after " + verb + " " + words[1] +
                      ": expected " + listed(verb, true) + " only"};
    }
    throw Failure{"expected " + listed(verb, false) + " after " + verb + ", got " + got};
}

std::string verbHelp() {
    // The usage, then the help from column 28; a usage too wide for its
    // column stands on a line of its own.
    const std::string column(28, ' ');
    std::string out;
    std::string usage;
    for (const Verb& v : verbs()) {
        usage += (usage.empty() ? "" : " | ") + v.usage();
        if (v.help == nullptr) continue;
        usage = "  " + usage;
        out += usage.size() < column.size() ? usage + column.substr(usage.size())
                                            : usage + "\n" + column;
        out += indented(v.help, column);
        if (v.note != nullptr) out += "      " + indented(v.note, "      ");
        usage.clear();
    }
    return out;
}

}  // namespace thrumline::scenario
