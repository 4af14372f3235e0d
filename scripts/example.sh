#!/usr/bin/env bash
# The first command on a fresh machine: installs what is missing, builds the
# programs (not the tests or benchmarks), and runs `minque analyse` on the
# bundled example, printing its summary and where the page is.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh programs
make programs
out=examples/run/EXAMPLE-results
build/minque analyse examples/EXAMPLE.TXT --env Env --female Fem --male Male --block Blk \
  --out "$out" --replace
echo
echo "Genotyped lines related by their genomic relationship matrix (examples/genomic):"
build/minque analyse examples/genomic/LINES.csv --random Line,Line*Env --fixed 1,Env \
  --traits Yield,Height,GrainWt,Heading --relationship Line=markers --markers examples/genomic/SNP.csv \
  --out examples/run/genomic-results --replace
echo
echo "Open $(pwd)/$out/summary.html and $(pwd)/examples/run/genomic-results/summary.html in a browser."
