// The page: finds the information file in what the visitor drops or picks,
// hands it to the worker, and shows the texts the dialog would show. It
// computes nothing itself: the check runs in the worker, in WebAssembly.
'use strict';

const worker = new Worker('worker.js');

// Once its files are kept in this browser, the page works with no network.
if ('serviceWorker' in navigator) {
    navigator.serviceWorker.register('sw.js');
    navigator.serviceWorker.ready.then(() => {
        $('offline').textContent = 'This page now works offline too: its files are kept in this browser.';
    });
}
const $ = (id) => document.getElementById(id);

function show(result) {
    result.status.forEach((text, stage) => { $('stage' + (stage + 1)).textContent = text; });
    $('verdict').textContent = result.verdict[0];
    $('detail').textContent = result.verdict[1];
    $('button').textContent = result.verdict[2];
    $('title').textContent = result.title;
    $('key').textContent = 'Key ' + result.keyId;
    if (result.ambiguous)
        $('note').textContent = 'more than one information file, differing in letter case: ' +
            result.ambiguous.join(', ');
    $('progress').value = 1;
    $('button').disabled = false;
    document.body.dataset.state = 'done';
}

// As the dialog's button ends the dialog, the page's clears it for the
// next release.
$('button').onclick = () => window.location.reload();

worker.onmessage = (event) => {
    if (event.data.progress !== undefined)
        $('progress').value = event.data.progress;
    if (event.data.done)
        show(event.data);
};

// Hands the worker a release folder's entries (each a name, and the file
// for a file, null for a folder), or one file picked alone. Which entry is
// the information file, and whether the folder holds more than one, the
// worker decides by the core's rule, as qortool does.
function check(entries, file) {
    document.body.dataset.state = 'running';
    $('note').textContent = '';
    $('progress').value = 0;
    worker.postMessage(entries ? {entries} : {file});
}

// A picked folder lists its files, those in its subfolders too: the files
// directly in it are its entries, and so are the subfolders that hold
// files (an empty one does not show).
$('folder').onchange = (event) => {
    const entries = new Map();
    for (const f of event.target.files) {
        const parts = f.webkitRelativePath.split('/');
        if (parts.length === 2)
            entries.set(parts[1], {name: parts[1], file: f});
        else if (!entries.has(parts[1]))
            entries.set(parts[1], {name: parts[1], file: null});
    }
    check(Array.from(entries.values()), null);
};
$('file').onchange = (event) => check(null, event.target.files[0] || null);

// A dropped folder is read through its entry; a dropped file is the
// information file itself.
const drop = $('drop');
drop.ondragover = (event) => { event.preventDefault(); drop.classList.add('over'); };
drop.ondragleave = () => drop.classList.remove('over');
drop.ondrop = (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    const entry = event.dataTransfer.items[0] && event.dataTransfer.items[0].webkitGetAsEntry();
    if (!entry || entry.isFile) {
        check(null, event.dataTransfer.files[0] || null);
        return;
    }
    readAll(entry.createReader(), [], (all) => {
        Promise.all(all.map((e) => e.isFile
            ? new Promise((resolve, reject) => e.file(resolve, reject)).then((f) => ({name: e.name, file: f}))
            : Promise.resolve({name: e.name, file: null})))
            .then((entries) => check(entries, null));
    });
};

// A folder's entries come in batches until an empty one.
function readAll(reader, all, done) {
    reader.readEntries((batch) => batch.length ? readAll(reader, all.concat(batch), done) : done(all));
}
