#include "pluginhost.h"

#include "pluginterfaces/gui/iplugview.h"
#include "public.sdk/source/common/memorystream.h"

#include <gtest/gtest.h>

using namespace Strovik::Test;

namespace {

TEST(ControllerTest, HasNothingToEditOrStore)
{
    PluginModule module;
    IPtr<IPluginFactory> factory = module.factory();
    IEditController* controller = nullptr;
    ASSERT_EQ(factory->createInstance(cidString(kControllerCid), IEditController::iid,
                                      reinterpret_cast<void**>(&controller)),
              kResultOk);
    auto owner = owned(controller);
    HostApplication host;
    ASSERT_EQ(controller->initialize(static_cast<IHostApplication*>(&host)), kResultOk);
    EXPECT_EQ(controller->initialize(static_cast<IHostApplication*>(&host)), kResultFalse);

    // Whatever the host hands over as the processor's state, nothing is read.
    EXPECT_EQ(controller->setComponentState(nullptr), kResultOk);
    auto empty = owned(new MemoryStream);
    EXPECT_EQ(controller->setComponentState(empty), kResultOk);
    auto bytes = owned(new MemoryStream);
    const char junk[] = "\x01\x02\x03 some earlier version's state";
    ASSERT_EQ(bytes->write(const_cast<char*>(junk), sizeof(junk), nullptr), kResultOk);
    ASSERT_EQ(bytes->seek(0, IBStream::kIBSeekSet, nullptr), kResultOk);
    EXPECT_EQ(controller->setComponentState(bytes), kResultOk);
    int64 position = -1;
    ASSERT_EQ(bytes->tell(&position), kResultOk);
    EXPECT_EQ(position, 0);

    EXPECT_EQ(controller->getParameterCount(), 0);
    IPlugView* view = controller->createView("editor");
    EXPECT_EQ(view, nullptr);
    if (view)
        view->release();
    EXPECT_EQ(controller->getState(bytes), kNotImplemented);
    EXPECT_EQ(controller->setState(bytes), kNotImplemented);
    EXPECT_EQ(controller->terminate(), kResultOk);
}

} // namespace
