// Valid values and missing results, as every kernel treats them.
#pragma once

#include <cmath>
#include <limits>

namespace runtime {

// A missing result.
inline constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// A value counts only when finite: its magnitude is not above the largest finite number
// of its type, which NaN and both infinities fail. (Not named `finite`: the C library
// declares a function of that name, which overload resolution would prefer.)
template <class T>
inline bool is_finite(T x) {
    return std::fabs(x) <= std::numeric_limits<T>::max();
}

}  // namespace runtime
