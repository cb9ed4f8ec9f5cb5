#!/usr/bin/env bash
# protocol_doc_test.sh BUILD_DIR CHECKER — runs the demonstration into a
# temporary directory and checks docs/protocol.md's examples against the
# transcript it wrote. On drift the checker names the command and shows both
# sides.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:?usage: protocol_doc_test.sh BUILD_DIR CHECKER}
checker=${2:?usage: protocol_doc_test.sh BUILD_DIR CHECKER}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if ! bash "$repo/scripts/demo.sh" --no-build --build-dir "$build_dir" --work-dir "$scratch/demo" >"$scratch/demo.log" 2>&1; then
  cat "$scratch/demo.log"
  echo "protocol_doc_test.sh: the demonstration failed" >&2
  exit 1
fi
"$checker" "$repo/docs/protocol.md" "$scratch/demo/transcript.jsonl"
# A drifted example must fail, naming its command: a checker that passes
# everything would let the document rot unnoticed.
sed 's/"canceled":true/"canceled":false/' "$repo/docs/protocol.md" > "$scratch/drifted.md"
if "$checker" "$scratch/drifted.md" "$scratch/demo/transcript.jsonl" 2>"$scratch/drift.txt" ||
   ! grep -q 'example of cancel_task' "$scratch/drift.txt"; then
  echo "protocol_doc_test.sh: the checker did not report a drifted cancel_task example" >&2
  exit 1
fi
