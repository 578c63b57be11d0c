#include "FerrydockUITrans.h"
#include "support/PeFile.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <iterator>
#include <set>
#include <sstream>
#include <string>

extern "C" size_t HeaderAsCSizeOfDragDropParam(void);

// Every name the library exports, spelled as the interface expects them (misspellings included),
// its version resource, and the header compiled as C.
TEST(ExportTable, NamesVersionResourceAndHeaderAsC)
{
    std::istringstream words(R"(
InitIPCModule UninitIPCModule WndShowFinsh SendWindowClose SendRecentToMessageUI SendDeviceGetToFilesystem
SendFinishTransferMesseage SendFileInfoAllToFilesystem SendArrayNumToFilesystem SendSaveFileToFilesystem
SendToOpenSettingCenter SendToOpenUseMachineSkills RegisterWndShowCallback RegisterWndShowFileCallback
RegisterWndShowDeviceCallback RegisterWndShowSendFilesCallback RegisterWndShowRecieveFilesCallback
RegisterWndShowRecieveFindSaveFileCallback RegisterWndShowRecieveFindDeviceTypeCallback
RegisterWndShowRecieveFilesProgressCallback ExecuteDragDrop IsSupportFileType GetSaveFileDir GetSaveDbDir
GetCurrentUserName InitFerrydockDataReport SendFerrydockDataReport IsITVersion IsAgreeClause
_ZN13XaloSoftShelfC1ERKS_ _ZN13XaloSoftShelfC2ERKS_ _ZN13XaloSoftShelfaSERKS_ _ZN2DE11CryptSHA256C1ERKS0_
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
_ZN8SolEvent12MAX_PATH_LENE _ZN8SolEvent13MAX_VALUE_LENE _ZNK2DE9CryptBase9DigestLenEv)");
    const std::wstring path = testsupport::BesideExecutable(L"FerrydockUITrans.dll");
    const auto names = testsupport::ReadExportNames(path);
    EXPECT_EQ(std::multiset<std::string>(names.begin(), names.end()),
              std::multiset<std::string>(std::istream_iterator<std::string>(words), {}));

    EXPECT_EQ(HeaderAsCSizeOfDragDropParam(), sizeof(DragDropParam)); // HeaderAsC.c checks its own layout
    DWORD ignored = 0;
    std::vector<unsigned char> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_TRUE(!data.empty() && GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
    wchar_t* name = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\OriginalFilename",
                               reinterpret_cast<void**>(&name), &length));
    EXPECT_STREQ(name, L"FerrydockUITrans.dll");
}
