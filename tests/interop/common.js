'use strict';
// What the interop suites share: the vek under test, a private tree per case,
// vek's environment, and the records of its transfer log.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const VEK = path.resolve(process.argv[2] || path.join(__dirname, '..', '..', 'build', 'vek'));
if (!fs.existsSync(VEK)) {
    console.error(`interop: no vek binary at ${VEK} (build it with make)`);
    process.exit(2);
}

// A private root per case: `tmp` is vek's TMP, `work` its working directory,
// `client` where the terminal side keeps its files. Kept on failure, so that
// the leftovers can be looked at.
function makeCase(t, prefix = 'vek-interop-') {
    const root = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
    const dirs = { root, veklog: path.join(root, 'xfer.log') };
    for (const d of ['tmp', 'work', 'client']) {
        dirs[d] = path.join(root, d);
        fs.mkdirSync(dirs[d]);
    }
    t.after(() => {
        if (t.passed !== false) fs.rmSync(root, { recursive: true, force: true });
        else t.diagnostic(`case files kept in ${root}`);
    });
    return dirs;
}

function vekEnv(dirs) {
    return { ...process.env, TMP: dirs.tmp, TEMP: dirs.tmp, TEMPDIR: dirs.tmp, VEKLOG: dirs.veklog };
}

const RECORD = /^([SR]) +\d+ +\d+ bps +\d+ +cps +\d+ errors +\d+ 1024 (.*) -1$/;

// The transfer log's records, each whole and on a line of its own.
function records(dirs) {
    if (!fs.existsSync(dirs.veklog)) return [];
    const text = fs.readFileSync(dirs.veklog, 'latin1');
    assert.ok(text === '' || text.endsWith('\n'), `transfer log ends mid-line: ${JSON.stringify(text)}`);
    return text.split('\n').slice(0, -1).map((line) => {
        const m = RECORD.exec(line);
        assert.ok(m, `malformed transfer-log record: ${JSON.stringify(line)}`);
        return { dir: m[1], name: m[2], line };
    });
}

function assertRecords(dirs, dir, names, why = '') {
    const got = records(dirs);
    assert.deepEqual(got.map((r) => `${r.dir} ${r.name}`), names.map((n) => `${dir} ${n}`),
        `transfer log records:\n${got.map((r) => r.line).join('\n')}\n${why}`);
}

module.exports = { VEK, makeCase, vekEnv, records, assertRecords };
