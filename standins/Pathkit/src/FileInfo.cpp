#include "FileInfo.h"
