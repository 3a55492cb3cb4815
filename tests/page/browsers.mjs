// The browsers the page is tried in, from Debian's packages, each started
// headless with a profile of its own in `folder`, driven by puppeteer-core.
// What they download (the page saves a batch's lone output itself) goes
// into that profile too, never into the user's Downloads.
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import puppeteer from "puppeteer-core";

// Names in every script reach the browsers (and unzip) only in a UTF-8 locale.
process.env.LANG = "C.UTF-8";

export const browser_names = ["chromium", "firefox"];

export function launch(name, folder) {
    const profile = fs.mkdtempSync(path.join(folder, `${name}-`));
    const downloads = path.join(profile, "downloads");
    if (name === "chromium") {
        // As root Chromium runs only without its sandbox; the rest keeps it
        // from reaching for a network that is not there.
        return puppeteer.launch({
            browser: "chrome", executablePath: "/usr/bin/chromium", headless: true, userDataDir: profile,
            args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync", "--disable-quic"],
            downloadBehavior: {policy: "allow", downloadPath: downloads},
        });
    }
    return puppeteer.launch({browser: "firefox", executablePath: "/usr/bin/firefox-esr", headless: true,
                             userDataDir: profile, extraPrefsFirefox: {
                                 "browser.download.folderList": 2, "browser.download.dir": downloads,
                                 "browser.download.useDownloadDir": true}});
}

// Waits for the page to have finished `count` batches of conversions.
export function batches_finished(page, count) {
    return page.waitForFunction((count) => window.mapdown.batches_finished() >= count,
                                {timeout: 600000, polling: 20}, count);
}

// A new tab at `url`, with helpers for the scripts that drive it: a Blob's
// bytes as base64 and back, what the page shows of the last batch, and the
// names of the outputs it lists and of those it keeps. The page's own
// errors are collected in `errors`.
// `before` runs in the page before its own scripts, as a fault put in its
// way: a function, or one and its arguments.
export async function open_page(browser, url, errors = [], before = null) {
    const page = await browser.newPage();
    page.on("pageerror", (error) => errors.push(error.message));
    if (before) await page.evaluateOnNewDocument(...[before].flat());
    await page.evaluateOnNewDocument(() => {
        window.base64_of = async (blob) => {
            const bytes = new Uint8Array(await blob.arrayBuffer());
            let text = "";
            for (let at = 0; at < bytes.length; at += 0x8000) {
                text += String.fromCharCode(...bytes.subarray(at, at + 0x8000));
            }
            return btoa(text);
        };
        window.bytes_of = (text) => Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
        window.shown = () => ({lines: document.getElementById("lines").textContent,
                               status: document.getElementById("status").textContent});
        window.listed_and_kept = () => ({
            listed: [...document.querySelectorAll("#outputs a")].map((link) => link.textContent),
            kept: window.mapdown.outputs().map(({shown}) => shown)});
    });
    await page.goto(url);
    return page;
}

// The page from disk, and from a loopback web server, as from any static host.
export async function page_addresses(page_path) {
    const server = http.createServer((request, response) => {
        response.writeHead(200, {"Content-Type": "text/html; charset=utf-8"});
        response.end(fs.readFileSync(page_path));
    });
    await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
    return {server, urls: {"from disk": `file://${path.resolve(page_path)}`,
                           "from a server": `http://127.0.0.1:${server.address().port}/mapdown.html`}};
}
