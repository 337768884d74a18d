// Polls a bridge's power state with the pjlink npm package, as a room control system does: one
// line per answer on standard output (the state's number, or "error: ..."), then exits.
// Usage: node poll.js PORT COUNT INTERVAL_MS
'use strict';

const PJLink = require('pjlink');

const [port, count, interval] = process.argv.slice(2).map(Number);
const client = new PJLink('127.0.0.1', port);
let asked = 0;

function ask() {
    client.getPowerState((err, state) => {
        console.log(err ? `error: ${err}` : String(state));
        if (++asked >= count) {
            client.disconnect();
            process.exit(0);
        }
        setTimeout(ask, interval);
    });
}

ask();
