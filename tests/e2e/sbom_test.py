#!/usr/bin/python3
"""`fenwix sbom` read back with Python's own json and hashlib: a launcher of a
small folder (a program with a version resource, a library without one,
files of odd sizes and names) gives one component per file with its path,
size and SHA-256 as the files on disk have them, the program's names from
its version resource, the launcher as the subject, and the same bytes on
every run. Bad input gets one error line, a non-zero exit and no file.

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

fenwix, probe, work = sys.argv[1:4]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def run(*args, env=None):
    return subprocess.run([fenwix, *args], capture_output=True, text=True,
                          env={**os.environ, **(env or {})})


def build(app, out, *options):
    r = run("build", app, "-o", out, "--quiet", *options)
    if r.returncode != 0:
        sys.exit(f"build {out} failed: {r.stderr}")


shutil.rmtree(work, ignore_errors=True)
# The program: itself a launcher fenwix built with names, so it carries a
# version resource; the outer launcher packs it as the main program.
inner = os.path.join(work, "inner")
os.makedirs(inner)
shutil.copy(probe, os.path.join(inner, "probe.exe"))
app = os.path.join(work, "app")
os.makedirs(os.path.join(app, "lib", "deep"))
build(inner, os.path.join(app, "tool.exe"), "--product", "Sbom Probe", "--company",
      "Fenwix \"Tests\" Ltd", "--version", "2.3.4.5", "--description", "The probe, packed",
      "--copyright", "(C) 2026 Fenwix Tests", "--template", "C:\\sbom-probe")
rng = random.Random(28)
files = {
    "lib/helper.DLL": b"MZ not really a library",  # a library that is no image
    "lib/deep/d\u00e9j\u00e0 vu \u2713.bin": bytes(rng.getrandbits(8) for _ in range(200003)),
    "empty.txt": b"",
    "readme.txt": b"hello\n" * 1000,
}
for name, data in files.items():
    with open(os.path.join(app, name), "wb") as f:
        f.write(data)
launcher = os.path.join(work, "Packed.exe")
build(app, launcher, "--product", "Packed App", "--company", "Vendor", "--version", "1.2.0.0")

epoch = 1767225600  # 2026-01-01T00:00:00Z
out = os.path.join(work, "bom.json")
r = run("sbom", launcher, "-o", out, env={"SOURCE_DATE_EPOCH": str(epoch)})
check(r.returncode == 0 and r.stdout == "" and r.stderr == "", f"sbom -o: {r}")
with open(out, "rb") as f:
    written = f.read()
bom = json.loads(written)

check(bom["bomFormat"] == "CycloneDX" and bom["specVersion"] == "1.5" and bom["version"] == 1,
      "the document's kind")
check(re.fullmatch(r"urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-5[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}",
                   bom["serialNumber"]) is not None, f"serial number {bom['serialNumber']}")
meta = bom["metadata"]
check(meta["timestamp"] == datetime.fromtimestamp(epoch, timezone.utc).strftime(
    "%Y-%m-%dT%H:%M:%SZ"), f"timestamp {meta.get('timestamp')}")
with open(launcher, "rb") as f:
    launcher_bytes = f.read()
subject = meta["component"]
check(subject["name"] == "Packed App" and subject["version"] == "1.2.0.0" and
      subject["supplier"] == {"name": "Vendor"}, f"the launcher: {subject}")
check(subject["hashes"] == [{"alg": "SHA-256",
                             "content": hashlib.sha256(launcher_bytes).hexdigest()}],
      "the launcher's digest")


def properties(component):
    return {p["name"]: p["value"] for p in component.get("properties", [])}


# Every file on disk, by the name the launcher writes (Windows form).
expected = {}
for folder, _, names in os.walk(app):
    for name in names:
        path = os.path.join(folder, name)
        with open(path, "rb") as f:
            data = f.read()
        expected[os.path.relpath(path, app).replace("/", "\\")] = data
components = {c["name"]: c for c in bom["components"]}
check(len(components) == len(bom["components"]) == len(expected),
      f"components {sorted(components)} for files {sorted(expected)}")
for name, data in expected.items():
    c = components.get(name)
    if c is None:
        failures.append(f"no component for {name}")
        continue
    check(c["type"] == "file" and properties(c).get("fenwix:size") == str(len(data)),
          f"{name}: {c}")
    check(c["hashes"] == [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()}],
          f"{name}: digest")
program = components["tool.exe"]
check((program.get("supplier"), program.get("version"), program.get("description"),
       program.get("copyright"), properties(program).get("fenwix:product-name")) ==
      ({"name": "Fenwix \"Tests\" Ltd"}, "2.3.4.5", "The probe, packed", "(C) 2026 Fenwix Tests",
       "Sbom Probe"), f"the program's version resource: {program}")
library = components["lib\\helper.DLL"]
check(not {"supplier", "version", "description", "copyright"} & library.keys(),
      f"a library that is no image has no names: {library}")

# The same launcher gives the same bytes; no time without SOURCE_DATE_EPOCH.
env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
again = subprocess.run([fenwix, "sbom", launcher], capture_output=True, env=env)
check(again.returncode == 0, f"sbom to standard output: {again.stderr}")
without_time = json.loads(again.stdout)
check("timestamp" not in without_time["metadata"], "a time without SOURCE_DATE_EPOCH")
del bom["metadata"]["timestamp"]
check(without_time == bom, "the document without the time differs")
check(subprocess.run([fenwix, "sbom", launcher], capture_output=True, env=env).stdout ==
      again.stdout, "two runs differ")

# Bad input: one line, exit 1, no output file, the launcher unchanged.
damaged = os.path.join(work, "damaged.exe")
# Inside the block, which ends the file: the random file's stored bytes.
at = len(launcher_bytes) - 100000
with open(damaged, "wb") as f:
    f.write(launcher_bytes[:at] + bytes(b ^ 0xFF for b in launcher_bytes[at:at + 40]) +
            launcher_bytes[at + 40:])
bad_cases = [
    ([os.path.join(app, "readme.txt")], "not a launcher"),
    ([damaged], "a damaged block"),
    (["-o", launcher, launcher], "the launcher as its own output"),
    ([launcher, "--outptu", "x.json"], "a misspelt option"),
]
for args, what in bad_cases:
    target = os.path.join(work, "bad.json")
    if "-o" not in args:
        args = [*args, "-o", target]
    r = run("sbom", *args)
    check(r.returncode == 1 and r.stdout == "" and r.stderr.count("\n") == 1 and
          r.stderr.startswith("fenwix sbom: error: "), f"{what}: {r}")
    check(not os.path.exists(target), f"{what}: {target} was written")
    check(sorted(os.listdir(work)) == sorted(["inner", "app", "Packed.exe", "bom.json",
                                              "damaged.exe"]), f"{what}: left {os.listdir(work)}")
with open(launcher, "rb") as f:
    check(f.read() == launcher_bytes, "the launcher changed")
r = run("sbom", launcher, "--outptu", "x.json")
check("did you mean --output?" in r.stderr, f"no suggestion: {r.stderr}")

for failure in failures:
    print("FAIL:", failure)
if not failures:
    shutil.rmtree(work)
sys.exit(1 if failures else 0)
