// DirManager's security operations and the access-list layer under them, on the code
// linked into the test executable, whose imports SecurityHooks patch.
#include "StorageTestSupport.h"

#include "storage/AccessList.h"
#include "storage/DirManager.h"

#include <gtest/gtest.h>

#include <functional>

using namespace storagetest;
using FerrydockIpc::Sid;

namespace {

FerrydockIpc::DirManager& Manager() { return FerrydockIpc::DirManager::GetInstance(); }
const HMODULE kTestModule = GetModuleHandleW(nullptr);

} // namespace

TEST(AccessList, RemoveEveryEntryOfOneSidThenAddOneGrantInCanonicalOrder)
{
    const struct {
        const wchar_t* before;
        bool removed;
        const wchar_t* after;
    } cases[] = {
        {L"D:", false, L"D:(A;OICI;FA;;;BU)"},
        // inherited Users entries go too; other inherited entries stay last
        {L"D:(A;ID;FR;;;BU)(A;OICIID;FA;;;SY)(D;;FA;;;WD)", true, L"D:(D;;FA;;;WD)(A;OICI;FA;;;BU)(A;OICIID;FA;;;SY)"},
        // a longer SID that starts like the Users SID is another trustee; explicit denials go first
        {L"D:(A;;FA;;;S-1-5-32-545-1)(D;;FA;;;WD)", false, L"D:(D;;FA;;;WD)(A;;FA;;;S-1-5-32-545-1)(A;OICI;FA;;;BU)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.before);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ConvertStringSecurityDescriptorToSecurityDescriptorW(c.before, SDDL_REVISION_1, &descriptor, nullptr);
        FerrydockIpc::Dacl dacl;
        ASSERT_TRUE(dacl.Assign(DaclOf(descriptor)));
        LocalFree(descriptor);
        EXPECT_EQ(dacl.RemoveAces(Sid::FromString(L"BU")), c.removed);
        ASSERT_TRUE(dacl.AddAllowedAce(Sid::FromString(L"BU"), FILE_ALL_ACCESS, 3 /* inherited by all below */));
        std::vector<BYTE> list;
        ASSERT_TRUE(dacl.Build(list));
        EXPECT_EQ(DaclSddl(reinterpret_cast<const ACL*>(list.data())), c.after);
    }
    // No grant to an empty SID; a list holds at most 64 KB: 4,096 grants of 20 bytes do not fit.
    FerrydockIpc::Dacl dacl;
    EXPECT_FALSE(dacl.AddAllowedAce(Sid(), FILE_ALL_ACCESS, 0));
    for (int i = 0; i < 4096; ++i) {
        dacl.AddAllowedAce(Sid::FromString(L"SY"), FILE_GENERIC_READ, 0);
    }
    std::vector<BYTE> list;
    EXPECT_FALSE(dacl.Build(list));
}

// Each operation with one of its steps failing, or the access check denying: its result,
// the rights it reports, the access lists it writes, and its exact log.
TEST(DirManager, FailingStepsAndTheirLog)
{
    const TempTree tree;
    const std::wstring exists = tree / L"exists";
    ASSERT_TRUE(CreateDirectoryW(exists.c_str(), nullptr) && SetFileAttributesW(exists.c_str(), FILE_ATTRIBUTE_HIDDEN));
    constexpr DWORD untouched = 0xDEAD;
    DWORD granted = untouched;
    const std::function<bool()> check = [&] { return Manager().CanAccessFolder(exists.c_str(), FILE_ALL_ACCESS, &granted); },
                                add = [&] { return Manager().AddUserPermissions(exists.c_str()), true; };
    const char *can = "CanAccessFolder", *users = "AddUserPermissions";
    const auto token = DirLine(3, L"Get process token", can), success = DirLine(3, L"AccessCheck success", can);
    const std::wstring written = L"SetNamedSecurityInfoW " + exists + L" 1 4 0 D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BU)";
    const struct {
        std::function<bool()> call;
        const char* failing; // "Denying": the check runs and denies
        long long at;
        bool result;
        DWORD granted;
        Records log;
        const wchar_t* namedDacl = nullptr; // what reading an access list gives
        Lines writes = {};
    } cases[] = {
        {[&] { return Manager().SetDirctoryPermission(tree / L"new", true); }, "ConvertStringSidToSidW", 1, false,
         untouched, {DirLine(4, L"ConvertStringSidToSid failed 5", "SetDirctoryPermission")}},
        {[&] { return Manager().SetDirectoryHidden(exists) && HiddenAndSystem(exists); }, "", 0, true, untouched, {}},
        {check, "", 0, true, FILE_ALL_ACCESS, {token, success}},
        {[&] { return Manager().CanAccessFolder(exists.c_str(), GENERIC_READ, &granted); }, "", 0, true,
         FILE_GENERIC_READ, {token, success}}, // generic rights mapped for files
        {check, "Denying", 0, false, 0, {token, success}}, // the check ran and denied: not the check failed
        {check, "AccessCheck", 1, false, untouched, {token, DirLine(4, L"AccessCheck failed 5", can)}},
        {check, "GetFileSecurityW", 1, false, untouched,
         {DirLine(4, L"failed to get length by calling GetFileSecurity 5", can)}},
        {add, "", 0, true, untouched, {}, L"D:(D;;FA;;;BU)(A;OICI;FR;;;BU)(A;OICI;FA;;;SY)", {written}},
        // the number is whatever the thread's last error held: here a success code
        {add, "", 0, true, untouched, {DirLine(3, L"RemoveAces failed 0", users)}, L"D:(A;OICI;FA;;;SY)", {written}},
        {add, "GetNamedSecurityInfoW", 1, true, untouched, {DirLine(3, L"Get Dacl failed 5", users)}},
        {add, "", 0, true, untouched, {DirLine(3, L"Get Dacl failed 4242", users)}, L"O:BAG:BA"}, // no access list
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases << " " << c.failing);
        const SecurityHooks hooks(kTestModule, c.namedDacl);
        // no import of that name ("", "Denying"): nothing fails; a status is the error itself
        const testsupport::FailingImport failing(kTestModule, "advapi32.dll", c.failing, c.at,
                                                 strstr(c.failing, "SecurityInfo") ? ERROR_ACCESS_DENIED : 0,
                                                 ERROR_ACCESS_DENIED);
        const auto denying = testsupport::DenyingAccessCheck(kTestModule, !strcmp(c.failing, "Denying"));
        testsupport::LogCapture log;
        granted = untouched;
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(granted, c.granted);
        EXPECT_EQ(log.Records(), c.log);
        EXPECT_EQ(hooks.Calls(L"SetNamed"), c.writes);
    }
    EXPECT_EQ(GetFileAttributesW((tree / L"new").c_str()), INVALID_FILE_ATTRIBUTES);
}
