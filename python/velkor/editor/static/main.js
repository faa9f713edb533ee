// The editor page: a live print of the recipe, newest state first.

import { Refused, getBytes, getJSON, postForBytes, postJSON, upload } from './api.js';
import { drawCurve, drawHistogram } from './charts.js';
import { Controls } from './controls.js';
import { History, copy, withDefault, withValue } from './recipe.js';
import { View, roman } from './view.js';
import { wireFiles } from './files.js';

const $ = (id) => document.getElementById(id);
const page = `${Date.now()}-${Math.random().toString(36).slice(2)}`;

const editor = {
  session: null,
  accepted: null, // the newest document the recipe accepted
  proposed: null, // the newest document sent or waiting
  weights: [0.2126, 0.7152, 0.0722],
  history: null,
  seq: 0,
  painted: 0,
  waiting: null,
  busy: false,
  commitWhenPainted: false,
  latencies: [],
  firstPaint: null,
  loupeOn: false,
};
window.velkorEditor = editor; // for the benchmark and the tests: timings and whether the page is idle
editor.idle = () => !editor.busy && editor.waiting === null && editor.painted === editor.seq && !editor.loupeBusy
  && !editor.tomlPending;

const view = new View({
  stage: $('stage'), original: $('original'), print: $('print'), zones: $('zones'), divider: $('divider'),
  spot: $('spot'), loupe: $('loupe'), meter: $('meter'), legend: $('legend'),
});
let controls;

function status(text) { $('status').textContent = text; }

// Ask for a print of `doc`. While one is being made only the newest state
// waits; older ones are dropped, and a result is painted only if nothing
// newer has been painted since.
function propose(doc, { key = null, commit = false, started = performance.now() } = {}) {
  editor.proposed = doc;
  editor.seq += 1;
  editor.waiting = { doc, key, seq: editor.seq, started };
  if (commit) editor.commitWhenPainted = true;
  if (!editor.busy) sendNext();
}

async function sendNext() {
  const job = editor.waiting;
  editor.waiting = null;
  if (!job) return;
  editor.busy = true;
  try {
    const answer = await postForBytes('/api/render', { recipe: job.doc, seq: job.seq, page });
    if (answer && job.seq > editor.painted) paintAnswer(job, answer);
  } catch (error) {
    if (!(error instanceof Refused)) throw error;
    refuse(job, error.message);
  } finally {
    editor.busy = false;
    if (editor.waiting) sendNext();
  }
}

function paintAnswer(job, { bytes, headers }) {
  const about = JSON.parse(headers.get('x-print'));
  view.paint(bytes, about.toned);
  editor.painted = job.seq;
  editor.accepted = job.doc;
  editor.weights = about.weights;
  if (job.key) controls.refuse(job.key, '');
  const sign = about.factor >= 0 ? '+' : '−';
  controls.note('conversion.filter', `${sign}${Math.abs(about.factor).toFixed(2)} stops`);
  if (editor.commitWhenPainted && !editor.waiting) {
    editor.history.push(job.doc);
    editor.commitWhenPainted = false;
  }
  showToml(job.doc);
  if (editor.loupeOn && view.lastLoupe) requestLoupe(view.lastLoupe);
  requestAnimationFrame(() => {
    const now = performance.now();
    editor.latencies.push({ key: job.key, ms: now - job.started });
    if (editor.firstPaint === null) editor.firstPaint = now;
    // The charts follow the print, after it is on the screen.
    if (editor.painted === job.seq) {
      drawHistogram($('histogram'), view.codes, view.zoneOfCode);
      drawCurve($('curve'), editor.session.curve_zones, about.curve);
    }
  });
}

// The recipe refused the value: the control goes back to the last accepted
// state and says why, in the recipe's own words.
function refuse(job, message) {
  if (job.seq < editor.seq && editor.waiting) return; // a newer state is on its way
  editor.painted = job.seq;
  editor.proposed = editor.accepted;
  controls.show(editor.accepted, editor.weights);
  controls.refuse(job.key, message);
  editor.commitWhenPainted = false;
}

let tomlTimer = null;
function showToml(doc) {
  clearTimeout(tomlTimer);
  editor.tomlPending = true;
  tomlTimer = setTimeout(async () => {
    try { $('toml').textContent = (await postJSON('/api/toml', { recipe: doc })).toml; } catch { /* shown elsewhere */ }
    editor.tomlPending = false;
  }, 120);
}

function applyState(doc, commit = true) {
  controls.show(doc, editor.weights);
  propose(doc, { commit });
}

function undo() { applyState(editor.history.undo(), false); }
function redo() { applyState(editor.history.redo(), false); }

