#pragma once

// The portable unit tests set variables the POSIX way; the Windows runtime
// spells it _putenv_s, where an empty value removes the variable.

#include <cstdlib>

inline int setenv(const char* name, const char* value, int) {
    return _putenv_s(name, value);
}

inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
