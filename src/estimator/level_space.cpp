#include "estimator/level_space.hpp"

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/Eigenvalues>
#include <Eigen/OrderingMethods>
#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include "core/fatal_error.hpp"
#include "core/small_counts.hpp"
#include "estimator/chunked_work.hpp"
#include "estimator/dense_kernels.hpp"
#include "estimator/product_blocking.hpp"

namespace minque {

using Dense = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;
using Sparse = Eigen::SparseMatrix<double>;                   // column-major
using SparseRows = Eigen::SparseMatrix<double, Eigen::RowMajor>;
// Data sets laid out by row (an observation's or a level's values of every
// data set together): the sparse products run along contiguous rows.
using Rows = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

namespace {

// Makes a square matrix exactly symmetric: the mean of its two triangles.
void symmetrise(Dense& a) {
    for (Eigen::Index j = 0; j < a.cols(); ++j)
        for (Eigen::Index i = 0; i < j; ++i) a(i, j) = a(j, i) = 0.5 * (a(i, j) + a(j, i));
}

// The eigen-decomposition of a symmetric matrix (n x n, row-major).
Eigen::SelfAdjointEigenSolver<Dense> eigenOf(const std::vector<double>& a, int n) {
    Dense m = Eigen::Map<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>(a.data(), n, n);
    symmetrise(m);
    Eigen::SelfAdjointEigenSolver<Dense> solver(m);
    if (solver.info() != Eigen::Success) stopRun("internal error: the eigen-decomposition of a %d x %d matrix failed", n, n);
    return solver;
}

// The pseudo-inverse of a symmetric matrix (n x n, row-major): eigenvalues at
// or below 1e-10 of the largest in size are taken as 0.
std::vector<double> pseudoInverse(const std::vector<double>& a, int n) {
    std::vector<double> out(static_cast<std::size_t>(n) * static_cast<std::size_t>(n), 0.0);
    if (n == 0) return out;
    const auto solver = eigenOf(a, n);
    const Vector& lambda = solver.eigenvalues();
    const double largest = lambda.cwiseAbs().maxCoeff();
    Dense inverse = Dense::Zero(n, n);
    for (int k = 0; k < n; ++k) {
        if (std::fabs(lambda(k)) <= 1e-10 * largest || lambda(k) == 0.0) continue;
        inverse += solver.eigenvectors().col(k) * solver.eigenvectors().col(k).transpose() / lambda(k);
    }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) out[static_cast<std::size_t>(i) * static_cast<std::size_t>(n) + static_cast<std::size_t>(j)] = inverse(i, j);
    return out;
}

// The factor with the most levels among those whose levels never share an
// observation, that no covariance component joins and that has no
// relationship matrix; -1 when none.
int eliminableFactor(const MinqueDesign& d) {
    const int r = static_cast<int>(d.factors.size());
    std::vector<char> paired(static_cast<std::size_t>(r), 0);
    for (const RelatedFactor& related : d.related)
        if (related.factor >= 0 && related.factor < r) paired[static_cast<std::size_t>(related.factor)] = 1;
    for (const auto& [a, b] : d.covariancePairs) {
        if (a >= 0 && a < r) paired[static_cast<std::size_t>(a)] = 1;
        if (b >= 0 && b < r) paired[static_cast<std::size_t>(b)] = 1;
    }
    int best = -1;
    std::size_t most = 0;
    std::vector<int> levelOf(static_cast<std::size_t>(std::max(d.observations, 0)));
    for (int u = 0; u < r; ++u) {
        const auto& factor = d.factors[static_cast<std::size_t>(u)];
        if (paired[static_cast<std::size_t>(u)] || factor.size() <= most) continue;
        std::fill(levelOf.begin(), levelOf.end(), -1);
        bool apart = true;
        for (std::size_t h = 0; h < factor.size() && apart; ++h)
            for (const auto& [obs, coefficient] : factor[h]) {
                if (obs < 0 || obs >= d.observations) continue;  // the constructor refuses it
                int& seen = levelOf[static_cast<std::size_t>(obs)];
                if (seen >= 0 && seen != static_cast<int>(h)) {
                    apart = false;
                    break;
                }
                seen = static_cast<int>(h);
            }
        if (apart) {
            best = u;
            most = factor.size();
        }
    }
    return best;
}

// Refuses related factors the estimator cannot take: out of range, joined by
// a covariance component, or blocks that are not a partition of the
// factor's levels in K's order.
void checkRelatedFactors(const MinqueDesign& d) {
    const int r = static_cast<int>(d.factors.size());
    std::vector<char> seen(static_cast<std::size_t>(r), 0);
    for (const RelatedFactor& related : d.related) {
        const int u = related.factor;
        if (u < 0 || u >= r || seen[static_cast<std::size_t>(u)] || !related.related)
            stopRun("internal error: a relationship matrix for factor %d of %d", u + 1, r);
        seen[static_cast<std::size_t>(u)] = 1;
        for (const auto& [a, b] : d.covariancePairs)
            if (a == u || b == u) stopRun("internal error: a covariance component joins factor %d, which has a relationship matrix", u + 1);
        const std::size_t q = static_cast<std::size_t>(related.related->order);
        if (related.related->root.size() != q * q) stopRun("internal error: the relationship root of factor %d is not %zu x %zu", u + 1, q, q);
        std::vector<char> covered(d.factors[static_cast<std::size_t>(u)].size(), 0);
        for (const auto& block : related.blocks) {
            if (block.size() != q) stopRun("internal error: a block of factor %d has %zu levels for a relationship of %zu", u + 1, block.size(), q);
            for (int h : block) {
                if (h < 0 || static_cast<std::size_t>(h) >= covered.size() || covered[static_cast<std::size_t>(h)])
                    stopRun("internal error: level %d of factor %d in the relationship's blocks", h + 1, u + 1);
                covered[static_cast<std::size_t>(h)] = 1;
            }
        }
        if (std::find(covered.begin(), covered.end(), 0) != covered.end())
            stopRun("internal error: a level of factor %d is in no block of its relationship", u + 1);
    }
}

}  // namespace

