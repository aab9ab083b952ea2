// A VST 3 module that is not Strovik Capture: one audio effect of another
// name and a controller named like ours. strovik-probe must find no
// capture class in it.

#include "pluginterfaces/vst/ivstaudioprocessor.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "public.sdk/source/main/pluginfactory.h"

using namespace Steinberg;
using namespace Steinberg::Vst;

namespace {

// Never called: the probe must stop before it creates anything.
FUnknown* createNothing(void*)
{
    return nullptr;
}

const FUID kEffectUid(0x11111111, 0x22222222, 0x33333333, 0x44444444);
const FUID kControllerUid(0x55555555, 0x66666666, 0x77777777, 0x88888888);

} // namespace

// clang-format off
BEGIN_FACTORY_DEF("Elsewhere", "https://elsewhere.example.org", "mailto:x@elsewhere.example.org")
    DEF_CLASS2(INLINE_UID_FROM_FUID(kEffectUid), PClassInfo::kManyInstances, kVstAudioEffectClass,
               "Other Effect", Vst::kDistributable, PlugType::kFx, "1.0.0", kVstVersionString,
               createNothing)
    DEF_CLASS2(INLINE_UID_FROM_FUID(kControllerUid), PClassInfo::kManyInstances,
               kVstComponentControllerClass, "Strovik Capture", 0, "", "1.0.0", kVstVersionString,
               createNothing)
END_FACTORY
// clang-format on
