#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "simulator/home-screen/PlistValue.h"
#include "simulator/home-screen/PropertyList.h"

namespace thrumline::sim {
namespace {

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

TEST(PropertyListTest, BinaryAndXmlKeepEveryTypeAndValue) {
    // Equality tells a signed from an unsigned integer and a UID from an integer.
    EXPECT_NE(PlistValue::integer(-1), PlistValue::unsignedInteger(UINT64_MAX));
    EXPECT_NE(PlistValue::uid(7), PlistValue::integer(7));
    const PlistValue parsed = parsePlist(kBinary);
    EXPECT_EQ(parsed, everyType());
    EXPECT_EQ(parsePlist(toXmlPlist(parsed)), parsed);
    for (double v : {0.1, 1e-300, double(NAN), double(INFINITY), -double(INFINITY)}) {
        EXPECT_EQ(parsePlist(toXmlPlist(PlistValue::real(v))), PlistValue::real(v)) << v;
    }
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
    auto put = [&body](std::uint64_t v, int width) {
        for (int i = width - 1; i >= 0; --i) body += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    for (std::uint32_t i = 0; i + 1 < depth; ++i) {
        body += '\xa1';
        put(i + 1, 4);
    }
    body += '\xa0';
    const std::uint64_t table = body.size();
    for (std::uint32_t i = 0; i < depth; ++i) put(8 + 5 * i, 4);
    body += std::string(6, '\0') + "\x04\x04";
    put(depth, 8);
    put(0, 8);
    put(table, 8);
    return body;
}

TEST(PropertyListTest, AnythingButAPropertyListGivesNone) {
    const std::string xml = toXmlPlist(everyType());
    const std::vector<std::string> inputs = {
        "", "hello", "<?xml version=\"1.0\"?><plist><dict><key>a</key></plist>", "bplist00",
        kBinary.substr(0, kBinary.size() - 1), xml.substr(0, xml.size() / 2),
        // {c = "\u00e9\0y"; ...} in UTF-16: libplist 2.2 asserts on such text.
        fromHex("62706c6973743030d20102030451636300e90000006210016300e900000079080d0f1618000000"
                "000000010100000000000000050000000000000000000000000000001f"),
        nestedXml(200000), nestedBinary(300000)};
    for (const std::string& bytes : inputs) {
        SCOPED_TRACE(bytes.substr(0, 40));
        EXPECT_TRUE(parsePlist(bytes).isNone());
    }
    EXPECT_EQ(parsePlist(nestedXml(100)).type(), PlistValue::Type::Array);
    EXPECT_EQ(parsePlist(nestedBinary(100)).type(), PlistValue::Type::Array);
}

}  // namespace
}  // namespace thrumline::sim
