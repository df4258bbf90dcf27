// The value type and every libplist call of the simulated host. libplist 2.3
// renamed PLIST_UINT and changed plist_from_memory, so nothing else includes
// <plist/plist.h>.
#include "host/sim/PlistValue.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace thrumline::sim {

// ---------------------------------------------------------------- the value

PlistValue PlistValue::boolean(bool v) {
    PlistValue p;
    p.type_ = Type::Boolean;
    p.bool_ = v;
    return p;
}

PlistValue PlistValue::integer(std::int64_t v) {
    PlistValue p;
    p.type_ = Type::Integer;
    p.int_ = v;
    return p;
}

PlistValue PlistValue::unsignedInteger(std::uint64_t v) {
    PlistValue p = integer(static_cast<std::int64_t>(v));
    p.unsigned_ = v > static_cast<std::uint64_t>(INT64_MAX);
    return p;
}

PlistValue PlistValue::real(double v) {
    PlistValue p;
    p.type_ = Type::Real;
    p.real_ = v;
    return p;
}

PlistValue PlistValue::string(std::string v) {
    PlistValue p;
    p.type_ = Type::String;
    p.text_ = std::move(v);
    return p;
}

PlistValue PlistValue::data(std::string bytes) {
    PlistValue p;
    p.type_ = Type::Data;
    p.text_ = std::move(bytes);
    return p;
}

PlistValue PlistValue::date(double secondsSince2001) {
    PlistValue p;
    p.type_ = Type::Date;
    p.real_ = secondsSince2001;
    return p;
}

PlistValue PlistValue::uid(std::uint64_t v) {
    PlistValue p;
    p.type_ = Type::Uid;
    p.int_ = static_cast<std::int64_t>(v);
    p.unsigned_ = v > static_cast<std::uint64_t>(INT64_MAX);
    return p;
}

PlistValue PlistValue::array(std::vector<PlistValue> items) {
    PlistValue p;
    p.type_ = Type::Array;
    p.items_ = std::move(items);
    return p;
}

PlistValue PlistValue::dictionary(Entries entries) {
    PlistValue p;
    p.type_ = Type::Dictionary;
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

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string formatReal(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    // The shortest form that reads back the same keeps timelines readable.
    for (int precision = 1; precision < 17; ++precision) {
        char shorter[40];
        std::snprintf(shorter, sizeof shorter, "%.*g", precision, v);
        if (std::strtod(shorter, nullptr) == v) return shorter;
    }
    return buf;
}

}  // namespace

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
            return quoted(text_);
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

// ---------------------------------------------------------- depth guarding
//
// libplist recurses once per nesting level while parsing, converting and
// freeing, so a few hundred thousand nested containers overflow the stack.
// Settings files are flat; anything nested deeper than this is refused
// before libplist sees it.

