#pragma once
// BGRX to NV12 of the same size with the BT.709 matrix in video range (luma 16–235, chroma 16–240),
// chroma as the mean of each 2 × 2 block, in 15-bit fixed point. Written so that the compiler turns each
// row into vector code (a version for AVX2 is picked at run time where the processor has it): at full
// HD it costs a fraction of libswscale's general path, which scales as well and converts through
// intermediate rows.
#include "platform/capture/nv12_converter.hpp"

namespace tavlo {

// Converts rows [firstRow, endRow) of `source` into `target` (both of the same size); `firstRow` is
// even, and so is `endRow` unless it is the picture's height. Slices of distinct rows may run at once.
void convertBgrxToNv12Rows(const BgrxView& source, const Nv12View& target, int32_t firstRow, int32_t endRow);

}  // namespace tavlo
