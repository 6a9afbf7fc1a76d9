'use strict';
// vek --telnet over a real TCP connection on 127.0.0.1. A small server takes
// one connection and runs vek with the accepted socket as its standard input
// and output, as a host that serves TELNET nodes does; the user's side is
// telnet-stream, an independent TELNET implementation, under zmodem.js.
//
// Run: node telnet_interop.js [path/to/vek]   (default: ../../build/vek)

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { TelnetInput, TelnetOutput } = require('telnet-stream');
const Zmodem = require('zmodem.js');

const { VEK, makeCase, vekEnv, assertRecords } = require('./common.js');

const CASE_MS = 120_000;
const AFTER_DROP_MS = 10_000;  // vek must be gone this soon after the client drops the line
const CONTROL_MS = 10_000;     // how long the case without --telnet is given

const MB = 1024 * 1024;
const NOP = 241, AYT = 246, ECHO = 1, SGA = 3, TTYPE = 24;

console.debug = () => {};  // zmodem.js reports garbage there, raw bytes and all
console.warn = () => {};

// Every fourth byte 0xFF, and a run of 10,000 of them in the middle.
function dense(size) {
    const b = crypto.randomBytes(size);
    for (let i = 3; i < size; i += 4) b[i] = 0xff;
    b.fill(0xff, size >> 1, (size >> 1) + 10_000);
    return b;
}

const FILES = () => [
    ['dense.bin', dense(MB)],
    ['random.bin', crypto.randomBytes(MB)],
    ['empty', Buffer.alloc(0)],
];

// Runs vek behind a server that takes one connection; the client connects,
// speaks TELNET through telnet-stream and feeds the data to a zmodem.js
// Sentry. drive(session, ctl) runs once the Sentry confirms a session;
// ctl.out is the client's TelnetOutput (for commands), ctl.drop() closes the
// client's connection. Resolves once vek has ended, or was killed at `boundMs`
// (or, with `stopOnClientError`, once the client has failed).
function runOverTcp(args, dirs, drive, { boundMs = CASE_MS, stopOnClientError = false } = {}) {
    return new Promise((resolve) => {
        const result = {
            status: null, signal: null, stderr: '', sessions: 0, clientDone: false,
            clientError: null, timedOut: false, droppedAt: null, endedAt: null, commands: 0,
        };
        let child = null, timer = null, finished = false;
        const fail = (e) => {
            if (result.clientError) return;
            result.clientError = e;
            if (stopOnClientError && child && !finished) {
                clearTimeout(timer);
                stop();
            }
        };
        const socket = new net.Socket();
        const finish = (status, signal) => {
            if (finished) return;
            finished = true;
            clearTimeout(timer);
            Object.assign(result, { status, signal, endedAt: Date.now() });
            socket.destroy();
            resolve(result);
        };
        const stop = () => {
            try { process.kill(-child.pid, 'SIGKILL'); } catch (_) { /* already gone */ }
            setTimeout(() => { child.stderr.destroy(); finish(null, 'SIGKILL'); }, 5000).unref();
        };
        const kill = () => {
            result.timedOut = true;
            stop();
        };

        const server = net.createServer({ pauseOnConnect: true }, (conn) => {
            server.close();
            child = spawn(VEK, args, {
                cwd: dirs.work,
                env: vekEnv(dirs),
                stdio: [conn, conn, 'pipe'],
                detached: true,
            });
            conn.destroy();  // vek holds the connection now, as it would from a host
            timer = setTimeout(kill, boundMs);
            child.stderr.on('data', (c) => { result.stderr += c.toString('latin1'); });
            child.on('error', (e) => { fail(e); finish(null, null); });
            child.on('close', finish);
        });

        server.listen(0, '127.0.0.1', () => {
            const input = new TelnetInput();
            const out = new TelnetOutput();
            input.on('error', () => {});  // malformed commands, as in the case without --telnet
            // What the client took for TELNET commands from vek's side.
            for (const kind of ['command', 'do', 'dont', 'will', 'wont', 'sub']) input.on(kind, () => result.commands++);
            out.on('data', (b) => { if (!socket.destroyed) socket.write(b); });
            socket.on('error', () => {});  // vek gone first, or the line dropped on purpose
            socket.on('data', (c) => input.write(c));
            const ctl = {
                out,
                drop() {
                    result.droppedAt = Date.now();
                    clearTimeout(timer);
                    timer = setTimeout(kill, AFTER_DROP_MS);
                    socket.destroy();
                },
            };
            const sentry = new Zmodem.Sentry({
                to_terminal: () => {},
                sender: (bytes) => out.write(Buffer.from(bytes)),
                on_retract: () => {},
                on_detect: (detection) => {
                    result.sessions++;
                    let session;
                    try {
                        session = detection.confirm();
                    } catch (e) {
                        return fail(e);
                    }
                    Promise.resolve()
                        .then(() => drive(session, ctl))
                        .then(() => { result.clientDone = true; }, fail);
                },
            });
            input.on('data', (c) => {
                try {
                    sentry.consume(c);
                } catch (e) {
                    fail(e);
                }
            });
            socket.connect(server.address().port, '127.0.0.1');
        });
    });
}

