#!/usr/bin/env bash
# Lays the plug-in's images out under a host data folder, where the plug-in
# reads them: DATA_FOLDER/CRW/images/{refresh.png,Playlists/,VoiceChat/}.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 DATA_FOLDER" >&2
  exit 2
fi
src="$(cd "$(dirname "$0")/.." && pwd)/assets/images"
dest="$1/CRW/images"
mkdir -p "$dest/Playlists" "$dest/VoiceChat" "$1/CRW/presets"
cp "$src/refresh.png" "$dest/"
cp "$src"/Playlists/*.png "$dest/Playlists/"
cp "$src"/VoiceChat/*.png "$dest/VoiceChat/"
