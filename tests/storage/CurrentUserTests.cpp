// The SID text of the session's user, with the session search driven through patched
// imports of the test executable (the code under test is linked into it).
#include "StorageTestSupport.h"

#include "storage/CurrentUser.h"

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
    std::vector<DWORD> queried{};
    std::vector<void*> freed{};
    HANDLE token = nullptr; // handed out by the token query, when set
    bool impersonating = false;
} g;

decltype(&::GetUserNameExW) realUserName;
decltype(&::LookupAccountNameW) realLookup;

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
    // what, the sessions, the SID text found, the sessions whose token was asked for
    const std::tuple<const char*, Sessions, std::wstring, std::vector<DWORD>> cases[] = {
        {"console user found", {{{kConsole, kLong}}, {Session(5, WTSActive)}}, mine, {kConsole}},
        {"first of two active sessions", {{{kConsole, kUnknown}, {5, kLong}, {7, kUnknown}},
         {Session(0, WTSDisconnected), Session(5, WTSActive), Session(7, WTSActive)}}, mine, {kConsole, 5}},
        {"no active session", {{{3, me}}, {Session(3, WTSListen)}}, L"", {kConsole}},
        {"enumeration fails, its list is still released", {{{5, me}}, {Session(5, WTSActive)}, FALSE}, L"", {kConsole}},
    };
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches;
    const auto patch = [&](const char* dll, const char* name, auto replacement) {
        patches.push_back(std::make_unique<testsupport::ImportPatch>(GetModuleHandleW(nullptr), dll, name,
                                                                     reinterpret_cast<void*>(replacement)));
        return patches.back()->original<decltype(replacement)>();
    };
    patch("kernel32.dll", "WTSGetActiveConsoleSessionId", +[]() -> DWORD { return kConsole; });
    patch("wtsapi32.dll", "WTSQueryUserToken", +[](ULONG session, PHANDLE token) -> BOOL {
        g.queried.push_back(session);
        return *token = g.token, g.token != nullptr || (SetLastError(ERROR_PRIVILEGE_NOT_HELD), FALSE);
    });
    patch("wtsapi32.dll", "WTSEnumerateSessionsW", +[](HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* list, DWORD* count) {
        return *list = g.list.data(), *count = static_cast<DWORD>(g.list.size()), g.enumerated;
    });
    patch("wtsapi32.dll", "WTSFreeMemory", +[](PVOID memory) { g.freed.push_back(memory); });
    realUserName = patch("secur32.dll", "GetUserNameExW", &Name);
    realLookup = patch("advapi32.dll", "LookupAccountNameW", &Lookup);
    for (const auto& [what, given, expected, queried] : cases) {
        SCOPED_TRACE(what);
        g = given;
        EXPECT_EQ(FerrydockIpc::GetCurrentUserSid(), expected);
        EXPECT_EQ(g.queried, queried);
        const bool listed = queried.size() > 1 || expected != mine; // not when the console's user is found
        EXPECT_EQ(g.freed, listed ? std::vector<void*>{g.list.data()} : std::vector<void*>{});
    }
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
