// rmq27-bridge's web page in a real browser: Debian's chromium, headless, driven by puppeteer-core
// (no browser is downloaded), with the simulated projector behind the bridge on 127.0.0.1; each
// program started here and stopped by its process id. axe-core checks the page at two widths.
// Usage: node run.js BRIDGE_PROGRAM SIM_PROGRAM
'use strict';

const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const puppeteer = require('puppeteer-core');
const axeSource = require('axe-core').source;

const [bridgeProgram, simProgram] = process.argv.slice(2);
const chromium = process.env.RMQ27_CHROMIUM || '/usr/bin/chromium';
const { WaitMs, stop, check, finish } = require('../support/processes');
const { startPair } = require('./rig');

// One request from node, with the headers a browser would not let a page set.
function request(url, { method = 'GET', headers = {}, body } = {}) {
    return new Promise((resolve, reject) => {
        const req = http.request(url, { method, headers }, (res) => {
            let text = '';
            res.on('data', (c) => (text += c));
            res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, text }));
        });
        req.on('error', reject);
        req.end(body);
    });
}

// The serial exchanges so far: all of them, and the poll's and the web page's.
async function exchanges(metricsUrl) {
    const { text } = await request(metricsUrl);
    const value = (re) => Number((text.match(re) || [, NaN])[1]);
    return {
        all: value(/^rmq27_exchanges_total (\d+)$/m),
        poll: value(/^rmq27_user_exchanges_total\{user="poll"\} (\d+)$/m),
        web: value(/^rmq27_user_exchanges_total\{user="web"\} (\d+)$/m),
    };
}

// Presses a control once the page takes one (no other control waiting for its answer), and
// waits until its answer is in: a press while the page still waits would be ignored.
async function press(page, action) {
    const selector = `button[data-action="${action}"]`;
    await page.waitForSelector(`${selector}:not([disabled])`, { timeout: WaitMs });
    await page.click(selector);
    await page.waitForFunction(() => {
        const o = document.getElementById('outcome');
        return o && o.dataset.outcome && o.dataset.outcome !== 'sending';
    }, { timeout: WaitMs });
}

// Waits until the element's text matches; resolves with whether it did.
async function shows(page, selector, pattern, timeout = WaitMs) {
    try {
        await page.waitForFunction(
            (sel, source) => {
                const e = document.querySelector(sel);
                return e && new RegExp(source).test(e.textContent);
            },
            { timeout, polling: 100 }, selector, pattern.source);
        return true;
    } catch (e) {
        return false;
    }
}

async function text(page, selector) {
    return page.$eval(selector, (e) => e.textContent);
}

