#include "strovikcids.h"
#include "strovikcontroller.h"
#include "strovikprocessor.h"
#include "version.h"

#include "public.sdk/source/main/pluginfactory.h"

#define stringPluginName "Strovik Capture"

using namespace Steinberg::Vst;
using namespace Strovik;

BEGIN_FACTORY_DEF("Strovik", "https://strovik.example.org", "mailto:support@strovik.example.org")

    DEF_CLASS2(INLINE_UID_FROM_FUID(kStrovikProcessorUID),
               PClassInfo::kManyInstances,
               kVstAudioEffectClass,
               stringPluginName,
               Vst::kDistributable,
               PlugType::kFx,
               STROVIK_VERSION_STR,
               kVstVersionString,
               StrovikProcessor::createInstance)

    DEF_CLASS2(INLINE_UID_FROM_FUID(kStrovikControllerUID),
               PClassInfo::kManyInstances,
               kVstComponentControllerClass,
               stringPluginName " Controller",
               0,
               "",
               STROVIK_VERSION_STR,
               kVstVersionString,
               StrovikController::createInstance)

END_FACTORY
