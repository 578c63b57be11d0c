// The reference window in its own process, fed by the shipped transfer scenario: its controls
// are read through Win32 from here, its buttons clicked, its close order and screenshot checked.
#include "ServiceProcess.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <fstream>
#include <sstream>

namespace {

template <typename Done>
bool WaitUntil(Done done)
{
    for (int i = 0; i < 600 && !done(); ++i, Sleep(50)) {}
    return done();
}

// LVM_GETITEMTEXTW is not marshalled between processes: the item record and its text
// buffer must live in the window's process.
std::wstring ListViewText(HWND list, int item, int column)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(list, &processId);
    const FerrydockIpc::UniqueHandle process(
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId));
    auto* remote = static_cast<char*>(VirtualAllocEx(process.get(), nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    LVITEMW request{};
    request.iSubItem = column;
    request.cchTextMax = 256;
    request.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(request));
    wchar_t text[256] = {};
    WriteProcessMemory(process.get(), remote, &request, sizeof(request), nullptr);
    SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(remote));
    ReadProcessMemory(process.get(), request.pszText, text, sizeof(text) - sizeof(wchar_t), nullptr);
    VirtualFreeEx(process.get(), remote, 0, MEM_RELEASE);
    return text;
}

// LB_GETTEXT is one of the messages the system marshals between processes.
std::vector<std::wstring> LogLines(HWND log)
{
    std::vector<std::wstring> lines(static_cast<size_t>(SendMessageW(log, LB_GETCOUNT, 0, 0)));
    for (size_t i = 0; i < lines.size(); ++i) {
        lines[i].resize(static_cast<size_t>(SendMessageW(log, LB_GETTEXTLEN, i, 0)));
        SendMessageW(log, LB_GETTEXT, i, reinterpret_cast<LPARAM>(lines[i].data()));
    }
    return lines;
}

