#!/usr/bin/python3
"""The benchmark table (`make bench`): every workload and its anchors, timed
in one run, with the targets they are held to.

    bench/report.py BUILD_DIR

BUILD_DIR is a Release build with the benchmarks (bench/qx_bench,
bench/qx_bench_pass) and qxhost. Runs the Google Benchmark workloads (medians
of three repetitions), W3's peak memory, the NumPy peer on W1's planes
(checked against qxhost render to 1e-5), and prints one table. Run it on an
idle machine: the rates of a loaded one say little.
"""
import json
import os
import subprocess
import sys
import tempfile

PYTHON = "/usr/bin/python3"  # Debian's, with python3-numpy


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs).stdout


def benchmarks(build):
    out = run([os.path.join(build, "bench", "qx_bench"),
               "--benchmark_filter=BM_Workload|BM_FusedFloor|BM_MemoryFloor|BM_PassOnly|"
               "BM_SoftEdges|BM_PreviewRedraw",
               "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
               "--benchmark_format=json"])
    results = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        results[(b["run_name"].split("/")[0], b.get("label", ""))] = b
    return results


def rate(results, name, label):
    b = results.get((name, label))
    return b["Mpixel/s"] if b else float("nan")


def numpy_peer(build, root):
    with tempfile.TemporaryDirectory() as work:
        run([os.path.join(build, "bench", "qx_bench_pass"), "W1", "export", work, "1920", "1080"])
        run([os.path.join(build, "qxhost"), "render", "--module", os.path.join(build, "quintess.p"),
             "--scene", os.path.join(work, "scene.json"), "--frame", os.path.join(work, "frame") + "/",
             "--out", os.path.join(work, "out") + "/", "--threads", "1"])
        line = run([PYTHON, os.path.join(root, "bench", "peers", "numpy_stack.py"),
                    os.path.join(work, "scene.json"), os.path.join(work, "frame") + "/",
                    "--check", os.path.join(work, "out") + "/"]).strip()
    return float(line.split(",")[2].split()[0]), line


def verdict(ok):
    if ok is None:
        return "no target in time: the fused floor's is in instructions (make bench-callgrind)"
    return "met" if ok else "NOT met"


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    print(f"machine: {os.cpu_count()} cores; load average {os.getloadavg()[0]:.2f} at the start")
    results = benchmarks(build)
    rss = run([os.path.join(build, "bench", "qx_bench_pass"), "W3", "rss"]).strip()
    numpy_rate, numpy_line = numpy_peer(build, root)

    w = {k: rate(results, "BM_Workload", f"{k}, 1 thread") for k in ("W1", "W1r", "W2", "W2first", "W3")}
    w2 = {k: rate(results, "BM_Workload", f"{k}, 2 threads") for k in ("W1", "W1r", "W2", "W2first", "W3")}
    fused = (rate(results, "BM_FusedFloor", "W1, 1 thread"), rate(results, "BM_FusedFloor", "W1, 2 threads"))
    memory = (rate(results, "BM_MemoryFloor", "W1, 1 thread"), rate(results, "BM_MemoryFloor", "W1, 2 threads"))
    pass_only = (rate(results, "BM_PassOnly", "W1, 1 thread"), rate(results, "BM_PassOnly", "W1, 2 threads"))
    soft = (rate(results, "BM_SoftEdges", "soft edges, W1, 1 thread"),
            rate(results, "BM_SoftEdges", "soft edges, W1, 2 threads"))
    preview = results.get(("BM_PreviewRedraw", "W4, 6 layers"))
    preview_ms = preview["real_time"] / 1000.0 if preview else float("nan")

    print()
    print("| Row | 1 thread, Mpixel/s | 2 threads, Mpixel/s |")
    print("|---|---|---|")
    rows = [("W1: full HD, 8 entries x 4 layers, bands", w["W1"], w2["W1"]),
            ("W1r: W1, a random entry per pixel", w["W1r"], w2["W1r"]),
            ("W2: 256 entries, every pixel the last", w["W2"], w2["W2"]),
            ("W2first: 256 entries, every pixel the first", w["W2first"], w2["W2first"]),
            ("W3: 4K, W1's stacks", w["W3"], w2["W3"]),
            ("fused floor, W1", fused[0], fused[1]),
            ("memory floor, W1 (bytes the pass touches)", memory[0], memory[1]),
            ("host pass alone, W1", pass_only[0], pass_only[1]),
            ("soft edges (--cryptomatte), W1 with a 3-rank layer, 5% edge pixels at the bands' borders", soft[0], soft[1]),
            ("NumPy peer, W1", numpy_rate, float("nan"))]
    for name, one, two in rows:
        two_text = "" if two != two else f"{two:.2f}"
        print(f"| {name} | {one:.2f} | {two_text} |")
    print(f"| W4: Preview_Redraw, 6 layers, headless | {preview_ms:.3f} ms | |")
    print()
    print("| Target | Measured | |")
    print("|---|---|---|")
    checks = [
        ("W1 against the NumPy peer, 1 thread: at least 3x", w["W1"] / numpy_rate, w["W1"] / numpy_rate >= 3),
        ("W1 against the NumPy peer, 2 threads: at least 5.5x", w2["W1"] / numpy_rate, w2["W1"] / numpy_rate >= 5.5),
        ("W1, 1 to 2 threads: at least 1.9x", w2["W1"] / w["W1"], w2["W1"] / w["W1"] >= 1.9),
        ("W2 against W2first, time per pixel: at most 1.3x", w["W2first"] / w["W2"], w["W2first"] / w["W2"] <= 1.3),
        ("W1 against the fused floor, 1 thread (time)", w["W1"] / fused[0], None),
        ("soft edges against W1's exact pass, 1 thread, time: at most 1.3x", w["W1"] / soft[0], w["W1"] / soft[0] <= 1.3),
    ]
    for name, value, ok in checks:
        print(f"| {name} | {value:.2f}x | {verdict(ok)} |")
    rss_ratio = float(rss.split(",")[-1].split()[0])
    print(f"| W3 peak RSS: at most 1.2x the planes loaded plus the output | {rss_ratio:.3f}x | {verdict(rss_ratio <= 1.2)} |")
    print(f"| W4 under 1 ms | {preview_ms:.3f} ms | {verdict(preview_ms < 1.0)} |")
    print()
    print("W3:", rss)
    print(numpy_line)
    print("Instructions per pixel: make bench-callgrind.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
