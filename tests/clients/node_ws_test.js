'use strict';
// Interoperability of korva-server with Node's ws library, talking to 127.0.0.1:8888 directly:
//   KORVA_SERVER_BINARY=build/service/korva-server node --test-concurrency=1 --test tests/clients/node_ws_test.js

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { once } = require('node:events');
const WebSocket = require('ws');
const { startService } = require('./stack');

const URL = 'ws://127.0.0.1:8888/api';
let service;

before(async () => { service = await startService(); });
after(async () => { if (service) await service.stop(); });

// Opens a connection with a made-up client address, which names it in the service log.
async function connect(address, options = {}) {
  const ws = new WebSocket(URL, { headers: { 'X-Real-IP': address }, maxPayload: 0, ...options });
  const upgraded = once(ws, 'upgrade');
  const opened = once(ws, 'open');
  await Promise.race([opened, once(ws, 'error').then(([e]) => { throw e; })]);
  [ws.response] = await upgraded;
  // Requests are answered in order; notifications and pushed values are set aside.
  ws.replies = [];
  ws.notes = [];
  ws.waiting = [];
  ws.on('message', (data, isBinary) => {
    assert.equal(isBinary, false);
    const text = data.toString();
    if (text.startsWith('{"notification"')) ws.notes.push(JSON.parse(text));
    else if (!text.startsWith('{"group"')) ws.replies.push(text);
    ws.waiting = ws.waiting.filter((check) => !check());
  });
  return ws;
}

// Resolves when condition() holds, checked after every message (at most timeoutMs).
function until(ws, condition, timeoutMs = 10000) {
  return new Promise((resolve, reject) => {
    if (condition()) return resolve();
    const timer = setTimeout(() => reject(new Error('timed out waiting for messages')), timeoutMs);
    ws.waiting.push(() => {
      if (!condition()) return false;
      clearTimeout(timer);
      resolve();
      return true;
    });
  });
}

async function request(ws, text, options = {}) {
  const before = ws.replies.length;
  ws.send(text, options);
  await until(ws, () => ws.replies.length > before);
  return ws.replies[before];
}

function echoRequest(size, seed = 0) {
  const head = '{"command":"echo","pad":"';
  const tail = '"}';
  const alphabet = 'abcdefghijklmnopqrstuvwxyz0123456789';
  let pad = '';
  for (let i = 0; i < size - head.length - tail.length; i++) pad += alphabet[(i * 7 + seed) % alphabet.length];
  return head + pad + tail;
}

function closeRecord(address, status, reason) {
  const ip = address.replaceAll('.', '\\.');
  return new RegExp(`Server: Closed connection 0x[0-9a-f]+\\n {4}ip: {5}${ip}\\n {4}port: {3}\\d+\\n` +
                    ` {4}status: ${status}\\n {4}reason: ${reason}\\n`);
}

test('handshake: 101 with permessage-deflate (no context takeover either way), no subprotocol', { timeout: 60000 }, async () => {
  const ws = await connect('10.1.1.1');
  assert.equal(ws.response.statusCode, 101);
  assert.equal(ws.response.statusMessage, 'Web Socket Protocol Handshake');
  assert.equal(ws.extensions, 'permessage-deflate');
  assert.equal(ws.response.headers['sec-websocket-extensions'],
               'permessage-deflate; server_no_context_takeover; client_no_context_takeover; client_max_window_bits=12');
  assert.equal(ws.protocol, '');
  const info = JSON.parse(await request(ws, '{"command":"get_info"}'));
  assert.equal(info.client, '10.1.1.1');
  ws.close(1000);
  await once(ws, 'close');
});

test('messages of every length form come back exactly', { timeout: 60000 }, async () => {
  const ws = await connect('10.1.2.1');
  for (const size of [125, 126, 65535, 65536, 1 << 20]) {
    const text = echoRequest(size, size);
    assert.equal(Buffer.byteLength(text), size);
    const reply = await request(ws, text);
    assert.equal(reply.length, size, `reply to ${size} bytes`);
    assert.equal(reply, text, `reply to ${size} bytes`);
  }
  assert.deepEqual(JSON.parse(await request(ws, '')), { status: 'error', error: 'request is empty' });
  ws.close(1000);
  await once(ws, 'close');
});

