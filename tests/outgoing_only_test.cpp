// "Only when they answer": with connectOutgoingOnly the connected vibration
// plays for outgoing calls only; the ended vibration does not look at it.
#include <optional>

#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

using ConnectOutgoingOnly = SimTest;

TEST_F(ConnectOutgoingOnly, FirstVibrationWaitsForAnOutgoingCallTheLastDoesNot) {
    // The key (none: missing), and whether an outgoing call, an incoming one
    // and one that cannot answer isOutgoing vibrate when connected.
    const std::vector<std::pair<std::optional<bool>, std::vector<bool>>> keys = {
        {std::nullopt, {true, true, true}},
        {false, {true, true, true}},
        {true, {true, false, false}},
    };
    const std::optional<bool> directions[] = {true, false, std::nullopt};
    for (const double version : {kVersion_iOS10, kVersion_iOS11}) {
        start(version);
        for (const auto& [key, vibrates] : keys) {
            PlistValue settings = enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}});
            if (key) settings.set("connectOutgoingOnly", B(*key));
            reload(settings);
            for (std::size_t d = 0; d < 3; ++d) {
                SCOPED_TRACE(testing::Message()
                             << version << " key " << (key ? int(*key) : -1) << " direction " << d);
                const Object call = process->newCall(true);
                process->setOutgoing(call, directions[d]);
                Mark from = mark();
                process->setActiveCall(call);
                EXPECT_EQ(played(from), vibrates[d] ? "[1 111]" : "");

                process->setConnected(call, false);
                from = mark();
                version == kVersion_iOS10 ? process->databaseChanged(nullptr)
                                          : process->setActiveCall(call);
                EXPECT_EQ(played(from), "[1 222]");
                process->releaseObject(call);
            }
        }
        endProcess();
    }
}

}  // namespace
}  // namespace thrumline::test
