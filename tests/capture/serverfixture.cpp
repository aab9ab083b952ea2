#include "serverfixture.h"

#include <algorithm>
#include <cerrno>
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

LateCycles ServerFixture::lateCyclesOfTheSequence(size_t lateBefore) const
{
    // Only the player or the capture stream late costs the sequence frames
    // (another client late loses its own cycle alone). The server names a
    // stream's node after the stream or after the program it runs in.
    const std::string clients[] = {"(pw-play-", "(strovik-capture-",
                                   std::string("(") + program_invocation_short_name + "-"};
    const auto reports = server.lateClientReports();
    LateCycles late;
    for (size_t i = std::min(lateBefore, reports.size()); i < reports.size(); ++i)
    {
        std::cout << "[ measured ] server: " << reports[i] << "\n";
        if (std::none_of(std::begin(clients), std::end(clients), [&](const std::string& c) {
                return reports[i].find(c) != std::string::npos;
            }))
            continue;
        ++late.count;
        // "rate:<quantum>/<rate>": the frames of the cycle it was late for.
        if (const auto at = reports[i].find(" rate:"); at != std::string::npos)
        {
            const size_t frames = std::stoul(reports[i].substr(at + 6));
            late.quantum = late.quantum == 0 ? frames : std::min(late.quantum, frames);
        }
    }
    return late;
}

size_t ServerFixture::expectLostOnlyInLateCycles(const SequenceMatch& m, size_t lateBefore) const
{
    const LateCycles late = lateCyclesOfTheSequence(lateBefore);
    // A report stands for one cycle, so what it lost is a cycle's frames
    // at most, and late cycles lose whole cycles.
    EXPECT_LE(m.lostRuns, late.count) << "frames lost with no player or capture stream late";
    if (late.count > 0 && late.quantum > 0)
    {
        EXPECT_LE(m.lost, late.count * late.quantum);
        EXPECT_EQ(m.lost % late.quantum, 0u) << "lost frames that are not whole cycles";
    }
    return late.count;
}

void ServerFixture::expectGapsOnlyWhereTheMachineStalled(const SequenceMatch& m, size_t late,
                                                         const Capture& capture) const
{
    if (capture.hostStalls > 0)
        std::cout << "[ measured ] the host's thread ran late " << capture.hostStalls
                  << " time(s)\n";
    EXPECT_LE(m.gaps, 2 * late + capture.hostStalls) << "underflows the machine does not explain";
}

} // namespace Strovik::Test
