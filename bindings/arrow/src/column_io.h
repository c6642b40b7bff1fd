// Arrow columns in and out of the engine's value model: the positions of an
// imported array read as the inputs Python would have given for the same
// values, and outputs written into new Arrow buffers. Runs without the GIL.
#pragma once

#include <span>
#include <stdexcept>

#include "arrow_abi.h"
#include "arrow_data.h"
#include "arrow_type.h"
#include "values.h"

namespace morvo::arrow {

// An array that breaks the interface's rules (missing buffers, offsets out
// of order, malformed UTF-8): the call fails with ValueError.
struct MalformedArray : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads every position of `array` (of `type`, offset and validity honoured)
// into `out`. Floats and decimals are read as numbers only when `numbers` (a
// number masker), as the module reads Python values; otherwise they, like
// anything no strategy reads, are Other.
void readInputs(const ArrowArray& array, const ColumnType& type, bool numbers, Vec<Input>& out);

// The type of the masked column: texts (utf8, or large_utf8 for large_utf8
// input) for the strategies that give texts, else the input's type.
ColumnType outputType(const ColumnType& input, bool givesText);

// Turns every output that the column type cannot hold (an integer beyond its
// width, a decimal beyond its precision or scale) into a fallback, so that
// the Python layer finishes it.
void fitOutputs(const ColumnType& type, std::span<Output> outputs);

// Builds the masked array: answers in place, null for None and both problem
// outcomes. Throws std::overflow_error for texts beyond a utf8 array's 2 GiB.
ArrayPtr writeOutputs(const ColumnType& type, std::span<const Output> outputs);

}  // namespace morvo::arrow
