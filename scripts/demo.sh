#!/usr/bin/env bash
# The demo: installs what the project needs, builds the command-line tool
# (release preset) and holds one conversation with the bundled simulator of
# the service, playing the shipped speech sample. It prints the conversation
# and leaves the spoken reply in build/demo/reply.wav.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
echo "demo: configuring and building orvanta-openai (release preset)..."
cmake --preset release >/dev/null
cmake --build --preset release --target orvanta-openai
mkdir -p build/demo

echo
echo "demo: playing samples/hello.wav to the voice node, against the simulator"
echo
build/release/tools/cli/orvanta-openai converse samples/hello.wav \
  --tools samples/weather-tools.json --tool-results samples/weather-results.json \
  -o build/demo/reply.wav
echo
echo "demo: the spoken reply is in build/demo/reply.wav"
