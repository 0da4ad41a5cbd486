#!/usr/bin/env bash
# Runs one Windows program under the build tree's private Wine session.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
exec wine "$@"