LevelSpaceSize levelSpaceSize(const MinqueDesign& design) {
    LevelSpaceSize size;
    size.eliminatedFactor = eliminableFactor(design);
    std::size_t most = 0;
    double entries = 0.0, m = 0.0;
    for (std::size_t u = 0; u < design.factors.size(); ++u) {
        m += static_cast<double>(design.factors[u].size());
        for (const auto& level : design.factors[u]) entries += static_cast<double>(level.size());
        if (static_cast<int>(u) == size.eliminatedFactor) continue;
        size.denseLevels += static_cast<std::int64_t>(design.factors[u].size());
        if (design.factors[u].size() > most) {
            most = design.factors[u].size();
            size.largestDenseFactor = static_cast<int>(u);
        }
    }
    const double s = static_cast<double>(size.denseLevels), n = design.observations;
    const double p = static_cast<double>(design.fixedColumns.size());
    // The matrix of the dense levels (factored and inverted in place; a
    // second one where the MINQUE matrix needs a product of it with the
    // eliminated levels' rows, or its covariance pairs), the fixed columns'
    // n x p and m x p blocks, the incidences, and a few chunks of kChunk x s
    // per worker.
    const double copies = size.eliminatedFactor >= 0 || !design.covariancePairs.empty() ? 2.0 : 1.0;
    size.bytes = 8.0 * (copies * s * s + (n + 2.0 * m) * (p + 2.0) + 3.0 * kChunk * s * workerThreads()) + 32.0 * entries;
    // With a relationship matrix: its root, and the eliminated levels' rows
    // of C^-1's blocks, dense.
    if (!design.related.empty()) {
        double q2 = 0.0;
        for (const RelatedFactor& related : design.related)
            if (related.related) q2 += static_cast<double>(related.related->order) * related.related->order;
        const double alpha = size.eliminatedFactor >= 0
                                 ? static_cast<double>(design.factors[static_cast<std::size_t>(size.eliminatedFactor)].size())
                                 : 0.0;
        size.bytes += 8.0 * (q2 + 2.0 * alpha * s);
    }
    return size;
}

// The levels in the factor's order: the eliminated factor's (alpha, -1 for
// none) apart, the others' numbered as the dense levels in design order.
struct LevelLayout {
    int alpha = -1, m = 0, mAlpha = 0, s = 0;
    std::vector<int> firstColumn, factorOfColumn, denseIndex, factorOfDense;

    LevelLayout(const MinqueDesign& design, int eliminated) : alpha(eliminated) {
        for (std::size_t u = 0; u < design.factors.size(); ++u) {
            firstColumn.push_back(m);
            for (std::size_t h = 0; h < design.factors[u].size(); ++h, ++m) factorOfColumn.push_back(static_cast<int>(u));
        }
        mAlpha = alpha >= 0 ? static_cast<int>(design.factors[static_cast<std::size_t>(alpha)].size()) : 0;
        s = m - mAlpha;
        denseIndex.assign(static_cast<std::size_t>(m), -1);
        for (int c = 0, next = 0; c < m; ++c)
            if (factorOfColumn[static_cast<std::size_t>(c)] != alpha) {
                denseIndex[static_cast<std::size_t>(c)] = next++;
                factorOfDense.push_back(factorOfColumn[static_cast<std::size_t>(c)]);
            }
    }
};

// A factor of C = Lambda + U'U, Lambda diagonal with one ridge per factor (1
// for MINQUE(0/1); sigma2_e / sigma2_u in Henderson's equations), and of the
// fixed columns absorbed into it: what the projections of data sets and the
// predictions of effects need.
struct LevelFactor {
    Sparse Ua, Ub;      // n x mAlpha, n x s: the incidence of the eliminated and of the dense levels
    // The dense levels of a factor with a relationship matrix, per block in
    // K's order, with K's root L: the dense levels' columns of U are Ub T, T
    // = L on each block and the identity elsewhere.
    struct RootBlock {
        const RelatedLevels* k = nullptr;
        std::vector<int> rows;
    };
    std::vector<RootBlock> roots;
    Vector dInverse;    // mAlpha: 1 / the diagonal of the eliminated levels' block A of C
    SparseRows Y;       // mAlpha x s: A^-1 B, B the block of C between eliminated and dense levels
    Sparse Yt;          // Y'
    Dense Sinv;         // s x s: the inverse of the Schur complement D - B'A^-1 B
    // Where the Schur complement stays sparse (in a multi-environment trial
    // the genotypes meet only through the Env*Rep levels): its sparse
    // Cholesky factor, with a fill-reducing (AMD) ordering, which solves
    // data sets at the cost of its few entries instead of s^2.
    bool sparseSchur = false;
    std::unique_ptr<Eigen::SimplicialLLT<Sparse, Eigen::Lower, Eigen::AMDOrdering<int>>> sparseFactor;
    Sparse X;           // n x p
    Dense W;            // n x p: V^-1 X
    Dense Ga, Gb;       // G = C^-1 U'X, eliminated and dense rows
    Dense Finv;         // F^-, F = X'X - (U'X)'G = X'V^-1 X (p x p)
    Dense Za, Zb;       // G R with R R' = F^-: G F^- G' = Z Z'
    int fixedRank = 0;  // rank of F

    LevelFactor(const MinqueDesign& design, const LevelLayout& layout, const std::vector<double>& ridge);

    // The dense levels' matrix T'(Schur complement)T with the ridge, dense
    // (the complement as built, with the ridge, where no level is related).
    Dense relatedSchur(const Sparse& schurSparse, const LevelLayout& layout, const std::vector<double>& ridge) const;

    // A <- T'A and A <- T A over rows that are the dense levels, a column
    // chunk at a time (fixed chunks: the same sums on any thread count).
    template <class M>
    void rootRows(M& A, bool transposed) const {
        if (roots.empty() || A.cols() == 0) return;  // (Eigen's triangular product reads a first entry even of nothing)
        const auto apply = [&](int first, int last) {
            for (const RootBlock& block : roots) {
                const int q = block.k->order;
                const Eigen::Map<const Dense> L(block.k->root.data(), q, q);
                Dense G(q, last - first);
                for (int g = 0; g < q; ++g) G.row(g) = A.row(block.rows[static_cast<std::size_t>(g)]).segment(first, last - first);
                lowerTimes(L, G, transposed);
                for (int g = 0; g < q; ++g) A.row(block.rows[static_cast<std::size_t>(g)]).segment(first, last - first) = G.row(g);
            }
        };
        if (A.cols() > kChunk) overChunks(static_cast<int>(A.cols()), [&](int, int first, int last) { apply(first, last); });
        else apply(0, static_cast<int>(A.cols()));
    }

    // out -= (the dense levels' columns of U) times B: Ub B, or Ub T B.
    template <class M>
    void subtractDenseColumns(M& out, const M& B) const {
        if (roots.empty()) {
            out.noalias() -= Ub * B;
            return;
        }
        M TB = B;
        rootRows(TB, false);
        out.noalias() -= Ub * TB;
    }

    // Sinv times the columns of `right`; by rows, as (right' Sinv)' (Sinv
    // is symmetric): one product of the column-major views either way.
    void timesSinv(const Dense& right, Dense& Xb) const {
        Xb.resize(Sinv.rows(), right.cols());
        multiplyInto(Sinv, right, Xb, 0.0);
    }
    void timesSinv(const Rows& right, Rows& Xb) const {
        Xb.resize(Sinv.rows(), right.cols());
        const Eigen::Map<const Dense> rightT(right.data(), right.cols(), right.rows());
        Eigen::Map<Dense> XbT(Xb.data(), Xb.cols(), Xb.rows());
        multiplyInto(rightT, Sinv, XbT, 0.0);
    }

    // C^-1 [Ra; Rb] into [Xa; Xb] (M: Dense, or Rows).
    template <class M>
    void solve(const M& Ra, const M& Rb, M& Xa, M& Xb) const {
        const M right = Rb - Yt * Ra;
        if (sparseSchur) Xb = sparseFactor->solve(Dense(right));
        else timesSinv(right, Xb);
        Xa = dInverse.asDiagonal() * Ra;
        Xa.noalias() -= Y * Xb;
    }

