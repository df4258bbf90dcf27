#include "simulator/home-screen/PlistValue.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

namespace thrumline::sim {

// ---------------------------------------------------------------- the value

PlistValue PlistValue::boolean(bool v) {
    PlistValue p(Type::Boolean);
    p.bool_ = v;
    return p;
}

PlistValue PlistValue::integer(std::int64_t v) { return PlistValue(Type::Integer, v, false); }

PlistValue PlistValue::unsignedInteger(std::uint64_t v) {
    return PlistValue(Type::Integer, static_cast<std::int64_t>(v),
                      v > static_cast<std::uint64_t>(INT64_MAX));
}

PlistValue PlistValue::uid(std::uint64_t v) {
    return PlistValue(Type::Uid, static_cast<std::int64_t>(v),
                      v > static_cast<std::uint64_t>(INT64_MAX));
}

PlistValue PlistValue::real(double v) { return PlistValue(Type::Real, v); }

PlistValue PlistValue::date(double secondsSince2001) {
    return PlistValue(Type::Date, secondsSince2001);
}

PlistValue PlistValue::string(std::string v) { return PlistValue(Type::String, std::move(v)); }

PlistValue PlistValue::data(std::string bytes) { return PlistValue(Type::Data, std::move(bytes)); }

PlistValue PlistValue::array(std::vector<PlistValue> items) {
    PlistValue p(Type::Array);
    p.items_ = std::move(items);
    return p;
}

PlistValue PlistValue::dictionary(Entries entries) {
    PlistValue p(Type::Dictionary);
    for (auto& entry : entries) p.set(entry.first, std::move(entry.second));
    return p;
}

const PlistValue* PlistValue::find(const std::string& key) const {
    for (const auto& entry : entries_) {
        if (entry.first == key) return &entry.second;
    }
    return nullptr;
}

const PlistValue& PlistValue::at(const std::string& key) const {
    static const PlistValue none;
    const PlistValue* value = find(key);
    return value != nullptr ? *value : none;
}

void PlistValue::set(const std::string& key, PlistValue value) {
    for (auto& entry : entries_) {
        if (entry.first == key) {
            entry.second = std::move(value);
            return;
        }
    }
    entries_.emplace_back(key, std::move(value));
}

bool PlistValue::erase(const std::string& key) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first == key) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

void PlistValue::append(PlistValue value) { items_.push_back(std::move(value)); }

bool PlistValue::operator==(const PlistValue& other) const {
    if (type_ != other.type_) return false;
    switch (type_) {
        case Type::None:
            return true;
        case Type::Boolean:
            return bool_ == other.bool_;
        case Type::Integer:
        case Type::Uid:
            return int_ == other.int_ && unsigned_ == other.unsigned_;
        case Type::Real:
        case Type::Date:
            // NaN equals NaN here: a value read back must equal the one written.
            return real_ == other.real_ || (std::isnan(real_) && std::isnan(other.real_));
        case Type::String:
        case Type::Data:
            return text_ == other.text_;
        case Type::Array:
            return items_ == other.items_;
        case Type::Dictionary:
            // As NSDictionary's isEqual: the same keys with equal values, in any order.
            if (entries_.size() != other.entries_.size()) return false;
            for (const auto& entry : entries_) {
                const PlistValue* theirs = other.find(entry.first);
                if (theirs == nullptr || *theirs != entry.second) return false;
            }
            return true;
    }
    return false;
}

std::string quotedText(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string formatReal(double v) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    std::string text(buffer, result.ptr);
    // The point goes before an exponent: "1.0e+300" reads back as a real.
    if (std::isfinite(v) && text.find('.') == std::string::npos) {
        text.insert(std::min(text.find('e'), text.size()), ".0");
    }
    return text;
}

std::string PlistValue::describe() const {
    switch (type_) {
        case Type::None:
            return "none";
        case Type::Boolean:
            return bool_ ? "true" : "false";
        case Type::Integer:
            return unsigned_ ? std::to_string(static_cast<std::uint64_t>(int_))
                             : std::to_string(int_);
        case Type::Real:
            return formatReal(real_);
        case Type::String:
            return quotedText(text_);
        case Type::Data: {
            std::string out = "<";
            char buf[4];
            for (unsigned char c : text_) {
                std::snprintf(buf, sizeof buf, "%02x", c);
                out += buf;
            }
            return out + ">";
        }
        case Type::Date:
            return "date(" + formatReal(real_) + ")";
        case Type::Uid:
            return "uid(" + std::to_string(static_cast<std::uint64_t>(int_)) + ")";
        case Type::Array: {
            std::string out = "(";
            for (std::size_t i = 0; i < items_.size(); ++i) {
                if (i > 0) out += ", ";
                out += items_[i].describe();
            }
            return out + ")";
        }
        case Type::Dictionary: {
            std::string out = "{";
            for (std::size_t i = 0; i < entries_.size(); ++i) {
                if (i > 0) out += "; ";
                out += entries_[i].first + " = " + entries_[i].second.describe();
            }
            return out + "}";
        }
    }
    return "?";
}

}  // namespace thrumline::sim