function describe(r, dirs) {
    const log = fs.existsSync(dirs.veklog) ? fs.readFileSync(dirs.veklog, 'latin1') : '(no transfer log)';
    return [
        `status=${r.status} signal=${r.signal} timedOut=${r.timedOut} sessions=${r.sessions} clientDone=${r.clientDone}` +
            ` commands=${r.commands}`,
        `client error: ${r.clientError ? (r.clientError.stack || r.clientError) : 'none'}`,
        `stderr: ${JSON.stringify(r.stderr)}`,
        `transfer log: ${JSON.stringify(log)}`,
        `TMP: ${JSON.stringify(fs.readdirSync(dirs.tmp))}`,
    ].join('\n');
}

function assertRanClean(r, dirs, dir, files) {
    const why = describe(r, dirs);
    assert.equal(r.timedOut, false, `vek did not finish within ${CASE_MS} ms\n${why}`);
    assert.equal(r.clientError, null, `the client side failed\n${why}`);
    assert.equal(r.sessions, 1, `expected exactly one session\n${why}`);
    assert.equal(r.clientDone, true, `the client's session did not come to its end\n${why}`);
    assert.equal(r.status, 0, `vek's exit status\n${why}`);
    assert.equal(r.stderr, '', `vek wrote to standard error\n${why}`);
    assert.equal(r.commands, 0, `the client met TELNET commands: vek negotiates and answers nothing\n${why}`);
    assert.deepEqual(fs.readdirSync(dirs.tmp), [], `leftovers in TMP\n${why}`);
    assertRecords(dirs, dir, files.map(([n]) => n), why);
}

function assertSameFiles(dir, files) {
    assert.deepEqual(fs.readdirSync(dir).sort(), files.map(([n]) => n).sort(), `files in ${dir}`);
    for (const [name, bytes] of files) {
        const copy = fs.readFileSync(path.join(dir, name));
        assert.ok(copy.equals(bytes), `${name}: ${copy.length} bytes differ from the ${bytes.length} sent`);
    }
}

// The client's side of a download: takes every offer into `into`.
// onOffer(offer, index, ctl) may take an offer over; onInput(ctl) sees each
// piece of data as it arrives.
function receiveAll(into, { onOffer, onInput } = {}) {
    return (session, ctl) => new Promise((resolve, reject) => {
        assert.equal(session.type, 'receive', 'vek should start a download');
        let index = 0;
        session.on('offer', (offer) => {
            const name = offer.get_details().name;
            if (onOffer && onOffer(offer, index++, ctl)) return;
            const chunks = [];
            offer.accept({
                on_input: (payload) => {
                    chunks.push(Buffer.from(payload));
                    if (onInput) onInput(ctl);
                },
            }).then(() => fs.writeFileSync(path.join(into, name), Buffer.concat(chunks))).catch(reject);
        });
        session.on('session_end', resolve);
        session.start();
    });
}

// The client's side of an upload: offers each file in turn, then closes.
function sendAll(files) {
    return async (session) => {
        assert.equal(session.type, 'send', 'vek should start an upload');
        let bytesLeft = files.reduce((n, [, b]) => n + b.length, 0);
        for (let i = 0; i < files.length; i++) {
            const [name, bytes] = files[i];
            const xfer = await session.send_offer({
                name, size: bytes.length, mode: 0o644, mtime: new Date(),
                files_remaining: files.length - i, bytes_remaining: bytesLeft,
            });
            if (!xfer) throw new Error(`the receiver skipped ${name}`);
            for (let at = 0; at < bytes.length; at += 64 * 1024) xfer.send(bytes.subarray(at, at + 64 * 1024));
            await xfer.end();
            bytesLeft -= bytes.length;
        }
        await session.close();
    };
}

