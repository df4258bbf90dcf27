#include "simulator/phone/AutoreleasePools.h"

#include <algorithm>
#include <utility>

#include "simulator/home-screen/ProcessImpl.h"

namespace thrumline::phone {

AutoreleasePools::AutoreleasePools(sim::Process::Impl& process, GuestObjects& objects)
    : p_(process), objects_(objects) {}

std::uint64_t AutoreleasePools::autorelease(std::uint64_t guest) {
    if (guest == 0) return 0;
    if (pools_.empty()) {
        p_.recordFault("autorelease", "no pool in place: the object leaks");
        return guest;
    }
    pools_.back().objects.push_back(guest);
    return guest;
}

std::uint64_t AutoreleasePools::push() {
    const auto token = reinterpret_cast<std::uint64_t>(p_.services->objc_autoreleasePoolPush());
    pools_.push_back({token, {}});
    return token;
}

void AutoreleasePools::pop(std::uint64_t token) {
    const auto it = std::find_if(pools_.begin(), pools_.end(),
                                 [token](const Pool& pool) { return pool.token == token; });
    drainTo(static_cast<std::size_t>(it - pools_.begin()));
    p_.services->objc_autoreleasePoolPop(reinterpret_cast<void*>(token));
}

std::size_t AutoreleasePools::pushHostPool() {
    pools_.push_back({0, {}});
    return pools_.size() - 1;
}

void AutoreleasePools::drainTo(std::size_t depth) {
    while (pools_.size() > depth) {
        Pool pool = std::move(pools_.back());
        pools_.pop_back();
        drain(pool);
    }
}

void AutoreleasePools::drain(Pool& pool) {
    for (auto o = pool.objects.rbegin(); o != pool.objects.rend(); ++o) {
        GuestObjects::Receiver r;
        r.guest = *o;
        r.local = objects_.localAt(*o);
        if (r.local == nullptr)
            r.object = objects_.runtime().receiver(objects_.objectAt(*o), "release");
        objects_.release(r);
    }
}

}  // namespace thrumline::phone
