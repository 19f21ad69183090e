// The test knobs: forced answers, headers and redirects for the next N requests; and the two
// telemetry endpoints, the error-events upload and the geo probe.
import assert from 'node:assert/strict';
import { randomUUID } from 'node:crypto';
import { after, before, beforeEach, describe, test } from 'node:test';
import {
  APP_SLUG, authedPost, dev, lastLog, newKey, postJSON, signIn, startServer,
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

describe('knobs', () => {
  test('a forced status answers the next N requests, then the real service answers', async () => {
    const s = await signIn(base);
    await dev(base, '/__dev/knobs', { rules: [{ path: '/api/app-sessions/refresh', status: 503, times: 2, retry_after: 7 }] });
    for (let i = 0; i < 2; i += 1) {
      const res = await refresh(s.refresh_token);
      assert.equal(res.status, 503);
      assert.equal(res.headers.get('retry-after'), '7');
      assert.deepEqual(res.json, { error: 'forced_status' });
    }
    const real = await refresh(s.refresh_token);
    assert.equal(real.status, 200, 'the forced answers did not spend the token');
    assert.equal(real.headers.get('retry-after'), null);
  });

  test('rules queue in order and only match their path and method', async () => {
    await dev(base, '/__dev/knobs', { rules: [
      { path: '/api/geo', method: 'POST', status: 500 },
      { path: '/api/geo', status: 502, error: 'bad_gateway' },
      { path: '/api/geo', status: 504 },
    ] });
    const statuses = [];
    for (let i = 0; i < 3; i += 1) statuses.push((await fetch(`${base}/api/geo`)).status);
    assert.deepEqual(statuses, [502, 504, 200]);
    const { json } = await dev(base, '/__dev/knobs');
    assert.deepEqual(json.rules.map((r) => r.method), ['POST']);
  });

  test('a deprecation header decorates the real answer; 426 comes with one', async () => {
    const s = await signIn(base);
    const header = 'client; min-version=2.0; reason="old"';
    await dev(base, '/__dev/knobs', { rules: [
      { path: '/api/app-sessions/refresh', deprecation: header },
      { path: '/api/app-sessions/refresh', status: 426, deprecation: 'endpoint; replacement=https://id.example/v2' },
    ] });
    const first = await refresh(s.refresh_token);
    assert.equal(first.status, 200);
    assert.equal(first.headers.get('corvane-deprecation'), header);
    assert.ok(first.json.cas);
    const killed = await refresh(first.json.refresh_token);
    assert.equal(killed.status, 426);
    assert.equal(killed.headers.get('corvane-deprecation'), 'endpoint; replacement=https://id.example/v2');
  });

  test('a redirect answers 307 with the given location and does nothing else', async () => {
    const s = await signIn(base);
    await dev(base, '/__dev/knobs', { rules: [{ path: '/api/app-sessions/refresh', redirect: 'http://127.0.0.1:9/elsewhere' }] });
    const res = await refresh(s.refresh_token);
    assert.equal(res.status, 307);
    assert.equal(res.headers.get('location'), 'http://127.0.0.1:9/elsewhere');
    assert.equal((await refresh(s.refresh_token)).status, 200);
  });

  test('a forced body and an "always" rule; DELETE clears the rules', async () => {
    await dev(base, '/__dev/knobs', { rules: [{ path: '/api/geo', body: 'not json', status: 200, times: 'always' }] });
    for (let i = 0; i < 3; i += 1) assert.equal(await (await fetch(`${base}/api/geo`)).text(), 'not json');
    await fetch(`${base}/__dev/knobs`, { method: 'DELETE' });
    assert.deepEqual(await (await fetch(`${base}/api/geo`)).json(), { eu: false });
  });

  test('a delay holds the real answer back at least that long', async () => {
    await dev(base, '/__dev/knobs', { rules: [{ path: '/api/geo', delay_ms: 200 }] });
    const started = performance.now();
    const res = await fetch(`${base}/api/geo`);
    const waited = performance.now() - started;
    assert.deepEqual(await res.json(), { eu: false });
    // Only a lower bound: the answer can never come sooner (timer rounding allowed for).
    assert.ok(waited >= 195, `${waited} ms`);
    assert.equal((await lastLog(base)).knob.delay_ms, 200);
  });

  test('a forced 401 is the first answer of a call that a refresh then recovers', async () => {
    const s = await signIn(base);
    const key = await newKey();
    await dev(base, '/__dev/knobs', { rules: [{ path: '/api/app-data-token', status: 401, error: 'session_expired' }] });
    const first = await authedPost(base, '/api/app-data-token', s.cas, key, { body: { app_slug: APP_SLUG } });
    assert.equal(first.status, 401);
    const { json: r } = await refresh(s.refresh_token);
    const second = await authedPost(base, '/api/app-data-token', r.cas, key, { body: { app_slug: APP_SLUG } });
    assert.equal(second.status, 200);
  });

  test('bad knobs are refused and change nothing', async () => {
    for (const body of [{ rules: [{ status: 500 }] }, { rules: [{ path: '/x', times: 0 }] },
      { rules: [{ path: '/x', status: 99 }] }, { rules: [{ path: '/x', redirect: 'not a url' }] },
      { nonsense: true }, { authorize_error: {} }]) {
      const res = await dev(base, '/__dev/knobs', body);
      assert.equal(res.status, 400, JSON.stringify(body));
    }
    const { json } = await dev(base, '/__dev/knobs');
    assert.deepEqual(json.rules, []);
  });

  test('reset forgets sessions, log and rules', async () => {
    const s = await signIn(base);
    await dev(base, '/__dev/knobs', { rules: [{ path: '/api/geo', status: 500 }], geo_eu: true });
    await dev(base, '/__dev/reset', {});
    assert.equal((await refresh(s.refresh_token)).json.reason, 'unknown_refresh_token');
    assert.deepEqual(await (await fetch(`${base}/api/geo`)).json(), { eu: false });
    const { json: log } = await dev(base, '/__dev/log');
    assert.equal(log.length, 2);
  });
});

const EVENT_ORDER = ['client_event_id', 'severity', 'category', 'spec_id', 'fingerprint',
  'message_template', 'exception_type', 'top_frames', 'frame_digest', 'breadcrumbs', 'count',
  'first_seen', 'last_seen', 'signed_in', 'online', 'session_uptime_seconds'];
// An event with its keys in wire order.
function event(over = {}) {
  const e = {
    client_event_id: randomUUID(),
    severity: 'error',
    category: 'transport',
    fingerprint: '0123456789abcdef',
    message_template: 'request failed with <n>',
    count: 1,
    first_seen: '2026-01-02T03:04:05.678Z',
    last_seen: '2026-01-02T03:04:06.000Z',
    signed_in: true,
    online: false,
    ...over,
  };
  const ordered = {};
  for (const k of EVENT_ORDER) if (k in e) ordered[k] = e[k];
  return ordered;
}
function batch(events = [event()], over = {}) {
  return {
    schema_version: 1,
    batch_id: randomUUID(),
    daily_token: '00112233aabbccdd',
    app_slug: APP_SLUG,
    platform: 'mac',
    app_version: '1.2.0',
    os_version: '14.4.1',
    events,
    ...over,
  };
}
const upload = (body, headers = {}) => fetch(`${base}/api/error-events`, {
  method: 'POST',
  headers: { 'Content-Type': 'application/json', ...headers },
  body: typeof body === 'string' ? body : JSON.stringify(body),
});

describe('error events', () => {
  test('a sound batch is accepted with 202 and recorded', async () => {
    const full = event({
      spec_id: 'S1', exception_type: 'URLError', top_frames: ['a', 'b', 'c'], frame_digest: '0123456789ab',
      breadcrumbs: [{ ts: 't', level: 'info', category: 'ui', msg: 'opened' }], session_uptime_seconds: 90,
    });
    const b = batch([event(), full]);
    const res = await upload(b);
    assert.equal(res.status, 202);
    const { json } = await dev(base, '/__dev/error-events');
    assert.deepEqual(json, [b]);
  });

  const faults = [
    ['a missing key', () => { const b = batch(); delete b.os_version; return b; }, /missing key "os_version"/],
    ['keys out of order', () => { const { batch_id: id, ...rest } = batch(); return { batch_id: id, ...rest }; }, /out of order/],
    ['a null optional', () => batch([event({ spec_id: null })]), /"spec_id" is null/],
    ['event keys out of order', () => batch([{ severity: 'error', ...event() }]), /out of order/],
    ['an unknown event key', () => batch([{ ...event(), user: 'x' }]), /unexpected key "user"/],
    ['schema 2', () => batch(undefined, { schema_version: 2 }), /schema_version/],
    ['an upper-case batch id', () => batch(undefined, { batch_id: randomUUID().toUpperCase() }), /batch_id/],
    ['a daily token of 15 digits', () => batch(undefined, { daily_token: '0'.repeat(15) }), /daily_token/],
    ['no events', () => batch([]), /events is not a list/],
    ['51 events', () => batch(Array.from({ length: 51 }, () => event())), /events is not a list/],
    ['four frames', () => batch([event({ top_frames: ['a', 'b', 'c', 'd'], frame_digest: '0123456789ab' })]), /top_frames is not/],
    ['frames without digest', () => batch([event({ top_frames: ['a'] })]), /come together/],
    ['a 257-character template', () => batch([event({ message_template: 'x'.repeat(257) })]), /over 256/],
    ['an e-mail in the template', () => batch([event({ message_template: 'failed for dev@example.com' })]), /e-mail/],
    ['count 0', () => batch([event({ count: 0 })]), /count/],
    ['last seen before first', () => batch([event({ last_seen: '2026-01-01T00:00:00.000Z' })]), /before first_seen/],
    ['a date without milliseconds', () => batch([event({ first_seen: '2026-01-02T03:04:05Z' })]), /first_seen/],
    ['an uptime of 31 s', () => batch([event({ session_uptime_seconds: 31 })]), /session_uptime_seconds/],
    ['eleven breadcrumbs', () => batch([event({ breadcrumbs: Array.from({ length: 11 }, () => ({ ts: 't', level: 'l', category: 'c', msg: 'm' })) })]), /breadcrumbs/],
    ['a breadcrumb without msg', () => batch([event({ breadcrumbs: [{ ts: 't', level: 'l', category: 'c' }] })]), /missing key "msg"/],
    ['a repeated event id', () => { const e = event(); return batch([e, { ...e }]); }, /repeats/],
  ];
  for (const [what, make, problem] of faults) {
    test(`refuses ${what} with 400 and records nothing`, async () => {
      const res = await upload(make());
      assert.equal(res.status, 400);
      const body = await res.json();
      assert.equal(body.error, 'invalid_batch');
      assert.ok(body.problems.some((p) => problem.test(p)), body.problems.join('; '));
      assert.deepEqual((await dev(base, '/__dev/error-events')).json, []);
    });
  }

  test('template length counts characters (grapheme clusters), not code units', async () => {
    const template = 'e\u0301'.repeat(256); // 256 clusters, 512 code units
    assert.equal((await upload(batch([event({ message_template: template })]))).status, 202);
  });

  test('checks what the scrubbing promises, in the case each field travels in', async () => {
    // Scrubbing is case-sensitive and templates are lower-cased afterwards: an upper-case
    // "CA_" was never an account id and is taken.
    assert.equal((await upload(batch([event({ message_template: 'requests_ca_bundle is not set' })]))).status, 202);
    // An id of the shape this service issues is not, in any field.
    const id = `ca_${'0123456789abcdef0123'}`;
    assert.equal((await upload(batch([event({ message_template: `account ${id} locked` })]))).status, 400);
    assert.equal((await upload(batch([event({ top_frames: [`load(${id})`], frame_digest: '0123456789ab' })]))).status, 400);
    // A JWT lower-cased with the template is still a JWT.
    const jwt = 'eyjhbgcioijfuzi1nij9.eyjzdwiioijhymmifq.c2ln';
    const res = await upload(batch([event({ message_template: `token ${jwt}` })]));
    assert.equal(res.status, 400);
    assert.ok((await res.json()).problems.some((p) => /JWT/.test(p)));
    assert.deepEqual((await dev(base, '/__dev/error-events')).json.length, 1);
  });

  test('credentials anywhere in the batch or its headers are refused', async () => {
    const s = await signIn(base);
    const jwt = 'eyJhbGciOiJFUzI1NiJ9.eyJzdWIiOiJhYmMifQ.c2ln';
    const crumb = (msg) => [{ ts: 't', level: 'info', category: 'c', msg }];
    const withCrumbs = (msg) => batch([event({ breadcrumbs: crumb(msg) })]);
    for (const msg of [jwt, `Authorization: Bearer ${'a'.repeat(20)}`, `token ${s.refresh_token}`,
      `cas ${s.cas.toLowerCase()}`]) {
      const res = await upload(withCrumbs(msg));
      assert.equal(res.status, 400, msg.slice(0, 12));
    }
    assert.equal((await upload(withCrumbs('opened the settings'))).status, 202);
    const res = await upload(batch(), { Authorization: 'Bearer x' });
    assert.equal(res.status, 400);
    assert.equal((await res.json()).reason, 'credentials_in_headers');
  });

  test('a body over 256 KiB gets 413, a body that is not JSON 400', async () => {
    const big = batch([event({ message_template: 'x' })]);
    const text = JSON.stringify(big).replace('"x"', `"${' '.repeat(262144)}"`);
    assert.equal((await upload(text)).status, 413);
    assert.equal((await upload('{')).status, 400);
  });
});

describe('geo probe', () => {
  test('answers {"eu": false} by default, true when told, and fails on request', async () => {
    assert.deepEqual(await (await fetch(`${base}/api/geo`)).json(), { eu: false });
    await dev(base, '/__dev/knobs', { geo_eu: true });
    assert.deepEqual(await (await fetch(`${base}/api/geo`)).json(), { eu: true });
    await dev(base, '/__dev/knobs', { rules: [{ path: '/api/geo', status: 500 }] });
    const res = await fetch(`${base}/api/geo`);
    assert.equal(res.status, 500);
    assert.equal((await res.json()).eu, undefined);
  });

  test('--geo-eu starts in the EU', async () => {
    const eu = await startServer(['--geo-eu']);
    try {
      assert.deepEqual(await (await fetch(`${eu.url}/api/geo`)).json(), { eu: true });
    } finally {
      await eu.stop();
    }
  });
});
