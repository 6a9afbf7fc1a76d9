'use strict';
// What the interop files share: the vek under test, a private root per case, and the checks on a run.

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const Zmodem = require('zmodem.js');

// The vek named on the command line, else this tree's build; without it no case can run.
const VEK = path.resolve(process.argv[2] || path.join(__dirname, '..', '..', 'build', 'vek'));
if (!fs.existsSync(VEK)) {
    console.error(`${path.basename(process.argv[1], '.js')}: no vek binary at ${VEK} (build it with make)`);
    process.exit(2);
}

// A private root per case: `tmp` is vek's TMP, `work` its working directory,
// `client` where the other side keeps its files.
function makeCase(t, kind) {
    const root = fs.mkdtempSync(path.join(os.tmpdir(), `vek-${kind}-`));
    const dirs = { root, veklog: path.join(root, 'xfer.log') };
    for (const d of ['tmp', 'work', 'client']) {
        dirs[d] = path.join(root, d);
        fs.mkdirSync(dirs[d]);
    }
    t.after(() => {
        // Kept on failure so the leftovers can be looked at.
        if (t.passed !== false) fs.rmSync(root, { recursive: true, force: true });
        else t.diagnostic(`case files kept in ${root}`);
    });
    return dirs;
}

// vek in the case's directories, in its own process group so that a bound can
// end it together with the sz or rz below it.
function spawnVek(args, dirs, stdio = ['pipe', 'pipe', 'pipe']) {
    return spawn(VEK, args, {
        cwd: dirs.work,
        env: { ...process.env, TMP: dirs.tmp, TEMP: dirs.tmp, TEMPDIR: dirs.tmp, VEKLOG: dirs.veklog },
        stdio,
        detached: true,
    });
}

// vek on a pseudo-terminal, as a host that runs its nodes under one: script(1)
// starts it on a fresh one (cooked, echo on, until vek makes it raw) and
// copies its own standard input and output to and from the master as they
// are. vek's standard error goes to dirs.stderr, off the line.
function spawnVekOnPty(args, dirs) {
    dirs.stderr = path.join(dirs.root, 'stderr');
    const q = (s) => `'${s.replace(/'/g, "'\\''")}'`;
    const line = `exec ${[VEK, ...args].map(q).join(' ')} 2>${q(dirs.stderr)}`;
    return spawn('script', ['-q', '-e', '-c', line, '/dev/null'], {
        cwd: dirs.work,
        env: { ...process.env, TMP: dirs.tmp, TEMP: dirs.tmp, TEMPDIR: dirs.tmp, VEKLOG: dirs.veklog },
        stdio: ['pipe', 'pipe', 'ignore'],
        detached: true,
    });
}

// vek on one TCP connection on 127.0.0.1 as its standard input and output, as
// a host that serves TELNET nodes runs it. Resolves with vek and the user's
// end of the connection.
function spawnVekOnTcp(args, dirs) {
    return new Promise((resolve, reject) => {
        const socket = new net.Socket();
        const server = net.createServer({ pauseOnConnect: true }, (conn) => {
            server.close();
            const child = spawnVek(args, dirs, [conn, conn, 'pipe']);
            conn.destroy();  // vek holds the connection now, as it would from a host
            resolve({ child, socket });
        });
        server.on('error', reject);
        server.listen(0, '127.0.0.1', () => socket.connect(server.address().port, '127.0.0.1'));
    });
}

// The JSON Lines vek wrote to `file`, none if it wrote nothing.
function readEvents(file) {
    if (!fs.existsSync(file)) return [];
    return fs.readFileSync(file, 'utf8').split('\n').filter(Boolean).map((l) => JSON.parse(l));
}

