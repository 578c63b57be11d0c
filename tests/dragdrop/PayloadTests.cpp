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
    switch (cf) {
    case Cf::Hdrop: return CF_HDROP;
    case Cf::Text: return CF_UNICODETEXT;
    case Cf::Html: return data.HtmlFormat();
    case Cf::QQ: return data.QQFormat();
    default: return data.LabelFormat();
    }
}

Bytes Fetch(IDataObject* data, UINT cf, HRESULT* result = nullptr)
{
    FORMATETC format{static_cast<CLIPFORMAT>(cf), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium{};
    const HRESULT hr = data->GetData(&format, &medium);
    if (result != nullptr) {
        *result = hr;
    }
    if (hr != S_OK) {
        return {};
    }
    Bytes bytes = BlockBytes(medium.hGlobal);
    ReleaseStgMedium(&medium);
    return bytes;
}

const std::string kHeader = "Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\nStartFragment:00000000\r\n"
                            "EndFragment:00000000\r\n";
const std::wstring kWideHeader(kHeader.begin(), kHeader.end());

std::string Golden(const char* startHtml, const char* endHtml, const char* startFragment, const char* endFragment)
{
    return std::string("Version:0.9\r\nStartHTML:") + startHtml + "\r\nEndHTML:" + endHtml +
           "\r\nStartFragment:" + startFragment + "\r\nEndFragment:" + endFragment + "\r\n";
}

Bytes Z(const std::string& text) { return Ascii(text + '\0'); }

} // namespace

TEST(Payloads, BlocksMatchTheLayoutsByteForByte)
{
    struct Case {
        const char* name;
        std::function<void(FerrydockDataObject&)> build;
        Cf format;
        Bytes expected;
    };
    const std::wstring withZero(L"ab\0cd", 5);
    const Case cases[] = {
        {"two short paths", [](auto& d) { d.SetFileData({L"a", L"bc"}); }, Cf::Hdrop, FileDropBlock({L"a", L"bc"})},
        {"one empty path", [](auto& d) { d.SetFileData({L""}); }, Cf::Hdrop, FileDropBlock({L""})},
        {"non-ASCII path", [](auto& d) { d.SetFileData({L"C:\\donn\u00e9es\\\u4e2d.txt"}); }, Cf::Hdrop,
         FileDropBlock({L"C:\\donn\u00e9es\\\u4e2d.txt"})},
        {"three units", [](auto& d) { d.SetTextData(L"abc"); }, Cf::Text, Utf16z(L"abc")},
        {"text ends at a zero unit", [&](auto& d) { d.SetTextData(withZero); }, Cf::Text, Utf16z(L"ab")},
        {"text surrogate pair", [](auto& d) { d.SetTextData(L"\U0001F600"); }, Cf::Text, Utf16z(L"\U0001F600")},
        {"html ascii",
         [](auto& d) {
             d.SetHtmlData(kWideHeader + L"<html><body>\r\n<!--StartFragment-->hi<!--EndFragment-->\r\n</body></html>");
         },
         Cf::Html,
         Z(Golden("00000097", "00000167", "00000111", "00000133") +
           "<html><body>\r\n<!--StartFragment-->hi<!--EndFragment-->\r\n</body></html>")},
        {"html non-ASCII counts bytes",
         [](auto& d) {
             d.SetHtmlData(kWideHeader + L"<html><body>\r\n<!--StartFragment-->caf\u00e9 \u4e2d\U0001F600"
                                         L"<!--EndFragment-->\r\n</body></html>");
         },
         Cf::Html,
         Z(Golden("00000097", "00000180", "00000111", "00000146") +
           "<html><body>\r\n<!--StartFragment-->caf\xc3\xa9 \xe4\xb8\xad\xed\xa0\xbd\xed\xb8\x80<!--EndFragment-->\r\n"
           "</body></html>")},
        {"html keeps an embedded zero",
         [](auto& d) {
             d.SetHtmlData(kWideHeader + std::wstring(L"<html><!--StartFragment-->a\0b<!--EndFragment--></html>", 54));
         },
         Cf::Html,
         Z(Golden("00000097", "00000151", "00000103", "00000126") +
           std::string("<html><!--StartFragment-->a\0b<!--EndFragment--></html>", 54))},
        {"html failed refresh is one zero byte", [](auto& d) { d.SetHtmlData(kWideHeader + L"<HTML></HTML>"); },
         Cf::Html,
         Bytes{0}},
        {"rich-edit per unit, zero kept",
         [](auto& d) { d.SetQQFormatData(std::wstring(L"a\0b\U0001F600", 5)); }, Cf::QQ,
         Z(std::string("a\0b\xed\xa0\xbd\xed\xb8\x80", 9))},
        {"label", [](auto& d) { d.SetLabelData(); }, Cf::Label, Utf16z(L"windowscast")},
    };
    for (const Case& c : cases) {
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        c.build(*data);
        HRESULT hr = E_FAIL;
        EXPECT_EQ(Fetch(data, FormatOf(*data, c.format), &hr), c.expected) << c.name;
        EXPECT_EQ(hr, S_OK) << c.name;
        EXPECT_EQ(data->Release(), 0u) << c.name;
    }
    EXPECT_EQ(FileDropBlock({L"a", L"bc"}).size(), 32u);
    EXPECT_EQ(Utf16z(L"windowscast").size(), 24u);
}

