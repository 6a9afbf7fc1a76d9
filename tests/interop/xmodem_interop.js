'use strict';
// vek against xmodem.js, an XMODEM implementation of its own, standing in for
// a terminal program that speaks only XMODEM: it receives a download from
// `vek sx` and sends an upload into `vek rx dir/name`, over vek's standard
// input and output.
//
// Run: node xmodem_interop.js [path/to/vek]   (default: ../../build/vek)

const { test, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// xmodem.js makes its buffers with the deprecated `new Buffer()`.
process.noDeprecation = true;
// Its receive retries with timers it keeps to itself; they are cleared when a
// case ends, so that a failed case cannot keep the process alive.
const intervals = new Set();
const realSetInterval = global.setInterval;
global.setInterval = (...args) => {
    const id = realSetInterval(...args);
    intervals.add(id);
    return id;
};
const xmodem = require('xmodem.js');

const VEK = path.resolve(process.argv[2] || path.join(__dirname, '..', '..', 'build', 'vek'));
if (!fs.existsSync(VEK)) {
    console.error(`xmodem interop: no vek binary at ${VEK} (build it with make)`);
    process.exit(2);
}

const CASE_MS = 60_000;
const SOH = 0x01;
const BLOCK = 128;

afterEach(() => {
    for (const id of intervals) clearInterval(id);
    intervals.clear();
    xmodem.removeAllListeners();
    xmodem.XMODEM_OP_MODE = 'crc';  // a fallback to checksums sticks to the module
});

// What xmodem.js takes for a serial port. It reads each 'data' event as one
// whole frame (a block, or a single control byte), as a port delivering at the
// line's pace would hand them over; a pipe may cut or join them, so frames are
// put back together here.
class Line extends EventEmitter {
    constructor(child) {
        super();
        this.child = child;
        this.pending = Buffer.alloc(0);
        child.stdout.on('data', (chunk) => this.feed(chunk));
        child.stdin.on('error', () => {});  // vek gone first: EPIPE is expected then
    }

    write(bytes) {
        if (!this.child.stdin.destroyed) this.child.stdin.write(Buffer.from(bytes));
    }

    feed(chunk) {
        this.pending = Buffer.concat([this.pending, chunk]);
        while (this.pending.length > 0) {
            const check = xmodem.XMODEM_OP_MODE === 'crc' ? 2 : 1;
            const n = this.pending[0] === SOH ? 3 + BLOCK + check : 1;
            if (this.pending.length < n) return;
            const frame = this.pending.subarray(0, n);
            this.pending = this.pending.subarray(n);
            this.emit('data', frame);
        }
    }
}

// A private root per case: `tmp` is vek's TMP, `work` its working directory,
// `client` where the terminal side keeps its files.
function makeCase(t) {
    const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vek-xmodem-'));
    const dirs = { root };
    for (const d of ['tmp', 'work', 'client']) {
        dirs[d] = path.join(root, d);
        fs.mkdirSync(dirs[d]);
    }
    dirs.veklog = path.join(root, 'xfer.log');
    t.after(() => {
        if (t.passed !== false) fs.rmSync(root, { recursive: true, force: true });
        else t.diagnostic(`case files kept in ${root}`);
    });
    return dirs;
}

// Runs vek with `args` in its own process group, lets drive(line, done) play
// the terminal, and resolves when vek has exited and the terminal called
// done(), or the bound has passed.
function runVek(args, dirs, drive) {
    return new Promise((resolve) => {
        const child = spawn(VEK, args, {
            cwd: dirs.work,
            env: { ...process.env, TMP: dirs.tmp, TEMP: dirs.tmp, TEMPDIR: dirs.tmp, VEKLOG: dirs.veklog },
            stdio: ['pipe', 'pipe', 'pipe'],
            detached: true,
        });
        const result = { status: null, signal: null, stderr: '', clientDone: false, timedOut: false };
        let exited = false;
        const settle = () => {
            if (exited && result.clientDone) {
                clearTimeout(timer);
                resolve(result);
            }
        };
        const timer = setTimeout(() => {
            result.timedOut = true;
            try { process.kill(-child.pid, 'SIGKILL'); } catch (_) { /* already gone */ }
            resolve(result);
        }, CASE_MS);
        child.stderr.on('data', (chunk) => { result.stderr += chunk.toString('latin1'); });
        child.on('close', (status, signal) => {
            Object.assign(result, { status, signal });
            exited = true;
            settle();
        });
        drive(new Line(child), () => {
            result.clientDone = true;
            settle();
        });
    });
}

function describe(r, dirs) {
    const log = fs.existsSync(dirs.veklog) ? fs.readFileSync(dirs.veklog, 'latin1') : '(no transfer log)';
    return [
        `status=${r.status} signal=${r.signal} timedOut=${r.timedOut} clientDone=${r.clientDone}`,
        `stderr: ${JSON.stringify(r.stderr)}`,
        `transfer log: ${JSON.stringify(log)}`,
        `TMP: ${JSON.stringify(fs.readdirSync(dirs.tmp))}`,
    ].join('\n');
}

function assertRanClean(r, dirs) {
    const why = describe(r, dirs);
    assert.equal(r.timedOut, false, `the transfer did not finish within ${CASE_MS} ms\n${why}`);
    assert.equal(r.status, 0, `vek's exit status\n${why}`);
    assert.equal(r.stderr, '', `vek wrote to standard error\n${why}`);
    assert.deepEqual(fs.readdirSync(dirs.tmp), [], `leftovers in TMP\n${why}`);
}

// Needs the scanner to read XMODEM's header and byte-count lines.
function assertOneRecord(dirs, dir, name) {
    const text = fs.existsSync(dirs.veklog) ? fs.readFileSync(dirs.veklog, 'latin1') : '';
    const m = /^([SR]) +\d+ +\d+ bps +\d+ +cps +\d+ errors +\d+ 1024 (.*) -1\n$/.exec(text);
    assert.ok(m, `one record in the transfer log: ${JSON.stringify(text)}`);
    assert.deepEqual([m[1], m[2]], [dir, name], text);
}

// Random bytes that do not end in XMODEM's padding byte, which the receiver
// of xmodem.js drops from the end of the file.
function payload(n) {
    const bytes = crypto.randomBytes(n);
    bytes[n - 1] = 0x42;
    return bytes;
}

async function waitForSize(file, size) {
    for (let i = 0; i < 100 && !(fs.existsSync(file) && fs.statSync(file).size >= size); i++)
        await new Promise((r) => setTimeout(r, 20));
}

test('xmodem.js receives a download from vek sx', async (t) => {
    const dirs = makeCase(t);
    const bytes = payload(100_000);
    fs.mkdirSync(path.join(dirs.work, 'sub'));
    fs.writeFileSync(path.join(dirs.work, 'sub', 'down.bin'), bytes);
    const copy = path.join(dirs.client, 'down.bin');
    const r = await runVek(['sx', 'sub/down.bin'], dirs, (line, done) => {
        // The receive hands its listener back once it has queued the file's bytes.
        line.on('removeListener', (event) => { if (event === 'data') done(); });
        xmodem.receive(line, copy);
    });
    assertRanClean(r, dirs);
    await waitForSize(copy, bytes.length);
    assert.ok(fs.readFileSync(copy).equals(bytes), 'the copy differs from the file sent');
    assertOneRecord(dirs, 'S', 'down.bin');
});

test('xmodem.js sends an upload into vek rx dir/name', async (t) => {
    const dirs = makeCase(t);
    const bytes = payload(100_000);
    fs.mkdirSync(path.join(dirs.work, 'in'));
    const r = await runVek(['rx', 'in/up.bin'], dirs, (line, done) => {
        xmodem.once('stop', done);
        xmodem.send(line, bytes);
    });
    assertRanClean(r, dirs);
    assert.deepEqual(fs.readdirSync(dirs.work), ['in'], 'nothing beside in/');
    // XMODEM carries whole blocks: the copy is padded to the next one.
    const copy = fs.readFileSync(path.join(dirs.work, 'in', 'up.bin'));
    const padded = Math.ceil(bytes.length / BLOCK) * BLOCK;
    assert.equal(copy.length, padded, 'the copy is the file padded to whole blocks');
    assert.ok(copy.subarray(0, bytes.length).equals(bytes), 'the copy differs from the file sent');
    assert.ok(copy.subarray(bytes.length).every((b) => b === 0x1a), 'the padding is SUB bytes');
    assertOneRecord(dirs, 'R', 'up.bin');
});
