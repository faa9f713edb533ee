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

const POST_JSON = (body) => ({
  method: 'POST', headers: { 'content-type': 'application/json' }, body: JSON.stringify(body),
});

// A response read as JSON or as image bytes; a refusal thrown as its message.
async function answer(path, options, read) {
  const response = await fetch(path, { credentials: 'same-origin', ...options });
  if (!response.ok) throw await refusal(response);
  return read(response);
}

const json = (response) => response.json();
const bytes = async (response) => ({ bytes: new Uint8Array(await response.arrayBuffer()), headers: response.headers });

export const getJSON = (path) => answer(path, {}, json);
export const postJSON = (path, body) => answer(path, POST_JSON(body), json);
export const getBytes = (path) => answer(path, {}, bytes);

// An image answer: bytes plus what its headers say; null when the server
// skipped this state because a newer one was waiting (204).
export const postForBytes = (path, body) =>
  answer(path, POST_JSON(body), (response) => (response.status === 204 ? null : bytes(response)));

export const upload = (file) => answer(`/api/upload?name=${encodeURIComponent(file.name)}`,
  { method: 'POST', body: file }, json);
