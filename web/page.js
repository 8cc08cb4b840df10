// The page: finds the information file in what the visitor drops or picks,
// hands it to the worker, and shows the texts the dialog would show. It
// computes nothing itself: the check runs in the worker, in WebAssembly.
'use strict';

const worker = new Worker('worker.js');
const $ = (id) => document.getElementById(id);
const infoFileName = 'qor.nfo';

function show(result) {
    result.status.forEach((text, stage) => { $('stage' + (stage + 1)).textContent = text; });
    $('verdict').textContent = result.verdict[0];
    $('detail').textContent = result.verdict[1];
    $('button').textContent = result.verdict[2];
    $('title').textContent = result.title;
    $('key').textContent = 'Key ' + result.keyId;
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

// Checks the information file among `files` (a folder's entries directly
// in it, or one file picked alone). Several that differ only in letter case
// are refused, as qortool refuses them: which one a user sees depends on
// the system.
function check(files, folder) {
    const found = folder ? files.filter((f) => f.name.toLowerCase() === infoFileName) : files;
    document.body.dataset.state = 'running';
    $('note').textContent = '';
    $('progress').value = 0;
    if (found.length > 1) {
        $('note').textContent = 'more than one information file, differing in letter case: ' +
            found.map((f) => f.name).sort().join(', ');
        worker.postMessage({file: null, ambiguous: true});
        return;
    }
    worker.postMessage({file: found[0] || null});
}

// Only the files directly in the folder picked, not in its subfolders.
$('folder').onchange = (event) => {
    const files = Array.from(event.target.files).filter(
        (f) => f.webkitRelativePath.split('/').length === 2);
    check(files, true);
};
$('file').onchange = (event) => check(Array.from(event.target.files).slice(0, 1), false);

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
        check(Array.from(event.dataTransfer.files).slice(0, 1), false);
        return;
    }
    readAll(entry.createReader(), [], (entries) => {
        const files = entries.filter((e) => e.isFile);
        Promise.all(files.map((e) => new Promise((resolve, reject) => e.file(resolve, reject))))
            .then((list) => check(list, true));
    });
};

// A folder's entries come in batches until an empty one.
function readAll(reader, all, done) {
    reader.readEntries((batch) => batch.length ? readAll(reader, all.concat(batch), done) : done(all));
}
