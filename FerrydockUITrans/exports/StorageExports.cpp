#include "FerrydockUITrans.h"

#include "storage/StorageApi.h"

extern "C" void FERRYDOCK_CALL GetSaveFileDir(wchar_t* buffer, int length)
{
    FerrydockIpc::GetSaveFileDir(buffer, length);
}

extern "C" void FERRYDOCK_CALL GetSaveDbDir(wchar_t* buffer, int length)
{
    FerrydockIpc::GetSaveDbDir(buffer, length);
}

extern "C" void FERRYDOCK_CALL GetCurrentUserName(wchar_t* buffer, int length)
{
    FerrydockIpc::GetCurrentUserName(buffer, length);
}
