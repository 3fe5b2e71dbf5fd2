// Single-precision sine and cosine for the hue rotation. The kernel has no maths library,
// and the host's own sinf/cosf are not the arithmetic the pipeline is defined by: these give
// the double-precision value rounded once to single, for any |x| below 2^26 (every hue
// angle a 32-bit setting can produce).
#pragma once

float RoundedSine(float x);
float RoundedCosine(float x);
