#!/usr/bin/python3
"""`fenwix sbom` read back with Python's own json and hashlib: a launcher of a
small folder (a program with a version resource, a .DLL that is no image,
files of odd sizes and names) gives one component per file with its path,
size and SHA-256 as on disk, the program's names, the launcher as subject,
and the same bytes every run. Bad input: one error line, exit 1, no file.

usage: sbom_test.py FENWIX PROBE_EXE WORK_DIR"""
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
from datetime import datetime, timezone

fenwix, probe, work = (os.path.abspath(a) for a in sys.argv[1:4])
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def run(*args, env=None):
    return subprocess.run([fenwix, *args], capture_output=True, env=env or os.environ)


def build(app, out, *options):
    r = run("build", app, "-o", out, "--quiet", *options)
    if r.returncode != 0:
        sys.exit(f"build {out} failed: {r.stderr}")


shutil.rmtree(work, ignore_errors=True)
# The program is itself a launcher built with names, so it has a version resource.
os.makedirs(os.path.join(work, "inner"))
shutil.copy(probe, os.path.join(work, "inner", "probe.exe"))
app = os.path.join(work, "app")
os.makedirs(os.path.join(app, "lib", "deep"))
build(os.path.join(work, "inner"), os.path.join(app, "tool.exe"), "--product", "Sbom Probe",
      "--company", "Fenwix \"Tests\" Ltd", "--version", "2.3.4.5", "--description",
      "The probe, packed", "--copyright", "(C) 2026 Fenwix Tests", "--template", "C:\\probe")
rng = random.Random(28)
for name, data in {"lib/helper.DLL": b"MZ not really a library", "empty.txt": b"",
                   "lib/deep/d\u00e9j\u00e0 vu \u2713.bin": rng.randbytes(200003)}.items():
    with open(os.path.join(app, name), "wb") as f:
        f.write(data)
launcher = os.path.join(work, "Packed.exe")
build(app, launcher, "--product", "Packed App", "--company", "Vendor", "--version", "1.2.0.0")
with open(launcher, "rb") as f:
    launcher_bytes = f.read()

epoch = 1767225600
out = os.path.join(work, "bom.json")
r = run("sbom", launcher, "-o", out, env={**os.environ, "SOURCE_DATE_EPOCH": str(epoch)})
check(r.returncode == 0 and r.stdout == r.stderr == b"", f"sbom -o: {r}")
with open(out, "rb") as f:
    bom = json.load(f)
check((bom["bomFormat"], bom["specVersion"], bom["version"]) == ("CycloneDX", "1.5", 1), "kind")
check(re.fullmatch(r"urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
                   bom["serialNumber"]), f"serial number {bom['serialNumber']}")
meta, sha = bom["metadata"], lambda data: [{"alg": "SHA-256",
                                             "content": hashlib.sha256(data).hexdigest()}]
check(meta["timestamp"] == datetime.fromtimestamp(epoch, timezone.utc).strftime(
    "%Y-%m-%dT%H:%M:%SZ"), f"timestamp {meta.get('timestamp')}")
subject = meta["component"]
check((subject["name"], subject["version"], subject["supplier"], subject["hashes"]) ==
      ("Packed App", "1.2.0.0", {"name": "Vendor"}, sha(launcher_bytes)), f"subject {subject}")

# Every file on disk, by the name the launcher writes (Windows form).
components = {c["name"]: c for c in bom["components"]}
files = 0
for folder, _, names in os.walk(app):
    for name in names:
        files += 1
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        key = os.path.relpath(os.path.join(folder, name), app).replace("/", "\\")
        c = components.get(key, {})
        size = [p["value"] for p in c.get("properties", []) if p["name"] == "fenwix:size"]
        check(c.get("type") == "file" and size == [str(len(data))] and c["hashes"] == sha(data),
              f"{key}: {c}")
check(len(bom["components"]) == files, f"{len(bom['components'])} components, {files} files")
program = components["tool.exe"]
check(([program.get(k) for k in ("supplier", "version", "description", "copyright")],
       program["properties"][1:]) ==
      ([{"name": "Fenwix \"Tests\" Ltd"}, "2.3.4.5", "The probe, packed", "(C) 2026 Fenwix Tests"],
       [{"name": "fenwix:product-name", "value": "Sbom Probe"}]), f"program {program}")
check(not {"supplier", "version"} & components["lib\\helper.DLL"].keys(), "a .DLL of no image")

# The same bytes each time; no time without SOURCE_DATE_EPOCH.
env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
plain = [run("sbom", launcher, env=env).stdout for _ in range(2)]
del bom["metadata"]["timestamp"]
check(plain[0] == plain[1] and json.loads(plain[0]) == bom, "runs differ beyond the time")

# Bad input: one line, exit 1, nothing written, the launcher unchanged.
damaged = os.path.join(work, "damaged.exe")
at = len(launcher_bytes) - 100000  # in the block, which ends the file
with open(damaged, "wb") as f:
    f.write(launcher_bytes[:at] + bytes(b ^ 0xFF for b in launcher_bytes[at:at + 40]) +
            launcher_bytes[at + 40:])
before = sorted(os.listdir(work))
for args in ([os.path.join(app, "empty.txt"), "-o", "x.json"], [damaged, "-o", "x.json"],
             [launcher, "-o", launcher], [launcher, "--outptu", "x.json"]):
    r = subprocess.run([fenwix, "sbom", *args], capture_output=True, text=True, cwd=work)
    check(r.returncode == 1 and r.stdout == "" and r.stderr.count("\n") == 1 and
          r.stderr.startswith("fenwix sbom: error: ") and sorted(os.listdir(work)) == before,
          f"{args}: {r}, left {os.listdir(work)}")
check("did you mean --output?" in r.stderr, f"no suggestion: {r.stderr}")
with open(launcher, "rb") as f:
    check(f.read() == launcher_bytes, "the launcher changed")

for failure in failures:
    print("FAIL:", failure)
if not failures:
    shutil.rmtree(work)
sys.exit(1 if failures else 0)
