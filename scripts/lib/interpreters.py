"""The CPython interpreters on this machine that zormsg supports, and a
virtual environment for each under build/matrix/<X.Y>/ (shared by the
interpreter matrix and the wheel stage).

    python scripts/lib/interpreters.py list            # X.Y, executable, what it lacks, where
    python scripts/lib/interpreters.py prepare X.Y     # its venv, with the build,
                                                   # runtime and test packages
    python scripts/lib/interpreters.py prepare-onhost X.Y  # for a line of the unstable
                                                   # root: a venv on the host to build wheels

pyenv's and PATH's interpreters run on the host ("where": host); 3.14 and
3.15 of Debian's unstable root (scripts/lib/unstable_root.sh, once it is made)
run inside it ("root"): every command of theirs goes through
`unstable_root.sh run`. Their wheels are built on the host, by the same
CPython run with the root's libraries (prepare-onhost, build/wheel-host/).

Runs on any CPython from 3.7 on (the default .venv may be any of them).
"""
import glob
import json
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MATRIX_DIR = os.path.join(ROOT, "build", "matrix")
OLDEST = (3, 7)
# What a matrix venv holds: enough to build the module and zormsg_testing and
# run tests/python, and to build the wheel without isolation.
VENV_PACKAGES = ("pybind11", "scikit-build-core", "cmake", "ninja", "orjson", "msgpack", "pytest", "hypothesis",
                 "greenlet")
RUNTIME_PACKAGES = ("orjson", "msgpack")
# What a wheel build on the host needs (prepare-onhost).
BUILD_PACKAGES = ("pybind11", "scikit-build-core", "cmake", "ninja")
UNSTABLE_ROOT = os.path.join(ROOT, "scripts", "lib", "unstable_root.sh")
UNSTABLE_LINES = ("3.14", "3.15")

PROBE = (
    "import json, os, platform, sys, sysconfig\n"
    "h = os.path.join(sysconfig.get_paths()['include'], 'Python.h')\n"
    "try:\n    import ensurepip, venv\n    v = True\nexcept ImportError:\n    v = False\n"
    "print(json.dumps([platform.python_implementation(), platform.python_version(),"
    " os.path.realpath(sys.executable), os.path.exists(h), v]))\n"
)


class Interpreter:
    def __init__(self, executable, version, real, has_headers, has_venv, origin, runner=()):
        self.executable = executable
        self.version = version  # "3.12.1"
        self.real = real
        self.origin = origin  # "pyenv", "PATH" or "unstable root"
        self.runner = list(runner)  # what every command of this interpreter goes through
        self.line = ".".join(version.split(".")[:2])  # "3.12"
        self.lacks = [what for what, ok in (("headers (Python.h)", has_headers), ("venv", has_venv)) if not ok]

    @property
    def key(self):
        return tuple(int(p) for p in self.line.split("."))

    @property
    def tag(self):
        return "cp" + self.line.replace(".", "")

    @property
    def dir(self):
        return os.path.join(MATRIX_DIR, self.line)

    @property
    def venv_python(self):
        return os.path.join(self.dir, "venv", "bin", "python")

    @property
    def where(self):
        return "root" if self.runner else "host"

    def cmd(self, args):
        """args as a command that runs where this interpreter does."""
        return self.runner + list(args)


def pyenv_root():
    exe = shutil.which("pyenv")
    if exe:
        out = subprocess.run([exe, "root"], capture_output=True, text=True, check=False)
        if out.returncode == 0 and out.stdout.strip():
            return out.stdout.strip()
    return os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")


def candidates():
    """(executable, origin) pairs: pyenv's CPython versions, then every
    python3.X first on PATH."""
    found = []
    for d in sorted(glob.glob(os.path.join(pyenv_root(), "versions", "*"))):
        if re.fullmatch(r"\d+\.\d+\.\d+", os.path.basename(d)):
            found.append((os.path.join(d, "bin", "python3"), "pyenv"))
    seen = set()
    for d in os.environ.get("PATH", "").split(os.pathsep):
        for exe in sorted(glob.glob(os.path.join(d, "python3.*"))):
            name = os.path.basename(exe)
            if re.fullmatch(r"python3\.\d+", name) and name not in seen and os.access(exe, os.X_OK):
                seen.add(name)
                found.append((exe, "PATH"))
    return found


def unstable_root():
    """The unstable root's folder, or None while it is not made."""
    out = subprocess.run(["bash", UNSTABLE_ROOT, "dir"], capture_output=True, text=True, check=False)
    return out.stdout.strip() if out.returncode == 0 else None


def probe(executable, origin, runner=()):
    try:
        out = subprocess.run(list(runner) + [executable, "-c", PROBE], capture_output=True, text=True,
                             timeout=60, check=False)
    except (OSError, subprocess.TimeoutExpired):
        return None
    if out.returncode != 0:
        return None  # a pyenv shim for a version not selected, say
    impl, version, real, headers, has_venv = json.loads(out.stdout)
    if impl != "CPython":
        return None
    if runner:
        real = "unstable root:" + real
    return Interpreter(executable, version, real, headers, has_venv, origin, runner)


