// Requests to the local server. Every answer that is not an image is JSON;
// a refusal carries the one-line message the command would print.

export class Refused extends Error {
  constructor(message, status, confirm) { super(message); this.status = status; this.confirm = confirm; }
}

async function refusal(response) {
  let body = {};
  try { body = await response.json(); } catch { body = { error: `${response.status} ${response.statusText}` }; }
  return new Refused(body.error, response.status, Boolean(body.confirm));
}

export async function getJSON(path) {
  const response = await fetch(path, { credentials: 'same-origin' });
  if (!response.ok) throw await refusal(response);
  return response.json();
}

export async function postJSON(path, body) {
  const response = await fetch(path, {
    method: 'POST', credentials: 'same-origin',
    headers: { 'content-type': 'application/json' }, body: JSON.stringify(body),
  });
  if (!response.ok) throw await refusal(response);
  return response.json();
}

// An image answer: bytes plus what its headers say; null when the server
// skipped this state because a newer one was waiting.
export async function postForBytes(path, body) {
  const response = await fetch(path, {
    method: 'POST', credentials: 'same-origin',
    headers: { 'content-type': 'application/json' }, body: JSON.stringify(body),
  });
  if (response.status === 204) return null;
  if (!response.ok) throw await refusal(response);
  return { bytes: new Uint8Array(await response.arrayBuffer()), headers: response.headers };
}

export async function getBytes(path) {
  const response = await fetch(path, { credentials: 'same-origin' });
  if (!response.ok) throw await refusal(response);
  return { bytes: new Uint8Array(await response.arrayBuffer()), headers: response.headers };
}

export async function upload(file) {
  const response = await fetch(`/api/upload?name=${encodeURIComponent(file.name)}`, {
    method: 'POST', credentials: 'same-origin', body: file,
  });
  if (!response.ok) throw await refusal(response);
  return response.json();
}
