// The recipe as the page holds it: the TOML document of a recipe file, and
// its history for undo and redo.

export const copy = (doc) => structuredClone(doc);

const table = (doc, name) => (doc[name] ??= {});

// Where a control's value lives: a key of a table ("zones.5"), or of the
// document itself ("amount").
function place(doc, control) {
  const [name, key] = control.key.split('.');
  return key === undefined ? [doc, name] : [table(doc, name), key];
}

export function valueOf(doc, control, weights) {
  const [name, key, index] = control.key.split('.');
  if (control.kind === 'weight') return (doc.conversion?.mixer ?? weights)[Number(index)];
  const value = key === undefined ? doc[name] : doc[name]?.[key];
  return value === undefined ? control.default : value;
}

// The document with one control's value changed, as the command's flags
// change a recipe: a filter or standard replaces a mixer, a mixer weight
// replaces the filter, 16-bit output drops dither.
export function withValue(doc, control, value, weights) {
  const next = copy(doc);
  const [name, key, index] = control.key.split('.');
  if (control.kind === 'weight') {
    const mixer = [...(next.conversion?.mixer ?? weights)];
    mixer[Number(index)] = value;
    Object.assign(table(next, 'conversion'), { mixer, filter: 'NoFilter' });
  } else {
    const [holder, field] = place(next, control);
    holder[field] = value;
    if (name === 'conversion' && (key === 'filter' || key === 'standard')) delete next.conversion.mixer;
    if (control.key === 'output.bit_depth' && value !== 8) next.output.dither = false;
  }
  return edited(next);
}

export function withDefault(doc, control) {
  const next = copy(doc);
  const [name, key] = control.key.split('.');
  if (control.kind === 'weight') delete table(next, 'conversion').mixer;
  else if (name === 'zones') delete table(next, 'zones')[key];
  else {
    const [holder, field] = place(next, control);
    holder[field] = control.default;
  }
  return edited(next);
}

function edited(doc) {
  const name = doc.name ?? 'custom';
  if (name !== 'custom' && !name.endsWith(', edited')) doc.name = `${name}, edited`;
  return doc;
}

export class History {
  constructor(doc) { this.states = [copy(doc)]; this.index = 0; }
  get current() { return this.states[this.index]; }
  push(doc) {
    if (JSON.stringify(doc) === JSON.stringify(this.current)) return;
    this.states.splice(this.index + 1, Infinity, copy(doc));
    this.index = this.states.length - 1;
  }
  undo() { if (this.index > 0) this.index -= 1; return copy(this.current); }
  redo() { if (this.index < this.states.length - 1) this.index += 1; return copy(this.current); }
}
