#!/usr/bin/env node
// identity-dev: a local stand-in for the identity service and its OAuth authority, for trying a
// sign-in by hand and for checking the account library over real HTTP. It checks every request
// on its own (PKCE, DPoP with jose, one-time codes and refresh tokens), answers as the real
// service would, and can be told to misbehave through /__dev/knobs. Listens on 127.0.0.1 only.
//
// Usage: node server.mjs [--port N] [options]   (see README.md; --help lists the options)
// Prints its base URL as the first line of stdout; logs what it checked on stderr, never the
// value of a token, code, verifier or key.
import { shimmed } from './webcrypto.mjs';
import { createHash, randomBytes } from 'node:crypto';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import { pathToFileURL } from 'node:url';
import { MAX_BATCH_BYTES, validateErrorBatch } from './error-batch.mjs';

const jose = await import('jose');

const WEBCRYPTO_MODE = shimmed ? 'shimmed' : 'global';

const DEFAULTS = {
  clients: [{ client_id: 'quillet-desktop', redirect_uris: ['quillet://auth/callback'] }],
  issuer: null,
  discovery_issuer: null,
  email: 'dev@example.com',
  platform: 'mac',
  interactive: false,
  require_dpop: true,
  revoke_family_on_reuse: false,
  geo_eu: false,
  code_lifetime_s: 60,
  session_lifetime_s: 7 * 24 * 3600,
  refresh_lifetime_s: 60 * 24 * 3600,
  app_data_token_lifetime_s: 3600,
  lib_version_policy: { minVersion: '0.9.0', currentVersion: '0.9.5' },
  refresh_grace_s: 0,
  require_dpop_nonce: false,
  dpop_nonce_lifetime_s: 30,
  random_faults: null,
};
// Settings that POST /__dev/knobs may change while the service runs.
const RUNTIME_SETTINGS = [
  'discovery_issuer', 'email', 'platform', 'interactive', 'require_dpop',
  'revoke_family_on_reuse', 'geo_eu', 'code_lifetime_s', 'session_lifetime_s',
  'refresh_lifetime_s', 'app_data_token_lifetime_s', 'lib_version_policy', 'refresh_grace_s',
  'require_dpop_nonce', 'dpop_nonce_lifetime_s', 'random_faults',
];
// What a random fault may be: a 5xx, a reset connection, a 2-second delay, a 429 with
// Retry-After, or (for refreshes) the answer lost after the token was rotated.
const FAULT_KINDS = ['5xx', 'reset', 'delay', '429', 'lose_rotation'];
const IAT_WINDOW_S = 60;
const JTI_MEMORY_MS = 5 * 60 * 1000;
const MAX_BODY_BYTES = 1024 * 1024;
const MAX_LOG_ENTRIES = 10000;
const PENDING_LIFETIME_MS = 10 * 60 * 1000;
const PROVIDERS = ['apple', 'google', 'email'];

const b64url = (buf) => Buffer.from(buf).toString('base64url');
const sha256 = (text) => createHash('sha256').update(text, 'utf8').digest();
const token = (prefix, bytes = 32) => prefix + b64url(randomBytes(bytes));
const iso = (ms) => new Date(ms).toISOString();

class HttpError extends Error {
  constructor(status, body, headers = {}) {
    super(typeof body === 'object' && body ? body.error : String(body));
    this.status = status;
    this.body = body;
    this.headers = headers;
  }
}

// The checks made on one request, in order. `enforce` rejects the request when the condition
// fails; `advise` only records it (the log entry then reads ok: false).
class Checks {
  constructor() {
    this.list = [];
  }
  pass(name, detail) {
    this.list.push(detail ? { check: name, ok: true, detail } : { check: name, ok: true });
  }
  advise(name, cond, detail) {
    if (cond) this.pass(name);
    else this.list.push({ check: name, ok: false, enforced: false, detail });
    return cond;
  }
  enforce(name, cond, status, body, detail, headers) {
    if (cond) {
      this.pass(name);
      return;
    }
    this.list.push({ check: name, ok: false, enforced: true, detail: detail || body.reason });
    throw new HttpError(status, body, headers);
  }
}

function parseArgs(argv) {
  const opts = { redirect_uris: [] };
  const takesValue = new Set([
    '--port', '--issuer', '--discovery-issuer', '--client-id', '--redirect-uri', '--config',
    '--email', '--session-lifetime', '--code-lifetime', '--refresh-lifetime',
    '--refresh-grace-seconds', '--dpop-nonce-lifetime',
  ]);
  const flags = new Set(['--interactive', '--allow-no-dpop', '--geo-eu', '--quiet',
    '--revoke-family-on-reuse', '--require-dpop-nonce', '--help']);
  for (let i = 0; i < argv.length; i += 1) {
    let arg = argv[i];
    let value;
    const eq = arg.indexOf('=');
    if (arg.startsWith('--') && eq > 0) {
      value = arg.slice(eq + 1);
      arg = arg.slice(0, eq);
    }
    if (takesValue.has(arg)) {
      if (value === undefined) {
        i += 1;
        if (i >= argv.length) throw new Error(`${arg} needs a value`);
        value = argv[i];
      }
      if (arg === '--redirect-uri') opts.redirect_uris.push(value);
      else opts[arg.slice(2).replace(/-/g, '_')] = value;
    } else if (flags.has(arg) && value === undefined) {
      opts[arg.slice(2).replace(/-/g, '_')] = true;
    } else {
      throw new Error(`unknown option ${argv[i]}`);
    }
  }
  return opts;
}

function seconds(name, value) {
  const n = Number(value);
  if (!Number.isFinite(n) || n <= 0) throw new Error(`${name} must be a positive number of seconds`);
  return n;
}

function graceSeconds(value) {
  const n = Number(value);
  if (!Number.isFinite(n) || n < 0) throw new Error('--refresh-grace-seconds must be 0 or more seconds');
  return n;
}

// Checks the random_faults setting: null, or {"rate": 0..1, "kinds": [...], "delay_ms": n}.
export function checkRandomFaults(value) {
  if (value === null || value === undefined) return null;
  if (typeof value !== 'object' || Array.isArray(value)) throw new Error('random_faults must be an object or null');
  const rate = value.rate;
  if (typeof rate !== 'number' || !(rate >= 0 && rate <= 1)) throw new Error('random_faults.rate must be 0 to 1');
  const kinds = value.kinds === undefined ? FAULT_KINDS : value.kinds;
  if (!Array.isArray(kinds) || kinds.length === 0 || kinds.some((k) => !FAULT_KINDS.includes(k))) {
    throw new Error(`random_faults.kinds must be a non-empty list of ${FAULT_KINDS.join(', ')}`);
  }
  const delay = value.delay_ms === undefined ? 2000 : value.delay_ms;
  if (!Number.isInteger(delay) || delay < 0 || delay > 60000) throw new Error('random_faults.delay_ms must be 0 to 60000');
  return { rate, kinds, delay_ms: delay };
}

