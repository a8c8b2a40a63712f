'use strict';
// The web console in headless Chromium, through nginx with the reference configuration, against
// korva-server with the simulated device, the minimal client page beside it, and a page of a web
// UI developer's own served from another folder (stack.js's pages). The browser is logged in to
// nginx as the stack's user.
//   node --test-concurrency=1 --test tests/clients/browser_test.js
// KORVA_SERVER_BINARY names the service binary; KORVA_SCREENSHOTS the folder for the screenshots
// of the console's states (console-<state>.png).

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');
const WebSocket = require('ws');
const { startService, startNginx, waitForListener, delay } = require('./stack');

const CHROMIUM = process.env.KORVA_CHROMIUM || '/usr/bin/chromium';
const SCREENSHOTS = process.env.KORVA_SCREENSHOTS || os.tmpdir();
// The value-change monitor looks every 10 seconds; a push may take that long, plus slack.
const PUSH_WAIT_MS = 15000;

let service;
let nginx;
let context;
let profile;
let pageA;
let pageB;
let foreign;
let example;
let pages;
const pageErrors = [];

function screenshot(page, name) {
  fs.mkdirSync(SCREENSHOTS, { recursive: true });
  return page.screenshot({ path: path.join(SCREENSHOTS, `${name}.png`), fullPage: false });
}

// The values table's line, and the time it gives ("as of HH:MM:SS.mmm").
async function valuesAsOf(page) {
  const line = await page.textContent('#values-state');
  return { line, at: /as of (\d\d:\d\d:\d\d\.\d\d\d)/.exec(line)?.[1] ?? null };
}

async function openConsole() {
  const page = await context.newPage();
  page.on('pageerror', (e) => pageErrors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') pageErrors.push(m.text()); });
  await page.goto(nginx.url);
  await waitConnected(page);
  return page;
}

function waitConnected(page, timeout = 10000) {
  return page.waitForSelector('#status[data-state="open"]', { timeout });
}

// Picks a command in the form, lets the caller fill fields, and presses "Send request".
async function sendFromForm(page, command, fill = async () => {}) {
  await page.selectOption('#command', command);
  await fill();
  const text = await page.inputValue('#request-text');
  await page.click('#send');
  return text;
}

// The number of entries in the log so far (the log lists the newest first).
function logLength(page) {
  return page.$$eval('#log li', (items) => items.length);
}

// Resolves with the raw text of the newest log entry of this kind that satisfies match, among
// those that came after the first `since` entries.
async function waitEntry(page, kind, match, { since = 0, timeout = 10000 } = {}) {
  const handle = await page.waitForFunction(({ kind, source, since }) => {
    const test = new Function('raw', `return (${source})(raw);`);
    const items = [...document.querySelectorAll('#log li')];
    for (const li of items.slice(0, items.length - since)) {
      const pre = li.querySelector('pre');
      if (li.dataset.kind === kind && pre && test(pre.dataset.raw)) return pre.dataset.raw;
    }
    return null;
  }, { kind, source: match.toString(), since }, { timeout, polling: 50 });
  return handle.jsonValue();
}

function kindsOf(page) {
  return page.$$eval('#log li', (items) => items.map((li) => ({
    kind: li.dataset.kind, raw: li.querySelector('pre')?.dataset.raw ?? li.textContent,
  })));
}

// The texts of the connection events in the log, oldest first.
function eventsOf(page) {
  return page.$$eval('#log li[data-kind="event"] .text', (items) => items.map((p) => p.textContent).reverse());
}

// The values table as "group/id/index=value" texts.
function valuesOf(page) {
  return page.$$eval('#values-body tr:not(.empty)', (rows) => rows.map((tr) => {
    const cells = [...tr.querySelectorAll('td')].map((td) => td.textContent);
    return `${cells[0]}/${cells[1]}/${cells[2]}=${cells[3]}`;
  }));
}

// A site of another origin (another port on the same host), whose page tries to drive the device
// through nginx the moment it is opened, and reports in window.outcome how that went.
function startForeignSite(apiUrl) {
  const page = `<!doctype html><title>another site</title><script>
    window.outcome = null;
    let opened = false;
    const ws = new WebSocket(${JSON.stringify(apiUrl)});
    ws.onopen = () => {
      opened = true;
      ws.send('{"command":"set_value","id":2,"value":-666}');
      ws.send('{"command":"reboot"}');
      setTimeout(() => ws.close(1000), 2000);
    };
    ws.onclose = (e) => { window.outcome = { opened, code: e.code }; };
  </script>`;
  const server = http.createServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    response.end(page);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve({
    url: `http://127.0.0.1:${server.address().port}/`,
    stop: () => new Promise((done) => { server.closeAllConnections(); server.close(done); }),
  })));
}

