// Starting and stopping the programs under test: the simulated projector and the bridge with its
// web page, on 127.0.0.1, each stopped by its process id.
'use strict';

const { spawn } = require('child_process');

const WaitMs = 20000;
const children = [];

function start(program, args) {
    const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    for (const stream of [child.stdout, child.stderr]) {
        stream.text = '';
        stream.on('data', (chunk) => (stream.text += chunk.toString()));
    }
    children.push(child);
    return child;
}

// Resolves with the first match in what the stream has written so far or writes later.
function waitForLine(stream, pattern, what) {
    return new Promise((resolve, reject) => {
        const look = () => {
            const m = stream.text.match(pattern);
            if (m) {
                clearTimeout(timer);
                stream.off('data', look);
                resolve(m);
            }
        };
        const timer = setTimeout(() => {
            stream.off('data', look);
            reject(new Error(`no ${what} within ${WaitMs} ms: ${stream.text}`));
        }, WaitMs);
        stream.on('data', look);
        look();
    });
}

function stop(child) {
    if (child.exitCode === null && child.signalCode === null) {
        process.kill(child.pid, 'SIGTERM');
    }
}

// A simulated projector and a bridge with its page in front of it; resolves with the page's URL,
// the metrics' URL and the simulator.
async function startPair(bridgeProgram, simProgram, bridgeArgs, simArgs = []) {
    const sim = start(simProgram, simArgs);
    const [, device] = await waitForLine(sim.stdout, /^(\/\S+)\n/m, 'device from the simulator');
    const bridge = start(bridgeProgram, ['--port', device, '--listen', '127.0.0.1:0', '--name',
        'Hall A', '--web', '127.0.0.1:0', '--metrics', '127.0.0.1:0', '--poll', '5',
        ...bridgeArgs]);
    const [, web] = await waitForLine(bridge.stderr, /web page on (http:\/\/127\.0\.0\.1:\d+)\//,
        'web port');
    const [, metrics] = await waitForLine(bridge.stderr, /metrics on (127\.0\.0\.1:\d+\/metrics)/,
        'metrics port');
    await waitForLine(bridge.stderr, /line open/, 'line open');
    return { url: web, metrics: `http://${metrics}`, sim, bridge };
}

function stopAll() {
    children.forEach(stop);
}

module.exports = { WaitMs, startPair, stop, stopAll };
