#include "estimator/relationship_matrix.hpp"

#include <Eigen/Core>
#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>
#include <map>

#include "core/fatal_error.hpp"
#include "core/usable_memory.hpp"
#include "estimator/dense_kernels.hpp"
#include "estimator/product_blocking.hpp"
#include "linalg/worker_pool.hpp"

#ifdef MINQUE_HAVE_BLAS
// C (lower triangle) = alpha A A' + beta C, single precision (Fortran BLAS;
// the two hidden lengths of the character arguments last).
extern "C" void ssyrk_(const char* uplo, const char* trans, const int* n, const int* k, const float* alpha, const float* a,
                       const int* lda, const float* beta, float* c, const int* ldc, std::size_t uploLength, std::size_t transLength);
#endif

namespace minque {

using Dense = Eigen::MatrixXd;

void refuseRelationshipTooLarge(std::size_t q, int copies, const std::string& source) {
    const double bytes = 8.0 * static_cast<double>(q) * static_cast<double>(q) * copies, usable = usableMemory();
    if (bytes > 0.8 * usable)
        stopRun("%s: a relationship matrix of %zu individuals needs about %.1f GB to hold and factor (%.1f GB can be used); "
                "analyse fewer individuals",
                source.c_str(), q, bytes / 1e9, usable / 1e9);
}

std::shared_ptr<RelatedLevels> relatedLevelsOf(const RelationshipMatrix& k, const std::string& named) {
    const std::size_t q = k.ids.size();
    const std::string& sourceName = named.empty() ? k.source : named;
    const char* source = sourceName.c_str();
    if (q == 0) stopRun("%s: the relationship matrix has no individuals", source);
    refuseRelationshipTooLarge(q, 3, sourceName);  // K, its root, and the estimator's matrix of its levels
    if (k.values.size() != q * q) stopRun("%s: the relationship matrix is not square (%zu values for %zu individuals)", source, k.values.size(), q);
    double largest = 0.0;
    for (std::size_t i = 0; i < q; ++i)
        for (std::size_t j = 0; j < q; ++j) {
            const double value = k.values[i * q + j];
            if (!std::isfinite(value))
                stopRun("%s: the relationship between '%s' and '%s' is %s; every entry must be a finite number", source,
                        k.ids[i].c_str(), k.ids[j].c_str(), std::isnan(value) ? "missing" : "not finite");
            largest = std::max(largest, std::fabs(value));
        }
    for (std::size_t i = 0; i < q; ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (std::fabs(k.values[i * q + j] - k.values[j * q + i]) > 1e-8 * largest)
                stopRun("%s: the relationship matrix is not symmetric: '%s' with '%s' is %.10g, '%s' with '%s' is %.10g", source,
                        k.ids[i].c_str(), k.ids[j].c_str(), k.values[i * q + j], k.ids[j].c_str(), k.ids[i].c_str(),
                        k.values[j * q + i]);
    // K, exactly symmetric, in the storage that becomes its root.
    auto related = std::make_shared<RelatedLevels>();
    related->root.resize(q * q);
    Eigen::Map<Dense> K(related->root.data(), static_cast<Eigen::Index>(q), static_cast<Eigen::Index>(q));
    const auto symmetric = [&](Eigen::Ref<Dense> into) {
        for (std::size_t i = 0; i < q; ++i)
            for (std::size_t j = 0; j <= i; ++j)
                into(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = into(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(i)) =
                    0.5 * (k.values[i * q + j] + k.values[j * q + i]);
    };
    symmetric(K);
    related->source = sourceName;
    related->order = static_cast<int>(q);
    related->ids = k.ids;
    for (std::size_t i = 0; i < q; ++i) related->diagonal.push_back(K(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(i)));
    double sum = 0.0;
    for (double d : related->diagonal) sum += d;
    related->meanDiagonal = sum / static_cast<double>(q);
    if (!choleskyInPanels(K)) {  // in place: K's lower triangle becomes L
        Dense again(static_cast<Eigen::Index>(q), static_cast<Eigen::Index>(q));
        symmetric(again);
        const Eigen::SelfAdjointEigenSolver<Dense> eigen(again, Eigen::EigenvaluesOnly);
        stopRun("%s: the relationship matrix is not positive definite: its smallest eigenvalue is %.6g. Two "
                "individuals with the same relationships to all others (a duplicate), or fewer markers than "
                "individuals, make it so; blend it with the identity (for example 0.99 K + 0.01 I) and give that",
                source, eigen.info() == Eigen::Success ? eigen.eigenvalues()(0) : std::nan(""));
    }
    K.triangularView<Eigen::StrictlyUpper>().setZero();
    return related;
}

RelationshipMatrix additiveRelationship(const Pedigree& p) {
    const char* source = p.source.c_str();
    auto lineOf = [&](std::size_t r) { return r < p.lines.size() ? " (line " + std::to_string(p.lines[r]) + ")" : std::string(); };
    std::map<std::string, int> index;
    std::vector<std::string> ids;
    for (std::size_t r = 0; r < p.ids.size(); ++r) {
        if (p.ids[r].empty()) stopRun("%s: record %zu%s has no id", source, r + 1, lineOf(r).c_str());
        if (!index.emplace(p.ids[r], static_cast<int>(ids.size())).second)
            stopRun("%s: the id '%s' is given twice%s; every individual has one record", source, p.ids[r].c_str(), lineOf(r).c_str());
        ids.push_back(p.ids[r]);
    }
    // Parents without a record: founders, after the records.
    std::vector<int> sire(ids.size(), -1), dam(ids.size(), -1);
    auto parent = [&](const std::string& code) {
        if (code.empty()) return -1;
        const auto [at, added] = index.emplace(code, static_cast<int>(ids.size()));
        if (added) {
            ids.push_back(code);
            sire.push_back(-1);
            dam.push_back(-1);
        }
        return at->second;
    };
    for (std::size_t r = 0; r < p.ids.size(); ++r) {
        const int s = parent(r < p.sires.size() ? p.sires[r] : std::string());
        const int d = parent(r < p.dams.size() ? p.dams[r] : std::string());
        sire[r] = s;
        dam[r] = d;
    }
    // Ancestors first: a depth-first order; an individual met again on its
    // own path is its own ancestor.
    const std::size_t q = ids.size();
    std::vector<int> order, state(q, 0);  // 0 new, 1 on the path, 2 placed
    std::vector<std::pair<int, int>> path;  // (individual, parents looked at), without recursion: pedigrees may be deep
    for (std::size_t start = 0; start < q; ++start) {
        if (state[start] != 0) continue;
        path.emplace_back(static_cast<int>(start), 0);
        state[start] = 1;
        while (!path.empty()) {
            auto& [i, looked] = path.back();
            if (looked == 2) {
                state[static_cast<std::size_t>(i)] = 2;
                order.push_back(i);
                path.pop_back();
                continue;
            }
            const int next = looked++ == 0 ? sire[static_cast<std::size_t>(i)] : dam[static_cast<std::size_t>(i)];
            if (next < 0 || state[static_cast<std::size_t>(next)] == 2) continue;
            if (state[static_cast<std::size_t>(next)] == 1) {
                std::string cycle = ids[static_cast<std::size_t>(next)];
                for (auto it = path.rbegin(); it != path.rend() && it->first != next; ++it) cycle += " -> " + ids[static_cast<std::size_t>(it->first)];
                cycle += " -> " + ids[static_cast<std::size_t>(next)];
                stopRun("%s: '%s' is its own ancestor (%s, each the parent of the one before); the pedigree has a loop", source,
                        ids[static_cast<std::size_t>(next)].c_str(), cycle.c_str());
            }
            state[static_cast<std::size_t>(next)] = 1;
            path.emplace_back(next, 0);
        }
    }
    refuseRelationshipTooLarge(q, 2, p.source);
    Dense A = Dense::Zero(static_cast<Eigen::Index>(q), static_cast<Eigen::Index>(q));
    std::vector<int> rank(q);
    for (std::size_t r = 0; r < q; ++r) rank[static_cast<std::size_t>(order[r])] = static_cast<int>(r);
    for (std::size_t r = 0; r < q; ++r) {
        const int i = order[r], s = sire[static_cast<std::size_t>(i)], d = dam[static_cast<std::size_t>(i)];
        for (std::size_t earlier = 0; earlier < r; ++earlier) {
            const int j = order[earlier];
            const double value = 0.5 * ((s >= 0 ? A(j, s) : 0.0) + (d >= 0 ? A(j, d) : 0.0));
            A(i, j) = A(j, i) = value;
        }
        A(i, i) = 1.0 + (s >= 0 && d >= 0 ? 0.5 * A(s, d) : 0.0);
    }
    RelationshipMatrix k;
    k.source = p.source;
    k.ids = ids;
    k.values.resize(q * q);
    for (std::size_t i = 0; i < q; ++i)
        for (std::size_t j = 0; j < q; ++j) k.values[i * q + j] = A(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j));
    return k;
}

GenomicRelationship genomicRelationship(const MarkerCalls& markers, double blend) {
    const char* source = markers.source.c_str();
    const std::size_t n = markers.ids.size(), m = markers.markers.size();
    if (n == 0 || m == 0) stopRun("%s: no individuals or no markers", source);
    if (markers.calls.size() != n * m) stopRun("internal error: %zu marker calls for %zu x %zu", markers.calls.size(), n, m);
    fixProductBlocking();
    GenomicRelationship out;
    out.blend = blend;
    // Allele frequencies over the calls present, row by row (the calls are
    // individual-major); the markers kept.
    std::vector<double> sum(m, 0.0);
    std::vector<std::size_t> present(m, 0);
    std::vector<signed char> first(m, kMissingCall), varies(m, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < m; ++j) {
            const int call = markers.calls[i * m + j];
            if (call == kMissingCall) continue;
            if (call != 0 && call != 1 && call != 2)
                stopRun("%s: individual '%s', marker '%s': the call %d is not 0, 1 or 2 (or missing)", source,
                        markers.ids[i].c_str(), markers.markers[j].c_str(), call);
            if (first[j] == kMissingCall) first[j] = static_cast<signed char>(call);
            varies[j] = static_cast<signed char>(varies[j] || call != first[j]);
            sum[j] += call;
            ++present[j];
        }
    std::vector<double> twoP;
    std::vector<std::size_t> kept;
    double scale = 0.0;
    bool complete = true;
    for (std::size_t j = 0; j < m; ++j) {
        out.missingCalls += static_cast<std::int64_t>(n - present[j]);
        if (!varies[j]) {
            ++out.monomorphic;
            continue;
        }
        complete = complete && present[j] == n;
        const double p = sum[j] / static_cast<double>(present[j]) / 2.0;
        kept.push_back(j);
        twoP.push_back(2.0 * p);
        scale += 2.0 * p * (1.0 - p);
    }
    out.markersUsed = static_cast<int>(kept.size());
    refuseRelationshipTooLarge(n, 2, markers.source);
    if (kept.empty()) stopRun("%s: every marker is monomorphic (or missing); the genomic relationship needs markers that vary", source);
    // Z Z' a panel of markers at a time, the lower triangle by column chunks
    // over the worker threads. Without missing calls, Z Z' = M M' - r 1' -
    // 1 r' + c with r = M 2p and c = sum (2p)^2, and M M' is a product of
    // small integers whose sums stay below 2^24: single precision holds it
    // exactly, whatever the order of its sums, at twice the speed of double.
    constexpr std::size_t kPanel = 1024;
    constexpr int kChunk = 256;
    const Eigen::Index N = static_cast<Eigen::Index>(n);
    RelationshipMatrix& k = out.matrix;
    k.source = markers.source;
    k.ids = markers.ids;
    k.values.assign(n * n, 0.0);
    Eigen::Map<Dense> G(k.values.data(), N, N);  // its lower triangle, then both
    const int chunks = static_cast<int>((n + kChunk - 1) / kChunk);
    auto lowerTriangle = [&](auto& target, const auto& panel) {
        runOnWorkers([&](int worker) {
            int a = 0, b = 0;
            splitRange(chunks, worker, workerThreads(), &a, &b);
            for (int chunk = a; chunk < b; ++chunk) {
                const Eigen::Index c0 = static_cast<Eigen::Index>(chunk) * kChunk;
                const Eigen::Index w = std::min<Eigen::Index>(kChunk, N - c0);
                target.block(c0, c0, N - c0, w).noalias() += panel.bottomRows(N - c0) * panel.middleRows(c0, w).transpose();
            }
        });
    };
    if (complete && 4.0 * static_cast<double>(kept.size()) < 16777216.0) {
        Eigen::MatrixXf products = Eigen::MatrixXf::Zero(N, N), panel;
        for (std::size_t begin = 0; begin < kept.size(); begin += kPanel) {
            const std::size_t width = std::min(kPanel, kept.size() - begin);
            panel.resize(N, static_cast<Eigen::Index>(width));
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t c = 0; c < width; ++c)
                    panel(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(c)) = markers.calls[i * m + kept[begin + c]];
#ifdef MINQUE_HAVE_BLAS
            const AllBlasThreads threads;  // exact sums: their order changes nothing
            const int order = static_cast<int>(N), depth = static_cast<int>(width);
            const float one = 1.0f;
            ssyrk_("L", "N", &order, &depth, &one, panel.data(), &order, &one, products.data(), &order, 1, 1);
#else
            lowerTriangle(products, panel);
#endif
        }
        std::vector<double> r(n, 0.0);
        double c = 0.0;
        for (std::size_t x = 0; x < kept.size(); ++x) c += twoP[x] * twoP[x];
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t x = 0; x < kept.size(); ++x) r[i] += markers.calls[i * m + kept[x]] * twoP[x];
        for (Eigen::Index j = 0; j < N; ++j)
            for (Eigen::Index i = j; i < N; ++i)
                G(i, j) = static_cast<double>(products(i, j)) - r[static_cast<std::size_t>(i)] - r[static_cast<std::size_t>(j)] + c;
    } else {
        Dense panel;
        for (std::size_t begin = 0; begin < kept.size(); begin += kPanel) {
            const std::size_t width = std::min(kPanel, kept.size() - begin);
            panel.resize(N, static_cast<Eigen::Index>(width));
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t c = 0; c < width; ++c) {
                    const int call = markers.calls[i * m + kept[begin + c]];
                    panel(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(c)) = call == kMissingCall ? 0.0 : call - twoP[begin + c];
                }
            lowerTriangle(G, panel);
        }
    }
    for (Eigen::Index j = 0; j < N; ++j)
        for (Eigen::Index i = j; i < N; ++i) G(j, i) = G(i, j) = (1.0 - blend) * G(i, j) / scale + (i == j ? blend : 0.0);
    return out;
}

}  // namespace minque
