// The page's worker: converts the archives it is sent, one after another, in
// order, through the module built from the program's own code (prepended to
// this script as createMapdownModule), and saves each output: into the folder
// it came from, or as a file for the page to offer for download. Each file
// gets one message back with its line, as the program prints it.
"use strict";

// The outcomes the worker tells apart or reports itself, as the module
// numbers them.
const outcome = {};

// Outputs from this size up are written in parts to the origin's private
// file system, where the browser allows it: some keep no larger Blob whole.
const large_output = 256 << 20;
const part_size = 16 << 20;

const reader = new FileReaderSync();
let archives = [];  // the Files of the batch, numbered for the module
let module;

// Each read costs much the same whatever its size in some browsers (over a
// millisecond in Chromium), so the small reads (the header, the directory)
// are served from one block held here: a small archive read whole, or else
// a window from the read's offset on. A large read, the map array of a large
// archive, goes straight into the module's memory. Small archives are read
// whole a few turns ahead, while earlier ones convert and are saved.
const whole_archive = 4 << 20;
const read_window = 64 << 10;
const read_ahead = 4;
const nothing_held = {file: -1, start: 0, bytes: new Uint8Array(0)};
let held = nothing_held;
let reading = new Map();  // archive number -> its bytes to come, or null where unreadable

function start_reading(file) {
    if (file < archives.length && !reading.has(file) && archives[file].size <= whole_archive) {
        reading.set(file, archives[file].arrayBuffer().then((bytes) => new Uint8Array(bytes), () => null));
    }
}

function read_file(file, start, end) {
    const whole = start === 0 && end >= archives[file].size;
    return new Uint8Array(reader.readAsArrayBuffer(whole ? archives[file] : archives[file].slice(start, end)));
}
// The `count` bytes at `offset`, or fewer where the file ends early (it
// shrank since it was chosen); throws where it cannot be read at all.
function bytes_at(file, offset, count) {
    const inside = held.file === file && offset >= held.start;
    if (inside && offset + count <= held.start + held.bytes.length) {
        return held.bytes.subarray(offset - held.start, offset - held.start + count);
    }
    const size = archives[file].size;
    if (size > whole_archive && count >= read_window) {
        return read_file(file, offset, offset + count);
    }
    const start = size <= whole_archive ? 0 : offset;
    held = {file, start, bytes: read_file(file, start, size <= whole_archive ? size : offset + read_window)};
    return held.bytes.subarray(offset - start, offset - start + count);
}

function read_archive(file, offset, bytes, count) {
    try {
        const got = bytes_at(file, offset, count);
        if (got.length !== count) {
            return false;
        }
        module.HEAPU8.set(got, bytes);
        return true;
    } catch (error) {
        return false;  // gone, changed since it was chosen, or unreadable
    }
}

const ready = createMapdownModule({readArchive: read_archive}).then((loaded) => {
    module = loaded;
    for (const name of ["written", "cannot_read", "out_of_memory", "cannot_create", "cannot_write",
                        "wrong_ending"]) {
        outcome[name] = module.ccall("page_outcome", "number", ["string"], [name]);
        if (outcome[name] < 0) {
            throw new Error(`the module knows no outcome named ${name}`);
        }
    }
});

ready.then(tab_downloads, () => {});  // at the page's start: what gone tabs left goes

function call(name, returns, types, values) {
    return module.ccall(name, returns, types, values);
}

// A file that can no longer be read at all (deleted since it was chosen) is
// one the program could not open. Some browsers then throw on any read;
// Chromium says it is empty, and throws only when the whole is read. The
// first read also brings the archive's header (or all of a small one).
async function can_open(number) {
    for (let next = number; next <= number + read_ahead; ++next) start_reading(next);
    if (reading.has(number)) {
        const bytes = await reading.get(number);
        reading.delete(number);
        held = bytes ? {file: number, start: 0, bytes} : nothing_held;
        return bytes !== null;
    }
    try {
        return bytes_at(number, 0, 1).length === 1;
    } catch (error) {
        return false;
    }
}