    // Q Y and U'Q Y of the columns of Y (n x c): V^-1 Y = Y - U C^-1 U'Y,
    // then Q Y = V^-1 Y - W F^- X'V^-1 Y and U'Q Y = C^-1 U'Y - G F^- X'V^-1 Y
    // (the eliminated levels' rows in Xa, the dense ones in Xb).
    template <class M>
    void project(const Eigen::Ref<const M>& Yc, M& QY, M& Xa, M& Xb) const {
        M Rb = Ub.transpose() * Yc;
        rootRows(Rb, true);
        solve(M(Ua.transpose() * Yc), Rb, Xa, Xb);
        QY = Yc;
        QY.noalias() -= Ua * Xa;
        subtractDenseColumns(QY, Xb);
        const M g = Finv * (X.transpose() * QY);
        QY.noalias() -= W * g;
        Xa.noalias() -= Ga * g;
        Xb.noalias() -= Gb * g;
    }
};

Dense LevelFactor::relatedSchur(const Sparse& schurSparse, const LevelLayout& layout, const std::vector<double>& ridge) const {
    const int s = layout.s;
    const auto ridgeOf = [&](int j) { return ridge[static_cast<std::size_t>(layout.factorOfDense[static_cast<std::size_t>(j)])]; };
    if (roots.empty()) {
        Dense schur = Dense(schurSparse);
        symmetrise(schur);
        return schur;
    }
    // T'(Z'Z - B'A^-1 B)T, then the ridge. Where Z'Z - B'A^-1 B is diagonal
    // (no observation in two dense levels: a related term alone, records of
    // individuals) it is L' D L on each block and D elsewhere: one scaled
    // product on the lower triangle instead of two triangular products of
    // the whole matrix.
    bool diagonal = true;
    Vector d = Vector::Zero(s);
    for (int j = 0; j < s && diagonal; ++j)
        for (Sparse::InnerIterator it(schurSparse, j); it; ++it) {
            if (it.row() == j) d(j) = it.value();
            else if (it.value() != 0.0) diagonal = false;
        }
    Dense schur;
    if (diagonal) {
        schur = Dense::Zero(s, s);
        std::vector<char> inBlock(static_cast<std::size_t>(s), 0);
        for (const RootBlock& block : roots) {
            const int q = block.k->order;
            Vector dBlock(q);
            for (int g = 0; g < q; ++g) {
                const int row = block.rows[static_cast<std::size_t>(g)];
                dBlock(g) = d(row);
                inBlock[static_cast<std::size_t>(row)] = 1;
            }
            const Eigen::Map<const Dense> L(block.k->root.data(), q, q);
            scaledLowerGram(L, dBlock, [&](int i0, int j0, const Dense& part) {
                for (Eigen::Index j = 0; j < part.cols(); ++j)
                    for (Eigen::Index i = 0; i < part.rows(); ++i) {
                        if (i0 + i < j0 + j) continue;
                        const int x = block.rows[static_cast<std::size_t>(i0 + i)], z = block.rows[static_cast<std::size_t>(j0 + j)];
                        schur(x, z) = schur(z, x) = part(i, j);
                    }
            });
        }
        for (int j = 0; j < s; ++j)
            if (!inBlock[static_cast<std::size_t>(j)]) schur(j, j) = d(j);
    } else {
        schur = Dense(schurSparse);
        rootRows(schur, true);
        schur.transposeInPlace();
        rootRows(schur, true);
        symmetrise(schur);
    }
    for (int j = 0; j < s; ++j) schur(j, j) += ridgeOf(j);
    return schur;
}

