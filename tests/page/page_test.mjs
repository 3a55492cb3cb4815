// Drives mapdown.html in headless Chromium and Firefox, as users reach it
// (through the file picker and by drop, opened from disk and from a loopback
// web server, and converting a folder in place), and checks each batch
// against the program itself: the same lines, in order, and the same bytes
// in every output.
//
//     node page_test.mjs PAGE PROGRAM [chromium|firefox ...]
import assert from "node:assert/strict";
import {execFileSync} from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import {batches_finished, browser_names, launch, open_page, page_addresses} from "./browsers.mjs";

const [page_path, program, ...chosen] = process.argv.slice(2);
if (!page_path || !program) {
    console.error("usage: node page_test.mjs PAGE PROGRAM [chromium|firefox ...]");
    process.exit(2);
}
const browsers = chosen.length ? chosen : browser_names;
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "mapdown-page-"));
process.on("exit", () => fs.rmSync(scratch, {recursive: true, force: true}));

// Archives, byte by byte: a header, the map array, then the directory.
const u32 = (value) => Buffer.from(new Uint32Array([value]).buffer);
const u64 = (value) => Buffer.from(new BigUint64Array([BigInt(value)]).buffer);
function entry(name, offset, size) {
    return Buffer.concat([Buffer.concat([Buffer.from(name), Buffer.alloc(16)]).subarray(0, 16),
                          u64(offset), u64(size)]);
}
function map_array(position, used, size) {
    const bytes = Buffer.alloc(size);
    for (let index = 0; index < size; ++index) bytes[index] = (index * 31 + size) & 0xFF;
    for (let record = 0; record < 100; ++record) {
        bytes.writeUInt32LE(record < used ? record + 1 : 0, record * 64);
        for (let block = 0; block < 3; ++block) {
            bytes.writeUInt32LE(position + 6400 + record * 12 + block * 4, record * 64 + 16 + block * 4);
        }
    }
    return bytes;
}
function archive(magic, used, size, {version = 1, maps = "MAPS", count} = {}) {
    const position = 24;
    const array = map_array(position, used, size);
    const directory = Buffer.concat([entry("INFO", 24, 4), entry(maps, position, size)]);
    return Buffer.concat([Buffer.from(magic, "latin1"), u32(version), u64(position + size),
                          u64(count ?? 2), array, directory]);
}
const rxl = "RXL\0", rxc = "RXC\0";
// An archive larger than the page reads whole (4 MiB), its directory of one
// entry at `directory` and its map array of 6400 bytes at `array`: the page
// reads such an archive's small parts through windows of 64 KiB, the first
// from byte 0, the next from the directory.
function spread_archive(directory, array) {
    const bytes = Buffer.alloc(5 << 20);
    Buffer.concat([Buffer.from(rxl, "latin1"), u32(1), u64(directory), u64(1)]).copy(bytes, 0);
    entry("MAPS", array, 6400).copy(bytes, directory);
    map_array(array, 1, 6400).copy(bytes, array);
    return bytes;
}
const window_edge = 64 << 10;
const at_window_edges = [-1, 0, 1].flatMap((past) => [
    [`directory${past}.rtlx`, spread_archive(window_edge - 32 + past, 100000)],
    [`array${past}.rtlx`, spread_archive(100000, 100000 + window_edge - 6400 + past)],
]);

// Every outcome the program reports, names in other scripts among them;
// the valid archive with another ending ends the batch, and what follows it
// is never looked at.
const batch = [
    ["e1.rtlx", archive(rxl, 3, 9000)],
    ["deathmatch.rtcx", archive(rxc, 100, 6400)],
    ["m.rtlx", archive(rxc, 2, 7000)],  // the magic, not the name, picks the kind
    ["notes.rtlx", Buffer.from("These are my notes.\nMaps to finish:\n")],
    ["version.rtlx", archive(rxl, 1, 6400, {version: 513})],
    ["empty-directory.rtcx", archive(rxc, 1, 6400, {count: 0})],
    ["no-maps.rtlx", archive(rxl, 1, 6400, {maps: "MAPZ"})],
    ["truncated.rtlx", archive(rxl, 1, 6400).subarray(0, 3000)],
    ["short.rtlx", archive(rxl, 1, 6399)],
    ["карта.rtlx", archive(rxl, 4, 6500)],
    ["地图.rtcx", archive(rxc, 5, 6600)],
    ["café map.rtlx", archive(rxl, 6, 6700)],
    ["e2.RTLX", archive(rxl, 1, 6400)],
    ["after-the-end.rtlx", archive(rxl, 1, 6400)],
];
// A dropped or chosen folder: its archives by path, at any depth, in any
// case; its other files are left alone.
const folder = [
    ["maps/b.rtcx", archive(rxc, 2, 6400)],
    ["maps/a.rtlx", archive(rxl, 1, 6400)],
    ["maps/readme.txt", Buffer.from("not an archive")],
    ["maps/old/c.rtlx", archive(rxl, 7, 8000)],
    ["maps/old/bad.rtlx", Buffer.from("RXL\0")],
    ["maps/z/E3.RTLX", archive(rxl, 1, 6400)],  // found in any case; its ending ends the batch
];

