// Property-list bytes to PlistValue and back, through libplist.
#pragma once

#include <string>

#include "simulator/home-screen/PlistValue.h"

namespace thrumline::sim {

// Parses XML or binary property-list bytes. None on any failure, and for
// containers nested more than kMaxNesting deep. An XML {CF$UID = n} reads as
// a Uid.
PlistValue parsePlist(const std::string& bytes);
// libplist's parse alone, with no nesting guard and no copy into a value:
// the baseline the benchmarks measure a settings load against. True when
// the bytes parse.
bool parsesBare(const std::string& bytes);
// XML text of a value; empty for None.
std::string toXmlPlist(const PlistValue& value);
// Binary property-list bytes of a value; empty for None.
std::string toBinaryPlist(const PlistValue& value);

}  // namespace thrumline::sim
