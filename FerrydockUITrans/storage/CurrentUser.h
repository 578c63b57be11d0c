// The user of the active Windows session, identified by the text form of its SID.
#pragma once

#include <windows.h>

#include <string>

namespace FerrydockIpc {

// SID text (S-1-...) of the active session's user; empty when none was found.
std::wstring GetCurrentUserSid();

// DOMAIN\user of the session's user, or of the calling thread's account when the
// session's token cannot be had; empty when the name query fails.
std::wstring GetSessionUserName(DWORD session);

// SID text of the account; empty when the lookup or the conversion fails.
std::wstring GetAccountStringSid(const std::wstring& name);

} // namespace FerrydockIpc
