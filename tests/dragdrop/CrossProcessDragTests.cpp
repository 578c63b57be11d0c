// Drags into a drop target in another process (`FerrydockHost drop-target`), as every real
// drag goes: the data object and its format enumerator reach the target through COM's
// marshalling, and every GetData copies the block across. The child prints what it read;
// the expected lines are built here from the payload layouts.
#include "dragdrop/DragDrop.h"
#include "dragdrop/DragTestSupport.h"
#include "support/PeFile.h"
// The child-process helper that the service tests use: standard input and output on pipes.
#include "../../tools/service/ServiceProcess.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace dragtest;

namespace {

const wchar_t kHtml[] = L"Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                        L"EndFragment:00000000\r\n<html><body><!--StartFragment-->caf\u00e9\U0001F600<!--EndFragment-->"
                        L"</body></html>";

std::string U8(const std::wstring& wide)
{
    std::string out(wide.size() * 3, '\0');
    out.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                                       out.data(), static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

std::string Hex(const Bytes& bytes)
{
    std::string out;
    for (const std::uint8_t byte : bytes) {
        char two[4];
        std::snprintf(two, sizeof(two), "%02x", byte);
        out += (out.empty() ? "" : " ") + std::string(two);
    }
    return out;
}

// The child's lines from the one that starts with heading up to the next heading.
std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& heading)
{
    auto first = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(heading, 0) == 0; });
    auto last = std::find_if(first == lines.end() ? first : first + 1, lines.end(),
                             [](const std::string& l) { return l.empty() || l[0] != ' '; });
    return std::vector<std::string>(first, last);
}

class CrossProcessDrag : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OleInitialize(nullptr), S_OK); }
    void TearDown() override
    {
        target.Stop();
        OleUninitialize();
    }

    // Starts the drop target and puts the cursor over its window. No window of this process
    // may lie there: a topmost window of the dragging process would take the drop itself.
    void StartTarget(const std::wstring& options)
    {
        ASSERT_TRUE(target.Start(testsupport::BesideExecutable(L"FerrydockHost.exe"), L"drop-target --seconds 30" + options))
            << "the drop target needs an X display";
        const HWND window = FindWindowW(L"FerrydockHostDropTarget", nullptr);
        ASSERT_NE(window, nullptr);
        RECT area{};
        GetWindowRect(window, &area);
        SetCursorPos((area.left + area.right) / 2, (area.top + area.bottom) / 2);
        PumpWhile([] { return false; });
    }

    // COM serves the child's calls into this apartment only through this thread's messages.
    void PumpWhile(const std::function<bool()>& busy)
    {
        const ULONGLONG deadline = GetTickCount64() + 10000;
        do {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                DispatchMessageW(&message);
            }
        } while (busy() && GetTickCount64() < deadline &&
                 MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT) != WAIT_FAILED);
    }

    service::ServiceProcess target;
};

} // namespace

// The target keeps the data object after the drop and reads it again once ExecuteDragDrop
// has returned; its last Release, from the other process, frees every block on this side.
TEST_F(CrossProcessDrag, EveryFormatArrivesAsBuiltAndTheTargetReleasesLast)
{
    GlobalMemoryWatch watch;
    StartTarget(L" --keep");
    const std::vector<std::wstring> paths = {L"C:\\Users\\Public\\r\u00e9sum\u00e9.txt", L"D:\\b"};
    const std::wstring text = L"plain \u4e2d\u6587\r\nline 2";
    const DragDropParam param{L"C:\\Users\\Public\\r\u00e9sum\u00e9.txt|D:\\b|", text.c_str(), kHtml, L"rich\u4e2d",
                              2, 1, 1, 1};
    testsupport::LogCapture capture;
    ASSERT_TRUE(FerrydockIpc::ExecuteDragDrop(&param));
    const wchar_t* steps[][3] = {{L"SetFileData", L"SetFileData begin", L"SetFileData end"},
                                 {L"SetTextData", L"SetTextData begin", L"SetTextData end"},
                                 {L"SetHtmlData", L"SetHtmlData begin", L"SetHtmlData end"},
                                 {L"SetQQFormatData", L"Set unicode format begin", L"unicode format end"},
                                 {L"SetLabelData", L"SetLabelData begin", L"SetLabelData end"}};
    std::vector<std::wstring> logged;
    for (const auto& step : steps) {
        for (const int i : {1, 2}) {
            logged.push_back(L"3 " + std::wstring(step[i]) + L"(FerrydockIpc::FerrydockDataObject::" + step[0] + L")");
        }
    }
    EXPECT_EQ(Logged(capture), logged);
    EXPECT_FALSE(watch.Live().empty()) << "the other process still holds the data object";
    ASSERT_TRUE(target.SendLine("read again"));
    PumpWhile([&] { return target.Running(); });
    target.Stop();
    const Bytes rich = Ascii(std::string("rich\xe4\xb8\xad") + '\0');
    const std::vector<std::string> expected = {
        "drop: 5 formats offered",
        "  CF_HDROP, " + std::to_string(FileDropBlock(paths).size()) + " bytes: 2 files",
        "    " + U8(paths[0]),
        "    " + U8(paths[1]),
        "  CF_UNICODETEXT, " + std::to_string(Utf16z(text).size()) + " bytes: \"plain " + U8(L"\u4e2d\u6587") +
            "\\r\\nline 2\"",
        "  HTML Format, 173 bytes: Version:0.9 StartHTML:00000097 EndHTML:00000172 StartFragment:00000109 "
        "EndFragment:00000140",
        // The emoji goes as two three-byte halves, which Wine's UTF-8 decoder shows as four U+FFFD.
        "    fragment: <!--StartFragment-->caf\xc3\xa9" + U8(L"\ufffd\ufffd\ufffd\ufffd"),
        "  QQ_Unicode_RichEdit_Format, " + std::to_string(rich.size()) + " bytes: " + Hex(rich),
        "  KdMultiscreenDataSource, 24 bytes: " + Hex(Utf16z(L"windowscast")),
    };
    const std::vector<std::string> again = Section(target.Lines(), "again:");
    EXPECT_EQ(Section(target.Lines(), "drop:"), expected);
    ASSERT_FALSE(again.empty()) << "no second read";
    EXPECT_EQ(std::vector<std::string>(again.begin() + 1, again.end()),
              std::vector<std::string>(expected.begin() + 1, expected.end()));
    EXPECT_TRUE(watch.Live().empty()) << watch.Live().size() << " blocks left";
}
