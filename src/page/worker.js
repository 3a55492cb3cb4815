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
// are served from one block held here: a small archive read whole at its
// first read, or else a window from the read's offset on. A large read, the
// map array of a large archive, goes straight into the module's memory.
const whole_archive = 4 << 20;
const read_window = 64 << 10;
const nothing_held = {file: -1, start: 0, bytes: new Uint8Array(0)};
let held = nothing_held;

function read_file(file, start, end) {
    return new Uint8Array(reader.readAsArrayBuffer(archives[file].slice(start, end)));
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

function call(name, returns, types, values) {
    return module.ccall(name, returns, types, values);
}

// A file that can no longer be read at all (deleted since it was chosen) is
// one the program could not open. Some browsers then throw on any read;
// Chromium says it is empty, and throws only when the whole is read. The
// first read also brings the archive's header (or all of a small one).
async function can_open(number) {
    try {
        const file = archives[number];
        if (file.size === 0) {
            await file.arrayBuffer();
            return true;
        }
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

// Writes the output beside its archive. An old output is replaced by the
// browser only when the new one is closed, complete. A new one is written
// under a hidden name of its own, moved to its name once complete, and
// removed should anything fail, so that nothing empty or partial is left
// at the output's name.
async function save_in_folder(folder, name, parts) {
    let existing = null;
    try {
        existing = await folder.getFileHandle(name);
    } catch (error) {
        if (error.name === "TypeMismatchError") {
            return outcome.cannot_create;  // a folder stands there
        }
    }
    const temporary = `.mapdown-${Date.now().toString(16)}-${Math.random().toString(16).slice(2)}.tmp`;
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

// Large outputs for download wait in this folder of the origin's private
// file system while the page offers them: until the next visit, whose
// first batch clears what the last one left.
const scratch_folder = "mapdown-downloads";
let scratch_count = 0;

async function remove_scratch() {
    try {
        await (await navigator.storage.getDirectory()).removeEntry(scratch_folder, {recursive: true});
    } catch (error) {
        // None there, or no private file system at all.
    }
}

// A File holding the output, for download. A large one is written in parts
// to the origin's private file system where there is one.
async function save_for_download(name, parts, size) {
    if (size >= large_output && navigator.storage && navigator.storage.getDirectory) {
        try {
            const root = await navigator.storage.getDirectory();
            const scratch = await root.getDirectoryHandle(scratch_folder, {create: true});
            const handle = await scratch.getFileHandle(`${++scratch_count}-${name}`, {create: true});
            const access = await handle.createSyncAccessHandle();
            access.truncate(0);
            let at = 0;
            for (const part of parts) {
                at += access.write(part, {at});
            }
            access.flush();
            access.close();
            if (at === size) {
                return {status: outcome.written, file: await handle.getFile()};
            }
            return {status: outcome.cannot_write};
        } catch (error) {
            // No private file system here (a page opened from disk): as a Blob.
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
    if (status !== outcome.written) {
        return {status, name: item.name};
    }
    const output_name = call("page_output_name", "string", [], []);
    const base = output_name.slice(output_name.lastIndexOf("/") + 1);  // within its folder
    const {parts, size} = output_parts();
    const saved = item.folder ? {status: await save_in_folder(item.folder, base, parts)}
                              : await save_for_download(base, parts, size);
    call("page_release", null, [], []);
    return {status: saved.status, name: output_name, file: saved.file};
}

onmessage = async (event) => {
    try {
        await ready;
    } catch (error) {
        postMessage({failed: String(error)});
        return;
    }
    if (scratch_count === 0) await remove_scratch();
    archives = event.data.items.map((item) => item.file);
    for (let number = 0; number < archives.length; ++number) {
        const result = await convert(event.data.items[number], number);
        const line = call("page_line", "string", ["number", "string"], [result.status, result.name]);
        const problem = call("page_is_problem", "number", ["number"], [result.status]) !== 0;
        postMessage({line, problem, out_of_memory: result.status === outcome.out_of_memory,
                     output: result.file ? {name: result.name, file: result.file} : null,
                     done: number + 1, of: archives.length});
        if (result.status === outcome.wrong_ending) {
            break;  // as the program does: the batch ends here
        }
    }
    archives = [];
    held = nothing_held;
    postMessage({finished: true});
};