LevelFactor::LevelFactor(const MinqueDesign& design, const LevelLayout& layout, const std::vector<double>& ridge) {
    fixProductBlocking();
    const int n = design.observations, p = static_cast<int>(design.fixedColumns.size());
    const int r = static_cast<int>(design.factors.size()), mAlpha = layout.mAlpha, s = layout.s;
    std::vector<Eigen::Triplet<double>> a, b, x;
    for (int u = 0; u < r; ++u) {
        const auto& levels = design.factors[static_cast<std::size_t>(u)];
        for (std::size_t h = 0; h < levels.size(); ++h)
            for (const auto& [obs, coefficient] : levels[h]) {
                if (u == layout.alpha) a.emplace_back(obs, static_cast<int>(h), coefficient);
                else b.emplace_back(obs, layout.denseIndex[static_cast<std::size_t>(layout.firstColumn[static_cast<std::size_t>(u)]) + h], coefficient);
            }
    }
    for (int g = 0; g < p; ++g)
        for (int obs : design.fixedColumns[static_cast<std::size_t>(g)]) x.emplace_back(obs, g, 1.0);
    Ua.resize(n, mAlpha);
    Ua.setFromTriplets(a.begin(), a.end());
    Ub.resize(n, s);
    Ub.setFromTriplets(b.begin(), b.end());
    X.resize(n, p);
    X.setFromTriplets(x.begin(), x.end());
    for (const RelatedFactor& related : design.related)
        for (const auto& levelsOfBlock : related.blocks) {
            RootBlock block;
            block.k = related.related.get();
            for (int h : levelsOfBlock)
                block.rows.push_back(layout.denseIndex[static_cast<std::size_t>(layout.firstColumn[static_cast<std::size_t>(related.factor)] + h)]);
            roots.push_back(std::move(block));
        }
    // A = Lambda_a + Ua'Ua is diagonal: no observation has two of its levels.
    dInverse.resize(mAlpha);
    for (int h = 0; h < mAlpha; ++h) {
        double d = ridge[static_cast<std::size_t>(layout.alpha)];
        for (Sparse::InnerIterator it(Ua, h); it; ++it) d += it.value() * it.value();
        dInverse(h) = 1.0 / d;
    }
    // (Without eliminated levels B is empty: Eigen's sparse product is not
    // asked for an empty one, whose work vector it would offset from null.)
    const Sparse B = mAlpha > 0 && s > 0 ? Sparse((Ua.transpose() * Ub).pruned()) : Sparse(mAlpha, s);
    if (roots.empty()) {
        Y = dInverse.asDiagonal() * B;
    } else {
        Dense BT = Dense(B.transpose());
        rootRows(BT, true);
        Y = Dense(dInverse.asDiagonal() * BT.transpose()).sparseView();
    }
    Yt = Y.transpose();
    // The Schur complement Lambda_b + Ub'Ub - B'A^-1 B; its Cholesky factor,
    // sparse where the ordered factor fills at most a fifth of the
    // triangle, else dense (blocked, in place); and its inverse, column
    // chunk by column chunk.
    Sparse ridgeOfDense(s, s);
    if (roots.empty()) {
        std::vector<Eigen::Triplet<double>> diagonal;
        for (int j = 0; j < s; ++j)
            diagonal.emplace_back(j, j, ridge[static_cast<std::size_t>(layout.factorOfDense[static_cast<std::size_t>(j)])]);
        ridgeOfDense.setFromTriplets(diagonal.begin(), diagonal.end());
    }
    // With a relationship matrix: T'(Z'Z - B'A^-1 B)T, dense, then the ridge.
    Sparse schurSparse = roots.empty() ? Sparse(Sparse(Ub.transpose() * Ub) - Sparse(Sparse(B.transpose()) * Sparse(Y)) + ridgeOfDense)
                                       : Sparse(Sparse(Ub.transpose() * Ub) - Sparse(Sparse(B.transpose()) * Sparse(dInverse.asDiagonal() * B)));
    schurSparse.makeCompressed();
    const double triangle = 0.5 * static_cast<double>(s) * (static_cast<double>(s) + 1.0);
    if (s > 0 && roots.empty() && static_cast<double>(schurSparse.nonZeros()) <= 0.2 * 2.0 * triangle) {
        sparseFactor = std::make_unique<Eigen::SimplicialLLT<Sparse, Eigen::Lower, Eigen::AMDOrdering<int>>>();
        sparseFactor->analyzePattern(schurSparse);
        if (static_cast<double>(sparseFactor->matrixL().nestedExpression().nonZeros()) <= 0.2 * triangle) {
            sparseFactor->factorize(schurSparse);
            if (sparseFactor->info() != Eigen::Success)
                stopRun("internal error: the equations of %d random levels are not positive definite", layout.m);
            sparseSchur = true;
        }
    }
    if (sparseSchur) {
        Sinv.resize(s, s);
        overChunks(s, [&](int, int first, int last) {
            Dense identity = Dense::Zero(s, last - first);
            for (int j = first; j < last; ++j) identity(j, j - first) = 1.0;
            Sinv.middleCols(first, last - first) = sparseFactor->solve(identity);
        });
        symmetrise(Sinv);
    } else {
        sparseFactor.reset();
        Dense schur = relatedSchur(schurSparse, layout, ridge);
        schurSparse = Sparse();
        if (!choleskyInPanels(schur)) stopRun("internal error: the equations of %d random levels are not positive definite", layout.m);
        inverseFromCholesky(schur);
        Sinv = std::move(schur);
    }
    // The fixed columns: G = C^-1 U'X, F = X'X - (U'X)'G, W = V^-1 X.
    const Dense UXa = Ua.transpose() * X;
    Dense UXb = Ub.transpose() * X;
    rootRows(UXb, true);
    solve(UXa, UXb, Ga, Gb);
    Dense F = Dense(X.transpose() * X);
    F.noalias() -= UXa.transpose() * Ga;
    F.noalias() -= UXb.transpose() * Gb;
    symmetrise(F);
    W = Dense(X);
    W.noalias() -= Ua * Ga;
    subtractDenseColumns(W, Gb);
    Finv = Dense::Zero(p, p);
    Dense R(p, 0);
    if (p > 0) {
        Eigen::SelfAdjointEigenSolver<Dense> solver(F);
        if (solver.info() != Eigen::Success) stopRun("internal error: the eigen-decomposition of X'V^-1 X failed");
        const Vector& lambda = solver.eigenvalues();
        const double largest = lambda.cwiseAbs().maxCoeff();
        for (int k = 0; k < p; ++k) fixedRank += lambda(k) > 1e-10 * largest ? 1 : 0;
        R.resize(p, fixedRank);
        for (int k = 0, c = 0; k < p; ++k)
            if (lambda(k) > 1e-10 * largest) R.col(c++) = solver.eigenvectors().col(k) / std::sqrt(lambda(k));
        Finv.noalias() = R * R.transpose();
    }
    Za = Ga * R;
    Zb = Gb * R;
}

MinqueProjection::~MinqueProjection() = default;

MinqueProjection::MinqueProjection(const MinqueDesign& design, bool eliminate, const std::function<void()>& checkpoint)
    : design_(design) {
    const CheckpointScope scope(checkpoint);
    n_ = design.observations;
    p_ = static_cast<int>(design.fixedColumns.size());
    const int r = static_cast<int>(design.factors.size());
    const int C = static_cast<int>(design.covariancePairs.size());
    components_ = r + C + 1;
    for (const auto& factor : design.factors)
        for (const auto& level : factor)
            for (const auto& entry : level)
                if (entry.first < 0 || entry.first >= n_) throw std::out_of_range("observation outside the design");
    for (const auto& fixed : design.fixedColumns)
        for (int obs : fixed)
            if (obs < 0 || obs >= n_) throw std::out_of_range("observation outside the design");
    for (const auto& [a, b] : design.covariancePairs)
        if (a < 0 || b < 0 || a >= r || b >= r || a == b || levels(a) != levels(b))
            stopRun("internal error: a covariance component joins factors %d and %d of different levels", a + 1, b + 1);
    checkRelatedFactors(design);
    const LevelLayout layout(design, eliminate ? eliminableFactor(design) : -1);
    alpha_ = layout.alpha;
    m_ = layout.m;
    mAlpha_ = layout.mAlpha;
    s_ = layout.s;
    firstColumn_ = layout.firstColumn;
    factorOfColumn_ = layout.factorOfColumn;
    denseIndex_ = layout.denseIndex;
    factorOfDense_ = layout.factorOfDense;
    try {
        f_ = std::make_unique<LevelFactor>(design, layout, std::vector<double>(static_cast<std::size_t>(r), 1.0));
        fixedRank_ = f_->fixedRank;
        buildMinqueMatrix();
    } catch (const std::bad_alloc&) {
        const LevelSpaceSize size = levelSpaceSize(design);
        stopRun("out of memory setting up the estimation of %d random levels (%lld of them in the dense factor, "
                "about %.1f GB)", m_, static_cast<long long>(size.denseLevels), size.bytes / 1e9);
    }
}

