// A small layer over the platform's SIDs and access lists: a SID held by value, and
// an editable copy of an access list that can be read from and written to a named
// object. Operations report failure by result and the thread's last error, and
// never throw (out of memory becomes ERROR_NOT_ENOUGH_MEMORY).
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <initializer_list>
#include <vector>

namespace FerrydockIpc {

class Sid {
public:
    Sid() = default;
    // A copy of sid; empty when sid is null or not a valid SID.
    explicit Sid(PSID sid);
    // A SID under the NT authority (S-1-5-...) with the given sub-authorities.
    static Sid NtAuthority(std::initializer_list<DWORD> subAuthorities);
    // From text such as "S-1-5-32-545" or "BU"; empty when the text is not a SID.
    static Sid FromString(const wchar_t* text);

    bool empty() const { return bytes_.empty(); }
    PSID get() const { return empty() ? nullptr : const_cast<BYTE*>(bytes_.data()); }
    DWORD length() const { return static_cast<DWORD>(bytes_.size()); }

    bool operator==(const Sid& other) const { return bytes_ == other.bytes_; }
    bool operator!=(const Sid& other) const { return !(*this == other); }

private:
    std::vector<BYTE> bytes_;
};

// The entries of one access list, each kept as its own bytes so that entries of
// kinds this code never edits pass through unchanged.
class Dacl {
public:
    // Replaces the content with a copy of every entry of list (null: no entries).
    bool Assign(const ACL* list);

    size_t size() const { return entries_.size(); }

    // Removes every entry, of any kind, whose SID equals sid. False when none was removed.
    bool RemoveAces(const Sid& sid);

    // Adds an access-allowed entry.
    bool AddAllowedAce(const Sid& sid, ACCESS_MASK mask, BYTE flags);

    // A self-contained access list in canonical order: explicit denials, other
    // explicit entries, then inherited entries, each group in the order held.
    bool Build(std::vector<BYTE>& list) const;

private:
    std::vector<std::vector<BYTE>> entries_;
};

// Reads the access list of a named object. Fails for a null name, when the read
// fails (its error becomes the last error) and when the object has no access list.
bool GetNamedDacl(const wchar_t* name, SE_OBJECT_TYPE type, Dacl& dacl);

// Writes dacl as the object's access list, DACL_SECURITY_INFORMATION alone.
bool SetNamedDacl(const wchar_t* name, SE_OBJECT_TYPE type, const Dacl& dacl);

} // namespace FerrydockIpc
