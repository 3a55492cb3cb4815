// Times mapdown.html in headless Chromium and Firefox against the program:
//   node bench/page_bench.mjs PAGE PROGRAM [ROUNDS]
// (after `npm ci` in tests/page, whose puppeteer-core it uses). Each round
// picks a batch of 200 archives of about 1 MiB in the page opened from disk
// and times it from the choice to the last line (as the page measures it,
// and as seen from here, with the browser's taking of the files), and runs
// the program on the same files; it prints the medians and the median ratio
// (of the time seen from here). Then each
// browser converts one archive with a 1 GiB map array, from disk and from a
// loopback server, once: the time, and whether the output's size and first
// and last bytes are the program's.
import {execFileSync} from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import {batches_finished, browser_names, launch, open_page, page_addresses} from "../tests/page/browsers.mjs";

const [page_path, program, rounds_text] = process.argv.slice(2);
if (!page_path || !program) {
    console.error("usage: node bench/page_bench.mjs PAGE PROGRAM [ROUNDS]");
    process.exit(2);
}
const rounds = Number(rounds_text || 5);
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "mapdown-page-bench-"));
process.on("exit", () => fs.rmSync(scratch, {recursive: true, force: true}));

// An archive: header, map array (its used records pointing inside it), directory.
function archive(size) {
    const bytes = Buffer.alloc(24 + size + 64);
    bytes.write("RXL\0", 0, "latin1");
    bytes.writeUInt32LE(1, 4);
    bytes.writeBigUInt64LE(BigInt(24 + size), 8);
    bytes.writeBigUInt64LE(2n, 16);
    for (let record = 0; record < 100; ++record) {
        bytes.writeUInt32LE(1, 24 + record * 64);
        bytes.writeUInt32LE(24 + 6400 + record, 24 + record * 64 + 16);
    }
    for (let at = 24 + 6400; at < 24 + size; at += 4096) bytes[at] = at & 0xFF;
    const directory = 24 + size;
    bytes.write("INFO", directory, "latin1");
    bytes.writeBigUInt64LE(24n, directory + 16);
    bytes.write("MAPS", directory + 32, "latin1");
    bytes.writeBigUInt64LE(24n, directory + 48);
    bytes.writeBigUInt64LE(BigInt(size), directory + 56);
    return bytes;
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

const batch = path.join(scratch, "batch");
fs.mkdirSync(batch);
const names = [];
for (let index = 0; index < 200; ++index) {
    const name = `map${String(index).padStart(3, "0")}.rtlx`;
    fs.writeFileSync(path.join(batch, name), archive((1 << 20) + index * 64));
    names.push(name);
}
const big = path.join(scratch, "big");
fs.mkdirSync(big);
fs.writeFileSync(path.join(big, "big.rtlx"), archive(1 << 30));
execFileSync(path.resolve(program), ["big.rtlx"], {cwd: big});
const big_output = fs.readFileSync(path.join(big, "big.rtl"));
const big_ends = [big_output.subarray(0, 65536).toString("base64"),
                  big_output.subarray(-65536).toString("base64")];

function time_program() {
    const started = process.hrtime.bigint();
    execFileSync(path.resolve(program), names, {cwd: batch});
    return Number(process.hrtime.bigint() - started) / 1e9;
}

const {server, urls} = await page_addresses(page_path);

for (const name of browser_names) {
    const browser = await launch(name, scratch);
    const page = await open_page(browser, urls["from disk"]);
    const input = await page.$("#pick-files");
    const page_times = [], in_page_times = [], program_times = [], ratios = [];
    for (let round = 0; round < rounds; ++round) {
        const before = await page.evaluate(() => window.mapdown.batches_finished());
        const started = process.hrtime.bigint();
        await input.uploadFile(...names.map((file) => path.join(batch, file)));
        await batches_finished(page, before + 1);
        const seconds = Number(process.hrtime.bigint() - started) / 1e9;
        const status = await page.$eval("#status", (element) => element.textContent);
        if (status !== "200 ready to download, 0 skipped.") throw new Error(`${name}: ${status}`);
        page_times.push(seconds);
        in_page_times.push(await page.evaluate(() => window.mapdown.last_batch_seconds()));
        program_times.push(time_program());
        ratios.push(seconds / program_times.at(-1));
    }
    console.log(`${name}: 200 archives of 1 MiB in ${median(in_page_times).toFixed(2)} s from the ` +
                `choice to the last line (${median(page_times).toFixed(2)} s with the test's own ` +
                `handing over of the files); the program ${median(program_times).toFixed(3)} s; ` +
                `median ratio ${median(ratios).toFixed(1)} (medians of ${rounds} rounds)`);
    for (const [where, url] of Object.entries(urls)) {
        await page.goto(url);
        const before = await page.evaluate(() => window.mapdown.batches_finished());
        const started = process.hrtime.bigint();
        await (await page.$("#pick-files")).uploadFile(path.join(big, "big.rtlx"));
        await batches_finished(page, before + 1);
        const seconds = Number(process.hrtime.bigint() - started) / 1e9;
        const got = await page.evaluate(async () => {
            const outputs = window.mapdown.outputs();
            if (outputs.length !== 1) return {line: document.getElementById("lines").textContent};
            const file = outputs[0].file;
            return {line: document.getElementById("lines").textContent, size: file.size,
                    ends: [await base64_of(file.slice(0, 65536)), await base64_of(file.slice(file.size - 65536))]};
        });
        const same = got.size === big_output.length && got.ends[0] === big_ends[0] &&
                     got.ends[1] === big_ends[1];
        console.log(`${name}, ${where}: a 1 GiB map array in ${seconds.toFixed(1)} s: ` +
                    `${got.line.trim()}${got.size ? ` (${same ? "the program's bytes" : "DIFFERENT bytes"})` : ""}`);
    }
    await browser.close();
}
server.close();
