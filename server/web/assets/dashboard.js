// The pellicksrv dashboard's script: shows /status.json live (server-sent events, polling as fallback) and sends option changes.
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
    for (const field of s.fields) {
      const node = $('f' + field.id);
      if (node) setText(node, field.text);
    }
    setText($('updated'), 'Last update: ' + s.lastUpdateText);
    $('no-render').hidden = s.overall.activeCpus > 0;
    drawJobs(s);
    drawCpus(s);
    drawOptions(s.settings);
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
  }

  // Remaining passes over the last hour, newest at the right.
  function drawBurndown(svg, history, nowUnix) {
    const key = JSON.stringify(history) + nowUnix;
    if (svg.dataset.key === key) return;
    svg.dataset.key = key;
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

  // ---- CPUs: rows are reused and only changed cells are written, so a thousand CPUs stay cheap.

  const CPU_CELLS = [
    (c) => c.cpu, (c) => c.job, (c) => c.frame, (c) => c.passes,
    (c) => c.texts.average, (c) => c.texts.recent, (c) => c.texts.last, (c) => c.texts.at,
    (c) => (c.stalled ? 'stalled' : ''),
  ];

  function drawCpus(s) {
    const body = $('cpus').tBodies[0];
    const rows = body.rows;
    while (rows.length > s.cpus.length) body.deleteRow(rows.length - 1);
    while (rows.length < s.cpus.length) {
      const row = body.insertRow();
      for (let i = 0; i < CPU_CELLS.length; i++) row.insertCell();
    }
    for (let r = 0; r < s.cpus.length; r++) {
      const cells = rows[r].cells;
      const cpu = s.cpus[r];
      for (let i = 0; i < CPU_CELLS.length; i++) setText(cells[i], CPU_CELLS[i](cpu));
      rows[r].classList.toggle('stalled', cpu.stalled);
    }
    const waiting = s.connections.waiting;
    $('waiting').hidden = waiting === 0;
    setText($('waiting'), waiting === 1 ? '1 connection has not reported yet.'
      : waiting + ' connections have not reported yet.');
  }

  // ---- Options

  let sending = 0;

  function drawOptions(settings) {
    if (!settings) return;
    const maxScale = $('max-scale'), resolution = $('resolution'), save = $('save'), path = $('html-path');
    const stall = $('stall-seconds');
    // A control the user is on keeps what the user is doing.
    setText($('sample'), settings.sample);
    if (sending) return; // the user's choice stands until the server has answered
    if (document.activeElement !== maxScale) maxScale.value = String(settings.maxScale);
    if (document.activeElement !== resolution) resolution.value = String(settings.resolution);
    if (document.activeElement !== stall) stall.value = String(settings.stallSeconds);
    if (document.activeElement !== save) save.checked = settings.htmlOutput;
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
  }

  function wireOptions() {
    const form = $('options-form');
    const save = $('save'), path = $('html-path');
    $('max-scale').addEventListener('change', (e) => send({ maxScale: Number(e.target.value) }));
    $('resolution').addEventListener('change', (e) => send({ resolution: Number(e.target.value) }));
    $('stall-seconds').addEventListener('change', (e) => {
      const seconds = Number(e.target.value);
      if (Number.isInteger(seconds) && seconds >= 10 && seconds <= 86400) send({ stallSeconds: seconds });
      else status('The stall time is a whole number of seconds from 10 to 86400.', 'error');
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
    save.addEventListener('change', () => {
      if (save.checked) choosePath();
      else send({ save: false });
    });
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      // Enter in the stall time sends that field (its change event), not the path.
      if (document.activeElement !== $('stall-seconds')) choosePath();
    });
  }

  // ---- Getting the status: event stream first, polling when that cannot be had.

  let pollTimer = 0;
  let stream = null;

  async function fetchStatus() {
    const res = await fetch('/status.json', { cache: 'no-store' });
    if (!res.ok) throw new Error('status ' + res.status);
    return res.json();
  }

  function refreshNow() {
    fetchStatus().then(show, () => {});
  }

  function startPolling() {
    if (pollTimer) return;
    setLive('polling', 'polling');
    const tick = () => {
      fetchStatus().then((s) => {
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
  refreshNow();
  connect();
})();
