// -boolValue and -intValue as NSNumber and NSString answer them. The
// simulated objects keep numbers and strings as PlistValue, so the rules
// live here, apart from the object runtime.
#pragma once

#include <cstdint>
#include <string>

#include "simulator/home-screen/PlistValue.h"

namespace thrumline::sim {

// True for the types whose objects answer boolValue and intValue on the
// platform (NSNumber and NSString); false for data, dates, UIDs and
// containers, which would raise an unrecognized selector.
bool answersValueConversions(const PlistValue& value);

// NSNumber: a boolean is itself; an integer is true unless its whole value
// is zero (4294967296 is true, its intValue 0); a real is true unless zero
// (NaN included as true, as a C conversion gives). NSString: see
// stringBoolValue. Other types: false.
bool boolValueOf(const PlistValue& value);
// NSNumber: a boolean is 1 or 0; an integer is its low 32 bits, as
// CoreFoundation's C cast gives (4294967596 is 300), unsigned ones above
// INT64_MAX included; a real is truncated toward zero and limited to the
// 32-bit range, NaN giving 0. NSString: see stringIntValue. Other types: 0.
std::int32_t intValueOf(const PlistValue& value);

// -[NSString boolValue]: after leading white space, an optional sign and any
// zeros, true on Y, y, T, t or a digit 1 to 9; the rest is ignored.
bool stringBoolValue(const std::string& text);
// -[NSString intValue]: the leading decimal integer after white space and an
// optional sign; INT32_MAX or INT32_MIN on overflow; 0 when there is none.
std::int32_t stringIntValue(const std::string& text);

}  // namespace thrumline::sim
