#!/usr/bin/env bash
# The device check of the GPU variance inverse, for a machine with a CUDA
# device (about 5 minutes): builds the CUDA configuration in build-gpu, runs
# the unit and end-to-end tests (when GoogleTest is there), compares the GPU
# and host inverses and estimates (minque-gpu-check), runs the bundled example
# on both paths and compares every number of the reports, and times one
# estimation pass on both paths. Output also goes to $OUT/gpu_check.log when
# OUT is set. Exits with 1 when a test fails, a run fails, or the device and
# host paths differ by more than single-precision rounding allows.
#
# Usage: bench/gpu_check.sh
set -uo pipefail
cd "$(dirname "$0")/.."
log="${OUT:-/tmp}/gpu_check.log"
exec > >(tee "$log") 2>&1
jobs=$(nproc)
status=0
tests=ON
if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  tests=OFF
  echo "GoogleTest is not installed here: the test suite is skipped."
fi
nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader || true
cmake -S . -B build-gpu -DCMAKE_BUILD_TYPE=Release -DMINQUE_CUDA=ON -DMINQUE_BUILD_TESTS=$tests \
      -DMINQUE_BUILD_BENCH=OFF -DMINQUE_GPU_CHECK=ON > build-gpu.log 2>&1 || { tail -30 build-gpu.log; exit 1; }
cmake --build build-gpu -j "$jobs" >> build-gpu.log 2>&1 || { tail -30 build-gpu.log; exit 1; }
if [ "$tests" = ON ]; then
  (cd build-gpu && ctest -j "$jobs" --output-on-failure > ctest.log 2>&1; rc=$?; tail -15 ctest.log; exit $rc) || status=1
fi
echo
timeout 240 build-gpu/bench/minque-gpu-check || { echo "minque-gpu-check: the paths differ or the check failed"; status=1; }

echo
echo "The bundled example on the GPU and on the host (--cpu):"
for path in gpu cpu; do
  dir="examples/run-$path"
  rm -rf "$dir" && mkdir -p "$dir" && cp examples/EXAMPLE.TXT "$dir/"
  opt=""
  [ "$path" = cpu ] && opt="--cpu"
  (cd "$dir" && ../../build-gpu/minque-model EXAMPLE.TXT --lead 4 --ad Env,Fem,Male,Blk > /dev/null \
     && ../../build-gpu/minque-var E 0 0 0 4 0 0 0 0 EXAMPLE.TXT $opt > out 2> err \
     && ../../build-gpu/minque-cov E 0 0 0 4 0 0 0 0 EXAMPLE.TXT $opt > out 2> err) || { echo "  the $path run failed"; status=1; }
  head -c 200 "$dir/out"; echo
done
python3 - <<'PY' || status=1
import re, sys
failed = False
def numbers(path):
    text = open(path).read()
    text = re.sub(r"Date and Time for Analysis: .*|Time Used .*", "", text)
    return [float(x) for x in re.findall(r"(?<![A-Za-z(])-?\d+\.?\d*(?:e[-+]?\d+)?", text)]
for report in ("EXAMPLE.VAR", "EXAMPLE.COV"):
    g, c = numbers("examples/run-gpu/" + report), numbers("examples/run-cpu/" + report)
    if len(g) != len(c):
        print(f"  {report}: different layouts ({len(g)} and {len(c)} numbers)")
        failed = True
        continue
    worst = max((abs(a - b) / max(abs(b), 1e-30), a, b) for a, b in zip(g, c))
    print(f"  {report}: {len(g)} numbers, largest relative difference {worst[0]:.3g} (GPU {worst[1]:g}, host {worst[2]:g})")
    # Printed to 6 (P: 3) digits: more than a unit in the third digit is a fault.
    far = [(a, b) for a, b in zip(g, c) if abs(a - b) > 1e-3 * abs(b) and abs(a - b) > 1e-6]
    if far:
        print(f"  {report}: {len(far)} numbers differ by more than 1e-3, first GPU {far[0][0]:g}, host {far[0][1]:g}")
        failed = True
sys.exit(1 if failed else 0)
PY
exit $status
