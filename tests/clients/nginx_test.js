'use strict';
// Who may pass, the time-outs and the per-address limits of the reference nginx configuration
// (deploy/nginx/korva-console.conf):
//   KORVA_SERVER_BINARY=build/service/korva-server node --test tests/clients/nginx_test.js

const { test, before, after } = require('node:test');
const { once } = require('node:events');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const path = require('node:path');
const WebSocket = require('ws');
const { startService, startNginx, basicAuthorization, repo } = require('./stack');

const SEND_TIMEOUT_S = 2;
let service;
let nginx;

before(async () => {
  service = await startService();
  // The shipped configuration with a short send_timeout, so that the cut-off comes quickly.
  nginx = await startNginx(0, { send_timeout: `${SEND_TIMEOUT_S}s` });
});

after(async () => {
  if (nginx) await nginx.stop();
  if (service) await service.stop();
});

function seconds(value) {
  const units = { ms: 0.001, s: 1, m: 60, h: 3600, d: 86400, w: 604800 };
  const m = /^(\d+)(ms|s|m|h|d|w)?$/.exec(value);
  assert.ok(m, `time value ${value}`);
  return Number(m[1]) * units[m[2] || 's'];
}

// One request to nginx from 127.0.0.2, an address of its own, so that it counts against no limit
// of the other tests: GET path for the console's files, a WebSocket upgrade for /api. Resolves
// with { status } (101 for a tunnel, with its ws).
function attempt(target, path, { origin = null, authorization = null } = {}) {
  const headers = authorization ? { Authorization: authorization } : {};
  return new Promise((resolve, reject) => {
    if (!path.startsWith('/api')) {
      http.get({ host: '127.0.0.1', port: target.port, path, headers, localAddress: '127.0.0.2' }, (response) => {
        response.resume();
        resolve({ status: response.statusCode });
      }).once('error', reject);
      return;
    }
    const ws = new WebSocket(`ws://127.0.0.1:${target.port}${path}`,
      { headers, localAddress: '127.0.0.2', ...(origin === null ? {} : { origin }) });
    ws.once('open', () => resolve({ status: 101, ws }));
    ws.once('unexpected-response', (request, response) => { resolve({ status: response.statusCode }); request.destroy(); });
    ws.once('error', reject);
  });
}

