// The page's worker: runs the certificator's check in WebAssembly on one
// file, reading it in order through one stream, never whole, and posts the
// texts back. The module waits for each read (its reads are asynchronous);
// the bytes come into one buffer that is used again for every read, so the
// memory stays the same whatever the file's size.
'use strict';
importScripts('qor.js');

let file = null;
let lastProgress = 0;
// A reader that runs on through the file from `at`; another starts where
// the module reads elsewhere (its trailer, then its content from the start).
let stream = null;
let spare = new ArrayBuffer(1 << 20);

// The module's reads: up to `length` bytes at `offset`, copied into its
// memory at `pointer`. Returns how many it read, or -1 when the file cannot
// be read (it changed or went away since it was picked).
async function readSlice(offset, pointer, length) {
    try {
        return await readInOrder(offset, pointer, length);
    } catch (e) {
        stream = null;
        return -1;
    }
}

async function readInOrder(offset, pointer, length) {
    if (!stream || stream.at !== offset) {
        if (stream)
            stream.reader.cancel();
        stream = {reader: file.slice(offset).stream().getReader({mode: 'byob'}), at: offset};
    }
    let got = 0;
    while (got < length) {
        const want = Math.min(length - got, spare.byteLength);
        const {value, done} = await stream.reader.read(new Uint8Array(spare, 0, want));
        if (value)
            spare = value.buffer; // handed back, to be filled again
        if (done)
            break;
        module.HEAPU8.set(value, pointer + got);
        got += value.byteLength;
    }
    stream.at += got;
    if (offset - lastProgress > 8 * 1024 * 1024 || offset + got >= file.size) {
        lastProgress = offset;
        postMessage({progress: (offset + got) / file.size});
    }
    return got;
}

const ready = QorModule({readSlice});
let module = null;

const encoder = new TextEncoder();

// The entries of a release folder that are its information file, by the
// core's rule.
function informationFiles(entries) {
    const buffer = module._qor_name_buffer();
    return entries.filter((entry) => {
        const name = encoder.encode(entry.name).subarray(0, 255);
        module.HEAPU8.set(name, buffer);
        module.HEAPU8[buffer + name.length] = 0;
        return module._qor_is_information_file_name() === 1;
    });
}

onmessage = async (event) => {
    module = module || await ready;
    const found = event.data.entries ? informationFiles(event.data.entries) : null;
    // A folder named qor.nfo is found but cannot be read: no file.
    file = found ? (found.length === 1 ? found[0].file : null) : event.data.file;
    const ambiguous = found && found.length > 1 ? found.map((e) => e.name).sort() : null;
    lastProgress = 0;
    stream = null;
    // Refused as ambiguous, no stage runs and the verdict is the failed one.
    const genuine = ambiguous ? (module._qor_refuse(), false)
        : await module.ccall('qor_run', 'number', ['number', 'number'],
                             [file ? 1 : 0, file ? file.size : 0], {async: true}) === 1;
    if (stream)
        stream.reader.cancel();
    const text = (pointer) => module.UTF8ToString(pointer);
    postMessage({
        done: true,
        genuine,
        status: [0, 1, 2, 3, 4].map((stage) => text(module._qor_status_line(stage))),
        verdict: [0, 1, 2].map((which) => text(module._qor_verdict(which))),
        title: text(module._qor_title()),
        keyId: text(module._qor_key_id()),
        ambiguous,
    });
};