namespace {

constexpr int kMaxNesting = 512;

bool startsWith(const std::string& bytes, const char* prefix) {
    return bytes.compare(0, std::strlen(prefix), prefix) == 0;
}

// Counts container tags; anything that looks like one counts, so text that
// merely resembles a tag can only make the estimate too high, never too low.
bool xmlNestingWithinLimit(const std::string& bytes) {
    int depth = 0;
    std::size_t pos = 0;
    while ((pos = bytes.find('<', pos)) != std::string::npos) {
        ++pos;
        const bool closing = pos < bytes.size() && bytes[pos] == '/';
        const std::size_t nameStart = closing ? pos + 1 : pos;
        const bool isArray = bytes.compare(nameStart, 5, "array") == 0;
        const bool isDict = bytes.compare(nameStart, 4, "dict") == 0;
        if (!isArray && !isDict) continue;
        if (closing) {
            if (depth > 0) --depth;
            continue;
        }
        const std::size_t end = bytes.find('>', nameStart);
        if (end != std::string::npos && end > 0 && bytes[end - 1] == '/') continue;  // <array/>
        if (++depth > kMaxNesting) return false;
    }
    return true;
}

std::uint64_t readBigEndian(const unsigned char* p, unsigned width) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

// Walks the object graph of a binary property list without recursion and
// measures its deepest chain of containers. Anything malformed is refused:
// libplist would refuse it as well. So are UTF-16 strings with a NUL
// character, on which libplist 2.2 fails an assertion and aborts.
bool binaryNestingWithinLimit(const std::string& bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    if (size < 8 + 32) return false;
    const unsigned char* trailer = data + size - 32;
    const unsigned offsetSize = trailer[6];
    const unsigned refSize = trailer[7];
    const std::uint64_t objectCount = readBigEndian(trailer + 8, 8);
    const std::uint64_t topObject = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    const std::uint64_t objectsEnd = size - 32;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
    if (objectCount == 0 || topObject >= objectCount || tableOffset < 8 ||
        tableOffset > objectsEnd || objectCount > (objectsEnd - tableOffset) / offsetSize) {
        return false;
    }

    // The references an object holds: where they start and how many.
    auto children = [&](std::uint64_t index, std::uint64_t* first, std::uint64_t* count) -> bool {
        const std::uint64_t offset =
            readBigEndian(data + tableOffset + index * offsetSize, offsetSize);
        if (offset < 8 || offset >= tableOffset) return false;
        const unsigned marker = data[offset];
        const unsigned kind = marker >> 4;
        *count = 0;
        *first = offset + 1;
        if (kind != 0xA && kind != 0xC && kind != 0xD && kind != 0x6) return true;
        std::uint64_t n = marker & 0x0F;
        if (n == 0x0F) {
            if (offset + 1 >= tableOffset) return false;
            const unsigned intMarker = data[offset + 1];
            if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
            const unsigned width = 1u << (intMarker & 0x0F);
            if (offset + 2 + width > tableOffset) return false;
            n = readBigEndian(data + offset + 2, width);
            *first = offset + 2 + width;
        }
        if (kind == 0x6) {
            // libplist 2.2 aborts on a UTF-16 string holding a NUL character.
            if (n > (tableOffset - *first) / 2) return false;
            for (std::uint64_t i = 0; i < n; ++i) {
                if (data[*first + 2 * i] == 0 && data[*first + 2 * i + 1] == 0) return false;
            }
            return true;
        }
        if (kind == 0xD) {
            if (n > UINT64_MAX / 2) return false;
            n *= 2;
        }
        if (n > (tableOffset - *first) / refSize) return false;
        *count = n;
        return true;
    };

    enum : unsigned char { Unvisited, OnPath, Done };
    std::vector<unsigned char> state(objectCount, Unvisited);
    std::vector<std::uint16_t> height(objectCount, 0);
    struct Frame {
        std::uint64_t object, first, count, next;
    };
    std::vector<Frame> path;
    auto enter = [&](std::uint64_t object) -> bool {
        Frame frame{object, 0, 0, 0};
        if (!children(object, &frame.first, &frame.count)) return false;
        state[object] = OnPath;
        path.push_back(frame);
        return path.size() <= static_cast<std::size_t>(kMaxNesting) + 1;
    };
    if (!enter(topObject)) return false;
    while (!path.empty()) {
        Frame& frame = path.back();
        if (frame.next == frame.count) {
            state[frame.object] = Done;
            const std::uint16_t h = height[frame.object];
            path.pop_back();
            if (!path.empty()) {
                std::uint16_t& parent = height[path.back().object];
                if (h + 1 > parent) parent = static_cast<std::uint16_t>(h + 1);
                if (parent > kMaxNesting) return false;
            }
            continue;
        }
        const std::uint64_t ref = readBigEndian(data + frame.first + frame.next * refSize, refSize);
        ++frame.next;
        if (ref >= objectCount || state[ref] == OnPath) return false;  // out of range or a cycle
        if (state[ref] == Done) {
            std::uint16_t& own = height[frame.object];
            if (height[ref] + 1 > own) own = static_cast<std::uint16_t>(height[ref] + 1);
            if (own > kMaxNesting) return false;
            continue;
        }
        if (!enter(ref)) return false;
    }
    return true;
}

// ----------------------------------------------------------- libplist side

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistFree>;

PlistValue fromNode(plist_t node, int depth);

// A one-key dictionary {CF$UID = n} is how XML spells a UID, as in
// Apple's reader.
bool isUidDictionary(plist_t node, std::uint64_t* value) {
    if (plist_dict_get_size(node) != 1) return false;
    plist_t item = plist_dict_get_item(node, "CF$UID");
    if (item == nullptr || plist_get_node_type(item) != PLIST_UINT) return false;
    plist_get_uint_val(item, value);
    return true;
}

// libplist 2.2 hands out every integer as a uint64_t. A set top bit means
// either a negative value or an unsigned one above INT64_MAX; only the
// node's own XML spelling tells which.
PlistValue integerFromNode(plist_t node) {
    std::uint64_t raw = 0;
    plist_get_uint_val(node, &raw);
    if (raw <= static_cast<std::uint64_t>(INT64_MAX)) {
        return PlistValue::integer(static_cast<std::int64_t>(raw));
    }
    PlistHandle copy(plist_copy(node));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(copy.get(), &xml, &length);
    const bool negative = xml != nullptr && std::strstr(xml, "<integer>-") != nullptr;
    std::free(xml);
    return negative ? PlistValue::integer(static_cast<std::int64_t>(raw))
                    : PlistValue::unsignedInteger(raw);
}

PlistValue fromNode(plist_t node, int depth) {
    if (node == nullptr || depth > kMaxNesting) return {};
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return PlistValue::boolean(v != 0);
        }
        case PLIST_UINT:
            return integerFromNode(node);
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return PlistValue::real(v);
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return PlistValue::string(text != nullptr ? std::string(text, length) : "");
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            PlistValue v = PlistValue::data(bytes != nullptr ? std::string(bytes, length) : "");
            std::free(bytes);
            return v;
        }
        case PLIST_DATE: {
            std::int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return PlistValue::date(sec + usec / 1e6);
        }
        case PLIST_UID: {
            std::uint64_t v = 0;
            plist_get_uid_val(node, &v);
            return PlistValue::uid(v);
        }
        case PLIST_ARRAY: {
            PlistValue array = PlistValue::array();
            const std::uint32_t n = plist_array_get_size(node);
            for (std::uint32_t i = 0; i < n; ++i) {
                PlistValue item = fromNode(plist_array_get_item(node, i), depth + 1);
                if (item.isNone()) return {};
                array.append(std::move(item));
            }
            return array;
        }
        case PLIST_DICT: {
            std::uint64_t uidValue = 0;
            if (isUidDictionary(node, &uidValue)) return PlistValue::uid(uidValue);
            PlistValue dict = PlistValue::dictionary();
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (it == nullptr) return {};
            bool ok = true;
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (key == nullptr) break;
                PlistValue value = fromNode(item, depth + 1);
                if (value.isNone()) ok = false;
                dict.set(key, std::move(value));
                std::free(key);
                if (!ok) break;
            }
            std::free(it);
            return ok ? dict : PlistValue();
        }
        default:
            return {};
    }
}

