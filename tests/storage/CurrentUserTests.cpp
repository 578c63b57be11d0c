// The SID text of the session's user, with the session search driven through
// patched imports of the test executable (the code under test is linked into it).
#include "StorageTestSupport.h"

#include "storage/CurrentUser.h"
#include "storage/StorageApi.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#define SECURITY_WIN32
#include <secext.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <map>
#include <vector>

using namespace storagetest;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

constexpr DWORD kConsole = 1;
const wchar_t* const kUnknownName = L"NOWHERE\\nobody";

// What the patched session functions see and answer; one test at a time uses it.
struct Sessions {
    std::wstring realName;
    std::map<DWORD, std::wstring> names; // session -> DOMAIN\user
    std::vector<WTS_SESSION_INFOW> list;
    bool enumerateFails = false;
    std::vector<DWORD> queried;
    DWORD lastQueried = 0xFFFFFFFF;
    std::vector<void*> freed;
} g;

decltype(&::WTSGetActiveConsoleSessionId) realConsole;
decltype(&::WTSQueryUserToken) realQuery;
decltype(&::WTSEnumerateSessionsW) realEnumerate;
decltype(&::WTSFreeMemory) realFree;
decltype(&::GetUserNameExW) realUserName;
decltype(&::LookupAccountNameW) realLookup;
decltype(&::ConvertSidToStringSidW) realConvert;

DWORD WINAPI FakeConsole() { return kConsole; }

BOOL WINAPI FailingQuery(ULONG session, PHANDLE)
{
    g.queried.push_back(session);
    g.lastQueried = session;
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
}

BOOL WINAPI FakeEnumerate(HANDLE server, DWORD, DWORD version, PWTS_SESSION_INFOW* list, DWORD* count)
{
    EXPECT_EQ(server, WTS_CURRENT_SERVER_HANDLE);
    EXPECT_EQ(version, 1u);
    *list = g.list.data();
    *count = static_cast<DWORD>(g.list.size());
    return g.enumerateFails ? FALSE : TRUE;
}

void WINAPI RecordingFree(PVOID memory) { g.freed.push_back(memory); }

BOOLEAN WINAPI NameOfQueriedSession(EXTENDED_NAME_FORMAT format, LPWSTR buffer, PULONG size)
{
    EXPECT_EQ(format, NameSamCompatible);
    EXPECT_EQ(*size, 260u);
    const auto found = g.names.find(g.lastQueried);
    if (found == g.names.end()) {
        return FALSE;
    }
    wcscpy(buffer, found->second.c_str());
    return TRUE;
}

BOOL WINAPI LookupKnowingNobody(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain,
                                LPDWORD domainSize, PSID_NAME_USE use)
{
    EXPECT_EQ(system, nullptr);
    EXPECT_EQ(*sidSize, 260u);
    EXPECT_EQ(*domainSize, 260u);
    // Wine (like Windows) answers an empty name with a domain SID; here it stands for
    // a session whose user cannot be named.
    if (name == std::wstring(kUnknownName) || name[0] == L'\0') {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    return realLookup(system, name, sid, sidSize, domain, domainSize, use);
}

BOOL WINAPI FailingLookup(LPCWSTR, LPCWSTR, PSID, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE)
{
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
}

BOOL WINAPI FailingConvert(PSID, LPWSTR*)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

std::wstring RealUserName()
{
    wchar_t name[260] = {};
    ULONG size = 260;
    GetUserNameExW(NameSamCompatible, name, &size);
    return name;
}

WTS_SESSION_INFOW Session(DWORD id, WTS_CONNECTSTATE_CLASS state)
{
    return WTS_SESSION_INFOW{id, const_cast<LPWSTR>(L"station"), state};
}

} // namespace

TEST(CurrentUser, SidTextIsTheProcessTokenUser)
{
    EXPECT_EQ(FerrydockIpc::GetCurrentUserSid(), ProcessUserSid());
    EXPECT_EQ(FerrydockIpc::GetAccountStringSid(RealUserName()), ProcessUserSid());
}

