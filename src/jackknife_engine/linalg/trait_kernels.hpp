// Kernels of the per-trait quantities of the pair estimation. The traits are
// the lanes: y holds, for observation j, the values of all traits as doubles
// at y[j * lanes + i] (lanes a multiple of 8, unused lanes 0). Every (record,
// trait) or (row, trait) sum runs over j in increasing order from 0.0, so
// each lane is exactly the sequential sum of its own definition.
#pragma once

namespace minque {

// For each record r (values R_r[0..n-1]) and trait lane i:
//   A[r * lanes + i] = sum_j double(R_r[j]) * y_i[j]
//   P[r * lanes + i] = sum_j double(float(R_r[j] * y_i[j]))
void traitRecordProducts(const float* const* records, int recordCount, int n, const double* y, int lanes, double* A,
                         double* P);

// For each row q (values Q_q[0..n-1]) and trait lane i:
//   out[q * lanes + i] = sum_j y_i[j] * double(Q_q[j])
void traitRowProducts(const float* const* rows, int rowCount, int n, const double* y, int lanes, double* out);

}  // namespace minque