// Writes `files` into a new folder; a name ending in "/" is a folder.
function put(folder_path, files) {
    fs.rmSync(folder_path, {recursive: true, force: true});
    for (const [name, bytes] of files) {
        fs.mkdirSync(path.join(folder_path, path.dirname(name)), {recursive: true});
        if (name.endsWith("/")) fs.mkdirSync(path.join(folder_path, name));
        else fs.writeFileSync(path.join(folder_path, name), bytes);
    }
}

// What the program prints (both streams, in order) and writes for `names`.
function expected(files, names) {
    const folder_path = path.join(scratch, "program");
    put(folder_path, files);
    let lines;
    try {
        lines = execFileSync("sh", ["-c", '"$0" "$@" 2>&1', path.resolve(program), ...names],
                             {cwd: folder_path, encoding: "utf8"});
    } catch (error) {
        lines = error.stdout;  // the ending error's exit status
    }
    const outputs = {};
    for (const name of names) {
        const output = path.join(folder_path, name.slice(0, -1));
        if (name.match(/\.rt[lc]x$/) && fs.existsSync(output) && fs.statSync(output).isFile()) {
            outputs[name.slice(0, -1)] = fs.readFileSync(output).toString("base64");
        }
    }
    return {lines, outputs};
}

const archive_names = (files) => files.map(([name]) => name)
    .filter((name) => /\.rt[lc]x$/i.test(name)).sort();

const finished_so_far = (page) => page.evaluate(() => window.mapdown.batches_finished());

// Waits for the page to have finished `count` batches; gives the last one's
// lines, its count line, its outputs in base64, and the download names; and
// the names of every output listed and of every output kept.
async function results(page, count) {
    await batches_finished(page, count);
    return page.evaluate(async (count) => {
        // The outputs listed stay from batch to batch: this one's are its own.
        const made = window.mapdown.outputs().filter((output) => output.batch === count - 1);
        const outputs = {};
        for (const {name, file} of made) outputs[name] = await base64_of(file);
        const links = made.length === 0 ? []
            : [...document.querySelectorAll("#outputs a")].slice(-made.length).map((link) => link.download);
        return {...shown(), outputs, links, ...listed_and_kept()};
    }, count);
}

function check(got, want, label) {
    assert.equal(got.lines, want.lines, `${label}: the lines`);
    assert.deepEqual(Object.keys(got.outputs).sort(), Object.keys(want.outputs).sort(), `${label}: outputs`);
    for (const name of Object.keys(want.outputs)) {
        assert.ok(got.outputs[name] === want.outputs[name], `${label}: the bytes of ${name}`);
    }
    const problems = want.lines.split("\n").filter((line) => /^(Warning|Error)/.test(line)).length;
    const successes = want.lines.split("\n").filter((line) => /^Successfully/.test(line)).length;
    // Outputs for download are ready, not yet written; in place they are.
    const done = got.links ? "ready to download" : "written";
    assert.equal(got.status, `${successes} ${done}, ${problems} skipped.`, `${label}: the count`);
    if (got.links) {
        assert.deepEqual(got.listed, got.kept, `${label}: every output kept listed, and only those`);
        // A name an earlier batch's output has already is listed with a number.
        assert.deepEqual(got.links.map((link) => link.replace(/ \(\d+\)(?=\.[^.]*$|$)/, "")),
                         Object.keys(want.outputs).map((name) => path.basename(name)),
                         `${label}: the download names`);
    }
}

