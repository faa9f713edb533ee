#pragma once
#include <string>

namespace velkor::py {

// The shortest decimal that reads back as the same single-precision value,
// always positional (1e20 -> "100000000000000000000", 1e-7 -> "0.0000001"),
// without a fraction when integral; "-0", "NaN", "inf", "-inf".
std::string shortest_positional(float value);

}  // namespace velkor::py
