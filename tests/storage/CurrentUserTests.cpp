// The SID text of the session's user, with the session search driven through
// patched imports of the test executable (the code under test is linked into it).
#include "StorageTestSupport.h"

#include "storage/CurrentUser.h"
#include "storage/StorageApi.h"

#include <gtest/gtest.h>

#define SECURITY_WIN32
#include <secext.h>
#include <wtsapi32.h>

#include <map>

using namespace storagetest;

namespace {

constexpr DWORD kConsole = 1;
const std::wstring kUnknown = L"NOWHERE\\nobody";

// What the patched session functions answer and see.
struct Sessions {
    std::map<DWORD, std::wstring> names; // session -> DOMAIN\user
    std::vector<WTS_SESSION_INFOW> list;
    BOOL enumerated = TRUE;
    std::vector<DWORD> queried;
    std::vector<void*> freed;
} g;

decltype(&::WTSGetActiveConsoleSessionId) realConsole;
decltype(&::WTSQueryUserToken) realQuery;
decltype(&::WTSEnumerateSessionsW) realEnumerate;
decltype(&::WTSFreeMemory) realFree;
decltype(&::GetUserNameExW) realUserName;
decltype(&::LookupAccountNameW) realLookup;

DWORD WINAPI Console() { return kConsole; }

BOOL WINAPI QueryFails(ULONG session, PHANDLE)
{
    g.queried.push_back(session);
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
}

BOOL WINAPI Enumerate(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW* list, DWORD* count)
{
    EXPECT_TRUE(server == WTS_CURRENT_SERVER_HANDLE && reserved == 0 && version == 1);
    *list = g.list.data();
    *count = static_cast<DWORD>(g.list.size());
    return g.enumerated;
}

void WINAPI Free(PVOID memory) { g.freed.push_back(memory); }

// The name of the session whose token was asked for last.
BOOLEAN WINAPI NameOfQueriedSession(EXTENDED_NAME_FORMAT format, LPWSTR buffer, PULONG size)
{
    EXPECT_TRUE(format == NameSamCompatible && *size == 260);
    const auto found = g.names.find(g.queried.back());
    return found != g.names.end() && wcscpy_s(buffer, *size, found->second.c_str()) == 0;
}

// Wine (like Windows) answers an empty name with a domain SID; here it stands for a
// user who cannot be named, as kUnknown does.
BOOL WINAPI Lookup(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain, LPDWORD domainSize,
                   PSID_NAME_USE use)
{
    EXPECT_TRUE(system == nullptr && *sidSize == 260 && *domainSize == 260);
    if (name == kUnknown || name[0] == L'\0') {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    return realLookup(system, name, sid, sidSize, domain, domainSize, use);
}

std::wstring MyName()
{
    wchar_t name[260] = {};
    ULONG size = 260;
    GetUserNameExW(NameSamCompatible, name, &size);
    return name;
}

WTS_SESSION_INFOW Session(DWORD id, WTS_CONNECTSTATE_CLASS state) { return {id, const_cast<LPWSTR>(L"ws"), state}; }

} // namespace

// Unpatched, the SID text is the process token's user. Patched: the console's user first;
// only when that gives no SID text does the session list decide, and its first active session wins.
TEST(CurrentUser, SessionSearch)
{
    const std::wstring me = MyName();
    const std::wstring mine = ProcessUserSid();
    EXPECT_EQ(FerrydockIpc::GetCurrentUserSid(), mine);
    EXPECT_EQ(FerrydockIpc::GetAccountStringSid(me), mine);
    const auto active = WTS_CONNECTSTATE_CLASS::WTSActive;
    struct Case {
        const char* what;
        std::map<DWORD, std::wstring> names;
        std::vector<WTS_SESSION_INFOW> list;
        BOOL enumerated;
        std::wstring expected;
        std::vector<DWORD> queried;
        bool listFreed;
    };
    const Case cases[] = {
        {"console user found", {{kConsole, me}}, {Session(5, active)}, TRUE, mine, {kConsole}, false},
        {"first of two active sessions", {{kConsole, kUnknown}, {5, me}, {7, kUnknown}},
         {Session(0, WTSDisconnected), Session(5, active), Session(7, active)}, TRUE, mine, {kConsole, 5}, true},
        {"first active session's user unknown: the second is not tried", {{kConsole, kUnknown}, {7, me}},
         {Session(5, active), Session(7, active)}, TRUE, L"", {kConsole, 5}, true},
        {"no active session", {{3, me}}, {Session(3, WTSListen)}, TRUE, L"", {kConsole}, true},
        {"name queries fail", {}, {Session(5, active)}, TRUE, L"", {kConsole, 5}, true},
        {"enumeration fails, its list is still released", {{5, me}}, {Session(5, active)}, FALSE, L"", {kConsole},
         true},
    };
    const HMODULE exe = TestModule();
    const auto patches = {
        Patch(exe, "kernel32.dll", "WTSGetActiveConsoleSessionId", &Console, realConsole),
        Patch(exe, "wtsapi32.dll", "WTSQueryUserToken", &QueryFails, realQuery),
        Patch(exe, "wtsapi32.dll", "WTSEnumerateSessionsW", &Enumerate, realEnumerate),
        Patch(exe, "wtsapi32.dll", "WTSFreeMemory", &Free, realFree),
        Patch(exe, "secur32.dll", "GetUserNameExW", &NameOfQueriedSession, realUserName),
        Patch(exe, "advapi32.dll", "LookupAccountNameW", &Lookup, realLookup)};
    for (const auto& patch : patches) {
        ASSERT_TRUE(patch->active());
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g = Sessions{c.names, c.list, c.enumerated, {}, {}};
        EXPECT_EQ(FerrydockIpc::GetCurrentUserSid(), c.expected);
        EXPECT_EQ(g.queried, c.queried);
        EXPECT_EQ(g.freed, c.listFreed ? std::vector<void*>{g.list.data()} : std::vector<void*>{});
    }
    // No user at all: the export writes an empty string and says nothing.
    g = Sessions{};
    testsupport::LogCapture log;
    wchar_t buffer[64] = L"unchanged";
    FerrydockIpc::GetCurrentUserName(buffer, 64);
    EXPECT_STREQ(buffer, L"");
    EXPECT_EQ(log.Records(), std::vector<testsupport::LogRecord>{});
}

// A session token is impersonated only for the name query, then reverted and closed.
TEST(CurrentUser, SessionTokenIsImpersonatedRevertedAndClosed)
{
    static HANDLE handedOut = nullptr;
    static bool impersonating = false;
    struct Fakes {
        static BOOL WINAPI Query(ULONG, PHANDLE token)
        {
            HANDLE process = nullptr;
            OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process);
            DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &handedOut);
            CloseHandle(process);
            *token = handedOut;
            return TRUE;
        }
        static BOOLEAN WINAPI Name(EXTENDED_NAME_FORMAT format, LPWSTR buffer, PULONG size)
        {
            HANDLE thread = nullptr;
            impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread) != FALSE;
            CloseHandle(thread);
            return realUserName(format, buffer, size);
        }
    };
    const auto query = Patch(TestModule(), "wtsapi32.dll", "WTSQueryUserToken", &Fakes::Query, realQuery);
    const auto name = Patch(TestModule(), "secur32.dll", "GetUserNameExW", &Fakes::Name, realUserName);
    ASSERT_TRUE(query->active() && name->active());

    EXPECT_EQ(FerrydockIpc::GetSessionUserName(kConsole), MyName());
    EXPECT_TRUE(impersonating);
    HANDLE thread = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread)) << "reverted";
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(handedOut, &flags)) << "closed";
}
