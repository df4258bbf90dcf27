#include "simulator/thrumline-sim/SvgText.h"

#include <cstdio>

namespace thrumline::simtool {

namespace {

// The length of the valid UTF-8 sequence starting at `i`, or 0.
std::size_t utf8Length(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned int minimum = 0;
    unsigned int code = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        minimum = 0x80;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        minimum = 0x800;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        minimum = 0x10000;
        code = lead & 0x07;
    } else
        return 0;
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

// Text for XML: markup characters escaped, control bytes and broken UTF-8
// (scenario strings may hold any bytes) replaced.
std::string escape(const std::string& raw) {
    std::string text;
    for (std::size_t i = 0; i < raw.size();) {
        const std::size_t length = utf8Length(raw, i);
        if (length == 0) {
            text += "\uFFFD";
            ++i;
        } else {
            text.append(raw, i, length);
            i += length;
        }
    }
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                // Control bytes are not allowed in XML text.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                    out += ' ';
                else
                    out += c;
        }
    }
    return out;
}

std::string num(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", v);
    std::string text = buffer;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text == "-0" ? "0" : text;
}

std::string shorten(const std::string& text, std::size_t chars) {
    if (text.size() <= chars) return text;
    return text.substr(0, chars - 1) + "~";
}

// A tick step of 1, 2 or 5 times a power of ten nanoseconds giving at most
// about ten ticks.
std::uint64_t tickStep(std::uint64_t span) {
    std::uint64_t power = 1;
    while (true) {
        for (std::uint64_t m : {1ULL, 2ULL, 5ULL}) {
            if (span / (m * power) <= 10) return m * power;
        }
        power *= 10;
    }
}

std::string tickLabel(std::uint64_t t, std::uint64_t step) {
    int decimals = 0;
    std::uint64_t unit = 1000000000ULL;
    while (decimals < 9 && step % unit != 0) {
        unit /= 10;
        ++decimals;
    }
    char buffer[48];
    if (decimals == 0) {
        std::snprintf(buffer, sizeof buffer, "%llus",
                      static_cast<unsigned long long>(t / 1000000000ULL));
    } else {
        std::snprintf(buffer, sizeof buffer, "%.*f", decimals, static_cast<double>(t) / 1e9);
        std::string text = buffer;
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
        return text + "s";
    }
    return buffer;
}

const char* const kSvgStyle =
    "<style>\n"
    "  .title { font-size: 16px; font-weight: bold; fill: #212529; }\n"
    "  .note { font-size: 11px; fill: #495057; }\n"
    "  .lane { font-size: 12px; fill: #343a40; }\n"
    "  .cmd { font: 11px 'DejaVu Sans Mono', monospace; fill: #343a40; }\n"
    "  .cmdfail { font: 11px 'DejaVu Sans Mono', monospace; fill: #c92a2a; }\n"
    "  .tick { font-size: 11px; fill: #495057; }\n"
    "  .step { font-size: 10px; fill: #343a40; }\n"
    "  .gap { font-size: 10px; fill: #868e96; }\n"
    "</style>\n";

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string diamond(double cx, double cy, double halfWidth) {
    return "<path d=\"M" + num(cx) + " " + num(cy - 6) + " L" + num(cx + halfWidth) + " " +
           num(cy) + " L" + num(cx) + " " + num(cy + 6) + " L" + num(cx - halfWidth) + " " +
           num(cy) + " Z\" fill=\"#1c7ed6\"/>";
}

}  // namespace thrumline::simtool
