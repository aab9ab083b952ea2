#!/bin/sh
# Fails unless the module exports exactly GetPluginFactory, ModuleEntry and ModuleExit.
set -eu
expected='GetPluginFactory
ModuleEntry
ModuleExit'
actual=$(nm -D --defined-only "$1" | awk '{print $3}' | sort)
if [ "$actual" != "$expected" ]; then
    echo "unexpected exports of $1:" >&2
    echo "$actual" >&2
    exit 1
fi
echo "exports: $(echo "$actual" | tr '\n' ' ')"
