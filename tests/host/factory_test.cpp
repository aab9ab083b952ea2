#include "pluginhost.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace StrovikTest;

namespace {

struct ClassRecord
{
    const uint8* cid;
    const char* category;
    const char* name;
    uint32 classFlags;
    const char* subCategories;
};

const ClassRecord kClasses[] = {
    {kProcessorCid, "Audio Module Class", "Strovik Capture", 1, "Fx"},
    {kControllerCid, "Component Controller Class", "Strovik Capture Controller", 0, ""},
};

// The UTF-16 records must carry the same ASCII text as the 8-bit ones.
std::string narrow(const char16* text)
{
    std::string out;
    for (; *text; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
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
    for (int32 i = 0; i < 2; ++i)
    {
        SCOPED_TRACE(i);
        const ClassRecord& want = kClasses[i];
        PClassInfo2 a{};
        PClassInfoW w{};
        ASSERT_EQ(factory2->getClassInfo2(i, &a), kResultOk);
        ASSERT_EQ(factory3->getClassInfoUnicode(i, &w), kResultOk);
        EXPECT_EQ(std::memcmp(a.cid, want.cid, 16), 0);
        EXPECT_EQ(std::memcmp(w.cid, want.cid, 16), 0);
        EXPECT_EQ(a.cardinality, 0x7FFFFFFF);
        EXPECT_EQ(w.cardinality, 0x7FFFFFFF);
        EXPECT_STREQ(a.category, want.category);
        EXPECT_STREQ(w.category, want.category);
        EXPECT_STREQ(a.name, want.name);
        EXPECT_EQ(narrow(w.name), want.name);
        EXPECT_EQ(a.classFlags, want.classFlags);
        EXPECT_EQ(w.classFlags, want.classFlags);
        EXPECT_STREQ(a.subCategories, want.subCategories);
        EXPECT_STREQ(w.subCategories, want.subCategories);
        EXPECT_STREQ(a.vendor, "");
        EXPECT_EQ(narrow(w.vendor), "");
        EXPECT_STREQ(a.version, "1.2.0");
        EXPECT_EQ(narrow(w.version), "1.2.0");
        EXPECT_STREQ(a.sdkVersion, kVstVersionString);
        EXPECT_EQ(narrow(w.sdkVersion), kVstVersionString);
    }
    PClassInfo2 a{};
    PClassInfoW w{};
    for (int32 bad : {2, -1})
    {
        EXPECT_EQ(factory2->getClassInfo2(bad, &a), kInvalidArgument) << bad;
        EXPECT_EQ(factory3->getClassInfoUnicode(bad, &w), kInvalidArgument) << bad;
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
        {kProcessorCid, IComponent::iid, true},
        {kProcessorCid, IAudioProcessor::iid, true},
        {kControllerCid, IEditController::iid, true},
        {kControllerCid, IAudioProcessor::iid, false},
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
