#include "strovikcids.h"
#include "strovikcontroller.h"
#include "strovikprocessor.h"
#include "version.h"

#include "public.sdk/source/main/pluginfactory.h"

#define stringPluginName "Strovik Capture"

using namespace Steinberg::Vst;
using namespace Strovik;

// clang-format off
BEGIN_FACTORY_DEF("Strovik",
                  "https://strovik.example.org",
                  "mailto:support@strovik.example.org")

    DEF_CLASS2(INLINE_UID_FROM_FUID(kStrovikProcessorUID),
               PClassInfo::kManyInstances,       // cardinality
               kVstAudioEffectClass,             // category
               stringPluginName,                 // name
               Vst::kDistributable,              // class flags
               PlugType::kFx,                    // sub-categories
               STROVIK_VERSION_STR,              // version
               kVstVersionString,                // SDK version it was built with
               StrovikProcessor::createInstance)

    DEF_CLASS2(INLINE_UID_FROM_FUID(kStrovikControllerUID),
               PClassInfo::kManyInstances,
               kVstComponentControllerClass,
               stringPluginName " Controller",
               0,                                // no flags
               "",                               // no sub-categories
               STROVIK_VERSION_STR,
               kVstVersionString,
               StrovikController::createInstance)

END_FACTORY
// clang-format on
