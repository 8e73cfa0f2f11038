// Decimal text of doubles as Python writes it: repr's shortest form that reads
// back to the same double, and format's "g" with a number of significant
// digits. Independent of the C locale.
#pragma once

#include <string>

namespace lexispan {

// Appends repr(x): the shortest digits that read back to x, in positional
// notation for 1e-4 <= |x| < 1e16 (with ".0" when whole), else as d.ddde+XX;
// "nan", "inf", "-inf", "-0.0".
void append_repr(std::string& out, double x);

// Appends format(x, ".{digits}g") for 1 <= digits <= 17, except that a value
// below 1e16 in magnitude with more integer digits than `digits` is written
// without an exponent (4.057e+04 as 40570).
void append_significant(std::string& out, double x, int digits);

}  // namespace lexispan