// The MINQUE matrix S from the blocks of M = U'QU (the formulas at the top of
// the header), with the dense levels' block held once and the eliminated
// levels' rows of M formed a chunk at a time. Every chunk's share is kept
// apart and the shares are added in chunk order: the same S on any thread
// count.
//   factor u, factor v:   sum over l in u, l' in v of M[l, l']^2
//   factor u, C(a, b):    2 sum over l in u, h of M[l, a_h] M[l, b_h]
//   C(a, b), C(a2, b2):   2 sum over h, h' of (M[a2_h, a_h'] M[b2_h, b_h'] + M[a2_h, b_h'] M[b2_h, a_h'])
//   C(a, b), residual:    2 sum over h of (M - M^2)[a_h, b_h]
// For the eliminated factor alpha, M_aa = D0 - W W' with D0 = I - A^-1 and
// W = [Y L^-T, Za] (L L' the Schur complement), so that
//   ||M_aa||^2 = sum d0^2 - 2 sum d0_i ||W_i||^2 + tr(Sinv P Sinv P) + 2 tr(E' Sinv E) + ||Za'Za||^2,
// P = Y'Y, E = Y'Za, without forming anything of order mAlpha^2.
void MinqueProjection::buildMinqueMatrix() {
    const LevelFactor& f = *f_;
    const int r = static_cast<int>(design_.factors.size());
    const int C = static_cast<int>(design_.covariancePairs.size());
    const int K = components_;
    std::vector<double> S(static_cast<std::size_t>(K) * static_cast<std::size_t>(K), 0.0);
    auto at = [&](int u, int v) -> double& { return S[static_cast<std::size_t>(u) * static_cast<std::size_t>(K) + static_cast<std::size_t>(v)]; };
    // The paired dense levels of every covariance component: (a_h, b_h).
    std::vector<std::vector<std::pair<int, int>>> paired(static_cast<std::size_t>(C));
    for (int d = 0; d < C; ++d) {
        const auto& [a, b] = design_.covariancePairs[static_cast<std::size_t>(d)];
        for (int h = 0; h < levels(a); ++h)
            paired[static_cast<std::size_t>(d)].emplace_back(
                denseIndex_[static_cast<std::size_t>(firstColumn_[static_cast<std::size_t>(a)] + h)],
                denseIndex_[static_cast<std::size_t>(firstColumn_[static_cast<std::size_t>(b)] + h)]);
    }
    std::vector<double> trM(static_cast<std::size_t>(r), 0.0), squares(static_cast<std::size_t>(C), 0.0);
    double traceH = 0.0;

    // The eliminated levels' rows of M: M_ab = Y Sinv - Za Zb', chunk by chunk.
    if (mAlpha_ > 0) {
        const int chunks = (mAlpha_ + kChunk - 1) / kChunk;
        // Per chunk: r factor sums, C paired sums, sum d0 w, sum w, sum 1/d, sum (Y Sinv Y')_ii.
        const int width = r + C + 4;
        std::vector<double> shares(static_cast<std::size_t>(chunks) * static_cast<std::size_t>(width), 0.0);
        overChunks(mAlpha_, [&](int chunk, int first, int last) {
            double* share = shares.data() + static_cast<std::size_t>(chunk) * static_cast<std::size_t>(width);
            const SparseRows rows = f.Y.middleRows(first, last - first);
            Dense T = rows * f.Sinv;
            for (int i = first; i < last; ++i) {
                double ySy = 0.0;
                for (SparseRows::InnerIterator it(f.Y, i); it; ++it) ySy += it.value() * T(i - first, it.col());
                const double inverse = f.dInverse(i), d0 = 1.0 - inverse, w = ySy + f.Za.row(i).squaredNorm();
                share[r + C] += d0 * w;
                share[r + C + 1] += w;
                share[r + C + 2] += inverse;
                share[r + C + 3] += ySy;
            }
            T.noalias() -= f.Za.middleRows(first, last - first) * f.Zb.transpose();
            for (int j = 0; j < s_; ++j) {
                const double ss = T.col(j).squaredNorm();
                share[factorOfDense_[static_cast<std::size_t>(j)]] += ss;
            }
            for (int d = 0; d < C; ++d)
                for (const auto& [x, z] : paired[static_cast<std::size_t>(d)]) share[r + d] += T.col(x).dot(T.col(z));
        });
        double sumD0W = 0.0, sumW = 0.0, sumInverse = 0.0, sumYSY = 0.0;
        for (int chunk = 0; chunk < chunks; ++chunk) {
            const double* share = shares.data() + static_cast<std::size_t>(chunk) * static_cast<std::size_t>(width);
            for (int v = 0; v < r; ++v)
                if (v != alpha_) at(alpha_, v) += share[v];
            for (int d = 0; d < C; ++d) squares[static_cast<std::size_t>(d)] += share[r + d];
            sumD0W += share[r + C];
            sumW += share[r + C + 1];
            sumInverse += share[r + C + 2];
            sumYSY += share[r + C + 3];
        }
        for (int d = 0; d < C; ++d) at(alpha_, r + d) = 2.0 * squares[static_cast<std::size_t>(d)];
        // ||M_aa||^2 by the expansion above.
        double sumD0Squared = 0.0;
        for (int i = 0; i < mAlpha_; ++i) sumD0Squared += (1.0 - f.dInverse(i)) * (1.0 - f.dInverse(i));
        const Sparse P = f.Yt * Sparse(f.Y);
        const Dense E = f.Yt * f.Za;
        std::vector<double> traceShares(static_cast<std::size_t>((s_ + kChunk - 1) / kChunk), 0.0);
        {
            // tr(Sinv P Sinv P) = sum over i, j of T[i, j] T[j, i], T = Sinv P.
            Dense T(s_, s_);
            overChunks(s_, [&](int, int first, int last) { T.middleCols(first, last - first).noalias() = f.Sinv * P.middleCols(first, last - first); });
            overChunks(s_, [&](int chunk, int first, int last) {
                double sum = 0.0;
                for (int j = first; j < last; ++j) sum += T.col(j).dot(T.row(j));
                traceShares[static_cast<std::size_t>(chunk)] = sum;
            });
        }
        double traceSPSP = 0.0;
        for (double share : traceShares) traceSPSP += share;
        const double gram = traceSPSP + 2.0 * (E.transpose() * f.Sinv * E).trace() + (f.Za.transpose() * f.Za).squaredNorm();
        at(alpha_, alpha_) = sumD0Squared - 2.0 * sumD0W + gram;
        trM[static_cast<std::size_t>(alpha_)] = static_cast<double>(mAlpha_) - sumInverse - sumW;
        traceH += sumInverse + sumYSY;
    }

    // The dense levels' block M_bb = I - Sinv - Zb Zb', a column chunk at a time.
    if (s_ > 0) {
        const int chunks = (s_ + kChunk - 1) / kChunk;
        // Per chunk: r x r factor sums, r x C, C x C, C paired (M^2) sums, r traces, C paired M, trace of Sinv.
        const std::size_t width = static_cast<std::size_t>(r * r + r * C + C * C + C + r + C + 1);
        std::vector<double> shares(static_cast<std::size_t>(chunks) * width, 0.0);
        const auto columnsOfM = [&](int first, int last, Eigen::Ref<Dense> block) {
            block = -f.Sinv.middleCols(first, last - first);
            block.noalias() -= f.Zb * f.Zb.middleRows(first, last - first).transpose();
            for (int j = first; j < last; ++j) block(j, j - first) += 1.0;
        };
        // The whole block where covariance components pair levels across
        // chunks; else each chunk's columns only (s^2 doubles fewer).
        Dense M;
        if (C > 0) {
            M.resize(s_, s_);
            overChunks(s_, [&](int, int first, int last) { columnsOfM(first, last, M.middleCols(first, last - first)); });
        }
        overChunks(s_, [&](int chunk, int first, int last) {
            Dense columns;
            if (C == 0) {
                columns.resize(s_, last - first);
                columnsOfM(first, last, columns);
            }
            const Eigen::Ref<const Dense> chunkOfM = C > 0 ? Eigen::Ref<const Dense>(M.middleCols(first, last - first)) : Eigen::Ref<const Dense>(columns);
            double* share = shares.data() + static_cast<std::size_t>(chunk) * width;
            double* factorSums = share;
            double* factorPairs = share + r * r;
            double* pairPairs = factorPairs + r * C;
            double* pairSquares = pairPairs + C * C;
            double* traces = pairSquares + C;
            double* pairM = traces + r;
            double& traceSinv = pairM[C];
            for (int j = first; j < last; ++j) {
                const int v = factorOfDense_[static_cast<std::size_t>(j)];
                for (int i = 0; i < s_; ++i)
                    factorSums[factorOfDense_[static_cast<std::size_t>(i)] * r + v] += chunkOfM(i, j - first) * chunkOfM(i, j - first);
                traces[v] += chunkOfM(j, j - first);
                traceSinv += f.Sinv(j, j);
            }
            // Covariance components: their paired levels h in this chunk.
            for (int d = 0; d < C; ++d) {
                const auto& levelsOfPair = paired[static_cast<std::size_t>(d)];
                for (std::size_t h = 0; h < levelsOfPair.size(); ++h) {
                    const auto& [x, z] = levelsOfPair[h];
                    if (x < first || x >= last) continue;
                    // Row x and row z of M against every dense level.
                    for (int i = 0; i < s_; ++i)
                        factorPairs[factorOfDense_[static_cast<std::size_t>(i)] * C + d] += M(i, x) * M(i, z);
                    pairSquares[d] += M.col(x).dot(M.col(z));
                    pairM[d] += M(x, z);
                    for (int d2 = 0; d2 < C; ++d2)
                        for (const auto& [x2, z2] : paired[static_cast<std::size_t>(d2)])
                            pairPairs[d2 * C + d] += M(x2, x) * M(z2, z) + M(x2, z) * M(z2, x);
                }
            }
        });
        std::vector<double> pairSquares(static_cast<std::size_t>(C), 0.0), pairM(static_cast<std::size_t>(C), 0.0);
        for (int chunk = 0; chunk < chunks; ++chunk) {
            const double* share = shares.data() + static_cast<std::size_t>(chunk) * width;
            for (int u = 0; u < r; ++u)
                for (int v = 0; v < r; ++v) at(u, v) += share[u * r + v];
            const double* factorPairs = share + r * r;
            for (int u = 0; u < r; ++u)
                for (int d = 0; d < C; ++d) at(u, r + d) += 2.0 * factorPairs[u * C + d];
            const double* pairPairs = factorPairs + r * C;
            for (int d2 = 0; d2 < C; ++d2)
                for (int d = 0; d < C; ++d) at(r + d2, r + d) += 2.0 * pairPairs[d2 * C + d];
            const double* squaresHere = pairPairs + C * C;
            const double* traces = squaresHere + C;
            const double* pairMHere = traces + r;
            for (int d = 0; d < C; ++d) {
                pairSquares[static_cast<std::size_t>(d)] += squaresHere[d];
                pairM[static_cast<std::size_t>(d)] += pairMHere[d];
            }
            for (int u = 0; u < r; ++u) trM[static_cast<std::size_t>(u)] += traces[u];
            traceH += pairMHere[C];
        }
        // C(a, b), residual: 2 sum over h of (M - M^2)[a_h, b_h], M^2 from
        // the eliminated rows (above) and the dense ones.
        for (int d = 0; d < C; ++d)
            at(r + d, K - 1) = 2.0 * (pairM[static_cast<std::size_t>(d)] - pairSquares[static_cast<std::size_t>(d)] -
                                      squares[static_cast<std::size_t>(d)]);
    }
    // Symmetry: the eliminated factor's row holds its sums with the dense
    // factors, the dense block both triangles of theirs.
    if (alpha_ >= 0)
        for (int v = 0; v < r; ++v)
            if (v != alpha_) at(v, alpha_) = at(alpha_, v);
    for (int u = 0; u < r; ++u)
        for (int d = 0; d < C; ++d) at(r + d, u) = at(u, r + d);
    // Factor u, residual: tr(M_uu) - sum over factors v of S_uv.
    double factorTraces = 0.0;
    for (int u = 0; u < r; ++u) {
        double sum = 0.0;
        for (int v = 0; v < r; ++v) sum += at(u, v);
        at(u, K - 1) = trM[static_cast<std::size_t>(u)] - sum;
        factorTraces += at(u, K - 1);
    }
    for (int u = 0; u < K - 1; ++u) at(K - 1, u) = at(u, K - 1);
    // tr(Q) = n - m + tr(C^-1) - rank(F) + ||Z||^2; tr(QQ) = tr(Q) - sum of the factors' residual entries.
    const double traceQ = static_cast<double>(n_) - static_cast<double>(m_) + traceH - static_cast<double>(f.Za.cols()) +
                          f.Za.squaredNorm() + f.Zb.squaredNorm();
    at(K - 1, K - 1) = traceQ - factorTraces;
    sInverse_ = pseudoInverse(S, K);
    S_ = std::move(S);
}

