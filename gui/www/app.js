// The launchpad page: chooses the options, starts the console program through
// the server and follows the run from the state the server reads from the
// program's files. Text from the server is always set as text, never as HTML.
'use strict';

const state = { systems: [], chosen: new Set(), view: 'build', logEnd: 0, polling: null, lastAction: '' };

const $ = (id) => document.getElementById(id);

function show(el, visible) { el.classList.toggle('hidden', !visible); }

function notice(text) {
  $('notice').textContent = text || '';
  show($('notice'), !!text);
}

async function call(method, path, body) {
  const options = { method, headers: {}, credentials: 'same-origin' };
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  const data = await response.json().catch(() => ({}));
  if (!response.ok) throw new Error(data.error || ('The server answered ' + response.status));
  return data;
}

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function toolCell(row, supported) { cell(row, supported ? 'yes' : 'no', supported ? 'yes' : 'no'); }

function renderSystems() {
  const filter = $('mt-search').value.trim().toLowerCase();
  const body = $('systems').tBodies[0];
  body.replaceChildren();
  for (const s of state.systems) {
    if (filter && !s.machineType.includes(filter) && !s.name.toLowerCase().includes(filter)) continue;
    const row = body.insertRow();
    row.classList.toggle('selected', state.chosen.has(s.machineType));
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.id = 'mt-' + s.machineType;
    box.checked = state.chosen.has(s.machineType);
    box.addEventListener('change', () => {
      if (box.checked) state.chosen.add(s.machineType); else state.chosen.delete(s.machineType);
      row.classList.toggle('selected', box.checked);
      $('mt-chosen').textContent = [...state.chosen].sort().join(', ') || 'none';
    });
    row.insertCell().appendChild(box);
    cell(row, s.machineType);
    cell(row, s.name);
    toolCell(row, s.novpi);
    toolCell(row, s.kyt);
    toolCell(row, s.dunvar);
  }
}

async function loadSystems() {
  try {
    const list = await call('GET', '/api/supportlist');
    state.systems = list.systems;
    $('supportlist-source').textContent = list.installed
      ? 'The installed system support list names ' + list.systems.length + ' machine types.'
      : 'No support list is installed yet; the list shipped with the program is shown.';
    renderSystems();
  } catch (e) { notice(e.message); }
}

async function loadDevices() {
  const select = $('usb-device');
  select.replaceChildren();
  try {
    const devices = await call('GET', '/api/devices');
    for (const d of devices) {
      const gb = (d.bytes / 1e9).toFixed(1);
      select.add(new Option(d.path + ' - ' + (d.model || 'USB disk') + ' (' + gb + ' GB)', d.path));
    }
    if (!devices.length) select.add(new Option('no removable USB disk found', ''));
  } catch (e) { notice(e.message); }
}

function checkedValues(name) {
  return [...document.querySelectorAll('input[name=' + name + ']:checked')].map((i) => i.value);
}

function medium() { return checkedValues('medium')[0]; }

function selection(action) {
  return { action, workingDir: $('workdir').value.trim(), machineTypes: [...state.chosen].sort(),
    functions: checkedValues('function') };
}

function buildRequest() {
  const request = selection('build');
  const kind = medium();
  const targets = { iso: 'iso-path', usb: 'usb-device', pxe: 'pxe-dir', cd: 'cd-drive' };
  Object.assign(request, {
    medium: kind, target: $(targets[kind]).value.trim(), tftpAddress: kind === 'pxe' ? $('tftp').value.trim() : '',
    description: $('description').value, kernelArgs: $('kernel-args').value, autorun: $('autorun').value,
    timeout: Number($('timeout').value) || 0, force: $('force').checked, noAcquire: $('no-acquire').checked,
    verify: $('verify').checked,
  });
  return Object.assign(request, proxy());
}

function proxy() {
  return { proxyAddress: $('proxy-address').value.trim(), proxyPort: Number($('proxy-port').value) || 0,
    proxyUser: $('proxy-user').value, proxyPassword: $('proxy-password').value };
}

async function startRun(request) {
  notice('');
  try {
    await call('POST', '/api/run', request);
    state.lastAction = request.action;
    state.logEnd = 0;
    $('log').textContent = '';
    show($('run'), true);
    show($('result'), false);
    poll();
  } catch (e) { notice(e.message); }
}

function kb(value) { return value >= 1024 ? (value / 1024).toFixed(1) + ' MB' : value + ' KB'; }

function renderUpdates(passes) {
  const body = $('updates').tBodies[0];
  body.replaceChildren();
  for (const pass of passes) {
    for (const p of pass.packages) {
      const row = body.insertRow();
      cell(row, pass.mt + (pass.os ? ' / ' + pass.os : ''));
      cell(row, p.updateId);
      cell(row, p.component);
      cell(row, kb(p.downloadedKb) + ' of ' + kb(p.sizeKb));
      cell(row, p.speedKb ? p.speedKb + ' KB/s' : '');
      cell(row, p.status);
    }
  }
  show($('updates'), body.rows.length > 0);
}

