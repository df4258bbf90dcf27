// A guard in front of libplist: it recurses once per nesting level while
// parsing, converting and freeing, so deeply nested input would overflow the
// stack. Settings files are flat.
#pragma once

#include <string>

namespace thrumline::sim {

// Containers nested deeper than this are refused.
constexpr int kMaxNesting = 512;

// False when XML or binary property-list bytes nest containers deeper than
// kMaxNesting, or when binary bytes are malformed in a way libplist 2.2 would
// refuse or abort on. Never recurses.
bool nestingWithinLimit(const std::string& bytes);

}  // namespace thrumline::sim
