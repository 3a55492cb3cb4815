// The browsers the page is tried in, from Debian's packages, each started
// headless with a profile of its own in `folder`, driven by puppeteer-core.
import fs from "node:fs";
import path from "node:path";
import puppeteer from "puppeteer-core";

// Names in every script reach the browsers (and unzip) only in a UTF-8 locale.
process.env.LANG = "C.UTF-8";

export const browser_names = ["chromium", "firefox"];

export function launch(name, folder) {
    const profile = fs.mkdtempSync(path.join(folder, `${name}-`));
    if (name === "chromium") {
        // As root Chromium runs only without its sandbox; the rest keeps it
        // from reaching for a network that is not there.
        return puppeteer.launch({
            browser: "chrome", executablePath: "/usr/bin/chromium", headless: true, userDataDir: profile,
            args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync", "--disable-quic"],
        });
    }
    return puppeteer.launch({browser: "firefox", executablePath: "/usr/bin/firefox-esr", headless: true,
                             userDataDir: profile});
}

// Waits for the page to have finished `count` batches of conversions.
export function batches_finished(page, count) {
    return page.waitForFunction((count) => window.mapdown.batches_finished() >= count,
                                {timeout: 600000, polling: 20}, count);
}
