#pragma once
// The simulator's KORVA_SIM_ settings, read from the environment. Each object that uses a
// setting reads it when it is constructed, so a test can change the environment between objects.

#include <string>

namespace korva_sim {

// A non-negative whole number of milliseconds (or a count); unset, empty, negative or malformed
// values give `fallback`.
long envNumber(const char* name, long fallback);

// The variable's text, or "" when it is unset.
std::string envText(const char* name);

// True when the variable is set to "1".
bool envFlag(const char* name);

}  // namespace korva_sim
