// The web page's scan against md5sum and qortool's portable scan on the
// same file, interleaved in one run (the machine is shared): the page runs
// in Debian's Chromium, served from build/web. Prints too how far the
// renderers' resident memory grew during the page's checks. Not a test.
// usage: node bench/web_bench.mjs SITE_DIR QORTOOL [MiB]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';

const { launchChromium, rendererResident } = await import(path.resolve('tests/web/browser.mjs'));
const [site, qortool, mib = '256'] = process.argv.slice(2);
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'qor-web-bench-'));
const body = path.join(work, 'body');
// Written 64 MiB at a time: a Buffer holds at most 4 GiB.
const piece = Buffer.alloc(64 << 20, 'The quick brown fox jumps over the lazy dog.\r\n');
const out = fs.openSync(body, 'w');
for (let left = Number(mib) * 1048576; left > 0; left -= piece.length)
    fs.writeSync(out, piece, 0, Math.min(left, piece.length));
fs.closeSync(out);
execFileSync(qortool, ['issue', body, '-o', path.join(work, 'qor.nfo')], { stdio: 'ignore' });
fs.rmSync(body);

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
                '.wasm': 'application/wasm' };
const server = http.createServer((request, response) => {
    const file = path.join(site, new URL(request.url, 'http://x').pathname);
    if (!fs.existsSync(file)) { response.writeHead(404).end(); return; }
    response.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const browser = await launchChromium();
const page = await browser.newPage();
const seconds = (run) => { const t = process.hrtime.bigint(); run(); return Number(process.hrtime.bigint() - t) / 1e9; };
const times = { page: [], portable: [], md5sum: [] };
let grown = 0;
const runs = Number(process.env.RUNS || 5);
for (let i = 0; i < runs; i++) {
    await page.goto(`http://127.0.0.1:${server.address().port}/index.html`);
    // Once the page's files are kept (its service worker ready), what it
    // holds before a check is settled.
    await page.waitForFunction(() => document.getElementById('offline').textContent !== '');
    const before = rendererResident();
    const sampler = setInterval(() => { grown = Math.max(grown, rendererResident() - before); }, 500);
    const start = process.hrtime.bigint();
    await page.setInputFiles('#folder', work);
    await page.waitForSelector('body[data-state=done]', { timeout: 3600000 });
    times.page.push(Number(process.hrtime.bigint() - start) / 1e9);
    clearInterval(sampler);
    times.portable.push(seconds(() => execFileSync(qortool, ['verify', '-q', work],
        { env: { ...process.env, QOR_MIX_VARIANT: 'portable' } })));
    times.md5sum.push(seconds(() => execFileSync('md5sum', [path.join(work, 'qor.nfo')])));
}
await browser.close();
server.close();
fs.rmSync(work, { recursive: true });
const median = (a) => a.sort((x, y) => x - y)[Math.floor(a.length / 2)];
const cpu = fs.readFileSync('/proc/cpuinfo', 'utf8');
console.log(`processor: ${/model name\s*: (.*)/.exec(cpu)?.[1]} (cpu family ${/cpu family\s*: (.*)/.exec(cpu)?.[1]})`);
console.log(`file: ${mib} MiB, median of ${runs} runs; the renderers grew by at most ${(grown / 1048576).toFixed(0)} MiB`);
for (const [what, t] of Object.entries(times))
    console.log(`${what.padEnd(10)} ${median(t).toFixed(3)} s  ${(median(t) / median(times.portable)).toFixed(2)} x portable  ${(median(t) / median(times.md5sum)).toFixed(2)} x md5sum`);
