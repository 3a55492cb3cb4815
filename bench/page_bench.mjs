// Times mapdown.html in headless Chromium and Firefox against a floor page
// beside it, which does only what any converter page must (reads each file,
// copies its bytes into a new Blob, offers it), and against the program:
//   node bench/page_bench.mjs PAGE PROGRAM [ROUNDS]
// (after `npm ci` in tests/page, whose puppeteer-core it uses). Rounds
// alternate between the page and the floor, each picking a batch of 200
// archives of about 1 MiB, opened from disk, timed from the choice to the
// last line as each page measures it; it prints the medians and the median
// of the rounds' ratios of page to floor. Then each converts an archive with
// a 512 MiB and one with a 1 GiB map array, from a loopback server (where
// large outputs go to the private file system), in as many rounds against
// the floor: the same figures, and whether the output's size and first and
// last bytes are the program's in every round.
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
const big_ends = {};
for (const [name, size] of [["512m.rtlx", 512 << 20], ["1g.rtlx", 1 << 30]]) {
    fs.writeFileSync(path.join(big, name), archive(size));
    execFileSync(path.resolve(program), [name], {cwd: big});
    const output = fs.readFileSync(path.join(big, name.slice(0, -1)));
    big_ends[name] = {size: output.length, ends: [output.subarray(0, 65536).toString("base64"),
                                                  output.subarray(-65536).toString("base64")]};
    fs.rmSync(path.join(big, name.slice(0, -1)));
}

// The floor: a worker that reads up to four files at a time and copies each
// into a Blob; the page lists a link for each, its address made on use.
const floor_path = path.join(scratch, "floor.html");
fs.writeFileSync(floor_path, `<!DOCTYPE html><meta charset="utf-8"><title>floor</title>
<input id="pick-files" type="file" multiple><ul id="outputs"></ul>
<script type="text/plain" id="worker">
onmessage = async (event) => {
    const files = event.data;
    let next = 0;
    const reading = async () => {
        for (let number = next++; number < files.length; number = next++) {
            const bytes = await files[number].arrayBuffer();
            postMessage({name: files[number].name, blob: new Blob([bytes])});
        }
    };
    await Promise.all([reading(), reading(), reading(), reading()]);
    postMessage({finished: true});
};
</script>
<script>
const worker = new Worker(URL.createObjectURL(new Blob([document.getElementById("worker").textContent])));
let finished = 0, seconds = 0, started = 0;
const outputs = [];
window.mapdown = {batches_finished: () => finished, last_batch_seconds: () => seconds, outputs: () => outputs};
document.getElementById("pick-files").addEventListener("change", (event) => {
    started = performance.now();
    outputs.length = 0;  // a new batch: the last one's outputs go
    document.getElementById("outputs").textContent = "";
    worker.postMessage([...event.target.files]);
    event.target.value = "";  // so that the same files chosen again are a new batch
});
worker.onmessage = (event) => {
    if (event.data.finished) {
        seconds = (performance.now() - started) / 1000;
        ++finished;
        return;
    }
    outputs.push({file: event.data.blob});
    const link = document.createElement("a");
    link.download = link.textContent = event.data.name;
    link.onclick = () => { link.href = URL.createObjectURL(event.data.blob); };
    const item = document.createElement("li");
    item.append(link);
    document.getElementById("outputs").append(item);
};
</script>`);

function time_program() {
    const started = process.hrtime.bigint();
    execFileSync(path.resolve(program), names, {cwd: batch});
    return Number(process.hrtime.bigint() - started) / 1e9;
}

// What the browsers have downloaded so far (the page saves a batch's lone
// output itself, into the browser's profile): removed before each batch, so
// that the rounds of large arrays do not fill the disk.
function remove_downloads() {
    for (const entry of fs.readdirSync(scratch)) {
        const downloads = path.join(scratch, entry, "downloads");
        if (!fs.existsSync(downloads)) continue;
        for (const file of fs.readdirSync(downloads)) fs.rmSync(path.join(downloads, file), {force: true});
    }
}

// Picks `files` in `page` and waits for its batch: the seconds it took, as
// the page measures it.
async function pick(page, files) {
    remove_downloads();
    await page.bringToFront();  // a tab in the background is throttled
    const before = await page.evaluate(() => window.mapdown.batches_finished());
    await (await page.$("#pick-files")).uploadFile(...files);
    await batches_finished(page, before + 1);
    return page.evaluate(() => window.mapdown.last_batch_seconds());
}

const {server, urls} = await page_addresses(page_path);
const floor_server = (await page_addresses(floor_path));

const batch_files = names.map((file) => path.join(batch, file));
// Rounds of the page and the floor in turn: the median of each one's
// seconds, and of the rounds' ratios of page to floor.
async function alternate(page_round, floor_round) {
    const page_times = [], floor_times = [], ratios = [];
    for (let round = 0; round < rounds; ++round) {
        page_times.push(await page_round());
        floor_times.push(await floor_round());
        ratios.push(page_times.at(-1) / floor_times.at(-1));
    }
    return `the page ${median(page_times).toFixed(2)} s, the floor ${median(floor_times).toFixed(2)} s, ` +
           `median ratio ${median(ratios).toFixed(2)}`;
}

for (const name of browser_names) {
    const browser = await launch(name, scratch);
    const page = await open_page(browser, urls["from disk"]);
    const floor = await open_page(browser, `file://${floor_path}`);
    const program_times = [];
    const batch_times = await alternate(async () => {
        const seconds = await pick(page, batch_files);
        const status = await page.$eval("#status", (element) => element.textContent);
        if (status !== "200 ready to download, 0 skipped.") throw new Error(`${name}: ${status}`);
        await page.click("#clear-outputs");
        return seconds;
    }, async () => {
        const seconds = await pick(floor, batch_files);
        program_times.push(time_program());
        return seconds;
    });
    console.log(`${name}: 200 archives of 1 MiB: ${batch_times}; the program ` +
                `${median(program_times).toFixed(3)} s (medians of ${rounds} rounds)`);
    await page.goto(urls["from a server"]);
    await floor.goto(floor_server.urls["from a server"]);
    for (const [archive_name, want] of Object.entries(big_ends)) {
        let line = "", same = true;
        const times = await alternate(async () => {
            const seconds = await pick(page, [path.join(big, archive_name)]);
            const got = await page.evaluate(async () => {
                const outputs = window.mapdown.outputs();
                if (outputs.length !== 1) return {line: document.getElementById("lines").textContent};
                const file = outputs[0].file;
                return {line: document.getElementById("lines").textContent, size: file.size,
                        ends: [await base64_of(file.slice(0, 65536)), await base64_of(file.slice(file.size - 65536))]};
            });
            await page.click("#clear-outputs");
            line = got.line.trim();
            same &&= got.size === want.size && got.ends[0] === want.ends[0] && got.ends[1] === want.ends[1];
            return seconds;
        }, () => pick(floor, [path.join(big, archive_name)]));
        console.log(`${name}: ${archive_name}: ${times}: ${line} (${same ? "the program's bytes" : "DIFFERENT bytes"})`);
    }
    await browser.close();
}
server.close();
floor_server.server.close();
