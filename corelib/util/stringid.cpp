// The integer-suffix constructors of StringId64: the suffix is hashed as its decimal text.
#include "corelib/util/stringid.h"

#include <cstdio>

StringId64::StringId64(StringId64 base, int suffix, bool remember)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%d", suffix);
    m_value = HashText(base.m_value, text);
    if (remember)
        Remember(base, text);
}

StringId64::StringId64(StringId64 base, unsigned int suffix, bool remember)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%u", suffix);
    m_value = HashText(base.m_value, text);
    if (remember)
        Remember(base, text);
}
