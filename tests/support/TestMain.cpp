// Test entry point. A hang fails through ctest's per-test timeout, which names the case.
#include <gtest/gtest.h>

#include <windows.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // No error dialog on a crash: under Xvfb nobody would close it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    return RUN_ALL_TESTS();
}
