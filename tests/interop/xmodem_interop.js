'use strict';
// vek against xmodem.js, an XMODEM implementation of its own, standing in for
// a terminal program that speaks only XMODEM: it receives a download from
// `vek sx` and sends an upload into `vek rx dir/name`, over vek's standard
// input and output.
//
// Run: node xmodem_interop.js [path/to/vek]   (default: ../../build/vek)

const { test, afterEach } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const { EventEmitter } = require('node:events');
const fs = require('node:fs');
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
const { makeCase, spawnVek, assertRanClean, assertRecords } = require('./common');

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

// Runs vek with `args` in its own process group, lets drive(line, done) play
// the terminal, and resolves when vek has exited and the terminal called
// done(), or the bound has passed.
function runVek(args, dirs, drive) {
    return new Promise((resolve) => {
        const child = spawnVek(args, dirs);
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
    const dirs = makeCase(t, 'xmodem');
    const bytes = payload(100_000);
    fs.mkdirSync(path.join(dirs.work, 'sub'));
    fs.writeFileSync(path.join(dirs.work, 'sub', 'down.bin'), bytes);
    const copy = path.join(dirs.client, 'down.bin');
    const r = await runVek(['sx', 'sub/down.bin'], dirs, (line, done) => {
        // The receive hands its listener back once it has queued the file's bytes.
        line.on('removeListener', (event) => { if (event === 'data') done(); });
        xmodem.receive(line, copy);
    });
    assertRanClean(r, dirs, CASE_MS);
    await waitForSize(copy, bytes.length);
    assert.ok(fs.readFileSync(copy).equals(bytes), 'the copy differs from the file sent');
    // Needs the scanner to read XMODEM's header and byte-count lines.
    assertRecords(dirs, 'S', ['down.bin']);
});

test('xmodem.js sends an upload into vek rx dir/name', async (t) => {
    const dirs = makeCase(t, 'xmodem');
    const bytes = payload(100_000);
    fs.mkdirSync(path.join(dirs.work, 'in'));
    const r = await runVek(['rx', 'in/up.bin'], dirs, (line, done) => {
        xmodem.once('stop', done);
        xmodem.send(line, bytes);
    });
    assertRanClean(r, dirs, CASE_MS);
    assert.deepEqual(fs.readdirSync(dirs.work), ['in'], 'nothing beside in/');
    // XMODEM carries whole blocks: the copy is padded to the next one.
    const copy = fs.readFileSync(path.join(dirs.work, 'in', 'up.bin'));
    const padded = Math.ceil(bytes.length / BLOCK) * BLOCK;
    assert.equal(copy.length, padded, 'the copy is the file padded to whole blocks');
    assert.ok(copy.subarray(0, bytes.length).equals(bytes), 'the copy differs from the file sent');
    assert.ok(copy.subarray(bytes.length).every((b) => b === 0x1a), 'the padding is SUB bytes');
    assertRecords(dirs, 'R', ['up.bin']);
});
