// What C_GetInfo says about the module.
#pragma once

#include "cryptoki.h"

namespace qav::p11 {

void FillInfo(CK_INFO* info);

}  // namespace qav::p11
