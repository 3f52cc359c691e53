#include "tests/support/host-environment.h"

bool RunningUnderWine()
{
    return false;
}
