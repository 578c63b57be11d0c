#include "dragdrop/DragDrop.h"

#include "common/Log.h"
#include "common/TextConvert.h"
#include "dragdrop/DataObject.h"
#include "dragdrop/DropSource.h"
#include "ferrydock/Resource.h"

#include <memory>
#include <string>
#include <vector>

namespace FerrydockIpc {

namespace {

constexpr const char* kExecute = "FerrydockIpc::ExecuteDragDrop";
constexpr const char* kCheck = "FerrydockIpc::CheckDragDropParam";

// A count says whether its payload is offered: 0 or 1, and 0 only with no pointer.
bool CountAgrees(int count, const wchar_t* pointer)
{
    const auto value = static_cast<unsigned int>(count);
    return value <= 1 && (value == 1 || pointer == nullptr);
}

void LoadPayloads(FerrydockDataObject& data, const DragDropParam& param, const std::vector<std::wstring>& files)
{
    if (!files.empty()) {
        data.SetFileData(files);
    }
    if (param.text != nullptr) {
        data.SetTextData(param.text);
    }
    if (param.html != nullptr) {
        data.SetHtmlData(param.html);
    }
    if (param.qqFormat != nullptr) {
        data.SetQQFormatData(param.qqFormat);
    }
    data.SetLabelData();
}

} // namespace

bool CheckDragDropParam(const DragDropParam* param)
{
    if (param == nullptr) {
        Log(LogLevel::Error, kCheck, "param is null");
        return false;
    }
    if (!CountAgrees(param->textNum, param->text)) {
        Log(LogLevel::Error, kCheck, "textNum is invalid");
        return false;
    }
    if (!CountAgrees(param->htmlNum, param->html)) {
        Log(LogLevel::Error, kCheck, "htmlNum is invalid");
        return false;
    }
    if (!CountAgrees(param->qqFormatNum, param->qqFormat)) {
        Log(LogLevel::Error, kCheck, "qqFormatNum is invalid");
        return false;
    }
    return true;
}

bool ExecuteDragDrop(const DragDropParam* param)
{
    if (!CheckDragDropParam(param)) {
        Log(LogLevel::Error, kExecute, "check dargdrop param failed");
        return false;
    }
    UniqueInterface<FerrydockDropSource> source(FerrydockDropSource::Create());
    if (!source) {
        Log(LogLevel::Error, kExecute, "dataSource is null");
        return false;
    }
    // Declared after the source, so the data object is released first.
    UniqueInterface<FerrydockDataObject> data(FerrydockDataObject::Create(source.get()));
    if (!data) {
        Log(LogLevel::Error, kExecute, "dataObject is null");
        return false;
    }
    std::vector<std::wstring> files;
    if (param->fileNum > 0 && param->fileInfo != nullptr) {
        SplitString(param->fileInfo, L"|", files);
        if (files.empty() || files.size() != static_cast<std::size_t>(param->fileNum)) {
            Log(LogLevel::Error, kExecute, "file info is invalid");
            return false;
        }
    }
    LoadPayloads(*data.get(), *param, files);
    DWORD effect = DROPEFFECT_NONE;
    DoDragDrop(data.get(), source.get(), DROPEFFECT_COPY, &effect);
    return true;
}

} // namespace FerrydockIpc
