#!/usr/bin/env node
// The `fenwix` command of the npm package: runs the fenwix program built for
// this machine. Each platform's program is a package of its own,
// @fenwix/<platform>-<arch>, an optional dependency of this one whose `os` and
// `cpu` let npm install only the one that fits.
"use strict";

const { spawnSync } = require("child_process");
const path = require("path");

const platformPackage = `@fenwix/${process.platform}-${process.arch}`;
const programName = process.platform === "win32" ? "fenwix.exe" : "fenwix";

function fail(message) {
  process.stderr.write(`fenwix: ${message}\n`);
  process.exit(1);
}

function programPath() {
  const known = Object.keys(require("../package.json").optionalDependencies);
  if (!known.includes(platformPackage)) {
    const platforms = known.map((name) => name.replace("@fenwix/", "")).join(", ");
    fail(`no fenwix program for ${process.platform}-${process.arch}; there is one for ${platforms}`);
  }
  let manifest;
  try {
    manifest = require.resolve(`${platformPackage}/package.json`);
  } catch (e) {
    fail(
      `the package ${platformPackage}, which holds the program for this machine, is not installed ` +
        `(was it installed with --omit=optional or --no-optional?); install it with ` +
        `npm install ${platformPackage}@${require("../package.json").version}`
    );
  }
  return path.join(path.dirname(manifest), "bin", programName);
}

const program = programPath();
const result = spawnSync(program, process.argv.slice(2), { stdio: "inherit" });
if (result.error) fail(`cannot run ${program}: ${result.error.message}`);
// Ended by a signal: end the same way, so the caller sees what happened.
if (result.signal) process.kill(process.pid, result.signal);
process.exit(result.status === null ? 1 : result.status);