TEST(Payloads, EmptyContentIsNotOfferedAndBuildersLogTheirSteps)
{
    const std::wstring tag = L"(FerrydockIpc::FerrydockDataObject::";
    struct Case {
        std::function<void(FerrydockDataObject&)> build;
        Cf format;
        std::vector<std::wstring> lines;
        HRESULT fetch;
    };
    const Case cases[] = {
        {[](auto& d) { d.SetTextData(L""); }, Cf::Text, {L"SetTextData begin", L"text is empty"}, DV_E_FORMATETC},
        {[](auto& d) { d.SetHtmlData(L""); }, Cf::Html, {L"SetHtmlData begin", L"html is empty"}, DV_E_FORMATETC},
        {[](auto& d) { d.SetQQFormatData(L""); }, Cf::QQ, {L"Set unicode format begin", L"unicode format is empty"},
         DV_E_FORMATETC},
        {[](auto& d) { d.SetQQFormatData(L"x"); }, Cf::QQ, {L"Set unicode format begin", L"unicode format end"}, S_OK},
        {[](auto& d) { d.SetFileData({L"f"}); }, Cf::Hdrop, {L"SetFileData begin", L"SetFileData end"}, S_OK},
        {[](auto& d) { d.SetLabelData(); }, Cf::Label, {L"SetLabelData begin", L"SetLabelData end"}, S_OK},
    };
    const wchar_t* members[] = {L"SetTextData)", L"SetHtmlData)", L"SetQQFormatData)", L"SetQQFormatData)",
                                L"SetFileData)", L"SetLabelData)"};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        LogCapture capture;
        FerrydockDataObject* data = FerrydockDataObject::Create(nullptr);
        cases[i].build(*data);
        std::vector<LogRecord> expected;
        for (const std::wstring& line : cases[i].lines) {
            expected.push_back({3, line + tag + members[i]});
        }
        EXPECT_EQ(capture.Records(), expected) << i;
        HRESULT hr = E_FAIL;
        Fetch(data, FormatOf(*data, cases[i].format), &hr);
        EXPECT_EQ(hr, cases[i].fetch) << i;
        data->Release();
    }
}

TEST(Payloads, HtmlRefreshFailuresAndBounds)
{
    const std::string body = "<html><!--StartFrag-->x<!--EndFrag-->";
    const std::string fields = "StartHTML:@@@@@@@@@EndHTML:@@@@@@@@@StartFragment:@@@@@@@@@EndFragment:@@@@@@@@@";
    const std::string big = kHeader + "<html><!--StartFragment--><!--EndFragment-->" + std::string(100000000, 'x');
    struct Case {
        const char* name;
        std::string input;
        std::string output;
        const wchar_t* logged; // null: nothing
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        LogCapture capture;
        EXPECT_TRUE(FerrydockDataObject::RefreshHtmlInfo(c.input) == c.output) << c.name;
        std::vector<LogRecord> expected;
        if (c.logged != nullptr) {
            expected.push_back({3, std::wstring(c.logged) + L"(FerrydockIpc::FerrydockDataObject::RefreshHtmlInfo)"});
        }
        EXPECT_EQ(capture.Records(), expected) << c.name;
    }
}
