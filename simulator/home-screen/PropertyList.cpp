// Every libplist call of the project. libplist 2.3 renamed PLIST_UINT and
// changed plist_from_memory, so nothing else includes <plist/plist.h>.
#include "simulator/home-screen/PropertyList.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "simulator/home-screen/PlistNesting.h"

namespace thrumline::sim {

namespace {

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

// The bytes libplist's writer `write` (XML or binary) makes of a value.
std::string written(const PlistValue& value, void (*write)(plist_t, char**, std::uint32_t*)) {
    PlistHandle node(toNode(value));
    if (!node) return {};
    char* bytes = nullptr;
    std::uint32_t length = 0;
    write(node.get(), &bytes, &length);
    std::string out = bytes != nullptr ? std::string(bytes, length) : std::string();
    std::free(bytes);
    return out;
}

}  // namespace

PlistValue parsePlist(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > UINT32_MAX) return {};
    if (!nestingWithinLimit(bytes)) return {};
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    PlistHandle owner(root);
    return fromNode(root, 0);
}

std::string toXmlPlist(const PlistValue& value) { return written(value, &plist_to_xml); }

bool parsesBare(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > UINT32_MAX) return false;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    PlistHandle owner(root);
    return root != nullptr;
}

std::string toBinaryPlist(const PlistValue& value) { return written(value, &plist_to_bin); }

}  // namespace thrumline::sim
