/*
 * FerrydockUITrans.dll: the bridge between the Ferrydock user interface and the
 * suite's background services. Plain C interface; compiles as C (C11) and C++.
 *
 * Text is UTF-16 (wchar_t). Strings and lists handed to a callback belong to the
 * library and are valid only until the callback returns. Exports that return text
 * take a buffer and its capacity in wide characters, terminator included, and write
 * the whole text or an empty string.
 */
#ifndef FERRYDOCK_UI_TRANS_H
#define FERRYDOCK_UI_TRANS_H

#include <stddef.h>
#include <wchar.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(FERRYDOCK_UI_TRANS_BUILDING)
#define FERRYDOCK_API
#else
#define FERRYDOCK_API __declspec(dllimport)
#endif
#define FERRYDOCK_CALL __stdcall

#ifdef __cplusplus
#define FERRYDOCK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define FERRYDOCK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Callbacks the interface registers; they run on the IPC client's delivery thread. */
typedef void(FERRYDOCK_CALL* WndShowCallback)(int value);
typedef void(FERRYDOCK_CALL* WndShowTextCallback)(const wchar_t* text);

typedef struct DeviceInfo {
    wchar_t* id;   /* null when its buffer could not be allocated */
    wchar_t* name;
    int type;
} DeviceInfo;

#define FERRYDOCK_MAX_DEVICES 1000

typedef struct DevicesInfo {
    DeviceInfo* devices[FERRYDOCK_MAX_DEVICES]; /* entries 0..count-1 set, the rest null */
    int count;
} DevicesInfo;

typedef void(FERRYDOCK_CALL* WndShowDeviceCallback)(DevicesInfo* devices);

/* One drag of received content. Counts of 0 or 1 say whether a pointer is given. */
typedef struct DragDropParam {
    const wchar_t* fileInfo; /* full paths separated by '|' */
    const wchar_t* text;
    const wchar_t* html;     /* complete "HTML Format" text, header included */
    const wchar_t* qqFormat; /* rich-edit payload */
    int fileNum;
    int textNum;
    int htmlNum;
    int qqFormatNum;
} DragDropParam;

#if defined(_WIN64)
FERRYDOCK_STATIC_ASSERT(sizeof(DragDropParam) == 48, "DragDropParam is 48 bytes");
FERRYDOCK_STATIC_ASSERT(offsetof(DragDropParam, qqFormat) == 24, "DragDropParam.qqFormat");
FERRYDOCK_STATIC_ASSERT(offsetof(DragDropParam, fileNum) == 32, "DragDropParam.fileNum");
FERRYDOCK_STATIC_ASSERT(offsetof(DragDropParam, qqFormatNum) == 44, "DragDropParam.qqFormatNum");
FERRYDOCK_STATIC_ASSERT(sizeof(DeviceInfo) == 24, "DeviceInfo is 24 bytes");
FERRYDOCK_STATIC_ASSERT(offsetof(DeviceInfo, type) == 16, "DeviceInfo.type");
FERRYDOCK_STATIC_ASSERT(sizeof(DevicesInfo) == 8008, "DevicesInfo is 8008 bytes");
FERRYDOCK_STATIC_ASSERT(offsetof(DevicesInfo, count) == 8000, "DevicesInfo.count");
#endif

/* Module lifecycle and notifications without payload */
FERRYDOCK_API bool FERRYDOCK_CALL InitIPCModule(void);
FERRYDOCK_API bool FERRYDOCK_CALL UninitIPCModule(void);
FERRYDOCK_API void FERRYDOCK_CALL WndShowFinsh(void);
FERRYDOCK_API void FERRYDOCK_CALL SendWindowClose(void);
FERRYDOCK_API void FERRYDOCK_CALL SendRecentToMessageUI(void);
FERRYDOCK_API void FERRYDOCK_CALL SendDeviceGetToFilesystem(void);
FERRYDOCK_API void FERRYDOCK_CALL SendFinishTransferMesseage(void);