test('0xFF-dense, random and empty files cross a TELNET line intact both ways', async (t) => {
    await t.test('download', async (t) => {
        const dirs = makeCase(t, 'vek-telnet-');
        const files = FILES();
        for (const [name, bytes] of files) fs.writeFileSync(path.join(dirs.work, name), bytes);
        const r = await runOverTcp(['--telnet', 'sz', ...files.map(([n]) => n)], dirs, receiveAll(dirs.client));
        assertRanClean(r, dirs, 'S', files);
        assertSameFiles(dirs.client, files);
    });

    await t.test('upload', async (t) => {
        const dirs = makeCase(t, 'vek-telnet-');
        const files = FILES();
        const r = await runOverTcp(['-t', 'rz'], dirs, sendAll(files));
        assertRanClean(r, dirs, 'R', files);
        assertSameFiles(dirs.work, files);
    });
});

test('TELNET commands from the client in the middle of a download are taken out', async (t) => {
    const dirs = makeCase(t, 'vek-telnet-');
    const files = FILES();
    for (const [name, bytes] of files) fs.writeFileSync(path.join(dirs.work, name), bytes);
    let pieces = 0;
    const commands = (ctl) => {
        if (pieces++ % 20) return;
        ctl.out.writeCommand(NOP);
        ctl.out.writeCommand(AYT);
        ctl.out.writeDo(ECHO);
        ctl.out.writeWill(SGA);
        ctl.out.writeSub(TTYPE, Buffer.from([1]));
    };
    const r = await runOverTcp(['--telnet', 'sz', ...files.map(([n]) => n)], dirs,
        receiveAll(dirs.client, { onInput: commands }));
    assertRanClean(r, dirs, 'S', files);
    assertSameFiles(dirs.client, files);
    assert.ok(pieces > 20, `commands were sent only ${Math.ceil(pieces / 20)} times`);
});

test('a line dropped inside the second of three files ends vek promptly, first record only', async (t) => {
    const dirs = makeCase(t, 'vek-telnet-');
    const files = [
        ['first.bin', dense(200 * 1024)],
        ['second.bin', dense(16 * MB)],
        ['third.bin', crypto.randomBytes(1000)],
    ];
    for (const [name, bytes] of files) fs.writeFileSync(path.join(dirs.work, name), bytes);
    let seen = 0;
    const dropInSecond = (offer, index, ctl) => {
        if (index !== 1) return false;
        offer.accept({
            on_input: (payload) => {
                seen += payload.length;
                if (seen >= MB && !ctl.dropped) {
                    ctl.dropped = true;
                    ctl.drop();
                }
            },
        }).catch(() => {});
        return true;
    };
    const r = await runOverTcp(['--telnet', 'sz', ...files.map(([n]) => n)], dirs,
        receiveAll(dirs.client, { onOffer: dropInSecond }));
    const why = describe(r, dirs);
    assert.ok(r.droppedAt, `the client never dropped the line (saw ${seen} bytes of the second file)\n${why}`);
    assert.equal(r.timedOut, false, `vek still running ${AFTER_DROP_MS} ms after the drop\n${why}`);
    assert.ok(r.endedAt - r.droppedAt < AFTER_DROP_MS, why);
    assert.equal(r.status, 0, `vek's exit status\n${why}`);
    assertRecords(dirs, 'S', ['first.bin'], why);
    assert.deepEqual(fs.readdirSync(dirs.tmp), [], `leftovers in TMP\n${why}`);
    assertSameFiles(dirs.client, files.slice(0, 1));
});

// Why the option exists: the same download to the same client without it.
// The run ends at the client's first failure, or at the bound.
test('without --telnet the 0xFF-dense download does not arrive intact', async (t) => {
    const dirs = makeCase(t, 'vek-telnet-');
    const files = [['dense.bin', dense(MB)]];
    fs.writeFileSync(path.join(dirs.work, 'dense.bin'), files[0][1]);
    const r = await runOverTcp(['sz', 'dense.bin'], dirs, receiveAll(dirs.client),
        { boundMs: CONTROL_MS, stopOnClientError: true });
    const copy = path.join(dirs.client, 'dense.bin');
    const arrived = fs.existsSync(copy) && fs.readFileSync(copy).equals(files[0][1]);
    assert.ok(!arrived, `the copy arrived intact without --telnet\n${describe(r, dirs)}`);
    assert.ok(r.commands > 0, `the client took no raw 0xFF for a TELNET command\n${describe(r, dirs)}`);
    const how = r.clientError ? `the client failed: ${r.clientError.message || r.clientError}`
        : r.timedOut ? `no end after ${CONTROL_MS} ms` : `vek ended with status ${r.status}`;
    t.diagnostic(`without --telnet: the client took ${r.commands} raw 0xFF sequences for TELNET commands; ` +
        `${how}; copy ${fs.existsSync(copy) ? 'differs' : 'absent'}`);
});