// Builds the settings from the defaults, an optional JSON config file and the flags.
export function buildSettings(cli) {
  const settings = structuredClone(DEFAULTS);
  if (cli.config) {
    const file = JSON.parse(readFileSync(cli.config, 'utf8'));
    for (const [k, v] of Object.entries(file)) {
      if (!(k in DEFAULTS)) throw new Error(`unknown config key "${k}"`);
      settings[k] = v;
    }
  }
  if (cli.client_id || cli.redirect_uris.length) {
    settings.clients = [{
      client_id: cli.client_id || DEFAULTS.clients[0].client_id,
      redirect_uris: cli.redirect_uris.length ? cli.redirect_uris : DEFAULTS.clients[0].redirect_uris,
    }];
  }
  if (cli.issuer) settings.issuer = cli.issuer.replace(/\/+$/, '');
  if (cli.discovery_issuer) settings.discovery_issuer = cli.discovery_issuer;
  if (cli.email) settings.email = cli.email;
  if (cli.interactive) settings.interactive = true;
  if (cli.allow_no_dpop) settings.require_dpop = false;
  if (cli.geo_eu) settings.geo_eu = true;
  if (cli.revoke_family_on_reuse) settings.revoke_family_on_reuse = true;
  if (cli.session_lifetime) settings.session_lifetime_s = seconds('--session-lifetime', cli.session_lifetime);
  if (cli.code_lifetime) settings.code_lifetime_s = seconds('--code-lifetime', cli.code_lifetime);
  if (cli.refresh_lifetime) settings.refresh_lifetime_s = seconds('--refresh-lifetime', cli.refresh_lifetime);
  if (cli.refresh_grace_seconds !== undefined) settings.refresh_grace_s = graceSeconds(cli.refresh_grace_seconds);
  if (cli.require_dpop_nonce) settings.require_dpop_nonce = true;
  if (cli.dpop_nonce_lifetime) settings.dpop_nonce_lifetime_s = seconds('--dpop-nonce-lifetime', cli.dpop_nonce_lifetime);
  settings.random_faults = checkRandomFaults(settings.random_faults);
  for (const c of settings.clients) {
    if (typeof c.client_id !== 'string' || !Array.isArray(c.redirect_uris)) {
      throw new Error('every client needs a client_id and a list redirect_uris');
    }
  }
  return settings;
}

const escapeHtml = (s) => String(s).replace(/[&<>"']/g, (c) => ({
  '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;',
}[c]));

function page(title, bodyHtml) {
  return `<!doctype html><html><head><meta charset="utf-8"><title>${escapeHtml(title)}</title>` +
    '<style>body{font-family:system-ui,sans-serif;margin:4em auto;max-width:32em}' +
    'button{font-size:1.2em;padding:.6em 1.4em}</style></head>' +
    `<body>${bodyHtml}</body></html>`;
}

// Compares request URLs the way DPoP asks: scheme, host, port and path, without query and
// fragment, after the WHATWG URL normalisation (lower-case host, default port dropped).
function normaliseHtu(text) {
  try {
    const u = new URL(text);
    return `${u.protocol}//${u.host}${u.pathname}`;
  } catch {
    return null;
  }
}

