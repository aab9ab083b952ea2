#pragma once

// Draws a WAV file's spectrogram into a PNG with sox (Debian package sox).

#include <string>

namespace Strovik::Probe {

// Empty on success, otherwise what went wrong, for the user.
std::string drawSpectrogram(const std::string& wavPath, const std::string& pngPath);

} // namespace Strovik::Probe
