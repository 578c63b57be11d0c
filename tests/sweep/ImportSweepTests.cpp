// Every function the library imports from the system and from the suite, made to fail on
// its first call and then on its second while the export families run in turn: no crash,
// no hang, every caller buffer correct or empty, handles and private bytes flat afterwards.
#include "FerrydockUITrans.h"
#include "support/DropTargetWindow.h"
#include "support/ProcessUsage.h"
#include "sweep/FailingImport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
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
    "GetSidSubAuthorityCount GetLengthSid RtlCaptureContext RtlLookupFunctionEntry RtlVirtualUnwind RtlUnwindEx "
    "SetUnhandledExceptionFilter TlsGetValue C1E C2E D0E D1E D2E GetInstance Instance GetGlobalKdSharePath "
    "GetVeltraShareName ByJson IsAgreeClause";

// How the swept imports fail: their documented failure value and a plausible last error;
// by default FALSE, null or a zero count, and E_FAIL from the COM and shell libraries.
// The first rule that names the function or its library applies (5: ERROR_ACCESS_DENIED).
struct Rule { const char* names; uint64_t value; DWORD lastError; };
const Rule kRules[] = {
    {"CreateFileW CreateNamedPipeW FindFirstFileW", ~0ull /* INVALID_HANDLE_VALUE */, ERROR_ACCESS_DENIED},
    {"GetFileAttributesW", INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED}, {"WTSGetActiveConsoleSessionId", ~0u, 0},
    {"WaitForSingleObject WaitForSingleObjectEx WaitForMultipleObjects", WAIT_FAILED, ERROR_INVALID_HANDLE},
    {"SetNamedSecurityInfoW GetNamedSecurityInfoW SetSecurityInfo GetSecurityInfo", 5, 5},
    {"SetEntriesInAclW", ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {"GlobalAlloc LocalAlloc HeapAlloc", 0, ERROR_NOT_ENOUGH_MEMORY}, {"WaitNamedPipeW", 0, ERROR_SEM_TIMEOUT},
    {"GetAppDataPath", 1, 0}, {"ExcuteQueryImpl", ~0ull, 0}, {"OleDuplicateData RegisterClipboardFormatW", 0, 5},
    {"ole32.dll oleaut32.dll shell32.dll shlwapi.dll", 0x80004005u /* E_FAIL */, ERROR_NOT_ENOUGH_MEMORY},
    {"", 0, ERROR_ACCESS_DENIED}}; // every other import

// System functions are named exactly, suite members by a part of their mangled name.
bool Matches(const char* names, const ImportedFunction& import)
{
    return Named(names, import.function, Named(kSuite, import.dll));
}

Rule RuleFor(const ImportedFunction& import)
{
    return *std::find_if(std::begin(kRules), std::end(kRules), [&](const Rule& rule) {
        return !*rule.names || Matches(rule.names, import) || Named(rule.names, import.dll);
    });
}

// ---- the export families ----

HMODULE g_dll = nullptr;
testsupport::DropTargetWindow* g_target = nullptr;

// Every name used here is in the export table (checked by the export table test).
template <typename Fn>
Fn Export(const char* name) { return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(g_dll, name))); }

