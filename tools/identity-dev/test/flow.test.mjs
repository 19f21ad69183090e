// The sign-in as the account library does it: discovery, the authorization request, the code
// exchange, and the checks that refuse a request that is not sound.
import assert from 'node:assert/strict';
import { after, before, beforeEach, describe, test } from 'node:test';
import {
  APP_SLUG, CLIENT_ID, REDIRECT_URI, authedPost, authorizeCode, authorizeURL, dev, exchange,
  lastLog, newKey, pkce, postJSON, startServer,
} from '../test-support/client.mjs';

let srv;
let base;
before(async () => {
  srv = await startServer();
  base = srv.url;
});
after(() => srv.stop());
beforeEach(() => dev(base, '/__dev/reset', {}));

describe('discovery', () => {
  test('names the base URL as issuer and endpoints under it', async () => {
    const res = await fetch(`${base}/.well-known/openid-configuration`);
    assert.equal(res.status, 200);
    const doc = await res.json();
    assert.equal(doc.issuer, base);
    assert.equal(doc.authorization_endpoint, `${base}/authorize`);
    assert.ok(doc.token_endpoint.startsWith(base));
    assert.deepEqual(doc.code_challenge_methods_supported, ['S256']);
  });

  test('a knob makes it name another issuer, and reset undoes it', async () => {
    await dev(base, '/__dev/knobs', { discovery_issuer: 'https://elsewhere.example' });
    let doc = await (await fetch(`${base}/.well-known/openid-configuration`)).json();
    assert.equal(doc.issuer, 'https://elsewhere.example');
    await dev(base, '/__dev/reset', {});
    doc = await (await fetch(`${base}/.well-known/openid-configuration`)).json();
    assert.equal(doc.issuer, base);
  });
});

describe('authorize', () => {
  test('redirects to the redirect URI with a code and the request state', async () => {
    const { location, code, state } = await authorizeCode(base);
    assert.equal(`${location.protocol}//${location.host}${location.pathname}`, REDIRECT_URI);
    assert.equal(location.searchParams.get('state'), state);
    assert.ok(code && code.length > 20);
    const entry = await lastLog(base);
    assert.equal(entry.ok, true);
    assert.ok(entry.checks.some((c) => c.check === 'nonce_present' && c.ok));
  });

  const refusals = [
    ['an unknown client', { client_id: 'someone-else' }, 'client_id_known'],
    ['a foreign redirect URI', { redirect_uri: 'https://attacker.example/cb' }, 'redirect_uri_registered'],
    ['response type token', { response_type: 'token' }, 'response_type_code'],
    ['the plain PKCE method', { code_challenge_method: 'plain' }, 'code_challenge_method_s256'],
    ['no PKCE method', { code_challenge_method: undefined }, 'code_challenge_method_s256'],
    ['a challenge that is not S256-shaped', { code_challenge: 'short' }, 'code_challenge_s256'],
    ['no state', { state: undefined }, 'state_present'],
    ['no nonce', { nonce: undefined }, 'nonce_present'],
    ['no app slug', { corvane_app_slug: undefined }, 'corvane_app_slug_present'],
    ['an unknown provider', { provider: 'github' }, 'provider_known'],
    ['prompt without google', { provider: 'apple', prompt: 'select_account' }, 'prompt_only_for_google'],
    ['google without prompt', { provider: 'google' }, 'prompt_only_for_google'],
  ];
  for (const [what, params, check] of refusals) {
    test(`refuses ${what} with a 400 page and no redirect`, async () => {
      const res = await fetch(authorizeURL(base, { params }).url, { redirect: 'manual' });
      assert.equal(res.status, 400);
      assert.equal(res.headers.get('location'), null);
      assert.match(res.headers.get('content-type'), /text\/html/);
      const entry = await lastLog(base);
      assert.deepEqual(entry.checks.filter((c) => !c.ok).map((c) => c.check), [check]);
    });
  }

  test('accepts the provider hints as the library sends them', async () => {
    for (const params of [{ provider: 'google', prompt: 'select_account' }, { provider: 'apple' },
      { provider: 'email' }]) {
      const res = await fetch(authorizeURL(base, { params }).url, { redirect: 'manual' });
      assert.equal(res.status, 302, JSON.stringify(params));
    }
  });

  test('refuses a parameter given twice', async () => {
    const { url } = authorizeURL(base);
    const res = await fetch(`${url}&state=again`, { redirect: 'manual' });
    assert.equal(res.status, 400);
  });

  test('answers with an error and the state when told to, for the next N requests', async () => {
    await dev(base, '/__dev/knobs', { authorize_error: { error: 'access_denied', times: 2 } });
    for (let i = 0; i < 2; i += 1) {
      const { url, params } = authorizeURL(base);
      const res = await fetch(url, { redirect: 'manual' });
      assert.equal(res.status, 302);
      const loc = new URL(res.headers.get('location'));
      assert.equal(loc.searchParams.get('error'), 'access_denied');
      assert.equal(loc.searchParams.get('state'), params.state);
      assert.equal(loc.searchParams.get('code'), null);
    }
    const { code } = await authorizeCode(base);
    assert.ok(code);
  });

  test('interactive: a one-button page whose button leads to the redirect', async () => {
    const p = pkce();
    const { url, params } = authorizeURL(base, { pkce: p, params: { interactive: '1' } });
    const res = await fetch(url, { redirect: 'manual' });
    assert.equal(res.status, 200);
    const html = await res.text();
    assert.match(html, /<button[^>]*>Sign in as dev@example\.com<\/button>/);
    const request = /name="request" value="([^"]+)"/.exec(html)[1];
    const approve = () => fetch(`${base}/authorize/approve`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: new URLSearchParams({ request }).toString(),
      redirect: 'manual',
    });
    const first = await approve();
    assert.equal(first.status, 302);
    const loc = new URL(first.headers.get('location'));
    assert.equal(loc.searchParams.get('state'), params.state);
    const ex = await exchange(base, { code: loc.searchParams.get('code'), verifier: p.verifier });
    assert.equal(ex.status, 200);
    assert.equal((await approve()).status, 400, 'a request is approved once');
  });
});

