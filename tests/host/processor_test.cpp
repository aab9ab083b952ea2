#include "pluginhost.h"

#include "pluginterfaces/vst/vstspeaker.h"
#include "public.sdk/source/common/memorystream.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace Strovik::Test;

namespace {

using namespace Strovik::LogText;

const std::string kSetupLog = logLine(kSetup) + logLine(kConnectFailed);
const std::string kShutdownLog = logLine(kShutdown);
const std::string kNoLoopLog = kShutdownLog + logLine(kShutdownNoLoop);

std::pair<int32, int32> audioBuses(ProcessorInstance& p)
{
    return {p.component->getBusCount(kAudio, kInput), p.component->getBusCount(kAudio, kOutput)};
}
const std::pair<int32, int32> kNoBuses{0, 0}, kOneBusEachWay{1, 1};

class ProcessorTest : public ::testing::Test
{
protected:
    void SetUp() override { removeLog(); }

    PluginModule module;
    IPtr<IPluginFactory> factory = module.factory();
    ProcessorInstance proc{*factory};
};

TEST_F(ProcessorTest, BusesWhileInitialized)
{
    EXPECT_EQ(audioBuses(proc), kNoBuses);
    ASSERT_EQ(proc.initialize(), kResultOk);
    EXPECT_EQ(audioBuses(proc), kOneBusEachWay);
    for (BusDirection dir : {kInput, kOutput})
    {
        BusInfo info{};
        ASSERT_EQ(proc.component->getBusInfo(kAudio, dir, 0, info), kResultOk);
        EXPECT_EQ(std::u16string(info.name), dir == kInput ? u"PipeWire In" : u"PipeWire Out");
        EXPECT_EQ(info.busType, kMain);
        EXPECT_EQ(info.flags, uint32(BusInfo::kDefaultActive));
        EXPECT_EQ(info.channelCount, 2);
        EXPECT_EQ(proc.component->getBusCount(kEvent, dir), 0);
        SpeakerArrangement arr = 0;
        EXPECT_EQ(proc.processor->getBusArrangement(dir, 0, arr), kResultTrue);
        EXPECT_EQ(arr, SpeakerArr::kStereo);
    }
}

TEST_F(ProcessorTest, SetBusArrangements)
{
    using Arr = std::vector<SpeakerArrangement>;
    const SpeakerArrangement LR = SpeakerArr::kStereo, surround = SpeakerArr::kStereoSurround;
    const struct
    {
        Arr ins, outs;
        bool accepted;
    } cases[] = {
        {{LR}, {LR}, true},
        {{SpeakerArr::kMono}, {SpeakerArr::kMono}, true},
        {{LR}, {surround}, true},
        {{SpeakerArr::kEmpty}, {SpeakerArr::kEmpty}, true},
        {{SpeakerArr::k51}, {SpeakerArr::k51}, true},
        {{LR}, {SpeakerArr::kMono}, false},
        {{LR, LR}, {LR}, false},
        {{}, {LR}, false},
        {{LR}, {LR, LR}, false},
        {{LR}, {}, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        ProcessorInstance p{*factory};
        ASSERT_EQ(p.initialize(), kResultOk);
        Arr ins = c.ins, outs = c.outs;
        EXPECT_EQ(p.processor->setBusArrangements(ins.data(), int32(ins.size()), outs.data(),
                                                  int32(outs.size())),
                  c.accepted ? kResultOk : kResultFalse);
        SpeakerArrangement in = 0, out = 0;
        p.processor->getBusArrangement(kInput, 0, in);
        p.processor->getBusArrangement(kOutput, 0, out);
        EXPECT_EQ(in, c.accepted ? ins[0] : LR);
        EXPECT_EQ(out, c.accepted ? outs[0] : LR);
    }

    EXPECT_EQ(proc.setArrangement(LR, LR), kResultFalse);
    ASSERT_EQ(proc.initialize(), kResultOk);
    ASSERT_EQ(proc.terminate(), kResultOk);
    EXPECT_EQ(proc.setArrangement(LR, LR), kResultFalse);
}

TEST_F(ProcessorTest, FixedAnswers)
{
    ASSERT_EQ(proc.initialize(), kResultOk);
    EXPECT_EQ(proc.processor->canProcessSampleSize(kSample32), kResultTrue);
    EXPECT_EQ(proc.processor->canProcessSampleSize(kSample64), kResultFalse);
    EXPECT_EQ(proc.processor->canProcessSampleSize(7), kResultFalse);
    ProcessSetup setup{kRealtime, kSample64, 512, 48000.0};
    EXPECT_NE(proc.processor->setupProcessing(setup), kResultOk);

    EXPECT_EQ(proc.processor->getLatencySamples(), 0u);
    EXPECT_EQ(proc.processor->getTailSamples(), 0u);
    EXPECT_EQ(proc.processor->setProcessing(true), kNotImplemented);
    EXPECT_EQ(proc.component->setActive(true), kResultOk);
    FUnknownPtr<IProcessContextRequirements> requirements(proc.processor);
    ASSERT_TRUE(requirements);
    EXPECT_EQ(requirements->getProcessContextRequirements(), 0u);

    // No settings: the state is empty, and any stream (or none) is accepted.
    EXPECT_EQ(proc.component->setState(nullptr), kResultOk);
    EXPECT_EQ(proc.component->getState(nullptr), kResultOk);
    auto stream = owned(new MemoryStream);
    EXPECT_EQ(proc.component->getState(stream), kResultOk);
    EXPECT_EQ(stream->getSize(), 0);
    EXPECT_EQ(proc.component->setState(stream), kResultOk);
}

TEST_F(ProcessorTest, Lifecycle)
{
    ASSERT_EQ(proc.initialize(), kResultOk);
    EXPECT_EQ(proc.initialize(), kResultFalse);
    EXPECT_EQ(audioBuses(proc), kOneBusEachWay);
    EXPECT_EQ(proc.terminate(), kResultOk);
    EXPECT_EQ(audioBuses(proc), kNoBuses);
    ASSERT_EQ(proc.initialize(), kResultOk);
    EXPECT_EQ(audioBuses(proc), kOneBusEachWay);

    // A null context does not make the base refuse a second call by itself.
    ProcessorInstance bare{*factory};
    ASSERT_EQ(bare.component->initialize(nullptr), kResultOk);
    EXPECT_EQ(bare.component->initialize(nullptr), kResultFalse);
    EXPECT_EQ(audioBuses(bare), kOneBusEachWay);
}

TEST_F(ProcessorTest, LogWithoutServer)
{
    ASSERT_EQ(proc.initialize(), kResultOk);
    EXPECT_EQ(readLog(), kSetupLog);
    ASSERT_EQ(proc.terminate(), kResultOk);
    EXPECT_EQ(readLog(), kSetupLog + kShutdownLog);
    // Terminate closed the log, so the destructor's teardown starts a new one.
    proc.release();
    EXPECT_EQ(readLog(), kNoLoopLog);
}

TEST_F(ProcessorTest, ReleaseTearsDown)
{
    proc.release();
    EXPECT_EQ(readLog(), kNoLoopLog);

    removeLog();
    ProcessorInstance initialized{*factory};
    ASSERT_EQ(initialized.initialize(), kResultOk);
    initialized.release();
    EXPECT_EQ(readLog(), kSetupLog + kShutdownLog);
}

TEST_F(ProcessorTest, ProcessWithoutServerIsSilent)
{
    ASSERT_EQ(proc.initialize(), kResultOk);
    ASSERT_EQ(proc.setup(48000.0, 64), kResultOk);
    for (int32 channels : {1, 2, 4})
    {
        ProcessBlock block(channels, 64);
        EXPECT_EQ(block.run(*proc.processor), kResultOk) << channels;
        EXPECT_TRUE(block.silent()) << channels;
        for (int32 c = 0; c < 2; ++c)
            for (int32 i = 0; i < 64; ++i)
                ASSERT_EQ(block.inBus.channelBuffers32[c][i], 0.5f);
    }

    ProcessBlock holed(2, 64);
    holed.outBus.channelBuffers32[1] = nullptr;
    EXPECT_EQ(holed.run(*proc.processor), kResultOk);
    EXPECT_EQ(holed.channel(0), std::vector<float>(64, 0.0f));
    EXPECT_EQ(holed.channel(1), std::vector<float>(64, 0.25f));
}

TEST_F(ProcessorTest, ProcessWithNothingToWrite)
{
    ASSERT_EQ(proc.initialize(), kResultOk);
    ASSERT_EQ(proc.setup(48000.0, 64), kResultOk);
    const std::function<void(ProcessBlock&)> cases[] = {
        [](ProcessBlock& b) { b.data.numSamples = 0; },
        [](ProcessBlock& b) { b.data.numOutputs = 0; },
        [](ProcessBlock& b) { b.data.outputs = nullptr; },
        [](ProcessBlock& b) { b.outBus.numChannels = 0; },
        [](ProcessBlock& b) { b.outBus.channelBuffers32 = nullptr; },
    };
    for (const auto& breakBlock : cases)
    {
        SCOPED_TRACE(&breakBlock - cases);
        ProcessBlock block(2, 64);
        breakBlock(block);
        EXPECT_EQ(block.run(*proc.processor), kResultOk);
        for (int32 c = 0; c < 2; ++c)
            EXPECT_EQ(block.channel(c), std::vector<float>(64, 0.25f));
    }
}

} // namespace