test('only logged-in clients pass, and browsers only from the console\'s own origin; the refused hand the service nothing', { timeout: 60000 }, async () => {
  const own = `http://127.0.0.1:${nginx.port}`;
  const login = nginx.authorization;
  const wrong = basicAuthorization(nginx.user, `${nginx.password}x`);
  const cases = [
    // what, path, Origin, Authorization, status
    ['the console, logged in', '/', null, login, 200],
    ['the console, not logged in', '/', null, null, 401],
    ['the console, wrong password', '/', null, wrong, 401],
    ['the console page\'s own origin', '/api', own, login, 101],
    ['a client without Origin (a script, curl)', '/api/', null, login, 101],
    ['not logged in', '/api', null, null, 401],
    ['not logged in, own origin', '/api', own, null, 401],
    ['wrong password', '/api', own, wrong, 401],
    ['unknown user', '/api', null, basicAuthorization('admin', nginx.password), 401],
    ['another site', '/api', 'http://evil.example', login, 403],
    ['a look-alike of the own origin', '/api', `${own}.evil.example`, login, 403],
    ['a longer port', '/api', `${own}0`, login, 403],
    ['the same host, another port', '/api', 'http://127.0.0.1:9000', login, 403],
    ['the same host and port over https', '/api', `https://127.0.0.1:${nginx.port}`, login, 403],
    ['an opaque origin (a sandboxed frame, a file)', '/api', 'null', login, 403],
    ['another site, not logged in', '/api', 'http://evil.example', null, 403],
  ];
  const offset = service.output.length;
  const results = [];
  for (const [what, path, origin, authorization] of cases) {
    const result = await attempt(nginx, path, { origin, authorization });
    results.push([what, result.status]);
    if (result.ws) {
      // Each tunnel that passed sends one request, to show that it reaches the device.
      result.ws.send(JSON.stringify({ command: 'echo', from: what }));
      await once(result.ws, 'message');
      result.ws.close(1000);
      await once(result.ws, 'close');
    }
  }
  assert.deepEqual(results, cases.map(([what, , , , status]) => [what, status]));
  // The service saw exactly the two tunnels that passed and their two requests.
  await service.waitFor(/(?:Closed connection[^]*){2}/, 5000, offset);
  const seen = service.output.slice(offset);
  assert.equal(seen.match(/Opened connection/g).length, 2, seen);
  assert.equal(seen.match(/Received command: .*/g).length, 2, seen);

  // Until the installer has made the password file, nobody gets in.
  const fresh = await startNginx(0, {}, { passwords: false });
  try {
    const someone = basicAuthorization('korva', 'korva');
    const refused = [];
    for (const [path, authorization] of [['/', null], ['/', someone], ['/api', null], ['/api', someone]]) {
      refused.push([path, authorization !== null, (await attempt(fresh, path, { origin: `http://127.0.0.1:${fresh.port}`, authorization })).status]);
    }
    assert.deepEqual(refused, [['/', false, 401], ['/', true, 403], ['/api', false, 401], ['/api', true, 403]]);
    assert.match(fresh.errorLog(), /htpasswd" failed \(2: No such file or directory\)/);
  } finally {
    await fresh.stop();
  }
  assert.equal(service.output.slice(offset), seen, 'the service saw nothing of the refused');
});

test('the tunnel may stay silent for hours, while a browser that does not read is cut off within minutes', () => {
  const conf = fs.readFileSync(path.join(repo, 'deploy', 'nginx', 'korva-console.conf'), 'utf8');
  const value = (directive) => {
    const m = new RegExp(`^\\s*${directive} (\\S+);$`, 'm').exec(conf);
    assert.ok(m, `${directive} is set`);
    return seconds(m[1]);
  };
  assert.ok(value('proxy_read_timeout') >= 6 * 3600, 'proxy_read_timeout of several hours at least');
  assert.ok(value('send_timeout') <= 120, 'send_timeout of two minutes at most');
  assert.ok(value('proxy_send_timeout') <= 120, 'proxy_send_timeout of two minutes at most');
});

test('a client that stops reading is cut off, and the service lets its connection go', { timeout: 60000 }, async () => {
  const offset = service.output.length;
  const socket = net.connect({ host: '127.0.0.1', port: nginx.port });
  await new Promise((resolve, reject) => { socket.once('connect', resolve); socket.once('error', reject); });
  socket.on('error', () => {});
  socket.pause(); // never reads anything, not even the 101 response
  socket.write(`GET /api HTTP/1.1\r\nHost: device\r\nAuthorization: ${nginx.authorization}\r\n` +
               'Upgrade: websocket\r\nConnection: Upgrade\r\n' +
               'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n');
  // 40 echo requests of 1 MiB each (masked with a zero key): far more reply data than the
  // socket buffers between the service and this client hold.
  const payload = Buffer.from(`{"command":"echo","pad":"${'x'.repeat((1 << 20) - 27)}"}`);
  const header = Buffer.alloc(14);
  header[0] = 0x81;
  header[1] = 0xff;
  header.writeBigUInt64BE(BigInt(payload.length), 2);
  for (let i = 0; i < 40; i++) socket.write(Buffer.concat([header, payload]));
  const started = Date.now();

  const record = await service.waitFor(/Server: Error in connection (0x[0-9a-f]+)\n {4}ip: {6}127\.0\.0\.1\n/, 30000, offset);
  const took = (Date.now() - started) / 1000;
  assert.ok(took >= SEND_TIMEOUT_S - 0.5, `cut off after ${took} s`);
  assert.match(nginx.errorLog(), /client timed out .* while proxying upgraded connection/);
  socket.destroy();

  // The service goes on serving other clients.
  const ws = new WebSocket(`ws://127.0.0.1:${nginx.port}/api`, { headers: { Authorization: nginx.authorization } });
  const reply = await new Promise((resolve, reject) => {
    ws.once('open', () => ws.send('{"command":"get_info"}'));
    ws.once('message', (data) => resolve(JSON.parse(data.toString())));
    ws.once('error', reject);
  });
  assert.equal(reply.status, 'ok');
  ws.close(1000);
  assert.ok(record[1]);
});

test('one address cannot hold more than 16 tunnels, nor open them faster than the rate allows', { timeout: 60000 }, async () => {
  const open = () => new Promise((resolve) => {
    const ws = new WebSocket(`ws://127.0.0.1:${nginx.port}/api`, { headers: { Authorization: nginx.authorization } });
    ws.once('open', () => resolve({ ws, status: 101 }));
    ws.once('unexpected-response', (request, response) => { resolve({ status: response.statusCode }); request.destroy(); });
    ws.once('error', () => resolve({ status: 0 }));
  });
  const closeAll = (results) => Promise.all(results.filter((r) => r.ws).map((r) => {
    r.ws.close(1000);
    return once(r.ws, 'close');
  }));

  const held = [];
  for (let i = 0; i < 16; i++) held.push(await open());
  assert.deepEqual(held.map((r) => r.status), Array(16).fill(101));
  assert.equal((await open()).status, 429, 'a 17th tunnel from the same address');
  assert.match(nginx.errorLog(), /limiting connections by zone "korva_api_tunnels"/);
  await closeAll(held);

  // 40 handshakes as fast as they go, each closed at once: the burst passes, the rest is refused.
  const burst = [];
  for (let i = 0; i < 40; i++) {
    const result = await open();
    burst.push(result);
    if (result.ws) { result.ws.close(1000); await once(result.ws, 'close'); }
  }
  const refused = burst.filter((r) => r.status === 429).length;
  assert.ok(refused > 0 && refused < 40, `${refused} of 40 handshakes refused`);
  assert.match(nginx.errorLog(), /limiting requests, excess: .* by zone "korva_api_handshakes"/);
});

// The service takes 1024 connections, shared between client addresses: 64 addresses with their 16
// idle tunnels each fill it, and the console of a 65th address still comes in, because the service
// closes the oldest tunnel of an address holding the most (close 1013 "try again later").
test('64 addresses with 16 idle tunnels each do not keep the console of another address out', { timeout: 120000 }, async () => {
  const wide = await startNginx(0, {}, { connections: 4096 });
  const tunnels = [];
  const closes = [];
  let closed;
  const firstClose = new Promise((resolve) => { closed = resolve; });
  const open = (address) => new Promise((resolve) => {
    const ws = new WebSocket(`ws://127.0.0.1:${wide.port}/api`,
      { headers: { Authorization: wide.authorization }, localAddress: address });
    ws.once('open', () => resolve({ ws, status: 101 }));
    ws.once('unexpected-response', (request, response) => { resolve({ status: response.statusCode }); request.destroy(); });
    ws.once('error', () => resolve({ status: 0 }));
  });
  try {
    for (let a = 0; a < 64; a++) {
      const opened = await Promise.all(Array.from({ length: 16 }, () => open(`127.0.0.${10 + a}`)));
      assert.deepEqual(opened.map((r) => r.status), Array(16).fill(101), `address 127.0.0.${10 + a}`);
      for (const { ws } of opened) {
        ws.on('close', (code, reason) => { closes.push([code, reason.toString()]); closed(); });
        tunnels.push(ws);
      }
    }
    const console = await open('127.0.0.200');
    assert.equal(console.status, 101, 'the console of another address');
    tunnels.push(console.ws);
    console.ws.send('{"command":"get_info"}');
    const [reply] = await once(console.ws, 'message');
    assert.equal(JSON.parse(reply.toString()).status, 'ok');
    await firstClose;
    assert.deepEqual(closes, [[1013, 'try again later']]);
  } finally {
    await Promise.all(tunnels.filter((ws) => ws.readyState === WebSocket.OPEN).map((ws) => {
      ws.close(1000);
      return once(ws, 'close');
    }));
    await wide.stop();
  }
});