TEST(ReferenceWindow, ShowsTheScenarioDragsPostsItsButtonsAndClosesInOrder)
{
    DeleteFileW(L"ferrydock-ui-test.png");
    service::ServiceProcess host;
    // Wine's desktop process ends a few seconds after its last window; a window of this
    // process brings it back before the host starts, as a real session always has one.
    const HWND own = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(host.Start(L"FerrydockHost.exe", L"ui --script scenarios\\incoming-transfer.txt --screenshot "
                                                 L"ferrydock-ui-test.png --after 600000", 30000));
    const HWND window = FindWindowW(L"FerrydockReferenceWindow", nullptr);
    const HWND log = FindWindowExW(window, nullptr, WC_LISTBOXW, nullptr);
    ASSERT_TRUE(WaitUntil([&] {
        const auto lines = LogLines(log);
        return !lines.empty() && lines.back().rfind(L"in WndShowFileCallback", 0) == 0;
    }));

    const HWND devices = FindWindowExW(window, nullptr, WC_LISTVIEWW, nullptr);
    ASSERT_EQ(SendMessageW(devices, LVM_GETITEMCOUNT, 0, 0), 2);
    const wchar_t* const cells[] = {L"Living-room tablet", L"TAB-7F3A21", L"2",
                                    L"Caf\u00e9 phone", L"PHN-00C9E4", L"1"};
    for (int cell = 0; cell < 6; ++cell) {
        EXPECT_EQ(ListViewText(devices, cell / 3, cell % 3), cells[cell]) << cell;
    }
    EXPECT_EQ(SendMessageW(FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr), PBM_GETPOS, 0, 0), 100);
    EXPECT_NE(FindWindowExW(window, nullptr, WC_STATICW, L"Received: holiday.jpg, menu.png"), nullptr);

    // Every callback ran on another thread than the window's, and the window's thread showed it.
    std::wstring inbound;
    for (const std::wstring& line : LogLines(log)) {
        const size_t thread = line.rfind(L" [thread ");
        unsigned long ranOn = 0, shownOn = 0;
        if (line.rfind(L"in ", 0) == 0 && thread != std::wstring::npos &&
            swscanf(line.c_str() + thread, L" [thread %lu -> %lu]", &ranOn, &shownOn) == 2) {
            EXPECT_TRUE(ranOn != shownOn && shownOn == GetWindowThreadProcessId(window, nullptr)) << line;
            if (line.find(L"WndShowDeviceCallback") == std::wstring::npos) { // the answer's place is not fixed
                inbound += line.substr(3, thread - 3) + L"\n";
            }
        }
    }
    const std::wstring progress = L"WndShowRecieveFilesProgressCallback \"";
    EXPECT_EQ(inbound, L"WndShowCallback 1\nWndShowSendFilesCallback \"{\"from\":\"Caf\u00e9 phone\",\"files\":[{\"name\":"
                       L"\"holiday.jpg\",\"size\":2480133},{\"name\":\"menu.png\",\"size\":81920}]}\"\n" +
                           progress + L"0\"\n" + progress + L"25\"\n" + progress + L"50\"\n" + progress + L"75\"\n" +
                           progress + L"100\"\nWndShowRecieveFilesCallback \"{\"files\":[\"C:\\\\Users\\\\demo\\\\"
                           L"Ferrydock\\\\holiday.jpg\",\"C:\\\\Users\\\\demo\\\\Ferrydock\\\\menu.png\"]}\"\n"
                           L"WndShowFileCallback \"C:\\Users\\demo\\Ferrydock\\holiday.jpg\"\n");

    // Press on the drag handle, move, release over no drop target: one drag, run by the window.
    // Every event carries its own position, so no earlier cursor position can take the press.
    RECT handle{}, frame{};
    GetWindowRect(FindWindowExW(window, nullptr, L"FerrydockDragHandle", nullptr), &handle);
    INPUT mouse[4] = {};
    const DWORD steps[4] = {MOUSEEVENTF_LEFTDOWN, 0, 0, MOUSEEVENTF_LEFTUP};
    for (int i = 0; i < 4; ++i) {
        mouse[i].type = INPUT_MOUSE, mouse[i].mi.dwFlags = steps[i] | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
        mouse[i].mi.dx = (handle.left + handle.right + 40 * (i > 1 ? 2 : i)) / 2 * 65535 / GetSystemMetrics(SM_CXSCREEN);
        mouse[i].mi.dy = (handle.top + handle.bottom) / 2 * 65535 / GetSystemMetrics(SM_CYSCREEN);
    }
    ASSERT_EQ(SendInput(4, mouse, sizeof(INPUT)), 4u);
    EXPECT_TRUE(WaitUntil([&] { return LogLines(log).back() == L"drag ExecuteDragDrop(2 files, text) -> true"; }));
    GetWindowRect(window, &frame);
    for (const wchar_t* name : {L"WndShowFinsh", L"SendWindowClose", L"SendRecentToMessageUI",
                                L"SendDeviceGetToFilesystem", L"SendFinishTransferMesseage"}) {
        SendMessageW(FindWindowExW(window, nullptr, WC_BUTTONW, name), BM_CLICK, 0, 0);
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
    DestroyWindow(own);
    ASSERT_EQ(host.WaitForExit(30000), 0);
    host.Stop();

    // The window's close order, then what the service printed, indented, of the bridge's posts:
    // the window's own two, the buttons' and the close's.
    std::string closed, posted;
    for (const std::string& line : host.Lines()) {
        if (line.rfind("  out ", 0) == 0 || line.rfind("out SendWindowClose", 0) == 0 ||
            line.rfind("call UninitIPCModule", 0) == 0) {
            (line[0] == ' ' ? posted : closed) += line + "\n";
        }
    }
    EXPECT_EQ(closed + posted, "out SendWindowClose\nout SendWindowClose\ncall UninitIPCModule -> true\n  out WndShowFinsh\n"
                               "  out SendDeviceGetToFilesystem\n  out WndShowFinsh\n  out SendWindowClose\n  out "
                               "SendRecentToMessageUI\n  out SendDeviceGetToFilesystem\n  out SendFinishTransferMesseage\n"
                               "  out SendWindowClose\n");

    // The PNG header's width and height, big-endian, are the window's.
    std::ostringstream png;
    png << std::ifstream(L"ferrydock-ui-test.png", std::ios::binary).rdbuf();
    const auto bigEndian = [](LONG v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    EXPECT_EQ(png.str().substr(0, 24), std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) +
                                           bigEndian(frame.right - frame.left) + bigEndian(frame.bottom - frame.top));
    EXPECT_EQ(png.str().substr(png.str().size() - 8, 4), "IEND");
}

} // namespace
