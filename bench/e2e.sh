#!/usr/bin/env bash
# End-to-end timings, whole processes: a full-HD 19-channel frame through
# `qxhost render --threads 2` against oiiotool on the same file, and a
# 24-frame sequence in one process against 24 single-frame runs.
# Usage: bench/e2e.sh BUILD_DIR (with qxhost and tools/exrgen/qx_exrgen built)
set -euo pipefail
build=$1
work=$(cd "$build" && pwd)/bench-e2e
rm -rf "$work" && mkdir -p "$work/seq" "$work/out1" "$work/out24"
"$build/qxhost" demo --out-dir "$work/demo" >/dev/null
"$build/tools/exrgen/qx_exrgen" bench "$work/frame.exr"
scene=$work/demo/scene.json
timed() { /usr/bin/time -f "%e s wall, %U s user, %S s sys, %M KiB max RSS" "$@" 2>&1 >/dev/null | tail -1; }

echo "qxhost render --threads 2:            $(timed "$build/qxhost" render --scene "$scene" --frame "$work/frame.exr" --out "$work/q.exr" --threads 2)"
echo "qxhost render --threads 2 --keep rgba: $(timed "$build/qxhost" render --scene "$scene" --frame "$work/frame.exr" --out "$work/qr.exr" --threads 2 --keep rgba)"
echo "oiiotool -threads 2 --ch R,G,B,A:      $(timed oiiotool -threads 2 "$work/frame.exr" --ch R,G,B,A -o "$work/o.exr")"

for f in $(seq 1 24); do ln -sf "$work/demo/frame.exr" "$work/seq/in.$(printf %04d "$f").exr"; done
echo "24 frames, one process:                $(timed "$build/qxhost" render --scene "$scene" --frame "$work/seq/in.####.exr" --out "$work/out24/o.####.exr" --frames 1-24 --threads 2)"
start=$(date +%s%N)
for f in $(seq -f %04g 1 24); do
  "$build/qxhost" render --scene "$scene" --frame "$work/seq/in.$f.exr" --out "$work/out1/o.$f.exr" --threads 2
done
end=$(date +%s%N)
echo "24 single-frame runs:                  $(( (end - start) / 1000000 )) ms wall"
