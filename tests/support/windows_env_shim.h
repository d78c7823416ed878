// The POSIX environment calls the tests use, for the Windows build (MinGW's
// C runtime has neither). _putenv_s changes the runtime's copy and the
// process environment alike, so getenv() and the program both see it.
#pragma once

#ifdef _WIN32
#include <stdlib.h>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name))
        return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) {
    return _putenv_s(name, "") == 0 ? 0 : -1;
}
#endif
