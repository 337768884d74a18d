// rmq27-bridge driven by the pjlink npm package, a PJLink client written elsewhere: the simulated
// projector and the bridge on 127.0.0.1, each started here and stopped by its process id.
// Usage: node run.js BRIDGE_PROGRAM SIM_PROGRAM
'use strict';

const fs = require('fs');
const os = require('os');
const path = require('path');
const PJLink = require('pjlink');

const [bridgeProgram, simProgram] = process.argv.slice(2);
const { start, waitForLine, check, finish } = require('../support/processes');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// A simulated projector and a bridge in front of it; resolves with the bridge's port.
async function startPair(simArgs, bridgeArgs) {
    const sim = start(simProgram, simArgs);
    const [, device] = await waitForLine(sim.stdout, /^(\/\S+)\n/m, 'device from the simulator');
    const bridge = start(bridgeProgram, ['--port', device, '--listen', '127.0.0.1:0', ...bridgeArgs]);
    const [, port] = await waitForLine(bridge.stderr, /PJLink on 127\.0\.0\.1:(\d+)/, 'port');
    await waitForLine(bridge.stderr, /line open/, 'line open');
    return Number(port);
}

// One call of the client as a promise of [error, ...results].
function call(client, method, ...args) {
    return new Promise((resolve) => {
        client[method](...args, (err, ...results) => resolve([err || null, ...results]));
    });
}

async function waitForPower(client, state) {
    for (let i = 0; i < 60; i++) {
        const [err, now] = await call(client, 'getPowerState');
        if (!err && now === state) {
            return true;
        }
        await sleep(250);
    }
    return false;
}

async function withoutPassword() {
    const port = await startPair([], ['--name', 'Hall A left']);
    const p = new PJLink('127.0.0.1', port);
    let r = await call(p, 'getClass');
    check('class', r[0] === null && String(r[1]) === '1', r);
    r = await call(p, 'getName');
    check('name', r[0] === null && [].concat(r.slice(1)).join(' ') === 'Hall A left', r);
    r = await call(p, 'getManufacturer');
    check('manufacturer', r[0] === null && String(r[1]) === 'VEXO', r);
    r = await call(p, 'getModel');
    check('model', r[0] === null && String(r[1]) === 'RM-Q27', r);
    r = await call(p, 'getInfo');
    check('info', r[0] === null && r.slice(1).join(' ') === 'rmq27-bridge 1.40', r);
    r = await call(p, 'getInputs');
    check('inputs', r[0] === null && JSON.stringify(r).includes('51'), r);
    r = await call(p, 'getPowerState');
    check('stand-by', r[0] === null && r[1] === PJLink.POWER.OFF, r);
    r = await call(p, 'getLamps');
    check('lamp dark', r[0] === null && r[1][0].hours === 1234 && r[1][0].on === false, r);
    r = await call(p, 'getMute');
    check('no mute in stand-by', r[0] && /Unavailable/.test(r[0].message), r);

    r = await call(p, 'powerOn');
    check('power on', r[0] === null, r);
    r = await call(p, 'getPowerState');
    check('warming up', r[0] === null && r[1] === PJLink.POWER.WARMING_UP, r);
    check('then on', await waitForPower(p, PJLink.POWER.ON));
    r = await call(p, 'getLamps');
    check('lamp lit', r[0] === null && r[1][0].on === true, r);
    r = await call(p, 'setInput', { source: 'rgb', channel: 2 });
    check('input set', r[0] === null, r);
    r = await call(p, 'getInput');
    check('input read', r[0] === null && r[1].code === '12', r);
    r = await call(p, 'setInput', { source: 'storage', channel: 1 });
    check('input refused', r[0] && /Out of parameter/.test(r[0].message), r);
    r = await call(p, 'setMute', true);
    check('mute on', r[0] === null, r);
    r = await call(p, 'getMute');
    check('mute read', r[0] === null && r[1].video === true && r[1].audio === false, r);
    r = await call(p, 'setMute', false);
    check('mute off', r[0] === null, r);
    r = await call(p, 'getMute');
    check('mute off read', r[0] === null && r[1].video === false, r);
    r = await call(p, 'getErrors');
    check('no errors', r[0] === null && r[1] === null, r);

    r = await call(p, 'powerOff');
    check('power off', r[0] === null, r);
    r = await call(p, 'getPowerState');
    check('cooling down', r[0] === null && r[1] === PJLink.POWER.COOLING_DOWN, r);
    r = await call(p, 'powerOn');
    check('no power-on while cooling down', r[0] && /Unavailable/.test(r[0].message), r);
    check('then stand-by', await waitForPower(p, PJLink.POWER.OFF));
    p.disconnect();
}

