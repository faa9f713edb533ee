// The print and what lies over it: the colour original, the before/after
// divider, the zone map, the spot meter's mark and the 1:1 loupe.

const ROMAN = ['0', 'I', 'II', 'III', 'IV', 'V', 'VI', 'VII', 'VIII', 'IX', 'X'];
// Zone colours for the map: dark to light through the hues, so that
// neighbouring zones never look alike.
const ZONE_COLOURS = [
  [20, 20, 80], [60, 30, 150], [30, 90, 220], [0, 160, 220], [0, 180, 130], [110, 200, 60],
  [200, 220, 40], [250, 180, 30], [250, 110, 40], [240, 50, 80], [255, 220, 240],
];

export const roman = (zone) => ROMAN[zone];

export function greyToCanvas(canvas, codes, width, height) {
  if (canvas.width !== width || canvas.height !== height) Object.assign(canvas, { width, height });
  const image = new ImageData(width, height);
  const pixels = new Uint32Array(image.data.buffer);
  for (let i = 0; i < codes.length; i += 1) pixels[i] = 0xff000000 | (codes[i] * 0x010101);
  canvas.getContext('2d').putImageData(image, 0, 0);
}

// A print's bytes: its grey codes, then, for a toned print, its RGB codes.
function printToCanvas(canvas, bytes, width, height, toned) {
  const pixels = width * height;
  if (toned) rgbToCanvas(canvas, bytes.subarray(pixels, 4 * pixels), width, height);
  else greyToCanvas(canvas, bytes.subarray(0, pixels), width, height);
  return bytes.subarray(0, pixels);
}

function rgbToCanvas(canvas, rgb, width, height) {
  Object.assign(canvas, { width, height });
  const image = new ImageData(width, height);
  for (let i = 0, j = 0; i < width * height; i += 1, j += 3) {
    image.data[4 * i] = rgb[j];
    image.data[4 * i + 1] = rgb[j + 1];
    image.data[4 * i + 2] = rgb[j + 2];
    image.data[4 * i + 3] = 255;
  }
  canvas.getContext('2d').putImageData(image, 0, 0);
}

export class View {
  constructor(elements) {
    Object.assign(this, elements);
    this.split = 0.5;
    this.codes = null;
    this.onSpot = () => {};
    this.onLoupe = () => {};
    this.stage.addEventListener('mousemove', (event) => this.#hover(event));
    this.stage.addEventListener('mouseleave', () => { this.loupe.hidden = true; });
    this.stage.addEventListener('click', (event) => {
      if (event.target === this.divider || this.divider.contains(event.target)) return;
      const at = this.#pixelAt(event);
      if (at) this.#mark(at);
    });
    this.#dragDivider();
    addEventListener('resize', () => this.fit());
    this.legend.replaceChildren(...ZONE_COLOURS.map(([r, g, b], zone) => {
      const swatch = document.createElement('span');
      swatch.style.background = `rgb(${r},${g},${b})`;
      swatch.textContent = ROMAN[zone];
      return swatch;
    }));
  }

  setPhoto(session, original) {
    this.width = session.width;
    this.height = session.height;
    this.zoneOfCode = Uint8Array.from(session.zone_of_code);
    const pixels = this.width * this.height;
    rgbToCanvas(this.original, original.subarray(0, 3 * pixels), this.width, this.height);
    this.originalZones = original.subarray(3 * pixels);
    Object.assign(this.zones, { width: this.width, height: this.height });
    this.spot.hidden = true;
    this.marked = null;
    this.fit();
  }

  fit() {
    if (!this.width) return;
    const box = this.stage.parentElement.getBoundingClientRect();
    const scale = Math.min((box.width - 16) / this.width, (box.height - 90) / this.height);
    this.stage.style.width = `${Math.floor(this.width * scale)}px`;
    this.stage.style.height = `${Math.floor(this.height * scale)}px`;
    this.#placeDivider();
  }

  paint(bytes, toned = false) {
    this.codes = printToCanvas(this.print, bytes, this.width, this.height, toned);
    if (!this.zones.hidden) this.#paintZones();
  }

  showZoneMap(on) {
    this.zones.hidden = !on;
    this.legend.hidden = !on;
    if (on && this.codes) this.#paintZones();
  }

  showSplit(on) {
    this.divider.hidden = !on;
    this.#placeDivider();
  }

  showOriginal(on) { this.print.style.visibility = on ? 'hidden' : ''; this.zones.style.visibility = on ? 'hidden' : ''; }

  showLoupe(bytes, width, height, toned = false) {
    printToCanvas(this.loupe, bytes, width, height, toned);
  }

  #paintZones() {
    const image = new ImageData(this.width, this.height);
    const pixels = new Uint32Array(image.data.buffer);
    const lookup = ZONE_COLOURS.map(([r, g, b]) => 0xff000000 | (b << 16) | (g << 8) | r);
    for (let i = 0; i < this.codes.length; i += 1) pixels[i] = lookup[this.zoneOfCode[this.codes[i]]];
    this.zones.getContext('2d').putImageData(image, 0, 0);
  }

  #placeDivider() {
    const clip = this.divider.hidden ? '' : `inset(0 0 0 ${this.split * 100}%)`;
    this.print.style.clipPath = clip;
    this.zones.style.clipPath = clip;
    this.divider.style.left = `${this.split * 100}%`;
  }

  #dragDivider() {
    let dragging = false;
    this.divider.addEventListener('pointerdown', (event) => {
      dragging = true;
      this.divider.setPointerCapture(event.pointerId);
      event.stopPropagation();
    });
    this.divider.addEventListener('pointermove', (event) => {
      if (!dragging) return;
      const box = this.stage.getBoundingClientRect();
      this.split = Math.min(1, Math.max(0, (event.clientX - box.left) / box.width));
      this.#placeDivider();
    });
    this.divider.addEventListener('pointerup', () => { dragging = false; });
  }

  #pixelAt(event) {
    if (!this.width) return null;
    const box = this.stage.getBoundingClientRect();
    const column = Math.floor(((event.clientX - box.left) / box.width) * this.width);
    const row = Math.floor(((event.clientY - box.top) / box.height) * this.height);
    if (column < 0 || row < 0 || column >= this.width || row >= this.height) return null;
    return { column, row, x: (event.clientX - box.left) / box.width, y: (event.clientY - box.top) / box.height };
  }

  zonesAt({ row, column }) {
    const index = row * this.width + column;
    return { before: this.originalZones[index], after: this.codes ? this.zoneOfCode[this.codes[index]] : null };
  }

  #hover(event) {
    const at = this.#pixelAt(event);
    if (!at) return;
    const { before, after } = this.zonesAt(at);
    this.meter.textContent = `Zone ${ROMAN[before]} untouched → Zone ${after === null ? '?' : ROMAN[after]} in this print`
      + ` (pixel ${at.column}, ${at.row})`;
    if (!this.loupe.hidden || this.loupeOn) {
      const box = this.stage.getBoundingClientRect();
      this.loupe.hidden = false;
      this.loupe.style.left = `${Math.min(event.clientX - box.left + 16, box.width - 256)}px`;
      this.loupe.style.top = `${Math.max(0, event.clientY - box.top - 128)}px`;
      this.onLoupe(at);
    }
  }

  #mark(at) {
    this.marked = at;
    this.spot.hidden = false;
    this.spot.style.left = `${at.x * 100}%`;
    this.spot.style.top = `${at.y * 100}%`;
    this.onSpot(at);
  }
}
