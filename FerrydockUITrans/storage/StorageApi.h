// The bodies of the storage exports: text into the caller's buffer, whole or not at all.
#pragma once

namespace FerrydockIpc {

void GetSaveFileDir(wchar_t* buffer, int length);
void GetSaveDbDir(wchar_t* buffer, int length);
// Writes the SID text of the active session's user.
void GetCurrentUserName(wchar_t* buffer, int length);

} // namespace FerrydockIpc
