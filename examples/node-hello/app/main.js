// Reports how it was started, as JSON: the arguments after the script, the
// current folder, the whole environment, and where its one dependency was
// loaded from with one value it computed (so a missing or misplaced
// node_modules shows). Then it exits with the number in EXIT_CODE.
//
// The report goes to the file named by REPORT_FILE, or else to standard
// output: Node under Wine cannot write to a pipe (EBADF), only to a console
// or a file.
'use strict';

const fs = require('fs');
const ms = require('ms');

const report = JSON.stringify({
  args: process.argv.slice(2),
  cwd: process.cwd(),
  env: process.env,
  ms: { file: require.resolve('ms'), '1.5h': ms('1.5h') },
}, null, 2) + '\n';

if (process.env.REPORT_FILE) fs.writeFileSync(process.env.REPORT_FILE, report);
else process.stdout.write(report);
process.exitCode = Number(process.env.EXIT_CODE || 0);
