#pragma once

#include "pluginterfaces/base/funknown.h"

namespace Strovik {

// Class IDs as the host sees them: each word lands most significant byte
// first, so the processor's ID reads 9E 1B 3F 2A 8C 4D 6E 5F A0 B1 C2 D3 E4 F5 06 17.
// Changing either breaks every saved project that refers to the plug-in.
static const Steinberg::FUID kStrovikProcessorUID(0x9E1B3F2A, 0x8C4D6E5F, 0xA0B1C2D3, 0xE4F50617);
static const Steinberg::FUID kStrovikControllerUID(0x71829304, 0xA5B6C7D8, 0xE9FA0B1C, 0x2D3E4F50);

} // namespace Strovik