export function createIdentityServer(initialSettings, { quiet = false } = {}) {
  let settings = structuredClone(initialSettings);
  let state;
  let baseURL = null;

  function freshState() {
    return {
      seq: 0,
      log: [],
      errorBatches: [],
      rules: [],
      authorizeErrors: [],
      clockOffsetMs: 0,
      codes: new Map(),
      pending: new Map(),
      families: new Map(),
      sessions: new Map(),
      refreshTokens: new Map(),
      appleCodes: new Set(),
      appleSubjects: new Set(),
      jtis: new Map(),
      secrets: new Set(),
      // The current DPoP nonce and the one before it (still accepted), and when it was made.
      nonce: null,
      previousNonce: null,
      nonceAt: 0,
      refreshStats: { refreshes: 0, rotations: 0, grace_replays: 0, reused_refresh_tokens: 0, faults: {} },
    };
  }
  state = freshState();

  const serviceNow = () => Date.now() + state.clockOffsetMs;
  const issuer = () => settings.issuer || baseURL;
  const accountIdFor = (email) => `ca_${sha256(email).toString('hex').slice(0, 20)}`;
  const remember = (secret) => {
    state.secrets.add(secret.toLowerCase());
    return secret;
  };

  function log(line) {
    if (!quiet) process.stderr.write(`identity-dev: ${line}\n`);
  }

  // The DPoP nonce in force: a new one every dpop_nonce_lifetime_s seconds.
  function currentNonce() {
    const now = Date.now();
    if (!state.nonce || now - state.nonceAt >= settings.dpop_nonce_lifetime_s * 1000) rotateNonce();
    return state.nonce;
  }
  function rotateNonce() {
    state.previousNonce = state.nonce;
    state.nonce = b64url(randomBytes(16));
    state.nonceAt = Date.now();
  }

  // ---- sessions -------------------------------------------------------------------------------

  function newFamily({ email, appSlug, installId, via, jkt, code }) {
    const family = {
      id: `fam_${state.families.size + 1}`,
      accountId: accountIdFor(email),
      email,
      appSlug,
      installId: installId || null,
      via,
      jkt: jkt || null,
      code: code || null,
      revoked: false,
      refreshes: 0,
    };
    state.families.set(family.id, family);
    return family;
  }

  function issueSession(family) {
    const now = serviceNow();
    const cas = remember(token('cas_'));
    const refreshToken = remember(token('rt_'));
    const appDataToken = remember(token('adt_', 24));
    const expiresAt = now + settings.session_lifetime_s * 1000;
    state.sessions.set(cas, { familyId: family.id, expiresAt });
    state.refreshTokens.set(refreshToken, {
      familyId: family.id, used: false, expiresAt: now + settings.refresh_lifetime_s * 1000,
    });
    const response = {
      ok: true,
      cas,
      session_token: cas,
      refresh_token: refreshToken,
      expires_in: Math.floor(settings.session_lifetime_s),
      expires_at: iso(expiresAt),
      corvane_account_id: family.accountId,
      email: family.email,
      app_slug: family.appSlug,
      platform: settings.platform,
      app_data_token: appDataToken,
      app_data_token_expires_at: iso(now + settings.app_data_token_lifetime_s * 1000),
    };
    if (settings.lib_version_policy) response.corvane_lib_version = settings.lib_version_policy;
    return response;
  }

  function revokeFamily(family) {
    family.revoked = true;
  }

  // ---- request records ------------------------------------------------------------------------

  // Checks a JSON request record: a JSON object with exactly the listed keys (optional ones may
  // be left out but are never null) in the listed order, each a string.
  function checkRecord(checks, body, fields) {
    const bad = (reason) => ({ error: 'invalid_request', reason });
    checks.enforce('body_is_object', body !== null && typeof body === 'object' &&
      !Array.isArray(body), 400, bad('body_not_object'));
    const names = fields.map(([n]) => n);
    const keys = Object.keys(body);
    const extra = keys.filter((k) => !names.includes(k));
    checks.enforce('body_keys_known', extra.length === 0, 400, bad('unexpected_key'),
      extra.length ? `unexpected: ${extra.join(', ')}` : undefined);
    for (const [name, required] of fields) {
      if (name in body) {
        checks.enforce(`${name}_string`, typeof body[name] === 'string' && body[name].length > 0,
          400, bad(`${name}_not_string`), `${name} must be a non-empty string (absent, not null)`);
      } else {
        checks.enforce(`${name}_present`, !required, 400, bad(`${name}_missing`));
      }
    }
    const order = names.filter((n) => keys.includes(n));
    checks.enforce('body_key_order', order.join(',') === keys.join(','), 400,
      bad('key_order'), `expected ${order.join(',')}`);
  }

  function checkLibraryHeaders(checks, req) {
    const ua = req.headers['user-agent'] || '';
    const clientVersion = req.headers['corvane-client-version'];
    checks.advise('header_accept_json', (req.headers.accept || '').includes('application/json'));
    const m = /^CorvaneAccount\/(\d+\.\d+\.\d+) \((.*)\)$/.exec(ua);
    checks.advise('header_user_agent', Boolean(m), 'expected CorvaneAccount/<x.y.z> (<client version>)');
    checks.advise('header_lib_version', Boolean(req.headers['corvane-lib-version']));
    checks.advise('header_client_version', Boolean(clientVersion));
    if (m && clientVersion) {
      checks.advise('user_agent_names_client_version', m[2] === clientVersion);
    }
  }

  // ---- DPoP -----------------------------------------------------------------------------------

  // Verifies the DPoP proof of a request (RFC 9449 section 4.3) and returns the thumbprint of its
  // key. `accessToken` is the bearer token the proof must be bound to through "ath", if any.
  async function verifyDPoP(checks, req, url, accessToken, failStatus) {
    const fail = (reason) => ({ error: 'invalid_dpop_proof', reason });
    const wwwAuth = { 'WWW-Authenticate': 'DPoP error="invalid_dpop_proof", algs="ES256"' };
    const enforce = (name, cond, reason, detail) =>
      checks.enforce(name, cond, failStatus, fail(reason), detail, wwwAuth);
    const proof = req.headers.dpop;
    enforce('dpop_present', typeof proof === 'string' && proof.length > 0, 'missing');
    enforce('dpop_single', !proof.includes(','), 'multiple_headers');
    enforce('dpop_compact_jws', /^[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+$/.test(proof),
      'malformed');
    let header;
    let payload;
    try {
      header = jose.decodeProtectedHeader(proof);
      payload = JSON.parse(Buffer.from(proof.split('.')[1], 'base64url').toString('utf8'));
    } catch {
      header = null;
    }
    enforce('dpop_decodes', header !== null && payload !== null && typeof payload === 'object',
      'malformed');
    enforce('dpop_typ', header.typ === 'dpop+jwt', 'bad_typ', 'typ must be dpop+jwt');
    enforce('dpop_alg', header.alg === 'ES256', 'bad_alg', 'alg must be ES256');
    const jwk = header.jwk;
    enforce('dpop_jwk', jwk !== null && typeof jwk === 'object' && jwk.kty === 'EC' &&
      jwk.crv === 'P-256' && typeof jwk.x === 'string' && typeof jwk.y === 'string' &&
      !('d' in jwk), 'bad_jwk', 'jwk must be a public EC P-256 key');
    let verified = false;
    try {
      const key = await jose.importJWK({ kty: 'EC', crv: 'P-256', x: jwk.x, y: jwk.y }, 'ES256');
      await jose.compactVerify(proof, key, { algorithms: ['ES256'] });
      verified = true;
    } catch {
      verified = false;
    }
    enforce('dpop_signature', verified, 'bad_signature');
    enforce('dpop_htm', payload.htm === req.method, 'htm_mismatch', `expected ${req.method}`);
    const expectedHtu = normaliseHtu(`http://${req.headers.host}${url.pathname}`);
    const gotHtu = typeof payload.htu === 'string' ? normaliseHtu(payload.htu) : null;
    enforce('dpop_htu', gotHtu !== null && gotHtu === expectedHtu, 'htu_mismatch',
      `expected ${expectedHtu}, got ${gotHtu}`);
    const nowS = Date.now() / 1000;
    enforce('dpop_iat', Number.isInteger(payload.iat) &&
      Math.abs(nowS - payload.iat) <= IAT_WINDOW_S, 'iat_out_of_window',
    'iat must be whole seconds within 60 s of now');
    enforce('dpop_jti', typeof payload.jti === 'string' && payload.jti.length > 0 &&
      payload.jti.length <= 256, 'jti_missing');
    const jkt = await jose.calculateJwkThumbprint(jwk, 'sha256');
    const jtiKey = `${jkt}:${payload.jti}`;
    for (const [k, at] of state.jtis) {
      if (Date.now() - at > JTI_MEMORY_MS) state.jtis.delete(k);
    }
    enforce('dpop_jti_unused', !state.jtis.has(jtiKey), 'jti_replayed');
    state.jtis.set(jtiKey, Date.now());
    if (settings.require_dpop_nonce) {
      // RFC 9449 section 8/9: the current nonce (or the one just replaced) must be in the proof.
      const current = currentNonce();
      const ok = typeof payload.nonce === 'string' &&
        (payload.nonce === current || payload.nonce === state.previousNonce);
      const body = { error: 'use_dpop_nonce', reason: 'nonce_required' };
      const headers = { 'DPoP-Nonce': current };
      if (failStatus === 401) headers['WWW-Authenticate'] = 'DPoP error="use_dpop_nonce", algs="ES256"';
      checks.enforce('dpop_nonce', ok, failStatus, body,
        'payload.nonce' in payload ? 'stale nonce' : 'no nonce', headers);
    }
    if (accessToken !== undefined) {
      enforce('dpop_ath', payload.ath === b64url(sha256(accessToken)),
        'ath' in payload ? 'ath_mismatch' : 'ath_missing');
    }
    return jkt;
  }

  // Checks "Authorization: Bearer <cas>" and the DPoP proof that goes with it, and binds an
  // unbound session to the proof's key. Returns the session's family.
  async function authenticate(checks, req, url) {
    const fail = (reason) => ({ error: 'invalid_token', reason });
    const wwwAuth = { 'WWW-Authenticate': 'Bearer error="invalid_token"' };
    const auth = req.headers.authorization || '';
    const m = /^Bearer ([A-Za-z0-9._~+/-]+=*)$/i.exec(auth);
    checks.enforce('bearer_present', Boolean(m), 401, fail('missing_authorization'), undefined, wwwAuth);
    const cas = m[1];
    const session = state.sessions.get(cas);
    checks.enforce('bearer_known', Boolean(session), 401, fail('unknown_session'), undefined, wwwAuth);
    const family = state.families.get(session.familyId);
    checks.enforce('session_not_revoked', !family.revoked, 401, fail('revoked'), undefined, wwwAuth);
    checks.enforce('session_not_expired', serviceNow() < session.expiresAt, 401, fail('expired'),
      undefined, wwwAuth);
    if (!req.headers.dpop && !settings.require_dpop && !family.jkt) {
      checks.pass('dpop_not_required', 'session is not bound to a key');
      return { family, cas };
    }
    const jkt = await verifyDPoP(checks, req, url, cas, 401);
    if (family.jkt) {
      checks.enforce('dpop_key_bound', family.jkt === jkt, 401,
        { error: 'invalid_dpop_proof', reason: 'key_mismatch' },
        'the proof is signed with another key than the session is bound to');
    } else {
      family.jkt = jkt;
      checks.pass('dpop_key_bound', 'session bound to this key at its first authenticated request');
    }
    return { family, cas };
  }

  // ---- endpoints --------------------------------------------------------------------------------

  function discovery(checks) {
    const base = baseURL;
    checks.pass('discovery_served', settings.discovery_issuer ? 'names another issuer' : undefined);
    return {
      status: 200,
      json: {
        issuer: settings.discovery_issuer || issuer(),
        authorization_endpoint: `${base}/authorize`,
        token_endpoint: `${base}/oauth/token`,
        jwks_uri: `${base}/jwks.json`,
        response_types_supported: ['code'],
        subject_types_supported: ['public'],
        id_token_signing_alg_values_supported: ['ES256'],
        scopes_supported: ['openid', 'email', 'profile', 'offline_access'],
        grant_types_supported: ['authorization_code', 'refresh_token'],
        code_challenge_methods_supported: ['S256'],
        dpop_signing_alg_values_supported: ['ES256'],
      },
    };
  }

  function authorizeRefusal(checks, reason) {
    const failed = checks.list.filter((c) => !c.ok).map((c) => c.check);
    return new HttpError(400, page('Sign-in request refused',
      `<h1>Sign-in request refused</h1><p>${escapeHtml(reason)}</p>` +
      `<p>Failed checks: ${escapeHtml(failed.join(', '))}</p>`));
  }

  function authorize(checks, url) {
    const params = url.searchParams;
    const one = (name) => params.get(name);
    const need = (name, cond, reason) => {
      if (!checks.advise(name, cond, reason)) throw authorizeRefusal(checks, reason);
    };
    const names = [...params.keys()];
    need('no_repeated_parameters', new Set(names).size === names.length,
      'a parameter appears more than once');
    const client = settings.clients.find((c) => c.client_id === one('client_id'));
    need('client_id_known', Boolean(client), 'unknown client_id');
    const redirectUri = one('redirect_uri');
    need('redirect_uri_registered', Boolean(redirectUri) && client.redirect_uris.includes(redirectUri),
      'redirect_uri is not registered for this client');
    need('response_type_code', one('response_type') === 'code', 'response_type must be code');
    need('code_challenge_method_s256', one('code_challenge_method') === 'S256',
      'code_challenge_method must be S256');
    need('code_challenge_s256', /^[A-Za-z0-9_-]{43}$/.test(one('code_challenge') || ''),
      'code_challenge must be 43 characters of base64url (S256)');
    need('state_present', Boolean(one('state')), 'state is missing');
    need('nonce_present', Boolean(one('nonce')), 'nonce is missing');
    checks.advise('scope_present', Boolean(one('scope')));
    for (const p of ['corvane_app_slug', 'corvane_client_version', 'corvane_lib_version']) {
      need(`${p}_present`, Boolean(one(p)), `${p} is missing`);
    }
    const provider = one('provider');
    if (provider !== null) {
      need('provider_known', PROVIDERS.includes(provider), 'provider must be apple, google or email');
    }
    const prompt = one('prompt');
    need('prompt_only_for_google', (prompt !== null) === (provider === 'google'),
      'prompt goes with provider=google and only with it');
    if (prompt !== null) need('prompt_select_account', prompt === 'select_account', 'prompt must be select_account');

    const request = {
      clientId: client.client_id,
      redirectUri,
      codeChallenge: one('code_challenge'),
      state: one('state'),
      nonce: one('nonce'),
      appSlug: one('corvane_app_slug'),
      provider,
    };
    const forcedError = state.authorizeErrors.shift();
    if (forcedError) {
      checks.pass('knob_authorize_error', forcedError.error);
      return redirectBack(request, { error: forcedError.error,
        ...(forcedError.error_description ? { error_description: forcedError.error_description } : {}) });
    }
    if (settings.interactive || params.get('interactive') === '1') {
      const id = token('req_', 16);
      state.pending.set(id, { request, at: Date.now() });
      return {
        status: 200,
        html: page('Sign in', `<h1>identity-dev</h1><form method="post" action="/authorize/approve">` +
          `<input type="hidden" name="request" value="${escapeHtml(id)}">` +
          `<button type="submit">Sign in as ${escapeHtml(settings.email)}</button></form>`),
      };
    }
    return approve(checks, request);
  }

  function redirectBack(request, fields) {
    const target = new URL(request.redirectUri);
    for (const [k, v] of Object.entries(fields)) target.searchParams.append(k, v);
    target.searchParams.append('state', request.state);
    return { status: 302, headers: { Location: target.toString() }, text: '' };
  }

  function approve(checks, request) {
    const code = remember(token('code_'));
    state.codes.set(code, { ...request, email: settings.email, at: serviceNow(), used: false,
      familyId: null });
    checks.pass('code_issued');
    return redirectBack(request, { code });
  }

  function approvePending(checks, rawBody) {
    const id = new URLSearchParams(rawBody.toString('utf8')).get('request');
    for (const [k, p] of state.pending) {
      if (Date.now() - p.at > PENDING_LIFETIME_MS) state.pending.delete(k);
    }
    const pending = id && state.pending.get(id);
    checks.advise('pending_request_known', Boolean(pending), 'unknown, expired or already used');
    if (!pending) {
      throw new HttpError(400, page('Unknown request', '<p>This sign-in request is unknown or was ' +
        'already answered. Start the sign-in again.</p>'));
    }
    state.pending.delete(id);
    return approve(checks, pending.request);
  }

  async function exchange(checks, req, url, body) {
    checkRecord(checks, body, [['app_slug', true], ['code', true], ['code_verifier', false],
      ['redirect_uri', false], ['client_version', false], ['install_id', false]]);
    checks.advise('install_id_present', 'install_id' in body);
    if ('client_version' in body && req.headers['corvane-client-version']) {
      checks.advise('client_version_matches_header',
        body.client_version === req.headers['corvane-client-version']);
    }
    let jkt = null;
    if (req.headers.dpop) jkt = await verifyDPoP(checks, req, url, undefined, 400);
    else checks.pass('dpop_absent', 'session binds to the key of its first authenticated request');
    const grant = (reason) => ({ error: 'invalid_grant', reason });
    const code = state.codes.get(body.code);
    checks.enforce('code_known', Boolean(code), 400, grant('unknown_code'));
    if (code.used) {
      // A code presented twice: refuse it and withdraw what it was exchanged for.
      const family = code.familyId && state.families.get(code.familyId);
      if (family) revokeFamily(family);
    }
    checks.enforce('code_unused', !code.used, 400, grant('code_reused'));
    code.used = true;
    checks.enforce('code_fresh', serviceNow() - code.at <= settings.code_lifetime_s * 1000, 400,
      grant('code_expired'));
    checks.enforce('app_slug_matches', body.app_slug === code.appSlug, 400, grant('app_slug_mismatch'));
    checks.enforce('redirect_uri_matches', body.redirect_uri === code.redirectUri, 400,
      grant('redirect_uri_mismatch'));
    checks.enforce('code_verifier_present', typeof body.code_verifier === 'string', 400,
      grant('code_verifier_missing'));
    checks.enforce('code_verifier_format', /^[A-Za-z0-9._~-]{43,128}$/.test(body.code_verifier), 400,
      { error: 'invalid_request', reason: 'code_verifier_format' });
    remember(body.code_verifier);
    checks.enforce('pkce_s256', b64url(sha256(body.code_verifier)) === code.codeChallenge, 400,
      grant('pkce_mismatch'));
    const family = newFamily({ email: code.email, appSlug: code.appSlug, installId: body.install_id,
      via: 'oauth', jkt, code: body.code });
    code.familyId = family.id;
    if (jkt) checks.pass('session_bound_at_exchange');
    return { status: 200, json: issueSession(family) };
  }

  function refresh(checks, body) {
    checkRecord(checks, body, [['app_slug', true], ['refresh_token', true], ['client_version', false]]);
    const grant = (reason) => ({ error: 'invalid_grant', reason });
    const rt = state.refreshTokens.get(body.refresh_token);
    checks.enforce('refresh_token_known', Boolean(rt), 400, grant('unknown_refresh_token'));
    const family = state.families.get(rt.familyId);
    const stats = state.refreshStats;
    stats.refreshes += 1;
    if (withinGrace(rt, family)) {
      checks.pass('refresh_token_grace', 'spent within the grace: the same new pair again');
      stats.grace_replays += 1;
      return { status: 200, json: rt.answer };
    }
    if (rt.used) stats.reused_refresh_tokens += 1;
    if (rt.used && settings.revoke_family_on_reuse) revokeFamily(family);
    checks.enforce('refresh_token_unused', !rt.used, 400, grant('refresh_token_reused'));
    checks.enforce('session_not_revoked', !family.revoked, 400, grant('revoked'));
    checks.enforce('refresh_token_fresh', serviceNow() < rt.expiresAt, 400, grant('refresh_token_expired'));
    checks.enforce('app_slug_matches', body.app_slug === family.appSlug, 400, grant('app_slug_mismatch'));
    rt.used = true;
    rt.usedAt = serviceNow();
    family.refreshes += 1;
    stats.rotations += 1;
    rt.answer = issueSession(family);
    return { status: 200, json: rt.answer };
  }

  // Within the grace after a rotation, the spent token may be presented again (its answer was
  // lost on the way) and gets the same new pair.
  function withinGrace(rt, family) {
    return rt.used && rt.answer && !family.revoked && settings.refresh_grace_s > 0 &&
      serviceNow() - rt.usedAt <= settings.refresh_grace_s * 1000;
  }

  async function revoke(checks, req, url, rawBody) {
    const { family } = await authenticate(checks, req, url);
    checks.advise('body_empty', rawBody.length === 0, 'revoke carries no body');
    revokeFamily(family);
    return { status: 200, json: { ok: true } };
  }

  async function appDataToken(checks, req, url, body) {
    const { family } = await authenticate(checks, req, url);
    checkRecord(checks, body, [['app_slug', true]]);
    checks.enforce('app_slug_matches', body.app_slug === family.appSlug, 400,
      { error: 'invalid_request', reason: 'app_slug_mismatch' });
    return {
      status: 200,
      json: {
        ok: true,
        app_data_token: remember(token('adt_', 24)),
        expires_at: iso(serviceNow() + settings.app_data_token_lifetime_s * 1000),
      },
    };
  }

  function appleAuthcode(checks, body) {
    checkRecord(checks, body, [['app_slug', true], ['authorization_code', true],
      ['identity_token', false], ['install_id', false]]);
    remember(body.authorization_code);
    let email = settings.email;
    let subject = `apple:${email}`;
    if ('identity_token' in body) {
      remember(body.identity_token);
      let claims = null;
      const parts = body.identity_token.split('.');
      try {
        if (parts.length === 3) claims = JSON.parse(Buffer.from(parts[1], 'base64url').toString('utf8'));
      } catch {
        claims = null;
      }
      checks.enforce('identity_token_decodes', claims !== null && typeof claims === 'object', 400,
        { error: 'invalid_request', reason: 'identity_token_malformed' });
      if (typeof claims.email === 'string' && claims.email) email = claims.email;
      if (typeof claims.sub === 'string' && claims.sub) subject = `apple:${claims.sub}`;
    }
    const codeHash = sha256(body.authorization_code).toString('hex');
    checks.enforce('authorization_code_unused', !state.appleCodes.has(codeHash), 400,
      { error: 'invalid_grant', reason: 'code_reused' });
    state.appleCodes.add(codeHash);
    const isNewUser = !state.appleSubjects.has(subject);
    state.appleSubjects.add(subject);
    const family = newFamily({ email, appSlug: body.app_slug, installId: body.install_id, via: 'apple' });
    const s = issueSession(family);
    return {
      status: 200,
      json: {
        ok: true,
        corvane_account_id: s.corvane_account_id,
        email: s.email,
        cas: s.cas,
        refresh_token: s.refresh_token,
        expires_at: s.expires_at,
        is_new_user: isNewUser,
      },
    };
  }

  function errorEvents(checks, req, rawBody) {
    checks.enforce('batch_size', rawBody.length <= MAX_BATCH_BYTES, 413,
      { error: 'payload_too_large', reason: 'batch_over_262144_bytes' });
    checks.advise('content_type_json', (req.headers['content-type'] || '').startsWith('application/json'));
    const credentialHeaders = ['authorization', 'dpop', 'cookie'].filter((h) => h in req.headers);
    checks.enforce('no_credential_headers', credentialHeaders.length === 0, 400,
      { error: 'invalid_request', reason: 'credentials_in_headers' },
      credentialHeaders.length ? `sent: ${credentialHeaders.join(', ')}` : undefined);
    let batch;
    try {
      batch = JSON.parse(rawBody.toString('utf8'));
    } catch {
      batch = undefined;
    }
    checks.enforce('body_is_json', batch !== undefined, 400, { error: 'invalid_request', reason: 'not_json' });
    const problems = validateErrorBatch(batch, state.secrets);
    if (problems.length) {
      for (const p of problems) checks.list.push({ check: 'wire_format', ok: false, enforced: true, detail: p });
      throw new HttpError(400, { error: 'invalid_batch', problems });
    }
    checks.pass('wire_format', `${batch.events.length} events`);
    state.errorBatches.push(batch);
    return { status: 202, json: { ok: true, accepted: batch.events.length } };
  }

  function geo(checks, req) {
    checks.advise('no_credential_headers', !req.headers.authorization && !req.headers.dpop);
    return { status: 200, json: { eu: Boolean(settings.geo_eu) } };
  }

  // ---- test knobs -----------------------------------------------------------------------------

  function knobRules(rules) {
    if (!Array.isArray(rules)) throw new HttpError(400, { error: 'rules must be a list' });
    return rules.map((r) => {
      if (!r || typeof r.path !== 'string' || !r.path.startsWith('/')) {
        throw new HttpError(400, { error: 'every rule needs a path starting with /' });
      }
      const times = r.times === undefined ? 1 : r.times;
      if (!(times === 'always' || (Number.isInteger(times) && times >= 1))) {
        throw new HttpError(400, { error: 'times must be a whole number of at least 1 or "always"' });
      }
      if (r.status !== undefined && !(Number.isInteger(r.status) && r.status >= 200 && r.status <= 599)) {
        throw new HttpError(400, { error: 'status must be an HTTP status code' });
      }
      if (r.redirect !== undefined) {
        try {
          new URL(r.redirect); // eslint-disable-line no-new
        } catch {
          throw new HttpError(400, { error: 'redirect must be an absolute URL' });
        }
      }
      for (const k of ['reset', 'lose_answer']) {
        if (r[k] !== undefined && typeof r[k] !== 'boolean') throw new HttpError(400, { error: `${k} must be true or false` });
      }
      if (r.delay_ms !== undefined && !(Number.isInteger(r.delay_ms) && r.delay_ms >= 0 && r.delay_ms <= 60000)) {
        throw new HttpError(400, { error: 'delay_ms must be 0 to 60000' });
      }
      return { ...r, times };
    });
  }

  function setKnobs(body) {
    if (body === null || typeof body !== 'object' || Array.isArray(body)) {
      throw new HttpError(400, { error: 'knobs must be a JSON object' });
    }
    const allowed = new Set([...RUNTIME_SETTINGS, 'rules', 'authorize_error', 'advance_clock_s',
      'rotate_dpop_nonce']);
    for (const k of Object.keys(body)) {
      if (!allowed.has(k)) throw new HttpError(400, { error: `unknown knob "${k}"` });
    }
    const rules = body.rules ? knobRules(body.rules) : [];
    if (body.authorize_error !== undefined) {
      const e = body.authorize_error;
      if (!e || typeof e.error !== 'string') {
        throw new HttpError(400, { error: 'authorize_error needs an error code' });
      }
      const times = e.times === undefined ? 1 : e.times;
      if (!Number.isInteger(times) || times < 1) throw new HttpError(400, { error: 'times must be at least 1' });
      for (let i = 0; i < times; i += 1) state.authorizeErrors.push(e);
    }
    if (body.advance_clock_s !== undefined) {
      if (typeof body.advance_clock_s !== 'number' || !Number.isFinite(body.advance_clock_s)) {
        throw new HttpError(400, { error: 'advance_clock_s must be a number' });
      }
      state.clockOffsetMs += body.advance_clock_s * 1000;
    }
    if ('random_faults' in body) {
      try {
        body.random_faults = checkRandomFaults(body.random_faults);
      } catch (e) {
        throw new HttpError(400, { error: e.message });
      }
    }
    if ('refresh_grace_s' in body && !(typeof body.refresh_grace_s === 'number' && body.refresh_grace_s >= 0)) {
      throw new HttpError(400, { error: 'refresh_grace_s must be 0 or more' });
    }
    if ('dpop_nonce_lifetime_s' in body && !(typeof body.dpop_nonce_lifetime_s === 'number' && body.dpop_nonce_lifetime_s > 0)) {
      throw new HttpError(400, { error: 'dpop_nonce_lifetime_s must be more than 0' });
    }
    for (const k of RUNTIME_SETTINGS) if (k in body) settings[k] = body[k];
    if (body.rotate_dpop_nonce === true) rotateNonce();
    state.rules.push(...rules);
    return knobView();
  }

  function knobView() {
    const view = {};
    for (const k of RUNTIME_SETTINGS) view[k] = settings[k];
    view.rules = state.rules;
    view.authorize_errors_pending = state.authorizeErrors.length;
    view.clock_offset_s = state.clockOffsetMs / 1000;
    return view;
  }

  // A rule for a randomly faulted answer of the identity service, or null.
  function randomFault(path) {
    const faults = settings.random_faults;
    if (!faults || !path.startsWith('/api/') || !(Math.random() < faults.rate)) return null;
    const kinds = faults.kinds.filter((k) => k !== 'lose_rotation' || path === '/api/app-sessions/refresh');
    if (!kinds.length) return null;
    const kind = kinds[Math.floor(Math.random() * kinds.length)];
    const counts = state.refreshStats.faults;
    counts[kind] = (counts[kind] || 0) + 1;
    switch (kind) {
      case '5xx': return { status: [500, 502, 503][Math.floor(Math.random() * 3)], random: kind };
      case 'reset': return { reset: true, random: kind };
      case 'delay': return { delay_ms: faults.delay_ms, random: kind };
      case '429': return { status: 429, retry_after: 1, random: kind };
      default: return { lose_answer: true, random: kind };
    }
  }

  function takeRule(method, path) {
    const i = state.rules.findIndex((r) => r.path === path && (!r.method || r.method.toUpperCase() === method));
    if (i < 0) return null;
    const rule = state.rules[i];
    if (rule.times !== 'always') {
      rule.times -= 1;
      if (rule.times === 0) state.rules.splice(i, 1);
    }
    return rule;
  }

  function devState() {
    return {
      families: [...state.families.values()].map((f) => ({
        id: f.id, account_id: f.accountId, email: f.email, app_slug: f.appSlug, via: f.via,
        jkt: f.jkt, revoked: f.revoked, refreshes: f.refreshes, install_id_given: f.installId !== null,
      })),
      sessions: state.sessions.size,
      refresh_tokens: state.refreshTokens.size,
      refresh_stats: state.refreshStats,
      codes: state.codes.size,
      clock_offset_s: state.clockOffsetMs / 1000,
    };
  }

  // ---- dispatch -------------------------------------------------------------------------------

  const ROUTES = {
    'GET /authorize': (c, req, url) => authorize(c, url),
    'POST /authorize/approve': (c, req, url, raw) => approvePending(c, raw),
    'POST /oauth/token': () => ({ status: 400, json: { error: 'unsupported_grant_type',
      error_description: 'codes are exchanged at /api/app-sessions/exchange' } }),
    'GET /jwks.json': () => ({ status: 200, json: { keys: [] } }),
    'POST /api/app-sessions/exchange': (c, req, url, raw, body) => exchange(c, req, url, body),
    'POST /api/app-sessions/refresh': (c, req, url, raw, body) => refresh(c, body),
    'POST /api/sessions/revoke': (c, req, url, raw) => revoke(c, req, url, raw),
    'POST /api/integrations/apple/authcode': (c, req, url, raw, body) => appleAuthcode(c, body),
    'POST /api/app-data-token': (c, req, url, raw, body) => appDataToken(c, req, url, body),
    'POST /api/error-events': (c, req, url, raw) => errorEvents(c, req, raw),
    'GET /api/geo': (c, req) => geo(c, req),
  };
  const JSON_BODY = new Set(['POST /api/app-sessions/exchange', 'POST /api/app-sessions/refresh',
    'POST /api/integrations/apple/authcode', 'POST /api/app-data-token']);
  const LIBRARY_CALLS = new Set([...JSON_BODY, 'POST /api/sessions/revoke']);

  function discoveryPath() {
    let prefix = '';
    try {
      const iss = new URL(issuer());
      if (iss.origin === new URL(baseURL).origin) prefix = iss.pathname.replace(/\/+$/, '');
    } catch {
      prefix = '';
    }
    return `${prefix}/.well-known/openid-configuration`;
  }

  function devRoute(method, path, body, url) {
    const key = `${method} ${path}`;
    switch (key) {
      case 'GET /__dev/knobs': return { status: 200, json: knobView() };
      case 'POST /__dev/knobs': return { status: 200, json: setKnobs(body) };
      case 'DELETE /__dev/knobs': state.rules = []; state.authorizeErrors = []; return { status: 200, json: knobView() };
      case 'GET /__dev/log': {
        const since = Number(url.searchParams.get('since') || 0);
        return { status: 200, json: state.log.filter((e) => e.seq > since) };
      }
      case 'GET /__dev/error-events': return { status: 200, json: state.errorBatches };
      case 'GET /__dev/state': return { status: 200, json: devState() };
      case 'POST /__dev/reset':
        settings = structuredClone(initialSettings);
        state = freshState();
        return { status: 200, json: { ok: true } };
      default: return null;
    }
  }

  async function readBody(req) {
    const chunks = [];
    let size = 0;
    for await (const chunk of req) {
      size += chunk.length;
      if (size > MAX_BODY_BYTES) throw new HttpError(413, { error: 'payload_too_large' });
      chunks.push(chunk);
    }
    return Buffer.concat(chunks);
  }

  function send(res, result, extraHeaders = {}) {
    const headers = { 'Cache-Control': 'no-store', ...(result.headers || {}), ...extraHeaders };
    let payload = '';
    if (result.json !== undefined) {
      headers['Content-Type'] = 'application/json';
      payload = JSON.stringify(result.json);
    } else if (result.html !== undefined) {
      headers['Content-Type'] = 'text/html; charset=utf-8';
      payload = result.html;
    } else if (result.text !== undefined) {
      payload = result.text;
      if (payload) headers['Content-Type'] = 'text/plain; charset=utf-8';
    }
    res.writeHead(result.status, headers);
    res.end(payload);
  }

  function errorResult(e) {
    if (e instanceof HttpError) {
      const html = typeof e.body === 'string';
      return { status: e.status, headers: e.headers, ...(html ? { html: e.body } : { json: e.body }) };
    }
    return { status: 500, json: { error: 'server_error' } };
  }

  async function handle(req, res) {
    const url = new URL(req.url, baseURL);
    const method = req.method;
    const path = url.pathname;
    if (path.startsWith('/__dev/')) {
      let result;
      try {
        const raw = await readBody(req);
        let body = null;
        if (raw.length) {
          try {
            body = JSON.parse(raw.toString('utf8'));
          } catch {
            throw new HttpError(400, { error: 'body is not JSON' });
          }
        }
        result = devRoute(method, path, body, url) || { status: 404, json: { error: 'not_found' } };
      } catch (e) {
        result = errorResult(e);
      }
      send(res, result);
      return;
    }

    const checks = new Checks();
    const entry = { seq: ++state.seq, at: new Date().toISOString(), method, path };
    let result;
    let extraHeaders = {};
    let loseAnswer = false;
    try {
      const raw = await readBody(req);
      let rule = takeRule(method, path);
      if (!rule) rule = randomFault(path);
      if (rule && rule.reset) {
        // The connection is dropped before anything happened.
        entry.knob = { reset: true };
        entry.status = 0;
        state.log.push(entry);
        log(`${method} ${path} -> connection reset [knob]`);
        req.socket.destroy();
        return;
      }
      loseAnswer = Boolean(rule && rule.lose_answer);
      if (rule) {
        entry.knob = { ...rule };
        delete entry.knob.times;
        if (rule.delay_ms) await new Promise((r) => setTimeout(r, rule.delay_ms));
        if (rule.deprecation !== undefined) extraHeaders['Corvane-Deprecation'] = rule.deprecation;
        if (rule.retry_after !== undefined) extraHeaders['Retry-After'] = String(rule.retry_after);
        Object.assign(extraHeaders, rule.headers || {});
      }
      if (rule && rule.redirect !== undefined) {
        result = { status: rule.status || 307, headers: { Location: rule.redirect }, text: '' };
      } else if (rule && (rule.status !== undefined || rule.body !== undefined)) {
        const status = rule.status || 200;
        let body = rule.body;
        if (body === undefined) body = status < 300 ? { ok: true } : { error: rule.error || 'forced_status' };
        result = typeof body === 'string' ? { status, text: body } : { status, json: body };
      } else {
        const key = `${method} ${path}`;
        if (method === 'GET' && path === discoveryPath()) {
          result = discovery(checks);
        } else if (ROUTES[key]) {
          entry.endpoint = path;
          if (LIBRARY_CALLS.has(key)) checkLibraryHeaders(checks, req);
          let body;
          if (JSON_BODY.has(key)) {
            checks.enforce('content_type_json', (req.headers['content-type'] || '').startsWith('application/json'),
              415, { error: 'invalid_request', reason: 'content_type' });
            try {
              body = JSON.parse(raw.toString('utf8'));
            } catch {
              body = undefined;
            }
            checks.enforce('body_is_json', body !== undefined, 400, { error: 'invalid_request', reason: 'not_json' });
          }
          result = await ROUTES[key](checks, req, url, raw, body);
        } else if (Object.keys(ROUTES).some((k) => k.endsWith(` ${path}`))) {
          result = { status: 405, json: { error: 'method_not_allowed' } };
        } else {
          result = { status: 404, json: { error: 'not_found' } };
        }
      }
    } catch (e) {
      if (!(e instanceof HttpError)) log(`internal error on ${method} ${path}: ${e && e.name}`);
      result = errorResult(e);
    }
    entry.status = result.status;
    entry.checks = checks.list;
    entry.ok = checks.list.every((c) => c.ok);
    if (result.json && result.json.error) entry.error = result.json.error;
    if (result.json && result.json.reason) entry.reason = result.json.reason;
    state.log.push(entry);
    if (state.log.length > MAX_LOG_ENTRIES) state.log.splice(0, state.log.length - MAX_LOG_ENTRIES);
    const failed = checks.list.filter((c) => !c.ok)
      .map((c) => `${c.check}${c.enforced ? '' : ' (advisory)'}${c.detail ? `: ${c.detail}` : ''}`);
    log(`${method} ${path} -> ${result.status}${entry.knob ? ' [knob]' : ''}` +
      `${loseAnswer ? ' (answer lost)' : ''}; ` +
      `${checks.list.length - failed.length} checks passed` +
      `${failed.length ? `; FAILED ${failed.join('; ')}` : ''}`);
    if (loseAnswer) {
      // The service acted on the request, and the answer never reaches the client.
      req.socket.destroy();
      return;
    }
    if (settings.require_dpop_nonce && LIBRARY_CALLS.has(`${method} ${path}`) && !('DPoP-Nonce' in (result.headers || {}))) {
      extraHeaders['DPoP-Nonce'] = currentNonce();
    }
    send(res, result, extraHeaders);
  }

  const server = http.createServer((req, res) => {
    handle(req, res).catch(() => {
      if (!res.headersSent) send(res, { status: 500, json: { error: 'server_error' } });
    });
  });

  return {
    server,
    async listen(port = 0) {
      await new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(port, '127.0.0.1', resolve);
      });
      baseURL = `http://127.0.0.1:${server.address().port}`;
      return baseURL;
    },
    close: () => new Promise((resolve) => server.close(resolve)),
  };
}

