// "Only when they answer": with connectOutgoingOnly the connected vibration
// plays for outgoing calls only; the ended vibration does not look at it.
#include <optional>

#include "tests/SimFixture.h"

namespace thrumline::test {
namespace {

using ConnectOutgoingOnly = SimTest;

TEST_F(ConnectOutgoingOnly, FirstVibrationWaitsForAnOutgoingCallTheLastDoesNot) {
    // The key as the file holds it (none: missing), and whether an outgoing,
    // an incoming call and one that cannot answer isOutgoing vibrate.
    const std::vector<std::pair<std::optional<bool>, std::vector<bool>>> keys = {
        {std::nullopt, {true, true, true}},
        {false, {true, true, true}},
        {true, {true, false, false}},
    };
    const std::vector<std::optional<bool>> directions = {true, false, std::nullopt};
    // Each output method, the slots told apart by their pulse lengths.
    const std::vector<std::pair<PlistValue::Entries, std::pair<std::string, std::string>>> outputs =
        {
            {{}, {"[1 111]", "[1 222]"}},
            {{{"oldMethod", B(true)}}, {"C@0", "C@0"}},
            {{{"isVibrationsNumber", B(true)}, {"firstVibrationNumber", I(1)}},
             {"[1 111 0 200 1 111]", "[1 222]"}},
        };
    for (const double version : {kVersion_iOS10, kVersion_iOS11}) {
        start(version);
        for (const auto& [key, vibrates] : keys) {
            for (std::size_t d = 0; d < directions.size(); ++d) {
                for (const auto& [overrides, expected] : outputs) {
                    SCOPED_TRACE(testing::Message()
                                 << version << " key " << (key ? int(*key) : -1) << " direction "
                                 << d << " " << (overrides.empty() ? "" : overrides[0].first));
                    PlistValue settings =
                        enabledSettings({{"vibration1", I(111)}, {"vibration2", I(222)}});
                    for (const auto& [k, v] : overrides) settings.set(k, v);
                    if (key) settings.set("connectOutgoingOnly", B(*key));
                    reload(settings);
                    const Object call = process->newCall(true);
                    process->setOutgoing(call, directions[d]);
                    Mark from = mark();
                    process->setActiveCall(call);
                    advance(kSecond);
                    EXPECT_EQ(played(from), vibrates[d] ? expected.first : "");

                    process->setConnected(call, false);
                    from = mark();
                    if (version == kVersion_iOS10) {
                        process->databaseChanged(nullptr);
                    } else {
                        process->setActiveCall(call);
                    }
                    advance(kSecond);
                    EXPECT_EQ(played(from), expected.second);
                    EXPECT_EQ(process->retainCount(call), 1);
                    process->releaseObject(call);
                }
            }
        }
        endProcess();
    }
}

}  // namespace
}  // namespace thrumline::test
