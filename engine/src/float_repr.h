// repr of a Python float, computed without the interpreter: the masking
// strategies hash and parse this text, so it must read exactly as Python
// prints the same value. Shared by the Python binding (for exact floats) and
// the Arrow binding (for values read from buffers).
#pragma once

#include "common.h"

namespace morvo {

// repr(value) of a Python float.
Text floatRepr(double value);

}  // namespace morvo
