// The access-list layer on lists held in memory; SDDL strings are the oracles.
#include "StorageTestSupport.h"

#include "storage/AccessList.h"

#include <gtest/gtest.h>

using FerrydockIpc::Dacl;
using FerrydockIpc::Sid;
using namespace storagetest;

namespace {

std::wstring Built(const Dacl& dacl)
{
    std::vector<BYTE> list;
    if (!dacl.Build(list)) {
        return L"build failed " + std::to_wstring(GetLastError());
    }
    EXPECT_TRUE(IsValidAcl(reinterpret_cast<PACL>(list.data())));
    return DaclSddl(reinterpret_cast<const ACL*>(list.data()));
}

} // namespace

TEST(Sid, BuiltFromPartsEqualsTheParsedTextAndConvertsBack)
{
    const Sid users = Sid::NtAuthority({SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
    EXPECT_EQ(users, Sid::FromString(L"S-1-5-32-545"));
    EXPECT_EQ(users, Sid::FromString(L"BU"));
    EXPECT_NE(users, Sid::FromString(L"S-1-5-32-544"));
    EXPECT_NE(users, Sid::FromString(L"S-1-5-32-545-1"));
    EXPECT_EQ(users.ToString(), L"S-1-5-32-545");
    EXPECT_EQ(Sid::NtAuthority({SECURITY_LOCAL_SYSTEM_RID}).ToString(), L"S-1-5-18");
    EXPECT_TRUE(Sid::FromString(L"").empty());
    EXPECT_TRUE(Sid::FromString(L"not a sid").empty());
    EXPECT_TRUE(Sid(nullptr).empty());
    EXPECT_EQ(Sid().ToString(), L"");
}

TEST(Dacl, RemoveEveryUsersEntryThenAddOneGrant)
{
    struct Case {
        const wchar_t* before;
        bool removed;
        const wchar_t* after;
    };
    const Case cases[] = {
        // no Users entry at all
        {L"D:(A;OICI;FA;;;SY)", false, L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)"},
        {L"D:", false, L"D:(A;OICI;FA;;;BU)"},
        // an explicit denial and an explicit grant both go
        {L"D:(D;;FA;;;BU)(A;OICI;FR;;;BU)(A;OICI;FA;;;SY)", true, L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)"},
        // inherited Users entries go too; other inherited entries stay last
        {L"D:(A;ID;FR;;;BU)(A;OICIID;FA;;;SY)(D;;FA;;;WD)", true, L"D:(D;;FA;;;WD)(A;OICI;FA;;;BU)(A;OICIID;FA;;;SY)"},
        // a longer SID that starts like the Users SID is another trustee
        {L"D:(A;;FA;;;S-1-5-32-545-1)", false, L"D:(A;;FA;;;S-1-5-32-545-1)(A;OICI;FA;;;BU)"},
        // explicit denials come before every grant, whatever the order read
        {L"D:(A;;FA;;;SY)(D;;FW;;;WD)(A;;FR;;;BA)", false, L"D:(D;;FW;;;WD)(A;;FA;;;SY)(A;;FR;;;BA)(A;OICI;FA;;;BU)"},
    };
    const Sid users = Sid::FromString(L"BU");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.before);
        const SddlDescriptor source(c.before);
        ASSERT_NE(source.descriptor, nullptr);
        Dacl dacl;
        ASSERT_TRUE(dacl.Assign(source.dacl()));
        EXPECT_EQ(dacl.RemoveAces(users), c.removed);
        ASSERT_TRUE(dacl.AddAllowedAce(users, FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
        EXPECT_EQ(Built(dacl), c.after);
    }
}

TEST(Dacl, RefusesWhatCannotBeWritten)
{
    Dacl dacl;
    SetLastError(0);
    EXPECT_FALSE(dacl.AddAllowedAce(Sid(), FILE_ALL_ACCESS, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_EQ(dacl.size(), 0u);

    // A list is at most 64 KB: 4,096 entries of 20 bytes (a grant to S-1-5-18) do not fit.
    const Sid system = Sid::FromString(L"SY");
    for (int i = 0; i < 4096; ++i) {
        ASSERT_TRUE(dacl.AddAllowedAce(system, FILE_GENERIC_READ, 0));
    }
    std::vector<BYTE> list;
    EXPECT_FALSE(dacl.Build(list));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(dacl.RemoveAces(system));
    EXPECT_EQ(Built(dacl), L"D:");
}

TEST(Dacl, NamedObjectReadFailuresCarryTheirError)
{
    const TempTree tree;
    struct Case {
        const wchar_t* name;
        DWORD error;
    };
    const std::wstring missing = tree / L"missing";
    const std::wstring missingParent = tree / L"no\\such";
    const Case cases[] = {{nullptr, ERROR_INVALID_PARAMETER},
                          {missing.c_str(), ERROR_FILE_NOT_FOUND},
                          {missingParent.c_str(), ERROR_PATH_NOT_FOUND}};
    for (const Case& c : cases) {
        Dacl dacl;
        SetLastError(0);
        EXPECT_FALSE(FerrydockIpc::GetNamedDacl(c.name, SE_FILE_OBJECT, dacl));
        EXPECT_EQ(GetLastError(), c.error) << (c.name ? c.name : L"(null)");
    }
    Dacl dacl;
    EXPECT_TRUE(FerrydockIpc::GetNamedDacl(tree.root().c_str(), SE_FILE_OBJECT, dacl));
}