def discover():
    """One interpreter per X.Y line from 3.7 on (pyenv's first, the unstable
    root's last), and notes on every other one found."""
    chosen, notes, reals = {}, [], set()
    found = [(exe, origin, ()) for exe, origin in candidates()]
    if unstable_root():
        found += [("python" + line, "unstable root", ("bash", UNSTABLE_ROOT, "run")) for line in UNSTABLE_LINES]
    for exe, origin, runner in found:
        it = probe(exe, origin, runner)
        if it is None or it.real in reals:
            continue
        reals.add(it.real)
        if it.key < OLDEST:
            notes.append(f"{it.version} ({exe}): older than {OLDEST[0]}.{OLDEST[1]}, not supported")
        elif it.line in chosen:
            first = chosen[it.line]
            notes.append(f"{it.version} ({exe}): not used, the {it.line} line is {first.version} ({first.executable})")
        else:
            chosen[it.line] = it
    return [chosen[k] for k in sorted(chosen, key=lambda v: tuple(map(int, v.split("."))))], notes


def pyenv_has_oldest():
    return any(re.fullmatch(r"{}\.{}\.\d+".format(*OLDEST), os.path.basename(d))
               for d in glob.glob(os.path.join(pyenv_root(), "versions", "*")))


def supported_lines():
    """The X.Y lines pyproject.toml claims, from its classifiers."""
    with open(os.path.join(ROOT, "pyproject.toml")) as f:
        lines = re.findall(r'"Programming Language :: Python :: (3\.\d+)"', f.read())
    return sorted(set(lines), key=lambda v: tuple(map(int, v.split("."))))


def requirements(names, path):
    """Writes the lines of requirements.txt for these packages (every
    interpreter's pin: pip keeps the one whose marker holds) to path."""
    wanted = re.compile(r"^({})\s*[=<>!~;]".format("|".join(re.escape(n) for n in names)))
    with open(os.path.join(ROOT, "requirements.txt")) as f:
        lines = [line for line in f if wanted.match(line)]
    with open(path, "w") as f:
        f.writelines(lines)
    return path


def run_logged(cmd, log, **kw):
    with open(log, "a") as f:
        f.write("$ " + " ".join(cmd) + "\n")
        f.flush()
        return subprocess.run(cmd, stdout=f, stderr=subprocess.STDOUT, check=False, **kw).returncode == 0


def make_venv(executable, path, packages, log, runner=(), home=None, pip_wheels=None):
    """A venv at path with the pinned packages; kept when it is already one of
    this interpreter (pip then only confirms the pins). runner: what the
    interpreter's commands go through; home: the folder of its binary as the
    venv sees it; pip_wheels: where the wheel of pip is, for an interpreter
    whose ensurepip cannot find its own."""
    runner = list(runner)
    py = os.path.join(path, "bin", "python")
    cfg = os.path.join(path, "pyvenv.cfg")
    home = home or os.path.dirname(os.path.realpath(executable))
    fresh = True
    if os.path.lexists(py) and os.path.exists(cfg):
        with open(cfg) as f:
            fresh = f"home = {home}\n" not in f.read()
    if fresh:
        made = [executable, "-m", "venv", "--clear"] + (["--without-pip"] if pip_wheels else []) + [path]
        if not run_logged(runner + made, log):
            return False
        if pip_wheels:
            wheel = sorted(glob.glob(os.path.join(pip_wheels, "pip-*.whl")))[-1:]
            if not wheel or not run_logged([py, os.path.join(wheel[0], "pip"), "install", "-q", "--no-index",
                                            "--disable-pip-version-check", wheel[0]], log):
                return False
    reqs = requirements(packages, os.path.join(path, "requirements.txt"))
    return run_logged(runner + [py, "-m", "pip", "install", "-q", "--disable-pip-version-check", "-r", reqs], log)


def prepare(it, log=None):
    os.makedirs(it.dir, exist_ok=True)
    home = os.path.dirname(it.real.split(":", 1)[-1]) if it.runner else None
    return make_venv(it.executable, os.path.join(it.dir, "venv"), VENV_PACKAGES,
                     log or os.path.join(it.dir, "venv.log"), it.runner, home)


def onhost_dir(line):
    return os.path.join(ROOT, "build", "wheel-host", line)


def prepare_onhost(line, log):
    """A venv on the host of the unstable root's CPython line (run with the
    root's libraries), with what building a wheel needs."""
    root = unstable_root()
    exe = os.path.join(root, "usr", "bin", f"python{line}-onhost")
    os.makedirs(onhost_dir(line), exist_ok=True)
    # Debian's ensurepip looks for pip's wheel in the host's /usr/share, which
    # holds the host's own, too old for these lines: the root's is taken.
    ok = make_venv(exe, os.path.join(onhost_dir(line), "venv"), BUILD_PACKAGES, log, home=os.path.dirname(exe),
                   pip_wheels=os.path.join(root, "usr", "share", "python-wheels"))
    return ok and os.path.join(onhost_dir(line), "venv", "bin", "python")


def main(argv):
    interpreters, notes = discover()
    if argv[:1] == ["list"]:
        for it in interpreters:
            print(it.line, it.executable, ",".join(it.lacks) or "-", it.where)
        for note in notes:
            print("# " + note, file=sys.stderr)
        return 0
    if len(argv) == 2 and argv[0] == "prepare":
        it = next((i for i in interpreters if i.line == argv[1]), None)
        if it is None or it.lacks:
            sys.exit(f"interpreters: no usable CPython {argv[1]} here")
        log = os.path.join(it.dir, "venv.log")
        if not prepare(it, log):
            sys.exit(f"interpreters: could not prepare the {it.line} venv, see {log}")
        print(it.venv_python)
        return 0
    if len(argv) == 2 and argv[0] == "prepare-onhost" and argv[1] in UNSTABLE_LINES and unstable_root():
        log = os.path.join(onhost_dir(argv[1]), "venv.log")
        py = prepare_onhost(argv[1], log)
        if not py:
            sys.exit(f"interpreters: could not prepare the {argv[1]} venv on the host, see {log}")
        print(py)
        return 0
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
