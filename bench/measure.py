"""What every part of the bench measures with: its work folder and the
scratch folder in it (the only place it ever deletes from), timed runs, Windows programs started as the
tests start them, peak memory, folders' facts and the machine's."""
import os
import platform
import re
import shutil
import subprocess
import sys
import time
from types import SimpleNamespace

MAIN_NAME = "bench-main.exe"
START_LEVEL = 3
STUB_LIMIT = 204800


def die(message):
    sys.exit("bench: " + message)


def say(message):
    print(message, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- deleting


def is_inside(folder, path):
    """Whether path names something strictly below folder once links in
    either are resolved (the last part of path is not followed: a link
    there is removed as a link)."""
    real_folder = os.path.realpath(folder)
    parent = os.path.realpath(os.path.dirname(os.path.abspath(path)))
    candidate = os.path.join(parent, os.path.basename(os.path.abspath(path)))
    return candidate != real_folder and os.path.commonpath([real_folder, candidate]) == real_folder


def remove(bench, *paths):
    """Removes files and folders the bench made; anything outside its
    scratch folder is refused, whatever a caller computed."""
    for path in paths:
        if not os.path.lexists(path):
            continue
        if not is_inside(bench.big, path):
            die(f"not removing {path}: it is not below the bench's scratch folder {bench.big}")
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


SCRATCH_MARKER = ".fenwix-bench-scratch"


def scratch_is_ours(big):
    """Whether a scratch folder left by an earlier run carries the marker
    the bench puts in each one it makes."""
    return (os.path.isdir(big) and not os.path.islink(big)
            and os.path.isfile(os.path.join(big, SCRATCH_MARKER)))


def fresh_work_folder(root, name):
    """build/NAME, with an empty scratch folder tmp/ in it, marked. Its
    place is fixed below build/, never given from outside; a link there
    (which would lead elsewhere) is refused rather than followed. Of an
    earlier run, only a marked scratch folder is removed: the rest of
    build/NAME is overwritten, and what other scripts keep there stays."""
    build = os.path.join(root, "build")
    work = os.path.join(build, name)
    big = os.path.join(work, "tmp")
    if os.path.islink(work) or not is_inside(build, work):
        die(f"not using {work}: it is a link or not below {build}")
    if os.path.lexists(big):
        if not scratch_is_ours(big):
            die(f"not removing {big}: the bench did not make it (no {SCRATCH_MARKER} in it)")
        shutil.rmtree(big)
    os.makedirs(big)
    open(os.path.join(big, SCRATCH_MARKER), "w").close()
    return work


def remove_scratch(bench):
    """The scratch folder, at the end of a run, if it is still the one made."""
    if scratch_is_ours(bench.big):
        shutil.rmtree(bench.big)


def set_aside(bench, *paths):
    """Folders of many files are moved aside, not removed, until the bench
    ends. On ext4 without a journal, as build/bench is here, making a file
    means skipping every free inode of its group deleted in the last minute:
    removing a tree of ten thousand files makes every file made in the next
    minute several times slower, natively and under Wine alike. No measure
    of many files may pay for an earlier one's."""
    for path in paths:
        if not os.path.lexists(path):
            continue
        if not is_inside(bench.big, path):
            die(f"not moving {path}: it is not below {bench.big}")
        bench.set_aside_count += 1
        aside = os.path.join(bench.big, "set-aside")
        os.makedirs(aside, exist_ok=True)
        os.rename(path, os.path.join(aside, str(bench.set_aside_count)))


# ---------------------------------------------------------------- running


def run(command, what, **kwargs):
    """Runs a command that must succeed, its input closed."""
    result = subprocess.run(command, stdin=subprocess.DEVNULL, **kwargs)
    if result.returncode != 0:
        die(f"{what} failed (exit code {result.returncode})")
    return result


def output_of(command):
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          check=False).stdout


