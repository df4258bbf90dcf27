#include "simulator/home-screen/ValueConversion.h"

#include <cmath>

namespace thrumline::sim {

namespace {

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::size_t skipWhiteSpace(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && isWhiteSpace(text[i])) ++i;
    return i;
}

std::int32_t clampToInt32(std::int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

// CoreFoundation converts a number to a 32-bit int by a C cast: the low 32
// bits, two's complement. intValue() holds an unsigned value's bit pattern,
// so the same bits serve for those above INT64_MAX.
std::int32_t lowInt32(std::int64_t v) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(v)));
}

}  // namespace

bool answersValueConversions(const PlistValue& value) {
    switch (value.type()) {
        case PlistValue::Type::Boolean:
        case PlistValue::Type::Integer:
        case PlistValue::Type::Real:
        case PlistValue::Type::String:
            return true;
        default:
            return false;
    }
}

bool boolValueOf(const PlistValue& value) {
    switch (value.type()) {
        case PlistValue::Type::Boolean:
            return value.boolValue();
        case PlistValue::Type::Integer:
            return value.intValue() != 0;
        case PlistValue::Type::Real:
            return value.realValue() != 0.0;
        case PlistValue::Type::String:
            return stringBoolValue(value.stringValue());
        default:
            return false;
    }
}

std::int32_t intValueOf(const PlistValue& value) {
    switch (value.type()) {
        case PlistValue::Type::Boolean:
            return value.boolValue() ? 1 : 0;
        case PlistValue::Type::Integer:
            return lowInt32(value.intValue());
        case PlistValue::Type::Real: {
            const double v = value.realValue();
            if (std::isnan(v)) return 0;
            if (v >= 2147483647.0) return INT32_MAX;
            if (v <= -2147483648.0) return INT32_MIN;
            return static_cast<std::int32_t>(v);  // truncates toward zero
        }
        case PlistValue::Type::String:
            return stringIntValue(value.stringValue());
        default:
            return 0;
    }
}

bool stringBoolValue(const std::string& text) {
    std::size_t i = skipWhiteSpace(text);
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i == text.size()) return false;
    const char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::int32_t stringIntValue(const std::string& text) {
    std::size_t i = skipWhiteSpace(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulated as a magnitude that stops growing once past the range.
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude <= 2147483648LL) magnitude = magnitude * 10 + (text[i] - '0');
    }
    return clampToInt32(negative ? -magnitude : magnitude);
}

}  // namespace thrumline::sim