// Hands the page files by drop, as a browser builds the event from files
// dragged in: here made in the page itself.
async function drop(page, files, on = "#drop") {
    const encoded = files.map(([name, bytes]) => [name, bytes.toString("base64")]);
    await page.evaluate((encoded, on) => {
        const transfer = new DataTransfer();
        for (const [name, text] of encoded) transfer.items.add(new File([bytes_of(text)], name));
        document.querySelector(on).dispatchEvent(
            new DragEvent("drop", {dataTransfer: transfer, bubbles: true, cancelable: true}));
    }, encoded, on);
}

// Converts a folder in place, as "Convert a folder in place" does once a
// folder is chosen: the origin's private file system stands in for it,
// since no test can answer the browser's own folder picker.
// With `fresh` false the files are added to what the folder holds.
async function convert_in_place(page, files, fresh = true) {
    const encoded = files.map(([name, bytes]) => [name, bytes.toString("base64")]);
    return page.evaluate(async (encoded, fresh) => {
        const root = await navigator.storage.getDirectory();
        if (fresh) await root.removeEntry("maps", {recursive: true}).catch(() => {});
        for (const [name, text] of encoded) {
            let folder = root;
            const parts = name.split("/");
            for (const part of parts.slice(0, -1)) folder = await folder.getDirectoryHandle(part, {create: true});
            if (name.endsWith("/")) continue;
            const writable = await (await folder.getFileHandle(parts.at(-1), {create: true})).createWritable();
            await writable.write(bytes_of(text));
            await writable.close();
        }
        await window.mapdown.convert_folder(await root.getDirectoryHandle("maps"));
        const outputs = {}, hidden = [];
        async function collect(folder, prefix) {
            for await (const handle of folder.values()) {
                const name = `${prefix}/${handle.name}`;
                if (handle.name.startsWith(".")) hidden.push(name);
                if (handle.kind === "directory") {
                    await collect(handle, name);
                } else if (/\.rt[lc]$/.test(name)) {
                    outputs[name] = await base64_of(await handle.getFile());
                }
            }
        }
        await collect(await root.getDirectoryHandle("maps"), "maps");
        return {...shown(), outputs, links: null, hidden: hidden.sort()};
    }, encoded, fresh);
}

const {server, urls} = await page_addresses(page_path);

const picked = path.join(scratch, "picked");
const batch_names = batch.map(([name]) => name);
const want_batch = expected(batch, batch_names);
const want_folder = expected(folder, archive_names(folder));
// A file that is gone by the time its turn comes: the batch before it is
// still being converted when it is removed.
const slow = [["slow.rtlx", archive(rxl, 1, 128 << 20)]];
const gone = [["gone.rtlx", archive(rxl, 1, 6400)], ["kept.rtlx", archive(rxl, 2, 6400)]];
const kept = expected(gone.slice(1), ["kept.rtlx"]);
const want_gone = {lines: 'Warning: Couldn\'t open "gone.rtlx" for reading!\n' + kept.lines,
                   outputs: kept.outputs};

// A map array larger than a page's memory can hold, in a sparse file that
// takes no room: the page says so as the program would, without reading it.
const huge_size = 2.5 * 2 ** 30;
function put_huge(file) {
    fs.mkdirSync(path.dirname(file), {recursive: true});
    fs.writeFileSync(file, Buffer.concat([Buffer.from(rxl, "latin1"), u32(1), u64(24), u64(1),
                                          entry("MAPS", 4096, huge_size)]));
    fs.truncateSync(file, 4096 + huge_size);
}
// An output too large for some browsers to keep as one Blob, checked by its
// size and digest.
const large = [["large.rtlx", archive(rxl, 100, 300 << 20)]];
const want_large = expected(large, ["large.rtlx"]);
const large_digest = crypto.createHash("sha256")
    .update(Buffer.from(want_large.outputs["large.rtl"], "base64")).digest("hex");
delete want_large.outputs["large.rtl"];

// The SHA-256 of each output the program writes for `files`.
function program_digests(files) {
    const folder_path = path.join(scratch, "program");
    put(folder_path, files);
    execFileSync(path.resolve(program), files.map(([name]) => name), {cwd: folder_path});
    return files.map(([name]) => crypto.createHash("sha256")
        .update(fs.readFileSync(path.join(folder_path, name.slice(0, -1)))).digest("hex"));
}

