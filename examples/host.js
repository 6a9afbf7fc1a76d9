#!/usr/bin/env node
'use strict';
// A minimal host that serves TELNET nodes, runs vek for their file transfers
// and credits each user from vek's events. An example to read, not a product.
//
//   node host.js --files DIR --uploads DIR --log FILE [--events FILE]
//                [--vek PATH] [--port N] [--spool DIR]
//
// A user connects (one connection is one node); the host sets TELNET BINARY
// both ways, asks for a name and one command, "download NAME..." or
// "upload", runs vek on the connection, tells the user the credits and hangs
// up. Each run is also one JSON line on standard output.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');

const { values: opt } = parseArgs({
    options: {
        vek: { type: 'string', default: 'vek' },
        port: { type: 'string', default: '2323' },
        files: { type: 'string' },    // what users may download
        uploads: { type: 'string' },  // where uploads land
        log: { type: 'string' },      // the transfer log all nodes share
        events: { type: 'string' },   // one events file for all runs; without it, one file per run in --spool
        spool: { type: 'string', default: os.tmpdir() },
    },
});
for (const need of ['files', 'uploads', 'log']) {
    if (!opt[need]) {
        console.error(`host.js: --${need} is required`);
        process.exit(2);
    }
}

const IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240, BINARY = 0;
const WAIT_MS = 30_000;  // for a user who stops answering before the transfer
const credits = new Map();  // user -> { download, upload }
let nodes = 0;

// Loopback only: this is an example.
const server = net.createServer((sock) => serve(sock, ++nodes));
server.listen(Number(opt.port), '127.0.0.1', () => {
    console.log(JSON.stringify({ listening: server.address().port }));
});

function serve(sock, node) {
    const bye = (text) => sock.end(`${text}\r\n`);
    sock.on('error', () => {});  // a dropped line; the events say what it cost
    sock.setTimeout(WAIT_MS, () => sock.destroy());

    // vek negotiates nothing, and sz and rz need all 256 byte values: BINARY
    // must be on in both directions before the transfer starts.
    sock.write(Buffer.from([IAC, WILL, BINARY, IAC, DO, BINARY]));
    const agreed = new Set();
    let user = null, started = false;
    const option = (verb, code) => {
        if (code !== BINARY) {  // refuse everything else
            if (verb === DO) sock.write(Buffer.from([IAC, WONT, code]));
            if (verb === WILL) sock.write(Buffer.from([IAC, DONT, code]));
        } else if (verb === DONT || verb === WONT) {
            bye('This host needs TELNET BINARY mode both ways.');
        } else if (!agreed.has(verb)) {  // the client's answers: DO and WILL
            agreed.add(verb);
            if (agreed.size === 2) sock.write('name: ');
        }
    };
    const onLine = (text) => {
        if (agreed.size < 2 || started) return;
        if (!user) {
            user = text.trim();
            if (/^\w{1,32}$/.test(user)) sock.write('command (download NAME... | upload): ');
            else bye('Bad name.');
            return;
        }
        const [verb, ...words] = text.trim().split(/\s+/);
        const names = [...new Set(words)];  // vek sends a name once
        const missing = names.filter((n) => !/^\w[\w.-]*$/.test(n) ||
            !fs.statSync(path.join(opt.files, n), { throwIfNoEntry: false })?.isFile());
        const ok = verb === 'upload' ? !names.length : verb === 'download' && names.length > 0 && !missing.length;
        if (ok) {
            started = true;
            // Node stops its own reading of a socket it hands to a child, but
            // from inside a 'data' handler a read it has already scheduled
            // would start it again and take the user's bytes from vek.
            setImmediate(run, sock, node, user, verb, names, bye);
        } else {
            bye(missing.length ? `No such file: ${missing.join(' ')}` : 'Unknown command.');
        }
    };

    // The TELNET layer, for the few lines read here: options, subnegotiation
    // and other commands are taken out; CR LF, CR NUL or LF end a line.
    let state = 'data', verb = 0, line = '';
    sock.on('data', (chunk) => {
        for (const b of chunk) {
            if (state === 'data' && b === IAC) state = 'iac';
            else if (state === 'data' && (b === 13 || b === 10)) { if (line) onLine(line); line = ''; }
            else if (state === 'data') { if (b && line.length < 200) line += String.fromCharCode(b); }
            else if (state === 'iac' && b === IAC) { line += '\xff'; state = 'data'; }
            else if (state === 'iac' && b >= WILL) { verb = b; state = 'option'; }
            else if (state === 'iac') state = b === SB ? 'sb' : 'data';
            else if (state === 'option') { option(verb, b); state = 'data'; }
            else if (state === 'sb') { if (b === IAC) state = 'sb-iac'; }
            else state = b === SE ? 'data' : 'sb';  // 'sb-iac'
        }
    });
}

function run(sock, node, user, kind, names, bye) {
    const events = opt.events || path.join(opt.spool, `vek-events-${process.pid}-${node}.jsonl`);
    // vek appends: this run's lines begin where the file ends now, so an
    // earlier vek that had the same pid cannot be taken for this one.
    const from = fs.statSync(events, { throwIfNoEntry: false })?.size ?? 0;
    const args = ['--telnet', '--events', events, ...(kind === 'download' ? ['sz', ...names] : ['rz'])];
    sock.setTimeout(0);  // vek watches the line now
    const child = spawn(opt.vek, args, {
        cwd: kind === 'download' ? opt.files : opt.uploads,
        env: { ...process.env, VEKLOG: opt.log },
        stdio: [sock, sock, 'pipe'],
    });
    let stderr = '';
    child.stderr.on('data', (c) => { stderr += c; });
    child.on('error', (e) => { stderr += e.message; });
    child.on('close', (status, signal) => {
        const mine = child.pid ? readEvents(events, from, child.pid) : [];
        if (!opt.events) fs.rmSync(events, { force: true });
        // Credit only what vek says completed; a failed file, or one with no
        // event at all (vek killed), earns nothing.
        const got = mine.filter((e) => e.event === 'done').map((e) => e.name);
        const tally = credits.get(user) || { download: 0, upload: 0 };
        tally[kind] += got.length;
        credits.set(user, tally);
        const end = mine.find((e) => e.event === 'end');
        console.log(JSON.stringify({
            node, user, kind, pid: child.pid, status, signal, result: end ? end.result : null, credited: got,
            failed: mine.filter((e) => e.event === 'failed').map(({ name, reason }) => ({ name, reason })),
            total: tally, stderr,
        }));
        bye(`${got.length} ${kind} credit(s)${got.length ? `: ${got.join(' ')}` : ''}; ` +
            `you have ${tally.download} download and ${tally.upload} upload credit(s).`);
    });
}

// This run's events: the whole lines from byte `from` on that carry vek's
// pid. A line another run is writing this instant may be cut off; it is not
// ours, and it is passed over.
function readEvents(file, from, pid) {
    let text;
    try {
        const fd = fs.openSync(file, 'r');
        try {
            const buf = Buffer.alloc(Math.max(0, fs.fstatSync(fd).size - from));
            text = buf.subarray(0, fs.readSync(fd, buf, 0, buf.length, from)).toString('utf8');
        } finally {
            fs.closeSync(fd);
        }
    } catch {
        return [];  // no file: vek never ran, no credit
    }
    return text.split('\n').slice(0, -1).flatMap((l) => {
        try {
            const e = JSON.parse(l);
            return e.v === 1 && e.pid === pid ? [e] : [];
        } catch {
            return [];
        }
    });
}
