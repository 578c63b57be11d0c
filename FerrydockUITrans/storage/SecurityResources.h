// Owning types for the security objects of the storage code, each named after the
// call that releases it.
#pragma once

#include "ferrydock/Resource.h"

#include <windows.h>
#include <aclapi.h>
#include <wtsapi32.h>

namespace FerrydockIpc {

// A SID from AllocateAndInitializeSid: FreeSid, never LocalFree.
using UniqueFreeSid = UniqueResource<PSID, ::FreeSid>;
// A SID from ConvertStringSidToSidW, or a security descriptor: LocalFree.
using UniqueLocalSid = UniqueLocalMemory;
// An access list from SetEntriesInAclW: LocalFree.
using UniqueLocalAcl = UniqueResource<PACL, ::LocalFree>;
// Text from ConvertSidToStringSidW and its relatives: LocalFree.
using UniqueLocalText = UniqueResource<LPWSTR, ::LocalFree>;
// The session list of WTSEnumerateSessionsW: WTSFreeMemory.
using UniqueWtsSessions = UniqueResource<PWTS_SESSION_INFOW, ::WTSFreeMemory>;

} // namespace FerrydockIpc
