// Checks an uploaded error-telemetry batch against its wire format: the exact keys in their
// order, their JSON types, the sizes the uploader promises, and that nothing in it looks like a
// credential. Returns a list of problems (names and short reasons, never the offending values).

export const MAX_BATCH_BYTES = 262144;
export const MAX_EVENTS = 50;

const BATCH_KEYS = [
  'schema_version',
  'batch_id',
  'daily_token',
  'app_slug',
  'platform',
  'app_version',
  'os_version',
  'events',
];
// [key, required]
const EVENT_KEYS = [
  ['client_event_id', true],
  ['severity', true],
  ['category', true],
  ['spec_id', false],
  ['fingerprint', true],
  ['message_template', true],
  ['exception_type', false],
  ['top_frames', false],
  ['frame_digest', false],
  ['breadcrumbs', false],
  ['count', true],
  ['first_seen', true],
  ['last_seen', true],
  ['signed_in', true],
  ['online', true],
  ['session_uptime_seconds', false],
];
const BREADCRUMB_KEYS = ['ts', 'level', 'category', 'msg'];

const UUID_LOWER = /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/;
const HEX16 = /^[0-9a-f]{16}$/;
const HEX12 = /^[0-9a-f]{12}$/;
const WIRE_DATE = /^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z$/;
const EMAIL = /[a-zA-Z0-9._%+-]+@[a-zA-Z0-9.-]+\.[a-zA-Z]{2,}/;
// The client scrubs "ca_[0-9a-zA-Z-]+" as it finds it, case-sensitive, and lower-cases message
// templates afterwards: "REQUESTS_CA_BUNDLE" correctly stays and reads "requests_ca_bundle". So
// texts that keep their case are checked against the client's own rule, and lower-cased templates
// only for the ids this service issues ("ca_" and 20 lower-case hex digits, standing whole).
const ACCOUNT_ID = /ca_[0-9a-zA-Z-]+/;
const ISSUED_ACCOUNT_ID = /ca_[0-9a-f]{20}(?![0-9a-z-])/;
// Templates are lower-cased: a JWT may arrive in any case.
const JWT_LIKE = /eyj[a-z0-9_-]{8,}\.[a-z0-9_-]{8,}\./i;
const BEARER = /\b(bearer|dpop)\s+[A-Za-z0-9._~+/-]{16,}/i;
const PEM = /-----BEGIN [A-Z ]*(PRIVATE )?KEY-----/;

const segmenter =
  typeof Intl !== 'undefined' && Intl.Segmenter
    ? new Intl.Segmenter('en', { granularity: 'grapheme' })
    : null;

// Characters as the client counts them: extended grapheme clusters (code points as a fallback
// on a Node built without full ICU).
export function characterCount(text) {
  if (!segmenter) return [...text].length;
  let n = 0;
  for (const _ of segmenter.segment(text)) n += 1;
  return n;
}

function keysProblem(where, obj, expected) {
  const keys = Object.keys(obj);
  const names = expected.map((k) => (Array.isArray(k) ? k[0] : k));
  for (const key of keys) {
    if (!names.includes(key)) return `${where}: unexpected key "${key}"`;
  }
  for (const k of expected) {
    const [name, required] = Array.isArray(k) ? k : [k, true];
    if (required && !(name in obj)) return `${where}: missing key "${name}"`;
    if (name in obj && obj[name] === null) return `${where}: "${name}" is null (leave it out)`;
  }
  const order = names.filter((n) => keys.includes(n));
  if (order.join(',') !== keys.join(',')) return `${where}: keys out of order`;
  return null;
}

const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
const isNonEmptyString = (v) => typeof v === 'string' && v.length > 0;

// Looks for credentials in every string of the batch. `secrets` holds (lower-cased) values this
// service has issued or seen as secrets; message templates are lower-cased by the client, so the
// comparison ignores case.
function credentialProblems(batch, secrets) {
  const problems = [];
  const visit = (value, where) => {
    if (typeof value === 'string') {
      const lower = value.toLowerCase();
      if (JWT_LIKE.test(value)) problems.push(`${where}: looks like a JWT`);
      if (BEARER.test(value)) problems.push(`${where}: looks like an authorization header`);
      if (PEM.test(value)) problems.push(`${where}: looks like a PEM key`);
      for (const secret of secrets) {
        if (secret.length >= 12 && lower.includes(secret)) {
          problems.push(`${where}: contains a token issued by this service`);
          break;
        }
      }
    } else if (Array.isArray(value)) {
      value.forEach((v, i) => visit(v, `${where}[${i}]`));
    } else if (isObject(value)) {
      for (const [k, v] of Object.entries(value)) visit(v, `${where}.${k}`);
    }
  };
  visit(batch, 'batch');
  return problems;
}

