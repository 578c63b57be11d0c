// Every payload compared whole with a block built here, byte by byte, as drop targets read it.
#include "dragdrop/DataObject.h"
#include "dragdrop/DragTestSupport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>

using namespace FerrydockIpc;
using namespace dragtest;
using testsupport::LogCapture;
using testsupport::LogRecord;

namespace {

enum class Cf { Hdrop, Text, Html, QQ, Label };

UINT FormatOf(FerrydockDataObject& data, Cf cf)
{
    const UINT formats[] = {CF_HDROP, CF_UNICODETEXT, data.HtmlFormat(), data.QQFormat(), data.LabelFormat()};
    return formats[static_cast<int>(cf)];
}

const std::string kHeader = "Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                            "EndFragment:00000000\r\n";
const std::wstring kWideHeader(kHeader.begin(), kHeader.end());

// The refreshed header and the body, with the terminating zero byte.
Bytes Html(const char* startHtml, const char* endHtml, const char* startFragment, const char* endFragment,
           const std::string& body)
{
    return Ascii(std::string("Version:0.9\r\nStartHTML:") + startHtml + "\r\nEndHTML:" + endHtml +
                 "\r\nStartFragment:" + startFragment + "\r\nEndFragment:" + endFragment + "\r\n" + body + '\0');
}

} // namespace

// The full set of five formats is also compared after a real drop (Drag.DropDeliversEveryFormatByteForByte).
TEST(Payloads, BlocksMatchTheLayoutsByteForByte)
{
    const struct {
        const char* name;
        std::function<void(FerrydockDataObject&)> build;
        Cf format;
        Bytes expected;
    } cases[] = {
        {"one empty path", [](auto& d) { d.SetFileData({L""}); }, Cf::Hdrop, FileDropBlock({L""})},
        {"non-ASCII path", [](auto& d) { d.SetFileData({L"C:\\donn\u00e9es\\\u4e2d.txt"}); }, Cf::Hdrop,
         FileDropBlock({L"C:\\donn\u00e9es\\\u4e2d.txt"})},
        {"text ends at a zero unit", [](auto& d) { d.SetTextData(std::wstring(L"ab\0cd", 5)); }, Cf::Text,
         Utf16z(L"ab")},
        {"text surrogate pair", [](auto& d) { d.SetTextData(L"\U0001F600"); }, Cf::Text, Utf16z(L"\U0001F600")},
        {"html ascii",
         [](auto& d) {
             d.SetHtmlData(kWideHeader + L"<html><body>\r\n<!--StartFragment-->hi<!--EndFragment-->\r\n</body></html>");
         },
         Cf::Html,
         Html("00000097", "00000167", "00000111", "00000133",
              "<html><body>\r\n<!--StartFragment-->hi<!--EndFragment-->\r\n</body></html>")},
        {"html non-ASCII counts bytes",
         [](auto& d) {
             d.SetHtmlData(kWideHeader + L"<html><body>\r\n<!--StartFragment-->caf\u00e9 \u4e2d\U0001F600"
                                         L"<!--EndFragment-->\r\n</body></html>");
         },
         Cf::Html,
         Html("00000097", "00000180", "00000111", "00000146",
              "<html><body>\r\n<!--StartFragment-->caf\xc3\xa9 \xe4\xb8\xad\xed\xa0\xbd\xed\xb8\x80<!--EndFragment-->"
              "\r\n</body></html>")},
        {"html keeps an embedded zero",
         [](auto& d) {
             d.SetHtmlData(kWideHeader + std::wstring(L"<html><!--StartFragment-->a\0b<!--EndFragment--></html>", 54));
         },
         Cf::Html,
         Html("00000097", "00000151", "00000103", "00000126",
              std::string("<html><!--StartFragment-->a\0b<!--EndFragment--></html>", 54))},
        {"html failed refresh is one zero byte", [](auto& d) { d.SetHtmlData(kWideHeader + L"<HTML></HTML>"); },
         Cf::Html, Bytes{0}},
        {"rich-edit per unit, zero kept", [](auto& d) { d.SetQQFormatData(std::wstring(L"a\0b\U0001F600", 5)); },
         Cf::QQ, Ascii(std::string("a\0b\xed\xa0\xbd\xed\xb8\x80\0", 10))},
    };
    for (const auto& c : cases) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        c.build(*data);
        Bytes bytes;
        EXPECT_EQ(Ask(data, FormatOf(*data, c.format), &bytes), S_OK) << c.name;
        EXPECT_EQ(bytes, c.expected) << c.name;
        EXPECT_EQ(data->Release(), 0u) << c.name;
    }
    EXPECT_EQ(FileDropBlock({L"a", L"bc"}).size(), 32u);
    EXPECT_EQ(Utf16z(L"windowscast").size(), 24u);
}