std::vector<std::vector<int>> MinqueProjection::confoundedComponents() const {
    const int K = components_;
    const auto solver = eigenOf(S_, K);
    const Vector& lambda = solver.eigenvalues();
    const Dense& vectors = solver.eigenvectors();
    const double largest = lambda.cwiseAbs().maxCoeff();
    // Components joined by a null vector, merged into sets.
    std::vector<int> setOf(static_cast<std::size_t>(K), -1);
    std::vector<std::vector<int>> sets;
    for (int e = 0; e < K; ++e) {
        if (std::fabs(lambda(e)) > 1e-9 * largest) continue;
        const double size = vectors.col(e).cwiseAbs().maxCoeff();
        std::vector<int> joined;
        for (int k = 0; k < K; ++k)
            if (std::fabs(vectors(k, e)) >= 0.1 * size) joined.push_back(k);
        int into = -1;
        for (int k : joined)
            if (setOf[static_cast<std::size_t>(k)] >= 0) into = setOf[static_cast<std::size_t>(k)];
        if (into < 0) {
            into = static_cast<int>(sets.size());
            sets.emplace_back();
        }
        for (int k : joined) {
            const int was = setOf[static_cast<std::size_t>(k)];
            if (was == into) continue;
            if (was >= 0) {
                // A set met again through another component: merge it in.
                for (int moved : sets[static_cast<std::size_t>(was)]) {
                    setOf[static_cast<std::size_t>(moved)] = into;
                    sets[static_cast<std::size_t>(into)].push_back(moved);
                }
                sets[static_cast<std::size_t>(was)].clear();
                continue;
            }
            setOf[static_cast<std::size_t>(k)] = into;
            sets[static_cast<std::size_t>(into)].push_back(k);
        }
    }
    std::vector<std::vector<int>> confounded;
    for (auto& set : sets)
        if (!set.empty()) {
            std::sort(set.begin(), set.end());
            confounded.push_back(set);
        }
    return confounded;
}