// Everything a failed assertion should show about the run. A runner reports
// sessions and a client error only with a zmodem.js client, commands only over TELNET.
function describe(r, dirs) {
    const log = fs.existsSync(dirs.veklog) ? fs.readFileSync(dirs.veklog, 'latin1') : '(no transfer log)';
    const counts = ['sessions', 'clientDone', 'commands'].filter((k) => k in r).map((k) => ` ${k}=${r[k]}`);
    const error = r.clientError ? (r.clientError.stack || r.clientError) : 'none';
    return [
        `status=${r.status} signal=${r.signal} timedOut=${r.timedOut}${counts.join('')}`,
        ...('clientError' in r ? [`client error: ${error}`] : []),
        `stderr: ${JSON.stringify(r.stderr)}`,
        `transfer log: ${JSON.stringify(log)}`,
        `TMP: ${JSON.stringify(fs.readdirSync(dirs.tmp))}`,
    ].join('\n');
}

// A run that ended on its own within boundMs, the client through with its one
// session, vek silent on standard error, nothing left in TMP, and (over TELNET)
// no command met by the client.
function assertRanClean(r, dirs, boundMs) {
    const why = describe(r, dirs);
    assert.equal(r.timedOut, false, `vek did not finish within ${boundMs} ms\n${why}`);
    if ('sessions' in r) {
        assert.equal(r.clientError, null, `the client side failed\n${why}`);
        assert.equal(r.sessions, 1, `expected exactly one session\n${why}`);
    }
    assert.equal(r.clientDone, true, `the client's session did not come to its end\n${why}`);
    assert.equal(r.status, 0, `vek's exit status\n${why}`);
    assert.equal(r.stderr, '', `vek wrote to standard error\n${why}`);
    if ('commands' in r)
        assert.equal(r.commands, 0, `the client met TELNET commands: vek negotiates and answers nothing\n${why}`);
    assert.deepEqual(fs.readdirSync(dirs.tmp), [], `leftovers in TMP\n${why}`);
}

// One record per transferred file; the fields this side cannot know are only shaped.
const RECORD = /^([SR]) +\d+ +\d+ bps +\d+ +cps +\d+ errors +\d+ 1024 (.*) -1$/;

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

// The log holds exactly these records, in order, all in direction `dir`.
function assertRecords(dirs, dir, names, why = '') {
    const got = records(dirs);
    assert.deepEqual(got.map((r) => `${r.dir} ${r.name}`), names.map((n) => `${dir} ${n}`),
        `transfer log records:\n${got.map((r) => r.line).join('\n')}${why && `\n${why}`}`);
}

// files: [name, bytes] pairs.
function writeFiles(dir, files) {
    for (const [name, bytes] of files) fs.writeFileSync(path.join(dir, name), bytes);
}

// `dir` holds these files and nothing else, each byte for byte.
function assertSameFiles(dir, files) {
    assert.deepEqual(fs.readdirSync(dir).sort(), files.map(([n]) => n).sort(), `files in ${dir}`);
    for (const [name, bytes] of files) {
        const copy = fs.readFileSync(path.join(dir, name));
        assert.ok(copy.equals(bytes), `${name}: ${copy.length} bytes differ from the ${bytes.length} sent`);
    }
}

// The terminal side of a ZMODEM run: a zmodem.js Sentry that answers through
// send(bytes) and runs drive(session, ctl) on the session it confirms. It
// counts result.sessions, sets result.clientDone once drive has come to its
// end, and hands every failure to fail(e). Returns what feeds it vek's output.
function zmodemClient(result, send, drive, ctl, fail) {
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
    return (chunk) => {
        try {
            sentry.consume(chunk);
        } catch (e) {
            fail(e);
        }
    };
}

// The terminal side of a download: takes every offer, which must name a plain
// file, into `into` under that name. onOffer(offer, index, ctl) may take an
// offer over; onInput(ctl) sees each piece of data as it arrives.
function receiveAll(into, { onOffer, onInput } = {}) {
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

// The terminal side of an upload: offers each file in turn, then closes.
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

module.exports = {
    makeCase, spawnVek, spawnVekOnPty, spawnVekOnTcp, readEvents, describe, assertRanClean, records, assertRecords,
    writeFiles, assertSameFiles, zmodemClient, receiveAll, sendAll,
};
