'use strict';
// vek rg against a YMODEM-G sender of these tests' own (ymodem_g.js): a batch
// that goes through, and one that breaks off mid-file; a download that the
// user cancels while sz streams, where vek relays; and ZMODEM and plain YMODEM
// uploads of the bytes a cancel and flow control are made of.
//
// Run: node ymodem_g_interop.js [path/to/vek]   (default: ../../build/vek)

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const {
    makeCase, spawnVek, spawnVekOnPty, spawnVekOnTcp, readEvents, describe, assertRanClean, assertRecords,
    writeFiles, assertSameFiles, zmodemClient, sendAll,
} = require('./common');
const { line, send, receiveThenCancel } = require('./ymodem_g');

const RUN_MS = 20_000;    // a whole case that moves a few MiB
const BREAK_MS = 10_000;  // from an upload's break to vek's end
const CANCEL_MS = 5_000;  // from the user's cancel to vek's end
const MB = 1024 * 1024;

console.debug = () => {};  // zmodem.js reports garbage there, raw bytes and all
console.warn = () => {};

// vek on a `kind` line (pipes, tcp, pty), its events in a file, while
// peer(the user's end of the line) plays the user, who must not fail.
// Resolves once vek and its line have ended, or were killed at boundMs.
async function run(kind, args, dirs, peer, boundMs = RUN_MS) {
    const events = path.join(dirs.root, 'events.jsonl');
    const a = ['-e', events, ...args];
    const v = kind === 'tcp' ? await spawnVekOnTcp(a, dirs)
        : { child: (kind === 'pty' ? spawnVekOnPty : spawnVek)(a, dirs) };
    const u = { child: v.child, input: v.socket || v.child.stdout, output: v.socket || v.child.stdin };
    const r = { status: null, signal: null, stderr: '', timedOut: false, clientDone: false, clientError: null };
    u.child.stderr?.on('data', (c) => { r.stderr += c.toString('latin1'); });
    const ended = new Promise((resolve) => u.child.on('close', (status, signal) => {
        resolve(Object.assign(r, { status, signal, endedAt: Date.now() }));
    }));
    const timer = setTimeout(() => {
        r.timedOut = true;
        try { process.kill(-u.child.pid, 'SIGKILL'); } catch (_) { /* already gone */ }
    }, boundMs);
    try {
        r.peer = await peer({ ...line(u.input, u.output, args.includes('--telnet')), close: () => u.output.destroy() });
        r.clientDone = true;
    } catch (e) {
        r.clientError = e;
    }
    await ended;
    clearTimeout(timer);
    u.input.destroy();
    if (dirs.stderr && fs.existsSync(dirs.stderr)) r.stderr = fs.readFileSync(dirs.stderr, 'latin1');
    r.events = readEvents(events);
    r.of = (kind) => r.events.filter((e) => e.event === kind);
    r.why = `${describe(r, dirs)}\nevents: ${JSON.stringify(r.events.filter((e) => e.event !== 'progress'))}`;
    assert.equal(r.clientError, null, r.why);
    return r;
}

// Runs of CAN, a cancel were they taken for one, among DLE, XON and XOFF.
function controlBytes(n) {
    const b = crypto.randomBytes(n);
    for (let i = 0; i < n; i++) if (i % 97 < 60) b[i] = i % 97 < 40 ? 0x18 : [0x10, 0x11, 0x13][i % 3];
    return b;
}

test('a YMODEM-G batch arrives whole through vek rg, one R record per file', async (t) => {
    for (const [kind, args] of [['pipes', ['rg']], ['tcp', ['--telnet', 'rg']], ['pty', ['rg']]]) {
        await t.test(`${args.join(' ')} on ${kind}`, async (t) => {
            const dirs = makeCase(t, 'ymodem-g');
            const files = [['one', Buffer.from('x')], ['random.bin', crypto.randomBytes(300_000)],
                ['ff.bin', Buffer.alloc(MB, 0xff)]];
            const r = await run(kind, args, dirs, (ln) => send(ln, files));
            assertRanClean(r, dirs, RUN_MS);
            assertSameFiles(dirs.work, files);
            assertRecords(dirs, 'R', files.map(([n]) => n), r.why);
            assert.equal(r.of('start')[0].protocol, 'ymodem-g', r.why);
            assert.deepEqual(r.of('done').map((e) => e.name), files.map(([n]) => n), r.why);
        });
    }
});

