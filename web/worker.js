// The page's worker: runs the certificator's check in WebAssembly on one
// file, reading it slice by slice, never whole, and posts the texts back.
'use strict';
importScripts('qor.js');

const reader = new FileReaderSync();
let file = null;
let lastProgress = 0;

const ready = QorModule({
    // The module's reads: a slice of the file, copied into its memory.
    readSlice(offset, pointer, length) {
        const bytes = new Uint8Array(reader.readAsArrayBuffer(file.slice(offset, offset + length)));
        module.HEAPU8.set(bytes, pointer);
        if (offset - lastProgress > 8 * 1024 * 1024 || offset + bytes.length >= file.size) {
            lastProgress = offset;
            postMessage({progress: (offset + bytes.length) / file.size});
        }
        return bytes.length;
    },
});
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
    // Refused as ambiguous, no stage runs and the verdict is the failed one.
    const genuine = ambiguous ? (module._qor_refuse(), false)
                              : module._qor_run(file ? 1 : 0, file ? file.size : 0) === 1;
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