function eventProblems(ev, where) {
  const problems = [];
  if (!isObject(ev)) return [`${where}: not an object`];
  const keys = keysProblem(where, ev, EVENT_KEYS);
  if (keys) return [keys];
  const need = (cond, what) => {
    if (!cond) problems.push(`${where}: ${what}`);
  };
  need(typeof ev.client_event_id === 'string' && UUID_LOWER.test(ev.client_event_id),
    'client_event_id is not a lower-case UUID');
  need(isNonEmptyString(ev.severity), 'severity is not a non-empty string');
  need(isNonEmptyString(ev.category), 'category is not a non-empty string');
  if ('spec_id' in ev) need(typeof ev.spec_id === 'string', 'spec_id is not a string');
  need(typeof ev.fingerprint === 'string' && HEX16.test(ev.fingerprint),
    'fingerprint is not 16 lower-case hex digits');
  if (typeof ev.message_template !== 'string') {
    problems.push(`${where}: message_template is not a string`);
  } else {
    need(characterCount(ev.message_template) <= 256, 'message_template is over 256 characters');
    need(!EMAIL.test(ev.message_template), 'message_template holds an e-mail address');
    need(!ISSUED_ACCOUNT_ID.test(ev.message_template), 'message_template holds an account id');
  }
  if ('exception_type' in ev) {
    need(isNonEmptyString(ev.exception_type), 'exception_type is not a non-empty string');
  }
  if ('top_frames' in ev) {
    need(Array.isArray(ev.top_frames) && ev.top_frames.length <= 3 &&
      ev.top_frames.every((f) => typeof f === 'string'),
    'top_frames is not a list of at most 3 strings');
    if (Array.isArray(ev.top_frames)) {
      need(!ev.top_frames.some((f) => typeof f === 'string' && (EMAIL.test(f) || ACCOUNT_ID.test(f))),
        'top_frames hold an e-mail address or an account id');
    }
  }
  if ('frame_digest' in ev) {
    need(typeof ev.frame_digest === 'string' && HEX12.test(ev.frame_digest),
      'frame_digest is not 12 lower-case hex digits');
  }
  need(('top_frames' in ev) === ('frame_digest' in ev),
    'top_frames and frame_digest must come together');
  if ('breadcrumbs' in ev) {
    if (!Array.isArray(ev.breadcrumbs) || ev.breadcrumbs.length > 10) {
      problems.push(`${where}: breadcrumbs is not a list of at most 10`);
    } else {
      ev.breadcrumbs.forEach((b, i) => {
        const w = `${where}.breadcrumbs[${i}]`;
        if (!isObject(b)) return problems.push(`${w}: not an object`);
        const p = keysProblem(w, b, BREADCRUMB_KEYS);
        if (p) return problems.push(p);
        if (!BREADCRUMB_KEYS.every((k) => typeof b[k] === 'string')) {
          problems.push(`${w}: every field must be a string`);
        } else if (BREADCRUMB_KEYS.some((k) => EMAIL.test(b[k]) || ACCOUNT_ID.test(b[k]))) {
          problems.push(`${w}: holds an e-mail address or an account id`);
        }
        return undefined;
      });
    }
  }
  need(Number.isInteger(ev.count) && ev.count >= 1, 'count is not an integer of at least 1');
  const firstOk = typeof ev.first_seen === 'string' && WIRE_DATE.test(ev.first_seen);
  const lastOk = typeof ev.last_seen === 'string' && WIRE_DATE.test(ev.last_seen);
  need(firstOk, 'first_seen is not a UTC date-time with milliseconds');
  need(lastOk, 'last_seen is not a UTC date-time with milliseconds');
  if (firstOk && lastOk) {
    need(Date.parse(ev.last_seen) >= Date.parse(ev.first_seen), 'last_seen is before first_seen');
  }
  need(typeof ev.signed_in === 'boolean', 'signed_in is not a Boolean');
  need(typeof ev.online === 'boolean', 'online is not a Boolean');
  if ('session_uptime_seconds' in ev) {
    const s = ev.session_uptime_seconds;
    need(Number.isInteger(s) && s >= 0 && s % 30 === 0,
      'session_uptime_seconds is not a whole multiple of 30');
  }
  return problems;
}

// `batch` is the parsed body; `secrets` an iterable of lower-cased secret values.
export function validateErrorBatch(batch, secrets = []) {
  if (!isObject(batch)) return ['batch: not a JSON object'];
  const keys = keysProblem('batch', batch, BATCH_KEYS);
  if (keys) return [keys];
  const problems = [];
  const need = (cond, what) => {
    if (!cond) problems.push(`batch: ${what}`);
  };
  need(batch.schema_version === 1, 'schema_version is not 1');
  need(typeof batch.batch_id === 'string' && UUID_LOWER.test(batch.batch_id),
    'batch_id is not a lower-case UUID');
  need(typeof batch.daily_token === 'string' && HEX16.test(batch.daily_token),
    'daily_token is not 16 lower-case hex digits');
  for (const k of ['app_slug', 'platform', 'app_version', 'os_version']) {
    need(isNonEmptyString(batch[k]), `${k} is not a non-empty string`);
  }
  if (!Array.isArray(batch.events) || batch.events.length < 1 ||
      batch.events.length > MAX_EVENTS) {
    problems.push(`batch: events is not a list of 1 to ${MAX_EVENTS} events`);
  } else {
    batch.events.forEach((ev, i) => problems.push(...eventProblems(ev, `events[${i}]`)));
    const ids = batch.events.map((e) => e && e.client_event_id);
    need(new Set(ids).size === ids.length, 'client_event_id repeats');
  }
  problems.push(...credentialProblems(batch, secrets));
  return problems;
}
