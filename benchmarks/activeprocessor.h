#pragma once

// A processor linked directly and brought as far as a host brings one
// before its first process call: initialized (reaching whatever server this
// process's environment names), set up for 32-bit real-time processing and
// active. Taken down again the way a host does.

#include "strovikprocessor.h"

namespace Strovik::Bench {

class ActiveProcessor
{
public:
    ActiveProcessor(Steinberg::int32 maxBlock, double sampleRate) : processor(new StrovikProcessor)
    {
        using namespace Steinberg::Vst;
        processor->initialize(nullptr);
        ProcessSetup setup{kRealtime, kSample32, maxBlock, sampleRate};
        processor->setupProcessing(setup);
        processor->setActive(true);
    }
    ~ActiveProcessor()
    {
        processor->setActive(false);
        processor->terminate();
        processor->release();
    }
    ActiveProcessor(const ActiveProcessor&) = delete;
    ActiveProcessor& operator=(const ActiveProcessor&) = delete;

    StrovikProcessor& operator*() { return *processor; }

private:
    StrovikProcessor* processor;
};

} // namespace Strovik::Bench
