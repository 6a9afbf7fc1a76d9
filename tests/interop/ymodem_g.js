'use strict';
// A YMODEM-G peer written for these tests, owing nothing to lrzsz: it sends a
// batch, or takes the start of a download and then cancels it. Every block is
// CRC-16 checked, and since YMODEM-G repeats nothing, any fault ends the run
// with an error that says what came instead.
//
// As a program (the benchmark's sender), on its own standard input and output:
//   node ymodem_g.js send FILE...       YMODEM-G: streams each file
//   node ymodem_g.js send-acked FILE... plain YMODEM: each block waits for its ACK

const fs = require('node:fs');
const path = require('node:path');

const SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, CAN = 0x18, C = 0x43, G = 0x47;
const CANCEL = Buffer.from([CAN, CAN, CAN, CAN, CAN, 8, 8, 8, 8, 8]);  // 5 CAN, 5 backspaces

const CRC_TABLE = Array.from({ length: 256 }, (_, i) => {
    let c = i << 8;
    for (let k = 0; k < 8; k++) c = (c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1) & 0xffff;
    return c;
});
function crc16(bytes) {  // CRC-16/XMODEM: polynomial 0x1021, from 0
    let c = 0;
    for (const b of bytes) c = ((c << 8) & 0xffff) ^ CRC_TABLE[(c >> 8) ^ b];
    return c;
}

// 128 bytes when the data fits, else 1024; `fill` pads the rest.
function block(n, data, fill = 0x1a) {
    const size = data.length <= 128 ? 128 : 1024;
    const b = Buffer.alloc(size + 5, fill);
    b.set([size === 128 ? SOH : STX, n & 0xff, 255 - (n & 0xff)]);
    data.copy(b, 3);
    b.writeUInt16BE(crc16(b.subarray(3, 3 + size)), 3 + size);
    return b;
}
// Block 0: the name and the size; without a name it ends the batch.
const header = (name, size) => block(0, Buffer.from(name === null ? '' : `${name}\0${size}`), 0);

// The user's end of a line: raw, or TELNET in BINARY mode (0xFF goes out
// doubled, IAC IAC comes in as one 0xFF; vek negotiates nothing, nor does this).
function line(input, raw, telnet = false) {
    let output = raw;
    if (telnet) {
        const { TelnetInput, TelnetOutput } = require('telnet-stream');  // the benchmark runs without it
        [input, output] = [input.pipe(new TelnetInput()), new TelnetOutput()];
        output.pipe(raw);
    }
    raw.on('error', () => {});  // vek gone first: the reader sees the line close
    const put = (bytes) => new Promise((resolve) => {
        const done = () => { output.off('drain', done).off('close', done); resolve(); };
        if (!output.writable || output.write(bytes)) resolve();
        else output.on('drain', done).on('close', done);
    });
    return { input, output, put, rx: reader(input) };
}

// What arrives waits until taken, n bytes at a time within ms, as in a line's buffer.
function reader(input) {
    let buf = Buffer.alloc(0), ended = false, keep = true, wake = () => {};
    input.on('data', (c) => { if (keep) buf = Buffer.concat([buf, c]); wake(); });
    for (const e of ['end', 'close']) input.on(e, () => { ended = true; wake(); });
    const have = () => `have [${buf.subarray(0, 16).toString('hex')}]${buf.length > 16 ? ` +${buf.length - 16}` : ''}`;
    const take = (n, ms, what) => new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`${what}: nothing within ${ms} ms (${have()})`)), ms);
        (wake = () => {
            if (buf.length < n && !ended) return;
            clearTimeout(timer);
            wake = () => {};
            if (buf.length < n) return reject(new Error(`${what}: the line closed (${have()})`));
            resolve(buf.subarray(0, n));
            buf = buf.subarray(n);
        })();
    });
    // What comes after the cancel is read and dropped.
    const discard = () => { keep = false; buf = Buffer.alloc(0); };
    return { take, discard, have };
}

