"""Every shell and CMake snippet of docs/ is run, or shown to be what CI runs.

    python scripts/lib/doc_snippets.py [--list] [FILE.md ...]

Each ```sh or ```cmake block must follow a marker line saying how it is
checked, with `old -> new` substitutions for its placeholders after `;`
(values may use $ROOT, the checkout, $WORK, a scratch folder of this run,
and $PYLINE, the .venv interpreter's X.Y):

    <!-- snippet: run; /opt/zormsg -> $WORK/prefix -->
        sh: run with bash -euo pipefail from the checkout, in document order.
        cmake: a whole CMakeLists.txt, configured from $WORK with an empty
        mine.cpp beside it (Ninja, .venv's Python, pybind11's CMake folder,
        CMAKE_PREFIX_PATH=$WORK/prefix); `run build` builds it too.
    <!-- snippet: ci scripts/test.sh [FILE ...] -->
        every command (lines split at && and ;, leading VAR=value settings
        left out) is, word for word in order, part of one line of those
        files, in the same order as the snippet: CI runs it.
    <!-- snippet: shown: why it is not run -->
        left to the reader; only the paths it names are checked.

For every kind, the checkout's files the snippet names (scripts/..., bench/...)
must exist. A block without a marker, or a marker without a block, fails.
"""
import argparse
import os
import re
import shlex
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))
PY = os.path.join(ROOT, ".venv", "bin", "python")
MARKER = re.compile(r"^<!-- snippet: (run|ci|shown)(?:(:.*?)|(.*?))\s*-->$")
FENCE = re.compile(r"^```(\w*)\s*$")
PATH_WORD = re.compile(r"^(?:scripts|bench|examples|tests|fuzz|docs|src|cmake)/[\w./-]*[\w]$")


class Snippet:
    def __init__(self, doc, line, lang, kind, args, subs, text):
        self.doc, self.line, self.lang, self.kind = doc, line, lang, kind
        self.args, self.subs, self.text = args, subs, text

    def where(self):
        return "%s:%d" % (os.path.relpath(self.doc, ROOT), self.line)


def parse(doc):
    """The sh and cmake snippets of one Markdown file, each with its marker."""
    snippets, errors = [], []
    name = os.path.relpath(doc, ROOT)
    with open(doc) as f:
        lines = f.read().split("\n")
    marker, i = None, 0
    while i < len(lines):
        m = MARKER.match(lines[i])
        if m:
            marker = (i + 1, m)
            i += 1
            continue
        fence = FENCE.match(lines[i])
        if not fence or not fence.group(1):
            if lines[i].strip() and marker is not None:
                errors.append("%s:%d: a snippet marker with no block right after it" % (name, marker[0]))
                marker = None
            i += 1
            continue
        lang, start = fence.group(1), i + 1
        i += 1
        while i < len(lines) and not FENCE.match(lines[i]):
            i += 1
        text = "\n".join(lines[start:i]) + "\n"
        i += 1
        if lang not in ("sh", "cmake"):
            marker = None
            continue
        if marker is None:
            errors.append("%s:%d: a ```%s block without a snippet marker" % (name, start, lang))
            continue
        m = marker[1]
        kind = m.group(1)
        if kind == "shown":
            args, subs = [(m.group(2) or ":").lstrip(":").strip()], []
            if not args[0]:
                errors.append("%s:%d: 'shown' needs a reason" % (name, marker[0]))
        else:
            parts = [p.strip() for p in (m.group(3) or "").split(";")]
            args = parts[0].split()
            subs = [tuple(w.strip() for w in p.split("->", 1)) for p in parts[1:] if p]
            bad = [p for p in parts[1:] if p and "->" not in p]
            if bad:
                errors.append("%s:%d: a substitution without '->': %s" % (name, marker[0], bad[0]))
        snippets.append(Snippet(doc, start, lang, kind, args, subs, text))
        marker = None
    return snippets, errors


def substituted(s, env):
    text = s.text
    for old, new in sorted(s.subs, key=lambda kv: -len(kv[0])):  # the longest first: /tmp/zc-prefix before /tmp/zc
        if old not in text:
            raise ValueError("%s: no %r in the snippet to substitute" % (s.where(), old))
        for name, value in env.items():
            new = new.replace("$" + name, value)
        text = text.replace(old, new)
    return text


