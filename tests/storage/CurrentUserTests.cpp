// The SID text of the session's user, with the session search driven through patched
// imports of the test executable (the code under test is linked into it).
#include "StorageTestSupport.h"

#include "storage/CurrentUser.h"
#include "storage/StorageApi.h"

#include <gtest/gtest.h>

#define SECURITY_WIN32
#include <secext.h>
#include <wtsapi32.h>

using namespace storagetest;

namespace {

constexpr DWORD kConsole = 1;
const std::wstring kUnknown = L"NOWHERE\\nobody";
// A long name for the process user (me), as a domain account's can be.
const std::wstring kLong = L"A-DOMAIN-WITH-A-LONG-NAME\\the-process-user";
std::wstring me;

// What the patched session functions answer and see.
struct Sessions {
    std::map<DWORD, std::wstring> names; // session -> DOMAIN\user
    std::vector<WTS_SESSION_INFOW> list;
    BOOL enumerated = TRUE;
    std::vector<DWORD> queried;
    std::vector<void*> freed;
    HANDLE token = nullptr; // handed out by the token query, when set
    bool impersonating = false;
} g;

decltype(&::GetUserNameExW) realUserName;
decltype(&::LookupAccountNameW) realLookup;

BOOL WINAPI Query(ULONG session, PHANDLE token)
{
    g.queried.push_back(session);
    *token = g.token;
    return g.token != nullptr || (SetLastError(ERROR_PRIVILEGE_NOT_HELD), FALSE);
}

BOOL WINAPI Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* list, DWORD* count)
{
    *list = g.list.data();
    *count = static_cast<DWORD>(g.list.size());
    return g.enumerated;
}

// With a token handed out: the real name, and whether the thread impersonates. Without:
// the name of the session whose token was asked for last.
BOOLEAN WINAPI Name(EXTENDED_NAME_FORMAT format, LPWSTR buffer, PULONG size)
{
    HANDLE thread = nullptr;
    g.impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread) != FALSE;
    CloseHandle(thread);
    const auto found = g.names.find(g.queried.back());
    return g.token != nullptr ? realUserName(format, buffer, size)
                              : found != g.names.end() && wcscpy_s(buffer, *size, found->second.c_str()) == 0;
}

// Wine (like Windows) answers an empty name with a domain SID; here it stands for a
// user who cannot be named, as kUnknown does.
BOOL WINAPI Lookup(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain, LPDWORD domainSize,
                   PSID_NAME_USE use)
{
    const bool unknown = name == kUnknown || name[0] == L'\0';
    return !unknown ? realLookup(system, name == kLong ? me.c_str() : name, sid, sidSize, domain, domainSize, use)
                    : (SetLastError(ERROR_NONE_MAPPED), FALSE);
}

struct SessionPatches {
    template <typename Fn>
    Fn Patch(const char* dll, const char* name, Fn replacement)
    {
        patches.push_back(std::make_unique<testsupport::ImportPatch>(GetModuleHandleW(nullptr), dll, name,
                                                                     reinterpret_cast<void*>(replacement)));
        return patches.back()->original<Fn>();
    }
    SessionPatches()
    {
        Patch("kernel32.dll", "WTSGetActiveConsoleSessionId", +[]() -> DWORD { return kConsole; });
        Patch("wtsapi32.dll", "WTSQueryUserToken", &Query);
        Patch("wtsapi32.dll", "WTSEnumerateSessionsW", &Enumerate);
        Patch("wtsapi32.dll", "WTSFreeMemory", +[](PVOID memory) { g.freed.push_back(memory); });
        realUserName = Patch("secur32.dll", "GetUserNameExW", &Name);
        realLookup = Patch("advapi32.dll", "LookupAccountNameW", &Lookup);
    }
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches;
};

WTS_SESSION_INFOW Session(DWORD id, WTS_CONNECTSTATE_CLASS state) { return {id, const_cast<LPWSTR>(L"ws"), state}; }

} // namespace

// The console's user first; only when that gives no SID text does the session list
// decide, and its first active session wins.
TEST(CurrentUser, SessionSearch)
{
    wchar_t own[260] = {};
    ULONG size = 260;
    GetUserNameExW(NameSamCompatible, own, &size);
    me = own;
    const std::wstring mine = ProcessUserSid();
    EXPECT_EQ(FerrydockIpc::GetCurrentUserSid(), mine) << "unpatched: the process token's user";
    const auto active = WTS_CONNECTSTATE_CLASS::WTSActive;
    const struct {
        const char* what;
        std::map<DWORD, std::wstring> names;
        std::vector<WTS_SESSION_INFOW> list;
        BOOL enumerated;
        std::wstring expected;
        std::vector<DWORD> queried;
    } cases[] = {
        {"console user found", {{kConsole, kLong}}, {Session(5, active)}, TRUE, mine, {kConsole}},
        {"first of two active sessions", {{kConsole, kUnknown}, {5, kLong}, {7, kUnknown}},
         {Session(0, WTSDisconnected), Session(5, active), Session(7, active)}, TRUE, mine, {kConsole, 5}},
        {"first active session's user unknown: the second is not tried", {{kConsole, kUnknown}, {7, me}},
         {Session(5, active), Session(7, active)}, TRUE, L"", {kConsole, 5}},
        {"no active session", {{3, me}}, {Session(3, WTSListen)}, TRUE, L"", {kConsole}},
        {"enumeration fails, its list is still released", {{5, me}}, {Session(5, active)}, FALSE, L"", {kConsole}},
    };
    const SessionPatches patches;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g = Sessions{c.names, c.list, c.enumerated, {}, {}, nullptr, false};
        EXPECT_EQ(FerrydockIpc::GetCurrentUserSid(), c.expected);
        EXPECT_EQ(g.queried, c.queried);
        EXPECT_EQ(g.freed, &c == cases ? std::vector<void*>{} : std::vector<void*>{g.list.data()});
    }
    // No user at all: the export writes an empty string and says nothing.
    g = Sessions{};
    testsupport::LogCapture log;
    wchar_t buffer[64] = L"unchanged";
    FerrydockIpc::GetCurrentUserName(buffer, 64);
    EXPECT_STREQ(buffer, L"");
    EXPECT_EQ(log.Records(), Records{});

    // A session token is impersonated only for the name query, then reverted and closed.
    HANDLE process = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process);
    DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &g.token);
    CloseHandle(process);
    EXPECT_EQ(FerrydockIpc::GetSessionUserName(kConsole), me);
    EXPECT_TRUE(g.impersonating);
    HANDLE thread = nullptr;
    DWORD flags = 0;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread)) << "reverted";
    EXPECT_FALSE(GetHandleInformation(g.token, &flags)) << "closed";
}