// Sends files ([name, bytes] pairs) as a batch; resolves true once its end is
// acknowledged. cutAt [file, offset] stops at that offset of that file instead
// and resolves false, leaving the line as it is; damageAt spoils the block there.
// acked sends plain YMODEM instead (the benchmark's yardstick for rz's own
// pace): asked with C, the header and each block wait for their ACK.
async function send(ln, files, { cutAt = null, damageAt = null, acked = false, answerMs = 10_000 } = {}) {
    const at = (where, i, offset) => where && where[0] === i && where[1] === offset;
    const expect = async (want, what) => {
        let b;
        do b = (await ln.rx.take(1, answerMs, what))[0]; while (b === 0x11 || b === 0x13);  // a terminal's XON/XOFF
        if (b !== want) throw new Error(`${what}: got 0x${b.toString(16)} for 0x${want.toString(16)} (${ln.rx.have()})`);
    };
    const ask = acked ? C : G;
    await expect(ask, 'the first request');
    for (const [i, [name, bytes]] of files.entries()) {
        await ln.put(header(name, bytes.length));
        if (acked) await expect(ACK, `the answer to the header of ${name}`);
        await expect(ask, `the request for the data of ${name}`);
        // Streams without reading the line: what the receiver says meanwhile waits.
        for (let offset = 0, n = 1; offset < bytes.length; offset += 1024, n++) {
            if (at(cutAt, i, offset)) return false;
            const b = block(n, bytes.subarray(offset, offset + 1024));
            if (at(damageAt, i, offset)) b[100] ^= 1;
            await ln.put(b);
            if (acked) await expect(ACK, `the answer to block ${n} of ${name}`);
        }
        await ln.put(Buffer.from([EOT]));
        await expect(ACK, `the answer to the EOT of ${name}`);
        await expect(ask, `the request after ${name}`);
    }
    await ln.put(header(null));
    await expect(ACK, 'the answer to the end of the batch');
    return true;
}

// Asks for a download with G (each second until the header comes: the first
// may reach a line that is not raw yet), takes the header and `blocks` blocks,
// then sends the user's cancel and drops whatever follows, or with deafMs
// reads nothing for that long first. Resolves with the header's name and
// size, the data taken and the moment of the cancel.
async function receiveThenCancel(ln, { blocks = 64, deafMs = 0, answerMs = 10_000 } = {}) {
    const take = async (n, what) => {
        let b;
        do b = (await ln.rx.take(1, answerMs, what))[0]; while (n === 0 && b !== SOH && b !== STX);
        const size = b === SOH ? 128 : 1024;
        const rest = b === SOH || b === STX ? await ln.rx.take(size + 4, answerMs, what) : Buffer.alloc(0);
        const data = rest.subarray(2, 2 + size);
        if (rest[0] !== (n & 0xff) || rest[1] !== 255 - rest[0] || rest.readUInt16BE(2 + size) !== crc16(data))
            throw new Error(`${what}: a bad block [${Buffer.from([b, ...rest.subarray(0, 15)]).toString('hex')}]`);
        return data;
    };
    ln.put(Buffer.from([G]));
    const ask = setInterval(() => ln.put(Buffer.from([G])), 1000);
    const head = await take(0, 'the header').finally(() => clearInterval(ask));
    const [name, size] = head.toString('latin1').split('\0');
    ln.put(Buffer.from([G]));
    const data = [];
    for (let n = 1; n <= blocks; n++) data.push(await take(n, `data block ${n}`));
    ln.put(CANCEL);
    ln.rx.discard();
    // Deaf only once the cancel is through: script(1) forwards nothing while its output is blocked.
    if (deafMs) setTimeout(() => setTimeout(() => ln.input.resume(), deafMs, ln.input.pause()), 200);
    return { name, size: parseInt(size, 10), data: Buffer.concat(data), cancelledAt: Date.now() };
}

module.exports = { line, send, receiveThenCancel };

if (require.main === module) {
    const [verb, ...names] = process.argv.slice(2);
    if (!['send', 'send-acked'].includes(verb) || names.length === 0)
        throw new Error('usage: node ymodem_g.js send|send-acked FILE...');
    const files = names.map((n) => [path.basename(n), fs.readFileSync(n)]);
    send(line(process.stdin, process.stdout), files, { acked: verb === 'send-acked' }).then(
        () => process.exit(0), (e) => { console.error(`ymodem_g: ${e.message}`); process.exit(1); });
}
