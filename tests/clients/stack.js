'use strict';
// The reference deployment on loopback, for tests and for trying the console or a page of one's
// own by hand: korva-server on 127.0.0.1:8888 and nginx on a free loopback port, with a
// configuration made from deploy/nginx/korva-console.conf in a temporary folder.
//
//   [KORVA_CONSOLE_PASSWORD=...] node tests/clients/stack.js [path/to/korva-server] [console-port]
//                                                            [--pages FOLDER]
//
// runs both until Ctrl-C and prints the console's address and how to log in (with a password made
// for this run, or KORVA_CONSOLE_PASSWORD's, which a restart keeps). --pages serves FOLDER under
// /pages/ beside the console, behind the same login and origin, so that a page of a web UI in the
// making reaches /api as a page of the device's front end does. The simulated device's variables
// (KORVA_SIM_*) pass to the service. Tests use the exported functions.

const { spawn, execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const repo = path.resolve(__dirname, '..', '..');
const servicePort = 8888;

function delay(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Resolves true when something accepts a TCP connection on 127.0.0.1:port.
function canConnect(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

// Polls until a listener is there (or gone, with want=false), for at most timeoutMs.
async function waitForListener(port, timeoutMs = 10000, want = true) {
  const deadline = Date.now() + timeoutMs;
  while (Date.now() < deadline) {
    if ((await canConnect(port)) === want) return;
    await delay(25);
  }
  throw new Error(`127.0.0.1:${port} ${want ? 'did not start listening' : 'still listening'} ` +
                  `within ${timeoutMs} ms`);
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A child process whose standard output is kept as text, with a way to wait for a line.
class Child {
  constructor(command, args, options = {}) {
    this.output = '';
    this.errors = '';
    this.waiters = [];
    this.proc = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
    this.exited = new Promise((resolve) => this.proc.once('exit', (code, signal) => resolve({ code, signal })));
    this.proc.stdout.setEncoding('utf8');
    this.proc.stderr.setEncoding('utf8');
    this.proc.stdout.on('data', (text) => { this.output += text; this.check(); });
    this.proc.stderr.on('data', (text) => { this.errors += text; });
  }

  check() {
    this.waiters = this.waiters.filter(({ test, resolve }) => {
      const found = test(this.output);
      if (found) resolve(found);
      return !found;
    });
  }

  // Resolves with the first match of regexp in the output from offset on (waits for it).
  waitFor(regexp, timeoutMs = 10000, offset = 0) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        reject(new Error(`no ${regexp} in the output within ${timeoutMs} ms; output:\n` +
                         this.output.slice(offset) + '\nstderr:\n' + this.errors));
      }, timeoutMs);
      this.waiters.push({
        test: (text) => text.slice(offset).match(regexp),
        resolve: (found) => { clearTimeout(timer); resolve(found); },
      });
      this.check();
    });
  }

  async stop(signal = 'SIGTERM') {
    if (this.proc.exitCode === null && this.proc.signalCode === null) this.proc.kill(signal);
    return this.exited;
  }
}

function serviceBinary() {
  return process.env.KORVA_SERVER_BINARY || path.join(repo, 'build', 'service', 'korva-server');
}

// Starts korva-server with the simulated device and waits until it accepts connections.
async function startService(env = {}) {
  if (await canConnect(servicePort)) {
    throw new Error(`127.0.0.1:${servicePort} is already taken; stop whatever listens there first`);
  }
  const service = new Child(serviceBinary(), [], { env: { ...process.env, ...env } });
  const failed = service.exited.then(({ code, signal }) => {
    throw new Error(`korva-server ended at start (code ${code}, signal ${signal}): ${service.errors}`);
  });
  await Promise.race([waitForListener(servicePort), failed]);
  failed.catch(() => {});
  return service;
}

// The one user of a stack, with the given password or one made for this run. The password file is
// made as deploy/README.md tells an installer to make it, with `openssl passwd -6`.
function writePasswordFile(file, password = crypto.randomBytes(12).toString('base64url')) {
  const user = 'korva';
  const hash = execFileSync('openssl', ['passwd', '-6', '-stdin'], { input: `${password}\n` }).toString().trim();
  fs.writeFileSync(file, `${user}:${hash}\n`, { mode: 0o600 });
  return { user, password };
}

// The value of an Authorization header that logs in as user with password.
function basicAuthorization(user, password) {
  return `Basic ${Buffer.from(`${user}:${password}`).toString('base64')}`;
}