const USAGE = `usage: node server.mjs [options]
  --port N                   listen on 127.0.0.1:N (0 or none: a free port)
  --issuer URL               issuer named in discovery (default: the base URL)
  --discovery-issuer URL     make the discovery document name this issuer instead
  --client-id ID             the one registered client (default quillet-desktop)
  --redirect-uri URI         a redirect URI registered for it (repeatable;
                             default quillet://auth/callback)
  --config FILE              JSON settings (see README.md); flags win over it
  --email ADDRESS            the account that signs in (default dev@example.com)
  --interactive              show a "Sign in as ..." page instead of redirecting at once
  --allow-no-dpop            accept bearer-only calls on sessions not bound to a key
  --geo-eu                   answer the geo probe with {"eu":true}
  --revoke-family-on-reuse   a reused refresh token also ends its session
  --session-lifetime S       session lifetime in seconds (default 604800)
  --refresh-lifetime S       refresh-token lifetime in seconds (default 5184000)
  --code-lifetime S          authorization-code lifetime in seconds (default 60)
  --quiet                    no log lines on stderr`;

async function main() {
  let cli;
  let settings;
  let port;
  try {
    cli = parseArgs(process.argv.slice(2));
    if (cli.help) {
      process.stdout.write(`${USAGE}\n`);
      return;
    }
    settings = buildSettings(cli);
    port = cli.port === undefined ? 0 : Number(cli.port);
    if (!Number.isInteger(port) || port < 0 || port > 65535) throw new Error('--port must be 0 to 65535');
  } catch (e) {
    process.stderr.write(`identity-dev: ${e.message}\n${USAGE}\n`);
    process.exit(2);
  }
  const service = createIdentityServer(settings, { quiet: Boolean(cli.quiet) });
  let base;
  try {
    base = await service.listen(port);
  } catch (e) {
    process.stderr.write(`identity-dev: cannot listen on 127.0.0.1:${port}: ${e.code || e.message}\n`);
    process.exit(1);
  }
  process.stdout.write(`${base}\n`);
  if (!cli.quiet) {
    process.stderr.write(`identity-dev: listening on ${base}; issuer ${settings.issuer || base}; ` +
      `clients ${settings.clients.map((c) => c.client_id).join(', ')}; webcrypto ${WEBCRYPTO_MODE}\n`);
  }
  const stop = () => service.close().then(() => process.exit(0));
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
}

if (process.argv[1] && import.meta.url === pathToFileURL(process.argv[1]).href) await main();
