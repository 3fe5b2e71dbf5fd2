// The hue rotation's sine and cosine against the double-precision functions rounded once.
// (The host's own single-precision functions are off by one unit at several whole-degree
// hues, so they are not the yardstick.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "imaging/rounded_trig.h"

namespace {

uint32_t Bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

void ExpectRoundedOnce(float x) {
    EXPECT_EQ(Bits(RoundedSine(x)), Bits(float(std::sin(double(x))))) << "sin " << x;
    EXPECT_EQ(Bits(RoundedCosine(x)), Bits(float(std::cos(double(x))))) << "cos " << x;
}

TEST(RoundedTrig, EveryWholeDegreeHueAngle) {
    for (int degrees = -720; degrees <= 720; ++degrees) {
        ExpectRoundedOnce((float(degrees) * 3.14159265358979f) / 180.0f);
    }
}

TEST(RoundedTrig, RandomAnglesOverTheWholeReachableRange) {
    // A 32-bit hue setting gives angles up to about 3.7e7 radians.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> exponent(-30.0, 25.2);
    std::bernoulli_distribution negative(0.5);
    for (int i = 0; i < 400000; ++i) {
        float x = float(std::exp2(exponent(rng)));
        ExpectRoundedOnce(negative(rng) ? -x : x);
        if (HasFailure())
            return;
    }
    for (int32_t hue : {INT32_MIN, INT32_MIN + 1, -1000000, 1000000, INT32_MAX}) {
        ExpectRoundedOnce((float(hue) * 3.14159265358979f) / 180.0f);
    }
}

TEST(RoundedTrig, QuadrantBoundariesAndZero) {
    for (int k = -64; k <= 64; ++k) {
        float x = float(k * 1.5707963267948966);
        ExpectRoundedOnce(x);
        ExpectRoundedOnce(std::nextafter(x, 1e9f));
        ExpectRoundedOnce(std::nextafter(x, -1e9f));
    }
    EXPECT_EQ(Bits(RoundedSine(0.0f)), Bits(0.0f));
    EXPECT_EQ(RoundedCosine(0.0f), 1.0f);
}

}  // namespace
