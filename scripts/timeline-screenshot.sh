#!/usr/bin/env bash
# Takes a picture of a timeline page (the HTML file the demo writes beside its job trace)
# with headless Chromium: the page as a browser shows it, its script run.
#
# Usage: scripts/timeline-screenshot.sh [--install] [--frame N] [--width PX] [--height PX] page.html picture.png
#   --install   install Chromium with apt-get first when it is missing (as root, or through sudo)
#   --frame N   zoom to frame N first (the page reads #frame=N), instead of the whole trace
#
# Not part of the test suite; the README's picture of the page is made with it:
#   scripts/run-demo.sh -jobtrace trace.json
#   scripts/timeline-screenshot.sh --install --frame 5 run/release/trace.html docs/timeline.png
set -euo pipefail

install=0
frame=""
width=1720
height=""
while (($#)); do
    case "$1" in
        --install) install=1; shift ;;
        --frame) frame=${2:?"--frame needs a frame number"}; shift 2 ;;
        --width) width=${2:?"--width needs pixels"}; shift 2 ;;
        --height) height=${2:?"--height needs pixels"}; shift 2 ;;
        -*) echo "timeline-screenshot.sh: unknown option '$1'" >&2; exit 2 ;;
        *) break ;;
    esac
done
if (($# != 2)); then
    echo "usage: timeline-screenshot.sh [--install] [--frame N] [--width PX] [--height PX] page.html picture.png" >&2
    exit 2
fi
page=$1
picture=$2
[[ -f $page ]] || { echo "timeline-screenshot.sh: no page '$page'" >&2; exit 1; }

browser=""
for candidate in chromium chromium-browser google-chrome; do
    if command -v "$candidate" >/dev/null 2>&1; then
        browser=$candidate
        break
    fi
done
if [[ -z $browser ]]; then
    if ((install)); then
        sudo_cmd=""
        [[ $(id -u) -ne 0 ]] && sudo_cmd="sudo"
        $sudo_cmd apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends chromium >/dev/null
        browser=chromium
    else
        echo "timeline-screenshot.sh: no Chromium found; run with --install to install it with apt-get" >&2
        exit 1
    fi
fi

# The page's height: its chart (as tall as its lanes and their region rows) and the
# tables below it.
if [[ -z $height ]]; then
    chart=$(grep -o '<svg id="timeline"[^>]*' "$page" | grep -o ' height="[0-9.]*"' | grep -o '[0-9]*' | head -1 || true)
    lanes=$(grep -c 'class="lane-label' "$page" || true)
    height=$((${chart:-$((30 * lanes))} + 420 + 24 * lanes))
fi
url="file://$(cd "$(dirname "$page")" && pwd)/$(basename "$page")"
[[ -n $frame ]] && url="$url#frame=$frame"
out="$(cd "$(dirname "$picture")" && pwd)/$(basename "$picture")"
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$profile" \
    --window-size="$width,$height" --screenshot="$out" "$url" >/dev/null 2>&1
[[ -s $out ]] || { echo "timeline-screenshot.sh: Chromium wrote no picture" >&2; exit 1; }
echo "timeline-screenshot.sh: wrote $out ($width x $height)"
