#include "simulator/home-screen/PlistNesting.h"

#include <cstring>
#include <vector>

namespace thrumline::sim {

// libplist recurses once per nesting level while parsing, converting and
// freeing, so a few hundred thousand nested containers overflow the stack.
// Settings files are flat; anything nested deeper than this is refused
// before libplist sees it.

namespace {

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
// Where a binary property list's objects and references are.
struct BinaryLayout {
    const unsigned char* data;
    unsigned offsetSize;
    unsigned refSize;
    std::uint64_t tableOffset;
};

// The references object `index` holds: where they start and how many.
// False when the object is malformed.
bool childrenOf(const BinaryLayout& t, std::uint64_t index, std::uint64_t* first,
                std::uint64_t* count) {
    const std::uint64_t offset =
        readBigEndian(t.data + t.tableOffset + index * t.offsetSize, t.offsetSize);
    if (offset < 8 || offset >= t.tableOffset) return false;
    const unsigned marker = t.data[offset];
    const unsigned kind = marker >> 4;
    *count = 0;
    *first = offset + 1;
    if (kind != 0xA && kind != 0xC && kind != 0xD && kind != 0x6) return true;
    std::uint64_t n = marker & 0x0F;
    if (n == 0x0F) {
        if (offset + 1 >= t.tableOffset) return false;
        const unsigned intMarker = t.data[offset + 1];
        if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
        const unsigned width = 1u << (intMarker & 0x0F);
        if (offset + 2 + width > t.tableOffset) return false;
        n = readBigEndian(t.data + offset + 2, width);
        *first = offset + 2 + width;
    }
    if (kind == 0x6) {
        // libplist 2.2 aborts on a UTF-16 string holding a NUL character.
        if (n > (t.tableOffset - *first) / 2) return false;
        for (std::uint64_t i = 0; i < n; ++i) {
            if (t.data[*first + 2 * i] == 0 && t.data[*first + 2 * i + 1] == 0) return false;
        }
        return true;
    }
    if (kind == 0xD) {
        if (n > UINT64_MAX / 2) return false;
        n *= 2;
    }
    if (n > (t.tableOffset - *first) / t.refSize) return false;
    *count = n;
    return true;
}

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

    const BinaryLayout layout{data, offsetSize, refSize, tableOffset};
    auto children = [&layout](std::uint64_t index, std::uint64_t* first, std::uint64_t* count) {
        return childrenOf(layout, index, first, count);
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

}  // namespace

bool nestingWithinLimit(const std::string& bytes) {
    if (startsWith(bytes, "bplist")) return binaryNestingWithinLimit(bytes);
    return xmlNestingWithinLimit(bytes);
}

}  // namespace thrumline::sim
