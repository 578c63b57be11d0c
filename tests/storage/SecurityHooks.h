// Replacements for the security and folder calls of the storage code. Each records
// what it was given (access lists as SDDL) and then either calls the real function
// or fails as the test asks. One test at a time uses them.
#pragma once

#include "StorageTestSupport.h"

#include <windows.h>
#include <aclapi.h>

#include <memory>
#include <string>
#include <vector>

namespace storagetest {

struct ExplicitRecord {
    DWORD access;
    ACCESS_MODE mode;
    DWORD inheritance;
    TRUSTEE_FORM form;
    TRUSTEE_TYPE type;
    MULTIPLE_TRUSTEE_OPERATION multiple;
    std::wstring sid;
};

struct CreatedFolder {
    std::wstring path;
    bool withAttributes;
    DWORD length;
    BOOL inheritHandle;
    std::wstring dacl;
};

struct OpenedFile {
    std::wstring path;
    DWORD access, share, disposition, flags;
    bool attributes, templateFile;
    HANDLE result;
};

struct WrittenList {
    std::wstring name; // empty for SetSecurityInfo
    SE_OBJECT_TYPE type;
    DWORD parts;
    bool ownerGroupOrSacl;
    std::wstring dacl;
    bool handleOpen; // SetSecurityInfo: the handle was still open
};

struct AccessCheckCall {
    DWORD desired;
    GENERIC_MAPPING mapping;
    DWORD privilegeLength;
    TOKEN_TYPE tokenType;
    SECURITY_IMPERSONATION_LEVEL level;
};

// How a replaced call behaves; all off means "record and pass through".
struct Faults {
    std::vector<int> accessCheckDenials; // per call: 1 deny, 0 grant (pass through), -1 call fails
    DWORD deniedGrant = 0;
    bool openProcessTokenFails = false;
    bool duplicateTokenFails = false;
    int getFileSecurityFailsOnCall = 0; // 1 or 2
    bool convertStringSidFails = false;
    const wchar_t* namedDescriptorSddl = nullptr; // GetNamedSecurityInfoW answers with this
    DWORD getNamedError = 0;
    DWORD setNamedError = 0;
};

struct Recorded {
    Faults faults;
    std::vector<std::vector<ExplicitRecord>> entries; // one list per SetEntriesInAclW call
    std::vector<CreatedFolder> created;
    std::vector<OpenedFile> opened;
    std::vector<WrittenList> written;
    std::vector<AccessCheckCall> checks;
    int attributeWrites = 0;
    std::vector<std::string> calls; // names in call order
};

extern Recorded g_recorded;

// Installs every replacement in module's import table; reset g_recorded first.
class SecurityHooks {
public:
    explicit SecurityHooks(HMODULE module, const Faults& faults = {});
    bool active() const;

private:
    std::vector<std::unique_ptr<testsupport::ImportPatch>> patches_;
};

} // namespace storagetest
