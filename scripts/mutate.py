#!/usr/bin/env python3
"""Mutation run: how many planted faults in src/ does the test suite catch?

Each mutant is one small change to one line of src/ (an operator flipped, a
constant moved by one, a condition negated, a call or a returned value
removed, a co_await of a command dropped). The mutants are built and tested
in scratch copies of the tree, never in the work tree; each worker keeps a
copy and a build folder of its own between runs, so a run only recompiles
what its mutants touch.

For each mutant: incremental build, the unit test programs, and the
end-to-end tests only when the unit tests miss it. A mutant that makes the
suite hang counts as caught and is reported apart as timed out.

    python3 scripts/mutate.py                 # 120 mutants, seed 1, 2 workers
    python3 scripts/mutate.py --only src/queue --count 20 --jobs 1
    python3 scripts/mutate.py --list          # the sample, numbered, without running it
    python3 scripts/mutate.py --rev HEAD~3 --pick 4,17   # two mutants against an older suite
"""
import argparse
import fcntl
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# What a build of the gateway and its tests needs; build folders stay behind.
TREE_ENTRIES = ["CMakeLists.txt", "cmake", "src", "tests", "tools", "packaging"]
E2E_PROGRAM = "kelvarix_e2e_tests"
FAILED_RE = re.compile(r"^\[  FAILED  \] (\w[\w/]*\.[\w/]+)[ ,]", re.M)


@dataclass(frozen=True)
class Mutant:
    path: str  # relative to the root, with /
    line: int  # 1-based
    start: int  # column range within the line that is replaced
    end: int
    replacement: str
    kind: str

    def apply(self, text: str) -> str:
        lines = text.split("\n")
        old = lines[self.line - 1]
        lines[self.line - 1] = old[: self.start] + self.replacement + old[self.end :]
        return "\n".join(lines)

    def describe(self, text: str) -> str:
        old = text.split("\n")[self.line - 1]
        new = old[: self.start] + self.replacement + old[self.end :]
        return f"{self.path}:{self.line}: {old.strip()}  =>  {new.strip()}"


# ---------------------------------------------------------------- finding mutants


