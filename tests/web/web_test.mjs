// The web page in a real browser (Debian's Chromium, driven by
// playwright-core, which downloads no browser): each case's texts compared
// with qortool verify on the same file, and no request leaving the page's
// origin.
// usage: node web_test.mjs SITE_DIR QORTOOL SAMPLE_BODY
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { launchChromium, rendererResident } from './browser.mjs';

const [site, qortool, sample] = process.argv.slice(2).map((p) => path.resolve(p));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'qor-web-'));
let failures = 0;
const fail = (what) => { failures++; console.log('FAIL: ' + what); };

// The cases, each a release folder of the test's own.
const release = (name, bytes, file = 'qor.nfo') => {
    fs.mkdirSync(path.join(work, name), { recursive: true });
    if (bytes !== null)
        fs.writeFileSync(path.join(work, name, file), bytes);
    return path.join(work, name);
};
execFileSync(qortool, ['issue', sample, '-o', path.join(work, 'good.nfo')], { stdio: 'ignore' });
const good = fs.readFileSync(path.join(work, 'good.nfo'));
const changed = (at, byte) => { const b = Buffer.from(good); b[at] = byte; return b; };
const cases = [
    ['genuine', release('genuine', good)],
    ['one byte changed', release('changed', changed(1000, 0x58))],
    ['5999 bytes', release('short', good.subarray(0, 5999))],
    ['a wrong marker', release('marker', changed(good.length - 61, 0x71))],
    ['a bad symbol', release('symbol', changed(good.length - 10, 0x49))],
    ['no information file', release('empty', 'not a release', 'readme.txt')],
];
const ambiguous = release('ambiguous', good);
fs.writeFileSync(path.join(ambiguous, 'QOR.NFO'), good);
// A subfolder named qor.nfo is an information file that cannot be read:
// alone, the presence stage fails; beside a file QOR.NFO, the folder is
// ambiguous. (A picked folder shows a subfolder only when it holds files.)
const subfolder = release('subfolder/qor.nfo', 'not a release', 'inside.txt');
cases.push(['a subfolder named qor.nfo', path.dirname(subfolder)]);
const mixed = release('mixed/qor.nfo', 'not a release', 'inside.txt');
fs.writeFileSync(path.join(path.dirname(mixed), 'QOR.NFO'), good);
// 1 GiB, issued, so that it is genuine: read in order, never whole, in
// memory that does not grow with it.
const big = release('large', null);
fs.writeFileSync(path.join(work, 'large.body'),
    Buffer.alloc(1024 * 1024 * 1024, 'a large release, read in slices by the page\r\n'));
execFileSync(qortool, ['issue', path.join(work, 'large.body'), '-o', path.join(big, 'qor.nfo')],
    { stdio: 'ignore' });
fs.rmSync(path.join(work, 'large.body'));
cases.push(['1 GiB', big]);

// The page's own origin, served from SITE_DIR.
const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
                '.wasm': 'application/wasm', '.webmanifest': 'application/manifest+json',
                '.svg': 'image/svg+xml' };