// axe-core in the page (evaluated through the debugger, which the page's policy does not stop).
async function axeViolations(page, width, height) {
    await page.setViewport({ width, height });
    await page.evaluate(axeSource);
    const result = await page.evaluate(() => window.axe.run(document));
    return result.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`);
}

async function withoutPassword(browser) {
    const { url, metrics, sim } = await startPair(bridgeProgram, simProgram, []);
    const page = await browser.newPage();
    let statusPolls = 0;
    let onPoll = () => {};
    page.on('request', (r) => {
        if (r.url().endsWith('/status.json')) {
            statusPolls++;
            onPoll();
        }
    });
    const response = await page.goto(url + '/');
    const headers = response.headers();
    check('policy: no script but our own, no framing', /default-src 'self'/.test(
        headers['content-security-policy']) && /frame-ancestors 'none'/.test(
        headers['content-security-policy']), headers);
    check('policy: no sniffing', headers['x-content-type-options'] === 'nosniff', headers);
    check('shows the simulator\'s state', await shows(page, '#power', /^Standby$/), await text(page, '#power'));
    check('shows the name', await text(page, '#name') === 'Hall A');
    check('shows lamp hours, temperatures, pressure, faults',
        await shows(page, '#lamp', /^1234 h$/) && await shows(page, '#temp1', /°C$/) &&
        await shows(page, '#pressure', /hPa$/) && await shows(page, '#faults', /^None$/) &&
        await shows(page, '#mute', /^No picture in standby$/),
        await page.$eval('dl', (e) => e.innerText));
    check('says the projector answers', await shows(page, '#link', /^Answering$/));
    check('says when it last answered', await shows(page, '#answered', /ago\)$/));
    for (const [w, h] of [[360, 740], [1280, 800]]) {
        const violations = await axeViolations(page, w, h);
        check(`axe at ${w}x${h}`, violations.length === 0, violations);
    }
    // Ten loads and twenty reads (a minute open at the page's 3 s pace) reach the projector not
    // once: every exchange meanwhile is the poller's.
    const before = await exchanges(metrics);
    const started = Date.now();
    for (let i = 0; i < 10; i++) {
        await page.reload({ waitUntil: 'load' });
    }
    // The page's weight and its first paint, on a load like the operator's n-th.
    const paint = await page.evaluate(() => new Promise((resolve) => {
        new PerformanceObserver((list) => {
            const p = list.getEntriesByName('first-contentful-paint')[0];
            if (p) {
                const sizes = performance.getEntriesByType('resource').map((r) => r.transferSize);
                const nav = performance.getEntriesByType('navigation')[0];
                resolve({ fcp: p.startTime, bytes: sizes.reduce((a, b) => a + b, nav.transferSize) });
            }
        }).observe({ type: 'paint', buffered: true });
    }));
    console.log(`page: first contentful paint ${paint.fcp && paint.fcp.toFixed(0)} ms, ` +
        `${paint.bytes} bytes transferred`);
    // Twenty reads of the page's own, back to back: what a minute open at its 3 s pace reads.
    statusPolls = 0;
    await page.evaluate(async () => {
        for (let i = 0; i < 20; i++) {
            await fetch('/status.json', { cache: 'no-store', credentials: 'same-origin' });
        }
    });
    await new Promise((resolve) => {
        const timer = setTimeout(resolve, WaitMs);
        onPoll = () => statusPolls >= 20 && (clearTimeout(timer), resolve());
        onPoll();
    });
    // Then the next poll's exchanges, so that the count below is seen to move at all.
    let after = await exchanges(metrics);
    for (const until = Date.now() + WaitMs; after.poll === before.poll && Date.now() < until;) {
        await new Promise((resolve) => setTimeout(resolve, 100));
        after = await exchanges(metrics);
    }
    // The poller's own schedule: a poll of seven queries every 5 s, and the one under way.
    const polls = Math.floor((Date.now() - started) / 5000) + 2;
    check('twenty reads', statusPolls >= 20, statusPolls);
    check('page views cause no exchange beyond the poll',
        after.web === before.web && after.all - before.all === after.poll - before.poll &&
        after.poll > before.poll && after.poll - before.poll <= 7 * polls,
        { before, after, polls });

    // Controls: each answered in words, the page showing what they did.
    await press(page, 'power-on');
    check('power on: done', await shows(page, '#outcome', /switching on/), await text(page, '#outcome'));
    check('power on: warming up', await shows(page, '#power', /^Warming up$/), await text(page, '#power'));
    check('power on: then on', await shows(page, '#power', /^On$/), await text(page, '#power'));
    check('the change is announced', await shows(page, '#announce', /Power: On/),
        await text(page, '#announce'));
    await press(page, 'input-3');
    check('input 3', await shows(page, '#input', /^Input 3$/), await text(page, '#input'));
    check('input 3 pressed', await page.$eval('button[data-action="input-3"]',
        (b) => b.getAttribute('aria-pressed')) === 'true');
    await press(page, 'mute-on');
    check('mute on', await shows(page, '#mute', /^On$/), await text(page, '#mute'));
    await press(page, 'mute-off');
    check('mute off', await shows(page, '#mute', /^Off$/), await text(page, '#mute'));

    // Power off asks first, with the keyboard alone: Escape takes the question back.
    await page.focus('#power-off');
    await page.keyboard.press('Enter');
    check('power off asks', await page.$eval('#confirm', (e) => !e.hidden) &&
        await page.evaluate(() => document.activeElement.dataset.action) === 'power-off');
    await page.keyboard.press('Escape');
    check('escape takes it back', await page.$eval('#confirm', (e) => e.hidden) &&
        await page.evaluate(() => document.activeElement.id) === 'power-off');
    await page.keyboard.press('Enter');
    await page.keyboard.press('Enter');
    check('power off: cooling down', await shows(page, '#power', /^Cooling down$/),
        await text(page, '#power'));
    await press(page, 'power-on');
    check('power on while cooling down: refused', await shows(page, '#outcome', /refused/),
        await text(page, '#outcome'));

    // A projector that stops answering is shown as such within one poll.
    stop(sim);
    check('a silent projector is shown', await shows(page, '#link', /Not answering|line is closed/),
        await text(page, '#link'));
    await page.close();
}

async function withPassword(browser) {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'rmq27-web-'));
    const file = path.join(dir, 'password');
    const password = 'JBMIAProjectorLink';
    fs.writeFileSync(file, password + '\n', { mode: 0o600 });
    const { url, bridge } = await startPair(bridgeProgram, simProgram, ['--password-file', file]);
    check('status wants a sign-in', (await request(url + '/status.json')).status === 401);
    const page = await browser.newPage();
    await page.goto(url + '/');
    check('a sign-in form', await page.$('form[action="/sign-in"] input[type="password"]') !== null);
    const violations = await axeViolations(page, 360, 740);
    check('axe on the sign-in form', violations.length === 0, violations);

    await page.type('#password', 'not the password');
    const [wrong] = await Promise.all([page.waitForNavigation(), page.click('button[type="submit"]')]);
    check('a wrong password is refused', wrong.status() === 403 &&
        /not right/.test(await text(page, '#error')), wrong.status());
    check('no cookie for a wrong password', (await page.cookies()).length === 0);

    await page.type('#password', password);
    await Promise.all([page.waitForNavigation(), page.click('button[type="submit"]')]);
    check('signed in: the page', await shows(page, '#power', /^Standby$/), await text(page, '#power'));
    check('the password is not in the URL', !page.url().includes(password), page.url());
    check('the password is not in the page', !(await page.content()).includes(password));
    const [cookie] = await page.cookies();
    check('cookie: HttpOnly, SameSite=Strict, expiring', cookie && cookie.httpOnly &&
        cookie.sameSite === 'Strict' && cookie.expires > Date.now() / 1000 && !cookie.session, cookie);

    // Changes from elsewhere, or without the session's token, are refused.
    const token = await page.$eval('meta[name="rmq27-token"]', (m) => m.content);
    const host = url.replace('http://', '');
    const post = (headers, body) => request(url + '/control', {
        method: 'POST',
        headers: { 'Content-Type': 'application/x-www-form-urlencoded',
            Cookie: `${cookie.name}=${cookie.value}`, ...headers },
        body,
    });
    const mute = `action=mute-off&token=${token}`;
    check('another origin: 403', (await post({ Origin: 'http://evil.example' }, mute)).status === 403);
    check('no origin nor referer: 403', (await post({}, mute)).status === 403);
    check('without the token: 403', (await post({ Origin: url }, 'action=mute-off')).status === 403);
    check('a wrong token: 403', (await post({ Origin: url }, 'action=mute-off&token=00')).status === 403);
    const good = await post({ Origin: url, Host: host }, mute);
    check('the page\'s own origin and token: answered', good.status === 200, good);

    await Promise.all([page.waitForNavigation(), page.click('form.sign-out button')]);
    check('signed out: the sign-in form', await page.$('#password') !== null);
    const old = await request(url + '/status.json', { headers: { Cookie: `${cookie.name}=${cookie.value}` } });
    check('the old cookie is worth nothing', old.status === 401, old.status);
    check('the password is in no log line', !bridge.stderr.text.includes(password));
    await page.close();
    fs.rmSync(dir, { recursive: true, force: true });
}

async function main() {
    let browser;
    try {
        browser = await puppeteer.launch({
            executablePath: chromium,
            headless: true,
            args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
        });
        // Each part has a projector and a bridge of its own, side by side.
        await Promise.all([withoutPassword(browser), withPassword(browser)]);
    } catch (e) {
        check('run', false, e.stack || e.message);
    } finally {
        if (browser) {
            await browser.close();
        }
    }
    finish();
}

main();
