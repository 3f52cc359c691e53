// What the tests run on, for the few places where an emulated host differs from the
// system it stands in for.
#pragma once

// True when the Win32 build runs under Wine rather than Windows.
bool RunningUnderWine();