// The save and database folders, made anew, then repaired; the user; whether every text ended
// inside its buffer.
struct Outcome { std::vector<std::wstring> dirs; std::wstring user; bool terminated = true; size_t dropped = 0; };

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
    [](Outcome&) { // IPC without a service: the client's start, every notification queued, its stop
        Export<PFN_BoolVoid>("InitIPCModule")();
        for (const char* name : {"WndShowFinsh", "SendWindowClose", "SendRecentToMessageUI",
                                 "SendDeviceGetToFilesystem", "SendFinishTransferMesseage", "SendToOpenSettingCenter",
                                 "SendToOpenUseMachineSkills"}) {
            Export<PFN_VoidVoid>(name)();
        }
        Export<PFN_VoidText>("SendFileInfoAllToFilesystem")(L"{\"name\":\"caf\u00E9\"}");
        Export<PFN_BoolVoid>("UninitIPCModule")();
    },
    [](Outcome& out) { // a drag into the test's own target window, which reads every format
        g_target->Forget();
        g_target->PutCursorInside();
        const DragDropParam drag = {L"C:\\a.txt|C:\\b.txt", L"text", nullptr, nullptr, 2, 1, 0, 0};
        Export<PFN_ExecuteDragDrop>("ExecuteDragDrop")(&drag);
        out.dropped = g_target->offered.size();
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
    // The sweep's folders, reports, log and pipe (served by no one) are its own.
    const std::wstring root = (std::filesystem::temp_directory_path() / "ferrydock-sweep").wstring();
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\appdata").c_str(), nullptr);
    using Variable = std::pair<const wchar_t*, std::wstring>;
    for (const auto& [name, value] : {Variable{L"FERRYDOCK_SHARE_PATH", root + L"\\share"},
                                      {L"FERRYDOCK_PIPE_NAME", L"\\\\.\\pipe\\ferrydock-sweep"},
                                      {L"FERRYDOCK_APPDATA_PATH", root + L"\\appdata\\"},
                                      {L"FERRYDOCK_REPORT_FILE", root + L"\\report.jsonl"},
                                      {L"FERRYDOCK_LOG_FILE", root + L"\\sweep.log"}}) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    g_dll = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(g_dll, nullptr);
    ASSERT_EQ(OleInitialize(nullptr), S_OK);
    testsupport::DropTargetWindow target;
    ASSERT_TRUE(target.ready()) << "no drop target window (is an X display set?)";
    g_target = &target;

    // The healthy run fixes what correct looks like, and warms every lazy allocation.
    const Outcome baseline = RunFamilies();
    ASSERT_FALSE(baseline.dirs[0].empty() || baseline.dirs[1].empty());
    ASSERT_TRUE(baseline.dirs[0] == baseline.dirs[2] && baseline.dirs[1] == baseline.dirs[3]) << "repaired in place";
    ASSERT_TRUE(IsSidText(baseline.user));
    ASSERT_NE(baseline.dropped, 0u) << "the drag did not reach the test's target";

    // The imports of the C and C++ runtimes are not swept.
    std::vector<ImportedFunction> imports = testsupport::ListImports(g_dll);
    imports.erase(std::remove_if(imports.begin(), imports.end(), [](const ImportedFunction& import) {
        return Matches(kNotSwept, import) || (!Named(kSystem, import.dll) && !Named(kSuite, import.dll) &&
                                              import.dll.rfind("api-ms-win-", 0) != 0);
    }), imports.end());
    const testsupport::ProcessUsage before = testsupport::MeasureProcessUsage();

    // Once the chosen call has failed, the families after it would only repeat the healthy run.
    std::string notCalled;
    for (const ImportedFunction& import : imports) {
        const std::string name = import.dll + "!" + import.function;
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
        notCalled += called == 0 ? " " + name : "";
    }

    // With nothing patched any more, everything works as before.
    RunFamilies();
    const Outcome recovered = RunFamilies();
    EXPECT_EQ(recovered.dirs, baseline.dirs);
    EXPECT_EQ(recovered.user, baseline.user);
    const testsupport::ProcessUsage after = testsupport::MeasureProcessUsage();
    std::printf("swept: %d imports; not called by the families:%s\nopen handles %lu -> %lu, "
                "committed private memory %zu -> %zu KiB, heap in use %zu -> %zu KiB\n",
                static_cast<int>(imports.size()), notCalled.c_str(), before.handles, after.handles,
                before.privateBytes / 1024, after.privateBytes / 1024, before.heapBytes / 1024, after.heapBytes / 1024);
    // A few handles of Wine's own (window and COM housekeeping), and 4 MiB over some hundreds
    // of runs: one lost block per run of any payload or path would exceed either.
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.privateBytes, before.privateBytes + 4 * 1024 * 1024);
    EXPECT_LE(after.heapBytes, before.heapBytes + 4 * 1024 * 1024);
    FreeLibrary(g_dll);
}