async function failures() {
    const port = await startPair(['--state', 'lamp-failure'], ['--no-password']);
    const p = new PJLink('127.0.0.1', port);
    let r = await call(p, 'getErrors');
    check('lamp error', r[0] === null && r[1] && r[1].lamp === 'error', r);
    r = await call(p, 'powerOn');
    check('no power-on with a failed lamp', r[0] && /Unavailable/.test(r[0].message), r);
    p.disconnect();

    const hot = await startPair(['--state', 'temperature-warning'], []);
    const q = new PJLink('127.0.0.1', hot);
    r = await call(q, 'getErrors');
    check('temperature warning', r[0] === null && r[1] && r[1].temperature === 'warning', r);
    q.disconnect();

    const gone = await startPair(['--state', 'power-fail'], []);
    const s = new PJLink('127.0.0.1', gone);
    r = await call(s, 'getPowerState');
    check('power failure', r[0] && /failure/.test(r[0].message), r);
    s.disconnect();
}

async function withPassword() {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'rmq27-pjlink-'));
    const file = path.join(dir, 'password');
    fs.writeFileSync(file, 'JBMIAProjectorLink\n', { mode: 0o600 });
    const port = await startPair([], ['--password-file', file]);
    const right = new PJLink('127.0.0.1', port, 'JBMIAProjectorLink');
    let r = await call(right, 'getPowerState');
    check('authenticated', r[0] === null && r[1] === PJLink.POWER.OFF, r);
    r = await call(right, 'getClass');
    check('same connection', r[0] === null && String(r[1]) === '1', r);
    right.disconnect();
    const wrong = new PJLink('127.0.0.1', port, 'not the password');
    r = await call(wrong, 'getPowerState');
    check('wrong password', r[0] && /Authori[sz]ation failed/.test(r[0].message), r);
    wrong.disconnect();
    fs.rmSync(dir, { recursive: true, force: true });
}

// The program refuses to start open by mistake: exit status and message.
function refused(args, status, message, what) {
    return new Promise((resolve) => {
        const child = start(bridgeProgram, ['--port', '/dev/null', ...args]);
        let err = '';
        child.stderr.on('data', (chunk) => (err += chunk.toString()));
        child.on('exit', (code) => {
            check(what, code === status && message.test(err), { code, err });
            resolve();
        });
    });
}

async function refusals() {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'rmq27-pjlink-'));
    const file = path.join(dir, 'password');
    fs.writeFileSync(file, 'JBMIAProjectorLink\n', { mode: 0o644 });
    fs.chmodSync(file, 0o644);
    await refused(['--password-file', file, '--listen', '127.0.0.1:0'], 1, /read or written by others/,
        'password file others may read');
    await refused(['--listen', '0.0.0.0:0'], 2, /loopback only/, 'open address without a password');
    fs.rmSync(dir, { recursive: true, force: true });
}

async function main() {
    try {
        // Each part has a projector and a bridge of its own: they run side by side, and the
        // run takes as long as its longest part (the projector warming up and cooling down).
        await Promise.all([refusals(), withoutPassword(), failures(), withPassword()]);
    } catch (e) {
        check('run', false, e.message);
    }
    finish();
}

main();