TEST(Payloads, EmptyContentIsNotOfferedAndBuildersLogTheirSteps)
{
    const struct {
        std::function<void(FerrydockDataObject&)> build;
        Cf format;
        const wchar_t* member;
        std::vector<std::wstring> lines;
        HRESULT fetch;
    } cases[] = {
        {[](auto& d) { d.SetTextData(L""); }, Cf::Text, L"SetTextData", {L"SetTextData begin", L"text is empty"},
         DV_E_FORMATETC},
        {[](auto& d) { d.SetHtmlData(L""); }, Cf::Html, L"SetHtmlData", {L"SetHtmlData begin", L"html is empty"},
         DV_E_FORMATETC},
        {[](auto& d) { d.SetQQFormatData(L""); }, Cf::QQ, L"SetQQFormatData",
         {L"Set unicode format begin", L"unicode format is empty"}, DV_E_FORMATETC},
        {[](auto& d) { d.SetQQFormatData(L"x"); }, Cf::QQ, L"SetQQFormatData",
         {L"Set unicode format begin", L"unicode format end"}, S_OK},
        {[](auto& d) { d.SetFileData({L"f"}); }, Cf::Hdrop, L"SetFileData", {L"SetFileData begin", L"SetFileData end"},
         S_OK},
        {[](auto& d) { d.SetLabelData(); }, Cf::Label, L"SetLabelData", {L"SetLabelData begin", L"SetLabelData end"},
         S_OK},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        c.build(*data);
        std::vector<LogRecord> expected;
        for (const std::wstring& line : c.lines) {
            expected.push_back({3, line + L"(FerrydockIpc::FerrydockDataObject::" + c.member + L")"});
        }
        EXPECT_EQ(capture.Records(), expected) << c.lines[0];
        EXPECT_EQ(Ask(data, FormatOf(*data, c.format)), c.fetch) << c.lines[0];
        data->Release();
    }
}

TEST(Payloads, HtmlRefreshFailuresAndBounds)
{
    const std::string body = "<html><!--StartFrag-->x<!--EndFrag-->";
    const std::string fields = "StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@EndFragment:@@@@@@@@@";
    const std::string big = kHeader + "<html><!--StartFragment--><!--EndFragment-->" + std::string(100000000, 'x');
    const struct {
        const char* name;
        std::string input;
        std::string output;
        const wchar_t* logged; // null: nothing
    } cases[] = {
        {"fields at the very end fit", body + fields,
         body + "StartHTML:00000000\rEndHTML:00000117\rStartFragment:00000006\rEndFragment:00000023\r", nullptr},
        {"last field one short", body + fields.substr(0, fields.size() - 1), "", L"sprintf_s EndFragment failed"},
        {"first field one short", body + "StartHTML:@@@@@@@@", "", L"sprintf_s StartHTML failed"},
        {"no StartHTML", body + "EndHTML:@@@@@@@@@", "", L"find StartHTML failed"},
        {"upper-case tag", kHeader + "<HTML><!--StartFrag--><!--EndFrag-->", "", L"sprintf_s StartHTML failed"},
        {"no EndHTML name", body + "StartHTML:@@@@@@@@@", "", nullptr},
        {"no StartFragment name", body + "StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@", "", nullptr},
        {"no EndFragment name", body + "StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@", "", nullptr},
        {"no start marker", kHeader + "<html><!--EndFrag-->", "", L"sprintf_s StartFragment failed"},
        {"no end marker", kHeader + "<html><!--StartFrag-->", "", L"sprintf_s EndFragment failed"},
        {"100,000,000 bytes", big, "", L"sprintf_s EndHTML failed"},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        EXPECT_TRUE(FerrydockDataObject::RefreshHtmlInfo(c.input) == c.output) << c.name;
        std::vector<LogRecord> expected;
        if (c.logged != nullptr) {
            expected.push_back({3, std::wstring(c.logged) + L"(FerrydockIpc::FerrydockDataObject::RefreshHtmlInfo)"});
        }
        EXPECT_EQ(capture.Records(), expected) << c.name;
    }
}
