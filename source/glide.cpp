#include "glide.h"

#include <algorithm>

namespace Strovik {

double Glide::advance(uint32_t frames, double rate, double mostPace)
{
    if (remaining == 0.0 && currentPace == 0.0)
        return 0.0;
    const double wanted = std::clamp(remaining / (kTailSeconds * rate), -mostPace, mostPace);
    const double change = kPaceChangePerSecond * frames / rate;
    currentPace = std::clamp(wanted, currentPace - change, currentPace + change);
    const double step = currentPace * frames;
    remaining -= step;
    return step;
}

} // namespace Strovik
