// One complete drag of received content, started by the user interface.
#pragma once

#include "FerrydockUITrans.h"

namespace FerrydockIpc {

// True when the counts of the optional payloads agree with their pointers.
bool CheckDragDropParam(const DragDropParam* param);

// True when the drag loop ran, whatever its outcome. The calling thread must be an OLE
// single-threaded apartment.
bool ExecuteDragDrop(const DragDropParam* param);

} // namespace FerrydockIpc
