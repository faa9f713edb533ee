// The print's histogram, with the zone boundaries marked, and the recipe's tone curve.

export function drawHistogram(canvas, codes, zoneOfCode) {
  const counts = new Uint32Array(256);
  for (let i = 0; i < codes.length; i += 1) counts[codes[i]] += 1;
  const context = canvas.getContext('2d');
  const { width, height } = canvas;
  context.clearRect(0, 0, width, height);
  const tallest = Math.max(1, ...counts.subarray(1, 255));
  context.fillStyle = '#bbb';
  for (let code = 0; code < 256; code += 1) {
    const bar = Math.min(height, (counts[code] / tallest) * (height - 12));
    context.fillRect(code, height - bar, 1, bar);
  }
  context.fillStyle = '#fc3';
  context.font = '9px sans-serif';
  for (let code = 1; code < 256; code += 1) {
    if (zoneOfCode[code] !== zoneOfCode[code - 1]) context.fillRect(code, 0, 1, height);
  }
}

export function drawCurve(svg, zones, printZones) {
  const point = (x, y) => `${x * 10},${100 - y * 10}`;
  const grid = Array.from({ length: 11 }, (_, z) =>
    `<line x1="${z * 10}" y1="0" x2="${z * 10}" y2="100" /><line x1="0" y1="${z * 10}" x2="100" y2="${z * 10}" />`).join('');
  const line = zones.map((zone, i) => point(zone, Math.min(10, Math.max(0, printZones[i])))).join(' ');
  svg.innerHTML = `<g stroke="#333" stroke-width=".3" vector-effect="non-scaling-stroke">${grid}</g>`
    + `<line x1="0" y1="100" x2="100" y2="0" stroke="#666" stroke-dasharray="2 2" vector-effect="non-scaling-stroke" />`
    + `<polyline points="${line}" fill="none" stroke="#fc3" stroke-width="2" vector-effect="non-scaling-stroke" />`;
}
