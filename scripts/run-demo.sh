#!/usr/bin/env bash
# Builds the launcher and the demo game (native) and the files the library's package
# installs (so that cmake --install works on the same build), lays the game out in a run folder
# under every name the launcher may choose, runs the launcher there with the given
# arguments and shows what the game printed.
#
# Usage: scripts/run-demo.sh [--preset release|debug] [launcher arguments...]
#   e.g. scripts/run-demo.sh "first arg" launchconfig _x
#        scripts/run-demo.sh -jobtrace trace.json   (the game writes its job trace as
#        trace-event JSON into the run folder, for ui.perfetto.dev or speedscope, and the
#        timeline page trace.html beside it, which any browser opens offline)
#
# The launcher starts the game in a session of its own and exits without waiting, so
# the game leaves a copy of its output in the run folder (marrow-output.txt) and marks
# the end with marrow-output.done; this script waits for that mark (bounded).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
preset=release
if [[ ${1:-} == --preset ]]; then
    preset=${2:?"--preset needs release or debug"}
    shift 2
fi
case "$preset" in
    release|debug) ;;
    *) echo "run-demo.sh: preset must be release or debug, not '$preset'" >&2; exit 2 ;;
esac

"$root/scripts/install-deps.sh" native

cd "$root"
build_log=$(mktemp)
trap 'rm -f "$build_log"' EXIT
if ! { cmake --preset "$preset" && cmake --build --preset "$preset" --target launcher marrow corelib-package-files; } >"$build_log" 2>&1; then
    cat "$build_log" >&2
    echo "run-demo.sh: the build failed" >&2
    exit 1
fi

build="$root/build/$preset"
run="$root/run/$preset"
rm -rf "$run"
mkdir -p "$run"
cp "$build/launcher/launcher" "$run/launcher"

# Every configuration part the arguments may select: none, and each value that follows a
# "launchconfig" written in any letter case (the launcher uses the last one).
# The game's "-jobtrace <file>" names the trace file it writes (relative to the run folder).
configs=("")
trace=""
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
    if [[ ${args[i],,} == launchconfig ]] && ((i + 1 < ${#args[@]})); then
        configs+=("${args[i + 1]}")
        ((i += 1))
    elif [[ ${args[i]} == -jobtrace ]] && ((i + 1 < ${#args[@]})); then
        trace=${args[i + 1]}
    fi
done
for config in "${configs[@]}"; do
    for suffix in "" "-l"; do
        target="$run/marrow$config$suffix.exe"
        # A configuration part may name a sub-folder; one that leaves the run folder is not laid out.
        case "$target" in
            *"/../"*) echo "run-demo.sh: not laying out '$target'" >&2; continue ;;
        esac
        mkdir -p "$(dirname "$target")" 2>/dev/null || continue
        cp "$build/demo/marrow" "$target" 2>/dev/null || echo "run-demo.sh: cannot lay out '$target'" >&2
    done
done

# The launcher prints nothing; the game's own console output is kept in a log.
(cd "$run" && ./launcher "$@" >"$run/console.log" 2>&1)

chosen=${configs[${#configs[@]} - 1]}
if [[ ! -f "$run/marrow$chosen.exe" && ! -f "$run/marrow$chosen-l.exe" ]]; then
    echo "run-demo.sh: no game was laid out for the configuration '$chosen'" >&2
    exit 1
fi

for ((tick = 0; tick < 300; tick++)); do
    [[ -f "$run/marrow-output.done" ]] && break
    sleep 0.1
done
if [[ ! -f "$run/marrow-output.done" ]]; then
    echo "run-demo.sh: the game did not finish within 30 seconds (or was not started)" >&2
    [[ -f "$run/marrow-output.txt" ]] && cat "$run/marrow-output.txt"
    exit 1
fi
cat "$run/marrow-output.txt"
if [[ -n $trace ]]; then
    case "$trace" in
        /*) trace_path=$trace ;;
        *) trace_path=$run/$trace ;;
    esac
    if [[ -f $trace_path ]]; then
        echo "run-demo.sh: the job trace is in $trace_path (https://ui.perfetto.dev or speedscope open it)"
        page=${trace_path%.[jJ][sS][oO][nN]}.html
        if [[ -f $page ]]; then
            echo "run-demo.sh: its timeline page is $page (open it in any browser)"
        fi
    else
        echo "run-demo.sh: the game wrote no job trace to $trace_path" >&2
        exit 1
    fi
fi
