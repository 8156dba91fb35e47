// Refusing vectors and queries that hold NaN or an infinity.
//
// No distance of such a vector is meaningful (cosine even comes out as 0, an exact
// match, for a stored NaN vector), and a stored one would keep spoiling searches and
// quantizer training until it is deleted. So they are refused where they enter: every
// write and every query checks its vectors before anything is logged or searched.
#pragma once

#include <span>

#include "db/vector_batch.h"
#include "util/error.h"

namespace dralm {

// InvalidVector naming the first non-finite element, or success.
Status check_finite(std::span<const float> vector);
// The same over every row of a batch; the message names the row too.
Status check_finite(const VectorBatch& vectors);

}  // namespace dralm
