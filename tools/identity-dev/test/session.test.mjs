// Authenticated calls: the bearer cas with its DPoP proof, refresh-token rotation, and that no
// secret ever reaches the service's log.
import assert from 'node:assert/strict';
import { after, before, beforeEach, describe, test } from 'node:test';
import {
  APP_SLUG, authedPost, authorizeCode, dev, exchange, jose, lastLog, newKey, postJSON, proof, signIn, startServer,
} from '../test-support/client.mjs';

let srv;
let base;
const seenSecrets = new Set();
before(async () => {
  srv = await startServer();
  base = srv.url;
});
after(() => srv.stop());
beforeEach(() => dev(base, '/__dev/reset', {}));

async function session() {
  const s = await signIn(base);
  for (const k of ['cas', 'refresh_token', 'app_data_token']) seenSecrets.add(s[k]);
  return s;
}
const appData = (cas, key, options = {}) =>
  authedPost(base, '/api/app-data-token', cas, key, { body: { app_slug: APP_SLUG }, ...options });
const refresh = (rt) => postJSON(base, '/api/app-sessions/refresh',
  { app_slug: APP_SLUG, refresh_token: rt, client_version: '1.2.0' });

describe('DPoP on authenticated calls', () => {
  test('a sound proof is accepted and binds the session to its key', async () => {
    const s = await session();
    const key = await newKey();
    const res = await appData(s.cas, key);
    assert.equal(res.status, 200);
    const entry = await lastLog(base);
    assert.equal(entry.ok, true);
    for (const c of ['bearer_known', 'dpop_signature', 'dpop_htu', 'dpop_iat', 'dpop_jti_unused',
      'dpop_ath', 'dpop_key_bound']) {
      assert.ok(entry.checks.some((x) => x.check === c && x.ok), c);
    }
    const { json: st } = await dev(base, '/__dev/state');
    assert.equal(st.families[0].jkt, await jose.calculateJwkThumbprint(key.jwk));
    assert.equal((await appData(s.cas, key)).status, 200, 'the bound key goes on working');
  });

  test('htu is compared without query and fragment, and with a normalised host', async () => {
    const s = await session();
    const key = await newKey();
    const port = new URL(base).port;
    const htu = `HTTP://127.0.0.1:${port}/api/app-data-token?x=1#frag`;
    assert.equal((await appData(s.cas, key, { proofOptions: { htu } })).status, 200);
  });

  // Each case: what is wrong with the proof, how to make it, and the reason the service gives.
  const faults = [
    ['another htu path', (k, cas) => proof(k, { htm: 'POST', htu: `${base}/api/sessions/revoke`, accessToken: cas }), 'htu_mismatch'],
    ['another htu host', (k, cas) => proof(k, { htm: 'POST', htu: 'http://example.com/api/app-data-token', accessToken: cas }), 'htu_mismatch'],
    ['another method', (k, cas) => proof(k, { htm: 'GET', htu: `${base}/api/app-data-token`, accessToken: cas }), 'htm_mismatch'],
    ['a lower-case method', (k, cas) => proof(k, { htm: 'post', htu: `${base}/api/app-data-token`, accessToken: cas }), 'htm_mismatch'],
    ['an iat two minutes old', (k, cas) => proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: cas, claims: { iat: Math.floor(Date.now() / 1000) - 120 } }), 'iat_out_of_window'],
    ['an iat two minutes ahead', (k, cas) => proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: cas, claims: { iat: Math.floor(Date.now() / 1000) + 120 } }), 'iat_out_of_window'],
    ['a fractional iat', (k, cas) => proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: cas, claims: { iat: Date.now() / 1000 } }), 'iat_out_of_window'],
    ['no jti', (k, cas) => proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: cas, claims: { jti: undefined } }), 'jti_missing'],
    ['no ath', (k, cas) => proof(k, { htm: 'POST', htu: `${base}/api/app-data-token` }), 'ath_missing'],
    ['the ath of another token', (k) => proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: 'cas_other' }), 'ath_mismatch'],
    ['typ jwt', (k, cas) => proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: cas, header: { typ: 'JWT' } }), 'bad_typ'],
    ['a private key in the header', (k, cas) => proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: cas, header: { jwk: { ...k.jwk, d: 'AAAA' } } }), 'bad_jwk'],
    ['a tampered payload', async (k, cas) => {
      const p = await proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: cas });
      const [h, , sig] = p.split('.');
      const claims = Buffer.from(JSON.stringify({ htm: 'POST', htu: `${base}/api/app-data-token`, iat: Math.floor(Date.now() / 1000), jti: 'forged', ath: 'x' })).toString('base64url');
      return `${h}.${claims}.${sig}`;
    }, 'bad_signature'],
    ['a header key that did not sign', async (k, cas) => {
      const other = await newKey();
      return proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: cas, header: { jwk: other.jwk } });
    }, 'bad_signature'],
    ['two DPoP headers', async (k, cas) => {
      const p = await proof(k, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: cas });
      return `${p}, ${p}`;
    }, 'multiple_headers'],
    ['no proof at all', () => '', 'missing'],
  ];
  for (const [what, make, reason] of faults) {
    test(`refuses ${what} with 401`, async () => {
      const s = await session();
      const key = await newKey();
      const res = await appData(s.cas, null, { dpop: await make(key, s.cas) });
      assert.equal(res.status, 401);
      assert.equal(res.json.error, 'invalid_dpop_proof');
      assert.equal(res.json.reason, reason);
      assert.match(res.headers.get('www-authenticate'), /^DPoP error="invalid_dpop_proof"/);
      const entry = await lastLog(base);
      assert.equal(entry.ok, false);
      assert.equal(entry.reason, reason);
    });
  }

  test('a replayed proof is refused, with the same key and token', async () => {
    const s = await session();
    const key = await newKey();
    const p = await proof(key, { htm: 'POST', htu: `${base}/api/app-data-token`, accessToken: s.cas });
    assert.equal((await appData(s.cas, null, { dpop: p })).status, 200);
    const again = await appData(s.cas, null, { dpop: p });
    assert.equal(again.status, 401);
    assert.equal(again.json.reason, 'jti_replayed');
  });

  test('once bound, a proof signed with another key is refused', async () => {
    const s = await session();
    assert.equal((await appData(s.cas, await newKey())).status, 200);
    const res = await appData(s.cas, await newKey());
    assert.equal(res.status, 401);
    assert.equal(res.json.reason, 'key_mismatch');
  });

  test('bearer failures: none, unknown, expired', async () => {
    const s = await session();
    const key = await newKey();
    let res = await postJSON(base, '/api/app-data-token', { app_slug: APP_SLUG });
    assert.equal(res.status, 401);
    assert.deepEqual(res.json, { error: 'invalid_token', reason: 'missing_authorization' });
    res = await appData('cas_unknown', key);
    assert.equal(res.json.reason, 'unknown_session');
    await dev(base, '/__dev/knobs', { advance_clock_s: 7 * 24 * 3600 + 1 });
    res = await appData(s.cas, key);
    assert.equal(res.status, 401);
    assert.equal(res.json.reason, 'expired');
  });

  test('without --allow-no-dpop a bearer-only call is refused; with it an unbound session passes', async () => {
    const s = await session();
    const res = await appData(s.cas, null);
    assert.equal(res.json.reason, 'missing');
    await dev(base, '/__dev/knobs', { require_dpop: false });
    assert.equal((await appData(s.cas, null)).status, 200);
    assert.equal((await appData(s.cas, await newKey())).status, 200);
    assert.equal((await appData(s.cas, null)).status, 401, 'a bound session always needs its proof');
  });
});

