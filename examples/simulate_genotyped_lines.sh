#!/usr/bin/env bash
# Simulates a trial of genotyped inbred lines: N lines bred from 8 founders
# (each of 10 chromosomes a founder's haplotype, or two joined at one
# crossover), M markers coded 0/2, and 4 traits grown in E environments with
# R replicates. Each trait's genetic value is the sum of M/25 QTL effects
# drawn with the genetic correlations below, scaled to variance 1; each line
# x environment cell adds an interaction of variance 0.4, each plot a
# residual of variance 1.5.
#
#   true genetic correlations   Yield Height GrainWt
#     Height                     0.6
#     GrainWt                   -0.3    0.0
#     Heading                    0.0    0.3   -0.5
#
# Writes DIR/LINES.csv (Line, Env, Rep and the traits) and DIR/SNP.csv (an id
# column, then the markers). The bundled example (examples/genomic) is N 500,
# M 5000, E 3, R 2, made by mawk 1.3.4; another awk writes other numbers.
#
# Usage: examples/simulate_genotyped_lines.sh N M E R DIR
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: examples/simulate_genotyped_lines.sh N M E R DIR" >&2; exit 2; }
mkdir -p "$5"
awk -v N="$1" -v M="$2" -v E="$3" -v R="$4" -v lines="$5/LINES.csv.tmp" -v snp="$5/SNP.csv.tmp" 'BEGIN {
  srand(20261207)
  F = 8; C = 10; T = 4
  # The Cholesky factor of the genetic correlation matrix above.
  split("1 0.6 -0.3 0 0.6 1 0 0.3 -0.3 0 1 -0.5 0 0.3 -0.5 1", r, " ")
  for (i = 1; i <= T; ++i) for (j = 1; j <= T; ++j) S[i, j] = r[(i - 1) * T + j]
  for (j = 1; j <= T; ++j) {
    s = S[j, j]; for (k = 1; k < j; ++k) s -= L[j, k] * L[j, k]; L[j, j] = sqrt(s)
    for (i = j + 1; i <= T; ++i) { s = S[i, j]; for (k = 1; k < j; ++k) s -= L[i, k] * L[j, k]; L[i, j] = s / L[j, j] }
  }
  # Founder haplotypes, each marker with its own allele frequency.
  for (m = 1; m <= M; ++m) { p = 0.1 + 0.8 * rand(); for (f = 1; f <= F; ++f) hap[f, m] = rand() < p ? 1 : 0 }
  # QTL effects: every 25th marker, correlated over the traits.
  for (m = 25; m <= M; m += 25) {
    for (k = 1; k <= T; ++k) z[k] = normal()
    for (i = 1; i <= T; ++i) { s = 0; for (k = 1; k <= i; ++k) s += L[i, k] * z[k]; beta[m, i] = s }
  }
  printf "id" > snp
  for (m = 1; m <= M; ++m) printf ",m%05d", m > snp
  printf "\n" > snp
  per = int(M / C)
  for (n = 1; n <= N; ++n) {
    id[n] = sprintf("L%04d", n)
    printf "%s", id[n] > snp
    for (c = 0; c < C; ++c) {
      a = 1 + int(F * rand()); b = 1 + int(F * rand()); cut = c * per + int(per * rand())
      last = c == C - 1 ? M : (c + 1) * per
      for (m = c * per + 1; m <= last; ++m) {
        x = 2 * (m <= cut ? hap[a, m] : hap[b, m])
        printf ",%d", x > snp
        if (m % 25 == 0) for (i = 1; i <= T; ++i) g[n, i] += x * beta[m, i]
      }
    }
    printf "\n" > snp
  }
  # Genetic values centred and scaled to variance 1 per trait.
  for (i = 1; i <= T; ++i) {
    s = 0; for (n = 1; n <= N; ++n) s += g[n, i]; mean = s / N
    s = 0; for (n = 1; n <= N; ++n) s += (g[n, i] - mean) ^ 2; sd = sqrt(s / (N - 1))
    for (n = 1; n <= N; ++n) g[n, i] = (g[n, i] - mean) / sd
  }
  split("50 100 30 60", mu, " ")
  print "Line,Env,Rep,Yield,Height,GrainWt,Heading" > lines
  for (e = 1; e <= E; ++e) {
    for (i = 1; i <= T; ++i) envEffect[i] = 2 * normal()
    for (n = 1; n <= N; ++n) {
      for (i = 1; i <= T; ++i) cell[i] = sqrt(0.4) * normal()
      for (rr = 1; rr <= R; ++rr) {
        printf "%s,E%d,%d", id[n], e, rr > lines
        for (i = 1; i <= T; ++i) printf ",%.3f", mu[i] + envEffect[i] + g[n, i] + cell[i] + sqrt(1.5) * normal() > lines
        printf "\n" > lines
      }
    }
  }
}
function normal(   u, v) {
  if (haveSpare) { haveSpare = 0; return spare }
  do u = rand(); while (u <= 0)
  v = rand()
  spare = sqrt(-2 * log(u)) * sin(6.283185307179586 * v); haveSpare = 1
  return sqrt(-2 * log(u)) * cos(6.283185307179586 * v)
}'
mv "$5/LINES.csv.tmp" "$5/LINES.csv"
mv "$5/SNP.csv.tmp" "$5/SNP.csv"