/* Notifications with payload */
FERRYDOCK_API void FERRYDOCK_CALL SendFileInfoAllToFilesystem(const wchar_t* text);
FERRYDOCK_API void FERRYDOCK_CALL SendArrayNumToFilesystem(const wchar_t* text);
FERRYDOCK_API void FERRYDOCK_CALL SendSaveFileToFilesystem(const wchar_t* text);
FERRYDOCK_API void FERRYDOCK_CALL SendToOpenSettingCenter(void);
FERRYDOCK_API void FERRYDOCK_CALL SendToOpenUseMachineSkills(void);

/* Callback registration; a null callback empties the slot. */
FERRYDOCK_API bool FERRYDOCK_CALL RegisterWndShowCallback(WndShowCallback callback);
FERRYDOCK_API bool FERRYDOCK_CALL RegisterWndShowFileCallback(WndShowTextCallback callback);
FERRYDOCK_API bool FERRYDOCK_CALL RegisterWndShowDeviceCallback(WndShowDeviceCallback callback);
FERRYDOCK_API bool FERRYDOCK_CALL RegisterWndShowSendFilesCallback(WndShowTextCallback callback);
FERRYDOCK_API bool FERRYDOCK_CALL RegisterWndShowRecieveFilesCallback(WndShowTextCallback callback);
FERRYDOCK_API bool FERRYDOCK_CALL RegisterWndShowRecieveFindSaveFileCallback(WndShowTextCallback callback);
FERRYDOCK_API bool FERRYDOCK_CALL RegisterWndShowRecieveFindDeviceTypeCallback(WndShowTextCallback callback);
FERRYDOCK_API bool FERRYDOCK_CALL RegisterWndShowRecieveFilesProgressCallback(WndShowTextCallback callback);

/* Drag-and-drop; the calling thread must be an OLE single-threaded apartment. */
FERRYDOCK_API bool FERRYDOCK_CALL ExecuteDragDrop(const DragDropParam* param);
FERRYDOCK_API bool FERRYDOCK_CALL IsSupportFileType(const wchar_t* fileName);

/* Save folders and the current user's SID text; length counts wide characters. */
FERRYDOCK_API void FERRYDOCK_CALL GetSaveFileDir(wchar_t* buffer, int length);
FERRYDOCK_API void FERRYDOCK_CALL GetSaveDbDir(wchar_t* buffer, int length);
FERRYDOCK_API void FERRYDOCK_CALL GetCurrentUserName(wchar_t* buffer, int length);

/* Data report and product queries */
FERRYDOCK_API void FERRYDOCK_CALL InitFerrydockDataReport(void);
FERRYDOCK_API void FERRYDOCK_CALL SendFerrydockDataReport(int id, const wchar_t* text, int length);
FERRYDOCK_API bool FERRYDOCK_CALL IsITVersion(void);
FERRYDOCK_API bool FERRYDOCK_CALL IsAgreeClause(void);

/* Pointer types for programs that load the library with LoadLibrary/GetProcAddress. */
typedef bool(FERRYDOCK_CALL* PFN_BoolVoid)(void);
typedef void(FERRYDOCK_CALL* PFN_VoidVoid)(void);
typedef void(FERRYDOCK_CALL* PFN_VoidText)(const wchar_t* text);
typedef bool(FERRYDOCK_CALL* PFN_RegisterWndShowCallback)(WndShowCallback callback);
typedef bool(FERRYDOCK_CALL* PFN_RegisterTextCallback)(WndShowTextCallback callback);
typedef bool(FERRYDOCK_CALL* PFN_RegisterWndShowDeviceCallback)(WndShowDeviceCallback callback);
typedef bool(FERRYDOCK_CALL* PFN_ExecuteDragDrop)(const DragDropParam* param);
typedef bool(FERRYDOCK_CALL* PFN_IsSupportFileType)(const wchar_t* fileName);
typedef void(FERRYDOCK_CALL* PFN_GetTextIntoBuffer)(wchar_t* buffer, int length);
typedef void(FERRYDOCK_CALL* PFN_SendFerrydockDataReport)(int id, const wchar_t* text, int length);

#ifdef __cplusplus
}
#endif

#endif /* FERRYDOCK_UI_TRANS_H */