describe('refresh', () => {
  test('rotates: the new pair works, the spent token is refused with invalid_grant', async () => {
    const s = await session();
    const first = await refresh(s.refresh_token);
    assert.equal(first.status, 200);
    seenSecrets.add(first.json.cas).add(first.json.refresh_token);
    assert.notEqual(first.json.refresh_token, s.refresh_token);
    assert.notEqual(first.json.cas, s.cas);
    assert.equal(first.json.corvane_account_id, s.corvane_account_id);
    const reused = await refresh(s.refresh_token);
    assert.equal(reused.status, 400);
    assert.deepEqual(reused.json, { error: 'invalid_grant', reason: 'refresh_token_reused' });
    const second = await refresh(first.json.refresh_token);
    assert.equal(second.status, 200);
    seenSecrets.add(second.json.cas).add(second.json.refresh_token);
  });

  test('the refreshed session keeps the key binding of the old one', async () => {
    const s = await session();
    const key = await newKey();
    assert.equal((await appData(s.cas, key)).status, 200);
    const { json: r } = await refresh(s.refresh_token);
    assert.equal((await appData(r.cas, key)).status, 200);
    const res = await appData(r.cas, await newKey());
    assert.equal(res.json.reason, 'key_mismatch');
  });

  test('with revoke_family_on_reuse a replay also ends the rotated session', async () => {
    await dev(base, '/__dev/knobs', { revoke_family_on_reuse: true });
    const s = await session();
    const { json: r } = await refresh(s.refresh_token);
    assert.equal((await refresh(s.refresh_token)).status, 400);
    const res = await appData(r.cas, await newKey());
    assert.equal(res.json.reason, 'revoked');
  });

  test('refuses an unknown token, another app slug, an expired token, extra keys', async () => {
    const s = await session();
    let res = await refresh('rt_nothing');
    assert.deepEqual(res.json, { error: 'invalid_grant', reason: 'unknown_refresh_token' });
    res = await postJSON(base, '/api/app-sessions/refresh', { app_slug: 'other', refresh_token: s.refresh_token });
    assert.equal(res.json.reason, 'app_slug_mismatch');
    res = await postJSON(base, '/api/app-sessions/refresh', { app_slug: APP_SLUG, refresh_token: s.refresh_token, cas: s.cas });
    assert.equal(res.json.reason, 'unexpected_key');
    await dev(base, '/__dev/knobs', { advance_clock_s: 61 * 24 * 3600 });
    res = await refresh(s.refresh_token);
    assert.equal(res.json.reason, 'refresh_token_expired');
  });

  test('a token refused for app slug is still unspent', async () => {
    const s = await session();
    await postJSON(base, '/api/app-sessions/refresh', { app_slug: 'other', refresh_token: s.refresh_token });
    assert.equal((await refresh(s.refresh_token)).status, 200);
  });
});

test('neither the log nor stderr ever carries a token, code or verifier value', async () => {
  const key = await newKey();
  const { code, pkce: p } = await authorizeCode(base);
  seenSecrets.add(code).add(p.verifier);
  const { json: s } = await exchange(base, { code, verifier: p.verifier });
  for (const k of ['cas', 'refresh_token', 'app_data_token']) seenSecrets.add(s[k]);
  await exchange(base, { code, verifier: p.verifier });
  await appData(s.cas, key);
  await refresh(s.refresh_token);
  await refresh(s.refresh_token);
  await appData(s.cas, key, { proofOptions: { htu: `${base}/wrong` } });
  await authedPost(base, '/api/sessions/revoke', s.cas, key);
  const { json: log } = await dev(base, '/__dev/log');
  const text = `${JSON.stringify(log)}\n${srv.stderr.join('\n')}`;
  assert.ok(log.length >= 7);
  assert.ok(seenSecrets.size > 10);
  for (const secret of seenSecrets) {
    assert.ok(!text.includes(secret), 'a secret value reached the log');
  }
  assert.ok(!text.includes(key.jwk.x), 'a key reached the log');
});
