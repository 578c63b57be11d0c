// The access-list layer on lists held in memory; SDDL strings are the oracles.
#include "StorageTestSupport.h"

#include "storage/AccessList.h"

#include <gtest/gtest.h>

using FerrydockIpc::Dacl;
using FerrydockIpc::Sid;
using namespace storagetest;

TEST(AccessList, RemoveEveryEntryOfOneSidThenAddOneGrant)
{
    struct Case {
        const wchar_t* before;
        bool removed;
        const wchar_t* after;
    };
    const Case cases[] = {
        {L"D:", false, L"D:(A;OICI;FA;;;BU)"},
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
        Dacl dacl;
        ASSERT_TRUE(dacl.Assign(reinterpret_cast<const ACL*>(SddlDacl(c.before).data())));
        EXPECT_EQ(dacl.RemoveAces(users), c.removed);
        ASSERT_TRUE(dacl.AddAllowedAce(users, FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
        std::vector<BYTE> list;
        ASSERT_TRUE(dacl.Build(list));
        EXPECT_TRUE(IsValidAcl(reinterpret_cast<PACL>(list.data())));
        EXPECT_EQ(DaclSddl(reinterpret_cast<const ACL*>(list.data())), c.after);
    }
}

TEST(AccessList, RefusalsCarryTheirError)
{
    Dacl dacl;
    EXPECT_FALSE(dacl.AddAllowedAce(Sid(), FILE_ALL_ACCESS, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    // A list holds at most 64 KB: 4,096 grants of 20 bytes do not fit.
    for (int i = 0; i < 4096; ++i) {
        dacl.AddAllowedAce(Sid::FromString(L"SY"), FILE_GENERIC_READ, 0);
    }
    std::vector<BYTE> list;
    EXPECT_FALSE(dacl.Build(list));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    const TempTree tree;
    EXPECT_FALSE(FerrydockIpc::GetNamedDacl((tree / L"missing").c_str(), SE_FILE_OBJECT, dacl));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(FerrydockIpc::GetNamedDacl(nullptr, SE_FILE_OBJECT, dacl));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