void MinqueProjection::estimateMany(const double* Yptr, int t, int samples, double* theta) const {
    const LevelFactor& f = *f_;
    const int c = t * samples, K = components_, r = static_cast<int>(design_.factors.size());
    const int C = static_cast<int>(design_.covariancePairs.size());
    const std::size_t pairs = static_cast<std::size_t>(t) * static_cast<std::size_t>(t + 1) / 2;
    Rows QY, Xa, Xb;
    f.project<Rows>(Eigen::Map<const Rows>(Yptr, n_, c), QY, Xa, Xb);
    // The quadratic forms of every data set b and pair (i, j): q_k =
    // (U_k'Q y_i)'(U_k'Q y_j), the residual's (Q y_i)'(Q y_j), each summed
    // over its levels (observations) in increasing order, a row at a time.
    // q[(k samples + b) pairs + pairIndex(i, j)]: a row adds to one run of
    // samples x pairs sums.
    const std::size_t run = static_cast<std::size_t>(samples) * pairs;
    std::vector<double> q(static_cast<std::size_t>(K) * run, 0.0);
    auto form = [&](int b, int i, int j, int k) -> double& {
        return q[static_cast<std::size_t>(k) * run + static_cast<std::size_t>(b) * pairs + static_cast<std::size_t>(pairIndex(i, j, t))];
    };
    // x_i x_j (i <= j, in pairIndex order) of each data set, its values side
    // by side in the row x, added to the sums of factor k.
    auto addRow = [&](const double* x, int k) {
        double* sum = q.data() + static_cast<std::size_t>(k) * run;
        withSmallCount(static_cast<std::size_t>(t), [&](auto T) {
            for (int b = 0; b < samples; ++b, x += T)
                for (std::size_t i = 0; i < T; ++i)
                    for (std::size_t j = i; j < T; ++j) *sum++ += x[i] * x[j];
        });
    };
    if (alpha_ >= 0)
        for (Eigen::Index l = 0; l < Xa.rows(); ++l) addRow(Xa.row(l).data(), alpha_);
    for (int l = 0; l < s_; ++l) addRow(Xb.row(l).data(), factorOfDense_[static_cast<std::size_t>(l)]);
    for (int d = 0; d < C; ++d) {
        const auto& [a, bb] = design_.covariancePairs[static_cast<std::size_t>(d)];
        for (int h = 0; h < levels(a); ++h) {
            const double* x = Xb.row(denseIndex_[static_cast<std::size_t>(firstColumn_[static_cast<std::size_t>(a)] + h)]).data();
            const double* z = Xb.row(denseIndex_[static_cast<std::size_t>(firstColumn_[static_cast<std::size_t>(bb)] + h)]).data();
            for (int b = 0; b < samples; ++b)
                for (int i = 0; i < t; ++i)
                    for (int j = i; j < t; ++j) {
                        const int ci = b * t + i, cj = b * t + j;
                        form(b, i, j, r + d) += x[ci] * z[cj] + z[ci] * x[cj];
                    }
        }
    }
    for (int obs = 0; obs < n_; ++obs) addRow(QY.row(obs).data(), K - 1);
    for (int b = 0; b < samples; ++b)
        for (std::size_t pair = 0; pair < pairs; ++pair) {
            const double* qb = q.data() + static_cast<std::size_t>(b) * pairs + pair;
            double* out = theta + static_cast<std::size_t>(b) * static_cast<std::size_t>(K) * pairs;
            for (int k = 0; k < K; ++k) {
                double sum = 0.0;
                for (int v = 0; v < K; ++v)
                    sum += sInverse_[static_cast<std::size_t>(k) * static_cast<std::size_t>(K) + static_cast<std::size_t>(v)] *
                           qb[static_cast<std::size_t>(v) * run];
                out[static_cast<std::size_t>(k) * pairs + pair] = sum;
            }
        }
}

std::vector<double> MinqueProjection::estimate(const std::vector<double>& Y, int t) const {
    std::vector<double> theta(static_cast<std::size_t>(components_) * static_cast<std::size_t>(t) *
                              static_cast<std::size_t>(t + 1) / 2);
    estimateMany(Y.data(), t, 1, theta.data());
    return theta;
}

void MinqueProjection::project(const double* y, double* qy, double* uqy) const {
    const LevelFactor& f = *f_;
    Dense QY, Xa, Xb;
    f.project<Dense>(Eigen::Map<const Dense>(y, n_, 1), QY, Xa, Xb);
    for (int obs = 0; obs < n_; ++obs) qy[obs] = QY(obs, 0);
    for (int c = 0; c < m_; ++c) {
        const int dense = denseIndex_[static_cast<std::size_t>(c)];
        uqy[c] = dense >= 0 ? Xb(dense, 0) : Xa(c - firstColumn_[static_cast<std::size_t>(alpha_)], 0);
    }
}

double positiveSemiDefiniteRoot(const std::vector<double>& a, int n, std::vector<double>& root) {
    root.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(n), 0.0);
    if (n == 0) return 0.0;
    const auto solver = eigenOf(a, n);
    Vector roots(n);
    for (int e = 0; e < n; ++e) {
        const double lambda = solver.eigenvalues()(e);
        roots(e) = std::sqrt(std::max(lambda, 0.0));
    }
    const Dense product = solver.eigenvectors() * roots.asDiagonal() * solver.eigenvectors().transpose();
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            root[static_cast<std::size_t>(i) * static_cast<std::size_t>(n) + static_cast<std::size_t>(j)] = product(i, j);
    return solver.eigenvalues()(0);  // ascending
}

void applyRelationshipRoot(const RelatedFactor& related, double* effects, int columns) {
    if (columns == 0 || related.related->order == 0) return;
    fixProductBlocking();
    const int q = related.related->order;
    const Eigen::Map<const Dense> L(related.related->root.data(), q, q);
    Eigen::Map<Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>> E(
        effects, static_cast<Eigen::Index>(related.blocks.size()) * q, columns);
    Dense G(q, columns);
    for (const auto& block : related.blocks) {
        for (int g = 0; g < q; ++g) G.row(g) = E.row(block[static_cast<std::size_t>(g)]);
        lowerTimes(L, G, false);
        for (int g = 0; g < q; ++g) E.row(block[static_cast<std::size_t>(g)]) = G.row(g);
    }
}

