#include "pluginhost.h"
#include "version.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Strovik::Test;

namespace {

// One class record as a line of text, so that the 8-bit and the UTF-16 form
// of it are compared field for field against the same expectation.
template <typename Info> std::string describe(const Info& info)
{
    auto text = [](const auto* s) {
        std::string out;
        for (; *s; ++s)
            out += *s < 0x80 ? static_cast<char>(*s) : '?';
        return out;
    };
    std::string cid;
    for (unsigned char byte : info.cid)
        cid += std::to_string(byte) + ".";
    return cid + "|" + std::to_string(info.cardinality) + "|" + text(info.category) + "|" +
           text(info.name) + "|" + std::to_string(info.classFlags) + "|" +
           text(info.subCategories) + "|" + text(info.vendor) + "|" + text(info.version) + "|" +
           text(info.sdkVersion);
}

class FactoryTest : public ::testing::Test
{
protected:
    PluginModule module;
    IPtr<IPluginFactory> factory = module.factory();
};

TEST_F(FactoryTest, FactoryInfo)
{
    PFactoryInfo info{};
    ASSERT_EQ(factory->getFactoryInfo(&info), kResultOk);
    EXPECT_STREQ(info.vendor, "Strovik");
    EXPECT_NE(info.url[0], '\0');
    EXPECT_EQ(std::strncmp(info.email, "mailto:", 7), 0) << info.email;
    EXPECT_GT(std::strlen(info.email), 7u);
    EXPECT_EQ(info.flags, PFactoryInfo::kUnicode);
}

TEST_F(FactoryTest, ClassRecordsInBothEncodings)
{
    FUnknownPtr<IPluginFactory2> factory2(factory);
    FUnknownPtr<IPluginFactory3> factory3(factory);
    ASSERT_TRUE(factory2 && factory3);
    ASSERT_EQ(factory->countClasses(), 2);
    const PClassInfo2 expected[] = {
        {reinterpret_cast<const char*>(kProcessorCid), 0x7FFFFFFF, "Audio Module Class",
         "Strovik Capture", 1, "Fx", "", STROVIK_VERSION_STR, kVstVersionString},
        {reinterpret_cast<const char*>(kControllerCid), 0x7FFFFFFF, "Component Controller Class",
         "Strovik Capture Controller", 0, "", "", STROVIK_VERSION_STR, kVstVersionString},
    };
    for (int32 i = 0; i < 2; ++i)
    {
        PClassInfo2 info8{};
        PClassInfoW info16{};
        ASSERT_EQ(factory2->getClassInfo2(i, &info8), kResultOk);
        ASSERT_EQ(factory3->getClassInfoUnicode(i, &info16), kResultOk);
        EXPECT_EQ(describe(info8), describe(expected[i]));
        EXPECT_EQ(describe(info16), describe(expected[i]));
    }
    PClassInfo2 info8{};
    PClassInfoW info16{};
    for (int32 bad : {2, -1})
    {
        EXPECT_EQ(factory2->getClassInfo2(bad, &info8), kInvalidArgument) << bad;
        EXPECT_EQ(factory3->getClassInfoUnicode(bad, &info16), kInvalidArgument) << bad;
    }
    EXPECT_EQ(factory2->getClassInfo2(0, nullptr), kInvalidArgument);
    EXPECT_EQ(factory3->getClassInfoUnicode(0, nullptr), kInvalidArgument);
}

TEST_F(FactoryTest, SharedUntilReleasedThenRebuilt)
{
    IPtr<IPluginFactory> again = module.factory();
    EXPECT_EQ(again.get(), factory.get());
    again = nullptr;
    factory = nullptr;

    factory = module.factory();
    ASSERT_TRUE(factory);
    ASSERT_EQ(factory->countClasses(), 2);
    PClassInfo info{};
    ASSERT_EQ(factory->getClassInfo(0, &info), kResultOk);
    EXPECT_EQ(std::memcmp(info.cid, kProcessorCid, 16), 0);
    ASSERT_EQ(factory->getClassInfo(1, &info), kResultOk);
    EXPECT_EQ(std::memcmp(info.cid, kControllerCid, 16), 0);
}

TEST_F(FactoryTest, CreateInstanceMatrix)
{
    const uint8 unknownCid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const struct
    {
        const uint8* cid;
        FIDString iid;
        bool created;
    } cases[] = {
        {kProcessorCid, IComponent::iid, true},       {kProcessorCid, IAudioProcessor::iid, true},
        {kControllerCid, IEditController::iid, true}, {kControllerCid, IAudioProcessor::iid, false},
        {unknownCid, IComponent::iid, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        void* object = reinterpret_cast<void*>(1);
        const tresult result = factory->createInstance(cidString(c.cid), c.iid, &object);
        if (!c.created)
        {
            EXPECT_EQ(result, kNoInterface);
            EXPECT_EQ(object, nullptr);
            continue;
        }
        ASSERT_EQ(result, kResultOk);
        ASSERT_NE(object, nullptr);
        // Every interface asked for here derives from FUnknown first.
        auto* unknown = static_cast<FUnknown*>(object);
        if (c.iid == IComponent::iid)
        {
            TUID controller{};
            EXPECT_EQ(static_cast<IComponent*>(object)->getControllerClassId(controller),
                      kResultOk);
            EXPECT_EQ(std::memcmp(controller, kControllerCid, 16), 0);
        }
        unknown->release();
    }
}

TEST_F(FactoryTest, ModuleEntryAndExitAreCounted)
{
    // The fixture's module already entered once.
    EXPECT_TRUE(module.moduleEntry());
    EXPECT_TRUE(module.moduleExit());
    EXPECT_TRUE(module.moduleExit());
    EXPECT_FALSE(module.moduleExit());
    // The failed exit still counted down (to -1): two entries bring the count
    // back to one, for the exit in the fixture's destructor.
    EXPECT_TRUE(module.moduleEntry());
    EXPECT_TRUE(module.moduleEntry());
}

} // namespace
