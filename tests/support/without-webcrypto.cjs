// Preloaded with `node --require`: removes the global WebCrypto object before any module loads,
// as on Debian 12's nodejs 18, for node releases that no longer take
// --no-experimental-global-webcrypto.
delete globalThis.crypto;
