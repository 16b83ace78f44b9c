#pragma once
// Numbers as parts of test case names, which may hold only letters, digits and underscores.
#include <cstdio>
#include <string>
#include <type_traits>

namespace quarvel::test_support {

// `value` as a name part: 3.99 gives "3_99", -1 gives "Minus1".
template <typename Number>
std::string number_name(Number value) {
  static_assert(std::is_arithmetic_v<Number>, "a number");
  std::string text;
  if constexpr (std::is_integral_v<Number>) {
    text = std::to_string(value);
  } else {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%g", static_cast<double>(value));
    text = digits;
  }
  std::string name;
  for (const char c : text) {
    if (c == '-') {
      name += "Minus";
    } else if (c == '.') {
      name += '_';
    } else if (c != '+') {  // an exponent's sign
      name += c;
    }
  }
  return name;
}

}  // namespace quarvel::test_support