before(async () => {
  // A web UI developer's own page, which loads the minimal client from the console's folder.
  pages = fs.mkdtempSync(path.join(os.tmpdir(), 'korva-pages-'));
  fs.writeFileSync(path.join(pages, 'index.html'),
    '<!doctype html><title>a page of its own</title><script src="/korva-client.js"></script>\n');
  service = await startService();
  nginx = await startNginx(0, {}, { pages });
  profile = fs.mkdtempSync(path.join(os.tmpdir(), 'korva-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1280, height: 860 },
    // What the user types into the browser's login dialog when nginx asks.
    httpCredentials: { username: nginx.user, password: nginx.password, origin: nginx.url.replace(/\/$/, '') },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  if (context) await context.close();
  if (foreign) await foreign.stop();
  if (nginx) await nginx.stop('SIGTERM');
  if (service) await service.stop();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
  if (pages) fs.rmSync(pages, { recursive: true, force: true });
});

test('the page loads through nginx, connects, loads the values, and its connection record carries the browser address from X-Real-IP', async () => {
  const offset = service.output.length;
  pageA = await openConsole();
  assert.equal(await pageA.textContent('#endpoint'), `ws://127.0.0.1:${nginx.port}/api`);
  await pageA.waitForSelector('#values[data-state="current"]');
  assert.equal((await valuesOf(pageA)).length, 5);
  assert.deepEqual((await kindsOf(pageA)).filter((e) => e.kind === 'request').map((e) => e.raw),
                   ['{"command":"get_values"}']);
  const record = await service.waitFor(
    /Server: Opened connection (0x[0-9a-f]+)\n {4}ip: {22}(.*)\n[^]*?connection header:\n((?: {8}.*\n)+)/, 5000, offset);
  assert.equal(record[2], '127.0.0.1', 'ip entry of the connection record');
  const headers = record[3];
  assert.match(headers, /^ {8}X-Real-IP: 127\.0\.0\.1$/m);
  assert.match(headers, /^ {8}X-Forwarded-For: 127\.0\.0\.1$/m);
  assert.match(headers, /^ {8}User-Agent: .*Chrome/m);
});

test('nginx replaces a forwarding address that the client made up', async () => {
  const offset = service.output.length;
  const ws = new WebSocket(`ws://127.0.0.1:${nginx.port}/api`, {
    headers: { Authorization: nginx.authorization, 'X-Real-IP': '203.0.113.9', 'X-Forwarded-For': '203.0.113.9' },
  });
  await new Promise((resolve, reject) => { ws.once('open', resolve); ws.once('error', reject); });
  const record = await service.waitFor(/Server: Opened connection 0x[0-9a-f]+\n {4}ip: {22}(.*)\n/, 5000, offset);
  assert.equal(record[1], '127.0.0.1');
  assert.doesNotMatch(service.output.slice(offset), /203\.0\.113\.9/);
  await new Promise((resolve) => { ws.once('close', resolve); ws.close(1000); });
});

test('echo, set_value and get_values from the form get their replies', async () => {
  const echo = await sendFromForm(pageA, 'echo', () => pageA.fill('#echo-text', 'hello from the browser ✓'));
  assert.equal(echo, '{"command":"echo","text":"hello from the browser ✓"}');
  assert.equal(await waitEntry(pageA, 'reply', (raw) => raw.includes('hello from the browser')), echo);

  pageB = await openConsole();

  const set = await sendFromForm(pageA, 'set_value', async () => {
    await pageA.fill('#sv-id', '2');
    await pageA.selectOption('#sv-type', 'number');
    await pageA.fill('#sv-value', '1500');
  });
  assert.equal(set, '{"command":"set_value","id":2,"value":1500}');
  const reply = await waitEntry(pageA, 'reply', (raw) => raw.includes('"set_value"'));
  assert.deepEqual(JSON.parse(reply), { command: 'set_value', status: 'ok', group: 0, id: 2, index: 0, value: 1500 });

  const since = await logLength(pageA);
  await sendFromForm(pageA, 'get_values');
  const values = JSON.parse(await waitEntry(pageA, 'reply', (raw) => raw.includes('"get_values"'), { since }));
  assert.equal(values.status, 'ok');
  assert.deepEqual(values.values.find((v) => v.group === 0 && v.id === 2 && v.index === 0),
                   { group: 0, id: 2, index: 0, value: 1500 });
  assert.equal(values.values.length, 5);
  await pageA.waitForFunction(() => [...document.querySelectorAll('#values-body tr')]
    .some((tr) => tr.textContent.replace(/\s+/g, '') === '0201500'));
});

test('the second page gets the notification, and both pages get the monitor push', async () => {
  const note = await waitEntry(pageB, 'notification', (raw) => raw.includes('value_changed'));
  assert.deepEqual(JSON.parse(note), { notification: 'value_changed', group: 0, id: 2, index: 0, value: 1500 });
  const expected = { group: 0, id: 2, index: 0, value: 1500 };
  for (const page of [pageA, pageB]) {
    const push = await waitEntry(page, 'push', (raw) => raw.includes('"value":1500'), { timeout: PUSH_WAIT_MS });
    assert.deepEqual(JSON.parse(push), expected);
  }
  // The page that made the change gets its reply, not a notification of its own change.
  const kinds = await kindsOf(pageA);
  assert.equal(kinds.filter((e) => e.kind === 'notification').length, 0);
  assert.equal(kinds.filter((e) => e.kind === 'reply').length, 4, 'get_values on connecting, echo, set_value, get_values');
  await screenshot(pageA, 'console-connected');
});

test('an error reply is shown as an error, and the time shown is the reply\'s, not the page\'s', async () => {
  await sendFromForm(pageA, 'custom', () => pageA.fill('#request-text', '{"command":"no_such_command"}'));
  await waitEntry(pageA, 'reply', (raw) => raw.includes('"error"'));
  const marks = await pageA.$$eval('#log li[data-kind="reply"]', (items) => items.map((li) => ({
    raw: li.querySelector('pre').dataset.raw, status: li.dataset.status ?? null, badge: !!li.querySelector('.badge.error'),
  })));
  assert.equal(JSON.parse(marks[0].raw).status, 'error');
  assert.deepEqual([marks[0].status, marks[0].badge], ['error', true]);
  assert.ok(marks.slice(1).every((m) => m.status === null && !m.badge), 'only the error reply is marked');

  // The page's thread is busy for a second right after sending (as when it draws a long log);
  // the reply comes meanwhile, and that second is not the device's.
  await pageA.selectOption('#command', 'echo');
  const since = await logLength(pageA);
  await pageA.evaluate(() => {
    document.getElementById('send').click();
    const end = performance.now() + 1000;
    while (performance.now() < end) { /* busy */ }
  });
  await waitEntry(pageA, 'reply', (raw) => raw.startsWith('{"command":"echo"'), { since });
  const took = await pageA.textContent('#log li[data-kind="reply"] .took');
  assert.match(took, /^\d+(\.\d)? ms$/);
  assert.ok(parseFloat(took) < 500, `reply time shown: ${took}`);
});

test('the minimal client page connects, sends a request and gets its reply', async () => {
  example = await context.newPage();
  example.on('pageerror', (e) => pageErrors.push(e.message));
  await example.goto(`${nginx.url}example.html`);
  await example.waitForSelector('#state:text-is("open")');
  await example.click('#info');
  await example.waitForFunction(() => document.getElementById('reply').textContent.includes('"status"'));
  const reply = JSON.parse(await example.textContent('#reply'));
  assert.equal(reply.command, 'get_info');
  assert.equal(reply.status, 'ok');
  await screenshot(example, 'example-page');
});

test('the page shows the outage, marks the values out of date as of when they last were, and reloads them when the service is restarted', async () => {
  // A change another tab makes just before the outage: the table has it, and the time it gives
  // once out of date is not earlier than the change.
  const since = await logLength(pageA);
  await sendFromForm(pageB, 'set_value', async () => {
    await pageB.fill('#sv-id', '3');
    await pageB.fill('#sv-value', '77');
  });
  await waitEntry(pageA, 'notification', (raw) => raw.includes('"value":77'), { since });
  const changed = await pageA.textContent('#log li[data-kind="notification"] time');
  assert.ok((await valuesOf(pageA)).includes('0/3/0=77'));
  assert.ok((await valuesOf(pageA)).includes('0/2/0=1500'));
  const eventsBefore = (await eventsOf(pageA)).length;
  await service.stop('SIGKILL');
  await pageA.waitForSelector('#status[data-state="closed"]', { timeout: 5000 });
  assert.match(await pageA.textContent('#status-text'), /Disconnected/);
  assert.equal(await pageA.getAttribute('#values', 'data-state'), 'stale');
  const stale = await valuesAsOf(pageA);
  assert.match(stale.line, /^Out of date: not connected\. Showing the values as of /);
  assert.ok(stale.at >= changed, `values shown as of ${stale.at}, changed at ${changed}`);
  // Attempts while the service is down never connect, and say so.
  await pageA.waitForFunction(() => [...document.querySelectorAll('#log li[data-kind="event"] .text')]
    .some((p) => p.textContent.startsWith('Could not connect')), null, { timeout: 10000 });
  await pageA.waitForSelector('#status-text:text-matches("^Could not connect — retrying")', { timeout: 5000 });
  const outage = (await eventsOf(pageA)).slice(eventsBefore);
  assert.equal(outage[0], 'Disconnected: connection lost');
  assert.ok(outage.slice(1).every((text) => text === `Could not connect to ws://127.0.0.1:${nginx.port}/api`), outage.join('\n'));
  await screenshot(pageA, 'console-disconnected');
  // Down long enough for the back-off to reach its longest wait (0.5 + 1 + 2 + 4 s), the page is
  // back within that wait (5 s, give or take a fifth) of the service.
  await pageA.waitForFunction(() => [...document.querySelectorAll('#log li[data-kind="event"] .text')]
    .filter((p) => p.textContent.startsWith('Could not connect')).length >= 4, null, { timeout: 20000 });

  const offset = 0;
  service = await startService();
  const back = Date.now();
  await waitConnected(pageA, 15000);
  const reconnected = Date.now() - back;
  console.log(`the console reconnected ${reconnected} ms after the service was back`);
  assert.ok(reconnected < 6500, `reconnected after ${reconnected} ms`);
  await waitConnected(pageB, 15000);
  await example.waitForSelector('#state:text-is("open")', { timeout: 15000 });
  // The restarted device starts from its own values: the table shows those, not the old 1500.
  await pageA.waitForSelector('#values[data-state="current"]');
  const fresh = await valuesOf(pageA);
  assert.equal(fresh.length, 5);
  assert.ok(fresh.some((v) => v.startsWith('0/2/0=')) && !fresh.includes('0/2/0=1500'), fresh.join(' '));
  const record = await service.waitFor(/Server: Opened connection 0x[0-9a-f]+\n {4}ip: {22}(.*)\n/, 5000, offset);
  assert.equal(record[1], '127.0.0.1');
  const info = await sendFromForm(pageA, 'get_info');
  assert.equal(info, '{"command":"get_info"}');
  const reply = JSON.parse(await waitEntry(pageA, 'reply', (raw) => raw.includes('"get_info"')));
  assert.equal(reply.status, 'ok');
  assert.equal(reply.client, '127.0.0.1');
  assert.equal(reply.uptime < 60, true);
  // The minimal client reconnected too, and its requests are answered on the new connection.
  await example.evaluate(() => { document.getElementById('reply').textContent = ''; });
  await example.click('#info');
  await example.waitForFunction(() => document.getElementById('reply').textContent.includes('"status"'));
  assert.equal(JSON.parse(await example.textContent('#reply')).status, 'ok');
});

// Stops nginx as a crash or a restart would, waits until it is gone and the page has seen its
// connection end, and starts it again on the same port, with this password or a new one.
async function restartNginx(password) {
  const events = (await eventsOf(pageA)).length;
  await nginx.stop('SIGTERM');
  await waitForListener(nginx.port, 5000, false);
  await pageA.waitForFunction((n) => document.querySelectorAll('#log li[data-kind="event"]').length > n,
    events, { timeout: 15000 });
  nginx = await startNginx(nginx.port, {}, { password, pages });
}

test('a front end restarted with the same login: the page reconnects by itself', async () => {
  await restartNginx(nginx.password);
  for (const page of [pageA, pageB]) {
    await waitConnected(page, 15000);
    await page.waitForSelector('#values[data-state="current"]');
  }
});

test('what the browser makes of a close without status code and of a subprotocol request', async () => {
  const seen = await pageB.evaluate(async () => {
    const attempt = (protocols, closeArgs) => new Promise((resolve) => {
      const ws = new WebSocket(`ws://${location.host}/api`, protocols);
      ws.onopen = () => ws.close(...closeArgs);
      ws.onclose = (e) => resolve({ code: e.code, clean: e.wasClean });
    });
    return { noCode: await attempt([], []), subprotocol: await attempt(['korva'], [1000]) };
  });
  // The service answers an empty close frame with an empty one: Chromium reports 1005 (no status
  // received), a clean close.
  assert.deepEqual(seen.noCode, { code: 1005, clean: true });
  // The service answers no subprotocol, so a page that asks for one cannot connect.
  assert.deepEqual(seen.subprotocol, { code: 1006, clean: false });
  // Chromium offers permessage-deflate through nginx, and the service agrees; a small request and
  // one of 1 MiB come back exactly (the first compressed, the second above the compressed range).
  const deflate = await pageB.evaluate(() => new Promise((resolve) => {
    const ws = new WebSocket(`ws://${location.host}/api`);
    const small = '{"command":"echo","pad":"' + 'value '.repeat(100) + '"}';
    const big = '{"command":"echo","pad":"' + 'abc'.repeat(350000) + '"}';
    const replies = [];
    ws.onopen = () => { ws.send(small); ws.send(big); };
    ws.onmessage = (e) => {
      if (!e.data.startsWith('{"command":"echo"')) return; // a push or a notification
      replies.push(e.data === (replies.length === 0 ? small : big));
      if (replies.length === 2) {
        resolve({ extensions: ws.extensions, replies });
        ws.close(1000);
      }
    };
  }));
  assert.equal(deflate.extensions, 'permessage-deflate; server_no_context_takeover; client_no_context_takeover; ' +
                                   'client_max_window_bits=12');
  assert.deepEqual(deflate.replies, [true, true]);
});

test('a page of another origin cannot reach the device, even in the browser of a logged-in user', async () => {
  const offset = service.output.length;
  foreign = await startForeignSite(`ws://127.0.0.1:${nginx.port}/api?from=another-origin`);
  const page = await context.newPage();
  await page.goto(foreign.url);
  const outcome = await (await page.waitForFunction(() => window.outcome, null, { timeout: 10000 })).jsonValue();
  assert.deepEqual(outcome, { opened: false, code: 1006 });
  await page.close();
  // The browser sent the logged-in user's credentials along, and nginx refused the page for its
  // origin (403; a missing login would have been 401).
  const deadline = Date.now() + 5000;
  let refused = null;
  while (!refused && Date.now() < deadline) {
    refused = /^\S+ - (\S+) \[[^\]]*\] "GET \/api\?from=another-origin HTTP\/1\.1" (\d+) /m.exec(nginx.accessLog());
    if (!refused) await new Promise((resolve) => setTimeout(resolve, 50));
  }
  assert.deepEqual(refused?.slice(1), [nginx.user, '403']);

  // The console of nginx's own origin still gets through; its request is the only one the
  // device has seen since.
  const since = await logLength(pageA);
  await sendFromForm(pageA, 'get_info');
  await waitEntry(pageA, 'reply', (raw) => raw.includes('"get_info"'), { since });
  await service.waitFor(/Received command: get_info/, 5000, offset);
  const seen = service.output.slice(offset);
  assert.deepEqual(seen.match(/Received command: .*/g), ['Received command: get_info"}']);
  assert.doesNotMatch(seen, /from=another-origin/);
});

test('after a reboot reply the page says the device is rebooting, at once, and so do the other tabs; a page that cannot hear of it says the device is not answering', async () => {
  // A page that does not hear from the other tabs, as one in another browser.
  const pageC = await context.newPage();
  pageC.on('pageerror', (e) => pageErrors.push(e.message));
  await pageC.addInitScript(() => { delete window.BroadcastChannel; });
  await pageC.goto(nginx.url);
  await waitConnected(pageC);
  await pageC.waitForSelector('#values[data-state="current"]');

  pageA.once('dialog', (dialog) => dialog.accept());
  await sendFromForm(pageA, 'reboot');
  await waitEntry(pageA, 'reply', (raw) => raw.includes('"rebooting"'));
  assert.equal(await pageA.getAttribute('#status', 'data-state'), 'rebooting');
  assert.match(await pageA.textContent('#status-text'), /^Device rebooting/);
  assert.equal(await pageA.getAttribute('#values', 'data-state'), 'stale');
  assert.match(await pageA.textContent('#values-state'), /the device is rebooting/);
  await screenshot(pageA, 'console-rebooting');

  await pageB.waitForSelector('#status[data-state="rebooting"]', { timeout: 5000 });
  assert.equal(await pageB.getAttribute('#values', 'data-state'), 'stale');
  assert.ok((await eventsOf(pageB)).some((text) => text.startsWith('Another tab of the console saw the device take a reboot request')));
  await screenshot(pageB, 'console-rebooting-other-tab');

  assert.equal(await pageC.getAttribute('#status', 'data-state'), 'open');
  await sendFromForm(pageC, 'get_info');
  await pageC.waitForSelector('#status[data-state="silent"]', { timeout: 15000 });
  assert.equal(await pageC.textContent('#status-text'), 'Device not answering — no reply within 10 s to get_info');
  assert.equal(await pageC.getAttribute('#values', 'data-state'), 'stale');
  assert.match(await pageC.textContent('#values-state'), /^Out of date: the device is not answering\. Showing the values as of /);
  assert.match((await eventsOf(pageC)).at(-1), /^No reply within 10 s to get_info: the device is not answering/);
  await screenshot(pageC, 'console-not-answering');
  await pageC.close();
});

test('a page of its own beside the console, against a device slower than the client waits: a request that timed out keeps its place, and its late reply goes to no other request', async () => {
  // The device takes 1.5 s over each request; the client gives up on a reply after 1 s.
  await service.stop();
  service = await startService({ KORVA_SIM_REQUEST_DELAY_MS: '1500' });
  // The consoles' own get_values on reconnecting go first, and are out of the way.
  for (const page of [pageA, pageB]) {
    await waitConnected(page, 15000);
    await page.waitForSelector('#values[data-state="current"]', { timeout: 15000 });
  }
  const own = await context.newPage();
  own.on('pageerror', (e) => pageErrors.push(e.message));
  await own.goto(`${nginx.url}pages/`);
  const seen = await own.evaluate(async () => {
    const other = [];
    const device = await new Promise((resolve) => {
      const client = new KorvaClient({
        replyTimeoutMs: 1000,
        onState: (state) => { if (state === 'open') resolve(client); },
        onMessage: (message, kind) => other.push({ kind, message }),
      });
    });
    const settle = (promise) => promise.then((reply) => ({ reply }), (e) => ({ error: e.message }));
    // Each is sent once the one before has been rejected: get_info's reply comes while get_values
    // waits, and get_values' while echo does.
    const info = await settle(device.request({ command: 'get_info' }));
    const values = await settle(device.request({ command: 'get_values' }));
    device.replyTimeoutMs = 10000;
    const echo = await settle(device.request({ command: 'echo', n: 3 }));
    device.close();
    return { info, values, echo, other };
  });
  await own.close();
  assert.match(seen.info.error ?? '', /^no reply within 1000 ms/, JSON.stringify(seen.info));
  assert.match(seen.values.error ?? '', /^no reply within 1000 ms/, JSON.stringify(seen.values));
  assert.deepEqual(seen.echo, { reply: { command: 'echo', n: 3 } });
  assert.deepEqual(seen.other, [], 'the late replies were taken for notifications or pushes');
});

test('a front end restarted with a new password: the page says a login is needed, and how', async () => {
  await restartNginx();
  await pageA.waitForSelector('#status[data-state="login"]', { timeout: 15000 });
  assert.match(await pageA.textContent('#status-text'), /^Login needed — reload the page/);
  assert.equal(await pageA.textContent('#connect-toggle'), 'Reload and log in');
  assert.match((await eventsOf(pageA)).at(-1), /front end asks for a login \(401 Unauthorized\)\. Reload the page to log in again/);
  await screenshot(pageA, 'console-login-needed');
  // It stops retrying: the old login cannot succeed.
  const attempts = (await eventsOf(pageA)).length;
  await delay(6000);
  assert.equal((await eventsOf(pageA)).length, attempts);
});

test('no script errors on the pages', () => {
  // The browser reports the failed connection attempts while the service, nginx or the login was
  // missing, and the looks at the page (for a refused login) that failed meanwhile; nothing else.
  const unexpected = pageErrors.filter((e) => !/WebSocket connection to .* failed/.test(e) &&
    !/Failed to load resource: (the server responded with a status of 401|net::ERR_CONNECTION_REFUSED)/.test(e));
  assert.deepEqual(unexpected, []);
});
