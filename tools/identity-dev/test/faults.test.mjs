// Refresh answers lost after the rotation and the grace that lets them be fetched again; DPoP
// nonces the service demands and rotates; faults injected at random for the soak test.
import assert from 'node:assert/strict';
import { after, before, beforeEach, describe, test } from 'node:test';
import {
  APP_SLUG, authedPost, dev, newKey, postJSON, proof, signIn, startServer,
} from '../test-support/client.mjs';

let srv;
let base;
before(async () => {
  srv = await startServer();
  base = srv.url;
});
after(() => srv.stop());
beforeEach(() => dev(base, '/__dev/reset', {}));

const refresh = (rt) => postJSON(base, '/api/app-sessions/refresh', { app_slug: APP_SLUG, refresh_token: rt });
const stats = async () => (await dev(base, '/__dev/state')).json.refresh_stats;

describe('refresh grace', () => {
  test('without a grace a spent token is refused and counted as reused', async () => {
    const s = await signIn(base);
    assert.equal((await refresh(s.refresh_token)).status, 200);
    const again = await refresh(s.refresh_token);
    assert.equal(again.status, 400);
    assert.equal(again.json.error, 'invalid_grant');
    assert.deepEqual(await stats(), { refreshes: 2, rotations: 1, grace_replays: 0, reused_refresh_tokens: 1, faults: {} });
  });

  test('within the grace a spent token gets the same new pair; after it, it is refused', async () => {
    await dev(base, '/__dev/knobs', { refresh_grace_s: 30 });
    const s = await signIn(base);
    const first = await refresh(s.refresh_token);
    const replay = await refresh(s.refresh_token);
    assert.equal(replay.status, 200);
    assert.equal(replay.json.cas, first.json.cas);
    assert.equal(replay.json.refresh_token, first.json.refresh_token);
    // The new token is good once, as ever.
    assert.equal((await refresh(first.json.refresh_token)).status, 200);
    await dev(base, '/__dev/knobs', { advance_clock_s: 31 });
    assert.equal((await refresh(s.refresh_token)).status, 400);
    assert.deepEqual(await stats(), { refreshes: 4, rotations: 2, grace_replays: 1, reused_refresh_tokens: 1, faults: {} });
  });

  test('a rotation whose answer is lost can be fetched again within the grace', async () => {
    await dev(base, '/__dev/knobs', { refresh_grace_s: 5, rules: [{ path: '/api/app-sessions/refresh', lose_answer: true }] });
    const s = await signIn(base);
    await assert.rejects(refresh(s.refresh_token));
    const retried = await refresh(s.refresh_token);
    assert.equal(retried.status, 200);
    const st = await stats();
    assert.equal(st.rotations, 1);
    assert.equal(st.grace_replays, 1);
  });

  test('the flag and the knob refuse bad values', async () => {
    assert.equal((await dev(base, '/__dev/knobs', { refresh_grace_s: -1 })).status, 400);
    assert.equal((await dev(base, '/__dev/knobs', { random_faults: { rate: 2 } })).status, 400);
    assert.equal((await dev(base, '/__dev/knobs', { random_faults: { rate: 0.1, kinds: ['nope'] } })).status, 400);
  });
});

describe('DPoP nonces', () => {
  const appData = async (s, key, claims = {}) => {
    const url = new URL('/api/app-data-token', base).toString();
    const dpop = await proof(key, { htm: 'POST', htu: url, accessToken: s.cas, claims });
    return authedPost(base, '/api/app-data-token', s.cas, null, { body: { app_slug: APP_SLUG }, dpop });
  };

  test('a proof without the current nonce is refused with use_dpop_nonce and the nonce', async () => {
    await dev(base, '/__dev/knobs', { require_dpop_nonce: true });
    const s = await signIn(base);
    const key = await newKey();
    const refused = await appData(s, key);
    assert.equal(refused.status, 401);
    assert.equal(refused.json.error, 'use_dpop_nonce');
    assert.match(refused.headers.get('www-authenticate'), /^DPoP error="use_dpop_nonce"/);
    const nonce = refused.headers.get('dpop-nonce');
    assert.ok(nonce && /^[\x21\x23-\x5b\x5d-\x7e]+$/.test(nonce));

    const ok = await appData(s, key, { nonce });
    assert.equal(ok.status, 200);
    assert.equal(ok.headers.get('dpop-nonce'), nonce);
  });

  test('a rotated nonce replaces the old one after one more rotation', async () => {
    await dev(base, '/__dev/knobs', { require_dpop_nonce: true });
    const s = await signIn(base);
    const key = await newKey();
    const first = (await appData(s, key)).headers.get('dpop-nonce');
    await dev(base, '/__dev/knobs', { rotate_dpop_nonce: true });
    // The one just replaced is still accepted, and the answer names the new one.
    const stillOk = await appData(s, key, { nonce: first });
    assert.equal(stillOk.status, 200);
    const second = stillOk.headers.get('dpop-nonce');
    assert.notEqual(second, first);
    await dev(base, '/__dev/knobs', { rotate_dpop_nonce: true });
    const stale = await appData(s, key, { nonce: first });
    assert.equal(stale.status, 401);
    assert.equal(stale.json.error, 'use_dpop_nonce');
  });

  test('the command line requires nonces and sets their lifetime', async () => {
    const other = await startServer(['--require-dpop-nonce', '--dpop-nonce-lifetime', '1', '--refresh-grace-seconds', '30']);
    try {
      const { json } = await dev(other.url, '/__dev/knobs', {});
      assert.equal(json.require_dpop_nonce, true);
      assert.equal(json.dpop_nonce_lifetime_s, 1);
      assert.equal(json.refresh_grace_s, 30);
    } finally {
      await other.stop();
    }
  });
});

describe('random faults', () => {
  test('every identity answer is faulted at rate 1, and each kind is counted', async () => {
    const s = await signIn(base);
    await dev(base, '/__dev/knobs', { refresh_grace_s: 30, random_faults: { rate: 1, kinds: ['5xx', '429', 'lose_rotation'] } });
    let rt = s.refresh_token;
    for (let i = 0; i < 12; i += 1) {
      try {
        const res = await refresh(rt);
        if (res.status === 429) assert.equal(res.headers.get('retry-after'), '1');
        else assert.ok(res.status >= 500, `status ${res.status}`);
      } catch {
        // A lost answer: the rotation happened.
      }
    }
    const st = await stats();
    const counted = Object.values(st.faults).reduce((a, b) => a + b, 0);
    assert.equal(counted, 12);
    // Only lost answers reached the endpoint: each rotation or grace replay.
    assert.equal(st.refreshes, st.rotations + st.grace_replays);
    assert.equal(st.refreshes, st.faults.lose_rotation || 0);
    assert.equal(st.reused_refresh_tokens, 0);
  });
});
