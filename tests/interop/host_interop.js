'use strict';
// The example host (examples/host.js) against users played by zmodem.js over
// telnet-stream: each case starts the host on a free port, connects its users
// over TCP and checks what the host credited them from vek's events.
//
// Run: node host_interop.js [path/to/vek]   (default: ../../build/vek)

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const Zmodem = require('zmodem.js');
const { TelnetInput, TelnetOutput } = require('telnet-stream');
const { makeCase, records, writeFiles, assertSameFiles, receiveAll, sendAll } = require('./common');

const VEK = path.resolve(process.argv[2] || path.join(__dirname, '..', '..', 'build', 'vek'));
const HOST = path.join(__dirname, '..', '..', 'examples', 'host.js');

const START_MS = 5_000;        // the host's first line
const PROMPT_MS = 5_000;       // negotiation and both prompts
const RUN_MS = 20_000;         // a run, from the command to the host's hang-up
const REPORT_MS = 5_000;       // the host's report once it has hung up
const AFTER_DROP_MS = 10_000;  // the host's report after the user dropped the line
const STOP_MS = 5_000;         // the host's end

const MB = 1024 * 1024;
const BINARY = 0;

console.debug = () => {};  // zmodem.js reports garbage there, raw bytes and all
console.warn = () => {};

// Every fourth byte 0xFF, which TELNET must double.
function dense(size) {
    const b = crypto.randomBytes(size);
    for (let i = 3; i < size; i += 4) b[i] = 0xff;
    return b;
}

function within(promise, ms, what) {
    let timer;
    const late = new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error(`${what}: nothing within ${ms} ms`)), ms);
    });
    return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// The case's directories: `work` is what users may download, `uploads` where
// uploads land, `spool` where the host keeps per-run events files.
function makeHostCase(t) {
    const dirs = makeCase(t, 'host');
    for (const d of ['uploads', 'spool']) {
        dirs[d] = path.join(dirs.root, d);
        fs.mkdirSync(dirs[d]);
    }
    return dirs;
}

// The host on a free port. host.report(user) waits for the JSON line the
// host writes once that user's run has ended.
async function startHost(t, dirs, extra = []) {
    const child = spawn(process.execPath, [HOST, '--vek', VEK, '--port', '0', '--files', dirs.work,
        '--uploads', dirs.uploads, '--log', dirs.veklog, '--spool', dirs.spool, ...extra], {
        env: { ...process.env, TMP: dirs.tmp, TEMP: dirs.tmp, TEMPDIR: dirs.tmp },
        stdio: ['ignore', 'pipe', 'pipe'],
    });
    const host = { lines: [], stderr: '' };
    let waiters = [], rest = '';
    child.stdout.on('data', (c) => {
        const parts = (rest + c).split('\n');
        rest = parts.pop();
        for (const l of parts) {
            try { host.lines.push(JSON.parse(l)); } catch { host.lines.push({ unparsed: l }); }
        }
        waiters = waiters.filter((check) => !check());
    });
    child.stderr.on('data', (c) => { host.stderr += c; });
    const exited = new Promise((resolve) => child.on('exit', resolve));
    host.line = (pred, ms, what) => within(new Promise((resolve) => {
        const check = () => {
            const l = host.lines.find(pred);
            if (l) resolve(l);
            return Boolean(l);
        };
        if (!check()) waiters.push(check);
    }), ms, what);
    host.report = (user, ms = REPORT_MS) => host.line((l) => l.user === user, ms, `the host's report of ${user}'s run`);
    t.after(async () => {
        child.kill('SIGTERM');
        await within(exited, STOP_MS, 'the host to end');
    });
    host.port = (await host.line((l) => 'listening' in l, START_MS, 'the host to listen')).listening;
    return host;
}