// The loupe: a full-resolution crop at the cursor, newest request first.
async function requestLoupe(at) {
  view.lastLoupe = at;
  if (editor.loupeBusy) { editor.loupeAgain = true; return; }
  editor.loupeBusy = true;
  try {
    const answer = await postForBytes('/api/loupe', { recipe: editor.accepted, x: at.x, y: at.y, size: 256 });
    if (answer) view.showLoupe(answer.bytes, Number(answer.headers.get('x-width')), Number(answer.headers.get('x-height')),
      answer.headers.get('x-toned') === '1');
  } catch (error) { status(error.message); }
  editor.loupeBusy = false;
  if (editor.loupeAgain) { editor.loupeAgain = false; requestLoupe(view.lastLoupe); }
}

async function place(zone) {
  const at = view.marked;
  if (!at) return;
  $('place-message').textContent = '';
  try {
    const answer = await postJSON('/api/place', { recipe: editor.accepted, row: at.row, column: at.column, zone });
    applyState(answer.recipe, true);
    $('place-message').textContent = `exposure ${answer.exposure.toFixed(3)} stops`;
    $('place-message').className = 'message ok';
  } catch (error) {
    $('place-message').textContent = error.message;
    $('place-message').className = 'message';
  }
}

export async function loadPhoto() {
  const edge = Math.round(Math.max(innerWidth, innerHeight) * devicePixelRatio);
  const session = await getJSON(`/api/session?edge=${edge}`);
  const original = await getBytes('/api/original');
  editor.session = session;
  $('photo-name').textContent = `${session.photo} (${session.full_width} × ${session.full_height})`;
  view.setPhoto(session, original.bytes);
  return session;
}

async function start() {
  const session = await loadPhoto();
  editor.accepted = editor.proposed = session.recipe;
  editor.history = new History(session.recipe);
  controls = new Controls($('controls'), session.controls, {
    onInput(control, value, { commit, event }) {
      const started = event?.timeStamp ?? performance.now();
      propose(withValue(editor.proposed, control, value, editor.weights), { key: control.key, commit, started });
    },
    onReset(control) { applyState(withDefault(editor.accepted, control)); },
  });
  controls.show(session.recipe, editor.weights);
  for (const name of Object.keys(session.presets)) $('preset').add(new Option(name, name));
  if (session.recipe.name in session.presets) $('preset').value = session.recipe.name;
  $('preset').addEventListener('change', () => {
    if ($('preset').value) applyState(copy(editor.session.presets[$('preset').value]));
  });
  for (let zone = 0; zone <= 10; zone += 1) $('place-zone').add(new Option(`Zone ${roman(zone)}`, String(zone)));
  $('place-zone').value = '5';
  view.onSpot = () => { $('placement').hidden = false; };
  view.onLoupe = (at) => requestLoupe(at);
  $('place').addEventListener('click', () => place(Number($('place-zone').value)));
  $('place-cancel').addEventListener('click', () => { $('placement').hidden = true; view.spot.hidden = true; view.marked = null; });
  $('undo').addEventListener('click', undo);
  $('redo').addEventListener('click', redo);
  $('split').addEventListener('change', () => view.showSplit($('split').checked));
  $('zone-map').addEventListener('change', () => view.showZoneMap($('zone-map').checked));
  $('loupe-on').addEventListener('change', () => {
    editor.loupeOn = view.loupeOn = $('loupe-on').checked;
    if (!editor.loupeOn) view.loupe.hidden = true;
  });
  wireKeys();
  wireFiles({
    editor, status, upload, postJSON,
    async photoOpened() { await loadPhoto(); propose(editor.accepted); },
    recipeLoaded(doc) { applyState(doc); },
  });
  propose(session.recipe);
}

function wireKeys() {
  const toggle = (id) => { $(id).checked = !$(id).checked; $(id).dispatchEvent(new Event('change')); };
  addEventListener('keydown', (event) => {
    if (event.target.matches('input:not([type=range]):not([type=checkbox]), select, textarea')) return;
    const key = event.key.toLowerCase();
    if ((event.ctrlKey || event.metaKey) && key === 'z') { event.preventDefault(); (event.shiftKey ? redo : undo)(); }
    else if ((event.ctrlKey || event.metaKey) && key === 'y') { event.preventDefault(); redo(); }
    else if (event.ctrlKey || event.metaKey || event.altKey) return;
    else if (key === 'b') view.showOriginal(true);
    else if (key === 's') toggle('split');
    else if (key === 'z') toggle('zone-map');
    else if (key === 'l') toggle('loupe-on');
    else if (view.marked && /^[0-9x]$/.test(key)) place(key === 'x' ? 10 : Number(key));
  });
  addEventListener('keyup', (event) => { if (event.key.toLowerCase() === 'b') view.showOriginal(false); });
}

start().catch((error) => status(error.message));
