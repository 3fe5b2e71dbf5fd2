// The names of the settings the driver stores, in its order of saving (value number n in the
// registry target's encoding).
#pragma once

constexpr unsigned kStoredSettingCount = 24;
constexpr const char* kStoredSettingNames[kStoredSettingCount] = {
    "Timeout",      "Exposure",        "GlobalGain", "FlipH",    "FlipV",      "ColorEnable",
    "WhiteBalance", "ColorCorrection", "Brightness", "Contrast", "Saturation", "Hue",
    "RedGain",      "GreenGain",       "BlueGain",   "AGC",      "AEC",        "Clock",
    "ExTrigger",    "SubSample",       "RoiX",       "RoiY",     "RoiW",       "RoiH",
};
