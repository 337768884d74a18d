// The programs under the web page's test: the simulated projector and the bridge with its web
// page, on 127.0.0.1.
'use strict';

const { start, waitForLine } = require('../support/processes');

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

module.exports = { startPair };
