// Reads property-list files with libplist, independently of the code that
// wrote them, for the device tests (settings files, the settings pane, the
// package's defaults). All libplist calls live in PlistReader.cpp: its API
// changed between 2.2 and 2.3.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace thrumline::plistcheck {

enum class Kind { Missing, Boolean, Integer, Real, String, Data, Date, Array, Dictionary, Other };
const char* kindName(Kind kind);

// One value of a property list: a plain copy, so that nothing of libplist
// leaks into the tests.
struct Value {
    Kind kind = Kind::Missing;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0;
    std::string text;                                    // String, Data (raw bytes)
    std::vector<Value> items;                            // Array
    std::vector<std::pair<std::string, Value>> entries;  // Dictionary, in file order

    // The entry of that key, or a Missing value.
    const Value& operator[](const std::string& key) const;
    bool has(const std::string& key) const { return (*this)[key].kind != Kind::Missing; }
    // Integer, or Real truncated: a settings value read as a number.
    bool isNumber() const { return kind == Kind::Integer || kind == Kind::Real; }
    double number() const { return kind == Kind::Integer ? static_cast<double>(integer) : real; }
};

struct Document {
    bool parsed = false;
    bool xml = false;  // the file is in the XML form
    Value root;
};

// Parses XML or binary; `parsed` is false for anything else or a missing file.
Document readFile(const std::string& path);
Document readBytes(const std::string& bytes);

}  // namespace thrumline::plistcheck
