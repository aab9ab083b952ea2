#pragma once

// What both fuzz targets share: a check that survives NDEBUG, samples as
// bit patterns, a budget that keeps costly shapes rare, and the choice of
// ring sizes.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string_view>

// The fuzz build is optimised with NDEBUG, which would remove assert(); a
// broken invariant must abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                      \
    do                                                                                             \
    {                                                                                              \
        if (!(condition))                                                                          \
        {                                                                                          \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace Strovik::Fuzz {

// The bit pattern of a sample, so that NaNs (payloads included) compare exactly.
inline uint32_t sampleBits(float sample)
{
    uint32_t bits;
    std::memcpy(&bits, &sample, sizeof bits);
    return bits;
}

// Sizing a ring zeroes it, and every buffer of a block is marked and then
// checked: a small ring or block costs microseconds, a one-second ring or a
// block of 2^20 samples per channel hundreds to thousands of them, a 64 MiB
// ring some 20 ms, as much as thousands of ordinary inputs. So the costly
// shapes go only to the inputs whose hash picks them, each at most once per
// input: about one input in 64 may have a ring of up to 1 MiB or a block of
// up to 2^20 samples per channel, one in 1024 a ring of up to 64 MiB.
// Decided by the bytes alone, a saved input replays with the same shapes.
class CostBudget
{
public:
    CostBudget(const uint8_t* data, size_t size)
    {
        // std::hash runs in the C++ library, outside the coverage tracing.
        const size_t hash =
            std::hash<std::string_view>{}({reinterpret_cast<const char*>(data), size});
        largeRing = hugeBlock = hash % 64 == 0;
        largestRing = hash % 1024 == 0;
    }

    bool takeLargeRing() { return take(largeRing); }
    bool takeLargestRing() { return take(largestRing); }
    bool takeHugeBlock() { return take(hugeBlock); }

private:
    static bool take(bool& left)
    {
        const bool granted = left;
        left = false;
        return granted;
    }

    bool largeRing, largestRing, hugeBlock;
};

// The rate a ring is sized for. Tiny rates give rings of a few frames that
// wrap on almost every packet; any 32-bit value gives the products that wrap
// (0, 2^29, above 2^31: no ring at all); the usual ones the sizes hosts ask
// for; the largest allowed is 64 MiB.
inline uint32_t pickRingRate(FuzzedDataProvider& in, CostBudget& budget)
{
    constexpr uint32_t kSmallRateLimit = 8192; // 64 KiB rings
    const int kind = in.ConsumeIntegralInRange<int>(0, 255);
    if (kind < 160)
        return in.ConsumeIntegralInRange<uint32_t>(1, 64);
    if (kind < 216)
        return in.ConsumeIntegralInRange<uint32_t>(65, 1024);
    if (kind < 232)
        return in.ConsumeIntegralInRange<uint32_t>(1025, kSmallRateLimit);
    if (kind < 248)
    {
        const uint32_t rate = in.ConsumeIntegral<uint32_t>();
        const uint32_t wanted = rate * 8u; // wrapping, as the ring computes it
        const bool large = wanted > kSmallRateLimit * 8 && wanted <= 0x80000000u;
        return large ? rate % kSmallRateLimit : rate;
    }
    // From a 64 MiB ring on, fill * 100 no longer fits in 32 bits.
    if (kind == 255 && budget.takeLargestRing())
        return in.PickValueInArray({4194304u, 8388607u, 8388608u});
    if (budget.takeLargeRing())
        return in.PickValueInArray({8000u, 44100u, 48000u, 96000u, 131072u});
    return in.ConsumeIntegralInRange<uint32_t>(0, kSmallRateLimit);
}

// Whether a ring of `capacity` bytes is the one resize promises for
// `rate`: room for one second (rate * 8 bytes) and less than two, as a
// power of two, or empty when no such power of two fits in 32 bits.
inline bool capacityMatchesRate(uint32_t capacity, uint32_t rate)
{
    const uint32_t wanted = rate * 8u;
    if (capacity == 0)
        return wanted == 0 || wanted > 0x80000000u;
    const bool powerOfTwo = (capacity & (capacity - 1)) == 0;
    return powerOfTwo && capacity >= wanted && capacity / 2 < wanted;
}

} // namespace Strovik::Fuzz
