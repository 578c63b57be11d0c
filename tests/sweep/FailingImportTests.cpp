#include "sweep/FailingImport.h"

#include <gtest/gtest.h>

using testsupport::FailingImport;

// The thunk forwards every call but the chosen one, whatever the signature.
TEST(FailingImport, FailsOnlyTheChosenCallAndForwardsTheRest)
{
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    {
        FailingImport failing(GetModuleHandleW(nullptr), "kernel32.dll", "GetFileAttributesW", 2,
                              INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED);
        ASSERT_TRUE(failing.active());
        EXPECT_NE(GetFileAttributesW(self), INVALID_FILE_ATTRIBUTES);
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesW(self), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_NE(GetFileAttributesW(self), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(failing.calls(), 3);
    }
    EXPECT_NE(GetFileAttributesW(self), INVALID_FILE_ATTRIBUTES) << "the slot is restored";

    // Seven arguments: the stack-passed ones reach the original untouched.
    FailingImport failing(GetModuleHandleW(nullptr), "kernel32.dll", "WideCharToMultiByte", 1, 0,
                          ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(failing.active());
    char out[8] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"ab", -1, out, sizeof(out), nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"ab", -1, out, sizeof(out), nullptr, nullptr), 3);
    EXPECT_STREQ(out, "ab");
}
