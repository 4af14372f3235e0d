// Generalized inverse of a symmetric matrix through its singular value
// decomposition (Golub-Reinsch: Householder bidiagonalisation, accumulated
// transformations, implicitly shifted QR sweeps, at most 30 per value).
//
// On return a[1..n][1..n] holds V diag(w) V', both triangles bit-identical,
// with w[i] = 1 / sigma_i for sigma_i > 1e-6 (absolute) and 0 otherwise: the
// Moore-Penrose inverse of the symmetric positive semi-definite matrices it is
// given, rank deficiency absorbed. v receives the right singular vectors (one
// per column), w the thresholded reciprocals, e[1..n] is scratch.
//
// Arithmetic: arrays are float; the scalars of the method are double; an inner
// product of two stored vectors multiplies in single precision and sums in
// double; the norm estimate is a float. Non-convergence ends the run through
// fatalError("No convergence in 30 SVDCMP iterations").
#pragma once

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque {

void svdGinverse(const FloatMatrix& a, const FloatVector& w, const FloatMatrix& v, int n, const FloatVector& e);

// The analysis' use: a = equationMatrix, w = workVector, e = longWorkVector.
void svdGinverse(AnalysisState& state, const FloatMatrix& v, int n);

namespace svd_detail {
// Plane rotation (c, s) that takes (f, h) to (r, 0) with r = hyp(f, h). A zero
// hypotenuse (both operands zero, or too small to register in single
// precision) gives the identity rotation (1, 0) instead of a division by zero.
void rotationFromHyp(double f, double h, double r, double* c, double* s);
double hyp(double a, double b);
}  // namespace svd_detail

}  // namespace minque