test('an upload broken off mid-file gets no record; its failed event names what stays on disk', async (t) => {
    const rows = [['cutAt', 'pipes', ['rg']], ['cutAt', 'tcp', ['--telnet', 'rg']], ['damageAt', 'pipes', ['rg']]];
    for (const [how, kind, args] of rows) {
        await t.test(`${how === 'cutAt' ? 'line cut' : 'damaged block'}: ${args.join(' ')} on ${kind}`, async (t) => {
            const dirs = makeCase(t, 'ymodem-g');
            const files = [['first.bin', controlBytes(50_000)], ['big.bin', crypto.randomBytes(MB)]];
            let brokeAt = null;
            const r = await run(kind, args, dirs, async (ln) => {
                // A damaged block cannot be sent again: the receiver must cancel the sender.
                const whole = await send(ln, files, { [how]: [1, MB / 2] }).catch((e) => e.message);
                brokeAt = Date.now();
                ln.close();
                return whole;
            });
            assert.match(String(r.peer), how === 'cutAt' ? /^false$/ : /EOT of big\.bin: got 0x18/, r.why);
            assert.ok(r.endedAt - brokeAt < BREAK_MS, `vek ended ${r.endedAt - brokeAt} ms after the break\n${r.why}`);
            assert.equal(r.status, 0, r.why);
            assertRecords(dirs, 'R', ['first.bin'], r.why);
            assert.deepEqual(fs.readdirSync(dirs.tmp), [], `leftovers in TMP\n${r.why}`);
            assert.ok(fs.readFileSync(path.join(dirs.work, 'first.bin')).equals(files[0][1]), r.why);
            const failed = r.of('failed');
            assert.deepEqual(failed.map((e) => e.name), ['big.bin'], r.why);
            const copy = path.join(r.of('start')[0].dir, 'big.bin');
            const left = fs.existsSync(copy) ? fs.statSync(copy).size : null;
            assert.deepEqual([failed[0].partial, failed[0].partial_bytes], [left === null ? null : copy, left], r.why);
            t.diagnostic(`reason ${failed[0].reason}, partial copy ${left === null ? 'removed' : `of ${left} bytes`}`);
        });
    }
});

test('the user cancels a download while sz streams: vek stops it within seconds, no record', async (t) => {
    const rows = [['pty', ['sy', 'big.bin'], 0], ['tcp', ['--telnet', 'sy', 'big.bin'], 0],
        ['tcp', ['--telnet', 'sy', 'big.bin'], CANCEL_MS + 1000]];
    for (const [kind, args, deafMs] of rows) {
        await t.test(`${args.join(' ')} on ${kind}${deafMs ? ', the user reading nothing more' : ''}`, async (t) => {
            const dirs = makeCase(t, 'ymodem-g');
            const big = crypto.randomBytes(16 * MB);
            fs.writeFileSync(path.join(dirs.work, 'big.bin'), big);
            const r = await run(kind, args, dirs, (ln) => receiveThenCancel(ln, { deafMs }), deafMs + 2 * CANCEL_MS);
            assert.deepEqual([r.peer.name, r.peer.size], ['big.bin', big.length], r.why);
            assert.ok(r.peer.data.equals(big.subarray(0, r.peer.data.length)), `blocks unlike the file\n${r.why}`);
            const end = Date.parse(r.of('end')[0]?.time);
            const late = end - r.peer.cancelledAt;
            assert.ok(late < CANCEL_MS, `vek ended ${late} ms after the cancel\n${r.why}`);
            assertRanClean(r, dirs, deafMs + 2 * CANCEL_MS);
            assertRecords(dirs, 'S', [], r.why);
            assert.deepEqual(r.of('failed').map((e) => [e.name, e.reason]), [['big.bin', 'cancelled']], r.why);
        });
    }
});

// The user's side of an upload: zmodem.js, or the bare sz in plain YMODEM.
const UPLOADERS = {
    zmodem: (files) => (ln) => new Promise((resolve, reject) => {
        const drive = async (session) => { await sendAll(files)(session); resolve(); };
        ln.input.on('data', zmodemClient({ sessions: 0 }, (b) => ln.put(Buffer.from(b)), drive, {}, reject));
    }),
    ymodem: (files, cwd) => (ln) => new Promise((resolve, reject) => {
        const names = files.map(([n]) => n);
        const sz = spawn('sz', ['-bq', '--ymodem', ...names], { cwd, stdio: ['pipe', 'pipe', 'ignore'] });
        ln.input.pipe(sz.stdin).on('error', () => {});
        sz.stdout.on('data', (c) => ln.put(c));
        sz.on('exit', (code) => (code === 0 ? resolve() : reject(new Error(`sz --ymodem ended with ${code}`))));
    }),
};

test('ZMODEM and plain YMODEM uploads of CAN, DLE, XON and XOFF arrive whole', async (t) => {
    for (const [protocol, kind, args] of [['zmodem', 'pty', ['rz']], ['ymodem', 'tcp', ['--telnet', 'ry']]]) {
        await t.test(`${protocol} into vek ${args.join(' ')} on ${kind}`, async (t) => {
            const dirs = makeCase(t, 'ymodem-g');
            const files = [['control.bin', controlBytes(256 * 1024)]];
            writeFiles(dirs.client, files);
            const r = await run(kind, args, dirs, UPLOADERS[protocol](files, dirs.client));
            assertRanClean(r, dirs, RUN_MS);
            assertSameFiles(dirs.work, files);
            assertRecords(dirs, 'R', ['control.bin'], r.why);
            assert.equal(r.of('start')[0].protocol, protocol, r.why);
        });
    }
});
