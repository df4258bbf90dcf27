// The phone's own Thrumline.dylib as the library of a simulated home-screen
// process: one slice, arm64 or arm64e, loaded into an emulated CPU the way
// dyld loads it (an arm64e slice on a CPU that authenticates pointers, its
// initialisers, hooks, callbacks and queued work called through signed
// pointers, as the platform calls them),
// its imports answered by the simulated host's models (the object runtime,
// the platform services, the main queue), one table row per imported
// function and per Objective-C message.
//
// Host and binary meet where the Linux library and the host meet:
// MSHookMessageEx installs a host-side entry into the simulated class that
// runs the binary's replacement, and the binary calls the host's original
// through its slot. What the model does not know (an import, a message, a
// class) is a fault event naming it, never a silent zero.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "simulator/home-screen/ObjectRuntime.h"
#include "simulator/home-screen/Process.h"
#include "simulator/phone/Cpu.h"
#include "simulator/phone/MachO.h"

namespace thrumline::phone {

// What the loader did, read back from the emulated memory after loading.
struct LoadReport {
    std::size_t rebases = 0;
    std::size_t binds = 0;
    std::vector<std::string> unmodelled;  // imports and classes no table row answers
    std::size_t selectorRefs = 0;
    std::size_t selectorNames = 0;
    // Selector references that do not hold the one address of their name.
    std::vector<std::string> selectorProblems;
};

class PhoneBinary {
public:
    // Maps, rebases and binds the image at `path` (its `slice`, or arm64e
    // when it has one) and uniques its selectors for `process`. Throws
    // std::runtime_error when it cannot be loaded.
    PhoneBinary(sim::Process::Impl& process, const std::string& path, const std::string& slice,
                std::uint64_t* instructionCounter);
    ~PhoneBinary();
    PhoneBinary(const PhoneBinary&) = delete;
    PhoneBinary& operator=(const PhoneBinary&) = delete;

    void runInitialisers();
    // What unloading runs: the functions registered with __cxa_atexit, newest first.
    void runTerminators();
    const LoadReport& report() const { return report_; }
    // "arm64" or "arm64e": the slice that runs.
    const char* slice() const { return image_.arm64e ? "arm64e" : "arm64"; }

    // The host-side entries MSHookMessageEx and the notification center get
    // in place of the binary's functions.
    void enterHook(std::size_t entry, Object self, Selector cmd, Object arg);
    void enterCallback(std::size_t entry, void* observer, Object name);

    struct ClassInfo {
        std::string name;
        std::string superclass;
        std::uint64_t guest = 0;
        std::uint64_t placeholder = 0;  // what +alloc answers: Foundation's class clusters
    };
    // Objects the binary makes that the host never sees: the strings it names
    // keys, paths and notifications with, and serialised property lists.
    struct Local {
        std::string cls;
        std::string text;       // NSString
        sim::PlistValue plist;  // NSData: the property list serialised
        Object source = nullptr;
        int references = 1;
    };
    struct Receiver {
        std::uint64_t guest = 0;
        ClassInfo* cls = nullptr;  // its class (or itself, for a class)
        bool isClass = false;
        bool placeholder = false;
        sim::SimObject* object = nullptr;
        Local* local = nullptr;
        Object handle() const { return sim::toHandle(object); }
    };

    // For the tables (PhoneTables.cpp).
    Cpu& cpu() { return cpu_; }
    sim::Process::Impl& process() { return p_; }
    sim::ObjectRuntime& runtime();
    HostServices& services();
    std::uint64_t guestOf(Object object);
    std::uint64_t guestOf(Selector selector);
    Object objectAt(std::uint64_t guest);  // an unknown address passes as a handle no one made
    Selector selectorAt(std::uint64_t guest, const char* call);
    ClassInfo* classAt(std::uint64_t guest);
    ClassInfo& classNamed(const std::string& name);
    Class hostClass(std::uint64_t guest);
    std::string classNameOf(const Receiver& r);
    bool isKindOf(const std::string& className, const std::string& ancestor);
    Local* localAt(std::uint64_t guest);
    std::uint64_t newLocal(Local local);
    std::string stringAt(std::uint64_t guest, const char* call);
    std::uint64_t autorelease(std::uint64_t guest);
    void retainGuest(const Receiver& r);
    void releaseGuest(const Receiver& r);
    std::uint64_t poolPush();
    void poolPop(std::uint64_t token);
    // `guestImp` and `guestFn` as the binary handed them: signed on arm64e.
    std::uint64_t hookEntryFor(std::uint64_t guestImp, MethodImp* entry);
    std::uint64_t callbackEntryFor(std::uint64_t guestFn, NotificationCallback* entry);
    // The address the binary calls `original` at, signed as the binary
    // calls it on arm64e.
    std::uint64_t originalFor(MethodImp original, const std::string& name);
    // The binary's replacement behind a host-side entry; 0 for another implementation.
    std::uint64_t hookedImp(MethodImp imp) const;
    Result send(Receiver& r, const sim::SimSelector& selector);
    void addTerminator(std::uint64_t fn, std::uint64_t arg) { terminators_.push_back({fn, arg}); }
    void schedule(std::uint64_t when, std::uint64_t work, std::uint64_t context);

    std::uint64_t center = 0, mainQueue = 0;

private:
    void load();
    std::uint64_t resolve(const std::string& symbol);
    // Runs the binary's `fn` for the host, inside a pool of its own; a fault
    // is the home screen crashing: recorded, and nothing of the binary runs
    // again. On arm64e `fn` is a signed pointer, called through an
    // authenticating branch; `what` names it for a fault.
    void enter(std::uint64_t fn, const std::vector<std::uint64_t>& args, const std::string& what);

    sim::Process::Impl& p_;
    Image image_;
    Cpu cpu_;
    LoadReport report_;
    std::map<std::string, ClassInfo> classes_;
    std::unordered_map<std::uint64_t, ClassInfo*> classByGuest_;
    std::unordered_map<std::string, std::uint64_t> selectorByName_;
    std::unordered_map<std::uint64_t, std::string> selectorName_;
    std::unordered_map<std::uint64_t, sim::SimObject*> objectById_;
    std::unordered_map<std::uint64_t, Local> locals_;  // by guest address; dead ones erased
    std::uint64_t nextLocal_ = 0;
    std::unordered_map<std::string, std::uint64_t> imports_;  // symbol -> trap or data
    // The binary's replacements (without their signatures, and as handed
    // over) and its callbacks (as handed over).
    std::vector<std::uint64_t> hookImps_, hookSigned_, callbacks_;
    std::map<MethodImp, std::uint64_t> originals_;
    struct Pool {
        std::uint64_t token;  // 0: a pool of the host's around a call into the binary
        std::vector<std::uint64_t> objects;
    };
    std::vector<Pool> pools_;
    void drain(Pool& pool);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> terminators_;
    bool crashed_ = false;
};

// The table of imported functions and data (PhoneTables.cpp): binds a
// symbol to a trap or a data cell; 0 when no row knows it.
std::uint64_t bindImport(PhoneBinary& binary, const std::string& symbol);

}  // namespace thrumline::phone
