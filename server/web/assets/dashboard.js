// The pellicksrv dashboard's script: shows the summary live (server-sent events, polling as fallback), the finished runs, the CPUs a page at a time, and sends option changes.
'use strict';

(() => {
  const POLL_MS = 1000;          // polling period when no event stream can be had
  const STREAM_RETRY_MS = 30000; // while polling, try the event stream again this often
  const HOUR = 3600;
  const SVG = 'http://www.w3.org/2000/svg';

  const $ = (id) => document.getElementById(id);
  let latest = null;
  let drawPending = false;

  // Texts are always set as text, never parsed as markup: names come from render nodes.
  function setText(node, text) {
    const value = text === null || text === undefined ? '' : String(text);
    if (node.textContent !== value) node.textContent = value;
  }

  // For values a narrow card may cut: the whole text on hover.
  function setFact(node, text) {
    setText(node, text);
    if (node.title !== node.textContent) node.title = node.textContent;
  }

  function setLive(state, text) {
    const live = $('live');
    live.dataset.state = state;
    setText(live, text);
  }

  // Draws at most once per frame, always the newest status.
  function show(status) {
    latest = status;
    if (!drawPending) {
      drawPending = true;
      requestAnimationFrame(() => {
        drawPending = false;
        draw(latest);
      });
    }
  }

  function draw(s) {
    for (const field of s.fields) drawField(field);
    setText($('updated'), 'Last update: ' + s.lastUpdateText);
    $('no-render').hidden = s.overall.activeCpus > 0;
    drawJobs(s);
    loadHistory(s);
    drawCpuControls(s);
    drawOptions(s.settings);
  }

  // A summary field, its row made the first time the data names it.
  function drawField(field) {
    let node = $('f' + field.id);
    if (!node) {
      const row = document.createElement('div');
      const label = document.createElement('dt');
      label.textContent = field.label + ':';
      node = document.createElement('dd');
      node.id = 'f' + field.id;
      row.append(label, node);
      $('fields').append(row);
    }
    setText(node, field.text);
  }

  // ---- Jobs

  const cards = new Map(); // job id -> card element

  function percentText(p) {
    return p === null || p === undefined ? '-' : (Math.floor(p * 10) / 10).toFixed(1) + '%';
  }

  function drawJobs(s) {
    const container = $('jobs');
    const seen = new Set();
    let previous = null;
    for (const job of s.jobs) {
      const key = job.id || 'job' + job.job;
      seen.add(key);
      let card = cards.get(key);
      if (!card) {
        card = $('job-card').content.firstElementChild.cloneNode(true);
        cards.set(key, card);
      }
      // Keep cards in job order.
      const wanted = previous ? previous.nextSibling : container.firstChild;
      if (wanted !== card) container.insertBefore(card, wanted);
      previous = card;
      fillCard(card, job, s.nowUnix);
    }
    for (const [key, card] of cards) {
      if (!seen.has(key)) {
        card.remove();
        cards.delete(key);
      }
    }
  }

  function fillCard(card, job, nowUnix) {
    const q = (cls) => card.querySelector('.' + cls);
    setText(q('scene'), job.sceneName === '' ? '(unnamed scene)' : job.sceneName);
    setText(q('job-number'), 'Job ' + job.job);
    setText(q('file'), job.sceneFile);
    const pct = job.percent === null ? 0 : Math.max(0, Math.min(100, job.percent));
    q('fill').style.width = pct + '%';
    q('bar').setAttribute('aria-valuenow', String(Math.floor(pct)));
    setText(q('percent'), percentText(job.percent));
    const f = job.frames;
    setFact(q('frames'), f.first + '\u2013' + f.last + (f.step > 1 ? ' step ' + f.step : ''));
    setFact(q('cpu-count'), job.cpus);
    setFact(q('stalled-count'), job.stalledCpus);
    card.classList.toggle('has-stalled', job.stalledCpus > 0);
    setFact(q('passes'), job.passesDone + ' of ' + job.totalPasses);
    setFact(q('passes-per-hour'), job.texts.passesPerHour);
    setFact(q('frames-per-hour'), job.texts.framesPerHour);
    setFact(q('time-per-pass'), job.texts.secondsPerPass);
    setFact(q('remaining'), job.texts.remaining);
    setFact(q('completion'), job.texts.completion);
    setFact(q('started'), job.texts.startTime);
    setFact(q('elapsed'), job.texts.elapsed);
    drawBurndown(q('burndown'), job.history, nowUnix);
    drawForecast(q('forecast'), job, nowUnix);
  }

  // ---- Runs: the history's newest runs, fetched when the jobs change and at most every few seconds.

  const HISTORY_ROWS = 20;
  const HISTORY_EVERY_MS = 5000;
  let historyJobs = '';
  let historyAt = 0;
  let historyLoading = false;
  const runningRuns = new Map(); // job id -> its running run, for the forecast line

  async function loadHistory(s) {
    const jobs = s.jobs.map((j) => j.id).join(',');
    const now = Date.now();
    if (historyLoading || (jobs === historyJobs && now - historyAt < HISTORY_EVERY_MS)) return;
    historyLoading = true;
    historyJobs = jobs;
    historyAt = now;
    try {
      const res = await fetch('/history.json?limit=' + (HISTORY_ROWS + s.jobs.length), { cache: 'no-store' });
      if (res.ok) drawHistory(await res.json());
    } catch (e) { /* the next update tries again */ }
    historyLoading = false;
  }

  function durationText(seconds) {
    const t = Math.max(0, Math.round(seconds));
    const h = Math.floor(t / 3600), m = Math.floor((t % 3600) / 60), sec = t % 60;
    return h + ':' + String(m).padStart(2, '0') + ':' + String(sec).padStart(2, '0');
  }

  function instantText(iso) {
    if (!iso) return '-';
    const d = new Date(iso);
    return isNaN(d) ? '-' : d.toLocaleString();
  }

  function drawHistory(doc) {
    runningRuns.clear();
    const ended = [];
    for (const run of doc.runs) {
      if (run.outcome === 'running') {
        if (!runningRuns.has(run.id)) runningRuns.set(run.id, run);
      } else if (ended.length < HISTORY_ROWS) {
        ended.push(run);
      }
    }
    $('finished-none').hidden = ended.length > 0;
    $('finished-wrap').hidden = ended.length === 0;
    const body = $('finished').tBodies[0];
    while (body.rows.length > ended.length) body.deleteRow(body.rows.length - 1);
    while (body.rows.length < ended.length) {
      const row = body.insertRow();
      for (let i = 0; i < 7; i++) row.insertCell();
    }
    ended.forEach((run, r) => {
      const cells = body.rows[r].cells;
      body.rows[r].className = run.outcome;
      setText(cells[0], run.sceneName === '' ? '(unnamed scene)' : run.sceneName);
      cells[0].title = run.sceneFile;
      setText(cells[1], run.outcome);
      setText(cells[2], instantText(run.end));
      setText(cells[3], durationText(run.durationSeconds));
      setText(cells[4], run.peakCpus);
      setText(cells[5], run.passesDone + ' of ' + run.totalPasses);
      setText(cells[6], run.meanAbsErrorRatio === null ? '-' : (run.meanAbsErrorRatio * 100).toFixed(1) + '%');
    });
    if (latest) for (const job of latest.jobs) {
      const card = cards.get(job.id || 'job' + job.job);
      if (card) drawForecast(card.querySelector('.forecast'), job, latest.nowUnix);
    }
  }

  // The completion predicted at each forecast point of the running run, and now, against the
  // instant it was predicted: a flat line is a steady forecast.
  function drawForecast(svg, job, nowUnix) {
    const run = runningRuns.get(job.id);
    const points = [];
    if (run) {
      for (const f of run.forecasts) {
        const at = Date.parse(f.at) / 1000, p = Date.parse(f.predictedCompletion) / 1000;
        if (isFinite(at) && isFinite(p)) points.push([at, p, f.percent + '%']);
      }
    }
    const current = Date.parse(job.completion) / 1000;
    if (isFinite(current)) points.push([nowUnix, current, 'now']);
    const key = JSON.stringify(points.map((p) => [p[0], Math.round(p[1] / 10)]));
    if (svg.dataset.key === key) return;
    svg.dataset.key = key;
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    const W = 600, H = 170, left = 70, right = 10, top = 10, bottom = 24;
    const el = (name, attrs, text) => {
      const e = document.createElementNS(SVG, name);
      for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, String(v));
      if (text !== undefined) e.textContent = text;
      svg.appendChild(e);
      return e;
    };
    el('line', { class: 'axis', x1: left, y1: H - bottom, x2: W - right, y2: H - bottom });
    el('line', { class: 'axis', x1: left, y1: top, x2: left, y2: H - bottom });
    if (points.length === 0) {
      el('text', { x: (left + W - right) / 2, y: (top + H - bottom) / 2, 'text-anchor': 'middle' }, 'no forecast yet');
      return;
    }
    const t0 = Math.min(...points.map((p) => p[0])), t1 = Math.max(t0 + 1, ...points.map((p) => p[0]));
    let lo = Math.min(...points.map((p) => p[1])), hi = Math.max(...points.map((p) => p[1]));
    if (hi - lo < 60) { lo -= 30; hi += 30; }
    const x = (t) => left + ((t - t0) / (t1 - t0)) * (W - left - right);
    const y = (v) => top + (1 - (v - lo) / (hi - lo)) * (H - top - bottom);
    const clock = (v) => new Date(v * 1000).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
    el('text', { x: left - 6, y: top + 4, 'text-anchor': 'end' }, clock(hi));
    el('text', { x: left - 6, y: H - bottom, 'text-anchor': 'end' }, clock(lo));
    el('text', { x: left, y: H - 6 }, 'predicted completion');
    let line = '';
    for (const [t, v] of points) line += (line ? ' L' : 'M') + x(t).toFixed(1) + ' ' + y(v).toFixed(1);
    el('path', { class: 'line', d: line });
    for (const [t, v, label] of points) {
      el('circle', { class: 'dot', cx: x(t).toFixed(1), cy: y(v).toFixed(1), r: 3 });
      el('text', { x: x(t).toFixed(1), y: Math.max(top + 10, y(v) - 6).toFixed(1), 'text-anchor': 'middle' }, label);
    }
  }

  // Remaining passes over the last hour, newest at the right. Redrawn when a point comes, and
  // otherwise every 10 s (the hour moves by 1.5 px in that time), not on every update.
  const REDRAW_S = 10;
  function drawBurndown(svg, history, nowUnix) {
    const key = JSON.stringify(history);
    if (svg.dataset.key === key && Math.abs(nowUnix - Number(svg.dataset.now)) < REDRAW_S) return;
    svg.dataset.key = key;
    svg.dataset.now = String(nowUnix);
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    const W = 600, H = 170, left = 50, right = 10, top = 10, bottom = 24;
    const from = nowUnix - HOUR;
    const points = history.filter((p) => p[0] >= from && p[0] <= nowUnix);
    const most = Math.max(1, ...points.map((p) => p[1]));
    const x = (t) => left + ((t - from) / HOUR) * (W - left - right);
    const y = (r) => top + (1 - r / most) * (H - top - bottom);
    const el = (name, attrs, text) => {
      const e = document.createElementNS(SVG, name);
      for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, String(v));
      if (text !== undefined) e.textContent = text;
      svg.appendChild(e);
      return e;
    };
    el('line', { class: 'axis', x1: left, y1: H - bottom, x2: W - right, y2: H - bottom });
    el('line', { class: 'axis', x1: left, y1: top, x2: left, y2: H - bottom });
    el('text', { x: left - 6, y: top + 4, 'text-anchor': 'end' }, String(most));
    el('text', { x: left - 6, y: H - bottom, 'text-anchor': 'end' }, '0');
    el('text', { x: left, y: H - 6 }, '60 min ago');
    el('text', { x: (left + W - right) / 2, y: H - 6, 'text-anchor': 'middle' }, '30 min ago');
    el('text', { x: W - right, y: H - 6, 'text-anchor': 'end' }, 'now');
    if (points.length === 0) {
      el('text', { x: (left + W - right) / 2, y: (top + H - bottom) / 2, 'text-anchor': 'middle' },
        'no estimate yet');
      return;
    }
    let line = '';
    for (const [t, r] of points) line += (line ? ' L' : 'M') + x(t).toFixed(1) + ' ' + y(r).toFixed(1);
    if (points.length === 1) line += ' L' + x(nowUnix).toFixed(1) + ' ' + y(points[0][1]).toFixed(1);
    const lastX = points.length === 1 ? x(nowUnix) : x(points[points.length - 1][0]);
    el('path', { class: 'area', d: line + ' L' + lastX.toFixed(1) + ' ' + (H - bottom) + ' L' +
      x(points[0][0]).toFixed(1) + ' ' + (H - bottom) + ' Z' });
    el('path', { class: 'line', d: line });
    const [lastT, lastR] = points[points.length - 1];
    el('circle', { class: 'dot', cx: x(lastT).toFixed(1), cy: y(lastR).toFixed(1), r: 3 });
  }

  // ---- CPUs: the server sends one page of the table at a time, for what is on screen; rows are
  // reused and only changed cells are written.

  const PAGE_ROWS = 100;
  const CPU_CELLS = [
    (c) => c.cpu, (c) => c.job, (c) => c.frame, (c) => c.passes,
    (c) => c.texts.average, (c) => c.texts.recent, (c) => c.texts.last, (c) => c.texts.at,
    (c) => (c.stalled ? 'stalled' : ''),
  ];
  const cpuView = { jobId: '', job: 0, sort: 'table', offset: 0, stalled: false };
  let cpuGeneration = 0;   // the snapshot the summary on screen comes from
  let cpuShown = '';       // the query and generation the table shows
  let cpuLoading = false;
  let cpuOnScreen = true;
  let cpuRetry = 0;        // timer of the next try after a failed fetch
  let cpuSoon = 0;         // timer of a refresh held back by the pace below
  let cpuFetchedAt = -Infinity;
  // A hung fetch is given up after CPU_FETCH_MS; new snapshots refresh the rows at most once per
  // CPU_REFRESH_MS, as a busy farm sends four a second; the reader's own choices fetch at once.
  const CPU_FETCH_MS = 10000, CPU_RETRY_MS = 1000, CPU_REFRESH_MS = 1000;
  let jobChoices = '';

  function cpuQuery() {
    return 'job=' + cpuView.job + '&sort=' + encodeURIComponent(cpuView.sort) + '&offset=' + cpuView.offset +
      '&limit=' + PAGE_ROWS + (cpuView.stalled ? '&stalled=1' : '');
  }

  // The job filter lists the jobs of the summary; the chosen job is kept by identity, as numbers shift.
  function drawCpuControls(s) {
    const select = $('cpu-job');
    const choices = s.jobs.map((j) => j.id + '\t' + j.job + '\t' + j.sceneName).join('\n');
    if (choices !== jobChoices) {
      jobChoices = choices;
      while (select.options.length > 1) select.remove(1);
      for (const j of s.jobs) select.add(new Option('Job ' + j.job + ': ' + (j.sceneName || '(unnamed scene)'), j.id));
      select.value = cpuView.jobId;
      if (select.value !== cpuView.jobId) select.value = '';
    }
    const chosen = s.jobs.find((j) => j.id === cpuView.jobId);
    if (!chosen) cpuView.jobId = '';
    cpuView.job = chosen ? chosen.job : 0;
    const waiting = s.connections.waiting;
    $('waiting').hidden = waiting === 0;
    setText($('waiting'), waiting === 1 ? '1 connection has not reported yet.'
      : waiting + ' connections have not reported yet.');
    // Generations restart at 1 with the server: a smaller one means the shown page is stale.
    if (s.generation < cpuGeneration) cpuShown = '';
    cpuGeneration = s.generation;
    loadCpusSoon();
  }

  function loadCpusSoon() {
    const wait = cpuFetchedAt + CPU_REFRESH_MS - performance.now();
    if (wait <= 0) loadCpus();
    else if (!cpuSoon) cpuSoon = setTimeout(() => { cpuSoon = 0; loadCpus(); }, wait);
  }

  // One request at a time; when it ends, the newest wish is fetched if the table does not show it yet.
  // A failed or hung request is tried again after a second: the summary may not change again.
  async function loadCpus() {
    const wanted = cpuQuery() + '#' + cpuGeneration;
    if (cpuLoading || !cpuOnScreen || document.hidden || wanted === cpuShown) return;
    clearTimeout(cpuRetry);
    cpuLoading = true;
    cpuFetchedAt = performance.now();
    const query = cpuQuery();
    let ok = false;
    const abort = new AbortController();
    const hung = setTimeout(() => abort.abort(), CPU_FETCH_MS);
    try {
      const res = await fetch('/cpus.json?' + query, { cache: 'no-store', signal: abort.signal });
      if (res.ok) {
        const page = await res.json();
        cpuShown = wanted;
        drawCpuPage(page);
        ok = true;
      }
    } catch (e) { /* tried again below */ }
    clearTimeout(hung);
    cpuLoading = false;
    if (!ok) cpuRetry = setTimeout(loadCpus, CPU_RETRY_MS);
    else if (cpuQuery() !== query) loadCpus();  // the reader chose another page meanwhile
    else loadCpusSoon();
  }

  // A page past the end (CPUs left) moves the view to the last page, which is fetched next.
  function drawCpuPage(page) {
    if (page.total > 0 && page.offset >= page.total) {
      cpuView.offset = Math.floor((page.total - 1) / PAGE_ROWS) * PAGE_ROWS;
      return;
    }
    const body = $('cpus').tBodies[0];
    const rows = body.rows;
    const cpus = page.cpus;
    while (rows.length > cpus.length) body.deleteRow(rows.length - 1);
    while (rows.length < cpus.length) {
      const row = body.insertRow();
      for (let i = 0; i < CPU_CELLS.length; i++) row.insertCell();
    }
    for (let r = 0; r < cpus.length; r++) {
      const cells = rows[r].cells;
      for (let i = 0; i < CPU_CELLS.length; i++) setText(cells[i], CPU_CELLS[i](cpus[r]));
      rows[r].classList.toggle('stalled', !!cpus[r].stalled);
    }
    const n = (v) => v.toLocaleString('en-US');
    setText($('cpu-range'), page.total === 0 ? 'no CPUs'
      : 'CPUs ' + n(page.offset + 1) + '\u2013' + n(page.offset + cpus.length) + ' of ' + n(page.total));
    $('cpu-prev').disabled = page.offset === 0;
    $('cpu-next').disabled = page.offset + PAGE_ROWS >= page.total;
  }

  function wireCpus() {
    const changed = () => { cpuShown = ''; loadCpus(); };
    $('cpu-job').addEventListener('change', (e) => {
      cpuView.jobId = e.target.value;
      const job = latest && latest.jobs.find((j) => j.id === cpuView.jobId);
      cpuView.job = job ? job.job : 0;
      cpuView.offset = 0;
      changed();
    });
    $('cpu-sort').addEventListener('change', (e) => { cpuView.sort = e.target.value; cpuView.offset = 0; changed(); });
    $('cpu-stalled').addEventListener('change', (e) => { cpuView.stalled = e.target.checked; cpuView.offset = 0; changed(); });
    $('cpu-prev').addEventListener('click', () => { cpuView.offset = Math.max(0, cpuView.offset - PAGE_ROWS); changed(); });
    $('cpu-next').addEventListener('click', () => { cpuView.offset += PAGE_ROWS; changed(); });
    // Off screen (scrolled away, or a hidden tab) the table is not fetched at all.
    if (window.IntersectionObserver) {
      new IntersectionObserver((entries) => {
        cpuOnScreen = entries[entries.length - 1].isIntersecting;
        loadCpus();
      }, { rootMargin: '400px' }).observe($('cpus'));
    }
    document.addEventListener('visibilitychange', loadCpus);
  }

  // ---- Options

  let sending = 0;

  function drawOptions(settings) {
    if (!settings) return;
    const maxScale = $('max-scale'), resolution = $('resolution'), save = $('save'), path = $('html-path');
    const stall = $('stall-seconds');
    // A control the user is on keeps what the user is doing.
    setText($('sample'), settings.sample);
    // Why the HTML file is not being written, as the server says it (text, never markup).
    const htmlError = $('html-error');
    setText(htmlError, settings.htmlError);
    htmlError.hidden = !settings.htmlError;
    if (sending) return; // the user's choice stands until the server has answered
    if (document.activeElement !== maxScale) maxScale.value = String(settings.maxScale);
    if (document.activeElement !== resolution) resolution.value = String(settings.resolution);
    if (document.activeElement !== stall) stall.value = String(settings.stallSeconds);
    if (document.activeElement !== save) save.checked = settings.htmlOutput;
    // Only the address's scheme, host and port come back: the rest may be a secret.
    setText($('webhook-shown'), settings.webhook ? settings.webhook : 'none');
    if (document.activeElement !== path && settings.htmlPath !== '' && path.value !== settings.htmlPath) {
      path.value = settings.htmlPath;
    }
  }

  function status(text, kind) {
    const node = $('options-status');
    node.dataset.kind = kind || '';
    setText(node, text);
  }

  async function send(change) {
    let accepted = false;
    sending++;
    status('Applying\u2026');
    try {
      const res = await fetch('/options', {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(change),
        cache: 'no-store',
      });
      let answer = {};
      try { answer = await res.json(); } catch (e) { /* no body */ }
      accepted = res.ok;
      if (!res.ok) {
        status(answer.error || 'The server refused the change (' + res.status + ').', 'error');
      } else {
        status(answer.persisted ? 'Applied and saved.' : 'Applied for this run; the settings could not be saved.',
          answer.persisted ? '' : 'error');
      }
    } catch (e) {
      status('The server cannot be reached.', 'error');
    } finally {
      sending--;
    }
    refreshNow();
    return accepted;
  }

  function wireOptions() {
    const form = $('options-form');
    const save = $('save'), path = $('html-path');
    $('max-scale').addEventListener('change', (e) => send({ maxScale: Number(e.target.value) }));
    $('resolution').addEventListener('change', (e) => send({ resolution: Number(e.target.value) }));
    $('stall-seconds').addEventListener('change', (e) => {
      const seconds = Number(e.target.value);
      const low = Number(e.target.min), high = Number(e.target.max);  // the server's range, as it served the page
      if (Number.isInteger(seconds) && seconds >= low && seconds <= high) send({ stallSeconds: seconds });
      else status('The stall time is a whole number of seconds from ' + low + ' to ' + high + '.', 'error');
    });
    const choosePath = () => {
      const text = path.value.trim();
      if (text === '') {
        save.checked = false;
        status('Type the path of the HTML file first.', 'error');
        return;
      }
      save.checked = true;
      send({ htmlPath: text });
    };
    const hook = $('webhook');
    const setHook = () => {
      const text = hook.value.trim();
      if (!/^https?:\/\/[^\s]+$/i.test(text)) {
        status('The webhook is an http:// or https:// address.', 'error');
        return;
      }
      send({ webhook: text }).then((accepted) => { if (accepted) hook.value = ''; });
    };
    $('webhook-set').addEventListener('click', setHook);
    $('webhook-off').addEventListener('click', () => send({ webhook: '' }));
    save.addEventListener('change', () => {
      if (save.checked) choosePath();
      else send({ save: false });
    });
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      // Enter in the stall time sends that field (its change event), in the webhook that
      // address, elsewhere the path.
      if (document.activeElement === hook) setHook();
      else if (document.activeElement !== $('stall-seconds')) choosePath();
    });
  }

  // ---- Getting the status: event stream first, polling when that cannot be had.

  let pollTimer = 0;
  let stream = null;

  async function fetchSummary() {
    const res = await fetch('/summary.json', { cache: 'no-store' });
    if (!res.ok) throw new Error('status ' + res.status);
    return res.json();
  }

  function refreshNow() {
    fetchSummary().then(show, () => {});
  }

  function startPolling() {
    if (pollTimer) return;
    setLive('polling', 'polling');
    const tick = () => {
      fetchSummary().then((s) => {
        if (pollTimer) setLive('polling', 'polling');
        show(s);
      }, () => setLive('offline', 'server not reachable'));
    };
    tick();
    pollTimer = setInterval(tick, POLL_MS);
    setTimeout(() => { if (pollTimer) connect(); }, STREAM_RETRY_MS);
  }

  function stopPolling() {
    if (pollTimer) clearInterval(pollTimer);
    pollTimer = 0;
  }

  function connect() {
    if (!window.EventSource) {
      startPolling();
      return;
    }
    if (stream) stream.close();
    const es = new EventSource('/events');
    stream = es;
    es.addEventListener('status', (e) => {
      stopPolling();
      setLive('live', 'live');
      try { show(JSON.parse(e.data)); } catch (err) { /* a cut event: the next one replaces it */ }
    });
    es.addEventListener('error', () => {
      if (es.readyState === EventSource.CLOSED) {
        // Refused (too many streams, or no stream support on the way): poll instead.
        if (stream === es) stream = null;
        startPolling();
      } else {
        setLive('offline', 'reconnecting');
      }
    });
  }

  wireOptions();
  wireCpus();
  refreshNow();
  connect();
})();
