// Port numbers given as text.
//
// atoiSaturated reads a decimal number the way atoi does (leading white
// space, an optional sign, digits up to the first other character, no
// digits gives 0) but never overflows: a value beyond the int range stops
// at INT_MAX or INT_MIN, so a range check after it cannot be fooled by a
// number that wraps into range.
#pragma once

long atoiSaturated(const char* text);
