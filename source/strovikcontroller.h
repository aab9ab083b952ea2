#pragma once

#include "public.sdk/source/vst/vsteditcontroller.h"

namespace Strovik {

// The edit controller paired with the processor. There is nothing for a
// user to adjust: no parameters, no units, no programs, no editor.
class StrovikController : public Steinberg::Vst::EditController
{
public:
    static Steinberg::FUnknown* createInstance(void* context);

    Steinberg::tresult PLUGIN_API initialize(Steinberg::FUnknown* context) override;
    Steinberg::tresult PLUGIN_API setComponentState(Steinberg::IBStream* state) override;
};

} // namespace Strovik