// The console's user is looked up first; only when that gives no SID text does the
// session list decide, and then its first active session wins.
TEST(CurrentUser, SessionSearch)
{
    const std::wstring me = RealUserName();
    const std::wstring mySid = ProcessUserSid();
    using S = WTS_CONNECTSTATE_CLASS;
    struct Case {
        const char* what;
        std::map<DWORD, std::wstring> names;
        std::vector<WTS_SESSION_INFOW> list;
        bool enumerateFails;
        std::wstring expected;
        std::vector<DWORD> queried;
    };
    const Case cases[] = {
        {"console user found: no list consulted", {{kConsole, me}}, {Session(5, S::WTSActive)}, false, mySid, {kConsole}},
        {"first of two active sessions",
         {{kConsole, kUnknownName}, {5, me}, {7, kUnknownName}},
         {Session(0, S::WTSDisconnected), Session(5, S::WTSActive), Session(7, S::WTSActive)},
         false,
         mySid,
         {kConsole, 5}},
        {"first active session's user unknown: empty, the second is not tried",
         {{kConsole, kUnknownName}, {5, kUnknownName}, {7, me}},
         {Session(5, S::WTSActive), Session(7, S::WTSActive)},
         false,
         L"",
         {kConsole, 5}},
        {"no active session", {{kConsole, kUnknownName}, {3, me}}, {Session(3, S::WTSListen)}, false, L"", {kConsole}},
        {"name query fails", {}, {Session(5, S::WTSActive)}, false, L"", {kConsole, 5}},
        {"enumeration fails", {{kConsole, kUnknownName}, {5, me}}, {Session(5, S::WTSActive)}, true, L"", {kConsole}},
    };
    const HMODULE exe = TestModule();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g = Sessions{};
        g.names = c.names;
        g.list = c.list;
        g.enumerateFails = c.enumerateFails;
        const auto p1 = Patch(exe, "kernel32.dll", "WTSGetActiveConsoleSessionId", &FakeConsole, realConsole);
        const auto p2 = Patch(exe, "wtsapi32.dll", "WTSQueryUserToken", &FailingQuery, realQuery);
        const auto p3 = Patch(exe, "wtsapi32.dll", "WTSEnumerateSessionsW", &FakeEnumerate, realEnumerate);
        const auto p4 = Patch(exe, "wtsapi32.dll", "WTSFreeMemory", &RecordingFree, realFree);
        const auto p5 = Patch(exe, "secur32.dll", "GetUserNameExW", &NameOfQueriedSession, realUserName);
        const auto p6 = Patch(exe, "advapi32.dll", "LookupAccountNameW", &LookupKnowingNobody, realLookup);
        ASSERT_TRUE(p1->active() && p2->active() && p3->active() && p4->active() && p5->active() && p6->active());

        EXPECT_EQ(FerrydockIpc::GetCurrentUserSid(), c.expected);
        EXPECT_EQ(g.queried, c.queried);
        // The list is released whenever one was handed out, found or not, failed or not.
        const bool listed = c.queried.size() > 1 || c.names.count(kConsole) == 0 || c.names.at(kConsole) != me;
        EXPECT_EQ(g.freed, listed ? std::vector<void*>{g.list.data()} : std::vector<void*>{});
    }
}

TEST(CurrentUser, ExportWritesEmptyTextWithoutMessageWhenNoUserIsFound)
{
    const HMODULE exe = TestModule();
    struct Case {
        const char* what;
        std::unique_ptr<testsupport::ImportPatch> (*install)(HMODULE);
    };
    const Case cases[] = {
        {"lookup fails",
         [](HMODULE m) { return Patch(m, "advapi32.dll", "LookupAccountNameW", &FailingLookup, realLookup); }},
        {"conversion fails",
         [](HMODULE m) { return Patch(m, "advapi32.dll", "ConvertSidToStringSidW", &FailingConvert, realConvert); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto patch = c.install(exe);
        ASSERT_TRUE(patch->active());
        LogCapture log;
        wchar_t buffer[64];
        wmemset(buffer, L'#', 64);
        FerrydockIpc::GetCurrentUserName(buffer, 64);
        EXPECT_EQ(buffer[0], L'\0');
        EXPECT_TRUE(log.Records().empty());
    }
}

// An obtained token is impersonated only for the name query, then reverted and closed.
TEST(CurrentUser, SessionTokenIsImpersonatedRevertedAndClosed)
{
    static HANDLE handedOut = nullptr;
    static bool impersonatingDuringQuery = false;
    struct Fakes {
        static BOOL WINAPI Query(ULONG, PHANDLE token)
        {
            HANDLE process = nullptr;
            OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process);
            DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token);
            CloseHandle(process);
            handedOut = *token;
            return TRUE;
        }
        static BOOLEAN WINAPI Name(EXTENDED_NAME_FORMAT format, LPWSTR buffer, PULONG size)
        {
            HANDLE thread = nullptr;
            impersonatingDuringQuery = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread) != FALSE;
            if (thread != nullptr) {
                CloseHandle(thread);
            }
            return realUserName(format, buffer, size);
        }
    };
    const auto query = Patch(TestModule(), "wtsapi32.dll", "WTSQueryUserToken", &Fakes::Query, realQuery);
    const auto name = Patch(TestModule(), "secur32.dll", "GetUserNameExW", &Fakes::Name, realUserName);
    ASSERT_TRUE(query->active() && name->active());

    EXPECT_EQ(FerrydockIpc::GetSessionUserName(kConsole), RealUserName());
    EXPECT_TRUE(impersonatingDuringQuery);
    HANDLE thread = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(handedOut, &flags)) << "the session token is closed";
}

TEST(CurrentUser, ExportBufferRules)
{
    const std::wstring sid = ProcessUserSid();
    const int exact = static_cast<int>(sid.size()) + 1;
    const LogRecord tooSmall{4, L"wcscpy_s path fail: 34(FerrydockIpc::GetCurrentUserName)"};
    const LogRecord refused{4, L"input is empty(FerrydockIpc::GetCurrentUserName)"};
    struct Case {
        int length;
        bool nullBuffer;
        std::wstring expected; // "#" = untouched
        std::vector<LogRecord> log;
    };
    const Case cases[] = {
        {exact, false, sid, {}},           {exact + 20, false, sid, {}},  {exact - 1, false, L"", {tooSmall}},
        {2, false, L"", {tooSmall}},       {1, false, L"#", {refused}},  {0, false, L"#", {refused}},
        {-1, false, L"#", {refused}},      {64, true, L"#", {refused}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length << (c.nullBuffer ? " null" : ""));
        std::vector<wchar_t> buffer(static_cast<size_t>(exact + 20), L'#');
        buffer.back() = L'\0';
        buffer[1] = L'\0';
        LogCapture log;
        FerrydockIpc::GetCurrentUserName(c.nullBuffer ? nullptr : buffer.data(), c.length);
        EXPECT_EQ(std::wstring(buffer.data()), c.expected);
        EXPECT_EQ(buffer[static_cast<size_t>(exact)], L'#') << "nothing written past the text";
        EXPECT_EQ(log.Records(), c.log);
    }
}
