// A shared library that is no VST 3 module: it exports neither ModuleEntry
// nor GetPluginFactory.

extern "C" __attribute__((visibility("default"))) int strovikNotAPlugin()
{
    return 42;
}
