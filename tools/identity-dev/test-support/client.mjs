// A tiny client of identity-dev for its tests: starts the server as a separate process the way a
// person or a C++ test does, and speaks to it with PKCE and DPoP proofs made with jose.
import { shimmed } from '../webcrypto.mjs';
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';

export const jose = await import('jose');
export const TEST_PROCESS_SHIMMED = shimmed;
const SERVER = fileURLToPath(new URL('../server.mjs', import.meta.url));

export const b64url = (buf) => Buffer.from(buf).toString('base64url');
export const sha256b64 = (text) => b64url(createHash('sha256').update(text, 'utf8').digest());
export const REDIRECT_URI = 'quillet://auth/callback';
export const CLIENT_ID = 'quillet-desktop';
export const APP_SLUG = 'quillet';

// Starts server.mjs with the given arguments under the same Node flags as this test process;
// resolves once it printed its base URL. `stderr` collects its log lines.
export async function startServer(args = []) {
  const child = spawn(process.execPath, [...nodeFlags(), SERVER, '--port', '0', ...args], {
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const stderr = [];
  createInterface({ input: child.stderr }).on('line', (l) => stderr.push(l));
  const stdout = createInterface({ input: child.stdout });
  const [first] = await Promise.race([
    once(stdout, 'line'),
    once(child, 'exit').then(([code]) => {
      throw new Error(`server exited with ${code}: ${stderr.join('\n')}`);
    }),
  ]);
  return {
    url: first,
    child,
    stderr,
    async stop() {
      if (child.exitCode === null) {
        child.kill('SIGTERM');
        await once(child, 'exit');
      }
    },
  };
}

export function nodeFlags() {
  return shimmed ? ['--no-experimental-global-webcrypto'] : [];
}

// Runs server.mjs with arguments and collects its exit code and output (for refused options).
export async function runServerExpectingExit(args) {
  const child = spawn(process.execPath, [...nodeFlags(), SERVER, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { err += d; });
  const [code] = await once(child, 'exit');
  return { code, out, err };
}

export function pkce() {
  const verifier = b64url(randomBytes(32));
  return { verifier, challenge: sha256b64(verifier) };
}

export async function newKey() {
  const { privateKey, publicKey } = await jose.generateKeyPair('ES256', { extractable: true });
  const jwk = await jose.exportJWK(publicKey);
  return { privateKey, jwk: { kty: jwk.kty, crv: jwk.crv, x: jwk.x, y: jwk.y } };
}

// A DPoP proof; `over` replaces header or claim values (undefined removes a claim).
export async function proof(key, { htm, htu, accessToken, header = {}, claims = {} } = {}) {
  const payload = {
    htm,
    htu,
    iat: Math.floor(Date.now() / 1000),
    jti: b64url(randomBytes(16)),
    ...(accessToken !== undefined ? { ath: sha256b64(accessToken) } : {}),
    ...claims,
  };
  for (const [k, v] of Object.entries(payload)) if (v === undefined) delete payload[k];
  return new jose.SignJWT(payload)
    .setProtectedHeader({ typ: 'dpop+jwt', alg: 'ES256', jwk: key.jwk, ...header })
    .sign(key.privateKey);
}

export function libraryHeaders(extra = {}) {
  return {
    'Content-Type': 'application/json',
    Accept: 'application/json',
    'User-Agent': 'CorvaneAccount/0.9.5 (1.2.0)',
    'Corvane-Lib-Version': '0.9.5',
    'Corvane-Client-Version': '1.2.0',
    ...extra,
  };
}

export function authorizeURL(base, over = {}) {
  const { challenge } = over.pkce || pkce();
  const params = {
    response_type: 'code',
    client_id: CLIENT_ID,
    redirect_uri: REDIRECT_URI,
    scope: 'openid email',
    state: b64url(randomBytes(16)),
    nonce: b64url(randomBytes(16)),
    code_challenge: challenge,
    code_challenge_method: 'S256',
    corvane_app_slug: APP_SLUG,
    corvane_client_version: '1.2.0',
    corvane_lib_version: '0.9.5',
    ...over.params,
  };
  const u = new URL('/authorize', base);
  for (const [k, v] of Object.entries(params)) if (v !== undefined) u.searchParams.append(k, v);
  return { url: u.toString(), params };
}

// The browser half: authorize and read the code and state off the redirect.
export async function authorizeCode(base, over = {}) {
  const p = over.pkce || pkce();
  const { url, params } = authorizeURL(base, { ...over, pkce: p });
  const res = await fetch(url, { redirect: 'manual' });
  if (res.status !== 302) throw new Error(`authorize answered ${res.status}`);
  const location = new URL(res.headers.get('location'));
  return { location, code: location.searchParams.get('code'), state: params.state, pkce: p };
}

export async function postJSON(base, path, body, headers = {}) {
  const res = await fetch(new URL(path, base), {
    method: 'POST',
    headers: libraryHeaders(headers),
    body: typeof body === 'string' ? body : JSON.stringify(body),
    redirect: 'manual',
  });
  const text = await res.text();
  let json;
  try {
    json = JSON.parse(text);
  } catch {
    json = undefined;
  }
  return { status: res.status, headers: res.headers, json, text };
}

export async function exchange(base, { code, verifier, redirectUri = REDIRECT_URI, extra = {} }) {
  return postJSON(base, '/api/app-sessions/exchange', {
    app_slug: APP_SLUG,
    code,
    code_verifier: verifier,
    redirect_uri: redirectUri,
    client_version: '1.2.0',
    install_id: 'install-1',
    ...extra,
  });
}

// A full sign-in: authorize, exchange; returns the CasResponse.
export async function signIn(base) {
  const { code, pkce: p } = await authorizeCode(base);
  const res = await exchange(base, { code, verifier: p.verifier });
  if (res.status !== 200) throw new Error(`exchange answered ${res.status} ${res.text}`);
  return res.json;
}

// An authenticated call with a bearer cas and a DPoP proof from `key`.
export async function authedPost(base, path, cas, key, { body, proofOptions = {}, dpop } = {}) {
  const url = new URL(path, base).toString();
  const headers = { Authorization: `Bearer ${cas}` };
  if (key) headers.DPoP = await proof(key, { htm: 'POST', htu: url, accessToken: cas, ...proofOptions });
  if (dpop !== undefined) headers.DPoP = dpop;
  return postJSON(base, path, body === undefined ? '' : body, headers);
}

export async function dev(base, path, body) {
  const res = await fetch(new URL(path, base), body === undefined
    ? {}
    : { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
  return { status: res.status, json: await res.json() };
}

export async function lastLog(base) {
  const { json } = await dev(base, '/__dev/log');
  return json[json.length - 1];
}
