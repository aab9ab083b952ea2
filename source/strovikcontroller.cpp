#include "strovikcontroller.h"

#include <new>

namespace Strovik {

using namespace Steinberg;

FUnknown* StrovikController::createInstance(void* /*context*/)
{
    auto* controller = new (std::nothrow) StrovikController;
    return controller ? static_cast<Vst::IEditController*>(controller) : nullptr;
}

tresult PLUGIN_API StrovikController::initialize(FUnknown* context)
{
    return EditController::initialize(context);
}

tresult PLUGIN_API StrovikController::setComponentState(IBStream* /*state*/)
{
    // The processor's state is always empty: nothing to read, and any
    // stream (a null one included) is fine.
    return kResultOk;
}

} // namespace Strovik
