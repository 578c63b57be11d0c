#include "dragdrop/DataObject.h"
#include "dragdrop/DragDrop.h"
#include "dragdrop/DragTestSupport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <psapi.h>

using namespace FerrydockIpc;
using namespace dragtest;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

class DragEntry : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OleInitialize(nullptr), S_OK); }
    void TearDown() override { OleUninitialize(); }
};

const wchar_t kHtml[] = L"Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                        L"EndFragment:00000000\r\n<html><body><!--StartFragment-->caf\u00e9<!--EndFragment--></body></html>";

} // namespace

TEST_F(DragEntry, DropDeliversEveryFormatByteForByte)
{
    DropTargetWindow target;
    ASSERT_TRUE(target.ready()) << "a drop target window needs an X display";
    const DragDropParam param{L"C:\\in\\a.txt|D:\\b", L"plain", kHtml, L"rich\u4e2d", 2, 1, 1, 1};
    ASSERT_TRUE(FerrydockIpc::ExecuteDragDrop(&param));
    ASSERT_EQ(target.drops, 1);
    const std::vector<UINT> offered = {CF_HDROP, CF_UNICODETEXT, Registered(L"HTML Format"),
                                       Registered(L"QQ_Unicode_RichEdit_Format"), Registered(L"KdMultiscreenDataSource")};
    EXPECT_EQ(target.offered, offered);
    EXPECT_EQ(target.received[CF_HDROP], FileDropBlock({L"C:\\in\\a.txt", L"D:\\b"}));
    EXPECT_EQ(target.received[CF_UNICODETEXT], Utf16z(L"plain"));
    EXPECT_EQ(target.received[offered[4]], Utf16z(L"windowscast"));
    EXPECT_EQ(target.received[offered[3]], Ascii(std::string("rich\xe4\xb8\xad") + '\0'));
}