// The output's bytes, as the program's writer made them (the magic, the
// version, then the map array), as views of the module's memory in parts of
// at most part_size, which stay valid until page_release.
function output_parts() {
    const parts = [];
    let size = 0;
    const count = call("page_output_parts", "number", [], []);
    for (let part = 0; part < count; ++part) {
        const at = call("page_output_part", "number", ["number"], [part]);
        const length = call("page_output_part_size", "number", ["number"], [part]);
        for (let done = 0; done < length; done += part_size) {
            parts.push(module.HEAPU8.subarray(at + done, at + Math.min(length, done + part_size)));
        }
        size += length;
    }
    return {parts, size};
}

// ---- This tab ------------------------------------------------------------

// Each page has a tag of its own, the name of a Web Lock it holds while it
// lives (its worker's lock goes when the tab is closed or dies). The tag
// marks what the tab leaves behind while it writes: its folder for
// downloads, its hidden files in a folder converted in place. Another tab
// removes them only once their lock is free. Without Web Locks there is no
// tag, nothing is left for another tab to remove, and large outputs stay
// Blobs.
const lock_prefix = "mapdown-tab-";
const tab = [...crypto.getRandomValues(new Uint8Array(8))].map((b) => b.toString(16).padStart(2, "0")).join("");
let tab_locked = null;  // resolves to whether this tab holds its lock

function hold_tab_lock() {
    tab_locked ??= new Promise((resolve) => {
        try {
            navigator.locks.request(lock_prefix + tab, () => {
                resolve(true);
                return new Promise(() => {});  // held for the worker's life
            }).catch(() => resolve(false));
        } catch (error) {
            resolve(false);  // no Web Locks here
        }
    });
    return tab_locked;
}

// Whether the tab tagged `tag` is gone: nobody holds its lock.
function tab_is_gone(tag) {
    return tag !== tab && navigator.locks.request(lock_prefix + tag, {ifAvailable: true}, (lock) => lock !== null);
}

// Large outputs for download wait in this tab's folder (its tag) within this
// folder of the origin's private file system, while the page offers them,
// under names that number them; at its start a tab removes the folders of
// tabs that are gone.
const downloads_folder = "mapdown-downloads";
let own_downloads = null;
let downloads_count = 0;

function tab_downloads() {
    own_downloads ??= (async () => {
        if (!navigator.storage || !navigator.storage.getDirectory || !(await hold_tab_lock())) return null;
        const root = await navigator.storage.getDirectory();
        const all = await root.getDirectoryHandle(downloads_folder, {create: true});
        const own = await all.getDirectoryHandle(tab, {create: true});
        const others = [];
        for await (const [name, handle] of all.entries()) {
            if (handle.kind === "directory" && name !== tab) others.push(name);
        }
        for (const name of others) {
            if (await tab_is_gone(name)) await all.removeEntry(name, {recursive: true}).catch(() => {});
        }
        return own;
    })().catch(() => null);  // no private file system here (a page opened from disk)
    return own_downloads;
}

async function remove_downloads(names) {
    const own = await tab_downloads();
    for (const name of own ? names : []) await own.removeEntry(name).catch(() => {});
}

// ---- Saving an output ----------------------------------------------------

// Writes the output beside its archive: the page's counterpart of the
// program's safe write, within what a page may do. An old output is
// replaced by the browser only when the new one is closed, complete. A new
// one is written under a hidden name of the program's form, tagged with the
// tab's lock, moved to its name once complete, and removed should anything
// fail, so that nothing empty or partial is left at the output's name; one
// left by a tab closed meanwhile is removed when its folder is next
// converted, once that tab's lock is free.
async function save_in_folder(folder, name, parts) {
    let existing = null;
    try {
        existing = await folder.getFileHandle(name);
    } catch (error) {
        if (error.name === "TypeMismatchError") {
            return outcome.cannot_create;  // a folder stands there
        }
    }
    const temporary = existing ? null : await free_temporary_name(folder);
    if (!existing && !temporary) return outcome.cannot_create;
    let handle;
    let writable;
    try {
        handle = existing || (await folder.getFileHandle(temporary, {create: true}));
        writable = await handle.createWritable({keepExistingData: false});
    } catch (error) {
        if (handle && !existing) await folder.removeEntry(temporary).catch(() => {});
        return outcome.cannot_create;
    }
    try {
        for (const part of parts) {
            await writable.write(part);
        }
        await writable.close();
        if (!existing) await handle.move(name);
        return outcome.written;
    } catch (error) {
        await writable.abort().catch(() => {});
        if (!existing) await folder.removeEntry(temporary).catch(() => {});
        return outcome.cannot_write;
    }
}

