#!/usr/bin/env bash
# End-to-end timings, whole processes, each timed with /usr/bin/time:
#  - a full-HD 19-channel frame through `qxhost render --threads 2` (all
#    channels carried through, the same at --zip-level 1, and --keep rgba)
#    against `oiiotool -threads 2 frame.exr -o out.exr`, a copy of the same
#    file;
#  - the same frame with its stacks in a tenth of its rows (qx_exrgen band),
#    whose other chunks the render copies as read, against the same copy;
#  - 24 demo frames in one `render --frames 1-24` against 24 single-frame
#    runs;
#  - an 8K frame (7680x4320) carried through whole, for its memory.
# The runs of one comparison alternate, ROUNDS times (default 5; the
# sequences 3), and each figure is the median: the machine may be shared,
# so the load average is printed with each table.
# Usage: bench/e2e.sh BUILD_DIR (with qxhost and tools/exrgen/qx_exrgen built)
set -euo pipefail
build=$(cd "$1" && pwd)
rounds=${ROUNDS:-5}
work=$build/bench-e2e
rm -rf "$work" && mkdir -p "$work/seq" "$work/out1" "$work/out24"
"$build/qxhost" demo --out-dir "$work/demo" >/dev/null
"$build/tools/exrgen/qx_exrgen" bench "$work/frame.exr"
"$build/tools/exrgen/qx_exrgen" band "$work/band.exr"
scene=$work/demo/scene.json
qxhost=$build/qxhost

# run NAME COMMAND...: one timed run, appended to $work/NAME.times as
# "wall cpu rss_kib".
run() {
  local name=$1
  shift
  /usr/bin/time -o "$work/time.out" -f "%e %U %S %M" "$@" >/dev/null 2>&1
  awk '{printf "%.2f %.2f %d\n", $1, $2 + $3, $4}' "$work/time.out" >>"$work/$name.times"
}
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
# report NAME LABEL: the medians of its runs.
report() {
  local t=$work/$1.times
  printf "%-40s %6.2f s wall %6.2f s cpu %6.0f MiB  (walls: %s)\n" "$2" \
    "$(cut -d' ' -f1 "$t" | median)" "$(cut -d' ' -f2 "$t" | median)" \
    "$(cut -d' ' -f3 "$t" | median | awk '{print $1 / 1024}')" "$(cut -d' ' -f1 "$t" | paste -sd' ')"
}
ratio() { awk -v a="$(cut -d' ' -f1 "$work/$1.times" | median)" \
  -v b="$(cut -d' ' -f1 "$work/$2.times" | median)" 'BEGIN {printf "%.2f", a / b}'; }
cpuRatio() { awk -v a="$(cut -d' ' -f2 "$work/$1.times" | median)" \
  -v b="$(cut -d' ' -f2 "$work/$2.times" | median)" 'BEGIN {printf "%.2f", a / b}'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }
singles() {
  for f in $(seq -f %04g 1 24); do
    "$qxhost" render --scene "$scene" --frame "$work/seq/in.$f.exr" --out "$work/out1/o.$f.exr" \
      --threads 2
  done
}

echo "One frame, $rounds rounds (load average before: $(load))"
for _ in $(seq "$rounds"); do
  run all "$qxhost" render --scene "$scene" --frame "$work/frame.exr" --out "$work/q.exr" \
    --threads 2
  run fast "$qxhost" render --scene "$scene" --frame "$work/frame.exr" --out "$work/qf.exr" \
    --threads 2 --zip-level 1
  run rgba "$qxhost" render --scene "$scene" --frame "$work/frame.exr" --out "$work/qr.exr" \
    --threads 2 --keep rgba
  run oiio oiiotool -threads 2 "$work/frame.exr" -o "$work/o.exr"
  run band "$qxhost" render --scene "$scene" --frame "$work/band.exr" --out "$work/qb.exr" \
    --threads 2
  run oiioband oiiotool -threads 2 "$work/band.exr" -o "$work/ob.exr"
done
report all "qxhost render --threads 2"
report fast "qxhost render --threads 2 --zip-level 1"
report rgba "qxhost render --threads 2 --keep rgba"
report oiio "oiiotool -threads 2 (a copy)"
report band "qxhost render --threads 2, a tenth"
report oiioband "oiiotool -threads 2 (a copy), a tenth"
echo "wall against oiiotool's: $(ratio all oiio) (all channels; target at most 0.40)," \
  "$(ratio fast oiio) (--zip-level 1), $(ratio rgba oiio) (--keep rgba)"
echo "stacks in a tenth of the rows, against oiiotool's: CPU $(cpuRatio band oiioband)" \
  "(target at most 0.15), wall $(ratio band oiioband) (target at most 0.2)"
echo "bytes written: $(stat -c %s "$work/q.exr") (level 4), $(stat -c %s "$work/qf.exr") (level 1)"
echo "(load average after: $(load))"

for f in $(seq 1 24); do ln -sf "$work/demo/frame.exr" "$work/seq/in.$(printf %04d "$f").exr"; done
seqRounds=$(((rounds + 1) / 2))
echo
echo "24 demo frames, $seqRounds rounds (load average before: $(load))"
for _ in $(seq "$seqRounds"); do
  run one "$qxhost" render --scene "$scene" --frame "$work/seq/in.####.exr" \
    --out "$work/out24/o.####.exr" --frames 1-24 --threads 2
  export -f singles
  run many env qxhost="$qxhost" scene="$scene" work="$work" bash -c singles
done
report one "one process, --frames 1-24"
report many "24 single-frame runs (the largest RSS)"
echo "throughput of one process against single runs: $(ratio many one); target at least 1.8"
echo "(load average after: $(load))"

echo
echo "An 8K frame, five half channels, carried through (load average: $(load))"
"$build/tools/exrgen/qx_exrgen" large 7680 4320 "$work/8k.exr"
run 8k "$qxhost" render --scene "$scene" --frame "$work/8k.exr" --out "$work/8k-out.exr" \
  --threads 2
report 8k "qxhost render --threads 2, 7680x4320"
rm -f "$work/8k.exr" "$work/8k-out.exr"