// The nginx configuration: the deployment's server block inside a minimal main configuration
// whose files all live in dir.
// timeouts, e.g. { send_timeout: '2s' }, replaces the values of those directives; connections is
// what the one worker may hold (a tunnel takes two); pages, a folder served under /pages/.
function nginxConfig(dir, port, timeouts = {}, connections = 1024, pages = null) {
  let site = fs.readFileSync(path.join(repo, 'deploy', 'nginx', 'korva-console.conf'), 'utf8')
    .replaceAll('@LISTEN@', `127.0.0.1:${port}`)
    .replaceAll('@CONSOLE_ROOT@', path.join(repo, 'deploy', 'console'))
    .replaceAll('@PASSWORD_FILE@', path.join(dir, 'htpasswd'));
  if (pages) {
    const root = /^ {4}location \/ \{$/m;
    if (!root.test(site)) throw new Error('no "location /" in the nginx configuration');
    const folder = `${path.resolve(pages)}/`.replace(/[\\"]/g, '\\$&');
    site = site.replace(root, `    location ^~ /pages/ {
        alias "${folder}";
        add_header Cache-Control "no-cache";
    }

    location / {`);
  }
  for (const [directive, value] of Object.entries(timeouts)) {
    const line = new RegExp(`^(\\s*${directive}) \\S+;$`, 'm');
    if (!line.test(site)) throw new Error(`no ${directive} in the nginx configuration`);
    site = site.replace(line, `$1 ${value};`);
  }
  const user = process.getuid && process.getuid() === 0 ? 'user root root;\n' : '';
  return `${user}daemon off;
worker_processes 1;
pid ${dir}/nginx.pid;
error_log ${dir}/error.log info;
worker_rlimit_nofile ${2 * connections + 64};
events { worker_connections ${connections}; }
http {
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    access_log ${dir}/access.log;
    client_body_temp_path ${dir}/client_body;
    proxy_temp_path ${dir}/proxy;
    fastcgi_temp_path ${dir}/fastcgi;
    uwsgi_temp_path ${dir}/uwsgi;
    scgi_temp_path ${dir}/scgi;
${site}
}
`;
}

// Starts nginx on a free loopback port (or wantedPort) with a password file of one user, whose
// password is the given one or one made for this run (no file with passwords: false, as on a
// device before the installer made one), serving the folder pages under /pages/ if given; resolves
// with { url, port, dir, child, user, password, authorization, errorLog(), accessLog(), stop() }.
async function startNginx(wantedPort = 0, timeouts = {}, { passwords = true, password, connections, pages } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'korva-nginx-'));
  const port = wantedPort || await freePort();
  const conf = path.join(dir, 'nginx.conf');
  fs.writeFileSync(conf, nginxConfig(dir, port, timeouts, connections, pages));
  const login = passwords ? writePasswordFile(path.join(dir, 'htpasswd'), password) : { user: null, password: null };
  try {
    execFileSync('nginx', ['-t', '-q', '-p', dir, '-c', conf], { stdio: 'pipe' });
  } catch (e) {
    throw new Error(`nginx rejects the configuration:\n${e.stderr}`);
  }
  const child = new Child('nginx', ['-p', dir, '-c', conf]);
  const failed = child.exited.then(({ code }) => {
    throw new Error(`nginx ended at start (code ${code}): ${child.errors}`);
  });
  await Promise.race([waitForListener(port), failed]);
  failed.catch(() => {});
  return {
    url: `http://127.0.0.1:${port}/`,
    port,
    dir,
    child,
    ...login,
    authorization: login.user === null ? null : basicAuthorization(login.user, login.password),
    errorLog: () => fs.readFileSync(path.join(dir, 'error.log'), 'utf8'),
    accessLog: () => fs.readFileSync(path.join(dir, 'access.log'), 'utf8'),
    // SIGQUIT lets open tunnels end first; SIGTERM cuts them, as a crash or a restart would.
    async stop(signal = 'SIGQUIT') {
      await child.stop(signal);
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

module.exports = {
  startService, startNginx, basicAuthorization, freePort, waitForListener, canConnect, serviceBinary, servicePort, repo, delay,
};

if (require.main === module) {
  (async () => {
    const args = process.argv.slice(2);
    let pages = null;
    const at = args.indexOf('--pages');
    if (at >= 0) {
      pages = args.splice(at, 2)[1];
      if (!pages || !fs.statSync(pages, { throwIfNoEntry: false })?.isDirectory()) {
        throw new Error(`--pages needs a folder: ${pages ?? 'none given'}`);
      }
    }
    if (args[0]) process.env.KORVA_SERVER_BINARY = path.resolve(args[0]);
    const service = await startService();
    service.proc.stdout.pipe(process.stdout);
    // KORVA_CONSOLE_PASSWORD keeps one password across restarts, so that open consoles reconnect
    // by themselves; a new password makes them ask for a new login.
    const password = process.env.KORVA_CONSOLE_PASSWORD || undefined;
    const nginx = await startNginx(Number(args[1]) || 0, {}, { password, pages });
    console.log(`korva console: ${nginx.url}\n` +
                (pages ? `your pages: ${nginx.url}pages/ (${path.resolve(pages)})\n` : '') +
                `log in as "${nginx.user}" with the password "${nginx.password}"` +
                (password ? ' (from KORVA_CONSOLE_PASSWORD)\n' :
                  ` (made for this run; start with KORVA_CONSOLE_PASSWORD='${nginx.password}' to keep it)\n`) +
                'Ctrl-C ends the service and nginx');
    const stop = async () => {
      await Promise.all([nginx.stop(), service.stop()]);
      process.exit(0);
    };
    process.on('SIGINT', stop);
    process.on('SIGTERM', stop);
  })().catch((e) => { console.error(e.message); process.exit(1); });
}
