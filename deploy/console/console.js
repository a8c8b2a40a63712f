'use strict';
// Korva device console: one WebSocket to "/api" on the page's own host, a request form and a
// live log. No build step and no libraries.
//
// The service does not label what it sends, so the page sorts incoming messages by the rule of
// korva-client.js (KorvaReplies, loaded before this file) into replies to this page's requests,
// notifications (changes another client made) and pushes (changed values, device notifications).
// After a reboot request the service answers nothing until it is restarted: a request left
// unanswered for 10 seconds marks the device as not answering (it keeps its place: a late reply is
// still its own), and a reboot reply seen in any tab of the console (BroadcastChannel) marks it
// as rebooting in all of them.
//
// The WebSocket itself lives in a dedicated worker (socketRelay below), which sends what the page
// hands it and passes every event on with the time it happened. The page's own thread may be
// busy drawing itself when a reply comes in (after a click it draws first), and a time taken
// there would count that wait as the device's.

(() => {
  const REPLY_WAIT_MS = 10000;
  const BACKOFF_FIRST_MS = 500;
  // Reconnecting after an outage: 0.5 s, 1 s, 2 s, 4 s, then every 5 s, so that the page is back
  // within about 5 s of the service. An attempt costs the front end one refused upgrade.
  const BACKOFF_MAX_MS = 5000;
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
    refresh: $('refresh-values'), values: $('values'), valuesState: $('values-state'),
  };

  // "?api=ws://host:port/api" points the page at another service (development only).
  const apiUrl = new URLSearchParams(location.search).get('api') ||
    `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/api`;
  els.endpoint.textContent = apiUrl;

  let conn = null;          // the current connection: { id, open, rebooting }; null when there is none
  let nextConnId = 1;
  let nextSeq = 1;          // numbers this page's requests, so the relay can report their send time
  let wanted = true;        // false after the user pressed Disconnect
  let attempt = 0;          // failed connection attempts since the last stable connection
  let retryTimer = null;
  let countdownTimer = null;
  let stableTimer = null;
  // Unanswered requests of this connection: { seq, command, sentAt, timer, late }.
  const replies = new KorvaReplies();
  let logCount = 0;
  const values = new Map(); // "group/id/index" -> { group, id, index, value }
  let loadedAt = null;      // when the last get_values reply came
  let changedAt = null;     // when the table last changed
  let currentUntil = null;  // when the table stopped being kept up to date
  let valuesState = 'empty'; // see setValuesState
  // Tabs of the console tell each other when the device takes a reboot request.
  const tabs = typeof BroadcastChannel === 'function' ? new BroadcastChannel('korva-console') : null;

  // ---- the relay worker -------------------------------------------------------------------

  // Runs in the worker, from its source text: it must use nothing from the page's scope.
  // Messages in: { op: 'open', id, url }, { op: 'send', id, seq, text }, { op: 'close', id, code,
  // reason }. Messages out, each with the connection's id and at, the time of the event in
  // milliseconds on the shared clock (timeOrigin + now): 'open'; 'sent' { seq }, just after the
  // text went to the socket; 'message' { text }; 'close' { code, reason }, after which the id is
  // dead; 'invalid' { message }, when the address cannot be used at all.
  function socketRelay() {
    const sockets = new Map();
    const now = () => performance.timeOrigin + performance.now();
    const decoder = new TextDecoder();
    self.onmessage = ({ data }) => {
      const { op, id } = data;
      if (op === 'open') {
        let ws;
        try {
          ws = new WebSocket(data.url);
        } catch (e) {
          self.postMessage({ type: 'invalid', id, at: now(), message: e.message });
          return;
        }
        ws.binaryType = 'arraybuffer';
        sockets.set(id, ws);
        ws.onopen = () => self.postMessage({ type: 'open', id, at: now() });
        ws.onmessage = (event) => {
          const at = now();
          const text = typeof event.data === 'string' ? event.data : decoder.decode(event.data);
          self.postMessage({ type: 'message', id, at, text });
        };
        ws.onclose = (event) => {
          sockets.delete(id);
          self.postMessage({ type: 'close', id, at: now(), code: event.code, reason: event.reason });
        };
      } else if (op === 'send') {
        const ws = sockets.get(id);
        if (!ws || ws.readyState !== WebSocket.OPEN) return; // its 'close' is on the way
        ws.send(data.text);
        self.postMessage({ type: 'sent', id, at: now(), seq: data.seq });
      } else if (op === 'close') {
        const ws = sockets.get(id);
        if (ws) ws.close(data.code, data.reason);
      }
    };
  }

  const relay = new Worker(URL.createObjectURL(
    new Blob([`(${socketRelay.toString()})();`], { type: 'text/javascript' })));
  relay.addEventListener('message', ({ data }) => {
    // Events of a connection the page has already given up are late news.
    if (conn && data.id === conn.id) onRelay[data.type](conn, data);
  });
  // A worker that cannot start (a Content-Security-Policy without blob: workers) leaves the page
  // without a connection; say so instead of "Connecting…" for ever.
  relay.addEventListener('error', (event) => {
    event.preventDefault();
    wanted = false;
    conn = null;
    clearTimeout(retryTimer);
    addEntry('event', `The page cannot run its connection worker: ${event.message || 'blocked by the browser'}`);
    setState('closed', 'Cannot connect: the connection worker did not start');
  });

  // ---- connection -------------------------------------------------------------------------

  // States: connecting, open, silent (connected, but a request went unanswered), rebooting,
  // closed (with or without a retry on the way), login (the front end wants a new login).
  function setState(state, text) {
    els.status.dataset.state = state;
    els.statusText.textContent = text;
    document.body.dataset.connection = state;
    const live = state === 'open' || state === 'silent' || state === 'rebooting' || state === 'connecting';
    els.toggle.textContent = state === 'login' ? 'Reload and log in' :
      live ? 'Disconnect' : wanted ? 'Reconnect now' : 'Connect';
    // A device that does not answer may still be sent requests: QA checks that too.
    els.send.disabled = state !== 'open' && state !== 'silent' && state !== 'rebooting';
    els.refresh.disabled = els.send.disabled;
  }

  function connect() {
    clearTimeout(retryTimer);
    clearInterval(countdownTimer);
    wanted = true;
    setState('connecting', attempt ? `Connecting… (attempt ${attempt + 1})` : 'Connecting…');
    conn = { id: nextConnId++, open: false, rebooting: false };
    relay.postMessage({ op: 'open', id: conn.id, url: apiUrl });
  }

  const onRelay = {
    open(c) {
      c.open = true;
      setState('open', 'Connected');
      addEntry('event', `Connected to ${apiUrl}`);
      stableTimer = setTimeout(() => { attempt = 0; }, STABLE_MS);
      // Whatever the table showed may have changed while the page was away (the service may
      // even have been restarted): load it afresh.
      setValuesState('loading');
      sendRequest('{"command":"get_values"}');
    },
    sent(c, { seq, at }) {
      const entry = replies.waiting.find((p) => p.seq === seq);
      if (entry) entry.sentAt = at;
    },
    message(c, { text, at }) {
      receive(text, at);
    },
    close(c, { code, reason, at }) {
      conn = null;
      clearTimeout(stableTimer);
      dropPending();
      if (valuesState === 'current') currentUntil = new Date(at);
      if (c.open) {
        const why = code === 1006 ? 'connection lost' :
          `closed with status ${code}${reason ? ` (${reason})` : ''}`;
        addEntry('event', `Disconnected: ${why}`);
      } else if (wanted) {
        // The browser does not say why (no service behind the front end, not logged in, a
        // refused origin, too many tunnels): all look the same to a page.
        addEntry('event', `Could not connect to ${apiUrl}`);
      } else {
        addEntry('event', 'Connection attempt stopped');
      }
      setValuesState(loadedAt ? 'stale' : 'empty', 'not connected');
      if (!wanted) setState('closed', 'Disconnected');
      else if (c.open) scheduleReconnect('Disconnected');
      else {
        scheduleReconnect('Could not connect');
        checkLogin();
      }
    },
    invalid(c, { message }) {
      conn = null;
      addEntry('event', `Cannot connect to ${apiUrl}: ${message}`);
      scheduleReconnect('Could not connect');
    },
  };

  // A browser does not tell a page why its WebSocket was refused. A login the front end no longer
  // takes (a new password, say) is the one cause that retrying cannot cure, and the page itself
  // shows it: fetched again with the same stored login, it is refused with 401 too. Runs beside
  // the retry it then calls off. Resolves true when that is so (and says what to do).
  async function checkLogin() {
    if (new URL(apiUrl, location.href).host !== location.host) return false;
    let status = 0;
    try {
      status = (await fetch(location.href, { method: 'HEAD', cache: 'no-store' })).status;
    } catch (e) {
      return false;
    }
    if (status !== 401 || !wanted || conn) return false;
    clearTimeout(retryTimer);
    clearInterval(countdownTimer);
    addEntry('event', 'Could not connect: the front end asks for a login (401 Unauthorized). ' +
      'Reload the page to log in again; retrying with the old login cannot succeed.');
    setState('login', 'Login needed — reload the page (or press "Reload and log in") to log in again');
    return true;
  }

  function scheduleReconnect(what) {
    // Exponential back-off with jitter: 0.5 s, 1 s, 2 s, 4 s, then 5 s (4 to 5 s) at most.
    const base = BACKOFF_FIRST_MS * 2 ** Math.min(attempt, 10);
    const wait = Math.min(BACKOFF_MAX_MS, Math.round(base * (0.8 + Math.random() * 0.4)));
    attempt += 1;
    const due = Date.now() + wait;
    const show = () => {
      const left = Math.max(0, Math.ceil((due - Date.now()) / 1000));
      setState('closed', `${what} — retrying in ${left} s`);
    };
    show();
    countdownTimer = setInterval(show, 250);
    retryTimer = setTimeout(connect, wait);
  }

  function disconnect() {
    wanted = false;
    clearTimeout(retryTimer);
    clearInterval(countdownTimer);
    if (conn) {
      // Always with a status code: a close frame without one is answered with status 0,
      // which browsers reject as a broken close frame.
      relay.postMessage({ op: 'close', id: conn.id, code: 1000, reason: 'closed by user' });
    } else {
      setState('closed', 'Disconnected');
    }
  }

  els.toggle.addEventListener('click', () => {
    if (els.status.dataset.state === 'login') {
      location.reload();
    } else if (conn) {
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

  function sendRequest(text) {
    if (!conn || !conn.open) return false;
    const command = KorvaReplies.commandOf(text);
    if (command === 'reboot' &&
        !window.confirm('Reboot the device? The service answers no further requests until it is restarted.')) {
      return false;
    }
    const entry = replies.add({ seq: nextSeq++, command, sentAt: null, timer: null, late: false });
    const rebooting = conn.rebooting;
    entry.timer = setTimeout(() => {
      entry.late = true;
      const what = command || 'the request';
      addEntry('event', `No reply within ${REPLY_WAIT_MS / 1000} s to ${what}: the device is not answering` +
        (rebooting || command === 'reboot' || replies.waiting.some((p) => p.command === 'reboot')
          ? ' (after a reboot the service answers nothing until it is restarted)'
          : ' (a device that is rebooting answers nothing until the service is restarted)'));
      if (!conn || !conn.open || conn.rebooting) return;
      setState('silent', `Device not answering — no reply within ${REPLY_WAIT_MS / 1000} s to ${what}`);
      if (valuesState === 'current') currentUntil = new Date(entry.sentAt ?? Date.now());
      if (valuesState !== 'empty') setValuesState('stale', 'the device is not answering');
    }, REPLY_WAIT_MS);
    relay.postMessage({ op: 'send', id: conn.id, seq: entry.seq, text });
    addEntry('request', text);
    return true;
  }

  function dropPending() {
    for (const entry of replies.clear()) clearTimeout(entry.timer);
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

  // at: when the relay received the text, on the clock of its 'sent' times.
  function receive(text, at) {
    let message = null;
    try {
      message = JSON.parse(text);
    } catch (e) {
      // Not JSON: shown as it came.
    }
    const { kind, request: answered } = replies.sort(message);
    let latency = null;
    let failed = false;
    let rebooting = false;
    if (kind === 'reply') {
      // The device answers again: reload the values it may have changed meanwhile.
      if (conn.open && !conn.rebooting && els.status.dataset.state === 'silent') {
        setState('open', 'Connected');
        addEntry('event', 'The device answers again');
        if (answered.command !== 'get_values') setTimeout(() => sendRequest('{"command":"get_values"}'));
      }
      clearTimeout(answered.timer);
      if (answered.sentAt !== null) latency = at - answered.sentAt;
      failed = message.status === 'error';
      rebooting = !failed && (message.status === 'rebooting' || answered.command === 'reboot');
      if (failed && answered.command === 'get_values' && valuesState === 'loading') {
        setValuesState('stale', 'get_values failed');
      }
    }
    noteValues(kind, message, at);
    addEntry(kind, text, { latency, failed });
    if (rebooting) {
      deviceRebooting('The device is rebooting', at);
      if (tabs) tabs.postMessage({ rebooting: apiUrl });
    }
  }

  // The device took a reboot request (from this tab, or one another tab saw): the service now
  // drops every request until it is restarted, and the device's values are about to change under
  // the table.
  function deviceRebooting(what, at) {
    if (!conn || !conn.open || conn.rebooting) return;
    conn.rebooting = true;
    setState('rebooting', 'Device rebooting — no replies until the service restarts');
    addEntry('event', `${what}: the service answers no further requests until it is restarted`);
    if (valuesState === 'current') currentUntil = new Date(at);
    if (valuesState !== 'empty') setValuesState('stale', 'the device is rebooting');
  }
  if (tabs) {
    tabs.onmessage = ({ data }) => {
      if (data && data.rebooting === apiUrl) deviceRebooting('Another tab of the console saw the device take a reboot request', Date.now());
    };
  }

  // ---- device values ----------------------------------------------------------------------

  function noteValue(v) {
    if (!v || typeof v !== 'object' || !('value' in v) || !Number.isInteger(v.id)) return;
    const group = Number.isInteger(v.group) ? v.group : 0;
    const index = Number.isInteger(v.index) ? v.index : 0;
    values.set(`${group}/${v.id}/${index}`, { group, id: v.id, index, value: v.value });
  }

  // at: when the message came. The table is current only while this connection keeps it so.
  function noteValues(kind, message, at) {
    if (!message || typeof message !== 'object') return;
    if (kind === 'reply' && message.command === 'get_values' && Array.isArray(message.values)) {
      values.clear();
      message.values.forEach(noteValue);
      loadedAt = new Date(at);
      changedAt = loadedAt;
      if (!conn.rebooting && els.status.dataset.state !== 'silent') setValuesState('current');
    } else if (kind === 'reply' && message.command === 'set_value' && message.status === 'ok') {
      noteValue(message);
    } else if (kind === 'notification' && message.notification === 'value_changed') {
      noteValue(message);
    } else if (kind === 'push') {
      noteValue(message);
    } else {
      return;
    }
    changedAt = new Date(at);
    if (valuesState === 'stale' && currentUntil < changedAt) currentUntil = changedAt;
    setValuesState(valuesState, valuesWhy);
    renderValues();
  }

  // The table's standing, shown above it and as data-state on its section:
  //   empty    nothing loaded yet;
  //   loading  a get_values request of this connection is on its way (rows shown are old);
  //   current  loaded on this connection, kept up to date by replies, notifications, pushes;
  //   stale    why, given: not connected, the device rebooting or not answering.
  // The time a stale table gives is when it stopped being kept up to date (or its last change,
  // if that came later): every value shown was the device's at that time.
  let valuesWhy = '';

  function setValuesState(state, why = '') {
    valuesState = state;
    valuesWhy = why;
    if (state === 'current') currentUntil = null;
    els.values.dataset.state = state;
    const asOf = currentUntil ?? changedAt;
    const at = asOf ? timeText(asOf) : '';
    els.valuesState.textContent = {
      empty: () => 'No values loaded yet.',
      loading: () => `Loading the device's values…${at ? ` Showing them as of ${at}.` : ''}`,
      current: () => `Loaded at ${timeText(loadedAt)}, kept up to date by replies, notifications and pushed values` +
        (changedAt > loadedAt ? ` (last change ${timeText(changedAt)}).` : '.'),
      stale: () => `Out of date: ${why}.${at ? ` Showing the values as of ${at}.` : ''}`,
    }[state]();
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

  // latency: milliseconds from sending the request to its reply; failed: an error reply.
  function addEntry(kind, text, { latency = null, failed = false } = {}) {
    const now = new Date();
    const li = document.createElement('li');
    li.className = `entry kind-${kind}${failed ? ' failed' : ''}`;
    li.dataset.kind = kind;
    if (failed) li.dataset.status = 'error';
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
    if (failed) {
      const error = document.createElement('span');
      error.className = 'badge error';
      error.textContent = 'error';
      meta.append(error);
    }
    if (latency !== null) {
      const took = document.createElement('span');
      took.className = 'took';
      took.title = 'from sending the request to its reply';
      took.textContent = `${latency < 10 ? latency.toFixed(1) : Math.round(latency)} ms`;
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
  setValuesState('empty');
  connect();
})();
