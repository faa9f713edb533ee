#include "module/float_repr.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace velkor::py {

std::string shortest_positional(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Scientific form gives the shortest round-trip digits and where the
    // point goes; fixed form would print the exact binary expansion instead.
    char text[32];
    auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    std::string scientific(text, end);
    std::size_t mark = scientific.find('e');
    int exponent = std::atoi(scientific.c_str() + mark + 1);
    std::string sign, digits;
    for (char ch : scientific.substr(0, mark)) {
        if (ch == '-') sign = "-";
        else if (ch != '.') digits += ch;
    }
    int integral_digits = exponent + 1;  // digits before the decimal point
    int count = static_cast<int>(digits.size());
    if (integral_digits >= count) return sign + digits + std::string(integral_digits - count, '0');
    if (integral_digits <= 0) return sign + "0." + std::string(-integral_digits, '0') + digits;
    return sign + digits.substr(0, integral_digits) + "." + digits.substr(integral_digits);
}

}  // namespace velkor::py