def timed(samples, command, what, out=None, env=None):
    """Runs a command once, with nothing left to write back before it
    starts, and appends its wall-clock time in microseconds to samples."""
    os.sync()
    start = time.monotonic_ns()
    run(command, what, stdout=out or subprocess.DEVNULL, env=env)
    samples.append((time.monotonic_ns() - start) // 1000)


def winpath(path):
    return "Z:" + path.replace("/", "\\")


def start_command(bench, program, *args):
    """A Windows program started the way the tests start one:
    exit_code_harness under scripts/wine-run, which writes the program's
    exit code to a file (check_started reads it)."""
    if os.path.exists(bench.code_file):
        os.remove(bench.code_file)
    return [bench.wine_run, bench.harness, winpath(bench.code_file), winpath(program), *args]


def check_started(bench, what):
    try:
        with open(bench.code_file, encoding="ascii", errors="replace") as f:
            code = f.read().strip("\r\n")  # written in text mode: a CR ends the line
    except OSError:
        code = ""
    if code != "0":
        die(f"{what} did not end with exit code 0")


def start_windows(bench, program, *args, env=None):
    """Starts a program once, untimed, its output and failure ignored (to
    warm Wine up, or to leave a record)."""
    subprocess.run(start_command(bench, program, *args), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, check=False)


def timed_start(bench, samples, program, what, *args, out=None):
    timed(samples, start_command(bench, program, *args), what, out=out)
    check_started(bench, what)


def peak_kib(bench, program, **variables):
    """The peak resident set size, in KiB, of the Wine process of a Windows
    program run directly, with variables added to its environment."""
    os.sync()
    out = os.path.join(bench.big, "time.out")
    env = dict(os.environ, **variables)
    run(["/usr/bin/time", "-f", "%M", "-o", out, bench.wine_run, program],
        f"{program} under Wine", stdout=subprocess.DEVNULL, env=env)
    with open(out) as f:
        return int(f.read().split()[-1])


def drop_caches():
    """Drops the page cache (root only); False when it cannot."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


def must_drop_caches():
    if not drop_caches():
        die("dropping caches failed, though it worked at the start")


# ---------------------------------------------------------------- folders


def folder_files(folder):
    """Every file below folder as (relative path, size), sorted by path."""
    found = []
    for base, dirs, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            if os.path.isfile(path) and not os.path.islink(path):
                found.append((os.path.relpath(path, folder), os.path.getsize(path)))
    return sorted(found)


def folder_count(folder):
    return sum(len(dirs) for _, dirs, _ in os.walk(folder))


def same_files(app, target):
    """Whether two folders hold the same files, leaving out the launcher's
    own (its lock and the like, named .fenwix-*) in the target folder."""
    return subprocess.run(["diff", "-rq", "-x", ".fenwix-*", app, target],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def corpus_paths(bench, app):
    """A corpus's folder, its files, where its launcher and target go, and
    the file a start finds changed: the largest but the main program (of
    files of one size, the last by name)."""
    files = folder_files(app)
    size, rel = max((size, rel) for rel, size in files if os.path.basename(rel) != MAIN_NAME)
    return SimpleNamespace(app=app, files=files, target=os.path.join(bench.big, "target"),
                           launcher=os.path.join(bench.big, "launcher.exe"), changed_rel=rel,
                           changed_size=size)


def same_bytes(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def frame_windows(data):
    """The window of every Zstandard frame in data, in order, from the frame
    headers (`zstd -lv` shows only the last frame's, which for the packer's
    frames is often the smallest); None if data is not whole frames."""
    windows, at = [], 0
    while at < len(data):
        magic = int.from_bytes(data[at:at + 4], "little")
        if magic & 0xFFFFFFF0 == 0x184D2A50:  # a skippable frame
            at += 8 + int.from_bytes(data[at + 4:at + 8], "little")
            continue
        if magic != 0xFD2FB528 or at + 5 > len(data):
            return None
        fhd = data[at + 4]
        single = fhd >> 5 & 1
        fcs_size = [single, 2, 4, 8][fhd >> 6]
        at += 5
        if not single:
            exponent, mantissa = data[at] >> 3, data[at] & 7
            base = 1 << (10 + exponent)
            windows.append(base + (base >> 3) * mantissa)
            at += 1
        at += [0, 1, 2, 4][fhd & 3]
        if single:
            fcs = int.from_bytes(data[at:at + fcs_size], "little")
            windows.append(fcs + 256 if fcs_size == 2 else fcs)
        at += fcs_size
        last = 0
        while not last:
            if at + 3 > len(data):
                return None
            header = int.from_bytes(data[at:at + 3], "little")
            last, kind, size = header & 1, header >> 1 & 3, header >> 3
            if kind == 3:
                return None
            at += 3 + (1 if kind == 1 else size)
        at += 4 if fhd >> 2 & 1 else 0
    return windows if at == len(data) else None


def cut_frame(bench, app, frame):
    """Packs a folder on its own at the starts' level and cuts the Zstandard
    frames out of the block into frame. Returns the block's size and the
    largest of the frames' windows, in bytes."""
    block = os.path.join(bench.big, "block")
    run([bench.tool, "pack", app, "-o", block, "--main", MAIN_NAME, "--level", str(START_LEVEL),
         "--quiet"], f"fenwix pack {app}")
    # The block: "QJX", the frames, 4 zero bytes, an 8-byte trailer.
    with open(block, "rb") as f:
        data = f.read()
    with open(frame, "wb") as f:
        f.write(data[3:-12])
    remove(bench, block)
    windows = frame_windows(data[3:-12])
    if not windows or subprocess.run(["zstd", "-q", "-t", frame]).returncode != 0:
        die("the frames cut out of the block do not decode")
    return len(data), max(windows)


def build_alone(bench, app):
    """A launcher of the main program alone: its start above the bare one
    is the fixed cost of any launcher start, whatever the application's
    size."""
    alone = os.path.join(bench.big, "alone")
    remove(bench, alone, os.path.join(bench.big, "alone-target"))
    os.makedirs(alone)
    shutil.copy(os.path.join(app, MAIN_NAME), alone)
    run([bench.tool, "build", alone, "-o", bench.alone_exe, "--level", str(START_LEVEL),
         "--template", winpath(os.path.join(bench.big, "alone-target")), "--quiet"],
        "building the launcher of the main program alone")


def build_launcher(bench, app, out, target, *options):
    run([bench.tool, "build", app, "-o", out, "--main", MAIN_NAME, "--level", str(START_LEVEL),
         "--template", winpath(target), "--quiet", *options], f"building a launcher of {app}")


def overwrite_middle(path, size):
    """16 random bytes in the middle of a file, its size kept."""
    with open(path, "r+b") as f:
        f.seek(size // 32 * 16)
        f.write(os.urandom(16))


# ---------------------------------------------------------------- machine


def commit_of(root):
    """The short commit, and the note the tables give it."""
    commit = output_of(["git", "-C", root, "rev-parse", "--short", "HEAD"]).strip() or "unknown"
    changed = output_of(["git", "-C", root, "status", "--porcelain", "--untracked-files=no",
                         "--", ".", ":!bench"]).strip()
    if changed:
        return f"{commit} with changes", f"{commit}, with uncommitted changes outside bench/"
    return commit, commit


def machine(root, work):
    commit, note = commit_of(root)
    cpu = re.search(r"^Model name:\s*(.*)$", output_of(["lscpu"]), re.M)
    with open("/proc/meminfo") as f:
        mem_kib = int(re.search(r"^MemTotal:\s*(\d+)", f.read(), re.M).group(1))
    with open("/etc/debian_version") as f:
        debian = f.read().strip()
    fstype = output_of(["df", "--output=fstype", work]).split()[-1]
    zstd = re.search(r" (v[0-9][0-9.]*)", output_of(["zstd", "--version"]))
    return {
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "commit": commit,
        "commit_note": note,
        "cpu": cpu.group(1).strip() if cpu else "unknown",
        "cores": os.cpu_count(),
        "ram": "%.1f GiB" % (mem_kib / 1048576),
        "system": (f"Debian {debian}, Linux {platform.release()}, {fstype} file system "
                   "for build/bench"),
        "wine": output_of(["wine", "--version"]).strip(),
        "zstd": zstd.group(1) if zstd else "unknown",
    }


# ---------------------------------------------------------------- starts


def launcher_round(bench, c, samples, clear, first):
    """One round of the starts every corpus times: the bare main program, a
    cold start (the target cleared by clear: removed or set aside), a warm
    start, a launcher of the main program alone, and a start with one file
    changed. c holds the corpus's app, target, launcher, changed_rel and
    changed_size."""
    timed_start(bench, samples["bare"], os.path.join(c.app, MAIN_NAME), "the bare main program")
    clear(bench, c.target)
    timed_start(bench, samples["cold"], c.launcher, "the launcher (cold start)")
    if first and not same_files(c.app, c.target):
        die("the cold start did not unpack the folder exactly")
    timed_start(bench, samples["warm"], c.launcher, "the launcher (warm start)")
    timed_start(bench, samples["alone"], bench.alone_exe, "the launcher of the main program alone")
    changed = os.path.join(c.target, c.changed_rel)
    original = os.path.join(c.app, c.changed_rel)
    overwrite_middle(changed, c.changed_size)
    if same_bytes(changed, original):
        die(f"overwriting bytes of {changed} changed nothing")
    timed_start(bench, samples["changed"], c.launcher, "the launcher (one file changed)")
    if not same_bytes(changed, original):
        die(f"the launcher did not repair {c.changed_rel}")
