// Every function the library imports from the system and from the suite, made to fail on
// its first call and then on its second while the export families run in turn: no crash,
// no hang, every caller buffer correct or empty, handles and private bytes flat afterwards.
#include "FerrydockUITrans.h"
#include "ServiceProcess.h"
#include "support/DropTargetWindow.h"
#include "support/PeFile.h"
#include "support/ProcessUsage.h"
#include "sweep/FailingImport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <sstream>

using testsupport::ImportedFunction;

namespace {

const char* const kSuite =
    "jotter.dll pipelink.dll pathkit.dll shelfwise.dll tallyhub.dll beaconry.dll consentry.dll probewell.dll";
const char* const kSystem = "kernel32.dll advapi32.dll user32.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll "
                            "secur32.dll wtsapi32.dll gdi32.dll version.dll";

// Whether text is one of the words of names, in any case (with part: contains one of them).
bool Named(const char* names, const std::string& text, bool part = false)
{
    std::istringstream list(names);
    for (std::string name; list >> name;) {
        if (part ? text.find(name) != std::string::npos : _stricmp(name.c_str(), text.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

// Not swept, having no failure value: functions that return nothing; that cannot fail (a
// pseudo handle, an id, a size, the last error); that read a SID the caller built; the
// runtime's unwinding, start-up and thread-local storage; constructors and destructors of
// the suite's classes; suite calls that return an object or reference used without a test.
const char* const kNotSwept =
    "SetLastError EnterCriticalSection LeaveCriticalSection DeleteCriticalSection InitializeCriticalSection Sleep "
    "ReleaseStgMedium RegisterMessageCallback 3Log 6Report 4Init 5Reset GetLastError GetCurrentProcess "
    "GetCurrentThread GetCurrentProcessId GetCurrentThreadId GetSidLengthRequired GetSidSubAuthority "
    "GetSidSubAuthorityCount GetLengthSid "
    "RtlCaptureContext RtlLookupFunctionEntry RtlVirtualUnwind RtlUnwindEx SetUnhandledExceptionFilter TlsGetValue C1E "
    "C2E D0E D1E D2E GetInstance Instance GetGlobalKdSharePath GetVeltraShareName ByJson IsAgreeClause";

// How the swept imports fail: their documented failure value and a plausible last error;
// by default FALSE, null or a zero count, and E_FAIL from the COM and shell libraries.
struct Rule {
    const char* names;
    uint64_t value;
    DWORD lastError;
};
const Rule kRules[] = {
    {"CreateFileW CreateNamedPipeW FindFirstFileW", ~0ull /* INVALID_HANDLE_VALUE */, ERROR_ACCESS_DENIED},
    {"GetFileAttributesW", INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED},
    {"WTSGetActiveConsoleSessionId", 0xFFFFFFFFu, 0},
    {"WaitForSingleObject WaitForSingleObjectEx WaitForMultipleObjects", WAIT_FAILED, ERROR_INVALID_HANDLE},
    {"SetNamedSecurityInfoW GetNamedSecurityInfoW SetSecurityInfo GetSecurityInfo", ERROR_ACCESS_DENIED,
     ERROR_ACCESS_DENIED},
    {"SetEntriesInAclW", ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {"GlobalAlloc LocalAlloc HeapAlloc", 0, ERROR_NOT_ENOUGH_MEMORY},
    {"WaitNamedPipeW", 0, ERROR_SEM_TIMEOUT},
    {"GetAppDataPath", 1, 0},
    {"ExcuteQueryImpl", static_cast<uint64_t>(-1), 0},
    {"OleDuplicateData RegisterClipboardFormatW", 0, ERROR_ACCESS_DENIED},
    {"ole32.dll oleaut32.dll shell32.dll shlwapi.dll", 0x80004005u, ERROR_NOT_ENOUGH_MEMORY},
};

// System functions are named exactly, suite members by a part of their mangled name.
bool Matches(const char* names, const ImportedFunction& import)
{
    return Named(names, import.function, Named(kSuite, import.dll));
}

Rule RuleFor(const ImportedFunction& import)
{
    for (const Rule& rule : kRules) {
        if (Matches(rule.names, import) || Named(rule.names, import.dll)) {
            return rule;
        }
    }
    return {"", 0, ERROR_ACCESS_DENIED};
}

// ---- the export families ----

HMODULE g_dll = nullptr;
service::ServiceProcess* g_service = nullptr;
testsupport::DropTargetWindow* g_target = nullptr;
DWORD g_deliveryWaitMs = 10000;
std::atomic<int> g_shownFiles{0};

// Every name used here is in the export table (checked by the export table test).
template <typename Fn>
Fn Export(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(g_dll, name)));
}

struct Outcome {
    std::vector<std::wstring> dirs; // the save and database folders, made anew, then repaired
    std::wstring user;
    bool terminated = true; // every text ended inside its buffer
    bool delivered = false; // the service's message reached the callback
    std::vector<UINT> dropped;
};

// Into a generous buffer that starts out filled with garbage.
std::wstring TextOf(const char* name, bool& terminated)
{
    std::vector<wchar_t> buffer(1024, L'\xCCCC');
    Export<PFN_GetTextIntoBuffer>(name)(buffer.data(), 1024);
    const auto end = std::find(buffer.begin(), buffer.end(), L'\0');
    terminated = terminated && end != buffer.end();
    return std::wstring(buffer.begin(), end);
}

const std::function<void(Outcome&)> kFamilies[] = {
    [](Outcome& out) { // the folders made anew, then asked for with the access check denying: creation and repair
        for (bool deny : {false, true}) {
            const auto denying = testsupport::DenyingAccessCheck(g_dll, deny);
            out.dirs.push_back(TextOf("GetSaveFileDir", out.terminated));
            out.dirs.push_back(TextOf("GetSaveDbDir", out.terminated));
        }
        for (const std::wstring& folder : out.dirs) {
            for (const std::wstring& path : {folder, folder.substr(0, folder.rfind(L'\\'))}) {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                RemoveDirectoryW(path.c_str());
            }
        }
        out.user = TextOf("GetCurrentUserName", out.terminated);
    },
    [](Outcome&) { // reporting and product queries
        Export<PFN_VoidVoid>("InitFerrydockDataReport")();
        Export<PFN_SendFerrydockDataReport>("SendFerrydockDataReport")(7, L"{\"k\":\"v\"}", 9);
        Export<PFN_BoolVoid>("IsITVersion")();
        Export<PFN_BoolVoid>("IsAgreeClause")();
        Export<PFN_IsSupportFileType>("IsSupportFileType")(L"setup.exe");
        Export<PFN_IsSupportFileType>("IsSupportFileType")(L"notes.txt");
    },
    [](Outcome& out) { // a drag into the test's own target window
        g_target->Forget();
        g_target->PutCursorInside();
        const DragDropParam drag = {L"C:\\a.txt|C:\\b.txt", L"text", nullptr, nullptr, 2, 1, 0, 0};
        Export<PFN_ExecuteDragDrop>("ExecuteDragDrop")(&drag);
        out.dropped = g_target->offered;
    },
    [](Outcome& out) { // IPC: lifecycle, every notification, one inbound message through the service
        Export<PFN_RegisterTextCallback>("RegisterWndShowFileCallback")([](const wchar_t*) { ++g_shownFiles; });
        Export<PFN_BoolVoid>("InitIPCModule")();
        for (const char* name : {"WndShowFinsh", "SendWindowClose", "SendRecentToMessageUI",
                                 "SendDeviceGetToFilesystem", "SendFinishTransferMesseage", "SendToOpenSettingCenter",
                                 "SendToOpenUseMachineSkills"}) {
            Export<PFN_VoidVoid>(name)();
        }
        Export<PFN_VoidText>("SendFileInfoAllToFilesystem")(L"{\"name\":\"caf\u00E9\"}");
        Export<PFN_VoidText>("SendArrayNumToFilesystem")(L"3");
        Export<PFN_VoidText>("SendSaveFileToFilesystem")(L"C:\\received\\a.txt");
        const int shownBefore = g_shownFiles;
        g_service->SendLine("send 0xF00002 68690000");
        const ULONGLONG end = GetTickCount64() + g_deliveryWaitMs;
        while (g_shownFiles == shownBefore && GetTickCount64() < end) {
            Sleep(5);
        }
        out.delivered = g_shownFiles != shownBefore;
        Export<PFN_BoolVoid>("UninitIPCModule")();
    },
};

// Runs the families in turn, the cheap ones first, until done() says that nothing more is
// to be learnt.
Outcome RunFamilies(const std::function<bool()>& done = [] { return false; })
{
    Outcome out;
    for (size_t i = 0; i < std::size(kFamilies) && !done(); ++i) {
        kFamilies[i](out);
    }
    return out;
}

bool IsSidText(const std::wstring& text) { return text.rfind(L"S-1-", 0) == 0; }

// A folder result is correct, empty, one of the shorter paths a failing step leaves, the
// fallback database folder, the folder relative to the current one that an empty base
// gives, or the folder of another SID: when the account name cannot be read, the empty
// name is looked up, and that names a built-in domain.
bool AcceptablePath(const std::wstring& result, const std::wstring& baseline)
{
    const std::wstring productFolder = baseline.substr(0, baseline.rfind(L'\\') + 1);
    return result.empty() || baseline.compare(0, result.size(), result) == 0 || result.rfind(L"Ferrydock\\", 0) == 0 ||
           result.find(L"\\Dadez\\Brimlet\\Ferrydock\\") != std::wstring::npos ||
           (result.rfind(productFolder, 0) == 0 && IsSidText(result.substr(productFolder.size())));
}

} // namespace

TEST(ImportSweep, EveryImportFailingOnItsFirstThenSecondCall)
{
    // The sweep's folders, reports, log and pipe are its own.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"ferrydock-sweep", pipe = L"\\\\.\\pipe\\ferrydock-sweep";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\appdata").c_str(), nullptr);
    for (const auto& [name, value] : {std::pair<const wchar_t*, std::wstring>{L"FERRYDOCK_PIPE_NAME", pipe},
                                      {L"FERRYDOCK_SHARE_PATH", root + L"\\share"},
                                      {L"FERRYDOCK_APPDATA_PATH", root + L"\\appdata\\"},
                                      {L"FERRYDOCK_REPORT_FILE", root + L"\\report.jsonl"},
                                      {L"FERRYDOCK_LOG_FILE", root + L"\\sweep.log"}}) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ASSERT_EQ(OleInitialize(nullptr), S_OK);
    service::ServiceProcess service;
    ASSERT_TRUE(service.Start(testsupport::BesideExecutable(L"ferrydock-service.exe"), L"--pipe " + pipe));
    testsupport::DropTargetWindow target;
    ASSERT_TRUE(target.ready()) << "no drop target window (is an X display set?)";
    g_service = &service;
    g_target = &target;
    g_dll = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(g_dll, nullptr);
    Export<PFN_BoolVoid>("InitIPCModule")();
    ASSERT_TRUE(service.WaitForLine("connected 15728640", 1, 20000)) << "the bridge's client did not reach the service";

    // The healthy run fixes what correct looks like, and warms every lazy allocation.
    const Outcome baseline = RunFamilies();
    ASSERT_TRUE(baseline.delivered) << "the inbound message did not reach the callback";
    ASSERT_FALSE(baseline.dirs[0].empty() || baseline.dirs[1].empty());
    ASSERT_TRUE(baseline.dirs[0] == baseline.dirs[2] && baseline.dirs[1] == baseline.dirs[3]) << "repaired in place";
    ASSERT_TRUE(IsSidText(baseline.user));
    ASSERT_FALSE(baseline.dropped.empty()) << "the drag did not reach the test target";

    // One healthy run with every swept import counted; those it never calls are not failed.
    // The imports of the C and C++ runtimes are not swept.
    std::vector<ImportedFunction> imports;
    std::vector<std::unique_ptr<testsupport::FailingImport>> counters;
    for (const ImportedFunction& import : testsupport::ListImports(g_dll)) {
        const bool runtime =
            !Named(kSystem, import.dll) && !Named(kSuite, import.dll) && import.dll.rfind("api-ms-win-", 0) != 0;
        if (!runtime && !Matches(kNotSwept, import)) {
            imports.push_back(import);
            counters.push_back(std::make_unique<testsupport::FailingImport>(g_dll, import.dll.c_str(),
                                                                            import.function.c_str(), 0, 0, 0, true));
        }
    }
    RunFamilies();
    std::vector<long long> counts;
    for (const auto& counter : counters) {
        counts.push_back(counter->calls());
    }
    counters.clear();
    const testsupport::ProcessUsage before = testsupport::MeasureProcessUsage();

    // Once the chosen call has failed, the families after it would only repeat the healthy run.
    g_deliveryWaitMs = 300;
    std::string notCalled;
    for (size_t n = 0; n < imports.size(); ++n) {
        const ImportedFunction& import = imports[n];
        const std::string name = import.dll + "!" + import.function;
        if (counts[n] == 0) {
            notCalled += " " + name;
            continue;
        }
        const Rule failure = RuleFor(import);
        long long called = 0;
        for (long long failAt = 1; failAt == 1 || (failAt == 2 && called > 0); ++failAt) {
            const std::string where = name + " failing on call " + std::to_string(failAt);
            std::fprintf(stderr, "sweep: %llu ms: %s\n", GetTickCount64(), where.c_str()); // a crash names its cause
            testsupport::FailingImport failing(g_dll, import.dll.c_str(), import.function.c_str(), failAt,
                                               failure.value, failure.lastError);
            ASSERT_TRUE(failing.active()) << where;
            const Outcome out = RunFamilies([&] { return failing.calls() >= failAt; });
            called = failing.calls();
            EXPECT_TRUE(out.terminated) << where;
            for (size_t i = 0; i < out.dirs.size(); ++i) {
                EXPECT_TRUE(AcceptablePath(out.dirs[i], baseline.dirs[i])) << where << testing::PrintToString(out.dirs);
            }
            EXPECT_TRUE(out.user.empty() || IsSidText(out.user)) << where << testing::PrintToString(out.user);
        }
        notCalled += called == 0 ? " " + name + "(counted, then not called)" : "";
    }

    // With nothing patched any more, everything works as before.
    g_deliveryWaitMs = 10000;
    RunFamilies();
    const Outcome recovered = RunFamilies();
    EXPECT_TRUE(recovered.delivered);
    EXPECT_EQ(recovered.dirs, baseline.dirs);
    EXPECT_EQ(recovered.user, baseline.user);
    EXPECT_EQ(recovered.dropped, baseline.dropped);
    const testsupport::ProcessUsage after = testsupport::MeasureProcessUsage();
    std::printf("swept: %d imports; not called:%s\nopen handles %lu -> %lu, "
                "committed private memory %zu -> %zu KiB, heap in use %zu -> %zu KiB\n",
                static_cast<int>(imports.size()), notCalled.c_str(), before.handles, after.handles,
                before.privateBytes / 1024, after.privateBytes / 1024, before.heapBytes / 1024, after.heapBytes / 1024);
    // A few handles of Wine's own (window and COM housekeeping), and 4 MiB over some hundreds
    // of runs: one lost block per run of any payload or path would exceed either.
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.privateBytes, before.privateBytes + 4 * 1024 * 1024);
    EXPECT_LE(after.heapBytes, before.heapBytes + 4 * 1024 * 1024);
    FreeLibrary(g_dll);
    OleUninitialize();
}
