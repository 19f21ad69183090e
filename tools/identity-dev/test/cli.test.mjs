// Starting the service: its first line, its options, and the Node it runs on.
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import {
  TEST_PROCESS_SHIMMED, authorizeURL, runServerExpectingExit, startServer,
} from '../test-support/client.mjs';

async function freePort() {
  const s = net.createServer();
  await new Promise((r) => s.listen(0, '127.0.0.1', r));
  const { port } = s.address();
  await new Promise((r) => s.close(r));
  return port;
}

test('prints its base URL first, on the port asked for, and says how it got WebCrypto', async () => {
  const port = await freePort();
  const srv = await startServer(['--port', String(port)]);
  try {
    assert.equal(srv.url, `http://127.0.0.1:${port}`);
    const res = await fetch(`${srv.url}/.well-known/openid-configuration`);
    assert.equal((await res.json()).issuer, srv.url);
    const banner = srv.stderr.find((l) => l.includes('listening on'));
    assert.ok(banner);
    assert.match(banner, TEST_PROCESS_SHIMMED ? /webcrypto shimmed/ : /webcrypto global/);
  } finally {
    await srv.stop();
  }
});

test('under --no-experimental-global-webcrypto the tests really run without global WebCrypto', {
  skip: process.env.IDP_EXPECT_NO_GLOBAL_WEBCRYPTO !== '1',
}, () => {
  assert.equal(TEST_PROCESS_SHIMMED, true);
});

test('refuses unknown options and bad values with exit status 2', async () => {
  for (const args of [['--frobnicate'], ['--port'], ['--port', 'x'], ['--session-lifetime', '-5']]) {
    const { code, err, out } = await runServerExpectingExit(args);
    assert.equal(code, 2, args.join(' '));
    assert.match(err, /usage:/);
    assert.equal(out, '');
  }
});

test('a JSON config file sets clients and lifetimes; an unknown key is refused', async () => {
  const dir = mkdtempSync(join(tmpdir(), 'idp-'));
  try {
    const file = join(dir, 'config.json');
    writeFileSync(file, JSON.stringify({
      clients: [{ client_id: 'a', redirect_uris: ['x-a://cb'] }, { client_id: 'b', redirect_uris: ['x-b://cb'] }],
      session_lifetime_s: 3600,
    }));
    const srv = await startServer(['--config', file]);
    try {
      const ok = authorizeURL(srv.url, { params: { client_id: 'b', redirect_uri: 'x-b://cb' } });
      const res = await fetch(ok.url, { redirect: 'manual' });
      assert.equal(res.status, 302);
      assert.ok(res.headers.get('location').startsWith('x-b://cb?code='));
      const crossed = authorizeURL(srv.url, { params: { client_id: 'a', redirect_uri: 'x-b://cb' } });
      assert.equal((await fetch(crossed.url, { redirect: 'manual' })).status, 400);
      const knobs = await (await fetch(`${srv.url}/__dev/knobs`)).json();
      assert.equal(knobs.session_lifetime_s, 3600);
    } finally {
      await srv.stop();
    }
    writeFileSync(file, JSON.stringify({ sesion_lifetime_s: 1 }));
    const { code, err } = await runServerExpectingExit(['--config', file]);
    assert.equal(code, 2);
    assert.match(err, /unknown config key "sesion_lifetime_s"/);
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});

test('--issuer with a path serves discovery under that path; --discovery-issuer names another', async () => {
  const port = await freePort();
  const issuer = `http://127.0.0.1:${port}/realms/dev`;
  const srv = await startServer(['--port', String(port), '--issuer', issuer]);
  try {
    const doc = await (await fetch(`${issuer}/.well-known/openid-configuration`)).json();
    assert.equal(doc.issuer, issuer);
    assert.equal(doc.authorization_endpoint, `http://127.0.0.1:${port}/authorize`);
    assert.equal((await fetch(`${srv.url}/.well-known/openid-configuration`)).status, 404);
  } finally {
    await srv.stop();
  }
  const other = await startServer(['--discovery-issuer', 'https://id.example']);
  try {
    const doc = await (await fetch(`${other.url}/.well-known/openid-configuration`)).json();
    assert.equal(doc.issuer, 'https://id.example');
  } finally {
    await other.stop();
  }
});

test('--interactive shows the sign-in page without the query flag', async () => {
  const srv = await startServer(['--interactive', '--email', 'tester@example.org']);
  try {
    const res = await fetch(authorizeURL(srv.url).url, { redirect: 'manual' });
    assert.equal(res.status, 200);
    assert.match(await res.text(), />Sign in as tester@example\.org</);
  } finally {
    await srv.stop();
  }
});
