#include "storage/CurrentUser.h"

#include "storage/SecurityResources.h"

#define SECURITY_WIN32
#include <sddl.h>
#include <secext.h>

#include <memory>
#include <new>

namespace FerrydockIpc {

namespace {

constexpr DWORD kNameCapacity = 260;
constexpr DWORD kSidCapacity = 260;

// The first session in the platform's order that is active, whatever its kind.
bool FindFirstActiveSession(DWORD& session)
{
    UniqueWtsSessions sessions;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, sessions.put(), &count) || count == 0) {
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (sessions.get()[i].State == WTSActive) {
            session = sessions.get()[i].SessionId;
            return true;
        }
    }
    return false;
}

} // namespace

std::wstring GetCurrentUserSid()
{
    std::wstring result = GetAccountStringSid(GetSessionUserName(WTSGetActiveConsoleSessionId()));
    if (!result.empty()) {
        return result;
    }
    DWORD session = 0;
    if (FindFirstActiveSession(session)) {
        result = GetAccountStringSid(GetSessionUserName(session));
    }
    return result;
}

std::wstring GetSessionUserName(DWORD session)
{
    UniqueHandle token;
    bool impersonating = false;
    if (WTSQueryUserToken(session, token.put())) {
        impersonating = ImpersonateLoggedOnUser(token.get()) != FALSE;
    } else {
        // Whatever a failed query left in the slot is not ours to close.
        token.release();
    }

    wchar_t name[kNameCapacity] = {};
    ULONG size = kNameCapacity;
    GetUserNameExW(NameSamCompatible, name, &size);

    if (impersonating) {
        RevertToSelf();
    }
    token.reset();
    return name;
}

std::wstring GetAccountStringSid(const std::wstring& name)
{
    std::unique_ptr<BYTE[]> sid(new (std::nothrow) BYTE[kSidCapacity]());
    if (!sid) {
        return {};
    }
    wchar_t domain[kNameCapacity] = {};
    DWORD sidSize = kSidCapacity;
    DWORD domainSize = kNameCapacity;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountNameW(nullptr, name.c_str(), sid.get(), &sidSize, domain, &domainSize, &use)) {
        return {};
    }
    UniqueLocalText text;
    if (ConvertSidToStringSidW(sid.get(), text.put()) != TRUE) {
        return {};
    }
    return text ? std::wstring(text.get()) : std::wstring();
}

} // namespace FerrydockIpc
