// Conversions between binary number types, element by element over arrays.
#pragma once

// count elements of type source at src into type target at dst. Answers 0, 7
// (the count then says how many went through) or -1 for a pair not supported.
long qvne__convert_binary(unsigned target, unsigned source, void* dst, const void* src, long* count);

// Real to integer with halves to even; false for NaN and results outside [lo, upper).
bool qvne__round_real_to_integer(double x, double lo, double upper, double* rounded);
