// Debian's Chromium, headless, as the browser tests start it: with no
// sandbox (they run as root) and none of the background traffic that this
// machine's closed network would refuse.
import { chromium } from 'playwright-core';

export function launchChromium() {
    return chromium.launch({
        executablePath: '/usr/bin/chromium',
        args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
               '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
}
