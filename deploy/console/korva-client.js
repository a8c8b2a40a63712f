'use strict';
// A minimal client of korva-server for a web page: the place to start a web UI from. One
// WebSocket to /api on the page's own host (through the front end, which has the user log in),
// reconnected after 0.5 s, 1 s, 2 s, 4 s and then every 5 s while the service is away, and
// requests answered in order:
//
//   const device = new KorvaClient({
//     onState: (state) => ...,          // 'connecting', 'open' or 'closed'
//     onMessage: (message, kind) => ..., // kind 'notification' or 'push'; message parsed JSON
//   });
//   const info = await device.request({ command: 'get_info' });   // the reply, parsed
//
// The service labels nothing it sends. On one connection it answers each request with exactly one
// reply, in the order of the requests; a notification of what another client changed, or a pushed
// value, may come before a reply, never inside one. So the oldest unanswered request owns the next
// message that is not a notification ("notification" member) and looks like a reply ("command" or
// "status" member); everything else is pushed. A request unanswered after replyTimeoutMs (the device
// may be rebooting: it then answers nothing until the service restarts) is rejected, and so is every
// unanswered request when the connection is lost: a reply cannot come on another connection.
class KorvaClient {
  constructor({ url, onState = () => {}, onMessage = () => {}, replyTimeoutMs = 10000 } = {}) {
    this.url = url || `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/api`;
    this.onState = onState;
    this.onMessage = onMessage;
    this.replyTimeoutMs = replyTimeoutMs;
    this.pending = [];  // { command, resolve, reject, timer }, oldest first
    this.failures = 0;  // attempts since the last connection that opened
    this.stopped = false;
    this.connect();
  }

  connect() {
    this.onState('connecting');
    const ws = new WebSocket(this.url);
    this.ws = ws;
    ws.onopen = () => { this.failures = 0; this.onState('open'); };
    ws.onmessage = (event) => this.receive(event.data);
    ws.onclose = () => {
      this.failPending('connection lost');
      this.onState('closed');
      if (this.stopped) return;
      const wait = Math.min(5000, 500 * 2 ** this.failures++);
      this.retry = setTimeout(() => this.connect(), wait);
    };
  }

  // Sends a request (an object, or text sent as it is); resolves with its reply.
  request(request) {
    const text = typeof request === 'string' ? request : JSON.stringify(request);
    if (!this.ws || this.ws.readyState !== WebSocket.OPEN) return Promise.reject(new Error('not connected'));
    let command = null;
    try { command = JSON.parse(text).command ?? null; } catch (e) { /* sent as it is */ }
    return new Promise((resolve, reject) => {
      const entry = { command, resolve, reject };
      entry.timer = setTimeout(() => {
        this.pending.splice(this.pending.indexOf(entry), 1);
        reject(new Error(`no reply within ${this.replyTimeoutMs} ms: the device is not answering`));
      }, this.replyTimeoutMs);
      this.pending.push(entry);
      this.ws.send(text);
    });
  }

  close() {
    this.stopped = true;
    clearTimeout(this.retry);
    if (this.ws) this.ws.close(1000);
  }

  receive(text) {
    let message = text;
    try { message = JSON.parse(text); } catch (e) { /* not JSON: passed on as text */ }
    const object = message !== null && typeof message === 'object' && !Array.isArray(message);
    const head = this.pending[0];
    const isReply = head && object && (message.command === head.command ||
      (!('notification' in message) && ('command' in message || 'status' in message)));
    if (isReply) {
      this.pending.shift();
      clearTimeout(head.timer);
      head.resolve(message);
    } else {
      this.onMessage(message, object && 'notification' in message ? 'notification' : 'push');
    }
  }

  failPending(why) {
    for (const entry of this.pending.splice(0)) {
      clearTimeout(entry.timer);
      entry.reject(new Error(why));
    }
  }
}