// A user at a TELNET client: agrees to BINARY both ways, gives its name and
// waits at the command prompt (u.prompted). u.run(command, drive) sends the
// command, lets drive(session, ctl) play the ZMODEM side and resolves once the
// host has hung up; ctl.drop() closes the connection.
function connect(host, name) {
    const u = {
        name, text: '', offered: [], sessions: 0, clientDone: false, clientError: null, dropped: false,
    };
    const fail = (e) => { if (!u.clientError) u.clientError = e; };
    const socket = net.connect(host.port, '127.0.0.1');
    const input = new TelnetInput();
    const out = new TelnetOutput();
    socket.on('error', () => {});  // the line dropped on purpose
    socket.on('data', (c) => input.write(c));
    out.on('data', (b) => { if (!socket.destroyed) socket.write(b); });
    input.on('error', fail);
    input.on('will', (o) => { u.offered.push(`WILL ${o}`); if (o === BINARY) out.writeDo(BINARY); });
    input.on('do', (o) => { u.offered.push(`DO ${o}`); if (o === BINARY) out.writeWill(BINARY); });

    let drive = null, atPrompt;
    const prompted = new Promise((resolve) => { atPrompt = resolve; });
    const ctl = { drop() { u.dropped = true; socket.destroy(); } };
    const sentry = new Zmodem.Sentry({
        to_terminal: (bytes) => {
            u.text += Buffer.from(bytes).toString('latin1');
            if (u.text.endsWith('name: ')) out.write(`${name}\r\n`);
            if (u.text.endsWith('upload): ')) atPrompt();
        },
        sender: (bytes) => out.write(Buffer.from(bytes)),
        on_retract: () => {},
        on_detect: (detection) => {
            u.sessions++;
            let session;
            try {
                session = detection.confirm();
            } catch (e) {
                return fail(e);
            }
            Promise.resolve().then(() => drive(session, ctl)).then(() => { u.clientDone = true; }, fail);
        },
    });
    input.on('data', (c) => {
        try { sentry.consume(c); } catch (e) { fail(e); }
    });
    const closed = new Promise((resolve) => socket.on('close', () => resolve(u)));
    u.prompted = within(prompted, PROMPT_MS, `${name}'s command prompt`);
    u.run = (command, how, ms = RUN_MS) => {
        drive = how;
        out.write(`${command}\r\n`);
        return within(closed, ms, `${name}'s run to end`).catch((e) => {
            socket.destroy();
            const error = u.clientError ? u.clientError.message : 'none';
            e.message += ` (sessions=${u.sessions} clientDone=${u.clientDone} client error: ${error}; ` +
                `terminal text ${JSON.stringify(u.text.slice(-200))})`;
            throw e;
        });
    };
    return u;
}

// What every failed check should show.
function describe(u, report, host, dirs) {
    const log = fs.existsSync(dirs.veklog) ? fs.readFileSync(dirs.veklog, 'latin1') : '(no transfer log)';
    return [
        `user ${u.name}: sessions=${u.sessions} clientDone=${u.clientDone} dropped=${u.dropped} ` +
            `offered=${u.offered.join(',')} client error: ${u.clientError ? u.clientError.stack : 'none'}`,
        `terminal text: ${JSON.stringify(u.text.slice(-300))}`,
        `host report: ${JSON.stringify(report)}`,
        `host stderr: ${JSON.stringify(host.stderr)}`,
        `transfer log: ${JSON.stringify(log)}`,
    ].join('\n');
}

// A user whose run went through: BINARY agreed both ways, one session brought
// to its end, vek silent on standard error and ended with status 0, the
// credits told, nothing left in TMP or the spool.
function assertClean(u, report, host, dirs) {
    const why = describe(u, report, host, dirs);
    assert.ok(u.offered.includes(`WILL ${BINARY}`) && u.offered.includes(`DO ${BINARY}`),
        `the host did not ask for BINARY both ways\n${why}`);
    assert.equal(u.clientError, null, `the client side failed\n${why}`);
    assert.equal(u.sessions, 1, `expected exactly one session\n${why}`);
    assert.equal(u.clientDone, true, `the client's session did not come to its end\n${why}`);
    assert.equal(report.status, 0, `vek's exit status\n${why}`);
    assert.equal(report.stderr, '', `vek wrote to standard error\n${why}`);
    const n = report.credited.length;
    assert.ok(u.text.includes(`${n} ${report.kind} credit(s)`), `the user was not told the credits\n${why}`);
    assert.deepEqual(fs.readdirSync(dirs.tmp), [], `leftovers in TMP\n${why}`);
    assert.deepEqual(fs.readdirSync(dirs.spool), [], `per-run events files left behind\n${why}`);
}

function assertLog(dirs, expected, why) {
    const got = records(dirs).map((r) => `${r.dir} ${r.name}`).sort();
    assert.deepEqual(got, [...expected].sort(), `transfer log\n${why}`);
}

