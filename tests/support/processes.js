// What the node tests share: starting and stopping the programs under test (each stopped by its
// process id), waiting for a line they write, and counting checks into the plain closing line
// "N passed, N failed".
'use strict';

const { spawn } = require('child_process');

const WaitMs = 20000;
const children = [];
const counts = { passed: 0, failed: 0 };

// A program of the build, its standard output and error kept whole from its start, so that a
// wait sees lines that came before it (two lines may arrive in one read).
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

function stopAll() {
    children.forEach(stop);
}

function check(what, ok, detail) {
    if (ok) {
        counts.passed++;
    } else {
        counts.failed++;
        console.log(`FAIL: ${what}${detail === undefined ? '' : ': ' + JSON.stringify(detail)}`);
    }
}

// Stops every program, prints the closing line and ends with 0 only when nothing failed.
function finish() {
    stopAll();
    console.log(`${counts.passed} passed, ${counts.failed} failed`);
    process.exit(counts.failed === 0 ? 0 : 1);
}

module.exports = { WaitMs, start, waitForLine, stop, stopAll, check, finish, children };
