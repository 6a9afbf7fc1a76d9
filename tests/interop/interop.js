'use strict';
// vek against zmodem.js, the protocol engine of several web terminals, which
// stands in for the user's terminal: vek's standard output feeds a Sentry, and
// whatever the Sentry sends goes to vek's standard input.
//
// Run: node interop.js [path/to/vek]   (default: ../../build/vek)

const { test } = require('node:test');
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const {
    makeCase, spawnVek, describe, assertRanClean, records, assertRecords, writeFiles, assertSameFiles,
    zmodemClient, receiveAll, sendAll,
} = require('./common');

// Generous: zmodem.js does its byte work in plain JavaScript arrays.
const CASE_MS = 120_000;
// After the client's cancel, vek must be gone within this.
const AFTER_CANCEL_MS = 30_000;

const MB = 1024 * 1024;
const CANCEL = Buffer.concat([Buffer.alloc(8, 0x18), Buffer.alloc(10, 0x08)]);

// zmodem.js reports some conditions through console.debug/console.warn
// ("Garbage: ..."), which would bury the test report under raw bytes.
console.debug = () => {};

// Starts vek in its own process group (so that a bound can end it with the sz
// or rz below it), puts a Sentry between it and `drive`, and resolves once vek
// has exited and its pipes have closed.
//
// drive(session, ctl) runs when the Sentry confirms a session; ctl.cancel()
// writes the cancel sequence and takes the Sentry out of the path.
function runVek(args, dirs, drive) {
    return new Promise((resolve) => {
        const child = spawnVek(args, dirs);
        const result = {
            status: null, signal: null, stderr: '',
            sessions: 0, clientDone: false, clientError: null, timedOut: false, cancelledAt: null,
        };
        const fail = (e) => { if (!result.clientError) result.clientError = e; };
        let bypass = false;

        const send = (bytes) => {
            if (!child.stdin.destroyed) child.stdin.write(Buffer.from(bytes));
        };
        child.stdin.on('error', () => {});  // vek gone first: EPIPE is expected then

        let finished = false;
        const finish = (status, signal) => {
            if (finished) return;
            finished = true;
            clearTimeout(timer);
            Object.assign(result, { status, signal });
            resolve(result);
        };
        const kill = () => {
            result.timedOut = true;
            try { process.kill(-child.pid, 'SIGKILL'); } catch (_) { /* already gone */ }
            // A descendant that left the group could hold the pipes open.
            setTimeout(() => {
                child.stdout.destroy();
                child.stderr.destroy();
                finish(null, 'SIGKILL');
            }, 5000).unref();
        };
        let timer = setTimeout(kill, CASE_MS);

        const ctl = {
            cancel() {
                bypass = true;
                result.cancelledAt = Date.now();
                child.stdin.write(CANCEL);
                clearTimeout(timer);
                timer = setTimeout(kill, AFTER_CANCEL_MS);
            },
        };

        const consume = zmodemClient(result, send, drive, ctl, fail);
        child.stdout.on('data', (chunk) => { if (!bypass) consume(chunk); });
        child.stderr.on('data', (chunk) => { result.stderr += chunk.toString('latin1'); });

        child.on('error', (e) => { fail(e); finish(null, null); });
        child.on('close', finish);
    });
}

test('a batch download arrives whole, one S record per file in order', async (t) => {
    const dirs = makeCase(t, 'interop');
    const files = [
        ['random.bin', crypto.randomBytes(6 * MB)],
        ['empty', Buffer.alloc(0)],
        ['name with blanks.txt', Buffer.from('a few words\n')],
    ];
    writeFiles(dirs.work, files);
    const r = await runVek(['sz', ...files.map(([n]) => n)], dirs, receiveAll(dirs.client));
    assertRanClean(r, dirs, CASE_MS);
    assertSameFiles(dirs.client, files);
    assertRecords(dirs, 'S', files.map(([n]) => n));
});

test('uploads land where vek was asked to receive, one R record per file', async (t) => {
    await t.test('batch into the working directory', async (t) => {
        const dirs = makeCase(t, 'interop');
        const files = [
            ['upload.bin', crypto.randomBytes(3 * MB)],
            ['empty', Buffer.alloc(0)],
            ['name with blanks.dat', crypto.randomBytes(5000)],
        ];
        const r = await runVek(['rz'], dirs, sendAll(files));
        assertRanClean(r, dirs, CASE_MS);
        assertSameFiles(dirs.work, files);
        assertRecords(dirs, 'R', files.map(([n]) => n));
    });

    await t.test('single file into the named directory', async (t) => {
        const dirs = makeCase(t, 'interop');
        const sub = path.join(dirs.work, 'sub');
        fs.mkdirSync(sub);
        const files = [['x', crypto.randomBytes(300 * 1024)]];
        const r = await runVek(['rz', 'sub/x'], dirs, sendAll(files));
        assertRanClean(r, dirs, CASE_MS);
        assertSameFiles(sub, files);
        assert.deepEqual(fs.readdirSync(dirs.work), ['sub'], 'nothing beside sub/');
        const got = records(dirs);
        assert.equal(got.length, 1, `one record: ${got.map((g) => g.line).join('\n')}`);
        assert.equal(got[0].dir, 'R', got[0].line);
        // Named as offered: relative to the directory that received it.
        assert.equal(got[0].name, 'x', got[0].line);
    });
});

test('a download cancelled inside the second file ends promptly with the first record only', async (t) => {
    const dirs = makeCase(t, 'interop');
    const files = [
        ['first.bin', crypto.randomBytes(200 * 1024)],
        ['second.bin', crypto.randomBytes(16 * MB)],
        ['third.bin', crypto.randomBytes(1000)],
    ];
    writeFiles(dirs.work, files);
    let seen = 0;
    let cancelled = false;
    const cancelInSecond = (offer, index, ctl) => {
        if (index !== 1) return false;
        offer.accept({
            on_input: (payload) => {
                seen += payload.length;
                if (seen >= MB && !cancelled) {
                    cancelled = true;
                    ctl.cancel();
                }
            },
        }).catch(() => {});
        return true;
    };
    const r = await runVek(['sz', ...files.map(([n]) => n)], dirs,
        receiveAll(dirs.client, { onOffer: cancelInSecond }));
    const why = describe(r, dirs);
    assert.ok(r.cancelledAt, `the client never cancelled (saw ${seen} bytes of the second file)\n${why}`);
    assert.equal(r.timedOut, false, `vek still running ${AFTER_CANCEL_MS} ms after the cancel\n${why}`);
    assert.ok(seen < files[1][1].length, `the second file went through whole before the cancel\n${why}`);
    assert.equal(r.clientError, null, `the client side failed\n${why}`);
    assert.equal(r.status, 0, `vek's exit status\n${why}`);
    assertSameFiles(dirs.client, files.slice(0, 1));
    assertRecords(dirs, 'S', ['first.bin']);
    assert.deepEqual(fs.readdirSync(dirs.tmp), [], `leftovers in TMP\n${why}`);
});
