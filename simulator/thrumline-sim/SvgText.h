// Text and numbers as the SVG picture writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace thrumline::simtool {

// Text for XML: markup characters escaped, control bytes and broken UTF-8
// (scenario strings may hold any bytes) replaced.
std::string escape(const std::string& raw);
// A coordinate with at most two decimals, no trailing zeros.
std::string num(double v);
// At most `chars` characters, "~" marking a cut.
std::string shorten(const std::string& text, std::size_t chars);
// A tick step of 1, 2 or 5 times a power of ten nanoseconds giving at most
// about ten ticks over `span`.
std::uint64_t tickStep(std::uint64_t span);
// "1.5s": a tick's time with as many decimals as the step needs.
std::string tickLabel(std::uint64_t t, std::uint64_t step);

// The picture's style sheet, as a <style> element.
extern const char* const kSvgStyle;
// `text` without its leading blanks.
std::string trimmed(const std::string& text);
// A classic pulse's marker, 12 high and 2 * halfWidth wide, centred on (cx, cy).
std::string diamond(double cx, double cy, double halfWidth);

}  // namespace thrumline::simtool
