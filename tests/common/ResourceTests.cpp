// The shared resource owners: both "none" values of a handle are never released, and no
// release or scope-exit action changes the thread's last error.
#include "ferrydock/Resource.h"

#include <gtest/gtest.h>

using namespace FerrydockIpc;

namespace {

int g_released = 0;

BOOL WINAPI FailingClose(HANDLE)
{
    ++g_released;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

} // namespace

TEST(Resource, NoneIsNeverReleasedAndTheLastErrorSurvives)
{
    const struct {
        HANDLE value;
        bool held;
    } cases[] = {{nullptr, false}, {INVALID_HANDLE_VALUE, false}, {reinterpret_cast<HANDLE>(0x40), true}};
    for (const auto& c : cases) {
        g_released = 0;
        SetLastError(1234);
        {
            const UniqueResource<HANDLE, FailingClose, resource::HandleNone> owner(c.value);
            EXPECT_EQ(static_cast<bool>(owner), c.held) << c.value;
        }
        EXPECT_EQ(g_released, c.held ? 1 : 0) << c.value;
        EXPECT_EQ(GetLastError(), 1234u) << c.value;
    }
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE raw = event.get();
    SetLastError(77);
    event.reset(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(event);
    EXPECT_EQ(GetLastError(), 77u);
    EXPECT_FALSE(SetEvent(raw)) << "closed by the reset";
    {
        const auto exit = OnScopeExit([] { FailingClose(nullptr); });
        SetLastError(88);
    }
    EXPECT_EQ(g_released, 2);
    EXPECT_EQ(GetLastError(), 88u);
}
