// Drag-and-drop and the file type check.
#include "FerrydockUITrans.h"

#include "common/Log.h"
#include "dragdrop/DragDrop.h"
#include "ipc/IPCHelper.h"

extern "C" bool FERRYDOCK_CALL ExecuteDragDrop(const DragDropParam* param)
{
    return FerrydockIpc::ExecuteDragDrop(param);
}

extern "C" bool FERRYDOCK_CALL IsSupportFileType(const wchar_t* fileName)
{
    if (fileName == nullptr) {
        FerrydockIpc::Log(FerrydockIpc::LogLevel::Error, "FerrydockIpc::IsSupportFileType", "dir is null");
        return false;
    }
    return FerrydockIpc::IPCHelper::GetInstance()->IsSupportFileType(fileName);
}
