#include "distance/blas_gemm.h"

#include <cassert>
#include <cstdint>

#ifdef DRALM_HAVE_BLAS
#include <cblas.h>

#include <mutex>
#endif

namespace dralm {

void gemm_dots(const float* queries, size_t query_count, const float* rows, size_t row_count,
               size_t dim, float* out) {
#ifdef DRALM_HAVE_BLAS
  assert(query_count <= INT32_MAX && row_count <= INT32_MAX && dim <= INT32_MAX);
  // OpenBLAS starts a thread per processor; with the pool's workers calling it at the same
  // time those would only compete for the same cores.
  static std::once_flag one_thread;
  std::call_once(one_thread, [] { scipy_openblas_set_num_threads(1); });
  const auto m = static_cast<blasint>(query_count);
  const auto n = static_cast<blasint>(row_count);
  const auto k = static_cast<blasint>(dim);
  // Row-major Q (m x k) times the transpose of X (n x k): out is m x n.
  scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, m, n, k, 1.0f, queries, k, rows, k,
                    0.0f, out, n);
#else
  (void)queries, (void)query_count, (void)rows, (void)row_count, (void)dim, (void)out;
  assert(false && "gemm_dots without a BLAS");
#endif
}

}  // namespace dralm
