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
// A request unanswered after replyTimeoutMs (the device may be busy, or rebooting: it then answers
// nothing until the service restarts) is rejected, and so is every unanswered request when the
// connection is lost: a reply cannot come on another connection. A rejected request keeps its
// place (see KorvaReplies): its late reply is taken and dropped, never given to a later request.

// Which request a message answers: the one rule this client and the device console sort what the
// service sends by. The service labels nothing it sends. On one connection it answers each
// request with exactly one reply, in the order of the requests; a notification of what another
// client changed, or a pushed value, may come before a reply, never inside one. So the oldest
// unanswered request owns the next message that is its reply: one whose "command" is that
// request's, or else one that is not a notification ("notification" member) and has a "command"
// or "status" member (error replies to broken requests carry only "status"). Everything else is
// a notification or pushed.
//
// A request the caller gave up on keeps its place until its reply comes: the service answers it
// all the same, before every later request, and that late reply must not be taken for the next
// one's. Requests leave only with their reply, or all at once (clear) when the connection ends.
class KorvaReplies {
  // The "command" of a request's text, or null (not JSON, or no string "command").
  static commandOf(text) {
    try {
      const request = JSON.parse(text);
      return request !== null && typeof request.command === 'string' ? request.command : null;
    } catch (e) {
      return null;
    }
  }

  constructor() {
    this.waiting = [];  // the connection's requests without their reply, oldest first
  }

  // request: the caller's record of a sent request, with its `command` (commandOf); returned.
  add(request) {
    this.waiting.push(request);
    return request;
  }

  // Sorts a received message (parsed JSON, or the text when it was not JSON): { kind: 'reply',
  // request } with the request it answers, which leaves the list; or { kind: 'notification' } or
  // { kind: 'push' }.
  sort(message) {
    const object = message !== null && typeof message === 'object' && !Array.isArray(message);
    const head = this.waiting[0];
    if (head && object && head.command !== null && message.command === head.command) {
      return { kind: 'reply', request: this.waiting.shift() };
    }
    if (object && 'notification' in message) return { kind: 'notification' };
    if (head && object && ('status' in message || 'command' in message)) {
      return { kind: 'reply', request: this.waiting.shift() };
    }
    return { kind: 'push' };
  }

  // Takes every waiting request off the list and returns them, oldest first.
  clear() {
    return this.waiting.splice(0);
  }
}

class KorvaClient {
  constructor({ url, onState = () => {}, onMessage = () => {}, replyTimeoutMs = 10000 } = {}) {
    this.url = url || `${location.protocol === 'https:' ? 'wss:' : 'ws:'}//${location.host}/api`;
    this.onState = onState;
    this.onMessage = onMessage;
    this.replyTimeoutMs = replyTimeoutMs;
    this.replies = new KorvaReplies();  // entries { command, resolve, reject, timer, late }
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
    return new Promise((resolve, reject) => {
      const entry = this.replies.add({ command: KorvaReplies.commandOf(text), resolve, reject, late: false });
      entry.timer = setTimeout(() => {
        entry.late = true;
        reject(new Error(`no reply within ${this.replyTimeoutMs} ms: the device is not answering`));
      }, this.replyTimeoutMs);
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
    const { kind, request } = this.replies.sort(message);
    if (kind !== 'reply') {
      this.onMessage(message, kind);
    } else if (!request.late) {
      clearTimeout(request.timer);
      request.resolve(message);
    }
  }

  failPending(why) {
    for (const entry of this.replies.clear()) {
      clearTimeout(entry.timer);
      if (!entry.late) entry.reject(new Error(why));
    }
  }
}
