// Range reduction by pi/2 in three parts, then Taylor polynomials in double precision on
// [-pi/4, pi/4], then one rounding to single.
#include "imaging/rounded_trig.h"

#include "platform/platform.h"

namespace {

constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
// pi/2 = kHalfPi1 + kHalfPi2 + kHalfPi3. The first two have 26 significant bits, so their
// products with a quadrant count below 2^27 are exact.
constexpr double kHalfPi1 = 0x1.921fb58p+0;
constexpr double kHalfPi2 = -0x1.dde974p-27;
constexpr double kHalfPi3 = 0x1.1a62633145c07p-54;

// sin(r) and cos(r) for |r| <= pi/4 (a little beyond is fine): the Taylor terms up to r^21
// and r^22 leave a truncation error far below one unit in the last place of a double.
double SinPoly(double r) {
    double r2 = r * r;
    double p = 1.0 / 51090942171709440000.0;   // 1/21!
    p = -1.0 / 121645100408832000.0 + r2 * p;  // -1/19!
    p = 1.0 / 355687428096000.0 + r2 * p;      // 1/17!
    p = -1.0 / 1307674368000.0 + r2 * p;       // -1/15!
    p = 1.0 / 6227020800.0 + r2 * p;           // 1/13!
    p = -1.0 / 39916800.0 + r2 * p;            // -1/11!
    p = 1.0 / 362880.0 + r2 * p;               // 1/9!
    p = -1.0 / 5040.0 + r2 * p;                // -1/7!
    p = 1.0 / 120.0 + r2 * p;                  // 1/5!
    p = -1.0 / 6.0 + r2 * p;                   // -1/3!
    return r + r * (r2 * p);
}

double CosPoly(double r) {
    double r2 = r * r;
    double p = -1.0 / 1124000727777607680000.0;  // -1/22!
    p = 1.0 / 2432902008176640000.0 + r2 * p;    // 1/20!
    p = -1.0 / 6402373705728000.0 + r2 * p;      // -1/18!
    p = 1.0 / 20922789888000.0 + r2 * p;         // 1/16!
    p = -1.0 / 87178291200.0 + r2 * p;           // -1/14!
    p = 1.0 / 479001600.0 + r2 * p;              // 1/12!
    p = -1.0 / 3628800.0 + r2 * p;               // -1/10!
    p = 1.0 / 40320.0 + r2 * p;                  // 1/8!
    p = -1.0 / 720.0 + r2 * p;                   // -1/6!
    p = 1.0 / 24.0 + r2 * p;                     // 1/4!
    return 1.0 - 0.5 * r2 + (r2 * r2) * p;
}

// x = quadrant * pi/2 + *r, quadrant in 0..3.
int Reduce(float x, double* r) {
    double d = x;
    double k = d * kTwoOverPi;
    LONGLONG n = LONGLONG(k >= 0.0 ? k + 0.5 : k - 0.5);
    double fn = double(n);
    *r = ((d - fn * kHalfPi1) - fn * kHalfPi2) - fn * kHalfPi3;
    return int(n & 3);
}

}  // namespace

float RoundedSine(float x) {
    double r;
    switch (Reduce(x, &r)) {
        case 0:
            return float(SinPoly(r));
        case 1:
            return float(CosPoly(r));
        case 2:
            return float(-SinPoly(r));
        default:
            return float(-CosPoly(r));
    }
}

float RoundedCosine(float x) {
    double r;
    switch (Reduce(x, &r)) {
        case 0:
            return float(CosPoly(r));
        case 1:
            return float(-SinPoly(r));
        case 2:
            return float(-CosPoly(r));
        default:
            return float(SinPoly(r));
    }
}
