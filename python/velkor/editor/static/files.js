// Recipes saved and loaded, the export, and opening another photo.
// Replacing a file takes a confirmation, as --overwrite does on the command line.

const $ = (id) => document.getElementById(id);

async function confirmingReplace(send, body) {
  try {
    return await send({ ...body, overwrite: false });
  } catch (error) {
    if (!error.confirm || !window.confirm(`${error.message}. Replace it?`)) throw error;
    return send({ ...body, overwrite: true });
  }
}

function say(id, text, ok) {
  $(id).textContent = text;
  $(id).className = ok ? 'message ok' : 'message';
}

export function wireFiles({ editor, status, upload, postJSON, photoOpened, recipeLoaded }) {
  $('download').addEventListener('click', async () => {
    const { toml } = await postJSON('/api/toml', { recipe: editor.accepted });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([toml], { type: 'application/toml' }));
    link.download = `${(editor.accepted.name ?? 'recipe').replace(/[^A-Za-z0-9._-]+/g, '-')}.toml`;
    link.click();
    setTimeout(() => URL.revokeObjectURL(link.href), 1000);
  });

  $('save').addEventListener('click', async () => {
    try {
      const answer = await confirmingReplace((body) => postJSON('/api/save', body),
        { recipe: editor.accepted, path: $('save-path').value });
      say('save-message', answer.message, true);
    } catch (error) { say('save-message', `velkor: error: ${error.message}`, false); }
  });

  const loadRecipe = async (file) => {
    try {
      const text = await file.text();
      recipeLoaded((await postJSON('/api/parse', { text })).recipe);
      say('save-message', `loaded ${file.name}`, true);
    } catch (error) { say('save-message', `velkor: error: ${error.message}`, false); }
  };
  $('load-recipe').addEventListener('change', (event) => event.target.files[0] && loadRecipe(event.target.files[0]));

  $('export').addEventListener('click', async () => {
    const number = (id) => ($(id).value ? Number($(id).value) : null);
    const body = {
      recipe: editor.accepted, path: $('export-path').value, quality: number('export-quality'),
      compression: $('export-compression').value, long_edge: number('export-long-edge'),
      width: number('export-width'), height: number('export-height'),
      strip_metadata: $('export-strip').checked, keep_gps: $('export-gps').checked,
    };
    const started = performance.now();
    $('export-progress').hidden = false;
    const ticker = setInterval(() => say('export-message', `exporting… ${((performance.now() - started) / 1000).toFixed(1)} s`, true), 200);
    try {
      const answer = await confirmingReplace((request) => postJSON('/api/export', request), body);
      say('export-message', answer.message, true);
    } catch (error) {
      say('export-message', `velkor: error: ${error.message}`, false);
    } finally {
      clearInterval(ticker);
      $('export-progress').hidden = true;
    }
  });

  const opened = async (request) => {
    status('opening…');
    try {
      await request();
      await photoOpened();
      status('');
    } catch (error) { status(`velkor: error: ${error.message}`); }
  };
  $('open').addEventListener('click', () => opened(() => postJSON('/api/open', { path: $('open-path').value })));
  $('open-file').addEventListener('change', (event) => {
    const file = event.target.files[0];
    if (file) opened(() => upload(file));
  });

  const stage = $('stage');
  stage.addEventListener('dragover', (event) => event.preventDefault());
  stage.addEventListener('drop', (event) => {
    event.preventDefault();
    const file = event.dataTransfer.files[0];
    if (!file) return;
    if (/\.toml$/i.test(file.name)) loadRecipe(file);
    else opened(() => upload(file));
  });
}
