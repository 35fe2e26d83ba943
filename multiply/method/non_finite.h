// The refusal of a conditioning transform (centring, equilibration) that
// meets a NaN or an infinite input entry. It is a std::invalid_argument with
// the transform's own message; its own type lets the program say which mode
// takes such inputs instead.
#pragma once

#include <stdexcept>

struct NonFiniteInput : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};
