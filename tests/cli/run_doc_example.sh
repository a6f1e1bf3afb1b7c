#!/usr/bin/env bash
# Runs the ```sh blocks of a document, in order, as one script in a scratch
# directory, with lumoctl and lumo-sim from the build on PATH. The example
# must pass as written: the check that the documentation does not rot.
# lumoctl keeps its service records in RECORDS (default: a file in the
# scratch directory, gone afterwards), never in the user's data folder.
# Usage: run_doc_example.sh DOC LUMOCTL_DIR LUMO_SIM_DIR [RECORDS]
set -euo pipefail
doc=$1
export PATH="$2:$3:$PATH"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LUMO_RECORDS="${4:-$work/records.sqlite}"
cd "$work"
# A link of its own, so that a bus someone runs by hand is not disturbed.
export BUS="$work/bus"
awk '/^```sh$/ { inside = 1; next } /^```/ { inside = 0 } inside' "$doc" > example.sh
if [ ! -s example.sh ]; then
  echo "no sh blocks in $doc" >&2
  exit 1
fi
bash -euo pipefail example.sh
