// The caller's position as a defaulted argument.
#pragma once

#include "corelib/util/types.h"

// Where a call came from: the compilers' position builtins as default arguments fill it
// in at the call site (available where <source_location> is not, such as clang 14 over
// libstdc++ 12).
struct CallSite
{
    constexpr CallSite(const char* file = __builtin_FILE(), const char* function = __builtin_FUNCTION(),
                       U32 line = __builtin_LINE())
        : m_file(file), m_function(function), m_line(line)
    {
    }
    const char* m_file;
    const char* m_function;
    U32 m_line;
};
