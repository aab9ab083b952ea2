#include "glide.h"

#include <algorithm>

namespace Strovik {

double Glide::advance(uint32_t frames, double rate)
{
    if (remaining == 0.0 && pace == 0.0)
        return 0.0;
    const double wanted = std::clamp(remaining / (kTailSeconds * rate), -kMostPace, kMostPace);
    const double change = kPaceChangePerSecond * frames / rate;
    pace = std::clamp(wanted, pace - change, pace + change);
    const double step = pace * frames;
    remaining -= step;
    return step;
}

} // namespace Strovik
