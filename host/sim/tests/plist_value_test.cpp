#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "host/sim/PlistValue.h"
#include "host/sim/SimHost.h"

namespace thrumline::sim {
namespace {

using T = PlistValue::Type;

std::string fromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

// Written by another property-list writer (not libplist), keys in this
// order: neg -5, big 2^64-1, min -2^63, r 2.5, s "x<&>", d <0001ff>,
// dt 2020-01-02T03:04:05Z, a (1, uid 7), n {t = true}.
const std::string kBinary = fromHex(
    "62706c6973743030d90102030405060708090a0b0c0d0e0f101114536e656753626967536d696e5172517351"
    "645264745161516e13fffffffffffffffb140000000000000000ffffffffffffffff13800000000000000023"
    "400400000000000054783c263e430001ff3341c1deca92800000a2121310018007d11516517409081b1f2327"
    "292b2d3032343d4e57606569727577797c7e000000000000010100000000000000170000000000000000000000"
    "000000007f");

PlistValue everyType() {
    return PlistValue::dictionary({
        {"neg", PlistValue::integer(-5)},
        {"big", PlistValue::unsignedInteger(UINT64_MAX)},
        {"min", PlistValue::integer(INT64_MIN)},
        {"r", PlistValue::real(2.5)},
        {"s", PlistValue::string("x<&>")},
        {"d", PlistValue::data(std::string("\x00\x01\xff", 3))},
        {"dt", PlistValue::date(599627045.0)},
        {"a", PlistValue::array({PlistValue::integer(1), PlistValue::uid(7)})},
        {"n", PlistValue::dictionary({{"t", PlistValue::boolean(true)}})},
    });
}

std::vector<std::string> keysOf(const PlistValue& dict) {
    std::vector<std::string> keys;
    for (const auto& entry : dict.entries()) keys.push_back(entry.first);
    return keys;
}

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

TEST(PlistValueTest, BinaryInputKeepsEveryTypeKeyOrderAndSurvivesAnXmlRoundTrip) {
    const PlistValue parsed = parsePlist(kBinary);
    ASSERT_EQ(parsed.type(), T::Dictionary);
    EXPECT_EQ(parsed, everyType());
    EXPECT_EQ(keysOf(parsed), keysOf(everyType()));
    EXPECT_TRUE(parsed.find("big")->isUnsigned());
    EXPECT_EQ(static_cast<std::uint64_t>(parsed.find("big")->intValue()), UINT64_MAX);
    EXPECT_EQ(parsed.find("neg")->intValue(), -5);
    EXPECT_FALSE(parsed.find("neg")->isUnsigned());
    EXPECT_EQ(parsed.find("a")->items()[1].type(), T::Uid);

    const PlistValue again = parsePlist(toXmlPlist(parsed));
    EXPECT_EQ(again, parsed);
    EXPECT_EQ(keysOf(again), keysOf(parsed));
    EXPECT_EQ(again.find("a")->items()[1].type(), T::Uid);
}

TEST(PlistValueTest, IntegersAtTheEdgesKeepTheirSpellingInXml) {
    const struct {
        const char* text;
        PlistValue value;
    } cases[] = {
        {"-1", PlistValue::integer(-1)},
        {"-9223372036854775808", PlistValue::integer(INT64_MIN)},
        {"9223372036854775807", PlistValue::integer(INT64_MAX)},
        {"9223372036854775808", PlistValue::unsignedInteger(9223372036854775808ULL)},
        {"18446744073709551615", PlistValue::unsignedInteger(UINT64_MAX)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string xml =
            std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><integer>") + c.text +
            "</integer></plist>";
        const PlistValue parsed = parsePlist(xml);
        EXPECT_EQ(parsed, c.value);
        EXPECT_NE(toXmlPlist(c.value).find(std::string("<integer>") + c.text + "</integer>"),
                  std::string::npos);
    }
    EXPECT_NE(PlistValue::integer(-1), PlistValue::unsignedInteger(UINT64_MAX));
}

TEST(PlistValueTest, RealsIncludingNanAndInfinityRoundTrip) {
    for (double v :
         {0.1, 250.9, -2.5, 1e20, 1e-300, double(NAN), double(INFINITY), -double(INFINITY)}) {
        SCOPED_TRACE(v);
        EXPECT_EQ(parsePlist(toXmlPlist(PlistValue::real(v))), PlistValue::real(v));
    }
}

TEST(PlistValueTest, DictionaryEditingKeepsOrderAndEqualityIgnoresIt) {
    PlistValue dict = PlistValue::dictionary({{"a", PlistValue::integer(1)}});
    dict.set("b", PlistValue::integer(2));
    dict.set("a", PlistValue::integer(3));  // replaced where it stands
    EXPECT_EQ(keysOf(dict), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(dict.find("a")->intValue(), 3);
    EXPECT_EQ(dict, PlistValue::dictionary(
                        {{"b", PlistValue::integer(2)}, {"a", PlistValue::integer(3)}}));
    EXPECT_TRUE(dict.erase("a"));
    EXPECT_FALSE(dict.erase("a"));
    EXPECT_EQ(dict.find("a"), nullptr);
    EXPECT_NE(PlistValue::boolean(true), PlistValue::integer(1));
    EXPECT_EQ(PlistValue::dictionary({{"k", PlistValue::string("v")}, {"n", PlistValue::array()}})
                  .describe(),
              "{k = \"v\"; n = ()}");
}

TEST(PlistValueTest, NonPropertyListBytesGiveNone) {
    const std::string xml = toXmlPlist(everyType());
    const std::vector<std::string> inputs = {
        "",
        "hello",
        "<?xml version=\"1.0\"?><plist><dict><key>a</key></plist>",
        "bplist00",
        kBinary.substr(0, kBinary.size() / 2),
        kBinary.substr(0, kBinary.size() - 1),
        xml.substr(0, xml.size() / 2),
    };
    for (const std::string& bytes : inputs) {
        SCOPED_TRACE(bytes.substr(0, 40));
        EXPECT_TRUE(parsePlist(bytes).isNone());
    }
    // An array root parses; only the settings reader insists on a dictionary.
    const PlistValue array = parsePlist(toXmlPlist(PlistValue::array({PlistValue::integer(1)})));
    EXPECT_EQ(array.type(), T::Array);
}

TEST(PlistValueTest, Utf16TextWithANulCharacterIsRefusedInsteadOfAborting) {
    // {c = "\u00e9\0y"; "\u00e9\0b" = 1}: libplist 2.2 asserts on such text.
    const std::string bytes = fromHex(
        "62706c6973743030d20102030451636300e90000006210016300e900000079080d0f1618000000000000"
        "010100000000000000050000000000000000000000000000001f");
    EXPECT_TRUE(parsePlist(bytes).isNone());
}

std::string nestedXml(int depth) {
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i) xml += "<array>";
    for (int i = 0; i < depth; ++i) xml += "</array>";
    return xml + "</plist>";
}

// Array i holds a reference to array i + 1; the last is empty.
std::string nestedBinary(std::uint32_t depth) {
    std::string body = "bplist00";
    std::vector<std::uint32_t> offsets;
    auto put32 = [](std::string& s, std::uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    for (std::uint32_t i = 0; i < depth; ++i) {
        offsets.push_back(static_cast<std::uint32_t>(body.size()));
        if (i + 1 == depth) {
            body += '\xa0';
        } else {
            body += '\xa1';
            put32(body, i + 1, 4);
        }
    }
    const std::uint64_t table = body.size();
    for (std::uint32_t offset : offsets) put32(body, offset, 4);
    body += std::string(6, '\0');
    body += '\x04';
    body += '\x04';
    put32(body, depth, 8);
    put32(body, 0, 8);
    put32(body, table, 8);
    return body;
}

TEST(PlistValueTest, DeepNestingIsRefusedWithoutCrashing) {
    EXPECT_EQ(parsePlist(nestedXml(100)).type(), T::Array);
    EXPECT_EQ(parsePlist(nestedBinary(100)).type(), T::Array);
    EXPECT_TRUE(parsePlist(nestedXml(200000)).isNone());
    EXPECT_TRUE(parsePlist(nestedBinary(300000)).isNone());
}

TEST(PlistValueTest, MangledBytesNeverCrashTheReader) {
    std::mt19937 random(20240601);
    const std::vector<std::string> seeds = {kBinary, toXmlPlist(everyType())};
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = seeds[round % 2];
        const int flips = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < flips; ++i) {
            bytes[random() % bytes.size()] = static_cast<char>(random() & 0xff);
        }
        if (round % 7 == 0) bytes.resize(random() % bytes.size());
        parsePlist(bytes);
    }
    for (int round = 0; round < 300; ++round) {
        std::string bytes(random() % 200, '\0');
        for (char& c : bytes) c = static_cast<char>(random() & 0xff);
        if (round % 2 == 0) bytes.insert(0, "bplist00");
        parsePlist(bytes);
    }
}

TEST(PlistValueTest, AtomicWriteReplacesTheFileInOneStepAndLeavesNoTemporaryFile) {
    Device device;  // for its temporary folder
    const std::string folder = device.deviceRoot() + "/w";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string path = folder + "/settings.plist";
    const PlistValue first = PlistValue::dictionary({{"v", PlistValue::integer(1)}});
    ASSERT_TRUE(writePlistFileAtomically(path, first));

    // A reader that opened the old file keeps reading all of it.
    const int reader = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    ASSERT_TRUE(writePlistFileAtomically(path, everyType()));
    std::string old;
    char buf[4096];
    for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;) old.append(buf, n);
    ::close(reader);
    EXPECT_EQ(parsePlist(old), first);
    EXPECT_EQ(readPlistFile(path), everyType());
    EXPECT_EQ(folderEntries(folder), std::vector<std::string>{"settings.plist"});
}

TEST(PlistValueTest, FailedWriteKeepsWhatWasThereAndCleansUp) {
    Device device;
    const std::string folder = device.deviceRoot() + "/w";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    // A folder in the way cannot be replaced by a file.
    const std::string blocked = folder + "/blocked.plist";
    ASSERT_EQ(::mkdir(blocked.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((blocked + "/inside").c_str(), 0755), 0);
    EXPECT_FALSE(writePlistFileAtomically(blocked, everyType()));
    EXPECT_EQ(folderEntries(folder), std::vector<std::string>{"blocked.plist"});
    EXPECT_EQ(folderEntries(blocked), std::vector<std::string>{"inside"});

    EXPECT_FALSE(writePlistFileAtomically(folder + "/missing/x.plist", everyType()));
    EXPECT_FALSE(writePlistFileAtomically(folder + "/none.plist", PlistValue()));
    EXPECT_EQ(folderEntries(folder), std::vector<std::string>{"blocked.plist"});

    if (::geteuid() != 0) {  // root writes anywhere
        const std::string path = folder + "/kept.plist";
        ASSERT_TRUE(writePlistFileAtomically(path, everyType()));
        ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
        EXPECT_FALSE(writePlistFileAtomically(path, PlistValue::dictionary()));
        ::chmod(folder.c_str(), 0755);
        EXPECT_EQ(readPlistFile(path), everyType());
    }
}

}  // namespace
}  // namespace thrumline::sim