// A script run in the page's worker before the worker's own: a fault put in
// the way of its writes.
const in_worker = [(fault) => {
    const RealBlob = Blob;
    window.Blob = function (parts, options) {
        return new RealBlob(options && options.type === "text/javascript" ? [fault, ...parts] : parts, options);
    };
    window.Blob.prototype = RealBlob.prototype;
}];
const fail_second_writes = `{const write = FileSystemWritableFileStream.prototype.write; let calls = 0;
    FileSystemWritableFileStream.prototype.write = function (data) {
        return ++calls % 3 === 2 ? Promise.reject(new DOMException("full", "QuotaExceededError"))
                                 : write.call(this, data); };}\n`;
const hang_writes = "FileSystemWritableFileStream.prototype.write = () => new Promise(() => {});\n";
const held_locks = (page) => page.evaluate(async () => (await navigator.locks.query()).held.map(({name}) => name).sort());

// MAPDOWN_PAGE_STEPS, a pattern, runs only the steps whose labels it finds.
const only = new RegExp(process.env.MAPDOWN_PAGE_STEPS || "");
let failures = 0;
async function step(label, body) {
    if (!only.test(label)) return;
    try {
        await body();
        console.log(`ok      ${label}`);
    } catch (error) {
        ++failures;
        console.log(`FAILED  ${label}\n${error.stack || error}`);
    }
}

