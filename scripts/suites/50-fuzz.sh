#!/usr/bin/env bash
# Runs every fuzz target for OVPRE_FUZZ_SECONDS (default 60) seconds, side by
# side; fails on any crash or sanitizer report.
set -euo pipefail
bash "$(dirname "$0")/../fuzz.sh" "${OVPRE_FUZZ_SECONDS:-60}"
