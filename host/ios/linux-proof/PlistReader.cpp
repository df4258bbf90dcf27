#include "PlistReader.h"

#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace thrumline::plistcheck {

namespace {

Value convert(plist_t node) {
    Value value;
    if (node == nullptr) return value;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            value.kind = Kind::Boolean;
            value.boolean = flag != 0;
            break;
        }
        case PLIST_UINT: {  // libplist keeps signed integers two's-complement here
            std::uint64_t raw = 0;
            plist_get_uint_val(node, &raw);
            value.kind = Kind::Integer;
            value.integer = static_cast<std::int64_t>(raw);
            break;
        }
        case PLIST_REAL:
            value.kind = Kind::Real;
            plist_get_real_val(node, &value.real);
            break;
        case PLIST_STRING: {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            value.kind = Kind::String;
            if (text != nullptr) value.text = text;
            std::free(text);
            break;
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            value.kind = Kind::Data;
            if (bytes != nullptr) value.text.assign(bytes, length);
            std::free(bytes);
            break;
        }
        case PLIST_DATE:
            value.kind = Kind::Date;
            break;
        case PLIST_ARRAY:
            value.kind = Kind::Array;
            for (std::uint32_t i = 0; i < plist_array_get_size(node); ++i) {
                value.items.push_back(convert(plist_array_get_item(node, i)));
            }
            break;
        case PLIST_DICT: {
            value.kind = Kind::Dictionary;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (item == nullptr) {
                    std::free(key);
                    break;
                }
                value.entries.emplace_back(key != nullptr ? key : "", convert(item));
                std::free(key);
            }
            std::free(it);
            break;
        }
        default:
            value.kind = Kind::Other;
            break;
    }
    return value;
}

}  // namespace

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Missing:
            return "missing";
        case Kind::Boolean:
            return "boolean";
        case Kind::Integer:
            return "integer";
        case Kind::Real:
            return "real";
        case Kind::String:
            return "string";
        case Kind::Data:
            return "data";
        case Kind::Date:
            return "date";
        case Kind::Array:
            return "array";
        case Kind::Dictionary:
            return "dictionary";
        case Kind::Other:
            return "other";
    }
    return "?";
}

const Value& Value::operator[](const std::string& key) const {
    static const Value missing;
    for (const auto& entry : entries) {
        if (entry.first == key) return entry.second;
    }
    return missing;
}

Document readBytes(const std::string& bytes) {
    Document document;
    if (bytes.empty()) return document;
    const auto length = static_cast<std::uint32_t>(bytes.size());
    plist_t root = nullptr;
    if (plist_is_binary(bytes.data(), length)) {
        plist_from_bin(bytes.data(), length, &root);
    } else {
        plist_from_xml(bytes.data(), length, &root);
        document.xml = root != nullptr;
    }
    if (root == nullptr) return document;
    document.parsed = true;
    document.root = convert(root);
    plist_free(root);
    return document;
}

Document readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Document();
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return readBytes(bytes);
}

}  // namespace thrumline::plistcheck
