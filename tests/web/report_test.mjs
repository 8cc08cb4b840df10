// The audit's HTML report in a real browser (Debian's Chromium, driven by
// playwright-core): it opens from the file alone, shows its table with a
// name made of markup as text, draws its chart, and loads nothing.
// usage: node report_test.mjs QORTOOL SAMPLE_BODY
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { launchChromium } from './browser.mjs';

const [qortool, sample] = process.argv.slice(2).map((p) => path.resolve(p));
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'qor-report-'));
let failures = 0;
const fail = (what) => { failures++; console.log('FAIL: ' + what); };
const tool = (args, ok = [0, 1]) => {
    try {
        execFileSync(qortool, args, { cwd: work, stdio: 'ignore' });
    } catch (e) {
        if (!ok.includes(e.status))
            throw e;
    }
};

// Two runs over an archive: one release goes, one changes, one is new.
const hostile = '<img src=x onerror=alert(1)>';
for (const name of ['kept', 'changed', hostile])
    fs.mkdirSync(path.join(work, 'arc', name), { recursive: true });
tool(['issue', sample, '-o', path.join(work, 'arc', 'kept', 'qor.nfo')]);
for (const name of ['changed', hostile])
    fs.copyFileSync(path.join(work, 'arc', 'kept', 'qor.nfo'), path.join(work, 'arc', name, 'qor.nfo'));
tool(['verify', '-r', '-q', '--state', 'a.db', 'arc']);
fs.rmSync(path.join(work, 'arc', hostile), { recursive: true });
const changed = path.join(work, 'arc', 'changed', 'qor.nfo');
const bytes = fs.readFileSync(changed);
bytes[100] ^= 1;
fs.writeFileSync(changed, bytes);
tool(['verify', '-r', '-q', '--state', 'a.db', 'arc']);
tool(['audit', '--state', 'a.db', '--html', 'report.html']);

const browser = await launchChromium();
try {
    const page = await browser.newPage();
    const requests = [];
    page.on('request', (r) => requests.push(r.url()));
    const report = 'file://' + path.join(work, 'report.html');
    await page.goto(report);
    const rows = await page.$$eval('#releases tr', (trs) =>
        trs.map((tr) => [...tr.cells].map((cell) => cell.textContent)));
    const names = rows.slice(1).map((cells) => cells[0] + ': ' + cells[1]);
    for (const want of ['arc/changed: verdict changed', `arc/${hostile}: missing`])
        if (!names.includes(want))
            fail(`the table lacks "${want}": ${JSON.stringify(names)}`);
    if (await page.$$eval('img', (images) => images.length) !== 0)
        fail('a name became an element');
    if (await page.$$eval('svg rect', (bars) => bars.length) < 2)
        fail('no bars in the chart');
    const loaded = requests.filter((url) => url !== report);
    if (loaded.length)
        fail('the report loaded ' + loaded.join(', '));
} finally {
    await browser.close();
    fs.rmSync(work, { recursive: true, force: true });
}
if (failures)
    process.exit(1);
console.log('the report opens, shows its table and chart, and loads nothing');