def commands(text):
    """Each command of a shell text as its words, settings and comments left out."""
    out = []
    for line in text.replace("\\\n", " ").split("\n"):
        try:
            words = shlex.split(line, comments=True)
        except ValueError:
            words = line.split()
        cmd = []
        for w in words + ["&&"]:
            if w in ("&&", ";", "||"):
                while cmd and re.match(r"^[A-Za-z_]\w*=", cmd[0]):
                    cmd.pop(0)
                if cmd:
                    out.append(cmd)
                cmd = []
            else:
                cmd.append(w)
    return out


def is_part(words, line_words):
    it = iter(line_words)
    return all(w in it for w in words)


def check_ci(s):
    files = s.args or ["scripts/test.sh"]
    lines = []
    for f in files:
        with open(os.path.join(ROOT, f)) as fh:
            lines += [words for words in commands(fh.read())]
    at = 0
    for cmd in commands(substituted(s, {"ROOT": ROOT})):
        for k in range(at, len(lines)):
            if is_part(cmd, lines[k]):
                at = k  # the next command may be another run of the same line
                break
        else:
            return "not run by %s in this order: %s" % (", ".join(files), " ".join(cmd))
    return None


def check_paths(s):
    for cmd in commands(s.text) if s.lang == "sh" else [s.text.split()]:
        for w in cmd:
            w = w.strip("()\"'")
            if PATH_WORD.match(w) and not os.path.exists(os.path.join(ROOT, w)):
                return "names %s, which the checkout does not have" % w
    return None


def run(s, env, work):
    text = substituted(s, env)
    if s.lang == "sh":
        cmd, cwd = ["bash", "-euo", "pipefail", "-c", text], ROOT
    else:
        project = tempfile.mkdtemp(prefix="cmake-", dir=work)
        with open(os.path.join(project, "CMakeLists.txt"), "w") as f:
            f.write(text)
        open(os.path.join(project, "mine.cpp"), "w").close()
        pybind11_dir = subprocess.run([PY, "-m", "pybind11", "--cmakedir"], check=True, capture_output=True,
                                      text=True).stdout.strip()
        build = os.path.join(project, "build")
        configure = ["cmake", "-S", project, "-B", build, "-G", "Ninja", "-DPython_EXECUTABLE=" + PY,
                     "-Dpybind11_DIR=" + pybind11_dir, "-DCMAKE_PREFIX_PATH=" + os.path.join(work, "prefix")]
        text = " ".join(map(shlex.quote, configure))
        if "build" in s.args:
            text += " && cmake --build " + shlex.quote(build)
        cmd, cwd = ["bash", "-euo", "pipefail", "-c", text], project
    r = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if r.returncode != 0:
        return "failed (exit %d) as run:\n%s\n--- output:\n%s" % (r.returncode, text, r.stdout[-6000:])
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("docs", nargs="*")
    ap.add_argument("--list", action="store_true", help="only list the snippets and how each is checked")
    args = ap.parse_args()
    docs = args.docs or sorted(os.path.join(ROOT, "docs", f) for f in os.listdir(os.path.join(ROOT, "docs"))
                               if f.endswith(".md"))
    snippets, errors = [], []
    for doc in docs:
        found, bad = parse(doc)
        snippets += found
        errors += bad
    pyline = subprocess.run([PY, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"], check=True,
                            capture_output=True, text=True).stdout.strip()
    counts = {"run": 0, "ci": 0, "shown": 0}
    with tempfile.TemporaryDirectory(prefix="zormsg-snippets.") as work:
        env = {"ROOT": ROOT, "WORK": work, "PYLINE": pyline}
        for s in snippets:
            if args.list:
                print("%-28s %-6s %s" % (s.where(), s.kind, " ".join(s.args)))
                continue
            started = time.monotonic()
            try:
                problem = check_paths(s)
                if problem is None and s.kind == "ci":
                    problem = check_ci(s)
                elif problem is None and s.kind == "run":
                    problem = run(s, env, work)
            except (OSError, ValueError, subprocess.CalledProcessError) as e:
                problem = str(e)
            if problem:
                errors.append("%s: %s snippet %s" % (s.where(), s.kind, problem))
            else:
                counts[s.kind] += 1
                print("doc snippets: %s %s (%.1f s)" % (s.where(), s.kind, time.monotonic() - started), flush=True)
    if args.list:
        return 0
    for e in errors:
        print("doc snippets: " + e)
    print("doc snippets: %d run, %d as CI runs them, %d shown only; %d problems" % (
        counts["run"], counts["ci"], counts["shown"], len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
