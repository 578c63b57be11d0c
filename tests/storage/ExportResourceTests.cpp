// The exports as the interface calls them: through FerrydockUITrans.dll.
#include "SecurityHooks.h"

#include "FerrydockUITrans.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <cstdio>

using namespace storagetest;

namespace {

struct Library {
    Library() : module(LoadLibraryW(L"FerrydockUITrans.dll")) {}
    ~Library() { FreeLibrary(module); }
    template <typename Fn>
    Fn Get(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    HMODULE module;
};

struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

Usage Measure()
{
    Usage usage;
    GetProcessHandleCount(GetCurrentProcess(), &usage.handles);
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    usage.privateBytes = counters.PrivateUsage;
    return usage;
}

class StorageExports : public testing::Test {
protected:
    TempTree tree;
    const bool made = MakeFolder(tree / L"share") && MakeFolder(tree / L"appdata");
    ScopedEnv share{L"FERRYDOCK_SHARE_PATH", (tree / L"share").c_str()};
    ScopedEnv appData{L"FERRYDOCK_APPDATA_PATH", (tree / L"appdata").c_str()};
    ScopedEnv result{L"FERRYDOCK_APPDATA_RESULT", nullptr};
    Library dll;
};

} // namespace

// Every call obtains and releases tokens, SIDs, descriptors, lists and handles; none
// may stay behind. The first calls create the folders and warm up the heaps.
TEST_F(StorageExports, HundredsOfCallsLeaveHandlesAndPrivateBytesFlat)
{
    ASSERT_TRUE(made);
    ASSERT_NE(dll.module, nullptr);
    const char* names[] = {"GetSaveFileDir", "GetSaveDbDir", "GetCurrentUserName"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const auto call = dll.Get<PFN_GetTextIntoBuffer>(name);
        ASSERT_NE(call, nullptr);
        wchar_t buffer[1024];
        for (int i = 0; i < 20; ++i) {
            call(buffer, 1024);
        }
        const Usage before = Measure();
        for (int i = 0; i < 300; ++i) {
            call(buffer, 1024);
            call(buffer, 8); // the too-small path
        }
        const Usage after = Measure();
        std::printf("%s: 600 calls, handles %lu -> %lu, private bytes %zu -> %zu\n", name, before.handles,
                    after.handles, static_cast<size_t>(before.privateBytes), static_cast<size_t>(after.privateBytes));
        EXPECT_LE(after.handles, before.handles + 2) << "handles before " << before.handles;
        EXPECT_LE(after.privateBytes, before.privateBytes + 512 * 1024) << "private bytes before " << before.privateBytes;
    }
}

// The same repair as in-process, seen through the library's own import table.
TEST_F(StorageExports, LibraryRepairsADeniedFolder)
{
    ASSERT_TRUE(made);
    const auto getSaveFileDir = dll.Get<PFN_GetTextIntoBuffer>("GetSaveFileDir");
    ASSERT_NE(getSaveFileDir, nullptr);
    wchar_t first[1024];
    getSaveFileDir(first, 1024);
    const std::wstring user = ProcessUserSid();
    EXPECT_EQ(std::wstring(first), tree / L"share\\Ferrydock\\" + user);

    Faults faults;
    faults.accessCheckDenials = {1, 0};
    const SecurityHooks hooks(dll.module, faults);
    ASSERT_TRUE(hooks.active());
    testsupport::LogCapture log;
    wchar_t second[1024];
    getSaveFileDir(second, 1024);
    EXPECT_STREQ(second, first);
    EXPECT_EQ(g_recorded.checks.size(), 2u);
    ASSERT_EQ(g_recorded.written.size(), 3u);
    // The Users grant goes last into whatever list the system reports for the folder.
    const std::wstring& users = g_recorded.written[1].dacl;
    EXPECT_EQ(users.find(L";BU)"), users.size() - 4) << testing::PrintToString(users);
    EXPECT_EQ(users.substr(users.size() - 16), L"(A;OICI;FA;;;BU)");
    EXPECT_EQ(g_recorded.written[2].dacl, L"D:(A;OICI;GA;;;" + user + L")(A;OICI;GA;;;BA)(A;OICI;GA;;;SY)");
    const auto records = log.Records();
    const testsupport::LogRecord expected{
        3, L"DIR_MANAGER_LOG_TAG get file folder access ret: 1, get permission: 2032127"
           L"(FerrydockIpc::DirManager::GetSaveFileDir)"};
    EXPECT_NE(std::find(records.begin(), records.end(), expected), records.end());
}
