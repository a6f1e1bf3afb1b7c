#pragma once
// The one POSIX call the portable core tests use that the Windows C runtime
// lacks. Force-included into the Windows build of those tests only.

#ifdef _WIN32
#include <direct.h>
#include <io.h>

#include <cstring>

// Replaces the trailing XXXXXX of `pattern` and creates that directory.
inline char *mkdtemp(char *pattern)
{
    if (_mktemp_s(pattern, std::strlen(pattern) + 1) != 0 || _mkdir(pattern) != 0)
        return nullptr;
    return pattern;
}
#endif
