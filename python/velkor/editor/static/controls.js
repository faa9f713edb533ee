// The controls, built from the server's table: one per recipe value.

import { valueOf } from './recipe.js';

const decimals = (step) => (String(step).split('.')[1] ?? '').length;

export class Controls {
  // onInput(control, value, {commit}) proposes a value; onReset(control) its default.
  constructor(form, table, { onInput, onReset }) {
    this.form = form;
    this.rows = new Map();
    form.replaceChildren();
    const groups = new Map();
    for (const control of table) {
      if (!groups.has(control.group)) {
        const fieldset = document.createElement('fieldset');
        fieldset.innerHTML = `<legend>${control.group}</legend>`;
        form.append(fieldset);
        groups.set(control.group, fieldset);
      }
      const row = this.#row(control, onInput);
      row.element.addEventListener('dblclick', () => onReset(control));
      groups.get(control.group).append(row.element);
      this.rows.set(control.key, row);
    }
  }

  #row(control, onInput) {
    const element = document.createElement('div');
    element.className = 'control';
    element.dataset.key = control.key;
    const label = document.createElement('label');
    label.textContent = control.label;
    const message = document.createElement('span');
    message.className = 'message';
    const extra = document.createElement('span');
    let inputs;
    if (control.kind === 'choice') {
      const select = document.createElement('select');
      for (const choice of control.choices) select.add(new Option(String(choice), String(choice)));
      const parse = (text) => (typeof control.default === 'number' ? Number(text) : text);
      select.addEventListener('change', () => onInput(control, parse(select.value), { commit: true }));
      inputs = [select];
      element.append(label, select, extra, message);
    } else if (control.kind === 'switch') {
      const box = document.createElement('input');
      box.type = 'checkbox';
      box.addEventListener('change', () => onInput(control, box.checked, { commit: true }));
      inputs = [box];
      element.append(label, box, extra, message);
    } else {
      const range = document.createElement('input');
      const number = document.createElement('input');
      for (const input of [range, number]) {
        Object.assign(input, { min: control.low, max: control.high, step: control.step });
        input.dataset.key = control.key;
      }
      range.type = 'range';
      number.type = 'number';
      const read = (input) => (Number.isInteger(control.step) ? Math.round(Number(input.value)) : Number(input.value));
      range.addEventListener('input', (event) => onInput(control, read(range), { commit: false, event }));
      range.addEventListener('change', (event) => onInput(control, read(range), { commit: true, event }));
      number.addEventListener('change', (event) => onInput(control, read(number), { commit: true, event }));
      inputs = [range, number];
      element.append(label, range, number, message);
    }
    return { control, element, inputs, message, extra };
  }

  // Show a document's values (after undo, a preset, a placement...).
  show(doc, weights) {
    for (const { control, inputs, message } of this.rows.values()) {
      const value = valueOf(doc, control, weights);
      for (const input of inputs) {
        if (input.type === 'checkbox') input.checked = Boolean(value);
        else if (input.type === 'number') input.value = Number(value).toFixed(decimals(control.step));
        else input.value = String(value);
      }
      message.textContent = '';
    }
  }

  refuse(key, text) {
    const row = this.rows.get(key);
    if (row) row.message.textContent = text;
  }

  note(key, text) {
    const row = this.rows.get(key);
    if (row) row.extra.textContent = text;
  }
}
