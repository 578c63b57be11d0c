// Owning types for the security objects of the storage code, each named after the
// call that releases it (see common/UniqueResource.h for the shared template).
#pragma once

#include "common/UniqueResource.h"

#include <windows.h>
#include <aclapi.h>
#include <wtsapi32.h>

namespace FerrydockIpc {

namespace resdetail {
inline void FreeSid(PSID sid) { ::FreeSid(sid); }
inline void LocalFreeAcl(PACL acl) { ::LocalFree(acl); }
inline void LocalFreeText(LPWSTR text) { ::LocalFree(text); }
inline void WtsFreeSessions(PWTS_SESSION_INFOW sessions) { ::WTSFreeMemory(sessions); }
} // namespace resdetail

// A SID from AllocateAndInitializeSid: FreeSid, never LocalFree.
using UniqueFreeSid = UniqueResource<NullIsNone<PSID, resdetail::FreeSid>>;
// A SID from ConvertStringSidToSidW, or a security descriptor: LocalFree.
using UniqueLocalSid = UniqueLocalMemory;
// An access list from SetEntriesInAclW: LocalFree.
using UniqueLocalAcl = UniqueResource<NullIsNone<PACL, resdetail::LocalFreeAcl>>;
// Text from ConvertSidToStringSidW and its relatives: LocalFree.
using UniqueLocalText = UniqueResource<NullIsNone<LPWSTR, resdetail::LocalFreeText>>;
// The session list of WTSEnumerateSessionsW: WTSFreeMemory.
using UniqueWtsSessions = UniqueResource<NullIsNone<PWTS_SESSION_INFOW, resdetail::WtsFreeSessions>>;

} // namespace FerrydockIpc