function renderReport(s) {
  const body = $('report-table').tBodies[0];
  body.replaceChildren();
  for (const pass of s.acquisition)
    for (const p of pass.packages) {
      const row = body.insertRow();
      cell(row, pass.mt);
      cell(row, p.updateId);
      cell(row, p.status);
      cell(row, p.sizeKb ? kb(p.sizeKb) : '');
    }
  for (const entry of s.localReport) {
    if (!entry.ids.length) {
      const row = body.insertRow();
      cell(row, entry.mt); cell(row, 'No Updates Available.'); cell(row, ''); cell(row, '');
    }
    for (const id of entry.ids) {
      const row = body.insertRow();
      cell(row, entry.mt); cell(row, id); cell(row, 'Locally available'); cell(row, '');
    }
  }
  show($('report-table'), body.rows.length > 0);
}

function renderProgress(s) {
  const p = s.progress;
  $('run-step').textContent = p.phase || (s.running ? 'starting' : 'finished');
  const downloading = s.running && p.file && p.totalKb > 0;
  show($('run-file'), !!downloading);
  if (downloading) {
    $('run-file-name').textContent = p.update + ': ' + p.file;
    $('run-file-bar').value = Math.min(100, Math.round((100 * p.kb) / p.totalKb));
    $('run-file-kb').textContent = kb(p.kb) + ' of ' + kb(p.totalKb);
  }
}

function renderResult(s) {
  const status = s.exitStatus;
  const message = s.progress.finished ? s.progress.message : (s.cli ? s.cli.message : '');
  const ok = status === 0 || (state.lastAction === 'check-update' && (status === 30 || status === 31));
  $('run-status').textContent = 'ended with status ' + status;
  $('run-status').className = 'status ' + (ok ? 'ok' : 'failed');
  $('result').className = 'result ' + (ok ? 'ok' : 'failed');
  $('result-message').textContent = message || ('The program ended with status ' + status + '.');
  const mediumPath = s.progress.medium;
  $('medium-path').textContent = mediumPath || '';
  show($('result-medium-line'), !!mediumPath);
  show($('result'), true);
  if (s.supportListResult) {
    $('supportlist-result').textContent = 'Support list: ' + s.supportListResult;
    show($('supportlist-result'), true);
    loadSystems();
  }
}

function render(s) {
  if (!s.started) return;
  show($('run'), true);
  if (s.action) state.lastAction = s.action;
  $('run-args').textContent = s.args.join(' ');
  if (s.log) {
    $('log').textContent += s.log;
    $('log').scrollTop = $('log').scrollHeight;
  }
  state.logEnd = s.logEnd;
  renderProgress(s);
  // A report's updates are shown in its own table, not as downloads.
  renderUpdates(state.lastAction === 'report' ? [] : s.acquisition);
  if (state.lastAction === 'report') renderReport(s);
  show($('question'), !!s.question);
  if (s.question) $('question-text').textContent = s.question.text;
  $('cancel').disabled = !s.running;
  for (const id of ['start', 'report-start', 'supportlist-update', 'supportlist-rollback', 'version-check'])
    $(id).disabled = s.running;
  if (s.running) {
    $('run-status').textContent = 'running';
    $('run-status').className = 'status running';
    show($('result'), false);
  } else {
    renderResult(s);
  }
}

async function poll() {
  clearTimeout(state.polling);
  try {
    const s = await call('GET', '/api/state?log=' + state.logEnd);
    render(s);
    if (s.running) state.polling = setTimeout(poll, 500);
  } catch (e) {
    notice(e.message);
    state.polling = setTimeout(poll, 2000);
  }
}

async function answer(yes) {
  try {
    await call('POST', '/api/answer', { yes });
    show($('question'), false);
  } catch (e) { notice(e.message); }
}

function switchView(view) {
  state.view = view;
  for (const tab of document.querySelectorAll('.tab')) tab.classList.toggle('active', tab.dataset.view === view);
  for (const section of document.querySelectorAll('.view')) show(section, section.id === 'view-' + view);
  show($('selection'), view === 'build' || view === 'report' || view === 'supportlist');
}

function wire() {
  for (const tab of document.querySelectorAll('.tab')) tab.addEventListener('click', () => switchView(tab.dataset.view));
  $('mt-search').addEventListener('input', renderSystems);
  for (const radio of document.querySelectorAll('input[name=medium]'))
    radio.addEventListener('change', () => {
      for (const t of document.querySelectorAll('.target')) show(t, t.dataset.medium === medium());
      if (medium() === 'usb') loadDevices();
    });
  $('usb-refresh').addEventListener('click', loadDevices);
  $('start').addEventListener('click', () => startRun(buildRequest()));
  $('report-start').addEventListener('click', () =>
    startRun(Object.assign(selection('report'), { noAcquire: $('report-local').checked }, proxy())));
  $('supportlist-update').addEventListener('click', () =>
    startRun(Object.assign(selection('update-supportlist'), proxy())));
  $('supportlist-rollback').addEventListener('click', () => startRun(selection('rollback-supportlist')));
  $('version-check').addEventListener('click', () => startRun(Object.assign(selection('check-update'), proxy())));
  $('answer-yes').addEventListener('click', () => answer(true));
  $('answer-no').addEventListener('click', () => answer(false));
  $('cancel').addEventListener('click', () => call('POST', '/api/cancel', {}).catch((e) => notice(e.message)));
}

wire();
loadSystems();
poll();
