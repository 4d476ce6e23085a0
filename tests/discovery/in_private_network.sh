#!/bin/sh
# Runs a test in a network and mount namespace of its own: only its own
# loopback interface, and mounts that vanish with it. Where no namespace can
# be made (no privileges), the test runs without and skips itself, saying why.
set -u
if reason=$(unshare --net --mount true 2>&1); then
  exec unshare --net --mount -- env TELVANE_PRIVATE_NETWORK=1 "$@"
fi
TELVANE_NO_PRIVATE_NETWORK="unshare --net --mount failed: ${reason}" exec "$@"
