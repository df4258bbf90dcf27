// A plain, copyable property-list value: the settings file, copies of the
// dictionaries the library hands to the platform, and the values a scenario
// writes. Bytes and files: PropertyList.h and Files.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace thrumline::sim {

class PlistValue {
public:
    enum class Type { None, Boolean, Integer, Real, String, Data, Date, Array, Dictionary, Uid };
    using Entries = std::vector<std::pair<std::string, PlistValue>>;  // keeps key order

    PlistValue() = default;  // None: absent
    static PlistValue boolean(bool v);
    static PlistValue integer(std::int64_t v);
    // An integer above INT64_MAX, as binary property lists can hold.
    static PlistValue unsignedInteger(std::uint64_t v);
    static PlistValue real(double v);
    static PlistValue string(std::string v);
    static PlistValue data(std::string bytes);
    static PlistValue date(double secondsSince2001);
    static PlistValue uid(std::uint64_t v);
    static PlistValue array(std::vector<PlistValue> items = {});
    static PlistValue dictionary(Entries entries = {});

    Type type() const { return type_; }
    bool isNone() const { return type_ == Type::None; }
    bool boolValue() const { return bool_; }
    std::int64_t intValue() const { return int_; }
    // True when the integer is an unsigned value above INT64_MAX (then
    // intValue() holds its bit pattern).
    bool isUnsigned() const { return unsigned_; }
    double realValue() const { return real_; }
    const std::string& stringValue() const { return text_; }  // String and Data
    const std::vector<PlistValue>& items() const { return items_; }
    const Entries& entries() const { return entries_; }

    // Dictionary access: null when missing.
    const PlistValue* find(const std::string& key) const;
    // The same as a value: None when missing, so lookups chain.
    const PlistValue& at(const std::string& key) const;
    // Sets or adds (at the end) a key of a dictionary.
    void set(const std::string& key, PlistValue value);
    bool erase(const std::string& key);
    void append(PlistValue value);

    // Same type and value. Dictionaries compare as NSDictionary does (same
    // keys, equal values, any order); a NaN real equals a NaN real.
    bool operator==(const PlistValue& other) const;
    bool operator!=(const PlistValue& other) const { return !(*this == other); }

    // Compact one-line text for messages and timelines: {a = 1; b = "x"}.
    // Booleans, integers, reals and strings as a scenario writes them.
    std::string describe() const;

private:
    explicit PlistValue(Type type) : type_(type) {}
    PlistValue(Type type, std::int64_t v, bool isUnsigned)
        : type_(type), unsigned_(isUnsigned), int_(v) {}
    PlistValue(Type type, double v) : type_(type), real_(v) {}
    PlistValue(Type type, std::string text) : type_(type), text_(std::move(text)) {}

    Type type_ = Type::None;
    bool bool_ = false;
    bool unsigned_ = false;
    std::int64_t int_ = 0;
    double real_ = 0;
    std::string text_;
    std::vector<PlistValue> items_;
    Entries entries_;
};

// A string as the scenario language writes it: in double quotes, with \",
// \\, \n, \t and \xNN for other control bytes.
std::string quotedText(const std::string& text);
// The shortest text that reads back as `v`, always with a point ("1443.0").
std::string formatReal(double v);

}  // namespace thrumline::sim
