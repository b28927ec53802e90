#!/usr/bin/env python3
"""Array-expression peers of `quibex_bench --bulk`: numexpr and NumPy.

Run by quibex_bench, once per formula:

    bulk_peers.py ARGS_FILE NAMES EXPRESSION THREADS ROUNDS

ARGS_FILE holds the argument columns quibex_bench generated, raw native
float64, one column per name in NAMES (comma-separated), all of one length.
EXPRESSION is in the common syntax of both peers (`**` for powers, `log`
for the natural logarithm). Each peer evaluates the whole columns per call:
numexpr with one thread and with THREADS threads, NumPy (always one
thread). Prints one line per peer,

    <peer> <ns per evaluation>      or      <peer> n/a <reason>

after a line "versions <text>",
with the median of ROUNDS timed calls, and writes that peer's results next
to the arguments as ARGS_FILE.<peer>, raw float64, for quibex_bench to check
against its native loop. Single-threaded peers are timed with the thread's
processor time, numexpr on several threads with the wall clock.
"""
import sys
import time


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def timed(run, clock, rounds):
    run()  # warm up: numexpr compiles and caches the expression here
    samples = []
    for _ in range(rounds):
        t0 = clock()
        run()
        samples.append(clock() - t0)
    return median(samples)


def main():
    if len(sys.argv) != 6:
        sys.stderr.write(__doc__)
        return 2
    path, names, expr, threads, rounds = sys.argv[1:]
    names = names.split(",")
    threads = max(1, int(threads))
    rounds = max(1, int(rounds))
    try:
        import numpy as np
    except ImportError as e:
        print("versions", "no NumPy")
        for peer in ("numexpr1", "numexprN", "numpy"):
            print(peer, "n/a", "numpy:", e)
        return 0
    versions = "NumPy " + np.__version__
    try:
        import numexpr as ne
        versions += ", numexpr " + ne.__version__
    except ImportError as e:
        ne = None
        ne_missing = e
    print("versions", versions)
    data = np.fromfile(path, dtype=np.float64)
    n = data.size // len(names)
    cols = {name: data[k * n:(k + 1) * n] for k, name in enumerate(names)}
    out = np.empty(n)

    if ne is None:
        for peer in ("numexpr1", "numexprN"):
            print(peer, "n/a", ne_missing)
    else:
        for peer, count, clock in (("numexpr1", 1, time.thread_time_ns),
                                   ("numexprN", threads, time.perf_counter_ns)):
            ne.set_num_threads(count)
            ns = timed(lambda: ne.evaluate(expr, local_dict=cols, out=out), clock, rounds)
            out.tofile(path + "." + peer)
            print(peer, ns / n)

    funcs = {"__builtins__": {}, "sin": np.sin, "cos": np.cos, "exp": np.exp,
             "log": np.log, "sqrt": np.sqrt}
    code = compile(expr, "<formula>", "eval")
    result = []

    def numpy_eval():
        result[:] = [eval(code, funcs, cols)]

    ns = timed(numpy_eval, time.thread_time_ns, rounds)
    np.asarray(result[0], dtype=np.float64).tofile(path + ".numpy")
    print("numpy", ns / n)
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
