// Both "none" values of a handle are never released, and no release or scope-exit action
// changes the thread's last error.
#include "ferrydock/Resource.h"

#include <gtest/gtest.h>

using namespace FerrydockIpc;

namespace {

int g_released = 0;

BOOL WINAPI FailingClose(HANDLE) { ++g_released; SetLastError(ERROR_INVALID_HANDLE); return FALSE; }

} // namespace

TEST(Resource, NoneIsNeverReleasedAndTheLastErrorSurvives)
{
    const HANDLE held = reinterpret_cast<HANDLE>(0x40);
    for (const HANDLE value : {HANDLE{}, INVALID_HANDLE_VALUE, held}) {
        g_released = 0;
        SetLastError(1234);
        {
            const UniqueResource<HANDLE, FailingClose, resource::HandleNone> owner(value);
            EXPECT_EQ(static_cast<bool>(owner), value == held) << value;
        }
        EXPECT_EQ(g_released, value == held ? 1 : 0) << value;
        EXPECT_EQ(GetLastError(), 1234u) << value;
    }
    {
        const auto exit = OnScopeExit([] { FailingClose(nullptr); });
        SetLastError(88);
    }
    EXPECT_EQ(g_released, 2);
    EXPECT_EQ(GetLastError(), 88u);
}