def code_mask(text: str) -> list[bool]:
    """True for each character that is code: not inside a comment, a string
    or a character literal (raw strings included)."""
    mask = [True] * len(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif c == "R" and text.startswith('"', i + 1) and (i == 0 or not text[i - 1].isalnum()):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                i += 1
                continue
            close = ")" + m.group(1) + '"'
            j = text.find(close, i + m.end())
            j = n if j < 0 else j + len(close)
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # digit separator 1'000
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
        else:
            i += 1
            continue
        for k in range(i, j):
            mask[k] = False
        i = j
    return mask


SWAPS = [
    ("relational", {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > "}),
    ("equality", {" == ": " != ", " != ": " == "}),
    ("logical", {" && ": " || ", " || ": " && "}),
    ("arithmetic", {" + ": " - ", " - ": " + ", " += ": " -= ", " -= ": " += "}),
]
SWAP_RE = re.compile(r" (?:<=|>=|==|!=|&&|\|\||\+=|-=|<|>|\+|-) ")
INT_RE = re.compile(r"(?<![\w.'])\d+(?![\w.'])")
COND_RE = re.compile(r"\b(if|while) \(")
RETURN_RE = re.compile(r"^(\s*)(co_return|return) (?!\{\};)(.+);\s*$")
AWAIT_STMT_RE = re.compile(r"^(\s*)co_await [\w:.>()-]+\(.*\);\s*$")
CALL_STMT_RE = re.compile(r"^(\s*)[A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*\(.*\);\s*$")
TEXT_RE = re.compile(r'"|std::string\b|to_string|\b(out|line|text|result)\b \+=')
DECLARATION_RE = re.compile(r"[^=!<>]=[^=]")
SKIP_LINE_RE = re.compile(r"^\s*(#|static_assert|template|using |namespace |case |default:)")


def balanced(s: str) -> bool:
    depth = 0
    for c in s:
        depth += c == "("
        depth -= c == ")"
        if depth < 0:
            return False
    return depth == 0


def line_mutants(path: str, number: int, line: str, mask: list[bool]) -> list[Mutant]:
    if SKIP_LINE_RE.match(line) or not any(mask):
        return []

    def is_code(a: int, b: int) -> bool:
        return all(mask[a:b])

    found = []
    for m in SWAP_RE.finditer(line):
        if not is_code(m.start(), m.end()):
            continue
        for kind, table in SWAPS:
            if kind == "arithmetic" and TEXT_RE.search(line):
                continue  # + joins text there: its swap would not compile
            if m.group(0) in table:
                found.append(Mutant(path, number, m.start(), m.end(), table[m.group(0)], kind))
    for m in INT_RE.finditer(line):
        if is_code(m.start(), m.end()) and "[" not in line[max(0, m.start() - 1) : m.start()]:
            value = int(m.group(0))
            found.append(Mutant(path, number, m.start(), m.end(), str(value + 1), "constant"))
    for m in COND_RE.finditer(line):
        # The condition must close on this line: find its closing parenthesis.
        depth, j = 0, m.end() - 1
        while j < len(line):
            depth += line[j] == "("
            depth -= line[j] == ")"
            if depth == 0:
                break
            j += 1
        if j < len(line) and is_code(m.start(), j + 1):
            cond = line[m.end() : j]
            if "co_await" not in cond and ";" not in cond and not DECLARATION_RE.search(cond):
                found.append(Mutant(path, number, m.end(), j, f"!({cond})", "negated condition"))
    stripped_end = len(line.rstrip())
    if is_code(0, stripped_end):
        if m := RETURN_RE.match(line):
            value = m.group(3)
            if balanced(value) and value not in ("{}", "true", "false"):
                found.append(Mutant(path, number, len(m.group(1)), stripped_end,
                                    f"{m.group(2)} {{}};", "return value removed"))
            elif value in ("true", "false"):
                flipped = "false" if value == "true" else "true"
                found.append(Mutant(path, number, len(m.group(1)), stripped_end,
                                    f"{m.group(2)} {flipped};", "return value removed"))
        elif m := AWAIT_STMT_RE.match(line):
            if balanced(line):
                found.append(Mutant(path, number, len(m.group(1)), stripped_end, ";",
                                    "co_await dropped"))
        elif m := CALL_STMT_RE.match(line):
            if balanced(line) and not line.strip().startswith(("return", "delete")):
                found.append(Mutant(path, number, len(m.group(1)), stripped_end, ";",
                                    "call removed"))
    return found


def file_mutants(root: Path, path: str) -> list[Mutant]:
    text = (root / path).read_text(encoding="utf-8", errors="surrogateescape")
    mask = code_mask(text)
    found, offset = [], 0
    for number, line in enumerate(text.split("\n"), start=1):
        found += line_mutants(path, number, line, mask[offset : offset + len(line)])
        offset += len(line) + 1
    return found


def source_files(root: Path, only: list[str]) -> list[str]:
    files = []
    for p in sorted((root / "src").rglob("*")):
        rel = p.relative_to(root).as_posix()
        if p.suffix not in (".cpp", ".h") or "/windows/" in rel:
            continue  # the Windows code is not built on Linux
        if only and not any(rel == o or rel.startswith(o.rstrip("/") + "/") for o in only):
            continue
        files.append(rel)
    return files


def non_blank_lines(root: Path, path: str) -> int:
    return sum(1 for l in (root / path).read_text(errors="replace").splitlines() if l.strip())


def choose(root: Path, files: list[str], count: int, seed: int) -> list[Mutant]:
    """A fixed-seed sample, spread over the folders of src/ by their size."""
    rng = random.Random(seed)
    by_folder: dict[str, list[Mutant]] = {}
    size: dict[str, int] = {}
    for f in files:
        folder = f.split("/")[1] if f.count("/") > 1 else f
        by_folder.setdefault(folder, []).extend(file_mutants(root, f))
        size[folder] = size.get(folder, 0) + non_blank_lines(root, f)
    folders = [f for f in sorted(by_folder) if by_folder[f]]
    total = sum(size[f] for f in folders) or 1
    share = {f: count * size[f] / total for f in folders}
    quota = {f: max(1, int(share[f])) for f in folders}
    for f in sorted(folders, key=lambda f: share[f] - int(share[f]), reverse=True):
        if sum(quota.values()) >= count:
            break
        quota[f] += 1
    chosen = []
    for f in folders:
        chosen += rng.sample(by_folder[f], min(quota[f], len(by_folder[f])))
    return sorted(chosen, key=lambda m: (m.path, m.line, m.start, m.replacement))


# ---------------------------------------------------------------- building and testing


def snapshot(rev: str | None) -> Path:
    """The tree to mutate: the work tree as it is, or a commit of it."""
    if rev is None:
        return ROOT
    target = Path(tempfile.mkdtemp(prefix="kelvarix-mutate-rev-"))
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", rev], check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(target)], input=archive, check=True)
    return target


def sync_tree(source: Path, target: Path) -> None:
    """Makes target hold the files of source, rewriting only those that
    differ, so that the builds in target stay incremental."""
    wanted = set()
    for entry in TREE_ENTRIES:
        src = source / entry
        paths = [src] if src.is_file() else sorted(p for p in src.rglob("*") if p.is_file())
        for p in paths:
            rel = p.relative_to(source)
            wanted.add(rel)
            dst = target / rel
            data = p.read_bytes()
            if not dst.exists() or dst.read_bytes() != data:
                dst.parent.mkdir(parents=True, exist_ok=True)
                dst.write_bytes(data)
    for entry in TREE_ENTRIES:
        dst_root = target / entry
        if dst_root.is_dir():
            for p in sorted(dst_root.rglob("*"), reverse=True):
                if p.is_file() and p.relative_to(target) not in wanted:
                    p.unlink()


def run(cmd: list[str], cwd: Path, limit: float | None = None) -> tuple[str, str]:
    """Runs cmd; returns ("ok" | "failed" | "timeout", output)."""
    try:
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                start_new_session=True, text=True, errors="replace")
    except OSError as e:
        return "failed", str(e)
    try:
        out, _ = proc.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, 9)
        out, _ = proc.communicate()
        return "timeout", out
    return ("ok" if proc.returncode == 0 else "failed"), out


class PrepareError(Exception):
    pass


class Worker:
    def __init__(self, base: Path, index: int, build_jobs: int):
        self.tree = base / f"worker-{index}"
        self.build = self.tree / "build"
        self.build_jobs = build_jobs
        self.unit_programs: list[str] = []
        self.unit_limit = self.e2e_limit = 0.0
        self.error = ""

    def prepare(self, source: Path) -> None:
        try:
            self.prepare_or_raise(source)
        except PrepareError as e:
            self.error = str(e)

    def prepare_or_raise(self, source: Path) -> None:
        sync_tree(source, self.tree)
        state, out = run(["cmake", "-G", "Ninja", "-S", ".", "-B", "build",
                          "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g0"], self.tree)
        if state != "ok":
            raise PrepareError(f"configuring {self.tree} failed:\n{out}")
        state, out = self.compile()
        if state != "ok":
            raise PrepareError(f"the unmutated tree does not build:\n{out[-3000:]}")
        listing = subprocess.run(["ctest", "--show-only=json-v1"], cwd=self.build, check=True,
                                 capture_output=True, text=True).stdout
        programs = sorted({t["command"][0] for t in json.loads(listing)["tests"]})
        self.unit_programs = [p for p in programs if Path(p).name != E2E_PROGRAM]
        # The time limits follow how long the unmutated suite takes here.
        for phase in ("unit", "e2e"):
            began = time.monotonic()
            state, out = self.test(phase, limit=1800)
            if state != "ok":
                raise PrepareError(f"the unmutated {phase} tests fail in {self.tree}:\n{out[-3000:]}")
            setattr(self, f"{phase}_limit", max(60.0, 4 * (time.monotonic() - began)))

    def compile(self) -> tuple[str, str]:
        return run(["cmake", "--build", "build", "-j", str(self.build_jobs)], self.tree)

    def test(self, phase: str, limit: float) -> tuple[str, str]:
        """Runs the unit test programs one after the other, or the end-to-end
        program; each stops at its first failing test. A failure counts only
        when the failed tests fail again on their own, so that a test that
        lost a race on a loaded machine does not pass for a catch."""
        programs = self.unit_programs if phase == "unit" else [str(self.build / E2E_PROGRAM)]
        output = []
        began = time.monotonic()

        def left() -> float:
            return max(limit - (time.monotonic() - began), 1)

        for program in programs:
            state, out = run([program, "--gtest_fail_fast", "--gtest_brief=1"], self.build, left())
            output.append(out)
            if state == "failed":
                failed = sorted(set(FAILED_RE.findall(out)))
                if failed:
                    state, out = run([program, "--gtest_filter=" + ":".join(failed)], self.build,
                                     left())
                    output.append(out)
            if state != "ok":
                return state, "".join(output)
        return "ok", "".join(output)

    def judge(self, mutant: Mutant, original: str) -> tuple[str, str]:
        path = self.tree / mutant.path
        path.write_text(mutant.apply(original), encoding="utf-8", errors="surrogateescape")
        try:
            state, _ = self.compile()
            if state != "ok":
                return "not compiled", ""
            state, _ = self.test("unit", self.unit_limit)
            if state == "timeout":
                return "timed out", "unit"
            if state == "failed":
                return "caught", "unit"
            state, _ = self.test("e2e", self.e2e_limit)
            if state == "timeout":
                return "timed out", "e2e"
            return ("caught", "e2e") if state == "failed" else ("survived", "")
        finally:
            path.write_text(original, encoding="utf-8", errors="surrogateescape")
            self.stop_strays()

    def stop_strays(self) -> None:
        """Kills what a mutant left running (a gateway that a test started in
        a session of its own outlives the test's process group)."""
        for proc in Path("/proc").iterdir():
            try:
                if os.readlink(proc / "exe").startswith(str(self.build) + "/"):
                    os.kill(int(proc.name), 9)
            except (OSError, ValueError):
                pass


# ---------------------------------------------------------------- the run


def scratch_base() -> Path:
    tag = hashlib.sha1(str(ROOT).encode()).hexdigest()[:10]
    return Path(tempfile.gettempdir()) / f"kelvarix-mutate-{tag}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1, help="chooses the sample (default 1)")
    parser.add_argument("--count", type=int, default=120, help="mutants to run (default 120)")
    parser.add_argument("--only", action="append", default=[], metavar="PATH",
                        help="mutate only this file or folder of src/ (repeatable)")
    parser.add_argument("--jobs", type=int, default=2, help="workers at once (default 2)")
    parser.add_argument("--rev", help="mutate this commit instead of the work tree as it is")
    parser.add_argument("--scratch", type=Path, default=scratch_base(),
                        help="folder of the scratch trees, kept between runs (default %(default)s)")
    parser.add_argument("--report", type=Path, help="also write the report to this file")
    parser.add_argument("--list", action="store_true", help="print the sample, numbered, and stop")
    parser.add_argument("--pick", metavar="N,N,...",
                        help="run only these mutants of the sample (numbers as --list prints them),"
                             " for example the survivors of one suite against another suite's --rev")
    args = parser.parse_args()

    source = snapshot(args.rev)
    files = source_files(source, args.only)
    if not files:
        parser.error("no source file under " + ", ".join(args.only))
    mutants = choose(source, files, args.count, args.seed)
    number = {m: i for i, m in enumerate(mutants, 1)}  # a mutant's place in the sample
    if args.pick:
        try:
            picked = {int(n) for n in args.pick.split(",")}
        except ValueError:
            parser.error("--pick takes numbers separated by commas")
        if not picked <= set(range(1, len(mutants) + 1)):
            parser.error(f"--pick: the sample has mutants 1 to {len(mutants)}")
        mutants = [m for i, m in enumerate(mutants, 1) if i in picked]
    originals = {f: (source / f).read_text(encoding="utf-8", errors="surrogateescape")
                 for f in {m.path for m in mutants}}
    if args.list:
        for m in mutants:
            print(f"{number[m]:3} {m.kind:22} {m.describe(originals[m.path])}")
        return 0

    jobs = max(1, min(args.jobs, len(mutants)))
    base = args.scratch
    base.mkdir(parents=True, exist_ok=True)
    lock = open(base / "lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        parser.error(f"another mutation run is using {base}; give this one --scratch DIR")
    workers = [Worker(base, i, max(1, (os.cpu_count() or 2) // jobs)) for i in range(jobs)]
    started = time.monotonic()
    print(f"preparing {jobs} scratch build(s) in {base} ...", flush=True)
    threads = [threading.Thread(target=w.prepare, args=(source,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for w in workers:
        if w.error:
            print(w.error, file=sys.stderr)
            return 2

    # Mutants of one file go to one worker, so each file is rebuilt as few times as possible.
    queues: list[list[Mutant]] = [[] for _ in workers]
    by_file: dict[str, list[Mutant]] = {}
    for m in mutants:
        by_file.setdefault(m.path, []).append(m)
    for f in sorted(by_file, key=lambda f: -len(by_file[f])):
        min(queues, key=len).extend(by_file[f])

    results: list[tuple[Mutant, str, str]] = []
    results_lock = threading.Lock()

    def work(worker: Worker, queue: list[Mutant]) -> None:
        for m in queue:
            try:
                outcome, where = worker.judge(m, originals[m.path])
            except OSError as e:  # the scratch tree was disturbed: say so, go on
                outcome, where = "not judged", str(e)
            with results_lock:
                results.append((m, outcome, where))
                print(f"[{len(results):3}/{len(mutants)}] {outcome:12} {m.describe(originals[m.path])}",
                      flush=True)

    threads = [threading.Thread(target=work, args=(w, q)) for w, q in zip(workers, queues)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    results.sort(key=lambda r: (r[0].path, r[0].line, r[0].start))
    count = {k: sum(1 for r in results if r[1] == k)
             for k in ("caught", "survived", "timed out", "not compiled")}
    caught = count["caught"] + count["timed out"]
    judged = caught + count["survived"]
    report = [f"mutation run: seed {args.seed}, {len(mutants)} mutants of {len(files)} files, "
              f"{(time.monotonic() - started) / 60:.1f} min"]
    for outcome in ("survived", "timed out", "not compiled", "not judged"):
        rows = [r for r in results if r[1] == outcome]
        if rows:
            report.append(f"\n{outcome} ({len(rows)}):")
            report += [f"  {number[r[0]]:3} {r[0].kind:22} {r[0].describe(originals[r[0].path])}"
                       for r in rows]
    by_unit = sum(1 for r in results if r[1] == "caught" and r[2] == "unit")
    report.append(f"\ncaught by the unit tests: {by_unit}, by the end-to-end tests only: "
                  f"{count['caught'] - by_unit}")
    score = caught / judged if judged else 0.0
    report.append(f"mutation score {score:.3f} (caught {caught} of {len(mutants)}, survived "
                  f"{count['survived']}, timed out {count['timed out']}, not compiled "
                  f"{count['not compiled']})")
    text = "\n".join(report)
    print("\n" + text)
    if args.rev:
        shutil.rmtree(source, ignore_errors=True)
    if args.report:
        args.report.write_text(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
