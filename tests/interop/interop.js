'use strict';
// vek against zmodem.js, the protocol engine of several web terminals, which
// stands in for the user's terminal: vek's standard output feeds a Sentry, and
// whatever the Sentry sends goes to vek's standard input.
//
// Run: node interop.js [path/to/vek]   (default: ../../build/vek)

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');
const Zmodem = require('zmodem.js');

const { VEK, makeCase, vekEnv, records, assertRecords } = require('./common.js');

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
        const child = spawn(VEK, args, {
            cwd: dirs.work,
            env: vekEnv(dirs),
            stdio: ['pipe', 'pipe', 'pipe'],
            detached: true,
        });
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

        const sentry = new Zmodem.Sentry({
            to_terminal: () => {},
            sender: send,
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

        child.stdout.on('data', (chunk) => {
            if (bypass) return;
            try {
                sentry.consume(chunk);
            } catch (e) {
                fail(e);
            }
        });
        child.stderr.on('data', (chunk) => { result.stderr += chunk.toString('latin1'); });

        child.on('error', (e) => { fail(e); finish(null, null); });
        child.on('close', finish);
    });
}

// Everything a failed assertion should show about the run.
function describe(r, dirs) {
    const log = fs.existsSync(dirs.veklog) ? fs.readFileSync(dirs.veklog, 'latin1') : '(no transfer log)';
    return [
        `status=${r.status} signal=${r.signal} timedOut=${r.timedOut} sessions=${r.sessions} clientDone=${r.clientDone}`,
        `client error: ${r.clientError ? (r.clientError.stack || r.clientError) : 'none'}`,
        `stderr: ${JSON.stringify(r.stderr)}`,
        `transfer log: ${JSON.stringify(log)}`,
        `TMP: ${JSON.stringify(fs.readdirSync(dirs.tmp))}`,
    ].join('\n');
}

function assertRanClean(r, dirs) {
    const why = describe(r, dirs);
    assert.equal(r.timedOut, false, `vek did not finish within ${CASE_MS} ms\n${why}`);
    assert.equal(r.clientError, null, `the client side failed\n${why}`);
    assert.equal(r.sessions, 1, `expected exactly one session\n${why}`);
    assert.equal(r.clientDone, true, `the client's session did not come to its end\n${why}`);
    assert.equal(r.status, 0, `vek's exit status\n${why}`);
    assert.equal(r.stderr, '', `vek wrote to standard error\n${why}`);
    assert.deepEqual(fs.readdirSync(dirs.tmp), [], `leftovers in TMP\n${why}`);
}

function writeFiles(dir, files) {
    for (const [name, bytes] of files) fs.writeFileSync(path.join(dir, name), bytes);
}

function assertSameFiles(dir, files) {
    assert.deepEqual(fs.readdirSync(dir).sort(), files.map(([n]) => n).sort(), `files in ${dir}`);
    for (const [name, bytes] of files) {
        const copy = fs.readFileSync(path.join(dir, name));
        assert.ok(copy.equals(bytes), `${name}: ${copy.length} bytes differ from the ${bytes.length} sent`);
    }
}

// The terminal side of a download: accepts every offer and stores it under
// the offered name in `into`. onOffer(offer, index, ctl) may take over an offer.
function receiveAll(into, onOffer) {
    return (session, ctl) => new Promise((resolve, reject) => {
        assert.equal(session.type, 'receive', 'vek should start a download');
        let index = 0;
        session.on('offer', (offer) => {
            const name = offer.get_details().name;
            if (name.includes('/') || name === '.' || name === '..') {
                reject(new Error(`offered name is not a plain file name: ${JSON.stringify(name)}`));
                return;
            }
            if (onOffer && onOffer(offer, index++, ctl)) return;
            offer.accept().then((chunks) => {
                fs.writeFileSync(path.join(into, name), Buffer.concat(chunks.map((c) => Buffer.from(c))));
            }).catch(reject);
        });
        session.on('session_end', resolve);
        session.start();
    });
}

// The terminal side of an upload: offers each file in turn, then closes.
function sendAll(files) {
    return async (session) => {
        assert.equal(session.type, 'send', 'vek should start an upload');
        let bytesLeft = files.reduce((n, [, b]) => n + b.length, 0);
        for (let i = 0; i < files.length; i++) {
            const [name, bytes] = files[i];
            const xfer = await session.send_offer({
                name,
                size: bytes.length,
                mode: 0o644,
                mtime: new Date(),
                files_remaining: files.length - i,
                bytes_remaining: bytesLeft,
            });
            if (!xfer) throw new Error(`the receiver skipped ${name}`);
            for (let at = 0; at < bytes.length; at += 64 * 1024) xfer.send(bytes.subarray(at, at + 64 * 1024));
            await xfer.end();
            bytesLeft -= bytes.length;
        }
        await session.close();
    };
}

test('a batch download arrives whole, one S record per file in order', async (t) => {
    const dirs = makeCase(t);
    const files = [
        ['random.bin', crypto.randomBytes(6 * MB)],
        ['empty', Buffer.alloc(0)],
        ['name with blanks.txt', Buffer.from('a few words\n')],
    ];
    writeFiles(dirs.work, files);
    const r = await runVek(['sz', ...files.map(([n]) => n)], dirs, receiveAll(dirs.client));
    assertRanClean(r, dirs);
    assertSameFiles(dirs.client, files);
    assertRecords(dirs, 'S', files.map(([n]) => n));
});

test('uploads land where vek was asked to receive, one R record per file', async (t) => {
    await t.test('batch into the working directory', async (t) => {
        const dirs = makeCase(t);
        const files = [
            ['upload.bin', crypto.randomBytes(3 * MB)],
            ['empty', Buffer.alloc(0)],
            ['name with blanks.dat', crypto.randomBytes(5000)],
        ];
        const r = await runVek(['rz'], dirs, sendAll(files));
        assertRanClean(r, dirs);
        assertSameFiles(dirs.work, files);
        assertRecords(dirs, 'R', files.map(([n]) => n));
    });

    await t.test('single file into the named directory', async (t) => {
        const dirs = makeCase(t);
        const sub = path.join(dirs.work, 'sub');
        fs.mkdirSync(sub);
        const files = [['x', crypto.randomBytes(300 * 1024)]];
        const r = await runVek(['rz', 'sub/x'], dirs, sendAll(files));
        assertRanClean(r, dirs);
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
    const dirs = makeCase(t);
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
    const r = await runVek(['sz', ...files.map(([n]) => n)], dirs, receiveAll(dirs.client, cancelInSecond));
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