// The upload side of a batch that may be cut short: each offer's fate goes
// into `fate` (sent or skipped), and a refusal does not end the client.
function offerAll(files, fate) {
    return async (session) => {
        for (const [name, bytes] of files) {
            const xfer = await session.send_offer({ name, size: bytes.length, mode: 0o644, mtime: new Date() });
            fate[name] = xfer ? 'sent' : 'skipped';
            if (!xfer) continue;
            for (let at = 0; at < bytes.length; at += 64 * 1024) xfer.send(bytes.subarray(at, at + 64 * 1024));
            await xfer.end();
        }
        await session.close();
    };
}

test('two downloads: one credit each', async (t) => {
    const dirs = makeHostCase(t);
    const files = [['a.bin', dense(300 * 1024)], ['b.bin', crypto.randomBytes(200 * 1024)]];
    writeFiles(dirs.work, files);
    const host = await startHost(t, dirs);
    const u = connect(host, 'alice');
    await u.prompted;
    await u.run('download a.bin b.bin', receiveAll(dirs.client));
    const report = await host.report('alice');
    assertClean(u, report, host, dirs);
    const why = describe(u, report, host, dirs);
    assert.deepEqual(report.credited, ['a.bin', 'b.bin'], why);
    assert.deepEqual(report.failed, [], why);
    assert.equal(report.result, 'ok', why);
    assert.deepEqual(report.total, { download: 2, upload: 0 }, why);
    assertSameFiles(dirs.client, files);
    assertLog(dirs, ['S a.bin', 'S b.bin'], why);
});

test('a batch upload: one credit per file', async (t) => {
    const dirs = makeHostCase(t);
    const files = [['c.bin', dense(300 * 1024)], ['d.bin', crypto.randomBytes(100 * 1024)], ['empty', Buffer.alloc(0)]];
    const host = await startHost(t, dirs);
    const u = connect(host, 'bob');
    await u.prompted;
    await u.run('upload', sendAll(files));
    const report = await host.report('bob');
    assertClean(u, report, host, dirs);
    const why = describe(u, report, host, dirs);
    assert.deepEqual(report.credited, ['c.bin', 'd.bin', 'empty'], why);
    assert.deepEqual(report.failed, [], why);
    assert.equal(report.result, 'ok', why);
    assert.deepEqual(report.total, { download: 0, upload: 3 }, why);
    assertSameFiles(dirs.uploads, files);
    assertLog(dirs, ['R c.bin', 'R d.bin', 'R empty'], why);
});

test('a duplicate upload is refused and earns nothing', async (t) => {
    const dirs = makeHostCase(t);
    const old = crypto.randomBytes(1000);
    fs.writeFileSync(path.join(dirs.uploads, 'dup.bin'), old);
    const files = [['new1.bin', dense(100 * 1024)], ['dup.bin', crypto.randomBytes(5000)], ['new2.bin', dense(1000)]];
    const host = await startHost(t, dirs);
    const u = connect(host, 'carol');
    await u.prompted;
    const fate = {};
    await u.run('upload', offerAll(files, fate));
    const report = await host.report('carol');
    const why = `${describe(u, report, host, dirs)}\nclient saw: ${JSON.stringify(fate)}`;
    assertClean(u, report, host, dirs);
    assert.equal(fate['dup.bin'], 'skipped', `the receiver took the duplicate\n${why}`);
    assert.ok(fs.readFileSync(path.join(dirs.uploads, 'dup.bin')).equals(old),
        `the duplicate overwrote the file\n${why}`);
    // Whatever the receiver did after the refusal, exactly the new files it
    // took are credited, and they are on disk intact.
    const taken = files.filter(([n]) => fate[n] === 'sent');
    assert.deepEqual(taken.map(([n]) => n).slice(0, 1), ['new1.bin'], why);
    assert.deepEqual(report.credited, taken.map(([n]) => n), why);
    assert.deepEqual(report.total, { download: 0, upload: taken.length }, why);
    assertSameFiles(dirs.uploads, [['dup.bin', old], ...taken]);
    assertLog(dirs, taken.map(([n]) => `R ${n}`), why);
    const after = fate['new2.bin'] ? `went on (new2.bin ${fate['new2.bin']})` : 'ended';
    t.diagnostic(`after the refusal the batch ${after}`);
    // The credits above do not depend on it, but the events say so too.
    assert.deepEqual(report.failed.map((f) => f.name), ['dup.bin'], why);
    assert.equal(report.failed[0].reason, 'refused', why);
    assert.equal(report.result, 'partial', why);
});