test('a message sent in fragments arrives whole', { timeout: 60000 }, async () => {
  const ws = await connect('10.1.3.1');
  const parts = ['{"command":"echo",', '"pad":"', 'q'.repeat(70000), '","n":', '3}'];
  const before = ws.replies.length;
  parts.forEach((part, i) => ws.send(part, { fin: i === parts.length - 1 }));
  await until(ws, () => ws.replies.length > before);
  assert.equal(ws.replies[before], parts.join(''));
  assert.equal(await request(ws, echoRequest(300)), echoRequest(300));
  ws.close(1000);
  await once(ws, 'close');
});

test('a ping is answered with a pong that carries its payload', { timeout: 60000 }, async () => {
  const ws = await connect('10.1.4.1');
  for (const payload of [undefined, 'abc', Buffer.alloc(125, 7)]) {
    ws.ping(payload);
    const [data] = await once(ws, 'pong');
    assert.deepEqual(data, payload === undefined ? Buffer.alloc(0) : Buffer.from(payload));
  }
  ws.close(1000);
  await once(ws, 'close');
});

test('the close handshake completes on both sides', { timeout: 60000 }, async () => {
  const ws = await connect('10.1.5.1');
  await request(ws, '{"command":"get_info"}');
  const started = Date.now();
  ws.close(1000, 'done');
  const [code, reason] = await once(ws, 'close');
  assert.equal(code, 1000);
  assert.equal(reason.toString(), 'done');
  // ws waits up to 30 s for the server to end TCP after the close frames; the service did at once.
  assert.ok(Date.now() - started < 2000, `closing took ${Date.now() - started} ms`);
  await service.waitFor(closeRecord('10.1.5.1', 1000, 'done'), 5000);
});

test('a close without status code closes cleanly', { timeout: 60000 }, async () => {
  // close() without arguments sends a close frame with an empty payload; the service answers
  // with an empty one, and ws reports 1005 (no status received), as the protocol has it.
  const ws = await connect('10.1.5.2');
  const errors = [];
  ws.on('error', (e) => errors.push(e.message));
  const closed = new Promise((resolve) => ws.on('close', resolve));
  const started = Date.now();
  ws.close();
  const code = await closed;
  assert.equal(code, 1005);
  assert.deepEqual(errors, []);
  assert.ok(Date.now() - started < 2000, `closing took ${Date.now() - started} ms`);
  await service.waitFor(closeRecord('10.1.5.2', 0, ''), 5000);
});

test('200 clients at once, each with four requests, see each other\'s changes', { timeout: 60000 }, async (t) => {
  const CLIENTS = 200;
  const started = Date.now();
  const clients = await Promise.all(Array.from({ length: CLIENTS }, (_, n) =>
    connect(`10.3.${n >> 8}.${n & 255}`)));
  const done = Promise.all(clients.map(async (ws, n) => {
    const echo = JSON.stringify({ command: 'echo', client: n });
    assert.equal(await request(ws, echo), echo);
    assert.equal(JSON.parse(await request(ws, '{"command":"get_info"}')).client, `10.3.${n >> 8}.${n & 255}`);
    const set = JSON.parse(await request(ws, `{"command":"set_value","group":8,"id":${n},"value":"c${n}"}`));
    assert.deepEqual([set.status, set.value], ['ok', `c${n}`]);
    assert.equal(JSON.parse(await request(ws, '{"command":"get_values"}')).status, 'ok');
  }));
  await done;
  await Promise.all(clients.map((ws) => until(ws, () => ws.notes.length === CLIENTS - 1, 20000)));
  clients.forEach((ws, n) => {
    const ids = new Set(ws.notes.map((note) => note.id));
    assert.equal(ids.size, CLIENTS - 1);
    assert.equal(ids.has(n), false, 'no notification of its own change');
  });
  const elapsed = Date.now() - started;
  await Promise.all(clients.map((ws) => { ws.close(1000); return once(ws, 'close'); }));
  t.diagnostic(`${CLIENTS} clients, 4 requests each, ${CLIENTS * (CLIENTS - 1)} notifications: ${elapsed} ms`);
});
