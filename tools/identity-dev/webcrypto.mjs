// Node 18 (Debian 12's own) has WebCrypto only as node:crypto's `webcrypto`, not as the global
// `crypto` that jose uses. Importing this module before jose puts it there; newer Nodes already
// have it and are left alone. `shimmed` tells which of the two happened.
import { webcrypto } from 'node:crypto';

export const shimmed = !globalThis.crypto;
if (shimmed) globalThis.crypto = webcrypto;
