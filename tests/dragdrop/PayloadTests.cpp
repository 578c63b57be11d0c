// Payload edge cases compared whole with blocks built here, byte by byte, as drop targets read
// them; the common case of every format is checked after a real drop (DragEntryTests.cpp).
#include "dragdrop/DataObject.h"
#include "dragdrop/DragTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace FerrydockIpc;
using namespace dragtest;

TEST(Payloads, EdgesOfTheBuildersAndTheirLogLines)
{
    const std::wstring header = L"Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                                L"EndFragment:00000000\r\n";
    const struct {
        std::function<void(FerrydockDataObject&)> build;
        int format; // 0 file list, 1 text, 2 html, 3 rich-edit
        Bytes expected; // empty: not offered
        std::vector<std::wstring> logged; // empty: not checked
    } cases[] = {
        {[](auto& d) { d.SetTextData(std::wstring(L"ab\0cd", 5)); }, 1, Utf16z(L"ab"), {}},
        {[](auto& d) { d.SetQQFormatData(std::wstring(L"a\0b", 3)); }, 3, Ascii(std::string("a\0b\0", 4)), {}},
        {[&](auto& d) { d.SetHtmlData(header + L"<HTML></HTML>"); }, 2, Bytes{0}, {}},
        {[](auto& d) { d.SetFileData({L""}); }, 0, FileDropBlock({L""}), {}},
        {[](auto& d) { d.SetTextData(L""); }, 1, {}, {L"SetTextData begin", L"text is empty"}},
        {[](auto& d) { d.SetHtmlData(L""); }, 2, {}, {L"SetHtmlData begin", L"html is empty"}},
        {[](auto& d) { d.SetQQFormatData(L""); }, 3, {}, {L"Set unicode format begin", L"unicode format is empty"}},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture capture;
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        c.build(*data);
        const UINT formats[] = {CF_HDROP, CF_UNICODETEXT, data->HtmlFormat(), data->QQFormat()};
        Bytes bytes;
        EXPECT_EQ(Ask(data, formats[c.format], &bytes), c.expected.empty() ? DV_E_FORMATETC : S_OK);
        EXPECT_EQ(bytes, c.expected) << c.format;
        for (std::size_t i = 0; i < c.logged.size(); ++i) {
            EXPECT_EQ(Logged(capture).at(i).substr(0, c.logged[i].size() + 3), L"3 " + c.logged[i] + L"(");
        }
        EXPECT_EQ(data->Release(), 0u);
    }
}

// Each of the four numbers takes the eight characters and the carriage return after its name.
TEST(Payloads, HtmlHeaderRefreshFailsWithinItsBounds)
{
    const std::string body = "<html><!--StartFrag-->x<!--EndFrag-->";
    const std::string fields = "StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@EndFragment:@@@@@@@@@";
    const struct {
        std::string input, output;
        const char* logged; // null: nothing
    } cases[] = {
        {body + fields, body + "StartHTML:00000000\rEndHTML:00000117\rStartFragment:00000006\rEndFragment:00000023\r",
         nullptr},
        {body + fields.substr(0, fields.size() - 1), "", "sprintf_s EndFragment failed"},
        {body + "StartHTML:@@@@@@@@", "", "sprintf_s StartHTML failed"},
        {body + "EndHTML:@@@@@@@@@", "", "find StartHTML failed"},
        {body + "StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@", "", nullptr},
        {"StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@<html>", "", "sprintf_s StartFragment failed"},
        {fields + "<html><!--StartFrag-->" + std::string(100000000, 'x'), "", "sprintf_s EndHTML failed"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture capture;
        EXPECT_TRUE(FerrydockDataObject::RefreshHtmlInfo(c.input) == c.output) << c.input.substr(0, 80);
        std::vector<std::wstring> expected;
        if (c.logged != nullptr) {
            expected.push_back(L"3 " + std::wstring(c.logged, c.logged + std::strlen(c.logged)) +
                               L"(FerrydockIpc::FerrydockDataObject::RefreshHtmlInfo)");
        }
        EXPECT_EQ(Logged(capture), expected);
    }
}
