// Renders the bridge's web page, for the README, at a phone's width and a desktop's, with the
// simulated projector on behind the bridge.
// Usage: node screenshots.js BRIDGE_PROGRAM SIM_PROGRAM OUTPUT_DIR
'use strict';

const path = require('path');
const puppeteer = require('puppeteer-core');
const { stopAll } = require('../support/processes');
const { startPair } = require('./rig');

const [bridgeProgram, simProgram, outDir] = process.argv.slice(2);

async function main() {
    let browser;
    try {
        const { url } = await startPair(bridgeProgram, simProgram, [], ['--state', 'on']);
        browser = await puppeteer.launch({
            executablePath: process.env.RMQ27_CHROMIUM || '/usr/bin/chromium',
            headless: true,
            args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
        });
        const page = await browser.newPage();
        for (const [name, width, height] of [['web-phone', 360, 740], ['web-desktop', 1280, 800]]) {
            await page.setViewport({ width, height });
            await page.goto(url + '/');
            await page.waitForFunction(() => document.getElementById('power').textContent === 'On');
            const file = path.join(outDir, `${name}.png`);
            await page.screenshot({ path: file, fullPage: true });
            console.log(`screenshots: ${file}`);
        }
    } finally {
        if (browser) {
            await browser.close();
        }
        stopAll();
    }
}

main().catch((e) => {
    console.error(e);
    process.exit(1);
});
