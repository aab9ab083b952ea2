// strovik-probe: loads the Strovik Capture bundle as a VST 3 host does and
// runs its processor in real time, to check an installation without a DAW.

#include "bundlelocator.h"
#include "capturerun.h"
#include "exitcodes.h"
#include "logreport.h"
#include "options.h"
#include "pluginmodule.h"
#include "pluginreport.h"
#include "processorinstance.h"
#include "spectrogram.h"
#include "stopsignal.h"
#include "summary.h"

#include "pluginterfaces/vst/vstspeaker.h"

#include <cstdlib>
#include <iostream>
#include <memory>
#include <unistd.h>

using namespace Strovik;
using namespace Strovik::Probe;

namespace {

const char* const kProgram = "strovik-probe";

int fail(int code, const std::string& message)
{
    std::cerr << kProgram << ": " << message << "\n";
    return code;
}

// Brings the processor up as a host does before its first process call.
// Empty on success, otherwise which step the plug-in refused.
std::string startProcessor(Hostkit::ProcessorInstance& p, const Options& o)
{
    using namespace Steinberg::Vst;
    if (p.initialize() != Steinberg::kResultOk)
        return "initialize";
    if (p.setArrangement(SpeakerArr::kStereo, SpeakerArr::kStereo) != Steinberg::kResultOk)
        return "setBusArrangements (stereo in, stereo out)";
    if (p.setup(o.rate, o.block) != Steinberg::kResultOk)
        return "setupProcessing/setActive at " + std::to_string(o.rate) + " Hz, block " +
               std::to_string(o.block);
    p.processor->setProcessing(true); // many plug-ins answer "not implemented": no error
    return {};
}

void stopProcessor(Hostkit::ProcessorInstance& p)
{
    p.processor->setProcessing(false);
    p.component->setActive(false);
    p.terminate();
}

int probe(const Options& o)
{
    const LocatedModule located =
        locateModule(o.bundle, installedBundleCandidates(std::getenv("HOME")), STROVIK_BUNDLE_ARCH);
    if (located.status == LocatedModule::Status::missing)
        return fail(kExitNoBundle, located.message);
    if (located.status == LocatedModule::Status::notABundle)
        return fail(kExitNotAModule, located.message);
    std::cout << "Module          " << located.bundle << "\n";
    if (located.library != located.bundle)
        std::cout << "  library       " << located.library << "\n";

    std::unique_ptr<Hostkit::PluginModule> module;
    Steinberg::IPtr<Steinberg::IPluginFactory> rawFactory;
    try
    {
        module = std::make_unique<Hostkit::PluginModule>(located.library);
        rawFactory = module->factory();
    }
    catch (const Hostkit::ModuleError& e)
    {
        return fail(kExitNotAModule,
                    "cannot load " + located.bundle + " as a VST 3 module: " + e.what());
    }
    const VST3::Hosting::PluginFactory factory(rawFactory);
    printFactory(std::cout, factory);

    const auto captureClass = findCaptureClass(factory.classInfos());
    if (!captureClass)
        return fail(kExitNoCaptureClass, located.bundle + " has no \"" + kCaptureClassName +
                                             "\" class of category \"" + kVstAudioEffectClass +
                                             "\"");

    // Opened before the run, so a bad path fails now rather than after it.
    std::unique_ptr<Hostkit::FloatWavWriter> wav;
    try
    {
        wav = std::make_unique<Hostkit::FloatWavWriter>(o.output, 2, o.rate);
    }
    catch (const std::exception& e)
    {
        return fail(kExitOutputFailed, e.what());
    }

    std::unique_ptr<Hostkit::ProcessorInstance> instance;
    try
    {
        instance =
            std::make_unique<Hostkit::ProcessorInstance>(*rawFactory, captureClass->ID().data());
    }
    catch (const std::exception& e)
    {
        return fail(kExitPluginFailed, std::string("cannot create the processor: ") + e.what());
    }
    if (const std::string refused = startProcessor(*instance, o); !refused.empty())
        return fail(kExitPluginFailed, "the processor refused " + refused);

    RunSettings settings{o.seconds, o.rate, o.block, ::isatty(STDOUT_FILENO) == 1};
    std::cout << "\nCapturing " << o.seconds << " s at " << o.rate << " Hz, block " << o.block
              << " (Ctrl-C stops early). Levels: peak/RMS in dBFS.\n"
              << std::flush;
    CaptureAnalysis analysis(2);
    const RunResult run = runCapture(*instance->processor, settings, *wav, analysis, std::cout);

    stopProcessor(*instance);
    // Read between terminate and release: the release's own teardown
    // starts the log afresh.
    const std::string logText = readTextFile(LogText::kPath);
    instance.reset();

    std::string wavPath = o.output;
    std::string wavError;
    try
    {
        wav->finish();
    }
    catch (const std::exception& e)
    {
        wavError = e.what();
        wavPath.clear();
    }
    printSummary(std::cout,
                 {analysis, run, settings, analyzeLog(logText), !logText.empty(), wavPath});
    std::cout << std::flush;
    if (!wavError.empty())
        return fail(kExitOutputFailed, wavError);

    if (!o.spectrogram.empty())
    {
        const std::string why = drawSpectrogram(o.output, o.spectrogram);
        if (!why.empty())
            return fail(kExitSpectrogramFailed, why);
        std::cout << "  spectrogram     " << o.spectrogram << "\n";
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    const ParsedOptions parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty())
        return fail(kExitBadArguments,
                    parsed.error + "\nTry '" + std::string(kProgram) + " --help'.");
    if (parsed.options.help)
    {
        std::cout << usage(kProgram);
        return kExitOk;
    }
    installStopHandlers();
    try
    {
        return probe(parsed.options);
    }
    catch (const std::exception& e)
    {
        // Nothing the plug-in or the system does may end in an abort.
        return fail(kExitPluginFailed, e.what());
    }
}
