"""The interpreter matrix: every CPython from 3.7 on that this machine has
(scripts/lib/interpreters.py finds them; 3.14 and 3.15 in Debian's unstable
root), each with a venv and a build of its own under build/matrix/<X.Y>/ (the
module, zormsg_testing and the GoogleTest binaries, whose converters are
compiled against that interpreter), then ctest and the whole tests/python
suite against that build. Prints one table; fails when any interpreter fails,
and when 3.7 was not tested although pyenv has it.

    .venv/bin/python scripts/lib/matrix.py [X.Y ...]

Venvs are prepared two at a time ahead of the builds; one build runs at a
time with every core, and each interpreter's tests run while the next one
builds. MATRIX_JOBS sets the build's parallel jobs (default: the core count).
"""
import concurrent.futures
import os
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import interpreters as interp

ROOT = interp.ROOT


class Row:
    def __init__(self, it):
        self.it = it
        self.versions = {}
        self.counts = None  # pytest's (passed, failed, skipped)
        self.ctest = None  # ctest's (passed, failed, skipped)
        self.seconds = 0.0
        self.problem = ""  # why it failed
        self.skipped = ", ".join("no " + what for what in it.lacks)

    @property
    def ok(self):
        return (not self.skipped and not self.problem and self.counts is not None and self.counts[1] == 0
                and self.ctest is not None and self.ctest[1] == 0)


def log_tail(path, lines=40):
    with open(path, errors="replace") as f:
        return "".join(f.readlines()[-lines:])


def prepare(row):
    start = time.monotonic()
    it = row.it
    if not interp.prepare(it):
        row.problem = "its venv could not be set up (" + os.path.join(it.dir, "venv.log") + ")"
    else:
        versions = "import msgpack, orjson; print(orjson.__version__, *msgpack.version, sep=' ')"
        out = subprocess.run(it.cmd([it.venv_python, "-c", versions]), capture_output=True, text=True, check=False)
        if out.returncode == 0:
            orjson_v, *msgpack_v = out.stdout.split()
            row.versions = {"orjson": orjson_v, "msgpack": ".".join(msgpack_v)}
    row.seconds += time.monotonic() - start


