#include "FerrydockUITrans.h"
#include "support/PeFile.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <set>
#include <string>

extern "C" size_t HeaderAsCSizeOfDragDropParam(void);

namespace {

// Every name the library exports, by family, spelled as the interface expects them.
const std::set<std::string>& ExpectedExports()
{
    static const std::set<std::string> names = {
        // module lifecycle, notifications, callback registration


        // drag-and-drop and file type check
        "ExecuteDragDrop",
        "IsSupportFileType",


        // save folders and current user


        // data report and product queries


        // exported class members


    };
    return names;
}

} // namespace

TEST(ExportTable, NamesAreExactlyTheExpectedOnes)
{
    const auto names = testsupport::ReadExportNames(testsupport::BesideExecutable(L"FerrydockUITrans.dll"));
    const std::set<std::string> actual(names.begin(), names.end());
    EXPECT_EQ(names.size(), actual.size()) << "no name is exported twice";

    std::vector<std::string> missing;
    std::set_difference(ExpectedExports().begin(), ExpectedExports().end(), actual.begin(), actual.end(),
                        std::back_inserter(missing));
    std::vector<std::string> unexpected;
    std::set_difference(actual.begin(), actual.end(), ExpectedExports().begin(), ExpectedExports().end(),
                        std::back_inserter(unexpected));
    EXPECT_TRUE(missing.empty()) << "missing: " << testing::PrintToString(missing);
    EXPECT_TRUE(unexpected.empty()) << "unexpected (misspelt or decorated?): " << testing::PrintToString(unexpected);
}

TEST(ExportTable, LoaderResolvesEveryExpectedName)
{
    HMODULE module = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    for (const std::string& name : ExpectedExports()) {
        EXPECT_NE(GetProcAddress(module, name.c_str()), nullptr) << name;
    }
    FreeLibrary(module);
}

TEST(ExportTable, VersionResourceNamesTheLibrary)
{
    const std::wstring path = testsupport::BesideExecutable(L"FerrydockUITrans.dll");
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
    wchar_t* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, L"FerrydockUITrans.dll");
    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

TEST(PublicHeader, CompilesAsCWithTheSameLayout)
{
    EXPECT_EQ(HeaderAsCSizeOfDragDropParam(), sizeof(DragDropParam));
    EXPECT_EQ(sizeof(DragDropParam), 48u);
    EXPECT_EQ(sizeof(DevicesInfo), 8008u);
}
