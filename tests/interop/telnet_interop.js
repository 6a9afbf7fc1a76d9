'use strict';
// vek --telnet over a real TCP connection on 127.0.0.1. A small server takes
// one connection and runs vek with the accepted socket as its standard input
// and output, as a host that serves TELNET nodes does; the user's side is
// telnet-stream, an independent TELNET implementation, under zmodem.js.
//
// Run: node telnet_interop.js [path/to/vek]   (default: ../../build/vek)

const { test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { TelnetInput, TelnetOutput } = require('telnet-stream');
const {
    makeCase, spawnVek, describe, assertRanClean, assertRecords, writeFiles, assertSameFiles,
    zmodemClient, receiveAll, sendAll,
} = require('./common');

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
            child = spawnVek(args, dirs, [conn, conn, 'pipe']);
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
            input.on('data', zmodemClient(result, (bytes) => out.write(Buffer.from(bytes)), drive, ctl, fail));
            socket.connect(server.address().port, '127.0.0.1');
        });
    });
}

test('0xFF-dense, random and empty files cross a TELNET line intact both ways', async (t) => {
    await t.test('download', async (t) => {
        const dirs = makeCase(t, 'telnet');
        const files = FILES();
        writeFiles(dirs.work, files);
        const r = await runOverTcp(['--telnet', 'sz', ...files.map(([n]) => n)], dirs, receiveAll(dirs.client));
        assertRanClean(r, dirs, CASE_MS);
        assertRecords(dirs, 'S', files.map(([n]) => n), describe(r, dirs));
        assertSameFiles(dirs.client, files);
    });

    await t.test('upload', async (t) => {
        const dirs = makeCase(t, 'telnet');
        const files = FILES();
        const r = await runOverTcp(['-t', 'rz'], dirs, sendAll(files));
        assertRanClean(r, dirs, CASE_MS);
        assertRecords(dirs, 'R', files.map(([n]) => n), describe(r, dirs));
        assertSameFiles(dirs.work, files);
    });
});

test('TELNET commands from the client in the middle of a download are taken out', async (t) => {
    const dirs = makeCase(t, 'telnet');
    const files = FILES();
    writeFiles(dirs.work, files);
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
    assertRanClean(r, dirs, CASE_MS);
    assertRecords(dirs, 'S', files.map(([n]) => n), describe(r, dirs));
    assertSameFiles(dirs.client, files);
    assert.ok(pieces > 20, `commands were sent only ${Math.ceil(pieces / 20)} times`);
});

test('a line dropped inside the second of three files ends vek promptly, first record only', async (t) => {
    const dirs = makeCase(t, 'telnet');
    const files = [
        ['first.bin', dense(200 * 1024)],
        ['second.bin', dense(16 * MB)],
        ['third.bin', crypto.randomBytes(1000)],
    ];
    writeFiles(dirs.work, files);
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
    const dirs = makeCase(t, 'telnet');
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