test('a line dropped mid-download: no credit for that file', async (t) => {
    const dirs = makeHostCase(t);
    const files = [['small.bin', dense(100 * 1024)], ['big.bin', dense(16 * MB)]];
    writeFiles(dirs.work, files);
    const host = await startHost(t, dirs);
    const u = connect(host, 'dave');
    await u.prompted;
    let seen = 0;
    const dropInBig = (offer, index, ctl) => {
        if (index !== 1) return false;
        offer.accept({
            on_input: (payload) => {
                seen += payload.length;
                if (seen >= MB && !u.dropped) ctl.drop();
            },
        }).catch(() => {});
        return true;
    };
    await u.run('download small.bin big.bin', receiveAll(dirs.client, { onOffer: dropInBig }));
    const report = await host.report('dave', AFTER_DROP_MS);
    const why = describe(u, report, host, dirs);
    assert.ok(u.dropped, `the client never dropped the line (saw ${seen} bytes of big.bin)\n${why}`);
    assert.deepEqual(report.credited, ['small.bin'], why);
    assert.deepEqual(report.total, { download: 1, upload: 0 }, why);
    assert.deepEqual(report.failed, [{ name: 'big.bin', reason: 'line' }],
        `the host was not told big.bin failed on the cut line\n${why}`);
    assert.equal(report.result, 'partial', why);
    assertLog(dirs, ['S small.bin'], why);
    assert.deepEqual(fs.readdirSync(dirs.tmp), [], `leftovers in TMP\n${why}`);
    assert.deepEqual(fs.readdirSync(dirs.spool), [], `per-run events files left behind\n${why}`);
});

test('two nodes at once, one transfer log and one events file: each credited its own files', async (t) => {
    const dirs = makeHostCase(t);
    const events = path.join(dirs.root, 'events.jsonl');
    const down = [['p.bin', dense(MB)], ['q.bin', crypto.randomBytes(MB)]];
    const up = [['r.bin', dense(MB)], ['s.bin', crypto.randomBytes(MB)]];
    writeFiles(dirs.work, down);
    const host = await startHost(t, dirs, ['--events', events]);
    const erin = connect(host, 'erin');
    const frank = connect(host, 'frank');
    await Promise.all([erin.prompted, frank.prompted]);
    await Promise.all([
        erin.run('download p.bin q.bin', receiveAll(dirs.client)),
        frank.run('upload', sendAll(up)),
    ]);
    const [re, rf] = await Promise.all([host.report('erin'), host.report('frank')]);
    assertClean(erin, re, host, dirs);
    assertClean(frank, rf, host, dirs);
    const why = `${describe(erin, re, host, dirs)}\n${describe(frank, rf, host, dirs)}`;
    assert.deepEqual(re.credited, ['p.bin', 'q.bin'], why);
    assert.deepEqual(rf.credited, ['r.bin', 's.bin'], why);
    assert.deepEqual(re.total, { download: 2, upload: 0 }, why);
    assert.deepEqual(rf.total, { download: 0, upload: 2 }, why);
    assertSameFiles(dirs.client, down);
    assertSameFiles(dirs.uploads, up);
    assertLog(dirs, ['S p.bin', 'S q.bin', 'R r.bin', 'R s.bin'], why);
    // The case means something only if the runs overlapped in the shared file.
    const lines = fs.readFileSync(events, 'utf8').split('\n').slice(0, -1).map((l) => JSON.parse(l));
    const at = (pid, kind) => lines.findIndex((e) => e.pid === pid && e.event === kind);
    assert.notEqual(re.pid, rf.pid, why);
    for (const [a, b] of [[re.pid, rf.pid], [rf.pid, re.pid]]) {
        assert.ok(at(a, 'start') >= 0 && at(a, 'start') < at(b, 'end'), `the runs did not overlap\n${why}`);
    }
    assert.equal(lines.filter((e) => e.event === 'done').length, 4, why);
});
