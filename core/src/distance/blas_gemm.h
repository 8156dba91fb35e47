// Dot products of a block of queries with a block of rows as one matrix product, through
// the BLAS the build linked (cmake/blas.cmake). Builds without a BLAS have only the
// per-pair and per-query kernels, and kHaveBlas is false.
#pragma once

#include <cstddef>

namespace dralm {

#ifdef DRALM_HAVE_BLAS
inline constexpr bool kHaveBlas = true;
#else
inline constexpr bool kHaveBlas = false;
#endif

// out[i * row_count + j] = the dot product of query i and row j, where `queries` holds
// query_count and `rows` row_count consecutive vectors of dim floats. Runs on the calling
// thread only: the BLAS is set to one thread, because the callers already spread blocks
// of queries over the worker pool. Requires kHaveBlas, counts and dim below 2^31.
void gemm_dots(const float* queries, size_t query_count, const float* rows, size_t row_count,
               size_t dim, float* out);

}  // namespace dralm