for (const name of browsers) {
    const browser = await launch(name, scratch);
    for (const [where, url] of Object.entries(urls)) {
        const errors = [];
        const page = await open_page(browser, url, errors);
        const input = await page.$("#pick-files");

        // Each step starts a batch, and waits for it to end.
        const convert = async (start) => {
            const before = await finished_so_far(page);
            await start();
            return results(page, before + 1);
        };
        await step(`${name}, ${where}: chosen files`, async () => {
            put(picked, batch);
            check(await convert(() => input.uploadFile(...batch_names.map((file) => path.join(picked, file)))),
                  want_batch, "chosen");
        });
        await step(`${name}, ${where}: dropped files`, async () => {
            check(await convert(() => drop(page, batch)), want_batch, "dropped");
        });
        await step(`${name}, ${where}: dropped on the heading, beside the zone`, async () => {
            check(await convert(() => drop(page, batch, "h1")), want_batch, "on the heading");
        });
        await step(`${name}, ${where}: later batches keep the earlier outputs, and an empty one says so`, async () => {
            const listed = await page.evaluate(() => window.mapdown.outputs().map(({shown}) => shown));
            const each = Object.keys(want_batch.outputs).length;
            assert.equal(listed.length, 3 * each, "the outputs of all three batches");
            assert.equal(new Set(listed.map((shown) => shown.toLowerCase())).size, listed.length,
                         "each under a name of its own, whatever its letter case");
            const lines = (await page.evaluate(() => shown())).lines;
            await convert(() => drop(page, []));
            const after = await page.evaluate(() => ({...shown(), count: window.mapdown.outputs().length}));
            assert.equal(after.status, "No RTLX or RTCX archives in what was dropped.");
            assert.deepEqual([after.lines, after.count], [lines, listed.length]);
        });
        await step(`${name}, ${where}: on a phone, every line reads whole`, async () => {
            const desktop = page.viewport();
            await page.setViewport({width: 390, height: 844});
            await convert(() => drop(page, batch));
            const layout = await page.evaluate(() => {
                const box = document.getElementById("lines");
                const width = box.clientWidth;
                const broken = [];
                const walker = document.createTreeWalker(box, NodeFilter.SHOW_TEXT);
                for (let node = walker.nextNode(); node; node = walker.nextNode()) {
                    for (const word of node.textContent.matchAll(/\S+/g)) {
                        const range = document.createRange();
                        range.setStart(node, word.index);
                        range.setEnd(node, word.index + word[0].length);
                        const rects = [...range.getClientRects()].filter((rect) => rect.width > 0);
                        if (range.getBoundingClientRect().width < width && rects.length > 1) broken.push(word[0]);
                    }
                }
                return {hidden_above: box.scrollTop, broken};
            });
            await page.setViewport(desktop);
            assert.deepEqual(layout, {hidden_above: 0, broken: []});
        });
        if (name === "chromium") {
            // Only Chromium lets a test hand over a real folder, chosen or dropped.
            put(path.join(picked, "folder"), folder);
            const top = path.join(picked, "folder", "maps");
            await step(`${name}, ${where}: a chosen folder`, async () => {
                const chooser = await page.$("#pick-folder");
                check(await convert(() => chooser.uploadFile(top)), want_folder, "chosen folder");
            });
            await step(`${name}, ${where}: a dropped folder`, async () => {
                const client = await page.createCDPSession();
                const box = await (await page.$("#drop")).boundingBox();
                const data = {items: [], files: [top], dragOperationsMask: 1};
                check(await convert(async () => {
                    for (const type of ["dragEnter", "dragOver", "drop"]) {
                        await client.send("Input.dispatchDragEvent",
                                          {type, x: box.x + 10, y: box.y + 10, data});
                    }
                }), want_folder, "dropped folder");
            });
        }
        await step(`${name}, ${where}: names with control characters, isolated for direction`, async () => {
            const reversing = "gpj.\u202Eevil.rtlx";  // a right-to-left override inside
            const quoted = 'say "hi".\u202Eevil.rtlx';  // and after a double quote
            const named = [[reversing, Buffer.from("not an archive")], [quoted, Buffer.from("not an archive")],
                           ["esc\x1b[2J\nline\x7f.rtlx", archive(rxl, 1, 6400)]];
            check(await convert(() => drop(page, named)), expected(named, named.map(([file]) => file)), "named");
            const isolated = await page.evaluate(() => [...document.querySelectorAll("#lines bdi")].map((name) => name.textContent));
            assert.deepEqual(isolated.slice(0, 2), [reversing, quoted]);
        });
        await step(`${name}, ${where}: archives read in windows, at their edges`, async () => {
            check(await convert(() => drop(page, at_window_edges)),
                  expected(at_window_edges, at_window_edges.map(([file]) => file)), "window edges");
        });
        await step(`${name}, ${where}: a file gone before its turn`, async () => {
            put(path.join(picked, "slow"), slow);
            put(path.join(picked, "gone"), gone);
            const before = await finished_so_far(page);
            await input.uploadFile(path.join(picked, "slow", "slow.rtlx"));
            await input.uploadFile(...gone.map(([file]) => path.join(picked, "gone", file)));
            fs.rmSync(path.join(picked, "gone", "gone.rtlx"));
            assert.equal(await finished_so_far(page), before, "the slow batch was still running");
            check(await results(page, before + 2), want_gone, "gone");
        });
        await step(`${name}, ${where}: the list cleared mid-batch lists what came after`, async () => {
            // Cleared soon after the first line is shown, while the next are
            // still to be, with the slow archive yet to come (and one after
            // it, so that no lone output is downloaded).
            const files = [...batch.slice(0, -2), ...slow, ["after-slow.rtlx", archive(rxl, 1, 6400)]];
            put(path.join(picked, "cleared"), files);
            const before = await finished_so_far(page);
            await page.evaluate(() => {
                const lines = document.getElementById("lines");
                new MutationObserver((changes, observer) => {
                    if (lines.childNodes.length === 0) return;
                    observer.disconnect();
                    setTimeout(() => document.getElementById("clear-outputs").click(), 100);
                }).observe(lines, {childList: true});
            });
            await input.uploadFile(...files.map(([file]) => path.join(picked, "cleared", file)));
            await batches_finished(page, before + 1);
            const {listed, kept} = await page.evaluate(() => listed_and_kept());
            assert.deepEqual(listed, kept);
            assert.deepEqual(kept.slice(-2), ["slow.rtl", "after-slow.rtl"]);
            fs.rmSync(path.join(picked, "cleared"), {recursive: true});
        });
        await step(`${name}, ${where}: a large output, and a map array too large`, async () => {
            put(path.join(picked, "large"), large);
            put_huge(path.join(picked, "large", "huge.rtlx"));
            const before = await finished_so_far(page);
            await input.uploadFile(...["large.rtlx", "huge.rtlx"].map((file) => path.join(picked, "large", file)));
            await batches_finished(page, before + 1);
            const got = await page.evaluate(async () => {
                const {name, file} = window.mapdown.outputs().at(-1);
                const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", await file.arrayBuffer()));
                return {name, size: file.size, digest: [...digest].map((b) => b.toString(16).padStart(2, "0")).join(""),
                        lines: shown().lines};
            });
            assert.equal(got.lines, want_large.lines + 'Warning: Not enough memory to convert "huge.rtlx"!\n' +
                         "This page holds map arrays of up to 2 GiB; the mapdown program converts larger ones.\n");
            assert.deepEqual([got.name, got.size, got.digest], ["large.rtl", 8 + (300 << 20), large_digest]);
            fs.rmSync(path.join(picked, "large"), {recursive: true});
        });
        await step(`${name}, ${where}: one download of every output`, async () => {
            // With a second output of one name, and a name whose backslashes
            // would take it out of the folder it is unpacked into, before the
            // batch's end.
            await page.click("#clear-outputs");  // the earlier batches' outputs, the large one among them
            const extra = [["e1.rtlx", archive(rxl, 1, 6400)], ["a\\..\\..\\b.rtlx", archive(rxl, 2, 6400)],
                           ["C:/win.rtlx", archive(rxl, 1, 6400)], ["C:drive.rtlx", archive(rxl, 1, 6400)],
                           ["D:\\d\\e.rtlx", archive(rxl, 1, 6400)],
                           ["\\\\server\\share\\s.rtlx", archive(rxl, 1, 6400)], ["E1.rtlx", archive(rxl, 1, 6400)]];
            await convert(() => drop(page, [...batch.slice(0, -2), ...extra, ...batch.slice(-2)]));
            const zip = await page.evaluate(async () => base64_of(await window.mapdown.zip()));
            const zip_path = path.join(scratch, "outputs.zip");
            fs.writeFileSync(zip_path, Buffer.from(zip, "base64"));
            execFileSync("unzip", ["-tq", zip_path]);
            const entries = execFileSync("python3", ["-c", "import sys, zipfile\n" +
                "print('\\n'.join(zipfile.ZipFile(sys.argv[1]).namelist()))", zip_path], {encoding: "utf8"});
            const names = entries.trim().split("\n");
            for (const entry of ["e1.rtl", "e1 (2).rtl", "a/b.rtl", "win.rtl", "drive.rtl", "d/e.rtl", "s.rtl",
                                 "E1 (3).rtl"]) {
                assert.ok(names.includes(entry), `${entry} in ${names.join(", ")}`);
            }
            assert.equal(new Set(names.map((entry) => entry.toLowerCase())).size, names.length, "no name twice");
            assert.ok(names.every((entry) => !/\\|:|^\/|(^|\/)\.\.(\/|$)/.test(entry)), names.join(", "));
            const unpacked_to = path.join(scratch, "unzipped");
            fs.rmSync(unpacked_to, {recursive: true, force: true});
            execFileSync("unzip", ["-q", zip_path, "-d", unpacked_to]);
            assert.ok(fs.statSync(path.join(unpacked_to, "a", "b.rtl")).mode & 0o400, "readable by its owner");
            for (const [output, bytes] of Object.entries(want_batch.outputs)) {
                const unpacked = fs.readFileSync(path.join(unpacked_to, output));
                assert.ok(unpacked.equals(Buffer.from(bytes, "base64")), `zip: ${output}`);
            }
        });
        if (where === "from a server") {
            await step(`${name}, ${where}: a folder converted in place`, async () => {
                // An old output is replaced, a folder at an output's name is
                // left alone; the folder's other files stay, and nothing is
                // left hidden beside the outputs.
                const with_old = [...folder, ["maps/a.rtl", Buffer.from("an old output")],
                                  ["maps/taken.rtlx", archive(rxl, 1, 6400)], ["maps/taken.rtl/", Buffer.alloc(0)]];
                const got = await convert_in_place(page, with_old);
                check(got, expected(with_old, archive_names(with_old)), "in place");
                assert.deepEqual(got.hidden, []);
            });
        }
        if (where === "from a server") {
            await step(`${name}, ${where}: writes that fail half-way in place leave nothing`, async () => {
                // The worker's writes fail at the second part of each output.
                const failing = await open_page(browser, url, errors, [...in_worker, fail_second_writes]);
                const files = [["maps/a.rtlx", archive(rxl, 1, 6400)], ["maps/a.rtl", Buffer.from("an old output")],
                               ["maps/n.rtlx", archive(rxl, 2, 6400)]];
                const got = await convert_in_place(failing, files);
                await failing.close();
                assert.equal(got.lines, 'Warning: Couldn\'t write "maps/a.rtl" to disk!\n' +
                                        'Warning: Couldn\'t write "maps/n.rtl" to disk!\n');
                assert.deepEqual([got.outputs, got.hidden], [{"maps/a.rtl": Buffer.from("an old output").toString("base64")}, []]);
            });
        }
        if (where === "from a server") {
            await step(`${name}, ${where}: a tab closed mid-write in place leaves nothing of the page's own`, async () => {
                // Hidden files of other names stay, and those of a tab that
                // still lives (here a lock this test holds in its name).
                const closing = await open_page(browser, url, errors, [...in_worker, hang_writes]);
                const files = [["maps/a.rtlx", archive(rxl, 1, 6400)]];
                convert_in_place(closing, files).catch(() => {});  // never ends: its tab is closed
                // Its hidden file, named with the tag of the lock it holds. The
                // folder looked at may be the last step's, which that tab
                // removes meanwhile: then it is looked at again.
                const left = await (await page.waitForFunction(async () => {
                    try {
                        const maps = await (await navigator.storage.getDirectory()).getDirectoryHandle("maps");
                        for await (const name of maps.keys()) if (name.startsWith(".mapdown-")) return name;
                    } catch (error) {
                        // not there yet, or removed while listed
                    }
                    return false;
                }, {polling: 50, timeout: 60000})).jsonValue();
                const lock = `mapdown-tab-${left.split("-")[1]}`;
                assert.ok((await held_locks(page)).includes(lock), `${left} names a lock held`);
                await closing.close();
                await page.waitForFunction(async (lock) =>
                    !(await navigator.locks.query()).held.some(({name}) => name === lock), {polling: 50, timeout: 60000}, lock);
                await page.evaluate(() => new Promise((granted) => navigator.locks.request(
                    "mapdown-tab-feedfacefeedface", () => granted() || new Promise(() => {}))));
                const kept = [".mapdown-0123456789abcdef.tmp", ".mapdown-feedfacefeedface-0123456789abcdef.tmp", ".notes"];
                const planted = [...kept, ".mapdown-deadbeefdeadbeef-0123456789abcdef.tmp"]
                    .map((file) => [`maps/${file}`, Buffer.from("hidden")]);
                const got = await convert_in_place(page, planted, false);
                check(got, expected(files, ["maps/a.rtlx"]), "converted again");
                assert.deepEqual(got.hidden, kept.map((file) => `maps/${file}`));
            });
            await step(`${name}, ${where}: two tabs, each with a large output, keep their own`, async () => {
                const first = [["big.rtlx", archive(rxl, 3, 256 << 20)], ["small.rtlx", archive(rxl, 2, 6400)]];
                const second = [["big.rtlx", archive(rxl, 5, 256 << 20)], ["small.rtlx", archive(rxl, 4, 6400)]];
                const want = program_digests(first);
                program_digests(second);  // the same names, other bytes
                const tab = async (on, files, folder) => {
                    put(path.join(picked, folder), files);
                    const before = await finished_so_far(on);
                    await (await on.$("#pick-files")).uploadFile(...files.map(([file]) => path.join(picked, folder, file)));
                    await batches_finished(on, before + 1);
                };
                await page.click("#clear-outputs");
                await tab(page, first, "first");
                const other = await open_page(browser, url, errors);
                await tab(other, second, "second");
                await other.click("#clear-outputs");  // its own outputs go, and only those
                const digests = () => page.evaluate(async () => {
                    const hex = async (blob) => [...new Uint8Array(await crypto.subtle.digest("SHA-256", await blob.arrayBuffer()))]
                        .map((b) => b.toString(16).padStart(2, "0")).join("");
                    const links = [...document.querySelectorAll("#outputs a")];
                    for (const link of links) link.dispatchEvent(new PointerEvent("pointerdown"));
                    return {files: await Promise.all(window.mapdown.outputs().map(({file}) => hex(file))),
                            downloads: await Promise.all(links.map(async (link) => hex(await (await fetch(link.href)).blob())))};
                });
                assert.deepEqual(await digests(), {files: want, downloads: want});
                await other.close();
                assert.deepEqual(await digests(), {files: want, downloads: want}, "once the other tab is gone");
                fs.rmSync(path.join(picked, "first"), {recursive: true});
                fs.rmSync(path.join(picked, "second"), {recursive: true});
            });
        }
        await step(`${name}, ${where}: no error in the page`, async () => {
            assert.deepEqual(errors, []);
        });
        await page.close();
    }
    await browser.close();
}
server.close();
console.log(failures ? `${failures} failed` : "all passed");
process.exit(failures ? 1 : 0);
