// Debian's Chromium, headless, as the browser tests start it: with no
// sandbox (they run as root) and none of the background traffic that this
// machine's closed network would refuse.
import { execFileSync } from 'node:child_process';
import { chromium } from 'playwright-core';

// A switch Chromium ignores, by which this test finds its own browser among
// the machine's processes.
const marker = `--qor-test-browser=${process.pid}`;

export function launchChromium() {
    return chromium.launch({
        executablePath: '/usr/bin/chromium',
        args: [marker, '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
}

// The resident bytes of the browser's renderer processes (the page and its
// workers), from ps: performance.memory sees only the JavaScript heap.
// Only this browser's processes count, not those of another test's.
export function rendererResident() {
    const rows = execFileSync('ps', ['-eo', 'pid=,ppid=,rss=,args=']).toString().trim().split('\n')
        .map((line) => line.trim().split(/\s+/))
        .map(([pid, ppid, rss, ...args]) => ({ pid, ppid, rss: Number(rss) * 1024, args: args.join(' ') }));
    const ours = new Set(rows.filter((row) => row.args.split(' ').includes(marker)).map((row) => row.pid));
    for (let grew = true; grew;) {
        grew = false;
        for (const row of rows)
            if (ours.has(row.ppid) && !ours.has(row.pid))
                ours.add(row.pid), grew = true;
    }
    return rows.filter((row) => ours.has(row.pid) && row.args.includes('--type=renderer'))
        .reduce((sum, row) => sum + row.rss, 0);
}
