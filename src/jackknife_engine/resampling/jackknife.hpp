// The delete-a-group jackknife: which observations a replicate leaves out,
// how many replicates a design gives, the pseudo-values of a quantity and
// the standard error, P value and mark they give. Every statistic of the
// system (components, totals, correlations, heritabilities, effects) takes
// its replicates and its statistics from here.
//
// Replicate k (1..J, J = n / g) leaves out observations (k - 1) g + 1 .. k g,
// one-based; the last n - J g observations are in every replicate. With
// d = J - 1, the pseudo-value of a quantity in replicate k is J times its
// whole-data value minus d times its value in replicate k.
#pragma once

namespace minque {

// The groups of consecutive observations that the replicates delete.
struct JackknifeGroups {
    int observations = 0;  // n
    int groupSize = 1;     // g
    int replicates() const { return observations / groupSize; }  // J
    // The first and last observation replicate k (1..J) leaves out.
    int firstDeleted(int k) const { return (k - 1) * groupSize + 1; }
    int lastDeleted(int k) const { return k * groupSize; }
    // Whether replicate k (0: the whole data) keeps observation m.
    bool keeps(int k, int m) const { return k == 0 || m < firstDeleted(k) || m > lastDeleted(k); }
};

// The fewest replicates that give a standard error (one degree of freedom).
inline constexpr int kMinReplicates = 2;

// J x whole - (J - 1) x replicate, in double.
inline double pseudoValue(int J, double whole, double replicate) { return J * whole - (J - 1) * replicate; }

// The sum and the sum of squares of a quantity's pseudo-values, added in
// replicate order.
struct PseudoValueSums {
    double sum = 0.0, squares = 0.0;
    void add(double p) {
        sum += p;
        squares += p * p;
    }
};

enum class RescaleRule {
    Always,      // component covariances: variance times ratio^2
    AtMostOne,   // totals and correlations: by ratio^2 or 1/ratio^2, whichever is at most 1
};

struct RowStatistics {
    double se;
    double halfP;  // H; the printed P is |2 H|, the mark uses 2 H
};

// Standard error and P value of one report row from the sum S and the sum of
// squares Q of its pseudo-values: variance (Q - m S) / (J d) with m = S / J,
// rescaled by ratio = |eRef / m|; zeroVariance forces the variance to 0
// before the rescaling. e is the reported value tested against 0 on d
// degrees of freedom.
RowStatistics rowStatistics(double S, double Q, double e, double eRef, RescaleRule rule, bool zeroVariance, int J,
                            int d);

// The same from the sums of a quantity's pseudo-values over J replicates.
inline RowStatistics rowStatistics(const PseudoValueSums& sums, double e, double eRef, RescaleRule rule,
                                   bool zeroVariance, int J) {
    return rowStatistics(sums.sum, sums.squares, e, eRef, rule, zeroVariance, J, J - 1);
}

}  // namespace minque
