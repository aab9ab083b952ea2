#include "serverfixture.h"

#include <iostream>

namespace Strovik::Test {

bool ServerFixture::startServer(bool withSessionManager)
{
    std::string whyNot;
    if (server.start(whyNot, withSessionManager))
        return true;
    if (serverRequired())
        ADD_FAILURE() << whyNot;
    else
        std::cout << "\n\n*** SKIPPED: " << whyNot << " ***\n\n";
    return false;
}

void ServerFixture::SetUp()
{
    if (serverAtSetUp && !startServer())
        GTEST_SKIP();
    removeLog();
    module = std::make_unique<PluginModule>();
    factory = module->factory();
}

void ServerFixture::TearDown()
{
    factory = nullptr;
    module.reset();
    server.stop();
}

std::unique_ptr<ProcessorInstance> ServerFixture::startProcessor(double rate, int32 block)
{
    auto p = std::make_unique<ProcessorInstance>(*factory);
    EXPECT_EQ(p->initialize(), kResultOk);
    EXPECT_EQ(p->setup(rate, block), kResultOk);
    return p;
}

} // namespace Strovik::Test