const server = http.createServer((request, response) => {
    const file = path.join(site, path.normalize(new URL(request.url, 'http://x').pathname));
    if (!file.startsWith(site) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
        response.writeHead(404).end();
        return;
    }
    response.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

const browser = await launchChromium();
try {
    const page = await browser.newPage();
    const requests = [];
    page.on('request', (r) => requests.push(r.url()));
    page.on('pageerror', (e) => fail('page error: ' + e.message));

    let grown = 0;
    // Runs the page on a folder; returns the texts it shows, and how far
    // the renderers' memory grew over what it was before the check
    // (sampled every half second).
    const run = async (folder) => {
        await page.goto(origin + '/index.html');
        const before = rendererResident();
        let most = before;
        const sampler = setInterval(() => { most = Math.max(most, rendererResident()); }, 500);
        try {
            await page.setInputFiles('#folder', folder);
            await page.waitForSelector('body[data-state=done]', { timeout: 600000 });
        } finally {
            clearInterval(sampler);
        }
        grown = most - before;
        if (!before)
            fail('no renderer process of this browser was found');
        return page.evaluate(() => {
            const text = (id) => document.getElementById(id).textContent;
            return {
                lines: ['stage1', 'stage2', 'stage3', 'stage4', 'stage5', 'verdict', 'detail']
                    .map(text).filter((t) => t),
                button: text('button'), title: text('title'), note: text('note'), key: text('key'),
            };
        });
    };
    // What qortool prints for the same folder: the dialog's lines.
    const expected = (folder) => {
        try {
            return execFileSync(qortool, ['verify', folder], { stdio: ['ignore', 'pipe', 'ignore'] });
        } catch (e) {
            return e.stdout;
        }
    };
    const keyId = execFileSync(qortool, ['keyid']).toString().trim();
    const version = execFileSync(qortool, ['--version']).toString().split('\n')[0].split(' ')[1];
    for (const [what, folder] of cases) {
        const shown = await run(folder);
        const want = expected(folder).toString().split('\n').filter((l) => l);
        if (JSON.stringify(shown.lines) !== JSON.stringify(want))
            fail(`${what}: the page shows ${JSON.stringify(shown.lines)}, qortool ${JSON.stringify(want)}`);
        const button = want[want.length - 1] === 'Thankyou for supporting QOR!' ? 'Sweet!' : 'Damn!';
        if (shown.button !== button)
            fail(`${what}: the button says ${shown.button}, not ${button}`);
        if (shown.title !== 'QOR Release Authentication Certificator ' + version)
            fail(`${what}: the title is ${shown.title}`);
        if (shown.key !== 'Key ' + keyId)
            fail(`${what}: the key shown is ${shown.key}`);
        // The renderers' memory stays within 64 MiB of what it was.
        if (what === '1 GiB') {
            console.log(`1 GiB: the renderers grew by ${(grown / 1048576).toFixed(0)} MiB`);
            if (grown > 64 * 1048576)
                fail(`checking 1 GiB grew the renderers' memory by ${grown / 1048576} MiB`);
        }
        if (what === 'genuine' && process.env.QOR_WEB_SCREENSHOT)
            await page.locator('.dialog').screenshot({ path: process.env.QOR_WEB_SCREENSHOT });
    }
    // Offline once visited: the page says so, and with the network cut a
    // reload still checks a release.
    await page.goto(origin + '/index.html');
    await page.waitForFunction(() => document.getElementById('offline').textContent !== '',
                               null, { timeout: 30000 });
    await page.context().setOffline(true);
    try {
        const offline = await run(cases[0][1]);
        if (offline.button !== 'Sweet!')
            fail(`offline, the genuine release shows ${JSON.stringify(offline)}`);
    } catch (e) {
        fail('offline, the page did not check a release: ' + e.message);
    }
    await page.context().setOffline(false);

    // No accessibility violation before or after a check (axe-core, let in
    // past the page's own policy in a context of its own).
    const axeContext = await browser.newContext({ bypassCSP: true });
    const axePage = await axeContext.newPage();
    const axeSource = fs.readFileSync(new URL('./node_modules/axe-core/axe.min.js', import.meta.url), 'utf8');
    const violations = async () => {
        await axePage.evaluate(axeSource);
        return axePage.evaluate(async () => (await axe.run(document)).violations.map((v) => v.id));
    };
    await axePage.goto(origin + '/index.html');
    const before = await violations();
    await axePage.setInputFiles('#folder', cases[1][1]);
    await axePage.waitForSelector('body[data-state=done]', { timeout: 120000 });
    const after = await violations();
    if (before.length || after.length)
        fail(`accessibility violations: before a check ${before.join(', ')}; after ${after.join(', ')}`);
    await axeContext.close();

    // On a phone 360 pixels wide, after the longest lines: nothing is
    // cut and nothing scrolls sideways.
    await page.setViewportSize({ width: 360, height: 740 });
    await run(cases[0][1]);
    const widths = await page.evaluate(() => [document.documentElement.scrollWidth,
                                              document.documentElement.clientWidth]);
    if (widths[0] > widths[1])
        fail(`at 360 pixels the page is ${widths[0]} pixels wide`);
    if (process.env.QOR_WEB_PHONE_SCREENSHOT)
        await page.screenshot({ path: process.env.QOR_WEB_PHONE_SCREENSHOT, fullPage: true });
    await page.setViewportSize({ width: 1280, height: 720 });

    // Two information files differing in case, or a file and a subfolder:
    // refused, no stage run, as qortool refuses them.
    for (const [what, folder] of [['two files', ambiguous], ['a file and a subfolder', path.dirname(mixed)]]) {
        const shown = await run(folder);
        if (shown.lines.join('|') !== 'This is NOT a certified genuine QOR release.|' +
                'Please report this release to Quenvaris!' || !shown.note.includes('letter case'))
            fail(`${what} named qor.nfo: ${JSON.stringify(shown)}`);
        const refused = expected(folder).toString();
        if (!refused.includes('This is NOT a certified genuine QOR release.') || refused.includes('passed'))
            fail(`${what} named qor.nfo: qortool says ${refused}`);
    }

    const foreign = requests.filter((url) => !url.startsWith(origin + '/'));
    if (foreign.length)
        fail('requests left the page\'s origin: ' + foreign.join(', '));
} finally {
    await browser.close();
    server.close();
    fs.rmSync(work, { recursive: true, force: true });
}
if (failures)
    process.exit(1);
console.log('the page agrees with qortool on every case');