LevelEffects predictLevelEffects(const MinqueDesign& design, const double* y, const std::vector<double>& components,
                                 const std::function<void()>& checkpoint, int entry) {
    const CheckpointScope scope(checkpoint);
    const int r = static_cast<int>(design.factors.size()), n = design.observations;
    if (components.size() != static_cast<std::size_t>(r) + 1 || !design.covariancePairs.empty())
        stopRun("internal error: effects asked for %zu components of %d factors", components.size(), r);
    LevelEffects effects;
    std::size_t m = 0;
    for (const auto& factor : design.factors) m += factor.size();
    effects.values.assign(m, 0.0);
    effects.predictionErrorVariances.assign(m, 0.0);
    // A residual component within rounding of zero (at most 1e-10 of the
    // trait's variance) leaves the trait without predictions, as zero does: a
    // trait constant within the levels of a term has none to shrink.
    const double residual = components.back();
    double variance = 0.0;
    for (double c : components) variance += c > 0.0 ? c : 0.0;
    if (!(residual > 1e-10 * variance)) return effects;
    effects.predicted = true;
    // The equations of the factors with a positive component.
    MinqueDesign kept;
    kept.observations = n;
    kept.fixedColumns = design.fixedColumns;
    std::vector<int> factorOf;
    std::vector<double> ridge;
    for (int u = 0; u < r; ++u)
        if (components[static_cast<std::size_t>(u)] > 0.0) {
            for (const RelatedFactor& related : design.related)
                if (related.factor == u) {
                    kept.related.push_back(related);
                    kept.related.back().factor = static_cast<int>(kept.factors.size());
                }
            kept.factors.push_back(design.factors[static_cast<std::size_t>(u)]);
            factorOf.push_back(u);
            ridge.push_back(residual / components[static_cast<std::size_t>(u)]);
        }
    if (kept.factors.empty()) return effects;
    checkRelatedFactors(kept);
    const LevelLayout layout(kept, eliminableFactor(kept));
    const LevelFactor f(kept, layout, ridge);
    // u = C^-1 U'y - G b, b = F^- (X'y - G'U'y).
    const Eigen::Map<const Vector> yv(y, n);
    const Dense Ra = f.Ua.transpose() * yv;
    Dense Rb = f.Ub.transpose() * yv;
    f.rootRows(Rb, true);
    Dense Xa, Xb;
    f.solve(Ra, Rb, Xa, Xb);
    Dense rhs = f.X.transpose() * yv;
    rhs.noalias() -= f.Ga.transpose() * Ra;
    rhs.noalias() -= f.Gb.transpose() * Rb;
    const Dense b = f.Finv * rhs;
    Xa.noalias() -= f.Ga * b;
    Xb.noalias() -= f.Gb * b;
    {
        const Dense fitted = f.X * b;
        effects.fixedPart.assign(fitted.data(), fitted.data() + n);
    }
    // Related levels: the effects L w of the solution w, and the diagonal of
    // L P L', P = C^-1 + G F^- G' on the block, per dense level.
    std::vector<double> relatedInverse(static_cast<std::size_t>(layout.s), std::nan(""));
    if (!f.roots.empty()) {
        f.rootRows(Xb, false);
        for (const LevelFactor::RootBlock& block : f.roots) {
            const int q = block.k->order;
            Dense P(q, q);
            for (int g = 0; g < q; ++g)
                for (int h = 0; h < q; ++h) {
                    const int x = block.rows[static_cast<std::size_t>(g)], z = block.rows[static_cast<std::size_t>(h)];
                    P(g, h) = f.Sinv(x, z) + f.Zb.row(x).dot(f.Zb.row(z));
                }
            const Eigen::Map<const Dense> L(block.k->root.data(), q, q);
            lowerTimes(L, P, false);
            for (int g = 0; g < q; ++g)
                relatedInverse[static_cast<std::size_t>(block.rows[static_cast<std::size_t>(g)])] = P.row(g).dot(L.row(g));
        }
    }
    // The design's level of each kept level.
    std::vector<std::size_t> firstOf(static_cast<std::size_t>(r), 0);
    for (int u = 1; u < r; ++u) firstOf[static_cast<std::size_t>(u)] = firstOf[static_cast<std::size_t>(u) - 1] + design.factors[static_cast<std::size_t>(u) - 1].size();
    for (int c = 0; c < layout.m; ++c) {
        const int k = layout.factorOfColumn[static_cast<std::size_t>(c)];
        const std::size_t level = firstOf[static_cast<std::size_t>(factorOf[static_cast<std::size_t>(k)])] +
                                  static_cast<std::size_t>(c - layout.firstColumn[static_cast<std::size_t>(k)]);
        const int j = layout.denseIndex[static_cast<std::size_t>(c)];
        double inverse = 0.0;  // [C^-1 + G F^- G']_cc
        if (j >= 0) {
            effects.values[level] = Xb(j, 0);
            inverse = !std::isnan(relatedInverse[static_cast<std::size_t>(j)]) ? relatedInverse[static_cast<std::size_t>(j)]
                                                                                : f.Sinv(j, j) + f.Zb.row(j).squaredNorm();
        } else {
            const int i = c - layout.firstColumn[static_cast<std::size_t>(layout.alpha)];
            effects.values[level] = Xa(i, 0);
            // (Y Sinv Y')_ii from the few entries of row i of Y.
            double ySy = 0.0;
            for (SparseRows::InnerIterator x(f.Y, i); x; ++x)
                for (SparseRows::InnerIterator z(f.Y, i); z; ++z) ySy += x.value() * z.value() * f.Sinv(x.col(), z.col());
            inverse = f.dInverse(i) + ySy + f.Za.row(i).squaredNorm();
        }
        effects.predictionErrorVariances[level] = residual * inverse;
    }
    // The conditional fitted values: the fixed part and every level's effect.
    effects.fitted = effects.fixedPart;
    {
        std::size_t level = 0;
        for (const auto& factor : design.factors)
            for (const auto& entries : factor) {
                for (const auto& [obs, c] : entries) effects.fitted[static_cast<std::size_t>(obs)] += c * effects.values[level];
                ++level;
            }
    }
    // The entry's 1'P 1 = s'C^-1 s + |Z's|^2, s the indicator of its levels.
    const auto keptEntry = std::find(factorOf.begin(), factorOf.end(), entry);
    const std::size_t g = entry >= 0 && entry < r ? design.factors[static_cast<std::size_t>(entry)].size() : 0;
    // Another term's relationship matrix leaves the entry's coordinates as
    // they are (its roots act on its own levels only).
    if (keptEntry != factorOf.end() && g >= 2 &&
        std::none_of(design.related.begin(), design.related.end(), [&](const RelatedFactor& x) { return x.factor == entry; })) {
        const int k = static_cast<int>(keptEntry - factorOf.begin());
        Dense sa = Dense::Zero(f.Ua.cols(), 1), sb = Dense::Zero(f.Ub.cols(), 1);
        double trace = 0.0;
        for (int c = layout.firstColumn[static_cast<std::size_t>(k)]; c < layout.m && layout.factorOfColumn[static_cast<std::size_t>(c)] == k; ++c) {
            const int j = layout.denseIndex[static_cast<std::size_t>(c)];
            if (j >= 0) sb(j, 0) = 1.0;
            else sa(c - layout.firstColumn[static_cast<std::size_t>(layout.alpha)], 0) = 1.0;
        }
        for (std::size_t level = firstOf[static_cast<std::size_t>(entry)]; level < firstOf[static_cast<std::size_t>(entry)] + g; ++level)
            trace += effects.predictionErrorVariances[level];
        Dense xa, xb;
        f.solve(sa, sb, xa, xb);
        double sum = 0.0;
        if (sa.rows() > 0) sum += sa.col(0).dot(xa.col(0));
        if (sb.rows() > 0) sum += sb.col(0).dot(xb.col(0));
        Dense z = Dense::Zero(std::max(f.Za.cols(), f.Zb.cols()), 1);
        if (f.Za.size() > 0) z.noalias() += f.Za.transpose() * sa;
        if (f.Zb.size() > 0) z.noalias() += f.Zb.transpose() * sb;
        sum = residual * (sum + z.squaredNorm());
        const double levels = static_cast<double>(g);
        effects.entryDifferenceVariance = 2.0 * (levels * trace - sum) / (levels * (levels - 1.0));
    }
    return effects;
}

}  // namespace minque
