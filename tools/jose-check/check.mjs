// Checks DPoP proofs independently of the library that made them, with the jose package.
//
// Reads one JSON array from stdin: [{"proof": "...", "jkt": "...", "htm": "...", "htu": "...",
// "ath": "..." (optional)}, ...]. For each proof it checks the protected header (typ
// "dpop+jwt", alg "ES256", a public EC P-256 "jwk" without private members), verifies the
// signature with that embedded key, compares the claims with the expected ones, and compares
// its own RFC 7638 thumbprint of the key with "jkt". Prints one JSON line per proof
// ({"index", "ok", "errors"}) and exits 0 only when every proof passed (1 otherwise, 2 on bad
// input).
import { webcrypto } from 'node:crypto';

// jose uses the global WebCrypto object, which Node only provides by default from version 19
// on (Debian 12's nodejs is 18.x). Install Node's own implementation before jose is loaded:
// a static import would be evaluated before this line, hence the dynamic import.
if (globalThis.crypto === undefined || globalThis.crypto.subtle === undefined) {
  globalThis.crypto = webcrypto;
}
const { calculateJwkThumbprint, decodeProtectedHeader, importJWK, jwtVerify } = await import(
  'jose'
);

async function readStdin() {
  const chunks = [];
  for await (const chunk of process.stdin) chunks.push(chunk);
  return Buffer.concat(chunks).toString('utf8');
}

async function check(item) {
  const errors = [];
  const header = decodeProtectedHeader(item.proof);
  if (header.typ !== 'dpop+jwt') errors.push(`typ is ${header.typ}`);
  if (header.alg !== 'ES256') errors.push(`alg is ${header.alg}`);
  const jwk = header.jwk;
  if (!jwk || typeof jwk !== 'object') {
    errors.push('no jwk in the header');
    return errors;
  }
  if (jwk.kty !== 'EC' || jwk.crv !== 'P-256') errors.push(`jwk is ${jwk.kty}/${jwk.crv}`);
  if ('d' in jwk) errors.push('jwk carries a private member');

  const key = await importJWK(jwk, 'ES256');
  const { payload } = await jwtVerify(item.proof, key, {
    typ: 'dpop+jwt',
    algorithms: ['ES256'],
  });
  if (payload.htm !== item.htm) errors.push(`htm is ${payload.htm}`);
  if (payload.htu !== item.htu) errors.push(`htu is ${payload.htu}`);
  if (!Number.isInteger(payload.iat)) errors.push('iat is not an integer');
  if (typeof payload.jti !== 'string' || payload.jti.length === 0) errors.push('no jti');
  if ('ath' in item) {
    if (payload.ath !== item.ath) errors.push(`ath is ${payload.ath}`);
  } else if ('ath' in payload) {
    errors.push('ath present without a token');
  }

  const thumbprint = await calculateJwkThumbprint(jwk, 'sha256');
  if (thumbprint !== item.jkt) errors.push(`thumbprint ${thumbprint} differs from ${item.jkt}`);
  return errors;
}

let items;
try {
  items = JSON.parse(await readStdin());
  if (!Array.isArray(items)) throw new Error('expected an array');
} catch (error) {
  console.error(`jose-check: bad input: ${error.message}`);
  process.exit(2);
}

let failed = 0;
for (const [index, item] of items.entries()) {
  let errors;
  try {
    errors = await check(item);
  } catch (error) {
    errors = [`${error.code ?? error.name}: ${error.message}`];
  }
  if (errors.length) failed += 1;
  console.log(JSON.stringify({ index, ok: errors.length === 0, errors }));
}
process.exit(failed ? 1 : 0);
