#include "tests/support/host-environment.h"
#include "tests/support/test-support.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Death tests re-run the test binary; "threadsafe" keeps them correct when a
    // test has started threads, and is the only style Windows offers.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    InstallTestAssertHandler();
    InstallUnhandledExceptionExit();
    return RUN_ALL_TESTS();
}
