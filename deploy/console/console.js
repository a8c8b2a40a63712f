'use strict';
// Korva device console: one WebSocket to "/api" on the page's own host, a request form and a
// live log. No build step and no libraries.
//
// The service does not label what it sends, so the page sorts incoming messages itself:
//   reply         the answer to this page's oldest unanswered request: a message whose "command"
//                 is that request's command, or, while a request is unanswered, any message
//                 with a "status" member that is not a notification;
//   notification  a message with a "notification" member (a change another client made);
//   push          anything else (a changed value or a device notification).
// The service answers the requests of one connection in order, one reply each, so matching
// against the oldest unanswered request is enough. After a reboot request the service answers
// nothing until it is restarted; a request left unanswered for 10 seconds is marked as such.

(() => {
  const REPLY_WAIT_MS = 10000;
  const BACKOFF_FIRST_MS = 500;
  const BACKOFF_MAX_MS = 30000;
  const STABLE_MS = 5000; // a connection that lasts this long resets the back-off
  const LOG_LIMIT = 500;

  const $ = (id) => document.getElementById(id);
  const els = {
    endpoint: $('endpoint'), status: $('status'), statusText: $('status-text'),
    toggle: $('connect-toggle'), form: $('request-form'), command: $('command'),
    setValueFields: $('set-value-fields'), echoFields: $('echo-fields'),
    group: $('sv-group'), id: $('sv-id'), index: $('sv-index'), type: $('sv-type'),
    value: $('sv-value'), echoText: $('echo-text'), text: $('request-text'),
    error: $('request-error'), send: $('send'), fill: $('fill'), log: $('log'),
    count: $('log-count'), clear: $('clear-log'), valuesBody: $('values-body'),
    refresh: $('refresh-values'),
  };

  // "?api=ws://host:port/api" points the page at another service (development only).
  const apiUrl = new URLSearchParams(location.search).get('api') ||
    `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/api`;
  els.endpoint.textContent = apiUrl;

  let socket = null;
  let wanted = true;        // false after the user pressed Disconnect
  let attempt = 0;          // failed connection attempts since the last stable connection
  let retryTimer = null;
  let countdownTimer = null;
  let stableTimer = null;
  let pending = [];         // unanswered requests of this connection: { command, sentAt, timer }
  let logCount = 0;
  const values = new Map(); // "group/id/index" -> { group, id, index, value }

  // ---- connection -------------------------------------------------------------------------

  function setState(state, text) {
    els.status.dataset.state = state;
    els.statusText.textContent = text;
    document.body.dataset.connection = state;
    els.toggle.textContent = state === 'open' || state === 'connecting' ? 'Disconnect' :
      wanted ? 'Reconnect now' : 'Connect';
    els.send.disabled = state !== 'open';
    els.refresh.disabled = state !== 'open';
  }

  function connect() {
    clearTimeout(retryTimer);
    clearInterval(countdownTimer);
    wanted = true;
    setState('connecting', attempt ? `Connecting… (attempt ${attempt + 1})` : 'Connecting…');
    let ws;
    try {
      ws = new WebSocket(apiUrl);
    } catch (e) {
      addEntry('event', `Cannot connect to ${apiUrl}: ${e.message}`);
      scheduleReconnect();
      return;
    }
    socket = ws;
    ws.addEventListener('open', () => {
      if (socket !== ws) return;
      setState('open', 'Connected');
      addEntry('event', `Connected to ${apiUrl}`);
      stableTimer = setTimeout(() => { attempt = 0; }, STABLE_MS);
    });
    ws.addEventListener('message', (event) => {
      if (socket === ws) receive(event.data);
    });
    ws.addEventListener('close', (event) => {
      if (socket !== ws) return;
      socket = null;
      clearTimeout(stableTimer);
      dropPending();
      const why = event.code === 1006 ? 'connection lost' :
        `closed with status ${event.code}${event.reason ? ` (${event.reason})` : ''}`;
      addEntry('event', `Disconnected: ${why}`);
      if (wanted) scheduleReconnect();
      else setState('closed', 'Disconnected');
    });
  }

  function scheduleReconnect() {
    // Exponential back-off with jitter: 0.5 s, 1 s, 2 s, … up to 30 s.
    const base = Math.min(BACKOFF_MAX_MS, BACKOFF_FIRST_MS * 2 ** attempt);
    const wait = Math.round(base * (0.8 + Math.random() * 0.4));
    attempt += 1;
    const due = Date.now() + wait;
    const show = () => {
      const left = Math.max(0, Math.ceil((due - Date.now()) / 1000));
      setState('closed', `Disconnected — retrying in ${left} s`);
    };
    show();
    countdownTimer = setInterval(show, 250);
    retryTimer = setTimeout(connect, wait);
  }

  function disconnect() {
    wanted = false;
    clearTimeout(retryTimer);
    clearInterval(countdownTimer);
    if (socket) {
      // Always with a status code: a close frame without one is answered with status 0,
      // which browsers reject as a broken close frame.
      socket.close(1000, 'closed by user');
    } else {
      setState('closed', 'Disconnected');
    }
  }

  els.toggle.addEventListener('click', () => {
    if (socket && (socket.readyState === WebSocket.OPEN || socket.readyState === WebSocket.CONNECTING)) {
      disconnect();
    } else {
      attempt = 0;
      connect();
    }
  });

  // ---- requests ---------------------------------------------------------------------------

  function intField(input) {
    const n = Number(input.value);
    return input.value.trim() !== '' && Number.isInteger(n) ? n : null;
  }

  function requestFromFields() {
    const command = els.command.value;
    switch (command) {
      case 'set_value': {
        const request = { command: 'set_value' };
        const group = intField(els.group), id = intField(els.id), index = intField(els.index);
        if (group !== null && group !== 0) request.group = group;
        request.id = id === null ? 1 : id;
        if (index !== null && index !== 0) request.index = index;
        const raw = els.value.value;
        if (els.type.value === 'number') {
          const n = Number(raw);
          request.value = raw.trim() !== '' && Number.isFinite(n) ? n : raw;
        } else if (els.type.value === 'boolean') {
          request.value = /^\s*(true|1|on|yes)\s*$/i.test(raw);
        } else {
          request.value = raw;
        }
        return JSON.stringify(request);
      }
      case 'echo':
        return JSON.stringify({ command: 'echo', text: els.echoText.value });
      case 'custom':
        return els.text.value.trim() ? els.text.value : '{"command":"get_info"}';
      default:
        return JSON.stringify({ command });
    }
  }

  function showFields() {
    const command = els.command.value;
    els.setValueFields.hidden = command !== 'set_value';
    els.echoFields.hidden = command !== 'echo';
    els.text.value = requestFromFields();
    checkText();
  }

  // Warns about text that is not JSON, but still lets it be sent: testing the device's
  // answers to broken requests is part of the job.
  function checkText() {
    try {
      JSON.parse(els.text.value);
      els.error.hidden = true;
      els.text.removeAttribute('aria-invalid');
    } catch (e) {
      els.error.hidden = false;
      els.error.textContent = `Not valid JSON (${e.message}); it will be sent as written.`;
      els.text.setAttribute('aria-invalid', 'true');
    }
  }

  function commandOf(text) {
    try {
      const parsed = JSON.parse(text);
      return parsed && typeof parsed.command === 'string' ? parsed.command : null;
    } catch (e) {
      return null;
    }
  }

  function sendRequest(text) {
    if (!socket || socket.readyState !== WebSocket.OPEN) return false;
    const command = commandOf(text);
    if (command === 'reboot' &&
        !window.confirm('Reboot the device? The service answers no further requests until it is restarted.')) {
      return false;
    }
    const entry = { command, sentAt: Date.now(), text, timer: null };
    entry.timer = setTimeout(() => {
      const i = pending.indexOf(entry);
      if (i < 0) return;
      pending.splice(i, 1);
      addEntry('event', `No reply within ${REPLY_WAIT_MS / 1000} s to ${command || 'the request'}` +
        (command === 'reboot' || pending.some((p) => p.command === 'reboot')
          ? ' (after a reboot the service answers nothing until it is restarted)' : ''));
    }, REPLY_WAIT_MS);
    pending.push(entry);
    socket.send(text);
    addEntry('request', text);
    return true;
  }

  function dropPending() {
    for (const entry of pending) clearTimeout(entry.timer);
    pending = [];
  }

  els.command.addEventListener('change', showFields);
  for (const input of [els.group, els.id, els.index, els.type, els.value, els.echoText]) {
    input.addEventListener('input', () => { els.text.value = requestFromFields(); checkText(); });
  }
  els.text.addEventListener('input', checkText);
  els.text.addEventListener('keydown', (event) => {
    if (event.key === 'Enter' && (event.ctrlKey || event.metaKey)) {
      event.preventDefault();
      els.form.requestSubmit();
    }
  });
  els.fill.addEventListener('click', showFields);
  els.form.addEventListener('submit', (event) => {
    event.preventDefault();
    sendRequest(els.text.value);
  });
  els.refresh.addEventListener('click', () => sendRequest('{"command":"get_values"}'));

  // ---- incoming messages ------------------------------------------------------------------

  function classify(message) {
    const isObject = message && typeof message === 'object' && !Array.isArray(message);
    const head = pending[0];
    if (head && isObject && head.command !== null && message.command === head.command) return 'reply';
    if (isObject && 'notification' in message) return 'notification';
    if (head && isObject && ('status' in message || 'command' in message)) return 'reply';
    return 'push';
  }

  function receive(text) {
    let message = null;
    try {
      message = JSON.parse(text);
    } catch (e) {
      // Not JSON: shown as it came.
    }
    const kind = classify(message);
    let latency = null;
    if (kind === 'reply') {
      const answered = pending.shift();
      clearTimeout(answered.timer);
      latency = Date.now() - answered.sentAt;
    }
    noteValues(kind, message);
    addEntry(kind, text, latency);
  }

  // ---- device values ----------------------------------------------------------------------

  function noteValue(v) {
    if (!v || typeof v !== 'object' || !('value' in v) || !Number.isInteger(v.id)) return;
    const group = Number.isInteger(v.group) ? v.group : 0;
    const index = Number.isInteger(v.index) ? v.index : 0;
    values.set(`${group}/${v.id}/${index}`, { group, id: v.id, index, value: v.value });
  }

  function noteValues(kind, message) {
    if (!message || typeof message !== 'object') return;
    if (kind === 'reply' && message.command === 'get_values' && Array.isArray(message.values)) {
      values.clear();
      message.values.forEach(noteValue);
    } else if (kind === 'reply' && message.command === 'set_value' && message.status === 'ok') {
      noteValue(message);
    } else if (kind === 'notification' && message.notification === 'value_changed') {
      noteValue(message);
    } else if (kind === 'push') {
      noteValue(message);
    } else {
      return;
    }
    renderValues();
  }

  function renderValues() {
    const rows = [...values.values()].sort((a, b) => a.group - b.group || a.id - b.id || a.index - b.index);
    els.valuesBody.replaceChildren(...rows.map((v) => {
      const tr = document.createElement('tr');
      for (const cell of [v.group, v.id, v.index]) {
        const td = document.createElement('td');
        td.textContent = String(cell);
        tr.append(td);
      }
      const td = document.createElement('td');
      td.className = `value type-${typeof v.value}`;
      td.textContent = JSON.stringify(v.value);
      tr.append(td);
      return tr;
    }));
    if (!rows.length) {
      const tr = document.createElement('tr');
      tr.className = 'empty';
      tr.innerHTML = '<td colspan="4">No values yet.</td>';
      els.valuesBody.append(tr);
    }
  }

  // ---- log --------------------------------------------------------------------------------

  const KIND_LABEL = {
    request: 'request', reply: 'reply', notification: 'notification', push: 'pushed', event: 'connection',
  };

  function timeText(date) {
    const pad = (n, w = 2) => String(n).padStart(w, '0');
    return `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}.${pad(date.getMilliseconds(), 3)}`;
  }

  // Short messages stay on one line as they came; long ones get one line per member, and an
  // array member one line per element.
  function pretty(text) {
    if (text.length <= 160) return text;
    let parsed;
    try {
      parsed = JSON.parse(text);
    } catch (e) {
      return text;
    }
    const layout = (value, indent) => {
      if (Array.isArray(value)) {
        if (!value.length) return '[]';
        return `[\n${value.map((v) => `${indent}  ${JSON.stringify(v)}`).join(',\n')}\n${indent}]`;
      }
      if (value !== null && typeof value === 'object') {
        const members = Object.entries(value).map(([k, v]) => `${indent}  ${JSON.stringify(k)}: ${layout(v, `${indent}  `)}`);
        return members.length ? `{\n${members.join(',\n')}\n${indent}}` : '{}';
      }
      return JSON.stringify(value);
    };
    return layout(parsed, '');
  }

  function addEntry(kind, text, latency = null) {
    const now = new Date();
    const li = document.createElement('li');
    li.className = `entry kind-${kind}`;
    li.dataset.kind = kind;
    if (!filterOn(kind)) li.hidden = true;

    const meta = document.createElement('div');
    meta.className = 'meta';
    const time = document.createElement('time');
    time.dateTime = now.toISOString();
    time.textContent = timeText(now);
    const badge = document.createElement('span');
    badge.className = 'badge';
    badge.textContent = KIND_LABEL[kind];
    meta.append(time, badge);
    if (latency !== null) {
      const took = document.createElement('span');
      took.className = 'took';
      took.textContent = `${latency} ms`;
      meta.append(took);
    }

    if (kind === 'event') {
      const p = document.createElement('p');
      p.className = 'text';
      p.textContent = text;
      li.append(meta, p);
    } else {
      const pre = document.createElement('pre');
      pre.className = 'body';
      pre.dataset.raw = text;
      pre.textContent = pretty(text);
      li.append(meta, pre);
    }
    els.log.prepend(li);
    while (els.log.children.length > LOG_LIMIT) els.log.lastElementChild.remove();
    logCount += 1;
    els.count.textContent = String(logCount);
  }

  function filterOn(kind) {
    const box = document.querySelector(`input[data-filter="${kind}"]`);
    return !box || box.checked;
  }

  for (const box of document.querySelectorAll('input[data-filter]')) {
    box.addEventListener('change', () => {
      for (const li of els.log.querySelectorAll(`li[data-kind="${box.dataset.filter}"]`)) {
        li.hidden = !box.checked;
      }
    });
  }
  els.clear.addEventListener('click', () => {
    els.log.replaceChildren();
    logCount = 0;
    els.count.textContent = '0';
  });

  // ---- start ------------------------------------------------------------------------------

  showFields();
  renderValues();
  connect();
})();