def build(row, jobs):
    start = time.monotonic()
    it = row.it
    build_dir = os.path.join(it.dir, "build")
    log = os.path.join(it.dir, "build.log")
    if os.path.exists(log):
        os.remove(log)
    cmake = os.path.join(it.dir, "venv", "bin", "cmake")
    # Release, like the wheel: the wheel stage builds in this same folder.
    configure = [cmake, "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 "-DZORMSG_BUILD_TESTS=ON", "-DPython_EXECUTABLE=" + it.venv_python]
    compile_ = [cmake, "--build", build_dir, "-j", str(jobs)]
    if shutil.which("ccache") or it.runner:  # the unstable root has its own
        # The message core and the stand-in do not depend on the interpreter:
        # compiled once, they come from the cache for every other one.
        configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    env = dict(os.environ, PATH=os.path.dirname(it.venv_python) + os.pathsep + os.environ.get("PATH", ""),
               CCACHE_BASEDIR=ROOT)
    if not (interp.run_logged(it.cmd(configure), log, env=env) and interp.run_logged(it.cmd(compile_), log, env=env)):
        row.problem = "the build failed (" + log + ")"
        print(f"matrix: {it.version}: build failed\n{log_tail(log)}", flush=True)
    row.seconds += time.monotonic() - start


def ctest(row):
    it = row.it
    xml = os.path.join(it.dir, "ctest.xml")
    log = os.path.join(it.dir, "ctest.log")
    for path in (xml, log):
        if os.path.exists(path):
            os.remove(path)
    ctest_exe = os.path.join(it.dir, "venv", "bin", "ctest")
    cmd = [ctest_exe, "--test-dir", os.path.join(it.dir, "build"), "--output-on-failure", "-j", "2",
           "--output-junit", xml]
    interp.run_logged(it.cmd(cmd), log, cwd=ROOT)
    try:
        suite = ET.parse(xml).getroot()
        total, skipped = int(suite.get("tests")), int(suite.get("skipped") or 0)
        failed = int(suite.get("failures")) + int(suite.get("errors") or 0)
        row.ctest = (total - failed - skipped, failed, skipped)
        if failed:
            print(f"matrix: {it.version}: {failed} native tests failed\n{log_tail(log)}", flush=True)
        elif total == 0:
            row.problem = "ctest found no tests"
    except (OSError, ET.ParseError, TypeError):
        row.problem = "ctest did not run (" + log + ")"
        print(f"matrix: {it.version}: ctest did not run\n{log_tail(log)}", flush=True)


def test(row):
    start = time.monotonic()
    it = row.it
    ctest(row)
    xml = os.path.join(it.dir, "pytest.xml")
    log = os.path.join(it.dir, "pytest.log")
    for path in (xml, log):
        if os.path.exists(path):
            os.remove(path)
    env = dict(os.environ, PYTHONPATH=os.path.join(it.dir, "build", "lib"))
    cmd = [it.venv_python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--junitxml", xml, "tests/python"]
    interp.run_logged(it.cmd(cmd), log, cwd=ROOT, env=env)
    try:
        suite = ET.parse(xml).getroot()
        suite = suite if suite.tag == "testsuite" else suite.find("testsuite")
        total, skipped = int(suite.get("tests")), int(suite.get("skipped"))
        failed = int(suite.get("failures")) + int(suite.get("errors"))
        row.counts = (total - failed - skipped, failed, skipped)
        if failed:
            print(f"matrix: {it.version}: {failed} failed\n{log_tail(log)}", flush=True)
        elif total == 0:
            row.problem = "pytest collected nothing"
    except (OSError, ET.ParseError, TypeError):
        row.problem = "pytest did not run (" + log + ")"
        print(f"matrix: {it.version}: pytest did not run\n{log_tail(log)}", flush=True)
    row.seconds += time.monotonic() - start


def run(rows, jobs):
    usable = [r for r in rows if not r.skipped]
    with concurrent.futures.ThreadPoolExecutor(2) as venvs, concurrent.futures.ThreadPoolExecutor(1) as tests:
        prepared = [venvs.submit(prepare, r) for r in usable]
        running = []
        for row, ready in zip(usable, prepared):
            ready.result()
            if not row.problem:
                build(row, jobs)
            if not row.problem:
                running.append(tests.submit(test, row))
            print(f"matrix: {row.it.version}: built", flush=True)
        for f in running:
            f.result()


def table(rows):
    head = ["CPython", "where", "orjson", "msgpack", "ctest", "passed", "failed", "skipped", "seconds", ""]
    body = []
    for r in rows:
        passed, failed, skipped = r.counts or ("-", "-", "-")
        if r.skipped:
            status = "SKIPPED: " + r.skipped
        else:
            status = "ok" if r.ok else "FAILED" + (": " + r.problem if r.problem else "")
        native = "{} passed, {} failed, {} skipped".format(*r.ctest) if r.ctest else "-"
        body.append([r.it.version, r.it.origin, r.versions.get("orjson", "-"), r.versions.get("msgpack", "-"),
                     native, str(passed), str(failed), str(skipped), f"{r.seconds:.0f}", status])
    widths = [max(len(x[i]) for x in [head] + body) for i in range(len(head))]

    def fmt(cells):
        return "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"

    print(fmt(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for line in body:
        print(fmt(line))


def main(argv):
    start = time.monotonic()
    found, notes = interp.discover()
    picked = [it for it in found if not argv or it.line in argv]
    for it in picked:
        print(f"matrix: CPython {it.version}: {it.executable} ({it.origin})", flush=True)
    for note in notes:
        print("matrix: also found " + note)
    rows = [Row(it) for it in picked]
    jobs = int(os.environ.get("MATRIX_JOBS") or os.cpu_count() or 2)
    run(rows, jobs)

    print()
    table(rows)
    lines = {r.it.line: r for r in rows}
    missing = [v for v in interp.supported_lines() if v not in lines and (not argv or v in argv)]
    if missing:
        print("matrix: not found on this machine: " + ", ".join("CPython " + v for v in missing))
    failures = [r.it.version for r in rows if not r.ok and not r.skipped]
    oldest = "{}.{}".format(*interp.OLDEST)
    if interp.pyenv_has_oldest() and (not argv or oldest in argv) and not (oldest in lines and lines[oldest].ok):
        failures.append(f"CPython {oldest} (pyenv has it; it must be tested)")
    print(f"matrix: {len(rows)} interpreters in {time.monotonic() - start:.0f}s")
    if failures:
        print("matrix: FAILED: " + ", ".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
