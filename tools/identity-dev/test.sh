#!/bin/sh
# Runs the identity-dev tests twice: as Node starts by default, and without the global WebCrypto
# (as Debian 12's nodejs 18 runs), when this Node can be started that way.
set -eu
cd "$(dirname "$0")"
if [ ! -d node_modules ]; then
  npm ci --no-audit --no-fund --silent
fi
status=0
echo "identity-dev tests on node $(node --version)"
node --test test/*.test.mjs || status=1
# (The probe reads its script from stdin: `node -e` would see node:crypto as a global.)
if echo 'process.exit(globalThis.crypto ? 1 : 0)' |
  node --no-experimental-global-webcrypto - 2>/dev/null; then
  echo "identity-dev tests without global WebCrypto"
  IDP_EXPECT_NO_GLOBAL_WEBCRYPTO=1 node --no-experimental-global-webcrypto --test test/*.test.mjs || status=1
else
  echo "identity-dev: this node cannot start without global WebCrypto; second pass skipped"
fi
exit $status
