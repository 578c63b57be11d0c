#include "FerrydockUITrans.h"
#include "support/PeFile.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>

extern "C" size_t HeaderAsCSizeOfDragDropParam(void);

namespace {

// Every name the library exports, one block per family, spelled as the interface expects them.
const char* const kFamilies[] = {
    // module lifecycle, notifications, callback registration
    R"(InitIPCModule UninitIPCModule WndShowFinsh SendWindowClose SendRecentToMessageUI SendDeviceGetToFilesystem
SendFinishTransferMesseage SendFileInfoAllToFilesystem SendArrayNumToFilesystem SendSaveFileToFilesystem
SendToOpenSettingCenter SendToOpenUseMachineSkills RegisterWndShowCallback RegisterWndShowFileCallback
RegisterWndShowDeviceCallback RegisterWndShowSendFilesCallback RegisterWndShowRecieveFilesCallback
RegisterWndShowRecieveFindSaveFileCallback RegisterWndShowRecieveFindDeviceTypeCallback
RegisterWndShowRecieveFilesProgressCallback)",
    // drag-and-drop and file type check
    R"(ExecuteDragDrop IsSupportFileType)",
    // save folders and current user
    R"(GetSaveFileDir GetSaveDbDir GetCurrentUserName)",
    // data report and product queries
    R"(InitFerrydockDataReport SendFerrydockDataReport IsITVersion IsAgreeClause)",
    // exported class members
    R"(_ZN13XaloSoftShelfC1ERKS_ _ZN13XaloSoftShelfC2ERKS_ _ZN13XaloSoftShelfaSERKS_ _ZN2DE11CryptSHA256C1ERKS0_
_ZN2DE11CryptSHA256C1Ev _ZN2DE11CryptSHA256C2ERKS0_ _ZN2DE11CryptSHA256C2Ev _ZN2DE11CryptSHA256D0Ev
_ZN2DE11CryptSHA256D1Ev _ZN2DE11CryptSHA256D2Ev _ZN2DE11CryptSHA256aSERKS0_ _ZN2DE8CryptMD5C1ERKS0_
_ZN2DE8CryptMD5C1Ev _ZN2DE8CryptMD5C2ERKS0_ _ZN2DE8CryptMD5C2Ev _ZN2DE8CryptMD5D0Ev _ZN2DE8CryptMD5D1Ev
_ZN2DE8CryptMD5D2Ev _ZN2DE8CryptMD5aSERKS0_ _ZN2DE9CryptBaseC1ERKS0_ _ZN2DE9CryptBaseC1Ejj
_ZN2DE9CryptBaseC2ERKS0_ _ZN2DE9CryptBaseC2Ejj _ZN2DE9CryptBaseD0Ev _ZN2DE9CryptBaseD1Ev _ZN2DE9CryptBaseD2Ev
_ZN2DE9CryptBaseaSERKS0_ _ZN2DE9CryptSHA1C1ERKS0_ _ZN2DE9CryptSHA1C1Ev _ZN2DE9CryptSHA1C2ERKS0_
_ZN2DE9CryptSHA1C2Ev _ZN2DE9CryptSHA1D0Ev _ZN2DE9CryptSHA1D1Ev _ZN2DE9CryptSHA1D2Ev _ZN2DE9CryptSHA1aSERKS0_
_ZN5KdSDK13NAMESPACE_WMIE _ZN5KdSDK15NAMESPACE_CIMV2E
_ZN5KdSDK8WmiQuery11ExcuteQueryINSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEEEEiRKS7_S9_RNS2_4listIT_SaISB_EEEb
_ZN5KdSDK8WmiQueryD1Ev _ZN5KdSDK8WmiQueryD2Ev
_ZN7SolView15VariadicKVPairsER7PayloadRNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEPKci
_ZN7SolView15VariadicKVPairsER7PayloadRNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES7_i
_ZN7SolViewaSEOS_ _ZN7SolViewaSERKS_ _ZN8SolEvent11INVALID_NUME _ZN8SolEvent11MAX_KEY_LENE
_ZN8SolEvent12MAX_ARR_SIZEE _ZN8SolEvent12MAX_FILE_NUME _ZN8SolEvent12MAX_PAIR_NUME
_ZN8SolEvent12MAX_PATH_LENE _ZN8SolEvent13MAX_VALUE_LENE _ZNK2DE9CryptBase9DigestLenEv)",
};

std::set<std::string> ExpectedExports()
{
    std::set<std::string> names;
    for (const char* family : kFamilies) {
        std::istringstream words(family);
        for (std::string name; words >> name;) {
            names.insert(name);
        }
    }
    return names;
}

} // namespace

TEST(ExportTable, NamesAreExactlyTheExpectedOnesAndResolve)
{
    const auto names = testsupport::ReadExportNames(testsupport::BesideExecutable(L"FerrydockUITrans.dll"));
    const std::set<std::string> actual(names.begin(), names.end()), expected = ExpectedExports();
    EXPECT_EQ(names.size(), actual.size()) << "no name is exported twice";
    std::vector<std::string> missing, unexpected;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(),
                        std::back_inserter(unexpected));
    EXPECT_TRUE(missing.empty()) << "missing: " << testing::PrintToString(missing);
    EXPECT_TRUE(unexpected.empty()) << "unexpected (misspelt or decorated?): " << testing::PrintToString(unexpected);
    HMODULE module = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    for (const std::string& name : expected) {
        EXPECT_NE(GetProcAddress(module, name.c_str()), nullptr) << name;
    }
    FreeLibrary(module);
}

TEST(ExportTable, VersionResourceNamesTheLibrary)
{
    const std::wstring path = testsupport::BesideExecutable(L"FerrydockUITrans.dll");
    DWORD ignored = 0;
    std::vector<unsigned char> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_TRUE(!data.empty() && GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
    wchar_t* name = nullptr;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                               reinterpret_cast<void**>(&name), &length) &&
                VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_STREQ(name, L"FerrydockUITrans.dll");
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

// HeaderAsC.c compiles the header as C11 with its own size checks; both languages agree.
TEST(PublicHeader, CompilesAsCWithTheSameLayout)
{
    EXPECT_EQ(HeaderAsCSizeOfDragDropParam(), sizeof(DragDropParam));
}
