#!/usr/bin/env bash
# Writes a simulated multi-environment trial: G genotypes x E environments x
# R replicates (one plot each), four traits, as the benchmark of the
# estimator's growth in n takes it (random Geno, Geno*Env, Env*Rep; Env
# fixed).
#
# Usage: bench/make_met_trial.sh G E R FILE
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: bench/make_met_trial.sh G E R FILE" >&2; exit 2; }
awk -v G="$1" -v E="$2" -v R="$3" 'BEGIN {
  seed = 12345
  # The generator of awk, seeded (the same awk writes the same file), and Box-Muller normal deviates.
  srand(seed)
  print "Env,Rep,Geno,Yield,Height,GrainWt,Heading"
  for (g = 1; g <= G; ++g) { ga[g] = normal(); gb[g] = normal() }
  for (e = 1; e <= E; ++e) envMean[e] = 3 * normal()
  for (e = 1; e <= E; ++e) for (r = 1; r <= R; ++r) rep[e, r] = 0.5 * normal()
  for (e = 1; e <= E; ++e)
    for (r = 1; r <= R; ++r)
      for (g = 1; g <= G; ++g) {
        ge = 0.7 * normal(); gh = 0.7 * normal()
        y1 = 50 + envMean[e] + rep[e, r] + 2.0 * ga[g] + ge + 1.5 * normal()
        y2 = 100 + 2 * envMean[e] + rep[e, r] + 1.2 * ga[g] + 1.0 * gb[g] + gh + 2.0 * normal()
        y3 = 30 + 0.5 * envMean[e] + 0.8 * gb[g] + 0.5 * ge + normal()
        y4 = 60 - envMean[e] + 0.6 * ga[g] - 0.9 * gb[g] + 0.4 * gh + 1.2 * normal()
        printf "E%02d,R%d,G%05d,%.4f,%.4f,%.4f,%.4f\n", e, r, g, y1, y2, y3, y4
      }
}
function normal(   u, v) {
  if (haveSpare) { haveSpare = 0; return spare }
  do u = rand(); while (u <= 0)
  v = rand()
  spare = sqrt(-2 * log(u)) * sin(6.283185307179586 * v); haveSpare = 1
  return sqrt(-2 * log(u)) * cos(6.283185307179586 * v)
}' > "$4.tmp"
mv "$4.tmp" "$4"