// libplist 2.2 can only make an unsigned integer above INT64_MAX by reading
// one, so such a value is built from its own XML.
plist_t unsignedNode(std::uint64_t value) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><integer>" +
        std::to_string(value) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_memory(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    if (node == nullptr) return plist_new_uint(value);
    return node;
}

plist_t toNode(const PlistValue& value) {
    switch (value.type()) {
        case PlistValue::Type::None:
            return nullptr;
        case PlistValue::Type::Boolean:
            return plist_new_bool(value.boolValue() ? 1 : 0);
        case PlistValue::Type::Integer: {
            const auto raw = static_cast<std::uint64_t>(value.intValue());
            return value.isUnsigned() ? unsignedNode(raw) : plist_new_uint(raw);
        }
        case PlistValue::Type::Real:
            return plist_new_real(value.realValue());
        case PlistValue::Type::String:
            return plist_new_string(value.stringValue().c_str());
        case PlistValue::Type::Data:
            return plist_new_data(value.stringValue().data(), value.stringValue().size());
        case PlistValue::Type::Date: {
            const double whole = std::floor(value.realValue());
            const double clamped = std::fmax(INT32_MIN, std::fmin(INT32_MAX, whole));
            const auto sec = static_cast<std::int32_t>(clamped);
            const auto usec = static_cast<std::int32_t>(
                std::fmin(999999.0, std::round((value.realValue() - whole) * 1e6)));
            return plist_new_date(sec, usec);
        }
        case PlistValue::Type::Uid:
            return plist_new_uid(static_cast<std::uint64_t>(value.intValue()));
        case PlistValue::Type::Array: {
            plist_t array = plist_new_array();
            for (const PlistValue& item : value.items()) {
                plist_t child = toNode(item);
                if (child == nullptr) {
                    plist_free(array);
                    return nullptr;
                }
                plist_array_append_item(array, child);
            }
            return array;
        }
        case PlistValue::Type::Dictionary: {
            plist_t dict = plist_new_dict();
            for (const auto& entry : value.entries()) {
                plist_t child = toNode(entry.second);
                if (child == nullptr) {
                    plist_free(dict);
                    return nullptr;
                }
                plist_dict_set_item(dict, entry.first.c_str(), child);
            }
            return dict;
        }
    }
    return nullptr;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

PlistValue parsePlist(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > UINT32_MAX) return {};
    if (startsWith(bytes, "bplist")) {
        if (!binaryNestingWithinLimit(bytes)) return {};
    } else if (!xmlNestingWithinLimit(bytes)) {
        return {};
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    PlistHandle owner(root);
    return fromNode(root, 0);
}

PlistValue readPlistFile(const std::string& path) {
    std::string bytes;
    if (!readFileBytes(path, &bytes)) return {};
    return parsePlist(bytes);
}

std::string toXmlPlist(const PlistValue& value) {
    PlistHandle node(toNode(value));
    if (!node) return {};
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node.get(), &xml, &length);
    std::string text = xml != nullptr ? std::string(xml, length) : std::string();
    std::free(xml);
    return text;
}

bool readFileBytes(const std::string& path, std::string* bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    *bytes = std::move(out);
    return true;
}

bool writeFileAtomically(const std::string& path, const std::string& bytes) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string temp = (slash == std::string::npos ? std::string() : folder) + ".plist-XXXXXX";
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0) return false;
    // mkstemp makes the file private; a settings file is readable by all.
    bool ok = ::fchmod(fd, 0644) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool writePlistFileAtomically(const std::string& path, const PlistValue& value) {
    const std::string xml = toXmlPlist(value);
    if (xml.empty()) return false;
    return writeFileAtomically(path, xml);
}

}  // namespace thrumline::sim
