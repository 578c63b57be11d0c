#include "storage/AccessList.h"

#include "storage/SecurityResources.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace FerrydockIpc {

namespace {

constexpr size_t kAceHeaderAndMask = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
constexpr size_t kMaxAclSize = 0xFFFF;

bool IsObjectAce(BYTE type)
{
    switch (type) {
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE:
        return true;
    default:
        return false;
    }
}

bool IsDenial(BYTE type)
{
    return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
           type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

const ACE_HEADER& Header(const std::vector<BYTE>& ace) { return *reinterpret_cast<const ACE_HEADER*>(ace.data()); }

// Where the entry's SID starts: after the mask, and for object entries after their
// flags and the GUIDs those flags announce. Compound entries carry no single SID.
size_t SidOffset(const std::vector<BYTE>& ace)
{
    const BYTE type = Header(ace).AceType;
    if (type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE) {
        return 0;
    }
    if (!IsObjectAce(type)) {
        return kAceHeaderAndMask;
    }
    if (ace.size() < kAceHeaderAndMask + sizeof(DWORD)) {
        return 0;
    }
    DWORD objectFlags = 0;
    std::memcpy(&objectFlags, ace.data() + kAceHeaderAndMask, sizeof(objectFlags));
    size_t offset = kAceHeaderAndMask + sizeof(DWORD);
    offset += (objectFlags & ACE_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0;
    offset += (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0;
    return offset;
}

// True when the SID inside the entry is byte for byte sid; bounds are checked
// against the entry's own size, never trusted from the SID.
bool AceHasSid(const std::vector<BYTE>& ace, const Sid& sid)
{
    const size_t offset = SidOffset(ace);
    if (offset == 0 || offset + sid.length() > ace.size()) {
        return false;
    }
    return std::memcmp(ace.data() + offset, sid.get(), sid.length()) == 0;
}

bool OutOfMemory()
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
}

} // namespace

Sid::Sid(PSID sid)
{
    if (sid != nullptr && IsValidSid(sid)) {
        const auto* first = static_cast<const BYTE*>(sid);
        bytes_.assign(first, first + GetLengthSid(sid));
    }
}

Sid Sid::NtAuthority(std::initializer_list<DWORD> subAuthorities)
{
    Sid result;
    const auto count = static_cast<BYTE>(subAuthorities.size());
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    result.bytes_.resize(GetSidLengthRequired(count));
    if (!InitializeSid(result.bytes_.data(), &authority, count)) {
        result.bytes_.clear();
        return result;
    }
    DWORD index = 0;
    for (const DWORD value : subAuthorities) {
        *GetSidSubAuthority(result.bytes_.data(), index++) = value;
    }
    return result;
}

Sid Sid::FromString(const wchar_t* text)
{
    UniqueLocalSid sid;
    if (text == nullptr || !ConvertStringSidToSidW(text, sid.put())) {
        return Sid();
    }
    return Sid(sid.get());
}

bool Dacl::Assign(const ACL* list)
{
    try {
        std::vector<std::vector<BYTE>> entries;
        for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(const_cast<ACL*>(list), i, &ace)) {
                return false;
            }
            const auto* first = static_cast<const BYTE*>(ace);
            entries.emplace_back(first, first + static_cast<const ACE_HEADER*>(ace)->AceSize);
        }
        entries_ = std::move(entries);
        return true;
    } catch (const std::bad_alloc&) {
        return OutOfMemory();
    }
}

bool Dacl::RemoveAces(const Sid& sid)
{
    const auto matches = [&sid](const std::vector<BYTE>& ace) { return AceHasSid(ace, sid); };
    const auto removed = std::remove_if(entries_.begin(), entries_.end(), matches);
    const bool any = removed != entries_.end();
    entries_.erase(removed, entries_.end());
    return any;
}

bool Dacl::AddAllowedAce(const Sid& sid, ACCESS_MASK mask, BYTE flags)
{
    if (sid.empty()) {
        SetLastError(ERROR_INVALID_SID);
        return false;
    }
    try {
        std::vector<BYTE> ace(kAceHeaderAndMask + sid.length());
        ACE_HEADER header{ACCESS_ALLOWED_ACE_TYPE, flags, static_cast<WORD>(ace.size())};
        std::memcpy(ace.data(), &header, sizeof(header));
        std::memcpy(ace.data() + sizeof(header), &mask, sizeof(mask));
        std::memcpy(ace.data() + kAceHeaderAndMask, sid.get(), sid.length());
        entries_.push_back(std::move(ace));
        return true;
    } catch (const std::bad_alloc&) {
        return OutOfMemory();
    }
}

bool Dacl::Build(std::vector<BYTE>& list) const
{
    try {
        std::vector<const std::vector<BYTE>*> ordered;
        const auto explicitDenial = [](const std::vector<BYTE>* ace) {
            return (Header(*ace).AceFlags & INHERITED_ACE) == 0 && IsDenial(Header(*ace).AceType);
        };
        const auto isExplicit = [](const std::vector<BYTE>* ace) { return (Header(*ace).AceFlags & INHERITED_ACE) == 0; };
        size_t size = sizeof(ACL);
        BYTE revision = ACL_REVISION;
        for (const auto& ace : entries_) {
            ordered.push_back(&ace);
            size += ace.size();
            revision = IsObjectAce(Header(ace).AceType) ? ACL_REVISION_DS : revision;
        }
        if (size > kMaxAclSize) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        const auto inherited = std::stable_partition(ordered.begin(), ordered.end(), isExplicit);
        std::stable_partition(ordered.begin(), inherited, explicitDenial);

        list.assign(size, 0);
        ACL header{revision, 0, static_cast<WORD>(size), static_cast<WORD>(entries_.size()), 0};
        std::memcpy(list.data(), &header, sizeof(header));
        size_t offset = sizeof(ACL);
        for (const auto* ace : ordered) {
            std::memcpy(list.data() + offset, ace->data(), ace->size());
            offset += ace->size();
        }
        return true;
    } catch (const std::bad_alloc&) {
        return OutOfMemory();
    }
}

bool GetNamedDacl(const wchar_t* name, SE_OBJECT_TYPE type, Dacl& dacl)
{
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    UniqueLocalMemory descriptor;
    PACL list = nullptr;
    const DWORD status = GetNamedSecurityInfoW(name, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                                               nullptr, descriptor.put());
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return false;
    }
    return list != nullptr && dacl.Assign(list);
}

bool SetNamedDacl(const wchar_t* name, SE_OBJECT_TYPE type, const Dacl& dacl)
{
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::vector<BYTE> list;
    if (!dacl.Build(list)) {
        return false;
    }
    const DWORD status = SetNamedSecurityInfoW(const_cast<wchar_t*>(name), type, DACL_SECURITY_INFORMATION, nullptr,
                                               nullptr, reinterpret_cast<PACL>(list.data()), nullptr);
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return false;
    }
    return true;
}

} // namespace FerrydockIpc