describe('code exchange', () => {
  test('answers a CasResponse with exactly the keys of the record', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    const res = await exchange(base, { code, verifier: p.verifier });
    assert.equal(res.status, 200);
    assert.deepEqual(Object.keys(res.json), ['ok', 'cas', 'session_token', 'refresh_token',
      'expires_in', 'expires_at', 'corvane_account_id', 'email', 'app_slug', 'platform',
      'app_data_token', 'app_data_token_expires_at', 'corvane_lib_version']);
    assert.equal(res.json.ok, true);
    assert.equal(res.json.email, 'dev@example.com');
    assert.equal(res.json.app_slug, APP_SLUG);
    assert.match(res.json.corvane_account_id, /^ca_[0-9a-f]{20}$/);
    assert.match(res.json.expires_at, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);
    const lifetime = Date.parse(res.json.expires_at) - Date.now();
    assert.ok(Math.abs(lifetime - res.json.expires_in * 1000) < 5000);
    assert.deepEqual(Object.keys(res.json.corvane_lib_version), ['minVersion', 'currentVersion']);
  });

  test('the session lifetime knob gives sessions expiring in 47 h or 49 h', async () => {
    for (const hours of [47, 49]) {
      await dev(base, '/__dev/knobs', { session_lifetime_s: hours * 3600 });
      const { code, pkce: p } = await authorizeCode(base);
      const res = await exchange(base, { code, verifier: p.verifier });
      const left = (Date.parse(res.json.expires_at) - Date.now()) / 3600000;
      assert.ok(left > hours - 0.01 && left <= hours, `${left} h`);
      assert.equal(res.json.expires_in, hours * 3600);
    }
  });

  test('a code is good once; presenting it again also withdraws its session', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    const first = await exchange(base, { code, verifier: p.verifier });
    assert.equal(first.status, 200);
    const again = await exchange(base, { code, verifier: p.verifier });
    assert.equal(again.status, 400);
    assert.deepEqual(again.json, { error: 'invalid_grant', reason: 'code_reused' });
    const key = await newKey();
    const call = await authedPost(base, '/api/app-data-token', first.json.cas, key,
      { body: { app_slug: APP_SLUG } });
    assert.equal(call.status, 401);
    assert.equal(call.json.reason, 'revoked');
  });

  test('a code older than its lifetime is refused', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    await dev(base, '/__dev/knobs', { advance_clock_s: 61 });
    const res = await exchange(base, { code, verifier: p.verifier });
    assert.equal(res.status, 400);
    assert.equal(res.json.reason, 'code_expired');
  });

  test('a code just inside its lifetime is accepted', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    await dev(base, '/__dev/knobs', { advance_clock_s: 55 });
    assert.equal((await exchange(base, { code, verifier: p.verifier })).status, 200);
  });

  const refusals = [
    ['a wrong verifier', (c) => ({ verifier: pkce().verifier }), 400, 'pkce_mismatch'],
    ['no verifier', (c) => ({ verifier: undefined }), 400, 'code_verifier_missing'],
    ['a verifier too short', (c) => ({ verifier: 'abc' }), 400, 'code_verifier_format'],
    ['another redirect URI', (c) => ({ redirectUri: 'quillet://auth/other' }), 400, 'redirect_uri_mismatch'],
    ['no redirect URI', (c) => ({ extra: { redirect_uri: undefined } }), 400, 'redirect_uri_mismatch'],
    ['another app slug', (c) => ({ extra: { app_slug: 'other' } }), 400, 'app_slug_mismatch'],
    ['an unknown code', (c) => ({ code: 'code_unknown' }), 400, 'unknown_code'],
    ['an unexpected key', (c) => ({ extra: { scope: 'x' } }), 400, 'unexpected_key'],
    ['a null optional', (c) => ({ extra: { install_id: null } }), 400, 'install_id_not_string'],
  ];
  for (const [what, change, status, reason] of refusals) {
    test(`refuses ${what}`, async () => {
      const { code, pkce: p } = await authorizeCode(base);
      const res = await exchange(base, { code, verifier: p.verifier, ...change(code) });
      assert.equal(res.status, status);
      assert.equal(res.json.reason, reason);
    });
  }

  test('refuses a body whose keys are out of the record order', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    const res = await postJSON(base, '/api/app-sessions/exchange', {
      code, app_slug: APP_SLUG, code_verifier: p.verifier, redirect_uri: REDIRECT_URI,
    });
    assert.equal(res.status, 400);
    assert.equal(res.json.reason, 'key_order');
  });

  test('refuses a body that is not JSON, or not sent as JSON', async () => {
    let res = await postJSON(base, '/api/app-sessions/exchange', '{not json');
    assert.equal(res.status, 400);
    assert.equal(res.json.reason, 'not_json');
    res = await postJSON(base, '/api/app-sessions/exchange', '{}', { 'Content-Type': 'text/plain' });
    assert.equal(res.status, 415);
  });

  test('records header checks without refusing the call', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    const res = await postJSON(base, '/api/app-sessions/exchange', {
      app_slug: APP_SLUG, code, code_verifier: p.verifier, redirect_uri: REDIRECT_URI,
    }, { 'User-Agent': 'curl/8', 'Corvane-Client-Version': '' });
    assert.equal(res.status, 200);
    const entry = await lastLog(base);
    assert.equal(entry.ok, false);
    assert.deepEqual(entry.checks.filter((c) => !c.ok).map((c) => c.check),
      ['header_user_agent', 'header_client_version', 'install_id_present']);
  });

  test('binds the session at exchange when a DPoP proof comes with it', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    const key = await newKey();
    const { proof } = await import('../test-support/client.mjs');
    const dpop = await proof(key, { htm: 'POST', htu: `${base}/api/app-sessions/exchange` });
    const res = await postJSON(base, '/api/app-sessions/exchange', {
      app_slug: APP_SLUG, code, code_verifier: p.verifier, redirect_uri: REDIRECT_URI,
    }, { DPoP: dpop });
    assert.equal(res.status, 200);
    const other = await newKey();
    const call = await authedPost(base, '/api/app-data-token', res.json.cas, other,
      { body: { app_slug: APP_SLUG } });
    assert.equal(call.status, 401);
    assert.equal(call.json.reason, 'key_mismatch');
    const { json: st } = await dev(base, '/__dev/state');
    assert.equal(st.families[0].jkt, await (await import('jose')).calculateJwkThumbprint(key.jwk));
  });

  test('a broken DPoP proof on the exchange is refused with 400', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    const res = await postJSON(base, '/api/app-sessions/exchange', {
      app_slug: APP_SLUG, code, code_verifier: p.verifier, redirect_uri: REDIRECT_URI,
    }, { DPoP: 'a.b.c' });
    assert.equal(res.status, 400);
    assert.equal(res.json.error, 'invalid_dpop_proof');
  });
});

