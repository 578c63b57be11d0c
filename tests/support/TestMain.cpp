// Test entry point. A crash ends the test program at once, without an error box; a hang is
// ended by ctest's timeout.
#include <gtest/gtest.h>

#include <windows.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    return RUN_ALL_TESTS();
}
