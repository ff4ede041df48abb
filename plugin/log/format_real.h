// The framework's own formatting of real numbers for the logs: six significant
// digits, fixed notation for magnitudes 0.01 to 9999.99, scientific otherwise.
// Other tools parse these logs, so the exact texts matter, including the odd
// ones: the rounding term is added before the digits are taken, so 9999.996
// gives "10000.00" and 99999.99 gives "10.00000e+4" (a leading digit of 10).
//
// Written once as a template on the arithmetic type so that the long double
// (80-bit on x86 Linux) and the double route (where long double is 64-bit, as
// on Windows x64) can both be checked against the same table.
#pragma once

#include <cmath>
#include <cstdint>

namespace logtext {

// Room for the counted result: the length byte, at most 13 characters and a
// terminating NUL, with margin.
inline constexpr int kRealTextSize = 24;

// Writes the counted text of `value` into `out` (length byte first) and puts a
// NUL after the characters.
template <typename Real>
void FormatRealAs(float value, char* out) {
  char* text = out + 1;
  int n = 0;
  Real x = value;
  if (x == 0 || std::isnan(value)) {
    text[n++] = '0';
    text[n++] = '.';
    text[n++] = '0';
    out[0] = static_cast<char>(n);
    text[n] = '\0';
    return;
  }
  if (x < 0) {
    text[n++] = '-';
    x = -x;
  }
  if (std::isinf(value)) {
    // No digits to take; the exponent below would be meaningless.
    text[n++] = 'i';
    text[n++] = 'n';
    text[n++] = 'f';
    out[0] = static_cast<char>(n);
    text[n] = '\0';
    return;
  }
  // The powers of ten are e^(k x L) with L = ln 10 rounded to single precision.
  // They are slightly off true powers of ten, and the texts depend on that.
  const Real kLn10 = static_cast<Real>(static_cast<float>(2.302585092994045684L));
  auto power_of_ten = [&](int k) { return std::exp(static_cast<Real>(k) * kLn10); };

  // The exponent is the true base-10 logarithm, truncated toward zero. log10
  // rather than the quotient of two natural logarithms: in double precision that
  // quotient lands just below the integer for 1000, 1e6 and 1e9 (and would print
  // 1000 as "1000.000"); in extended precision both agree for every float.
  const int e = static_cast<int>(std::trunc(std::log10(x)));

  Real m = (x + 5 * power_of_ten(e - 6)) / power_of_ten(e);

  // Appends the whole part of m as one digit (or "10" when rounding carried
  // into it) and keeps the fraction, scaled for the next digit.
  auto take_digit = [&]() {
    Real whole = std::trunc(m);
    int d = static_cast<int>(whole);
    if (d < 0) d = 0;  // guards only: the arithmetic keeps 0 <= d <= 10
    if (d > 10) d = 10;
    if (d == 10) {
      text[n++] = '1';
      text[n++] = '0';
    } else {
      text[n++] = static_cast<char>('0' + d);
    }
    m = (m - whole) * 10;
  };

  if (e >= -2 && e <= 3) {
    int p = e;
    if (e < 0) {
      m /= power_of_ten(-e);
      p = 0;
    }
    for (int i = 0; i < 6; ++i) {
      take_digit();
      if (p == 0) text[n++] = '.';
      --p;
    }
  } else {
    take_digit();
    text[n++] = '.';
    for (int i = 0; i < 5; ++i) take_digit();
    text[n++] = 'e';
    int exponent = e;
    if (exponent < 0) {
      text[n++] = '-';
      exponent = -exponent;
    } else {
      text[n++] = '+';
    }
    if (exponent > 9) text[n++] = static_cast<char>('0' + exponent / 10 % 10);
    text[n++] = static_cast<char>('0' + exponent % 10);
  }
  out[0] = static_cast<char>(n);
  text[n] = '\0';
}

}  // namespace logtext