// The first hidden name of a few tries that nothing stands at (a browser
// creates a file by opening it, whatever stood there); null where every one
// is taken.
async function free_temporary_name(folder) {
    const tag = (await hold_tab_lock()) ? tab : "";
    for (let attempt = 0; attempt < 10; ++attempt) {
        const name = call("page_temporary_name", "string", ["string", "number"], [tag, Math.random() * 2 ** 53]);
        const free = await folder.getFileHandle(name).then(() => false, (error) => error.name === "NotFoundError");
        if (free) return name;
    }
    return null;
}

// Removes the hidden files that tabs now gone left in `folder`: names of
// the tagged form alone, never a file of another name.
async function remove_what_gone_tabs_left(folder) {
    if (!(await hold_tab_lock())) return;
    const left = [];
    for await (const name of folder.keys()) {
        const tag = call("page_temporary_tag", "string", ["string"], [name]);
        if (tag !== "" && tag !== tab) left.push([name, tag]);
    }
    for (const [name, tag] of left) {
        if (await tab_is_gone(tag)) await folder.removeEntry(name).catch(() => {});
    }
}

// A File holding the output, for download, with the name it is stored
// under where it is written in parts to this tab's folder (a large one).
async function save_for_download(name, parts, size) {
    const own = size >= large_output ? await tab_downloads() : null;
    if (own) {
        try {
            const stored = `${++downloads_count}-${name}`;
            const handle = await own.getFileHandle(stored, {create: true});
            const access = await handle.createSyncAccessHandle();
            access.truncate(0);
            let at = 0;
            for (const part of parts) {
                at += access.write(part, {at});
            }
            access.flush();
            access.close();
            if (at === size) {
                return {status: outcome.written, file: await handle.getFile(), stored};
            }
            await own.removeEntry(stored).catch(() => {});
            return {status: outcome.cannot_write};
        } catch (error) {
            // Not allowed here after all: as a Blob.
        }
    }
    try {
        return {status: outcome.written, file: new Blob(parts, {type: "application/octet-stream"})};
    } catch (error) {
        return {status: outcome.cannot_write};
    }
}

async function convert(item, number) {
    held = nothing_held;
    if (!(await can_open(number))) {
        return {status: outcome.cannot_read, name: item.name};
    }
    const status = call("page_convert", "number", ["number", "number", "string"],
                        [number, item.file.size, item.name]);
    held = nothing_held;
    if (status !== outcome.written) {
        return {status, name: item.name};
    }
    const output_name = call("page_output_name", "string", [], []);
    const base = output_name.slice(output_name.lastIndexOf("/") + 1);  // within its folder
    const {parts, size} = output_parts();
    const saved = item.folder ? {status: await save_in_folder(item.folder, base, parts)}
                              : await save_for_download(base, parts, size);
    call("page_release", null, [], []);
    return {status: saved.status, name: output_name, file: saved.file, stored: saved.stored};
}

// A batch of archives to convert, or the names of this tab's stored
// outputs to remove (the list cleared, the page closed).
onmessage = async (event) => {
    try {
        await ready;
    } catch (error) {
        postMessage({failed: String(error)});
        return;
    }
    if (event.data.remove) {
        await remove_downloads(event.data.remove);
        return;
    }
    await tab_downloads();
    archives = event.data.items.map((item) => item.file);
    const folders_seen = new Set();
    for (let number = 0; number < archives.length; ++number) {
        const item = event.data.items[number];
        if (item.folder && !folders_seen.has(item.folder)) {
            folders_seen.add(item.folder);
            await remove_what_gone_tabs_left(item.folder).catch(() => {});
        }
        const result = await convert(item, number);
        const line = call("page_line", "string", ["number", "string"], [result.status, result.name]);
        const problem = call("page_is_problem", "number", ["number"], [result.status]) !== 0;
        postMessage({line, problem, out_of_memory: result.status === outcome.out_of_memory,
                     output: result.file ? {name: result.name, file: result.file, stored: result.stored} : null,
                     done: number + 1, of: archives.length});
        if (result.status === outcome.wrong_ending) {
            break;  // as the program does: the batch ends here
        }
    }
    archives = [];
    reading = new Map();
    held = nothing_held;
    postMessage({finished: true});
};
