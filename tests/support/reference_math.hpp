// Independent double-precision computations the tests compare against.
#pragma once

#include <vector>

namespace minque::test {

using DMatrix = std::vector<std::vector<double>>;  // zero-based, square

// Inverse by Gauss-Jordan elimination with partial pivoting.
DMatrix gaussJordanInverse(DMatrix a);

// Moore-Penrose inverse of a symmetric matrix from its eigen-decomposition
// (cyclic Jacobi), eigenvalues with |lambda| <= tol dropped.
DMatrix symmetricPseudoInverse(const DMatrix& a, double tol);

DMatrix multiply(const DMatrix& a, const DMatrix& b);

}  // namespace minque::test