describe('apple and app-data-token', () => {
  test('apple auth code: a session, new user first, known user after, code once', async () => {
    const body = (code) => ({ app_slug: APP_SLUG, authorization_code: code, install_id: 'i-1' });
    const first = await postJSON(base, '/api/integrations/apple/authcode', body('apple-code-1'));
    assert.equal(first.status, 200);
    assert.deepEqual(Object.keys(first.json), ['ok', 'corvane_account_id', 'email', 'cas',
      'refresh_token', 'expires_at', 'is_new_user']);
    assert.equal(first.json.is_new_user, true);
    const second = await postJSON(base, '/api/integrations/apple/authcode', body('apple-code-2'));
    assert.equal(second.json.is_new_user, false);
    const reused = await postJSON(base, '/api/integrations/apple/authcode', body('apple-code-2'));
    assert.equal(reused.status, 400);
    assert.equal(reused.json.error, 'invalid_grant');
  });

  test('apple: the e-mail comes from the identity token when it carries one', async () => {
    const claims = Buffer.from(JSON.stringify({ sub: 'u1', email: 'relay@privaterelay.example' })).toString('base64url');
    const res = await postJSON(base, '/api/integrations/apple/authcode', {
      app_slug: APP_SLUG, authorization_code: 'c', identity_token: `e30.${claims}.sig`,
    });
    assert.equal(res.json.email, 'relay@privaterelay.example');
    const bad = await postJSON(base, '/api/integrations/apple/authcode', {
      app_slug: APP_SLUG, authorization_code: 'd', identity_token: 'not-a-jwt',
    });
    assert.equal(bad.status, 400);
    assert.equal(bad.json.reason, 'identity_token_malformed');
  });

  test('app-data-token answers its record for the session app slug only', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    const { json: s } = await exchange(base, { code, verifier: p.verifier });
    const key = await newKey();
    const ok = await authedPost(base, '/api/app-data-token', s.cas, key, { body: { app_slug: APP_SLUG } });
    assert.equal(ok.status, 200);
    assert.deepEqual(Object.keys(ok.json), ['ok', 'app_data_token', 'expires_at']);
    const other = await authedPost(base, '/api/app-data-token', s.cas, key, { body: { app_slug: 'x' } });
    assert.equal(other.status, 400);
    assert.equal(other.json.reason, 'app_slug_mismatch');
  });

  test('revoke ends the session: later calls and refreshes are refused', async () => {
    const { code, pkce: p } = await authorizeCode(base);
    const { json: s } = await exchange(base, { code, verifier: p.verifier });
    const key = await newKey();
    const rev = await authedPost(base, '/api/sessions/revoke', s.cas, key);
    assert.equal(rev.status, 200);
    assert.deepEqual(rev.json, { ok: true });
    assert.equal((await lastLog(base)).ok, true);
    const call = await authedPost(base, '/api/app-data-token', s.cas, key, { body: { app_slug: APP_SLUG } });
    assert.equal(call.status, 401);
    assert.equal(call.json.reason, 'revoked');
    const ref = await postJSON(base, '/api/app-sessions/refresh', { app_slug: APP_SLUG, refresh_token: s.refresh_token });
    assert.equal(ref.status, 400);
    assert.deepEqual(ref.json, { error: 'invalid_grant', reason: 'revoked' });
  });
});

test('a client id and redirect URI given on the command line replace the defaults', async () => {
  const other = await startServer(['--client-id', 'tester', '--redirect-uri', 'http://127.0.0.1:9/cb']);
  try {
    const ok = authorizeURL(other.url, { params: { client_id: 'tester', redirect_uri: 'http://127.0.0.1:9/cb' } });
    assert.equal((await fetch(ok.url, { redirect: 'manual' })).status, 302);
    const old = authorizeURL(other.url, { params: { client_id: CLIENT_ID } });
    assert.equal((await fetch(old.url, { redirect: 'manual' })).status, 400);
  } finally {
    await other.stop();
  }
});
